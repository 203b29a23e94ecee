// The header lock of an indexed file, and the re-read of the header it guards.
//
// Appending means reading the record count, writing the record at that number and writing the
// count back.  Two writers (processes, or handles of one process: each has its own descriptor)
// that did this at once would both take the same record number, so every write holds this lock
// from its re-read of the header to its header write.
#pragma once

#include <cstdint>

#include "indexed/file.h"
#include "indexed/format.h"

namespace mdnio::indexed {

class HeaderLock {
  public:
    // Takes the lock: at once or raise 23 when the environment's lock options ask not to wait
    // (0x08), else retrying every 10 ms, 3000 times at most, then raise 23.
    explicit HeaderLock(IndexedFile* x);
    ~HeaderLock();
    HeaderLock(const HeaderLock&) = delete;
    HeaderLock& operator=(const HeaderLock&) = delete;

    // Reads the header fields into `fields` and takes them as the file's state.  Raises 29 when
    // they cannot be read, when they no longer describe the file that was opened (another
    // magic or record length: writing on would put records in the wrong places), or when the
    // record count names records the file does not hold.
    void reread(uint8_t (&fields)[kHeaderFields]);

    void release();

    // Releases the lock, then raises `code`.  Every failure inside the locked period goes
    // through here: the raise gives the file lock back at once, and a second thread of the
    // handle could otherwise get in before the header lock is released.
    [[noreturn]] void fail(int32_t code);

  private:
    // Whether the file holds every record the count in `fields` names.
    bool countIsOnDisk(const uint8_t (&fields)[kHeaderFields]) const;

    IndexedFile* x_;
    bool held_ = false;
};

}  // namespace mdnio::indexed

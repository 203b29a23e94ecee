// A rollback journal: the bytes a writer is about to overwrite in a data file (and the files
// that continue it), saved beside it so that a writer killed half-way can be undone by whoever
// comes next.  The format knows nothing of the data file's own format; the engines decide what
// to save, when a journal counts, and how to put the saved bytes back.
//
// Layout (integers big-endian):
//   header, 32 bytes: magic "MdnJrnl1", period id (8), stamp (8), checksum of the 24 bytes
//     before it (8, seeded with a constant).
//   entries, one after another from offset 32: file number (4), length n (4), offset in that
//     file (8), the n saved bytes, checksum (8) of the 16 + n bytes before it, seeded with the
//     period id.
// A journal is reused period after period and never shrinks on its own: what lies after the
// current period's entries is the tail of an older, longer one.  An entry counts only when its
// checksum holds under the current period id, so such a tail, or an entry torn by a kill in the
// middle of its write, ends the journal there.  The period id is random, so no two periods (of
// any process) share one.  The stamp is the engine's: it ties the journal to one state of the
// data file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace mdnio::common {

// The journal of the data file at `dataFile`: its name with "-journal" after it.
std::string journalPath(const char* dataFile);

// The journal's checksum: 64 bits over n bytes, four lanes of eight bytes at a time.
uint64_t journalChecksum(const uint8_t* bytes, size_t n, uint64_t seed);

constexpr size_t kJournalHeaderSize = 32;
constexpr size_t kJournalEntryHead = 16;
constexpr size_t kJournalEntryTail = 8;
// No entry saves more than this (a block, a slot, a record): a longer length is damage.
constexpr uint32_t kJournalEntryLimit = uint32_t{1} << 24;

// The writing side: one journal per data file, kept open and rewritten period after period.
class JournalWriter {
  public:
    JournalWriter() = default;
    ~JournalWriter() { close(); }
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    // Opens the journal at `path` for writing, creating it with the permissions of the data file
    // open on `like`.  `mapped`: small writes go through a shared mapping of the journal (a copy
    // into the page cache, no system call), which a kill cannot undo any more than a write.  A
    // journal shorter than a page is made a page long (zeros are no journal), so that its
    // header is read through the mapping without measuring the file.  Only under the lock that
    // orders the journal's writers: the extension must not meet another writer.
    bool open(const char* path, int like, bool mapped);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    uint64_t period() const { return period_; }

    // Starts a new journal in memory: a fresh period id, the engine's stamp.  Nothing reaches
    // the file before write().
    void begin(uint64_t stamp);
    // Room for an entry of n bytes at `offset` of file `file`: the caller puts the bytes there
    // before the next add or write.
    uint8_t* add(uint32_t file, int64_t offset, uint32_t n);
    // The last entry added keeps only its first n bytes (0 drops it).
    void cutLast(uint32_t n);
    // Bytes added and not yet written.
    size_t pending() const { return size_; }
    // Writes what was added since the last write, after what was written before: false when the
    // system refused (the journal then ends before this part).
    bool write();
    bool sync();
    // Whether the file holds a journal that counts (its header), written by anyone.
    bool live();
    // Makes the journal count no more (zeros over its header); false when the write fails.
    bool discard();
    // After a period: a journal that grew past `limit` bytes is cut back to one page, so that one
    // large period does not keep its size for good.  Cut to a page boundary, a mapping of it in
    // another process faults past the end instead of writing into a lost page.
    void trim(int64_t limit);

  private:
    void seal();
    // Room for n more bytes at the end of the buffer (not filled: the caller writes them all).
    uint8_t* grow(size_t n);

    int fd_ = -1;
    platform::FileView view_;
    bool mapped_ = false;
    // The header and entries not written yet, kept from one period to the next.
    std::unique_ptr<uint8_t[]> buffer_;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t open_ = SIZE_MAX;  // where in buffer_ the entry still being filled starts
    int64_t written_ = 0;     // bytes of this period's journal in the file
    int64_t largest_ = 0;     // the longest the file has been made
    uint64_t period_ = 0;
};

// The reading side, for whoever puts a data file back.
struct JournalEntry {
    uint32_t file = 0;
    uint32_t length = 0;
    int64_t offset = 0;  // in the data file
    int64_t at = 0;      // where its bytes lie in the journal
};

struct JournalContents {
    uint64_t period = 0;
    uint64_t stamp = 0;
    std::vector<JournalEntry> entries;  // in the order written
};

enum class JournalState {
    Absent,      // no journal, or none that counts (no magic, a torn header)
    Valid,       // a header that counts, and the entries that do
    Unreadable,  // the system refused a read: nothing can be said
};

// Reads the journal open on `fd`: its header and every entry up to the first one that does not
// count (torn, of an older period, or the end).
JournalState readJournal(int fd, JournalContents& out);
// Reads the saved bytes of entry e into out (e.length bytes); false when the read falls short.
bool readEntryBytes(int fd, const JournalEntry& e, uint8_t* out);

}  // namespace mdnio::common

// An environment and one open data file, closed when they go out of scope, with the facts about
// the file that every command needs to read and write its records.
#pragma once

#include <string>

#include "mdk/waiting.h"
#include "mdnio.h"

namespace mdk {

enum class FileKind { Classic, Indexed, Extended, Other };

// A record as the interface reads it: the key area (for indexed files the eight digits of the
// record number) and the data.
struct Record {
    std::string key;
    std::string data;
};

class Environment {
  public:
    Environment();
    ~Environment();
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;
    MdkEnv* get() const { return env_; }

  private:
    MdkEnv* env_;
};

enum class Access { ReadOnly, ReadWrite };

// An open file.  Its environment is told not to wait for busy locks: the calls made through
// `patiently` (and those of the methods below) wait as the command line says (mdk/waiting.h).
class OpenFile {
  public:
    // Opens `path`, waiting while another process holds its header lock; throws Failure with
    // the library's message when it cannot.
    OpenFile(Environment& env, const std::string& path, Access access);
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    MdkFile* get() const { return file_; }
    const std::string& path() const { return path_; }
    FileKind kind() const { return kind_; }
    int keyAreaWidth() const { return keyAreaWidth_; }
    int maxDataLength() const { return maxDataLength_; }
    int separator() const { return separator_; }  // a byte, or -1: length-prefixed fields
    long recordCount() const;                     // as the header says now

    // Reads with `option` (MDK_READ_CURRENT, _NEXT, _PRIOR) into `out`.  False at the end of the
    // file (code 4); any other failure throws.
    bool read(int option, Record& out);

    // The record the last read or restricted read delivered in `bytes` (`length` bytes, or -2
    // when the buffer was too small): re-read whole when it was cut short.
    Record record(const std::string& bytes, int32_t length);

    // The stored form of key `keyNumber` (counted from 1) for a caller's key bytes: what the
    // seek compares.  Indexed files: the record number as eight digits.
    std::string storedKey(const std::string& key, int keyNumber);

    // The current record's value of the current key, without its suffix.
    std::string currentKey();

    // Positions on the first key of `keyNumber` at or after `key`; true when that key equals
    // `key` (the code is then left as it was, 3 otherwise).  Other failures throw.
    bool seek(const std::string& key, int keyNumber);

    // Runs a library call on this file (answering -1 on failure) until no lock it needs is busy.
    template <class Call>
    int32_t patiently(Call&& call) const {
        return mdk::patiently(file_, path_, call);
    }

    // Throws "<what>: <message> (code N)" with the handle's last failure.
    [[noreturn]] void fail(const std::string& what) const;

  private:
    Record split(const char* bytes, size_t length) const;

    MdkFile* file_ = nullptr;
    std::string path_;
    FileKind kind_ = FileKind::Other;
    int keyAreaWidth_ = 0;
    int maxDataLength_ = 0;
    int separator_ = 0;
    std::string buffer_;
};

// Waits, as the command line says, while another process holds the header lock of the data
// file at `path`; for calls that open it themselves (the catalog's).  Any other failure to open
// it is left to them to report.
void waitForFile(const std::string& path);

// An indexed file's record number in the form its key takes: eight digits, zero-padded.
// Throws Failure when `text` is not a number of at most eight digits.
std::string recordNumberKey(const std::string& text);

}  // namespace mdk

// Parts of the file verifiers that any keyed format shares: the problem list with its limit,
// read-only files, the names and dumps that messages use, and the check of a slotted block.
// A verifier never trusts what it reads: each part bounds every offset and count it meets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/datablock.h"

namespace mdnio::common::verifying {

std::string hex(uint64_t v);
// The first bytes of a key value, for messages: "[41 42 ...]".
std::string dump(std::span<const uint8_t> v);
std::string keyName(size_t k);
std::string blockName(uint32_t a);
std::string recordName(uint32_t a);

// The problems a verifier lists, at most `max` of them; the others are counted.
class Problems {
  public:
    Problems(std::vector<std::string>& list, size_t max) : list_(list), max_(max) {}
    void add(std::string text);
    // Adds the line that counts the problems not listed; answers their number.
    size_t finish();

  private:
    std::vector<std::string>& list_;
    size_t max_;
    size_t dropped_ = 0;
};

// A file opened for reading, closed with its owner.
class ReadOnlyFile {
  public:
    ReadOnlyFile() = default;
    explicit ReadOnlyFile(int fd) : fd_(fd) {}
    ~ReadOnlyFile();
    ReadOnlyFile(ReadOnlyFile&& o) noexcept;
    ReadOnlyFile& operator=(ReadOnlyFile&& o) noexcept;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int64_t length() const;
    // True when all of `out` was read from `offset`.
    bool read(int64_t offset, std::span<uint8_t> out) const;

  private:
    int fd_ = -1;
};

ReadOnlyFile openForReading(const std::string& path);

// The password kind of a keyed file's dictionary (record payloads in chain order): the kind byte
// (field 3) of the first "EXT" record from record 1 on; 0 when that record carries none, -1 when
// there is no such record.  Kinds 2 and 3 encipher key and data blocks.
int passwordKind(const std::vector<std::vector<uint8_t>>& payloads);

// Checks the slot table of a data or dictionary block (a slotted block) against its records and
// its free count; `maxSize` (0: none) bounds each record.  Returns the used slots.
std::vector<unsigned> checkSlottedBlock(std::span<const uint8_t> block, uint32_t address,
                                        const RecordShape& shape, size_t maxSize,
                                        Problems& problems);

}  // namespace mdnio::common::verifying

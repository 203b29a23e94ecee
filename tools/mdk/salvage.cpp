#include "mdk/salvage.h"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "mdk/failure.h"
#include "mdk/fields.h"
#include "mdk/session.h"

namespace mdk {

namespace {

// A classic file's blocks lie at multiples of 512 from 512 on, after its header.
constexpr uint64_t kBlockAlignment = 512;
// An indexed file's records follow a header of 512 bytes.
constexpr uint64_t kIndexedHeader = 512;
// In the open file's 256-byte header copy (MDK_FILE_HEADER): the end of file (big-endian, 4
// bytes) and the highest segment number.
constexpr int kHeaderEndOfFile = 32;
constexpr int kHeaderSegments = 248;
// A block of a slot-mode file begins with its type and its own address (big-endian).  A record
// slot begins with the length of its key area (below 128) or 0xFF when deleted, never with the
// type of a key block (0xFE) or of a dictionary block (0xFB).
constexpr uint8_t kKeyBlock = 0xFE;
constexpr uint8_t kDictionaryBlock = 0xFB;
constexpr size_t kBlockHead = 5;
// Places listed one by one on standard error; the others are counted only.
constexpr long kPlacesListed = 20;

std::string counted(long n, const char* one, const char* many) {
    return fmt::format("{} {}", n, n == 1 ? one : many);
}

uint32_t be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

uint64_t fileSize(const std::string& path) {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (error) throw Failure(fmt::format("{}: {}", path, error.message()));
    return size;
}

// The blocks of a slot-mode file, found by what they begin with: the type of a key or
// dictionary block, or their own address (a free block, or one whose type byte is damaged).
// A block whose first five bytes are both damaged is not found: its slots are read as records.
std::vector<uint64_t> slotModeBlocks(const std::string& path, uint64_t size) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> chunk(size_t{1} << 20);  // a multiple of the alignment
    std::vector<uint64_t> blocks;
    for (uint64_t at = 0; at < size; at += chunk.size()) {
        const uint64_t length = std::min<uint64_t>(chunk.size(), size - at);
        if (!in.read(chunk.data(), static_cast<std::streamsize>(length)))
            throw Failure(fmt::format("{}: cannot be read at byte {}", path, at));
        for (uint64_t q = std::max(at, kBlockAlignment); q + kBlockHead <= at + length;
             q += kBlockAlignment) {
            const auto* head = reinterpret_cast<const uint8_t*>(chunk.data() + (q - at));
            if (head[0] == kKeyBlock || head[0] == kDictionaryBlock || be32(head + 1) == q)
                blocks.push_back(q);
        }
    }
    return blocks;
}

class Salvager {
  public:
    Salvager(OpenFile& file, Format format, const std::string& encoding)
        : file_(file),
          format_(format),
          codec_(textCodec(file, encoding, format)),
          size_(fileSize(file.path())) {}

    int run() {
        MdkFileInfo info{};
        if (file_.kind() == FileKind::Indexed) {
            walkRecordNumbers();
        } else if (file_.kind() != FileKind::Classic || MDDescribeFile(file_.get(), &info) != 1) {
            throw Failure(file_.path() +
                          ": only classic keyed files and indexed files are read "
                          "in the order of their records");
        } else if (file_.maxDataLength() <= 0) {
            throw Failure(file_.path() +
                          ": the file holds keys only, in its key trees: it has no records to "
                          "read in the order they lie in (dump it without --salvage)");
        } else if (info.describeFlags & MDK_DESCRIBE_BLOCK_MODE) {
            walkBlocks();
        } else {
            walkSlots(info);
        }
        std::fflush(stdout);
        if (skipped_ > kPlacesListed)
            fmt::print(stderr, "{}: {} skipped, not listed\n", file_.path(),
                       counted(skipped_ - kPlacesListed, "more place", "more places"));
        fmt::print(stderr, "{}: salvaged {}, skipped {}\n", file_.path(),
                   counted(saved_, "record", "records"), counted(skipped_, "place", "places"));
        return skipped_ ? kExitFailure : kExitOk;
    }

  private:
    void save(const Record& record) {
        writeRow(stdout, format_, rowOf(record, codec_));
        saved_++;
    }

    void skip(const std::string& place, const std::string& why) {
        if (++skipped_ <= kPlacesListed)
            fmt::print(stderr, "{}: skipped {}: {}\n", file_.path(), place, why);
    }

    // Block mode: the library's walk, which moves past a block it cannot read as it fails on
    // it, so that each failure is a place of its own.  Should a step ever fail twice on one
    // position, the walk stops there rather than turn on the spot.
    void walkBlocks() {
        if (MDK_seek(file_.get(), nullptr, 0, MDK_SEEK_PHYSICAL) != 0)
            file_.fail(file_.path() + ": reading in the order of the records");
        int32_t failedAt = -1;
        for (;;) {
            Record record;
            const int got = readRecord(MDK_READ_NEXT, record);
            if (got == 0) break;
            if (got > 0) {
                save(record);
                continue;
            }
            const std::string why = libraryText(file_.get());
            const int32_t at = MDK_getpos(file_.get());
            const std::string place = blockPlace(static_cast<uint32_t>(at));
            if (at == failedAt) {
                skip(place, "the walk cannot get past it and stops here");
                break;
            }
            failedAt = at;
            skip(place, why);
        }
        beyondEndOfFile();
    }

    // Where the walk failed: on a block it could not read it is left after the block's last
    // slot (or before its first), on a record it could not read at the record.
    static std::string blockPlace(uint32_t at) {
        const uint32_t slot = at & 0xFF;
        if (slot == 0 || slot == 0xFF) return fmt::format("block 0x{:08X}", at - slot);
        return fmt::format("record 0x{:08X} in block 0x{:08X}", at, at - slot);
    }

    // The walk ends at the end of file the header gives: what the file holds after it (a
    // damaged header field) is not read, and said.  Files with segment files end elsewhere.
    void beyondEndOfFile() {
        const intptr_t copy = MDGetEnvMode(file_.get(), MDK_FILE_HEADER);
        const auto* header = reinterpret_cast<const uint8_t*>(copy);
        if (copy == 0 || copy == -5 || header[kHeaderSegments] != 0) return;
        const uint32_t end = be32(header + kHeaderEndOfFile);
        if (size_ > end) {
            skip(fmt::format("bytes 0x{:08X} to 0x{:08X}", end, size_),
                 fmt::format("they lie after the end of file 0x{:08X} that the header gives, "
                             "where reading stops",
                             end));
        }
    }

    // Slot mode: every slot position from the first (after the first block) to the end of the
    // file, passing over the blocks that share the file with the slots.  Deleted slots (code
    // 11: they begin with 0xFF) are free, not damaged.
    void walkSlots(const MdkFileInfo& info) {
        const uint64_t blockSize = static_cast<uint64_t>(std::max(info.blockSizeCode, 1)) * 1024;
        const uint64_t slot = std::max<uint64_t>(
            static_cast<uint64_t>(file_.maxDataLength()) + std::max(file_.keyAreaWidth(), 0) + 3 +
                ((info.describeFlags & MDK_DESCRIBE_COMPRESSED) ? 1 : 0),
            5);
        const std::vector<uint64_t> blocks = slotModeBlocks(file_.path(), size_);
        size_t nextBlock = 0;  // the first block that does not end before the place looked at
        auto inBlock = [&](uint64_t from, uint64_t length) {
            while (nextBlock < blocks.size() && blocks[nextBlock] + blockSize <= from)
                nextBlock++;
            return nextBlock < blocks.size() && blocks[nextBlock] < from + length;
        };
        buffer_.resize(slot + 16);
        const uint64_t end = std::min<uint64_t>(size_, INT32_MAX);  // record addresses are int32
        uint64_t at = kBlockAlignment + blockSize;
        for (; at + slot <= end; at += slot) {
            if (inBlock(at, slot)) continue;
            Record record;
            if (readAt(static_cast<int32_t>(at), record)) {
                save(record);
            } else if (MDK_geterrno(file_.get()) != MDK_E_KEYADDR) {
                skip(fmt::format("slot 0x{:08X}", at), libraryText(file_.get()));
            }
        }
        if (size_ > end) {
            skip(fmt::format("bytes 0x{:08X} to 0x{:08X}", end, size_),
                 "they lie past the highest record address");
        } else if (!blocks.empty() && blocks.back() + blockSize > size_) {
            skip(fmt::format("block 0x{:08X}", blocks.back()),
                 fmt::format("the file ends {} bytes into it", size_ - blocks.back()));
        } else if (at < size_ && !inBlock(at, size_ - at)) {
            skip(fmt::format("slot 0x{:08X}", at),
                 fmt::format("the file ends {} bytes into it", size_ - at));
        }
    }

    // 1 with the record a read with `option` delivers, 0 at the end of the file, -1 when the
    // read failed (the code is in the handle).
    int readRecord(int option, Record& out) {
        try {
            return file_.read(option, out) ? 1 : 0;
        } catch (const Failure&) {
            return -1;
        }
    }

    // The record at `address`, read as it is stored, without the key trees; false when it
    // cannot be read (the code is in the handle).
    bool readAt(int32_t address, Record& out) {
        int32_t n =
            MDK_ExtReadDirect(file_.get(), buffer_.data(), static_cast<int32_t>(buffer_.size()),
                              MDK_READ_NOSEARCH, 0, address);
        if (n == -2) {
            n = MDK_ExtReadDirect(file_.get(), nullptr, 0, MDK_READ_NOSEARCH, 0, address);
            if (n < 0) return false;
            buffer_.resize(static_cast<size_t>(n));
            n = MDK_ExtReadDirect(file_.get(), buffer_.data(), n, MDK_READ_NOSEARCH, 0, address);
        }
        if (n < 0) return false;
        out = file_.record(std::string(buffer_.data(), static_cast<size_t>(n)), n);
        return true;
    }

    // Indexed files: every record number up to the header's count, as far as the file holds
    // whole records; records the count promises past the end of the file, or bytes after the
    // records it counts, are said.
    void walkRecordNumbers() {
        const uint64_t length = static_cast<uint64_t>(std::max(file_.maxDataLength(), 0));
        if (length == 0) throw Failure(file_.path() + ": the header gives no record length");
        const uint64_t inHeader = static_cast<uint64_t>(std::max(file_.recordCount(), 0L));
        const uint64_t inFile = size_ > kIndexedHeader ? (size_ - kIndexedHeader) / length : 0;
        const uint64_t last = std::min(inHeader, inFile);
        for (uint64_t n = 0; n < last; n++) {
            Record record;
            if (MDK_setpos(file_.get(), static_cast<int32_t>(n)) == 0 &&
                readRecord(MDK_READ_CURRENT, record) > 0) {
                save(record);
                continue;
            }
            skip(fmt::format("record {}", n), libraryText(file_.get()));
        }
        const uint64_t counted = kIndexedHeader + inHeader * length;
        if (inHeader > inFile) {
            skip(fmt::format("records {} to {}", inFile, inHeader - 1),
                 fmt::format("the header counts {} records, but the file ends after {} bytes",
                             inHeader, size_));
        } else if (size_ > counted) {
            skip(fmt::format("bytes {} to {}", counted, size_),
                 fmt::format("the file goes on after the {} records its header counts", inHeader));
        }
    }

    OpenFile& file_;
    Format format_;
    FieldCodec codec_;
    uint64_t size_;
    long saved_ = 0;
    long skipped_ = 0;
    std::vector<char> buffer_;
};

}  // namespace

int salvage(const std::string& path, Format format, const std::string& encoding) {
    Environment env;
    OpenFile file(env, path, Access::ReadOnly);
    return Salvager(file, format, encoding).run();
}

}  // namespace mdk

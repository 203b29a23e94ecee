// Test support for the indexed engine: indexed files written byte by byte from the layout
// (without the engine's own encoder, so that a misreading cannot hide behind a round trip),
// and a fixture with an environment and a scratch directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mdnio.h"
#include "testutil.h"

namespace mdnio::indexed::test {

using mdnio::test::readFile;
using mdnio::test::TempDir;
using mdnio::test::writeFile;

inline void appendBe16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

inline void appendBe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

struct FileImage {
    std::string magic = "[Mdnind]";
    int16_t recordLength = 8;
    uint32_t maxRecords = 0;
    uint32_t recordCount = 0;  // stored in the header as given, whatever `records` holds
    uint8_t flags = 0;
    uint8_t separator = 0;
    std::vector<std::string> records;  // each zero-padded (or cut) to the record length

    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> out(magic.begin(), magic.end());
        appendBe16(out, static_cast<uint16_t>(recordLength));
        appendBe32(out, maxRecords);
        appendBe32(out, recordCount);
        out.push_back(flags);
        out.push_back(separator);
        out.resize(512, 0);
        for (const std::string& r : records) {
            std::string padded = r;
            padded.resize(static_cast<size_t>(recordLength), '\0');
            out.insert(out.end(), padded.begin(), padded.end());
        }
        return out;
    }
};

// A file of `count` records of `recordLength` bytes, record n holding "rec<n>".
inline FileImage numberedFile(uint32_t count, int16_t recordLength = 8, uint32_t max = 0) {
    FileImage image;
    image.recordLength = recordLength;
    image.maxRecords = max;
    image.recordCount = count;
    for (uint32_t n = 0; n < count; n++)
        image.records.push_back("rec" + std::to_string(n));
    return image;
}

// Record `n` of the bytes of a file.
inline std::string recordIn(const std::vector<uint8_t>& all, int recordLength, int n) {
    size_t at = 512 + static_cast<size_t>(n) * static_cast<size_t>(recordLength);
    if (all.size() < at + static_cast<size_t>(recordLength)) return "<missing>";
    return std::string(all.begin() + static_cast<std::ptrdiff_t>(at),
                       all.begin() + static_cast<std::ptrdiff_t>(at) + recordLength);
}

// Record `n` of a file as it is on disk.
inline std::string recordOnDisk(const std::string& path, int recordLength, int n) {
    return recordIn(readFile(path), recordLength, n);
}

inline uint32_t countOnDisk(const std::string& path) {
    std::vector<uint8_t> all = readFile(path);
    if (all.size() < 18) return 0xFFFFFFFFu;
    return (uint32_t{all[14]} << 24) | (uint32_t{all[15]} << 16) | (uint32_t{all[16]} << 8) |
           uint32_t{all[17]};
}

// A string of exactly `length` bytes: `text` zero-padded.
inline std::string padded(std::string text, size_t length) {
    text.resize(length, '\0');
    return text;
}

class IndexedTest : public ::testing::Test {
  protected:
    void SetUp() override { env = MDK_AllocEnv(); }
    void TearDown() override { MDK_DeAllocEnv(env); }

    std::string make(const FileImage& image, const std::string& name = "f.ind") {
        std::string path = dir.file(name);
        writeFile(path, image.bytes());
        return path;
    }

    MdkFile* open(const std::string& path, int32_t flags = 0) {
        int32_t error = -1;
        MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, flags, &error);
        EXPECT_NE(f, MDK_INVALID_FILE) << path << " error " << error;
        EXPECT_EQ(error, 0);
        return f;
    }

    // The record a read at the current position delivers, without its key digits.
    std::string readCurrent(MdkFile* f, int recordLength) {
        std::vector<char> buf(static_cast<size_t>(8 + recordLength));
        int32_t n = MDK_read(f, buf.data(), static_cast<int32_t>(buf.size()), MDK_READ_CURRENT);
        if (n != 8 + recordLength) return "<read " + std::to_string(n) + ">";
        return std::string(buf.begin() + 8, buf.end());
    }

    MdkEnv* env = nullptr;
    TempDir dir;
};

}  // namespace mdnio::indexed::test

// Reading what is left of a damaged file: the physical-order walk goes on past a block it cannot
// read, and a read by address can leave the key trees alone, so that records outside the
// damaged places stay readable.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "keyed/testing.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

constexpr int K = 8;
constexpr int kRecords = 120;

std::string key8(int n) {
    char key[16];
    std::snprintf(key, sizeof key, "%08d", n);
    return key;
}

// An environment with one file open in it, both gone at the end of the scope.
struct Opened {
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f;
    Opened(const std::string& path, int32_t flags)
        : f(MDK_OpenExt(env, path.c_str(), nullptr, 0, flags, nullptr)) {}
    ~Opened() { MDK_DeAllocEnv(env); }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
};

// The record address of every key, from a walk in key order.
std::map<std::string, int32_t> addresses(MdkFile* f) {
    std::map<std::string, int32_t> out;
    char buf[256];
    EXPECT_EQ(MDK_seek(f, "", 0, 1), -1);  // before the first key
    while (MDK_read(f, buf, sizeof buf, MDK_READ_NEXT) >= 0)
        out[std::string(buf, K)] = MDK_getpos(f);
    return out;
}

// A sound file of kRecords records of 80 bytes with 1024-byte blocks (some thirty records a
// data block in block mode); answers the address of each key's record.
std::map<std::string, int32_t> recordsFile(const std::string& path, bool blockMode) {
    build(path, layout(blockMode, 1024, 80, K, {{{seg(common::kKeyAreaField, 0, K)}}}));
    Opened file(path, 0);
    EXPECT_NE(file.f, MDK_INVALID_FILE);
    for (int i = 0; i < kRecords; i++) {
        const std::string data = "data of " + key8(i);
        EXPECT_EQ(
            MDK_insert(file.f, data.data(), static_cast<int32_t>(data.size()), key8(i).c_str(), K),
            0);
    }
    std::map<std::string, int32_t> where = addresses(file.f);
    EXPECT_EQ(where.size(), static_cast<size_t>(kRecords));
    return where;
}

// Changes the file's bytes as `change` does.
template <class Change>
void damage(const std::string& path, Change&& change) {
    std::vector<uint8_t> bytes = mdnio::test::readFile(path);
    change(bytes);
    mdnio::test::writeFile(path, bytes);
}

// The keys a walk of reads with `option` delivers, and the codes of the reads that failed on the
// way (the end of the file ends the walk).  A walk that fails on the same place again and again
// is cut off after as many failures as there are records.
struct Walk {
    std::vector<std::string> keys;
    std::vector<int32_t> failures;
};

Walk walk(MdkFile* f, int32_t option) {
    Walk w;
    char buf[256];
    while (w.failures.size() < kRecords) {
        if (MDK_read(f, buf, sizeof buf, option) >= 0) {
            w.keys.emplace_back(buf, K);
            continue;
        }
        if (MDK_geterrno(f) == MDK_E_EOF) break;
        w.failures.push_back(MDK_geterrno(f));
    }
    return w;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// The physical walk, forwards from the start and then backwards from the last record, on a sound
// file and on damaged copies of it.  Backwards the walk enters each block after its last slot.
// A place that cannot be read fails one step each way, and the next step goes on beyond it:
// every record outside it is delivered, backwards in the reverse of the forward order.
TEST(Salvage, ThePhysicalWalkGoesOnPastWhatItCannotRead) {
    struct Case {
        const char* name;
        // Damages the file around the data block `block`, which lies between others.
        void (*damage)(std::vector<uint8_t>& bytes, uint32_t block);
        // Whether the record at `address` is lost with it.
        bool (*lost)(uint32_t address, uint32_t block);
        std::vector<int32_t> failures;
    };
    const std::vector<Case> cases = {
        {"sound file",
         [](std::vector<uint8_t>&, uint32_t) {},
         [](uint32_t, uint32_t) { return false; },
         {}},
        {"a data block with a wrong address of its own",
         [](std::vector<uint8_t>& bytes, uint32_t block) {
             common::putBe32(&bytes[block + 1], block + 0x400);
         },
         [](uint32_t address, uint32_t block) { return (address & ~0xFFu) == block; },
         {MDK_E_KEYADDR}},
        {"a slot whose record offset lies outside its block",
         [](std::vector<uint8_t>& bytes, uint32_t block) {
             common::putBe16(&bytes[block + 6 + 2 * 3], 0xFFF0);
         },
         [](uint32_t address, uint32_t block) { return address == block + 3; },
         {MDK_E_OFFSET}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mdnio::test::TempDir dir;
        const std::string path = dir.file("walk.dat");
        const std::map<std::string, int32_t> where = recordsFile(path, true);
        const uint32_t block = static_cast<uint32_t>(where.at(key8(50))) & ~0xFFu;
        std::vector<std::string> outside;
        for (const auto& [key, address] : where)
            if (!c.lost(static_cast<uint32_t>(address), block)) outside.push_back(key);
        ASSERT_GT(outside.size(), static_cast<size_t>(kRecords / 2));
        damage(path, [&](std::vector<uint8_t>& bytes) { c.damage(bytes, block); });

        Opened file(path, MDK_OPEN_READONLY);
        ASSERT_NE(file.f, MDK_INVALID_FILE);
        ASSERT_EQ(MDK_seek(file.f, nullptr, 0, MDK_SEEK_PHYSICAL), 0);
        const Walk forward = walk(file.f, MDK_READ_NEXT);
        EXPECT_EQ(forward.failures, c.failures);
        EXPECT_EQ(sorted(forward.keys), outside);
        ASSERT_FALSE(forward.keys.empty());
        const Walk backward = walk(file.f, MDK_READ_PRIOR);
        EXPECT_EQ(backward.failures, c.failures);
        EXPECT_EQ(backward.keys,
                  std::vector<std::string>(forward.keys.rbegin() + 1, forward.keys.rend()));
    }
}

// In slot mode there is no physical walk: records are read by their slot addresses.  A read by
// address looks the record up in the current key's tree to place the position there, so a
// damaged root fails every such read; with MDK_READ_NOSEARCH the record is read as it is stored.
TEST(Salvage, AReadByAddressCanLeaveTheKeyTreeAlone) {
    mdnio::test::TempDir dir;
    const std::string path = dir.file("slots.dat");
    const std::map<std::string, int32_t> where = recordsFile(path, false);
    damage(path, [](std::vector<uint8_t>& bytes) {
        const uint32_t root = common::getBe32(&bytes[40]);  // of key 0
        bytes[root + 1] ^= 0x40;                            // its own address, wrong
    });

    Opened file(path, MDK_OPEN_READONLY);
    ASSERT_NE(file.f, MDK_INVALID_FILE);
    char buf[256];
    EXPECT_EQ(MDK_ExtReadDirect(file.f, buf, sizeof buf, 0, 0, where.at(key8(77))), -1);
    EXPECT_EQ(MDK_geterrno(file.f), MDK_E_KEYADDR);
    for (const auto& [key, address] : where) {
        const int32_t n = MDK_ExtReadDirect(file.f, buf, sizeof buf, MDK_READ_NOSEARCH, 0, address);
        ASSERT_EQ(n, K + 16) << key << ": code " << MDK_geterrno(file.f);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), key + "data of " + key);
        EXPECT_EQ(MDK_getpos(file.f), address);
    }
}

}  // namespace

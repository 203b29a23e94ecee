// Damaged files: whatever bytes a file holds, the engine answers with error codes, never a
// crash, an endless call or a read outside its buffers (the sanitizers watch).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "keyed/testing.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

constexpr char kSep = static_cast<char>(0x8A);

std::vector<uint8_t> soundFile(const std::string& path, bool blockMode) {
    ClassicLayout l =
        layout(blockMode, 1024, 80, 8, {{{seg(common::kKeyAreaField, 0, 8)}}, {{seg(1, 0, 10)}}});
    l.compress = blockMode;
    build(path, l);
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    for (int i = 0; i < 400; i++) {
        char key[9];
        std::snprintf(key, sizeof key, "%08d", i * 13 % 1000);
        std::string data = "name" + std::to_string(i % 50) + kSep + std::string(i % 60, 'x');
        if (blockMode && i % 40 == 0) data += std::string(300, 'y');  // pieces
        MDK_write(f, data.data(), static_cast<int32_t>(data.size()), key, 8);
    }
    MDK_dict_add(f, 0, "dictionary", 10);
    MDK_DeAllocEnv(env);
    return mdnio::test::readFile(path);
}

// Opens the file and works on it a little; every call may fail, none may crash or hang.
void exercise(const std::string& path) {
    MdkEnv* env = MDK_AllocEnv();
    MDSetEnvMode(env, 3, 0x0C);
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    if (f != MDK_INVALID_FILE) {
        char buf[2048];
        for (int keyNumber : {1, 2}) {
            MDK_seek(f, "", 0, keyNumber);
            for (int i = 0; i < 500 && MDK_read(f, buf, sizeof buf, MDK_READ_NEXT) >= 0; i++) {
            }
            for (int i = 0; i < 50 && MDK_read(f, buf, sizeof buf, MDK_READ_PRIOR) >= 0; i++) {
            }
        }
        MDK_seek(f, "00000130", 8, 1);
        MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT);
        MDK_write(f,
                  "new\x8A"
                  "record",
                  10, "zzzzzzzz", 8);
        MDK_remove(f, "00000130", 8);
        MDK_dict(f, 0, buf, sizeof buf);
        MDK_seek(f, nullptr, 0, MDK_SEEK_PHYSICAL);
        for (int i = 0; i < 50 && MDK_read(f, buf, sizeof buf, MDK_READ_NEXT) >= 0; i++) {
        }
        MDK_close(f);
    }
    MDK_DeAllocEnv(env);
}

class Corrupt : public ::testing::TestWithParam<bool> {};

TEST_P(Corrupt, RandomDamageNeverCrashes) {
    mdnio::test::TempDir dir;
    std::string good = dir.file("good.dat");
    std::vector<uint8_t> bytes = soundFile(good, GetParam());
    std::mt19937 rng(GetParam() ? 7 : 8);
    std::string path = dir.file("bad.dat");
    for (int round = 0; round < 150; round++) {
        std::vector<uint8_t> bad = bytes;
        int hits = 1 + static_cast<int>(rng() % 8);
        for (int h = 0; h < hits; h++) {
            // Mostly inside blocks and the header, sometimes whole runs of bytes.
            size_t at = rng() % bad.size();
            size_t run = rng() % 4 == 0 ? 1 + rng() % 64 : 1;
            for (size_t i = at; i < std::min(bad.size(), at + run); i++)
                bad[i] = static_cast<uint8_t>(rng());
        }
        mdnio::test::writeFile(path, bad);
        exercise(path);
    }
    // The verifier reads damaged files without trouble too.
    mdnio::test::writeFile(path, bytes);
    expectSound(path);
}

// Another program cuts the file short while it is open here: the handle's view of the file still
// spans the old length, and every read past the new end must fail with a code, not a signal.
TEST_P(Corrupt, AFileCutShortWhileOpenFailsReadsWithACode) {
    mdnio::test::TempDir dir;
    std::string path = dir.file("cut.dat");
    soundFile(path, GetParam());
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    ASSERT_NE(f, MDK_INVALID_FILE);
    ASSERT_EQ(::truncate(path.c_str(), 2048), 0);  // the header and little else
    char buf[2048];
    int32_t seek = MDK_seek(f, "00000130", 8, 1);
    int32_t read = MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT);
    EXPECT_TRUE(seek == -1 || read == -1);
    EXPECT_NE(MDK_geterrno(f), 0);
    MDK_seek(f, "", 0, 1);
    int records = 0;
    while (MDK_read(f, buf, sizeof buf, MDK_READ_NEXT) > 0)
        records++;
    EXPECT_LT(records, 400);
    EXPECT_NE(MDK_geterrno(f), MDK_E_EOF);
    MDK_DeAllocEnv(env);
}

// Changes the byte at `offset` of the file in place, as another program would.
void poke(const std::string& path, size_t offset, uint8_t value) {
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, &value, 1, static_cast<off_t>(offset)), 1);
    ::close(fd);
}

// Key n as eight digits.
std::string key8(int n) {
    char key[16];
    std::snprintf(key, sizeof key, "%08d", n);
    return key;
}

// A sound file of `records` records of 80 bytes, block or slot mode, 1024-byte blocks.
void recordsFile(const std::string& path, bool blockMode, int records) {
    build(path, layout(blockMode, 1024, 80, 8, {{{seg(common::kKeyAreaField, 0, 8)}}}));
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    ASSERT_NE(f, MDK_INVALID_FILE);
    for (int i = 0; i < records; i++)
        ASSERT_EQ(MDK_insert(f, std::string(80, 'r').data(), 80, key8(i).c_str(), 8), 0);
    if (!blockMode) {
        // A removed record: the deleted-slot chain has a head.
        ASSERT_EQ(MDK_remove(f, "00000003", 8), 0);
    }
    MDK_DeAllocEnv(env);
}

// Header addresses that point past what the file holds (the end of file, a key root, the heads
// of the free chains, the free-block group hint) make a file that a write would grow without
// bound, or into segment files: it is refused at open with 41, nothing written, and the verifier
// reports it.
TEST(DamagedHeader, AddressesBeyondTheFileAreRefusedAtOpen) {
    struct Damage {
        const char* name;
        bool blockMode;
        int offset;      // of a big-endian 32-bit header field
        uint32_t value;  // 0: the field's high byte becomes 0x64
    };
    const std::vector<Damage> cases = {
        {"slot mode: end of file", false, 32, 0},
        {"block mode: end of file", true, 32, 0},
        {"slot mode: root of key 0", false, 40, 0},
        {"block mode: root of key 0", true, 40, 0},
        {"slot mode: deleted-slot chain", false, 24, 0},
        {"slot mode: free-block chain", false, 28, 0x00100000},
        {"block mode: free-block group hint", true, 28, 512 + 1018 * 1024},  // the next group
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.name);
        mdnio::test::TempDir dir;
        std::string path = dir.file("head.dat");
        recordsFile(path, d.blockMode, 40);
        std::vector<uint8_t> bytes = mdnio::test::readFile(path);
        if (d.value == 0) {
            ASSERT_EQ(bytes[d.offset], 0);
            bytes[d.offset] = 0x64;
        } else {
            common::putBe32(&bytes[d.offset], d.value);
        }
        mdnio::test::writeFile(path, bytes);
        MdkEnv* env = MDK_AllocEnv();
        int32_t err = 0;
        MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
        if (f != MDK_INVALID_FILE) {
            // What the refusal spares the file: writes on the damaged header.
            for (int i = 100; i < 140; i++)
                MDK_insert(f, std::string(80, 'n').data(), 80, key8(i).c_str(), 8);
        }
        EXPECT_EQ(f, MDK_INVALID_FILE);
        EXPECT_EQ(err, MDK_E_BUFFER);
        MDK_DeAllocEnv(env);
        EXPECT_EQ(mdnio::test::readFile(path), bytes);
        EXPECT_FALSE(std::ifstream(path + ".001").good());
        EXPECT_FALSE(verifyClassicFile(path).ok());
    }
}

// Another program damages the header while the file is open here: the next call that takes the
// header lock re-reads it, refuses with 41 without writing, and gives the lock back.
TEST_P(Corrupt, AHeaderDamagedWhileOpenIsRefusedAtTheNextCall) {
    mdnio::test::TempDir dir;
    std::string path = dir.file("open.dat");
    recordsFile(path, GetParam(), 10);
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    ASSERT_NE(f, MDK_INVALID_FILE);
    const std::string data(80, 'w');
    const intptr_t records = MDGetEnvMode(f, -4);
    poke(path, 32, 0x64);  // the end of file's high byte
    const std::vector<uint8_t> damaged = mdnio::test::readFile(path);
    EXPECT_EQ(MDK_insert(f, data.data(), 80, "00000100", 8), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_BUFFER);
    EXPECT_EQ(mdnio::test::readFile(path), damaged);
    poke(path, 32, 0x00);
    // The header lock went back with the refusal: an environment that never waits gets it.
    MdkEnv* other = MDK_AllocEnv();
    ASSERT_EQ(MDSetEnvMode(other, 3, 0x0C), 0);
    MdkFile* g = MDK_OpenExt(other, path.c_str(), nullptr, 0, 0, nullptr);
    ASSERT_NE(g, MDK_INVALID_FILE);
    EXPECT_EQ(MDK_insert(g, data.data(), 80, "00000101", 8), 0);
    MDK_DeAllocEnv(other);
    EXPECT_EQ(MDK_insert(f, data.data(), 80, "00000100", 8), 0);
    EXPECT_EQ(MDGetEnvMode(f, -4), records + 2);
    MDK_DeAllocEnv(env);
    expectSound(path);
}

INSTANTIATE_TEST_SUITE_P(Storage, Corrupt, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "block" : "slot"; });

// A file of `records` records with a sequence-suffixed primary key of five key-area bytes (a
// value of 9 bytes with the sequence number), slot mode.
void sequenceKeyed(const std::string& path, int R, int records) {
    build(path, layout(false, 1024, R, 5,
                       {{{seg(common::kKeyAreaField, 0, 5)}, common::kKeySequenceSuffixed}}));
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    ASSERT_NE(f, MDK_INVALID_FILE);
    for (int i = 0; i < records; i++) {
        std::string key = "KEY" + std::to_string(10 + i);
        ASSERT_EQ(MDK_insert(f, R ? "data" : "", R ? 4 : 0, key.data(), 5), 0);
    }
    MDK_DeAllocEnv(env);
}

// The first entry of key 0's root (here a leaf) says its value is 240 bytes long, in a key whose
// values hold 9: whatever call meets the entry fails with 12, and none hands out more than the
// key's bytes (the sanitizer watches the copies).
TEST(DamagedKeyEntry, ALengthByteAboveTheKeyLength) {
    struct Walk {
        const char* name;
        int R;
        int32_t (*call)(MdkFile* f, uint32_t root);
    };
    const std::vector<Walk> walks = {
        {"seek, read current, get key", 40,
         [](MdkFile* f, uint32_t) {
             char buf[512];
             int32_t rc = MDK_seek(f, "", 0, 1);
             if (rc == 0) rc = MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT) < 0 ? -1 : 0;
             if (rc == 0) rc = MDK_GetKey(f, buf, sizeof buf, -1);
             return rc;
         }},
        {"read next from the start", 40,
         [](MdkFile* f, uint32_t) {
             char buf[512];
             return MDK_read(f, buf, sizeof buf, MDK_READ_NEXT);
         }},
        {"key-only file: set position, get key", 0,
         [](MdkFile* f, uint32_t root) {
             char buf[512];
             int32_t rc = MDK_setpos(f, static_cast<int32_t>(root));
             if (rc == 0) rc = MDK_GetKey(f, buf, sizeof buf, -1);
             return rc;
         }},
    };
    for (const Walk& w : walks) {
        SCOPED_TRACE(w.name);
        mdnio::test::TempDir dir;
        std::string path = dir.file("entry.dat");
        sequenceKeyed(path, w.R, 5);
        const uint32_t root = common::getBe32(&mdnio::test::readFile(path)[40]);  // of key 0
        ASSERT_NE(root, 0u);
        poke(path, root + 6 + 4, 0xF0);  // pointer (4 bytes), then the length byte
        MdkEnv* env = MDK_AllocEnv();
        MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
        ASSERT_NE(f, MDK_INVALID_FILE);
        EXPECT_EQ(w.call(f, root), -1);
        EXPECT_EQ(MDK_geterrno(f), MDK_E_KEYSIZE);
        MDK_DeAllocEnv(env);
    }
}

}  // namespace

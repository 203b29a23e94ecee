// Writes the file cannot hold are refused with a code before anything is written: the file keeps
// its bytes and its record count, and stays sound.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "keyed/format.h"
#include "keyed/testing.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

constexpr char kSep = static_cast<char>(0x8A);

using Call = std::function<int32_t(MdkFile*)>;

struct Refusal {
    const char* name;
    ClassicLayout layout;
    Call call;
    int32_t code;
};

Call insert(std::string data, std::string key) {
    return [=](MdkFile* f) {
        return MDK_insert(f, data.data(), static_cast<int32_t>(data.size()), key.data(),
                          static_cast<int32_t>(key.size()));
    };
}

Call extWrite(std::string data, std::string key, int32_t mode, int32_t offset = 0) {
    return [=](MdkFile* f) {
        return MDK_ExtWrite(f, data.data(), static_cast<int32_t>(data.size()), key.data(),
                            static_cast<int32_t>(key.size()), mode, offset);
    };
}

// A first record for a file of layout l, with its primary key K00001 in the key area or, in a file
// without one, in field 1 of the data.
int32_t seed(MdkFile* f, const ClassicLayout& l) {
    if (l.keyAreaSize == 0) return insert(std::string("K00001") + kSep + "seed", "")(f);
    return insert(l.recordSize > 0 ? std::string("seed") + kSep + "A" : "", "K00001")(f);
}

// Runs each case on a file that already holds one record: the refused call answers -1 with the
// case's code, and the file is as it was.
void expectRefusals(const std::vector<Refusal>& cases) {
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        mdnio::test::TempDir dir;
        const std::string path = dir.file("f.dat");
        build(path, c.layout);
        MdkEnv* env = MDK_AllocEnv();
        MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
        ASSERT_NE(f, MDK_INVALID_FILE);
        ASSERT_EQ(seed(f, c.layout), 0);
        const intptr_t count = MDGetEnvMode(f, -4);
        const std::vector<uint8_t> before = mdnio::test::readFile(path);
        EXPECT_EQ(c.call(f), -1);
        EXPECT_EQ(MDK_geterrno(f), c.code);
        EXPECT_EQ(MDGetEnvMode(f, -4), count);
        EXPECT_EQ(mdnio::test::readFile(path), before);
        MDK_DeAllocEnv(env);
        expectSound(path);
    }
}

ClassicLayout keyAreaFile(bool blockMode, int R, common::Segment key0) {
    return layout(blockMode, 1024, R, 6, {{{key0}}});
}

// A primary key value that is empty (all zero) gives the record no entry in key 0: nothing could
// ever reach it.  Whatever builds such a value is refused with the key code.
TEST(Refusals, AnEmptyPrimaryKeyValue) {
    const common::Segment area = seg(common::kKeyAreaField, 0, 6);
    ClassicLayout fromData = layout(true, 1024, 40, 0, {{{seg(1, 0, 6)}}});
    ClassicLayout keysOnly = keyAreaFile(false, 0, area);
    expectRefusals({
        {"insert, block mode", keyAreaFile(true, 40, area), insert("hello", ""), MDK_E_KEY},
        {"insert, slot mode", keyAreaFile(false, 40, area), insert("hello", ""), MDK_E_KEY},
        {"write either way", keyAreaFile(true, 40, area), extWrite("hello", "", MDK_WRITE_EITHER),
         MDK_E_KEY},
        {"update", keyAreaFile(true, 40, area), extWrite("hello", "", MDK_WRITE_UPDATE), MDK_E_KEY},
        {"key-only file", keysOnly, insert("", ""), MDK_E_KEY},
        {"empty data field", fromData, insert(std::string(1, kSep) + "rest", ""), MDK_E_KEY},
    });
}

// Empty key bytes that still build a value the tree holds are kept: a sequence-suffixed key 0
// carries its sequence number, a descending segment its padding.
TEST(Refusals, EmptyKeyBytesWithAValueAreKept) {
    const std::vector<std::pair<const char*, KeySpec>> keys = {
        {"sequence", {{seg(common::kKeyAreaField, 0, 6)}, common::kKeySequenceSuffixed}},
        {"descending", {{seg(common::kKeyAreaField, 0, 6, 0, true)}}},
    };
    for (const auto& [name, key] : keys) {
        SCOPED_TRACE(name);
        mdnio::test::TempDir dir;
        const std::string path = dir.file("f.dat");
        build(path, layout(true, 1024, 40, 6, {key}));
        MdkEnv* env = MDK_AllocEnv();
        MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
        ASSERT_EQ(MDK_insert(f, "hello", 5, "", 0), 0);
        EXPECT_EQ(MDGetEnvMode(f, -4), 1);
        char buf[64];
        MDK_seek(f, "", 0, 1);
        ASSERT_EQ(MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT), 6 + 5);
        EXPECT_EQ(std::string(buf + 6, 5), "hello");
        MDK_DeAllocEnv(env);
        expectSound(path);
    }
}

// A file whose record size is 0 holds keys only: data given for it is refused, not dropped.
TEST(Refusals, DataForAFileWithoutRecordData) {
    const common::Segment area = seg(common::kKeyAreaField, 0, 6);
    const std::string data = "hello world";
    expectRefusals({
        {"insert, block mode", keyAreaFile(true, 0, area), insert(data, "K00002"), MDK_E_RECSIZE},
        {"insert, slot mode", keyAreaFile(false, 0, area), insert(data, "K00002"), MDK_E_RECSIZE},
        {"write over a record", keyAreaFile(true, 0, area),
         extWrite(data, "K00001", MDK_WRITE_EITHER), MDK_E_RECSIZE},
        {"update", keyAreaFile(true, 0, area), extWrite(data, "K00001", MDK_WRITE_UPDATE),
         MDK_E_RECSIZE},
    });
}

// The data a record of R = 40 may carry: 40 bytes in the record and 40 in each of its at most
// kMaxPiecesPerRecord continuation pieces, the limit the verifier checks.
constexpr size_t kLongest = 40 * (1 + kMaxPiecesPerRecord);

ClassicLayout piecesFile() {
    return layout(true, 1024, 40, 8, {{{seg(common::kKeyAreaField, 0, 8)}}});
}

// A record longer than that is refused before anything is written, however it is written.
TEST(Refusals, RecordsWithMorePiecesThanTheLimit) {
    const std::string past(kLongest + 1, 'p');
    expectRefusals({
        {"3 MB", piecesFile(), insert(std::string(3'000'000, 'x'), "K00002"), MDK_E_RECSIZE},
        {"one byte past", piecesFile(), insert(past, "K00002"), MDK_E_RECSIZE},
        {"write over a record", piecesFile(), extWrite(past, "K00001", MDK_WRITE_EITHER),
         MDK_E_RECSIZE},
        // Offsets count over the key area (8 bytes) and the data.
        {"part of a record", piecesFile(),
         extWrite(std::string(kLongest - 99, 'p'), "K00001", MDK_WRITE_UPDATE, 8 + 100),
         MDK_E_RECSIZE},
    });
}

// The longest record is written, read back whole, and the verifier finds the file sound.
TEST(Refusals, TheLongestRecordIsKept) {
    mdnio::test::TempDir dir;
    const std::string path = dir.file("f.dat");
    build(path, piecesFile());
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    std::string longest(kLongest, 'a');
    for (size_t i = 0; i < longest.size(); i += 97)
        longest[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(MDK_insert(f, longest.data(), static_cast<int32_t>(longest.size()), "K00001", 6), 0);
    std::vector<char> buf(8 + kLongest + 1);
    ASSERT_EQ(MDK_seek(f, "K00001", 6, 1), 0);
    ASSERT_EQ(MDK_read(f, buf.data(), static_cast<int32_t>(buf.size()), MDK_READ_CURRENT),
              static_cast<int32_t>(8 + kLongest));
    EXPECT_TRUE(std::string(buf.data() + 8, kLongest) == longest);
    MDK_DeAllocEnv(env);
    expectSound(path);
}

}  // namespace

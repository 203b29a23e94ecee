// Record and key features of the classic engine: long records in pieces, segment options,
// separators and length-coded fields, key-only files, sequence-suffixed primary keys,
// auto-numbered fields, dictionary records, dropping a key, raw reading and positions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "keyed/testing.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

constexpr char kSep = static_cast<char>(0x8A);

class Features : public ::testing::Test {
  protected:
    void TearDown() override {
        if (file != MDK_INVALID_FILE) MDK_close(file);
        if (!path.empty()) expectSound(path);
        MDK_DeAllocEnv(env);
    }
    // Makes the file anew for the next case of a table: the previous case's file is checked
    // and removed first.
    void create(const ClassicLayout& l) {
        if (file != MDK_INVALID_FILE) {
            MDK_close(file);
            expectSound(path);
            std::remove(path.c_str());
            file = MDK_INVALID_FILE;
        }
        path = dir.file("f.dat");
        build(path, l);
        int32_t err = 0;
        file = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
        ASSERT_NE(file, MDK_INVALID_FILE) << err;
    }
    int32_t put(const std::string& key, const std::string& data, int32_t mode = MDK_WRITE_EITHER) {
        return MDK_ExtWrite(file, data.data(), static_cast<int32_t>(data.size()), key.data(),
                            static_cast<int32_t>(key.size()), mode, 0);
    }
    // The record read with `option`, data only (after K key-area bytes).
    std::string data(int32_t option, int K) {
        std::vector<char> buf(70000);
        int32_t n = MDK_read(file, buf.data(), static_cast<int32_t>(buf.size()), option);
        if (n < K) return "<" + std::to_string(MDK_geterrno(file)) + ">";
        return std::string(buf.data() + K, static_cast<size_t>(n - K));
    }
    std::vector<std::string> keysInOrder(int keyNumber, int K) {
        std::vector<std::string> out;
        MDK_seek(file, "", 0, keyNumber);
        std::vector<char> buf(70000);
        while (MDK_read(file, buf.data(), static_cast<int32_t>(buf.size()), MDK_READ_NEXT) >= 0) {
            std::string k(buf.data(), static_cast<size_t>(K));
            out.push_back(k.substr(0, k.find('\0')));
        }
        EXPECT_EQ(MDK_geterrno(file), MDK_E_EOF);
        return out;
    }
    mdnio::test::TempDir dir;
    std::string path;
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* file = MDK_INVALID_FILE;
};

TEST_F(Features, RecordsLongerThanRLiveInPieces) {
    for (bool compress : {false, true}) {
        SCOPED_TRACE(compress);
        ClassicLayout l = layout(true, 1024, 100, 6, {{{seg(common::kKeyAreaField, 0, 6)}}});
        l.compress = compress;
        create(l);
        std::string big;
        for (int i = 0; i < 5000; i++)
            big.push_back(static_cast<char>('a' + i * 7 % 26));
        ASSERT_EQ(put("long", big), 0);
        ASSERT_EQ(put("short", "tiny"), 0);
        ASSERT_EQ(MDK_seek(file, "long", 4, 1), 0);
        EXPECT_EQ(data(MDK_READ_CURRENT, 6), big);
        EXPECT_EQ(MDK_read(file, nullptr, 0, MDK_READ_CURRENT), 6 + 5000);
        // Shrinking and growing reuse and add pieces.
        std::string mid = big.substr(0, 1234);
        ASSERT_EQ(put("long", mid), 0);
        ASSERT_EQ(MDK_seek(file, "long", 4, 1), 0);
        EXPECT_EQ(data(MDK_READ_CURRENT, 6), mid);
        std::string bigger = big + big;
        ASSERT_EQ(put("long", bigger), 0);
        ASSERT_EQ(MDK_seek(file, "long", 4, 1), 0);
        EXPECT_EQ(data(MDK_READ_CURRENT, 6), bigger);
        EXPECT_EQ(data(MDK_READ_NEXT, 6), "tiny");
        ASSERT_EQ(MDK_remove(file, "long", 4), 0);
        EXPECT_EQ(MDGetEnvMode(file, -4), 1);
    }
}

TEST_F(Features, SlotModeRefusesRecordsLongerThanR) {
    create(layout(false, 1024, 20, 4, {{{seg(common::kKeyAreaField, 0, 4)}}}));
    EXPECT_EQ(put("k", std::string(21, 'x')), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_RECSIZE);
    EXPECT_EQ(put("k", std::string(20, 'x')), 0);
}

TEST_F(Features, SegmentOptionsOrderTheKeys) {
    struct Case {
        const char* name;
        common::Segment segment;
        std::vector<std::string> values;  // field 1 of the records, keys r0, r1, ...
        std::vector<std::string> order;   // record keys in the order of key 1
    };
    const std::vector<Case> cases = {
        {"upper", seg(1, 0, 6, common::kOptUpper), {"b", "A", "c"}, {"r1", "r0", "r2"}},
        // The record address follows the significant bytes, so "a" sorts before "ab".
        {"descending", seg(1, 0, 6, 0, true), {"b", "a", "c", "ab"}, {"r2", "r0", "r1", "r3"}},
        {"reverse", seg(1, 0, 3, common::kOptReverse), {"xya", "zzb", "aac"}, {"r0", "r1", "r2"}},
        {"accents",
         seg(1, 0, 6, common::kOptFoldAccents | common::kOptUpper),
         {"\xE9t\xE9", "eta", "ez"},
         {"r1", "r0", "r2"}},  // ETE, ETA, EZ
        // Signed bytes 1, -1, -128 in numeric order.
        {"flip", seg(1, 0, 1, common::kOptFlipSign), {"\x01", "\xFF", "\x80"}, {"r2", "r1", "r0"}},
        {"offset", seg(1, 2, 3), {"zza", "aab", "mmc"}, {"r0", "r1", "r2"}},
        {"null",
         seg(1, 0, 3, common::kOptNullSegment, false, ' '),
         {"   ", "b", "a"},
         {"r2", "r1"}},
        {"stopAtZero",
         seg(1, 0, 4, common::kOptStopAtZero),
         {std::string("a\0z", 3), "a", "b"},
         {"r0", "r1", "r2"}},
        {"lower", seg(1, 0, 6, common::kOptLower), {"B", "a", "C"}, {"r1", "r0", "r2"}},
        // A single-segment key: a null segment gives the record no entry.
        {"nullCounting",
         seg(1, 0, 3, common::kOptNullCounting, false, '-'),
         {"---", "b", "a"},
         {"r2", "r1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        create(layout(true, 1024, 40, 4, {{{seg(common::kKeyAreaField, 0, 4)}}, {{c.segment}}}));
        for (size_t i = 0; i < c.values.size(); i++)
            ASSERT_EQ(put("r" + std::to_string(i), c.values[i] + kSep + "tail"), 0);
        EXPECT_EQ(keysInOrder(2, 4), c.order);
    }
}

TEST_F(Features, SeparatorsAndLengthCodedFields) {
    struct Case {
        const char* name;
        ClassicLayout::Separator kind;
        uint8_t byte;
        std::vector<std::string> records;  // key "r<i>", field 2 orders
        std::vector<std::string> order;
    };
    const std::vector<Case> cases = {
        {"default",
         ClassicLayout::Separator::Default,
         0x8A,
         {std::string("x\x8A"
                      "b"),
          std::string("y\x8A"
                      "a")},
         {"r1", "r0"}},
        {"pipe",
         ClassicLayout::Separator::Byte,
         '|',
         {"x|b", "y|a",
          "z\x8A"
          "c|0"},
         {"r2", "r1", "r0"}},
        {"prefixed",
         ClassicLayout::Separator::LengthPrefixed,
         0,
         {std::string("\x01x\x01"
                      "b"),
          std::string("\x02yy\x01"
                      "a"),
          std::string("\xF1\x01z\x01"
                      "c")},
         {"r1", "r0", "r2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClassicLayout l =
            layout(true, 1024, 40, 4, {{{seg(common::kKeyAreaField, 0, 4)}}, {{seg(2, 0, 4)}}});
        l.separator = c.kind;
        l.separatorByte = c.byte;
        create(l);
        EXPECT_EQ(MDGetEnvMode(file, -10),
                  c.kind == ClassicLayout::Separator::LengthPrefixed ? -1 : c.byte);
        for (size_t i = 0; i < c.records.size(); i++)
            ASSERT_EQ(put("r" + std::to_string(i), c.records[i]), 0);
        EXPECT_EQ(keysInOrder(2, 4), c.order);
    }
}

TEST_F(Features, KeyOnlyFiles) {
    create(layout(false, 1024, 0, 6, {{{seg(common::kKeyAreaField, 0, 6, common::kOptUpper)}}}));
    for (const char* k : {"delta", "alpha", "charly", "bravo"})
        ASSERT_EQ(put(k, ""), 0);
    EXPECT_EQ(put("alpha", "", MDK_WRITE_INSERT), -1);
    EXPECT_EQ(keysInOrder(1, 6), (std::vector<std::string>{"ALPHA", "BRAVO", "CHARLY", "DELTA"}));
    ASSERT_EQ(MDK_seek(file, "charly", 6, 1), 0);
    int32_t pos = MDK_getpos(file);
    EXPECT_NE(pos, 0);
    EXPECT_EQ(MDK_remove(file, "bravo", 5), 0);
    EXPECT_EQ(keysInOrder(1, 6), (std::vector<std::string>{"ALPHA", "CHARLY", "DELTA"}));
    EXPECT_EQ(MDGetEnvMode(file, -4), 3);
}

TEST_F(Features, SequenceSuffixedPrimaryKey) {
    create(layout(true, 1024, 40, 4,
                  {{{seg(common::kKeyAreaField, 0, 4)}, common::kKeySequenceSuffixed}}));
    // Equal key bytes do not clash: the sequence number tells the records apart.
    ASSERT_EQ(MDK_write(file, "one", 3, "dup", 3), 0);
    ASSERT_EQ(MDK_write(file, "two", 3, "dup", 3), 0);
    ASSERT_EQ(MDK_write(file, "three", 5, "abc", 3), 0);
    EXPECT_EQ(MDGetEnvMode(file, -4), 3);
    ASSERT_EQ(MDK_seek(file, "dup", 3, 1), 0);
    EXPECT_EQ(data(MDK_READ_CURRENT, 4), "one");
    EXPECT_EQ(data(MDK_READ_NEXT, 4), "two");
    // An update-only write rewrites the current record.
    ASSERT_EQ(MDK_update(file, "TWO!", 4, "dup", 3), 0);
    ASSERT_EQ(MDK_seek(file, "dup", 3, 1), 0);
    EXPECT_EQ(data(MDK_READ_CURRENT, 4), "one");
    EXPECT_EQ(data(MDK_READ_NEXT, 4), "TWO!");
    char key[8] = {};
    EXPECT_EQ(MDK_GetKey(file, key, sizeof key, 0), 3);
    EXPECT_EQ(std::string(key, 3), "dup");
    // Remove the current record (no key bytes).
    ASSERT_EQ(MDK_remove(file, nullptr, 0), 0);
    EXPECT_EQ(keysInOrder(1, 4), (std::vector<std::string>{"abc", "dup"}));
}

TEST_F(Features, AutoNumberedFields) {
    struct Case {
        const char* name;
        uint16_t option;
        uint8_t length;
        std::string first, second;  // field 1 of the second record after numbering
    };
    const std::vector<Case> cases = {
        {"binary", common::kOptReverseAuto, 2, std::string("\x01\x00", 2),
         std::string("\x02\x00", 2)},
        {"zeros", common::kOptAutoTextZero, 5, "00001", "00002"},
        {"blanks", common::kOptAutoText, 5, "    1", "    2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        create(layout(true, 1024, 40, 4,
                      {{{seg(common::kKeyAreaField, 0, 4)}}, {{seg(1, 0, c.length, c.option)}}}));
        std::string zero = c.option == common::kOptReverseAuto ? std::string(c.length, '\0')
                                                               : std::string(c.length, ' ');
        ASSERT_EQ(put("a", zero + kSep + "x"), 0);
        ASSERT_EQ(put("b", zero + kSep + "y"), 0);
        ASSERT_EQ(MDK_seek(file, "a", 1, 1), 0);
        EXPECT_EQ(data(MDK_READ_CURRENT, 4).substr(0, c.length), c.first);
        EXPECT_EQ(data(MDK_READ_NEXT, 4).substr(0, c.length), c.second);
    }
}

// Records with nothing in one of their parts: an insert with no data that numbers a unique
// auto-numbered field, and updates on a file without a key area (of the current record, of part
// of a record).  Copies of nothing go through with no null pointer (the sanitizer stops a test
// that passes one).
TEST_F(Features, EmptyDataAndNoKeyArea) {
    create(layout(true, 1024, 40, 6,
                  {{{seg(common::kKeyAreaField, 0, 6)}},
                   {{seg(0, 0, 5, common::kOptAutoTextZero)}, common::kKeyUnique}}));
    ASSERT_EQ(MDK_insert(file, "", 0, "A99999", 6), 0);
    ASSERT_EQ(MDK_seek(file, "A99999", 6, 1), 0);
    EXPECT_EQ(data(MDK_READ_CURRENT, 6), "00001");

    create(layout(true, 1024, 40, 0, {{{seg(1, 0, 4)}}}));
    ASSERT_EQ(put("", std::string("K001") + kSep + "first"), 0);
    ASSERT_EQ(MDK_seek(file, "K001", 4, 1), 0);
    const std::string second = std::string("K001") + kSep + "second";
    ASSERT_EQ(MDK_ExtWrite(file, second.data(), static_cast<int32_t>(second.size()), nullptr, -1,
                           MDK_WRITE_UPDATE, 0),
              0);
    EXPECT_EQ(data(MDK_READ_CURRENT, 0), second);
    ASSERT_EQ(MDK_ExtWrite(file, "S", 1, nullptr, -1, MDK_WRITE_UPDATE, 5), 0);
    ASSERT_EQ(MDK_seek(file, "K001", 4, 1), 0);
    EXPECT_EQ(data(MDK_READ_CURRENT, 0), std::string("K001") + kSep + "Second");
    ASSERT_EQ(MDK_ExtWrite(file, "", 0, nullptr, -1, MDK_WRITE_UPDATE, 5), 0);  // no bytes
    ASSERT_EQ(MDK_seek(file, "K001", 4, 1), 0);
    EXPECT_EQ(data(MDK_READ_CURRENT, 0), std::string("K001") + kSep + "Second");
}

TEST_F(Features, DictionaryRecords) {
    create(layout(true, 1024, 40, 4, {{{seg(common::kKeyAreaField, 0, 4)}}}));
    char buf[64];
    EXPECT_EQ(MDK_dict(file, 0, buf, sizeof buf), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_KEY);
    ASSERT_EQ(MDK_dict_add(file, 0, "zero", 4), 0);
    ASSERT_EQ(MDK_dict_add(file, 1, "one", 3), 0);
    ASSERT_EQ(MDK_dict_add(file, 2, "two", 3), 0);
    ASSERT_EQ(MDK_dict_add(file, -1, "minus one", 9), 0);
    EXPECT_EQ(MDK_dict_add(file, 5, "far", 3), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_KEY);
    ASSERT_EQ(MDK_dict_add(file, 1, "ONE, longer now", 15), 0);
    struct Want {
        int n;
        const char* text;
    };
    for (Want w :
         {Want{0, "zero"}, Want{1, "ONE, longer now"}, Want{2, "two"}, Want{-1, "minus one"}}) {
        int32_t n = MDK_dict(file, w.n, buf, sizeof buf);
        ASSERT_GE(n, 0) << w.n;
        EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), w.text);
    }
    EXPECT_EQ(MDK_dict(file, 3, buf, sizeof buf), -1);
    EXPECT_EQ(MDK_dict(file, -2, buf, sizeof buf), -1);
}

TEST_F(Features, DropKeyKeepsTheOthers) {
    create(layout(true, 1024, 40, 4,
                  {{{seg(common::kKeyAreaField, 0, 4)}}, {{seg(1, 0, 4)}}, {{seg(2, 0, 4)}}}));
    ASSERT_EQ(put("a", std::string("zz") + kSep + "m"), 0);
    ASSERT_EQ(put("b", std::string("yy") + kSep + "n"), 0);
    EXPECT_EQ(MDGetEnvMode(file, -4), 2);
    // Dropping a key has no export of its own: it is the operation table's slot.
    ASSERT_EQ(callFrame(file, CallKind::Write, [&] { return file->ops->dropKey(file, 1); }), 0);
    // The former key 3 (field 2) is key 2 now; key 3 no longer exists.
    EXPECT_EQ(keysInOrder(2, 4), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(MDK_seek(file, "", 0, 3), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_KEYNUM);
    ASSERT_EQ(put("c", std::string("xx") + kSep + "l"), 0);
    EXPECT_EQ(keysInOrder(2, 4), (std::vector<std::string>{"c", "a", "b"}));
}

TEST_F(Features, RawReadModeWalksPhysicalOrder) {
    create(layout(true, 1024, 200, 4, {{{seg(common::kKeyAreaField, 0, 4)}}}));
    ASSERT_EQ(put("c", "third"), 0);
    ASSERT_EQ(put("a", "first"), 0);
    ASSERT_EQ(put("big", std::string(500, 'p')), 0);  // with a continuation piece
    ASSERT_EQ(put("b", "second"), 0);
    ASSERT_EQ(MDK_remove(file, "a", 1), 0);
    ASSERT_EQ(MDK_seek(file, nullptr, 0, MDK_SEEK_PHYSICAL), 0);
    std::vector<std::string> seen;
    for (;;) {
        std::string d = data(MDK_READ_NEXT, 4);
        if (d[0] == '<') break;
        seen.push_back(d.substr(0, 6));
    }
    EXPECT_EQ(MDK_geterrno(file), MDK_E_EOF);
    EXPECT_EQ(seen, (std::vector<std::string>{"third", "pppppp", "second"}));
    EXPECT_EQ(MDK_RawReadMode(file, 0), 1);
    EXPECT_EQ(MDK_RawReadMode(file, 0), 0);
}

TEST_F(Features, PositionsKeysAndKeyAdjust) {
    create(layout(true, 1024, 40, 6,
                  {{{seg(common::kKeyAreaField, 0, 6, common::kOptUpper)}},
                   {{seg(1, 0, 5, common::kOptLower)}}}));
    ASSERT_EQ(put("key1", std::string("Name") + kSep), 0);
    ASSERT_EQ(put("key2", std::string("Other") + kSep), 0);
    ASSERT_EQ(MDK_seek(file, "KEY2", 4, 1), 0);
    int32_t pos = MDK_getpos(file);
    ASSERT_EQ(MDK_seek(file, "KEY1", 4, 1), 0);
    ASSERT_EQ(MDK_setpos(file, pos), 0);
    EXPECT_EQ(data(MDK_READ_CURRENT, 6).substr(0, 5), "Other");
    char key[16] = {};
    EXPECT_EQ(MDK_GetKey(file, key, sizeof key, 1), 5);
    EXPECT_EQ(std::string(key, 5), "other");
    EXPECT_EQ(MDK_GetKey(file, key, 2, 1), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_LENGTH);
    char adjust[] = "MiXeD";
    EXPECT_EQ(MDK_keyadjust(file, adjust, 5, 2), 0);
    EXPECT_STREQ(adjust, "mixed");
    ASSERT_EQ(MDK_ExtReadDirect(file, nullptr, 0, 0, 0, pos), 6 + 6);
    EXPECT_EQ(MDK_getpos(file), pos);
    EXPECT_EQ(MDK_read(file, key, sizeof key, MDK_READ_NEXT), -1);
}

TEST_F(Features, UniqueKeysFindEqualValuesAmongLongerOnes) {
    // Key 1, unique, over a 4-byte field.  "ABC\0" builds a longer value than "ABC" whose
    // record address sorts it before "ABC" + its address: the check must look past it.
    create(layout(true, 1024, 40, 4,
                  {{{seg(common::kKeyAreaField, 0, 4)}}, {{seg(1, 0, 4)}, common::kKeyUnique}}));
    ASSERT_EQ(put("r1", std::string("ABC") + kSep), 0);
    ASSERT_EQ(put("r2", std::string("ABC\0", 4) + kSep), 0);
    EXPECT_EQ(put("r3", std::string("ABC") + kSep), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_DUPLICATE);
    EXPECT_EQ(put("r1", std::string("ABC") + kSep + "changed"), 0);  // its own value is fine
}

TEST_F(Features, FastStepReadsTheSameOrder) {
    create(layout(true, 1024, 40, 6, {{{seg(common::kKeyAreaField, 0, 6)}}, {{seg(1, 0, 4)}}}));
    for (int i = 0; i < 300; i++) {
        char key[8];
        std::snprintf(key, sizeof key, "k%05d", i * 7 % 300);
        ASSERT_EQ(put(key, std::to_string(i % 17) + kSep), 0);
    }
    // Every record of a key forwards, then backwards from the last one.
    auto walk = [&](int keyNumber) {
        std::vector<std::string> seen = keysInOrder(keyNumber, 6);
        std::vector<char> buf(256);
        while (MDK_read(file, buf.data(), 256, MDK_READ_PRIOR) >= 0)
            seen.emplace_back(buf.data(), 6);
        return seen;
    };
    std::vector<std::string> byKey = walk(1), byField = walk(2);
    EXPECT_EQ(byKey.size(), 300u + 299u);
    ASSERT_EQ(MDSetEnvMode(env, 2, 1), 0);
    EXPECT_EQ(walk(1), byKey);
    EXPECT_EQ(walk(2), byField);
}

TEST_F(Features, ReadOffsetsStayInsideTheRecord) {
    create(layout(true, 1024, 40, 4, {{{seg(common::kKeyAreaField, 0, 4)}}}));
    ASSERT_EQ(put("k", "abcdef"), 0);
    ASSERT_EQ(MDK_seek(file, "k", 1, 1), 0);
    char buf[32];
    EXPECT_EQ(MDK_ExtReadDirect(file, buf, sizeof buf, MDK_READ_CURRENT, 6, 0), 4);
    EXPECT_EQ(std::string(buf, 4), "cdef");
    EXPECT_EQ(MDK_ExtReadDirect(file, buf, sizeof buf, MDK_READ_CURRENT, 100, 0), 0);
    EXPECT_EQ(MDK_ExtReadDirect(file, buf, sizeof buf, MDK_READ_CURRENT, -1, 0), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_RECOFFSET);
}

}  // namespace

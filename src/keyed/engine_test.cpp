// The classic engine through the public interface: writing, reading in key order both ways,
// seeking, updating and removing, in both storage modes.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "keyed/testing.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

constexpr uint8_t kSep = 0x8A;

std::string fields(std::initializer_list<std::string> parts) {
    std::string out;
    bool first = true;
    for (const std::string& p : parts) {
        if (!first) out.push_back(static_cast<char>(kSep));
        out += p;
        first = false;
    }
    return out;
}

struct Storage {
    bool blockMode;
    bool compress;
    const char* name;
};

class ClassicEngine : public ::testing::TestWithParam<Storage> {
  protected:
    void SetUp() override {
        env = MDK_AllocEnv();
        path = dir.file("data.dat");
        // Key 0: the 8-byte key area.  Key 1: field 1 (a name), upper-cased, not unique.
        // Key 2: field 2 (a city), unique.
        ClassicLayout l = layout(GetParam().blockMode, 1024, 120, 8,
                                 {{{seg(common::kKeyAreaField, 0, 8)}},
                                  {{seg(1, 0, 12, common::kOptUpper)}},
                                  {{seg(2, 0, 10)}, common::kKeyUnique}});
        l.compress = GetParam().compress;
        build(path, l);
        file = open();
    }
    void TearDown() override {
        if (file != MDK_INVALID_FILE) MDK_close(file);
        expectSound(path);
        MDK_DeAllocEnv(env);
    }
    MdkFile* open(int32_t flags = 0) {
        int32_t err = -1;
        MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, flags, &err);
        EXPECT_NE(f, MDK_INVALID_FILE) << "open failed with " << err;
        return f;
    }
    int32_t put(const std::string& key, const std::string& data, int32_t mode = MDK_WRITE_EITHER) {
        return MDK_ExtWrite(file, data.data(), static_cast<int32_t>(data.size()), key.data(),
                            static_cast<int32_t>(key.size()), mode, 0);
    }
    // Reads with `option` and answers key area (trimmed of zeros) + "|" + data, or "" on error.
    std::string get(int32_t option, MdkFile* f = nullptr) {
        char buf[512];
        int32_t n = MDK_read(f ? f : file, buf, sizeof buf, option);
        if (n < 0) return "";
        std::string key(buf, 8);
        key.erase(key.find_last_not_of('\0') + 1);
        return key + "|" + std::string(buf + 8, static_cast<size_t>(n - 8));
    }
    mdnio::test::TempDir dir;
    std::string path;
    MdkEnv* env = nullptr;
    MdkFile* file = MDK_INVALID_FILE;
};

TEST_P(ClassicEngine, WriteThenReadInEveryKeyOrder) {
    ASSERT_EQ(put("k3", fields({"carol", "paris"})), 0);
    ASSERT_EQ(put("k1", fields({"alice", "rome"})), 0);
    ASSERT_EQ(put("k2", fields({"Bob", "oslo"})), 0);
    EXPECT_EQ(MDGetEnvMode(file, -4), 3);

    ASSERT_EQ(MDK_seek(file, "", 0, 1), -1);  // before the first key
    EXPECT_EQ(get(MDK_READ_NEXT), "k1|" + fields({"alice", "rome"}));
    EXPECT_EQ(get(MDK_READ_NEXT), "k2|" + fields({"Bob", "oslo"}));
    EXPECT_EQ(get(MDK_READ_NEXT), "k3|" + fields({"carol", "paris"}));
    EXPECT_EQ(get(MDK_READ_NEXT), "");
    EXPECT_EQ(MDK_geterrno(file), MDK_E_EOF);
    EXPECT_EQ(get(MDK_READ_PRIOR), "k2|" + fields({"Bob", "oslo"}));

    // Key 2 (city) order: oslo, paris, rome.
    ASSERT_EQ(MDK_seek(file, "", 0, 3), -1);
    EXPECT_EQ(get(MDK_READ_NEXT).substr(0, 2), "k2");
    EXPECT_EQ(get(MDK_READ_NEXT).substr(0, 2), "k3");
    EXPECT_EQ(get(MDK_READ_NEXT).substr(0, 2), "k1");
    // Key 1 folds case: "BOB" finds Bob.
    ASSERT_EQ(MDK_seek(file, "bob", 3, 2), 0);
    EXPECT_EQ(get(MDK_READ_CURRENT).substr(0, 2), "k2");
}

TEST_P(ClassicEngine, SeekFindsOrPositionsAtTheNextKey) {
    for (const char* k : {"b", "d", "f"})
        ASSERT_EQ(put(k, fields({k, k})), 0);
    EXPECT_EQ(MDK_seek(file, "d", 1, 1), 0);
    EXPECT_EQ(get(MDK_READ_CURRENT).substr(0, 1), "d");
    EXPECT_EQ(MDK_seek(file, "c", 1, 1), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_KEY);
    EXPECT_EQ(get(MDK_READ_NEXT).substr(0, 1), "d");
    EXPECT_EQ(MDK_seek(file, "z", 1, 1), -1);
    EXPECT_EQ(get(MDK_READ_NEXT), "");
    EXPECT_EQ(MDK_geterrno(file), MDK_E_EOF);
    EXPECT_EQ(MDK_seek(file, "b", 1, 1), 0);
    EXPECT_EQ(get(MDK_READ_PRIOR), "");
    EXPECT_EQ(MDK_geterrno(file), MDK_E_EOF);
    EXPECT_EQ(MDK_seek(file, "b", 1, 9), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_KEYNUM);
    EXPECT_EQ(MDK_seek(file, "123456789", 9, 1), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_LENGTH);
}

TEST_P(ClassicEngine, InsertUpdateRemoveRules) {
    ASSERT_EQ(put("a", fields({"x", "c1"})), 0);
    EXPECT_EQ(put("a", fields({"y", "c2"}), MDK_WRITE_INSERT), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_DUPLICATE);
    EXPECT_EQ(put("b", fields({"y", "c2"}), MDK_WRITE_UPDATE), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_KEY);
    // Unique key 2: a second record with city c1 is refused, its own update is not.
    EXPECT_EQ(put("b", fields({"y", "c1"})), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_DUPLICATE);
    EXPECT_EQ(put("a", fields({"changed", "c1"}), MDK_WRITE_UPDATE), 0);
    ASSERT_EQ(MDK_seek(file, "a", 1, 1), 0);
    EXPECT_EQ(get(MDK_READ_CURRENT), "a|" + fields({"changed", "c1"}));
    ASSERT_EQ(MDK_seek(file, "CHANGED", 7, 2), 0);
    EXPECT_EQ(MDK_seek(file, "X", 1, 2), -1);  // the old name left key 1
    EXPECT_EQ(MDK_remove(file, "a", 1), 0);
    EXPECT_EQ(MDK_remove(file, "a", 1), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_KEY);
    EXPECT_EQ(MDGetEnvMode(file, -4), 0);
    EXPECT_EQ(put("b", fields({"y", "c1"})), 0);  // c1 is free again
}

TEST_P(ClassicEngine, ShortBufferAndNullBuffer) {
    ASSERT_EQ(put("k", fields({"abcdef", "city"})), 0);
    ASSERT_EQ(MDK_seek(file, "k", 1, 1), 0);
    char buf[10];
    EXPECT_EQ(MDK_read(file, buf, sizeof buf, MDK_READ_CURRENT), -2);
    EXPECT_EQ(std::string(buf + 8, 2), "ab");
    EXPECT_EQ(MDK_read(file, nullptr, 0, MDK_READ_CURRENT),
              8 + static_cast<int32_t>(fields({"abcdef", "city"}).size()));
}

INSTANTIATE_TEST_SUITE_P(Modes, ClassicEngine,
                         ::testing::Values(Storage{true, false, "block"},
                                           Storage{true, true, "compressed"},
                                           Storage{false, false, "slot"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// Long random runs of inserts, updates and removes against an in-memory model: afterwards every
// key, read forwards and backwards, must give exactly the model's records, and the verifier must
// find the file sound.  Small blocks make the trees deep, with many splits and merges.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>

#include "keyed/testing.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

constexpr char kSep = static_cast<char>(0x8A);
constexpr int kKeyArea = 8;

struct Row {
    std::string name, city, text;
    std::string data() const { return name + kSep + city + kSep + text; }
};

struct ModelCase {
    bool blockMode;
    int operations;
    const char* name;
};

class ModelRun : public ::testing::TestWithParam<ModelCase> {};

std::string keyOf(int n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "k%06d", n);
    return buf;
}

// Every record in the order of key `keyNumber` (from 1), forwards or backwards, as key 0 values.
std::vector<std::string> scan(MdkFile* f, int keyNumber, bool forward) {
    std::vector<std::string> out;
    int32_t rc =
        MDK_seek(f, forward ? "" : "\xFF\xFF\xFF\xFF\xFF\xFF\xFF", forward ? 0 : 7, keyNumber);
    (void)rc;
    if (!forward) {
        // Past the end of key 0; for the others the prior read starts from the end marker.
        char probe[256];
        if (MDK_read(f, probe, sizeof probe, MDK_READ_NEXT) >= 0) {
            std::string key(probe, kKeyArea);
            out.push_back(key.substr(0, key.find('\0')));
        }
    }
    char buf[512];
    for (;;) {
        int32_t n = MDK_read(f, buf, sizeof buf, forward ? MDK_READ_NEXT : MDK_READ_PRIOR);
        if (n < 0) {
            EXPECT_EQ(MDK_geterrno(f), MDK_E_EOF);
            break;
        }
        std::string key(buf, kKeyArea);
        out.push_back(key.substr(0, key.find('\0')));
    }
    if (!forward) std::reverse(out.begin(), out.end());
    return out;
}

TEST_P(ModelRun, RandomChangesKeepEveryKey) {
    const ModelCase& mc = GetParam();
    mdnio::test::TempDir dir;
    std::string path = dir.file("model.dat");
    ClassicLayout l = layout(mc.blockMode, 1024, 80, kKeyArea,
                             {{{seg(common::kKeyAreaField, 0, kKeyArea)}},
                              {{seg(1, 0, 12, common::kOptUpper)}},
                              {{seg(2, 0, 10)}, common::kKeyUnique}});
    build(path, l);
    MdkEnv* env = MDK_AllocEnv();
    int32_t err = 0;
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
    ASSERT_NE(f, MDK_INVALID_FILE) << err;

    std::mt19937 rng(12345);
    std::map<std::string, Row> model;
    std::map<std::string, std::string> cityOwner;
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int op = 0; op < mc.operations; op++) {
        std::string key = keyOf(pick(3000));
        int what = pick(10);
        if (what < 6) {
            Row row{"name" + std::to_string(pick(300)), "c" + std::to_string(pick(20000)),
                    std::string(static_cast<size_t>(pick(mc.blockMode ? 150 : 40)), 'x')};
            std::string data = row.data();
            if (!mc.blockMode && data.size() > 80) data.resize(80);
            int32_t rc = MDK_write(f, data.data(), static_cast<int32_t>(data.size()), key.data(),
                                   static_cast<int32_t>(key.size()));
            auto owner = cityOwner.find(row.city);
            bool clash = owner != cityOwner.end() && owner->second != key;
            if (clash) {
                ASSERT_EQ(rc, -1) << op;
                ASSERT_EQ(MDK_geterrno(f), MDK_E_DUPLICATE) << op;
                continue;
            }
            ASSERT_EQ(rc, 0) << op << " " << MDK_strerr(f);
            auto old = model.find(key);
            if (old != model.end()) cityOwner.erase(old->second.city);
            model[key] = row;
            cityOwner[row.city] = key;
        } else {
            int32_t rc = MDK_remove(f, key.data(), static_cast<int32_t>(key.size()));
            auto old = model.find(key);
            if (old == model.end()) {
                ASSERT_EQ(rc, -1);
                ASSERT_EQ(MDK_geterrno(f), MDK_E_KEY);
                continue;
            }
            ASSERT_EQ(rc, 0) << op << " " << MDK_strerr(f);
            cityOwner.erase(old->second.city);
            model.erase(old);
        }
    }
    EXPECT_EQ(MDGetEnvMode(f, -4), static_cast<intptr_t>(model.size()));

    std::vector<std::string> expected;
    for (const auto& [k, row] : model)
        expected.push_back(k);
    EXPECT_EQ(scan(f, 1, true), expected);
    EXPECT_EQ(scan(f, 1, false), expected);
    for (int keyNumber : {2, 3}) {
        std::vector<std::string> forward = scan(f, keyNumber, true);
        std::vector<std::string> backward = scan(f, keyNumber, false);
        EXPECT_EQ(forward, backward) << "key " << keyNumber;
        std::vector<std::string> sorted = forward;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, expected) << "key " << keyNumber;
    }
    // Every record reads back as written.
    char buf[512];
    for (const auto& [k, row] : model) {
        ASSERT_EQ(MDK_seek(f, k.data(), static_cast<int32_t>(k.size()), 1), 0) << k;
        int32_t n = MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT);
        std::string data = row.data();
        if (!mc.blockMode && data.size() > 80) data.resize(80);
        ASSERT_EQ(std::string(buf + kKeyArea, static_cast<size_t>(n - kKeyArea)), data) << k;
    }
    MDK_close(f);
    MDK_DeAllocEnv(env);
    expectSound(path);
}

INSTANTIATE_TEST_SUITE_P(Storage, ModelRun,
                         ::testing::Values(ModelCase{true, 100000, "block"},
                                           ModelCase{false, 100000, "slot"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

#include <gtest/gtest.h>

#include <cstring>

#include "fake_engine.h"

using namespace mdnio;

namespace {

class EnvModeTest : public ::testing::Test {
  protected:
    void SetUp() override { env = MDK_AllocEnv(); }
    void TearDown() override { MDK_DeAllocEnv(env); }
    MdkEnv* env = nullptr;
};

TEST_F(EnvModeTest, NumericSettings) {
    struct Case {
        int32_t mode;
        intptr_t value;
        intptr_t result;  // previous value, or -5 when refused
    };
    const Case cases[] = {
        {1, 1, 0},     {1, 1, 1},     {1, 2, -5},  {1, 0, 1},     // background flush
        {2, 1, 0},     {2, -1, -5},                               // fast step
        {3, 8, -5},    {3, 9, 0},     {3, 5, -5},  {3, 4, 9},     // lock options: low bits 1..4
        {4, 1, 0},     {4, 7, -5},                                // read-only fallback
        {5, 2001, -5}, {5, 2000, 0},  {5, -1, -5}, {5, 0, 2000},  // segment megabytes
        {-1, 5000, 0},                                            // any value, answers 0
        {13, 4711, 0}, {13, 1, 4711},                             // default server port
        {0, 1, -5},    {10, 1, -5},   {11, 1, -5}, {14, 1, -5},  {15, 1, -5}, {-2, 1, -5},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MDSetEnvMode(env, c.mode, c.value), c.result) << c.mode << " " << c.value;
    EXPECT_EQ(MDGetEnvMode(env, 5), 5000);  // mode -1 set it
    EXPECT_EQ(MDGetEnvMode(env, 3), 4);
    EXPECT_EQ(MDGetEnvMode(env, 1), 0);
}

TEST_F(EnvModeTest, TextSettingsAreCopiedAndCut) {
    EXPECT_EQ(MDSetEnvMode(env, 6, 0), -5);  // null text refused
    std::string longHost(300, 'h');
    EXPECT_EQ(MDSetEnvMode(env, 12, reinterpret_cast<intptr_t>(longHost.c_str())), 0);
    auto host = reinterpret_cast<const char*>(MDGetEnvMode(env, 12));
    EXPECT_EQ(std::strlen(host), 127u);
    EXPECT_EQ(MDSetEnvMode(env, 12, 0), 0);  // null empties it
    EXPECT_STREQ(reinterpret_cast<const char*>(MDGetEnvMode(env, 12)), "");

    std::string args(2000, 'a');
    EXPECT_EQ(MDSetEnvMode(env, 7, reinterpret_cast<intptr_t>(args.c_str())), 0);
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(MDGetEnvMode(env, 7))), 1023u);
    EXPECT_EQ(MDSetEnvMode(env, 8, reinterpret_cast<intptr_t>("/opt/runtime")), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(MDGetEnvMode(env, 8)), "/opt/runtime");
}

TEST_F(EnvModeTest, CatalogHandleIsAnAddress) {
    int dummy = 0;
    EXPECT_EQ(MDSetEnvMode(env, 9, reinterpret_cast<intptr_t>(&dummy)), 0);
    EXPECT_EQ(MDGetEnvMode(env, 9), reinterpret_cast<intptr_t>(&dummy));
    EXPECT_EQ(MDSetEnvMode(env, 9, 0), reinterpret_cast<intptr_t>(&dummy));
}

TEST_F(EnvModeTest, VersionAndUnknownModes) {
    EXPECT_EQ(MDGetEnvMode(env, 10), 4002000);
    EXPECT_EQ(MDGetEnvMode(nullptr, 10), 4002000);
    EXPECT_EQ(MDGetEnvMode(env, 0), -5);
    EXPECT_EQ(MDGetEnvMode(env, 15), -5);
    EXPECT_EQ(MDGetEnvMode(nullptr, 1), -5);
    // No remote transport in this build: connecting to the default server fails.
    EXPECT_EQ(MDGetEnvMode(env, 14), -5);
    EXPECT_EQ(MDGetEnvMode(env, 11), -5);
}

TEST_F(EnvModeTest, FileFacts) {
    test::FakeFile* f = test::openFake(env, "a", nullptr);
    MdkSharedFile* sh = f->shared;
    sh->separator = 0x7C;
    sh->keyAreaWidth = 12;
    sh->maxDataLength = 300;
    sh->keyBufferSize = 20;
    sh->recordBufferLength = 316;
    sh->longestKey = 16;
    sh->recordCount = 77;
    sh->flags = 0x2010;
    uint8_t key[8] = {3, 'a', 'b', 'c'};
    f->keyBuffer = key;
    EXPECT_EQ(MDGetEnvMode(f, -11), 0x2010);
    EXPECT_EQ(MDGetEnvMode(f, -10), 0x7C);
    EXPECT_EQ(MDGetEnvMode(f, -9), 0);
    EXPECT_EQ(MDGetEnvMode(f, -8), 12);
    EXPECT_EQ(MDGetEnvMode(f, -7), reinterpret_cast<intptr_t>(key + 1));
    EXPECT_EQ(MDGetEnvMode(f, -6), 16);
    EXPECT_EQ(MDGetEnvMode(f, -5), 300);
    EXPECT_EQ(MDGetEnvMode(f, -4), 77);
    EXPECT_EQ(MDGetEnvMode(f, -3), 20);
    EXPECT_EQ(MDGetEnvMode(f, -2), 336);
    EXPECT_EQ(MDGetEnvMode(f, -1), reinterpret_cast<intptr_t>(sh->header));
    EXPECT_EQ(MDGetEnvMode(f, -12), -5);
}

}  // namespace

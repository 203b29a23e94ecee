// Headers that describe impossible files are refused at open with 5, before anything else of
// the file is read.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "keyed/format.h"
#include "keyed/testing.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

TEST(Header, ImpossibleHeadersAreRefused) {
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
    };
    const std::vector<Case> cases = {
        {"negative R", [](auto& h) { h[kOffRecordSize] = 0x80; }},
        {"negative K", [](auto& h) { h[kOffKeyArea] = 0xFF; }},
        {"K above 127", [](auto& h) { h[kOffKeyArea + 1] = 200; }},
        {"negative block size code", [](auto& h) { h[kOffBlockCode] = 0x80; }},
        {"record larger than a block", [](auto& h) { h[kOffRecordSize] = 0x10; }},
        {"key segment of length 0", [](auto& h) { h[kOffDescriptors + 3] = 0x80; }},
        {"key number gap", [](auto& h) { h[kOffDescriptors + 4] = 0x02; }},
        {"end of file inside the header", [](auto& h) { put32(h.data(), kOffEof, 100); }},
        {"segments in slot mode",
         [](auto& h) {
             h[kOffFlagsA] &= ~kBlockMode;
             h[kOffSegments] = 1;
         }},
        {"too many segments", [](auto& h) { h[kOffSegments] = 9; }},
        {"fill above 100", [](auto& h) { h[kOffFill] = 101; }},
        {"short header", [](auto& h) { h.resize(100); }},
    };
    mdnio::test::TempDir dir;
    std::string good = dir.file("good.dat");
    build(good,
          layout(true, 1024, 40, 8, {{{seg(common::kKeyAreaField, 0, 8)}}, {{seg(1, 0, 6)}}}));
    std::vector<uint8_t> bytes = mdnio::test::readFile(good);
    MdkEnv* env = MDK_AllocEnv();
    int32_t err = 0;
    MdkFile* f = MDK_OpenExt(env, good.c_str(), nullptr, 0, 0, &err);
    ASSERT_NE(f, MDK_INVALID_FILE) << err;
    MDK_close(f);
    for (const Case& c : cases) {
        std::vector<uint8_t> bad = bytes;
        c.damage(bad);
        std::string path = dir.file(std::string(c.name) + ".dat");
        mdnio::test::writeFile(path, bad);
        EXPECT_EQ(MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err), MDK_INVALID_FILE) << c.name;
        EXPECT_EQ(err, MDK_E_FILETYPE) << c.name;
    }
    MDK_DeAllocEnv(env);
}

}  // namespace

namespace {

// A block address carries its segment below the block size: the two come back out of it for
// block sizes that are powers of two and for those that are not.
TEST(BlockAddress, SegmentAndOffsetComeBackOut) {
    for (uint32_t blockSize : {1024u, 3072u, 4096u, 5120u, 16384u}) {
        for (uint32_t segment : {0u, 1u, 2u, 3u}) {
            if (segment * 256 >= blockSize) continue;
            for (int64_t block : {0, 1, 7, 1000, 40000}) {
                const int64_t offset = kFirstBlock + block * blockSize;
                if (offset > 0x7FFFFF00) continue;
                const uint32_t address = addressIn(segment, offset);
                EXPECT_EQ(segmentOf(address, blockSize), segment) << blockSize << " " << block;
                EXPECT_EQ(offsetInSegment(address, blockSize), offset) << blockSize << " " << block;
                // A record's slot number in the low byte changes neither.
                EXPECT_EQ(segmentOf(address + 5, blockSize), segment);
                EXPECT_EQ(offsetInSegment(address + 5, blockSize), offset);
            }
        }
    }
}

}  // namespace

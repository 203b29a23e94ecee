#include "common/bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace mdnio::common {
namespace {

// The answer memchr gives, as a position.
size_t expected(const std::vector<uint8_t>& bytes, uint8_t c) {
    const void* hit = bytes.empty() ? nullptr : std::memchr(bytes.data(), c, bytes.size());
    return hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - bytes.data())
               : bytes.size();
}

// Every length across the word-at-a-time part and past it, the byte looked for at every place
// (and nowhere), with the values that trip up a word-wide search around it: its neighbours
// (a borrow from c - 1 or c + 1 must not count as a match), zero, 0x80 and 0xFF.
TEST(FindByte, AgreesWithTheLibrarySearchEverywhere) {
    for (int c : {0x00, 0x01, 0x0A, 0x7F, 0x80, 0x8A, 0xFE, 0xFF}) {
        const uint8_t target = static_cast<uint8_t>(c);
        const uint8_t fillers[] = {static_cast<uint8_t>(target - 1),
                                   static_cast<uint8_t>(target + 1),
                                   0x00,
                                   0x80,
                                   0xFF,
                                   0x41};
        for (uint8_t filler : fillers) {
            if (filler == target) continue;
            for (size_t n = 0; n <= 70; n++) {
                for (size_t at = 0; at <= n; at++) {  // at == n: not present
                    std::vector<uint8_t> bytes(n, filler);
                    if (at < n) bytes[at] = target;
                    // A second match later on: the first one must be answered.
                    if (at + 3 < n) bytes[at + 3] = target;
                    ASSERT_EQ(findByte(bytes.data(), n, target), expected(bytes, target))
                        << "c " << c << " filler " << int{filler} << " n " << n << " at " << at;
                }
            }
        }
    }
}

TEST(FindByte, ReadsNothingBeyondTheLength) {
    // The byte looked for lies just past the end: it must not be found.
    std::vector<uint8_t> bytes(64, 'x');
    for (size_t n = 0; n < 40; n++) {
        bytes.assign(64, 'x');
        bytes[n] = ';';
        EXPECT_EQ(findByte(bytes.data(), n, ';'), n) << n;
    }
}

// Copies of nothing may come with null pointers (an empty vector's data()): nothing is touched
// and nothing reaches memcpy (the sanitizer stops the test if it does).
TEST(CopyBytes, CopiesTheCountAndNothingForNone) {
    std::vector<uint8_t> to(4, 0);
    const std::vector<uint8_t> from = {1, 2, 3, 4};
    copyBytes(to.data(), from.data(), 3);
    EXPECT_EQ(to, (std::vector<uint8_t>{1, 2, 3, 0}));
    const std::vector<uint8_t> none;
    copyBytes(to.data(), none.data(), none.size());
    copyBytes(nullptr, from.data(), 0);
    EXPECT_EQ(to, (std::vector<uint8_t>{1, 2, 3, 0}));
}

}  // namespace
}  // namespace mdnio::common

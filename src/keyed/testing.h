// Helpers for the classic engine's tests: layouts, files made by the builder, and the verifier
// run as an assertion.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keyed/builder.h"
#include "keyed/verify.h"
#include "mdnio.h"

namespace mdnio::keyed::test {

inline common::Segment seg(uint16_t field, uint16_t offset, uint8_t length, uint16_t options = 0,
                           bool descending = false, uint8_t nullByte = 0) {
    return makeSegment(field, offset, length, options, descending, nullByte);
}

inline ClassicLayout layout(bool blockMode, int blockSize, int R, int K,
                            const std::vector<KeySpec>& keys) {
    ClassicLayout l;
    l.blockMode = blockMode;
    l.blockSize = blockSize;
    l.recordSize = R;
    l.keyAreaSize = K;
    addKeys(l, keys);
    return l;
}

inline void build(const std::string& path, const ClassicLayout& l) {
    std::string why;
    ASSERT_EQ(buildClassicFile(path, l, &why), 0) << why;
}

// Asserts that the verifier finds nothing wrong with the file.
inline void expectSound(const std::string& path) {
    VerifyReport report = verifyClassicFile(path);
    std::string all;
    for (const std::string& p : report.problems)
        all += p + "\n";
    EXPECT_TRUE(report.ok()) << all;
}

}  // namespace mdnio::keyed::test

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "platform/platform.h"

namespace mdnio::platform {
namespace {

// Large memory comes zero-filled, starts on a 2 MiB boundary (so that huge pages can back it),
// holds what is written to every part of it, and moves without a copy.
TEST(LargeMemory, ZeroFilledAlignedWritableAndMovable) {
    for (size_t bytes : {size_t{1}, size_t{4096}, size_t{2} << 20, (size_t{5} << 20) + 3}) {
        LargeMemory m(bytes);
        ASSERT_NE(m.data(), nullptr) << bytes;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(m.data()) % (uintptr_t{2} << 20), 0u) << bytes;
        for (size_t i = 0; i < bytes; i += 4093)
            ASSERT_EQ(m.data()[i], 0) << i;
        m.data()[0] = 1;
        m.data()[bytes - 1] = 2;
        uint8_t* at = m.data();
        LargeMemory moved(std::move(m));
        EXPECT_EQ(m.data(), nullptr);
        ASSERT_EQ(moved.data(), at);
        EXPECT_EQ(moved.data()[0], bytes == 1 ? 2 : 1);
        EXPECT_EQ(moved.data()[bytes - 1], 2);
        LargeMemory other(4096);
        other = std::move(moved);
        EXPECT_EQ(other.data(), at);
    }
    LargeMemory none(0);
    EXPECT_EQ(none.data(), nullptr);
}

}  // namespace
}  // namespace mdnio::platform

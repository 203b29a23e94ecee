#include <gtest/gtest.h>

#include "platform/platform.h"

namespace mdnio::platform {
namespace {

TEST(DynamicLibrary, LoadsFindsAndFrees) {
    void* lib = loadLibrary("libm.so.6");
    ASSERT_NE(lib, nullptr);
    auto* cosine = reinterpret_cast<double (*)(double)>(findSymbol(lib, "cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(findSymbol(lib, "mdnio_no_such_symbol"), nullptr);
    freeLibrary(lib);
}

TEST(DynamicLibrary, MissingLibraryOrArguments) {
    EXPECT_EQ(loadLibrary("libmdnio-no-such-library.so"), nullptr);
    EXPECT_EQ(loadLibrary(nullptr), nullptr);
    EXPECT_EQ(findSymbol(nullptr, "cos"), nullptr);
    freeLibrary(nullptr);
}

}  // namespace
}  // namespace mdnio::platform

// Files for the engine's tests, laid out byte by byte (testing.h), and the few steps the tests
// take on them: open one and learn the code, run engine code inside a header-lock period.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extended/extended.h"
#include "extended/testing.h"
#include "frame/frame.h"
#include "testutil.h"

namespace mdnio::extended::test {

// A sound file of one key (8 bytes of the key area) whose descriptor is in block 3.
inline FileImage soundImage(const ImageSpec& spec = {}) {
    FileImage f(spec);
    f.keyDescriptors(3, {keyDescriptor(0, {segment(common::kKeyAreaField, 0, 8)})});
    return f;
}

// The code MDK_OpenExt reports for `path` (0 when it opens; the handle is closed again).
inline int32_t openCode(const std::string& path) {
    MdkEnv* env = MDK_AllocEnv();
    int32_t err = -1;
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
    if (f != MDK_INVALID_FILE) {
        EXPECT_EQ(MDK_close(f), 0);
        err = 0;
    }
    MDK_DeAllocEnv(env);
    return err;
}

// Runs `step` on the handle inside a header-lock period; answers 0 or the code raised.
template <class Step>
int32_t inPeriod(MdkFile* file, Step&& step) {
    ExtFile* f = X(file);
    const int32_t rc = localTrap(file, [&] {
        lockHeader(f);
        step(f);
        unlockHeader(f, true);
        return 0;
    });
    return rc == 0 ? 0 : file->error.load();
}

// An environment with one file open in it, closed with it.
class OpenFile : public ::testing::Test {
  protected:
    void TearDown() override {
        if (env) MDK_DeAllocEnv(env);
    }
    // Writes `image` and opens it; false when the open failed.
    bool open(FileImage& image) {
        image.write(path);
        env = MDK_AllocEnv();
        int32_t err = -1;
        file = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
        EXPECT_NE(file, MDK_INVALID_FILE) << "open failed with " << err;
        return file != MDK_INVALID_FILE;
    }
    ExtShared* shared() const { return X(file)->sh(); }

    mdnio::test::TempDir dir;
    std::string path = dir.file("x.dat");
    MdkEnv* env = nullptr;
    MdkFile* file = MDK_INVALID_FILE;
};

}  // namespace mdnio::extended::test

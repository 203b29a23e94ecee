// Unloading the library with live environments tears them down: open files are closed and
// their locks given back, while the process goes on.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "keyed/builder.h"
#include "mdnio.h"
#include "platform/platform.h"
#include "testutil.h"

namespace {

struct Args {
    std::string path;
};

// In a child: load the shared library, open a file exclusively inside a transaction, change it,
// unload the library without freeing anything, and report whether the file is free again.
int loadUseUnload(void* arg) {
    auto* a = static_cast<Args*>(arg);
    void* lib = dlopen(MDNIO_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!lib) return 2;
    auto alloc = reinterpret_cast<MdkEnv* (*)()>(dlsym(lib, "MDK_AllocEnv"));
    auto open = reinterpret_cast<MdkFile* (*)(MdkEnv*, const char*, const char*, int32_t, int32_t,
                                              int32_t*)>(dlsym(lib, "MDK_OpenExt"));
    auto begin = reinterpret_cast<int32_t (*)(MdkEnv*)>(dlsym(lib, "MDK_BeginTX"));
    auto write =
        reinterpret_cast<int32_t (*)(MdkFile*, const void*, int32_t, const void*, int32_t)>(
            dlsym(lib, "MDK_write"));
    if (!alloc || !open || !begin || !write) return 3;
    MdkEnv* env = alloc();
    MdkFile* f = open(env, a->path.c_str(), nullptr, 0, MDK_OPEN_EXCLUSIVE, nullptr);
    if (f == MDK_INVALID_FILE) return 4;
    if (begin(env) != 0 || write(f, "data", 4, "key", 3) != 0) return 5;
    // The file is held now: nobody else may open it.
    mdnio::platform::OpenResult why;
    int probe =
        mdnio::platform::openFile(a->path.c_str(), mdnio::platform::Access::ReadOnly, false, &why);
    if (probe >= 0) return 6;
    if (dlclose(lib) != 0) return 7;
    probe =
        mdnio::platform::openFile(a->path.c_str(), mdnio::platform::Access::ReadOnly, true, &why);
    if (probe < 0) return 8;  // still held: the unload did not close the file
    mdnio::platform::closeFile(probe);
    return 0;
}

TEST(Unload, LiveEnvironmentsAreTornDown) {
    mdnio::test::TempDir dir;
    Args args{dir.file("u.dat")};
    mdnio::keyed::ClassicLayout l;
    l.blockSize = 1024;
    l.recordSize = 20;
    l.keyAreaSize = 4;
    mdnio::common::Segment s;
    s.field = mdnio::common::kKeyAreaField;
    s.length = 4;
    l.keys.segments = {s};
    mdnio::common::KeyDesc k;
    k.segmentCount = 1;
    l.keys.keys = {k};
    std::string why;
    ASSERT_EQ(mdnio::keyed::buildClassicFile(args.path, l, &why), 0) << why;
    std::vector<uint8_t> before = mdnio::test::readFile(args.path);
    EXPECT_EQ(mdnio::test::runInChild(loadUseUnload, &args), 0);
    // The transaction was rolled back: the file is as it was.
    std::vector<uint8_t> after = mdnio::test::readFile(args.path);
    ASSERT_GE(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
}

}  // namespace

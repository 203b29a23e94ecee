// mdk_hold FILE: opens FILE exclusively through the library and holds it until standard input
// ends, so that the tests of mdk meet a file another process holds.  It prints "held" once it
// holds the file.
#include <cstdio>

#include "mdnio.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mdk_hold FILE\n");
        return 2;
    }
    MdkEnv* env = MDK_AllocEnv();
    int32_t error = 0;
    MdkFile* file = MDK_OpenExt(env, argv[1], nullptr, 0, MDK_OPEN_EXCLUSIVE, &error);
    if (file == MDK_INVALID_FILE || !file) {
        std::fprintf(stderr, "mdk_hold: %s: code %d\n", argv[1], static_cast<int>(error));
        MDK_DeAllocEnv(env);
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    MDK_close(file);
    MDK_DeAllocEnv(env);
    return 0;
}

/* The public header compiled as C and linked against the shared library: every call below
 * must compile from C and answer as documented. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "mdnio.h"

static int failures = 0;

#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) {                                                 \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                \
        }                                                              \
    } while (0)

int main(void) {
    MdkEnv* env = MDK_AllocEnv();
    CHECK(env != NULL);

    int32_t err = -7;
    MdkFile* f = MDK_OpenExt(env, "/nonexistent/dir/file.dat", NULL, 0, 0, &err);
    CHECK(f == MDK_INVALID_FILE);
    CHECK(err == MDK_E_NOFILE);

    CHECK(MDK_geterrno(NULL) == 2);
    CHECK(strcmp(MDK_strerr(NULL), "Bad file handle number") == 0);
    CHECK(MDK_read(NULL, NULL, 0, 1) == -1);
    CHECK(MDK_close(MDK_INVALID_FILE) == -1);

    CHECK(MDGetEnvMode(env, 10) == MDK_VERSION);
    CHECK(MDSetEnvMode(env, 2, 1) == 0);
    CHECK(MDGetEnvMode(env, 2) == 1);

    /* The named modes and messages, as a tool uses them without any other header. */
    CHECK(MDGetEnvMode(env, MDK_MODE_VERSION) == MDK_VERSION);
    CHECK(MDGetEnvMode(env, MDK_MODE_FAST_STEP) == 1);
    CHECK(MDSetEnvMode(env, MDK_MODE_LOCK_OPTIONS, MDK_LOCK_NOWAIT_RECORD | MDK_LOCK_NOWAIT_HEADER) ==
          0);
    CHECK(MDGetEnvMode(env, 3) == 0x0C);
    CHECK(MDSetEnvMode(env, MDK_MODE_SYNC_WRITES, 1) == 0);
    CHECK(MDGetEnvMode(env, 20) == 1);
    CHECK(strcmp(MDK_ErrorMessage(MDK_E_NOFILE), "File does not exist") == 0);
    CHECK(strcmp(MDK_ErrorMessage(MDK_OK), "Okay") == 0);
    CHECK(strcmp(MDK_ErrorMessage(-3), "Unknown error") == 0);

    CHECK(MDK_BeginTX(env) == 0);
    CHECK(MDK_BeginTX(env) == -36);
    CHECK(MDK_CommitTX(env) == 0);
    CHECK(MDK_RollbackTX(env) == -37);

    CHECK(mdk_callback.findFirst != NULL && mdk_callback.fileMode != NULL);
    CHECK(mdk_callback.fileMode(env, "/") >= 0);

    /* The record layouts the header documents. */
    CHECK(sizeof(MdkRestrictEntry) == 40 && offsetof(MdkRestrictEntry, value) == 32);
    CHECK(sizeof(MdkTableRecord) == 488 && offsetof(MdkTableRecord, separator) == 484);
    CHECK(sizeof(MdkColumnRecord) == 1016 && offsetof(MdkColumnRecord, fieldSeparator) == 1008);
    CHECK(offsetof(MdkColumnRecord, bufferA) == 936 && offsetof(MdkColumnRecord, mustBeOp) == 972);
    CHECK(sizeof(MdkFileInfo) == 56 && offsetof(MdkFileInfo, separator) == 53);
    CHECK(sizeof(MdkKeyInfo) == 40 && offsetof(MdkKeyInfo, keyName) == 13);
    CHECK(sizeof(MdkSegmentInfo) == 16 && offsetof(MdkSegmentInfo, segValue) == 12);

    MDK_DeAllocEnv(env);
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}

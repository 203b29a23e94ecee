/* The other process of the waiting tests: holds a lock on a data file until told to let go.
 *
 *   lock_holder FILE insert KEY DATA   a transaction that inserts KEY: it holds the header lock
 *   lock_holder FILE lock KEY          reads KEY for update: it holds that record's lock
 *   lock_holder FILE exclusive         opens FILE exclusively: no other process may open it
 *
 * It prints "holding" when the lock is held, then reads one line from standard input: "commit"
 * (also the end of the input), "rollback" or "release".  It prints what it did and exits 0, or
 * names the call that failed on standard error and exits 1.  Only the public interface. */
#include <mdnio.h>
#include <stdio.h>
#include <string.h>

static int fail(MdkFile* file, const char* what) {
    fprintf(stderr, "lock_holder: %s: %s (code %d)\n", what, MDK_strerr(file), MDK_geterrno(file));
    return 1;
}

static int32_t length(const char* text) {
    return (int32_t)strlen(text);
}

static int hold(MdkEnv* env, MdkFile* file, int argc, char** argv) {
    char record[4096];
    if (strcmp(argv[2], "exclusive") == 0 && argc == 3) {
        /* The open did it. */
    } else if (strcmp(argv[2], "insert") == 0 && argc == 5) {
        if (MDK_BeginTX(env) != 0) return fail(file, "begin");
        if (MDK_insert(file, argv[4], length(argv[4]), argv[3], length(argv[3])) != 0)
            return fail(file, "insert");
    } else if (strcmp(argv[2], "lock") == 0 && argc == 4) {
        if (MDK_seek(file, argv[3], length(argv[3]), 1) != 0) return fail(file, "seek");
        if (MDK_read(file, record, sizeof record, MDK_READ_CURRENT | MDK_READ_LOCK) < 0)
            return fail(file, "read for update");
    } else {
        fprintf(stderr,
                "usage: lock_holder FILE insert KEY DATA | FILE lock KEY | FILE exclusive\n");
        return 2;
    }
    printf("holding\n");
    fflush(stdout);

    char line[64] = "commit";
    if (!fgets(line, sizeof line, stdin)) strcpy(line, "commit");
    if (strcmp(argv[2], "exclusive") == 0) {
        printf("closed\n"); /* main closes the file */
    } else if (strncmp(line, "rollback", 8) == 0) {
        if (MDK_RollbackTX(env) != 0) return fail(file, "rollback");
        printf("rolled back\n");
    } else if (strncmp(line, "release", 7) == 0) {
        if (MDK_UnlockRecord(file, -1) != 0) return fail(file, "release");
        printf("released\n");
    } else {
        if (MDK_CommitTX(env) != 0) return fail(file, "commit");
        printf("committed\n");
    }
    fflush(stdout);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr,
                "usage: lock_holder FILE insert KEY DATA | FILE lock KEY | FILE exclusive\n");
        return 2;
    }
    MdkEnv* env = MDK_AllocEnv();
    int32_t error = 0;
    const int32_t flags = strcmp(argv[2], "exclusive") == 0 ? MDK_OPEN_EXCLUSIVE : 0;
    MdkFile* file = MDK_OpenExt(env, argv[1], NULL, 0, flags, &error);
    if (file == MDK_INVALID_FILE) {
        fprintf(stderr, "lock_holder: %s: cannot open (code %d)\n", argv[1], error);
        return 1;
    }
    int status = hold(env, file, argc, argv);
    MDK_close(file);
    MDK_DeAllocEnv(env);
    return status;
}

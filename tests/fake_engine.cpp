#include "fake_engine.h"

namespace mdnio::test {
namespace {

FakeFile* fake(MdkFile* f) {
    return static_cast<FakeFile*>(f);
}

void note(MdkFile* f, const char* what) {
    if (fake(f)->log) fake(f)->log->push_back(fake(f)->name + ":" + what);
}

int32_t fakeClose(MdkFile* f) {
    if (f->env->inTransaction) {
        f->flags |= kFileClosedInTx;
        note(f, "deferred-close");
        return 0;
    }
    note(f, "close");
    bool last = sharesPhysicalFile(f);
    unlinkFile(f);
    MdkSharedFile* sh = f->shared;
    delete fake(f);
    if (last) delete sh;
    return 0;
}

int32_t finish(MdkFile* f, const char* what) {
    note(f, what);
    if (f->flags & kFileClosedInTx) {
        f->flags &= ~kFileClosedInTx;
        return fakeClose(f);
    }
    return 0;
}

int32_t fakeCommit(MdkFile* f) {
    return finish(f, "commit");
}
int32_t fakeRollback(MdkFile* f) {
    return finish(f, "rollback");
}

int32_t fakeLockHeader(MdkFile* f) {
    lockFile(f);
    return 0;
}

int32_t fakeUnlockHeader(MdkFile* f, int32_t, int32_t) {
    unlockFile(f);
    return 0;
}

int32_t fakeGetpos(MdkFile*) {
    return 42;
}

int32_t fakeWrite(MdkFile* f, const void*, int32_t, const void*, int32_t, int32_t, int32_t) {
    note(f, "write");
    return 0;
}

MdkOpTable makeOps() {
    MdkOpTable t = kRefusingTable;
    t.close = fakeClose;
    t.commit = fakeCommit;
    t.rollback = fakeRollback;
    t.lockHeader = fakeLockHeader;
    t.unlockHeader = fakeUnlockHeader;
    t.getpos = fakeGetpos;
    t.write = fakeWrite;
    return t;
}

}  // namespace

const MdkOpTable& fakeOps() {
    static const MdkOpTable table = makeOps();
    return table;
}

FakeFile* openFake(MdkEnv* env, const std::string& name, std::vector<std::string>* log,
                   MdkSharedFile* shared, const MdkOpTable* ops) {
    auto* f = new FakeFile();
    f->env = env;
    f->shared = shared ? shared : new MdkSharedFile();
    f->shared->self = f->shared;
    f->kind = 99;
    f->writeAllowed = 1;
    f->ops = ops ? ops : &fakeOps();
    f->log = log;
    f->name = name;
    linkFile(f);
    return f;
}

}  // namespace mdnio::test

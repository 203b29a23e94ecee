// Opening extended files made byte by byte: what is refused, one state per file per
// environment, the dictionary read through its chain, the header lock another process holds,
// and the change counter another process moves.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/datablock.h"
#include "extended/test_files.h"

using namespace mdnio;
using namespace mdnio::extended;
using namespace mdnio::extended::test;

namespace {

constexpr uint32_t kDictBlock = 4;

// Dictionary records with these payloads in block 4, chained in order, the chain's head in the
// header.
void addDictionary(FileImage& image, const std::vector<std::string>& payloads) {
    image.slottedBlock(kDictBlock, kTypeDictionary);
    const size_t n = payloads.size();
    for (size_t i = 0; i < n; i++) {
        const uint32_t next = i + 1 < n ? makeAddress(kDictBlock, static_cast<unsigned>(i + 2)) : 0;
        const uint32_t previous = i > 0 ? makeAddress(kDictBlock, static_cast<unsigned>(i)) : 0;
        std::vector<uint8_t> record(kChainHead + payloads[i].size());
        encodeChainedRecord(record, next, previous, FileImage::bytesOf(payloads[i]));
        image.addRecord(kDictBlock, record);
    }
    image.fixed.dictionary = makeAddress(kDictBlock, 1);
}

// The bytes of the chained record at `address` of a file whose blocks lie at their own places.
uint8_t* recordIn(std::vector<uint8_t>& file, uint32_t address) {
    const RecordAddress at = splitAddress(address);
    std::span<uint8_t> block = std::span<uint8_t>(file).subspan(size_t{at.block} * 4096, 4096);
    return block.data() + kBlockHead + common::slotPosition(block, at.slot);
}

std::vector<uint8_t> twoKeyImage(uint8_t keysInHeader) {
    FileImage image;
    image.keyDescriptors(3, {keyDescriptor(0, {segment(common::kKeyAreaField, 0, 8)}),
                             keyDescriptor(kKeyUnique, {segment(1, 0, 6)})});
    image.fixed.keyCount = keysInHeader;
    image.fixed.segmentCount = keysInHeader;
    image.region.roots.resize(keysInHeader);
    return image.bytes();
}

struct Damage {
    const char* name;
    std::vector<uint8_t> (*make)();
};

std::vector<uint8_t> sound() {
    return soundImage().bytes();
}
std::vector<uint8_t> withByte(size_t at, uint8_t value) {
    std::vector<uint8_t> b = sound();
    b[at] = value;
    return b;
}

class ExtendedOpen : public ::testing::TestWithParam<Damage> {
  protected:
    mdnio::test::TempDir dir;
};

TEST_P(ExtendedOpen, Refusals) {
    const std::string path = dir.file("d.dat");
    mdnio::test::writeFile(path, GetParam().make());
    EXPECT_EQ(openCode(path), MDK_E_FILETYPE);
}

INSTANTIATE_TEST_SUITE_P(
    Damages, ExtendedOpen,
    ::testing::Values(
        Damage{"BlockCode0", [] { return withByte(kOffBlockCode, 0); }},
        Damage{"BlockCode2", [] { return withByte(kOffBlockCode, 2); }},
        Damage{"KeyBuffer251", [] { return withByte(kOffKeyBuffer, 251); }},
        Damage{"NoKeys", [] { return withByte(kOffKeyCount, 0); }},
        Damage{"ShorterThanTheFixedHeader",
               [] {
                   std::vector<uint8_t> b = sound();
                   b.resize(kFixedSize - 1);
                   return b;
               }},
        Damage{"ShorterThanBlockZero",
               [] {
                   std::vector<uint8_t> b = sound();
                   b.resize(4095);
                   return b;
               }},
        Damage{"NoGroups",
               [] {
                   std::vector<uint8_t> b = sound();
                   b[kOffGroupCount] = b[kOffGroupCount + 1] = 0;
                   return b;
               }},
        Damage{"NoDescriptorChain",
               [] {
                   std::vector<uint8_t> b = sound();
                   common::putBe32(b.data() + kOffKeyDescriptors, 0);
                   return b;
               }},
        Damage{"DescriptorBlockOfAnotherType", [] { return withByte(3 * 4096, kTypeData); }},
        Damage{"MapCopyOfAnotherType", [] { return withByte(4096, kTypeData); }},
        Damage{"SegmentCountDisagrees", [] { return withByte(kOffSegmentCount + 1, 2); }},
        // The one descriptor links to itself: the chain runs on past n records.
        Damage{"ChainComesBackToItself",
               [] {
                   std::vector<uint8_t> b = sound();
                   const uint32_t head = common::getBe32(b.data() + kOffKeyDescriptors);
                   common::putBe32(recordIn(b, head), head);
                   return b;
               }},
        Damage{"ChainLongerThanN", [] { return twoKeyImage(1); }},
        Damage{"ChainShorterThanN",
               [] {
                   std::vector<uint8_t> b = twoKeyImage(2);
                   common::putBe32(recordIn(b, common::getBe32(b.data() + kOffKeyDescriptors)), 0);
                   return b;
               }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExtendedOpenSound, ATwoKeyFileOpens) {
    mdnio::test::TempDir dir;
    const std::string path = dir.file("two.dat");
    mdnio::test::writeFile(path, twoKeyImage(2));
    EXPECT_EQ(openCode(path), 0);
}

// Handles of one environment share one state when they open one file, whatever name they use;
// a copy of the file, or another environment, gets its own.
TEST(ExtendedOpenSharing, SameInodeSharesOneState) {
    mdnio::test::TempDir dir;
    const std::string path = dir.file("s.dat"), link = dir.file("t.dat"), copy = dir.file("u.dat");
    FileImage image = soundImage();
    addDictionary(image, {"first"});
    image.write(path);
    image.write(copy);
    ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
    MdkEnv* env = MDK_AllocEnv();
    MdkEnv* other = MDK_AllocEnv();
    auto open = [](MdkEnv* e, const std::string& p) {
        int32_t err = -1;
        MdkFile* f = MDK_OpenExt(e, p.c_str(), nullptr, 0, 0, &err);
        EXPECT_NE(f, MDK_INVALID_FILE) << p << ": " << err;
        return f;
    };
    MdkFile* a = open(env, path);
    MdkFile* b = open(env, link);
    MdkFile* c = open(env, copy);
    MdkFile* d = open(other, path);
    ASSERT_TRUE(a != MDK_INVALID_FILE && b != MDK_INVALID_FILE && c != MDK_INVALID_FILE &&
                d != MDK_INVALID_FILE);
    EXPECT_EQ(a->shared, b->shared);
    EXPECT_NE(a->shared, c->shared);
    EXPECT_NE(a->shared, d->shared);
    // Closing one handle leaves the state to the other.
    EXPECT_EQ(MDK_close(a), 0);
    char buf[16] = {};
    EXPECT_EQ(MDK_dict(b, 0, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "first");
    MDK_DeAllocEnv(env);
    MDK_DeAllocEnv(other);
}

// Operations this engine does not serve yet answer the frame's refusal, and the handle goes on.
TEST(ExtendedOpenSharing, SlotsNotServedAnswerTheRefusal) {
    mdnio::test::TempDir dir;
    const std::string path = dir.file("r.dat");
    FileImage image = soundImage();
    image.write(path);
    MdkEnv* env = MDK_AllocEnv();
    int32_t err = -1;
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
    ASSERT_NE(f, MDK_INVALID_FILE);
    char buf[16] = {};
    EXPECT_EQ(MDK_seek(f, "k", 1, 1), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_FILETYPE);
    EXPECT_EQ(MDK_read(f, buf, sizeof buf, MDK_READ_NEXT), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_FILETYPE);
    EXPECT_EQ(MDK_insert(f, "d", 1, "k", 1), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_FILETYPE);
    EXPECT_EQ(MDK_close(f), 0);
    MDK_DeAllocEnv(env);
}

// ---- the dictionary chain
// ------------------------------------------------------------------------

class ExtendedDict : public OpenFile {
  protected:
    int32_t dict(int32_t n, size_t length = 32) {
        buf.assign(length, '\x7F');
        return MDK_dict(file, n, length ? buf.data() : nullptr, static_cast<int32_t>(length));
    }
    std::string text() const { return std::string(buf.data()); }
    std::vector<char> buf;
};

TEST_F(ExtendedDict, ItemsFollowTheChain) {
    FileImage image = soundImage();
    addDictionary(image, {"alpha", "beta", "gamma"});
    ASSERT_TRUE(open(image));
    EXPECT_EQ(dict(0), 5);
    EXPECT_EQ(text(), "alpha");
    EXPECT_EQ(dict(2), 5);
    EXPECT_EQ(text(), "gamma");
    // Cut to the buffer; the full length is answered.
    EXPECT_EQ(dict(1, 2), 4);
    EXPECT_EQ(std::string(buf.data(), 2), "be");
    for (int32_t past : {3, -1, 1000000}) {
        EXPECT_EQ(dict(past), -1) << past;
        EXPECT_EQ(MDK_geterrno(file), MDK_E_KEY) << past;
    }
}

TEST_F(ExtendedDict, ACycleIsStoppedAndABadLinkIs9) {
    FileImage image = soundImage();
    addDictionary(image, {"alpha", "beta"});
    std::vector<uint8_t> bytes = image.bytes();
    // beta's next leads back to alpha; alpha's previous to an empty slot.
    common::putBe32(recordIn(bytes, makeAddress(kDictBlock, 2)), makeAddress(kDictBlock, 1));
    common::putBe32(recordIn(bytes, makeAddress(kDictBlock, 1)) + 4, makeAddress(kDictBlock, 9));
    mdnio::test::writeFile(path, bytes);
    env = MDK_AllocEnv();
    int32_t err = -1;
    file = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
    ASSERT_NE(file, MDK_INVALID_FILE);
    EXPECT_EQ(dict(1000001), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_BUFFER);
    EXPECT_EQ(dict(-1), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_OFFSET);
    EXPECT_EQ(dict(1), 4);
}

// ---- other processes ---------------------------------------------------------------------------

using mdnio::test::Baton;

struct LockCase {
    const char* name;
    bool largeFile;
    uint64_t lockAt;  // where another process takes the header lock
};

class HeaderLock : public OpenFile, public ::testing::WithParamInterface<LockCase> {};

// Another process holds the header lock: a call that needs it fails with 23 (at once, with the
// no-wait option), and works once the lock is given back.
TEST_P(HeaderLock, BusyIs23) {
    ImageSpec spec;
    spec.largeFile = GetParam().largeFile;
    FileImage image = soundImage(spec);
    addDictionary(image, {"alpha"});
    ASSERT_TRUE(open(image));
    ASSERT_EQ(
        MDSetEnvMode(env, MDK_MODE_LOCK_OPTIONS, MDK_LOCK_NOWAIT_RECORD | MDK_LOCK_NOWAIT_HEADER),
        0);
    Baton baton;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd =
            platform::openFile(path.c_str(), platform::Access::ReadWrite, false, nullptr);
        if (fd < 0 ||
            platform::lockRange(fd, GetParam().lockAt, 1, true) != platform::LockResult::Ok)
            _exit(1);
        Baton::give(baton.toParent[1]);
        Baton::take(baton.toChild[0]);
        _exit(0);
    }
    ASSERT_TRUE(Baton::take(baton.toParent[0]));
    char buf[16];
    EXPECT_EQ(MDK_dict(file, 0, buf, sizeof buf), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_BUSY);
    Baton::give(baton.toChild[1]);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(MDK_dict(file, 0, buf, sizeof buf), 5);
}

INSTANTIATE_TEST_SUITE_P(Modes, HeaderLock,
                         ::testing::Values(LockCase{"Small", false, 0x80000000ull + 4096},
                                           LockCase{"LargeFile", true, (1ull << 63) + 4096}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Rewrite {
    std::string path;
    const char* from;
    const char* to;
    uint64_t counterStep;  // added to the change counter
};

// Another process: replaces the bytes `from` with `to` in the file, and moves the counter.
int rewriteElsewhere(void* arg) {
    const Rewrite* r = static_cast<const Rewrite*>(arg);
    std::vector<uint8_t> bytes = mdnio::test::readFile(r->path);
    auto at = std::search(bytes.begin(), bytes.end(), r->from, r->from + std::strlen(r->from));
    if (at == bytes.end()) return 1;
    std::copy(r->to, r->to + std::strlen(r->to), at);
    putBe64(bytes.data() + kOffChangeCounter,
            getBe64(bytes.data() + kOffChangeCounter) + r->counterStep);
    mdnio::test::writeFile(r->path, bytes);
    return 0;
}

// Blocks stay cached while the change counter stays put; another process that moves it (here
// only its high word) makes the next period drop what was cached.
TEST_F(OpenFile, AChangeCounterMovedByAnotherProcessDropsTheCache) {
    FileImage image = soundImage();
    addDictionary(image, {"alpha"});
    ASSERT_TRUE(open(image));
    char buf[16] = {};
    ASSERT_EQ(MDK_dict(file, 0, buf, sizeof buf), 5);
    Rewrite quiet{path, "alpha", "ALPHA", 0};
    ASSERT_EQ(mdnio::test::runInChild(rewriteElsewhere, &quiet), 0);
    ASSERT_EQ(MDK_dict(file, 0, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "alpha") << "the cached block was read again without a change";
    Rewrite moved{path, "ALPHA", "omega", uint64_t{1} << 32};
    ASSERT_EQ(mdnio::test::runInChild(rewriteElsewhere, &moved), 0);
    ASSERT_EQ(MDK_dict(file, 0, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "omega");
}

// Inside a transaction a read keeps the header lock to the transaction's end, and commit and
// rollback give it back; a handle closed meanwhile is closed then.
TEST_F(OpenFile, ATransactionKeepsTheHeaderUntilItEnds) {
    FileImage image = soundImage();
    addDictionary(image, {"alpha"});
    ASSERT_TRUE(open(image));
    const int other = platform::openFile(path.c_str(), platform::Access::ReadWrite, false, nullptr);
    ASSERT_GE(other, 0);
    const uint64_t at = headerLockAt(shared()->geo);
    char buf[16];
    for (bool commit : {true, false}) {
        ASSERT_EQ(MDK_BeginTX(env), 0);
        ASSERT_EQ(MDK_dict(file, 0, buf, sizeof buf), 5);
        EXPECT_TRUE(platform::rangeLockedByOther(other, at, 1)) << commit;
        ASSERT_EQ(commit ? MDK_CommitTX(env) : MDK_RollbackTX(env), 0);
        EXPECT_FALSE(platform::rangeLockedByOther(other, at, 1)) << commit;
    }
    MdkFile* second = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    ASSERT_NE(second, MDK_INVALID_FILE);
    ASSERT_EQ(MDK_BeginTX(env), 0);
    ASSERT_EQ(MDK_dict(second, 0, buf, sizeof buf), 5);
    EXPECT_EQ(MDK_close(second), 0);
    EXPECT_EQ(MDK_dict(second, 0, buf, sizeof buf), -1) << "a closed handle answers 2";
    EXPECT_EQ(MDK_geterrno(second), MDK_E_HANDLE);
    EXPECT_TRUE(platform::rangeLockedByOther(other, at, 1));
    ASSERT_EQ(MDK_CommitTX(env), 0);
    EXPECT_FALSE(platform::rangeLockedByOther(other, at, 1));
    EXPECT_EQ(MDK_dict(file, 0, buf, sizeof buf), 5);
    platform::closeFile(other);
}

}  // namespace

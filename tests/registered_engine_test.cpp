// A kind of file that lives only in this test: its engine registers itself with the open path
// and answers through its operation table alone.  Nothing of the library is told about it, yet
// it opens by its magic, takes restricted reads and is described by the catalog.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/keydesc.h"
#include "frame/frame.h"
#include "open/dispatch.h"
#include "restrict/restricted_read.h"
#include "testutil.h"

namespace mdnio::test {
namespace {

// A list file: the magic, then one record per line.  A record is a 3-byte key area followed by
// data fields separated by 0x8A; the records are read in key order.
constexpr char kListMagic[] = "[Tstlst]";
constexpr int32_t kListKind = 77;
constexpr size_t kKeyArea = 3;
constexpr int32_t kSeparator = 0x8A;
constexpr int32_t kListFormat = 9;  // what MDDescribeFile reports as the format

struct ListFile : MdkFile {
    MdkSharedFile block;
    std::vector<std::string> records;  // sorted by key
    size_t position = 0;               // the current record; records.size() when none
    uint8_t key[1 + kKeyArea] = {};    // length byte, then the current key
    std::vector<std::string>* log = nullptr;
};

ListFile* L(MdkFile* f) {
    return static_cast<ListFile*>(f);
}

// What the kind's raise slots saw, for the test to look at.
std::vector<std::string> gRaiseLog;

void setCurrent(ListFile* x, size_t position) {
    x->position = position;
    x->key[0] = 0;
    if (position >= x->records.size()) return;
    x->key[0] = kKeyArea;
    std::memcpy(x->key + 1, x->records[position].data(), kKeyArea);
}

int32_t listClose(MdkFile* f) {
    unlinkFile(f);
    freeRestrictProgram(f);
    delete L(f);
    return 0;
}

int32_t listSeek(MdkFile* f, const void* key, int32_t length, int32_t) {
    ListFile* x = L(f);
    const std::string wanted(static_cast<const char*>(key), static_cast<size_t>(length));
    auto at = std::lower_bound(x->records.begin(), x->records.end(), wanted);
    setCurrent(x, static_cast<size_t>(at - x->records.begin()));
    if (at == x->records.end() || at->compare(0, kKeyArea, wanted) != 0) raiseError(f, MDK_E_KEY);
    return 0;
}

int32_t listRead(MdkFile* f, void* buffer, int32_t length, int32_t option, int32_t, int32_t) {
    ListFile* x = L(f);
    if ((option & 0xFFF) == MDK_READ_NEXT && x->position < x->records.size())
        setCurrent(x, x->position + 1);
    if (x->position >= x->records.size()) raiseError(f, MDK_E_EOF);
    const std::string& record = x->records[x->position];
    const size_t fits = std::min(record.size(), static_cast<size_t>(std::max(length, 0)));
    std::memcpy(buffer, record.data(), fits);
    return fits < record.size() ? -2 : static_cast<int32_t>(record.size());
}

CurrentKey listCurrentKey(MdkFile* f) {
    return CurrentKey{L(f)->key + 1, L(f)->key[0], L(f)->key[0]};
}

void listDescribe(MdkFile* f, MdkFileInfo* info) {
    *info = MdkFileInfo{};
    info->recordCountLow = static_cast<int32_t>(L(f)->records.size());
    info->formatCode = kListFormat;
    info->keyCount = 1;
    info->segmentCount = 1;
    info->separator = static_cast<uint8_t>(kSeparator);
}

// One unique key of one segment: the whole key area.
KeyShape listKeyLayout(MdkFile*, common::KeyLayout* out) {
    common::Segment segment;
    segment.field = common::kKeyAreaField;
    segment.length = kKeyArea;
    segment.options = common::kOptUnique;
    out->segments = {segment};
    common::KeyDesc key;
    key.segmentCount = 1;
    key.length = kKeyArea;
    key.flags = common::kKeyUnique;
    out->keys = {key};
    out->keyAreaSize = kKeyArea;
    return KeyShape::Layout;
}

void listReleaseHeld(MdkFile*) {
    gRaiseLog.push_back("release");
}

void listNoteRaise(MdkFile*, int32_t code) {
    gRaiseLog.push_back("raise " + std::to_string(code));
}

const MdkOpTable kListOps = [] {
    MdkOpTable t = kRefusingTable;
    t.close = listClose;
    t.seek = listSeek;
    t.read = listRead;
    t.restrictedRead = filter::restrictedRead;
    t.currentKey = listCurrentKey;
    t.describeFile = listDescribe;
    t.keyLayout = listKeyLayout;
    t.releaseHeld = listReleaseHeld;
    t.noteRaise = listNoteRaise;
    return t;
}();

std::vector<std::string> readRecords(int fd) {
    std::string text;
    char chunk[512];
    for (int64_t at = sizeof kListMagic - 1;;) {
        platform::IoResult io = platform::readAt(fd, chunk, sizeof chunk, at);
        if (io.status != platform::IoStatus::Ok || io.count <= 0) break;
        text.append(chunk, static_cast<size_t>(io.count));
        at += io.count;
    }
    std::vector<std::string> records;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        records.push_back(text.substr(start, end - start));
    }
    std::sort(records.begin(), records.end());
    return records;
}

MdkFile* openList(const OpenRequest& request) {
    auto* x = new ListFile();
    x->records = readRecords(request.fd);
    platform::closeFile(request.fd);
    x->env = request.env;
    x->shared = &x->block;
    x->kind = kListKind;
    x->ops = &kListOps;
    x->keyBuffer = x->key;
    x->block.separator = kSeparator;
    x->block.keyAreaWidth = kKeyArea;
    x->block.maxDataLength = 64;
    x->block.keyBufferSize = 1 + kKeyArea;
    setCurrent(x, 0);
    linkFile(x);
    return x;
}

const EngineEntry kListEngine = {
    .kind = kListKind,
    .form = NameForm::Local,
    .magics = {kListMagic, nullptr},
    .open = openList,
};

const char kSep = static_cast<char>(kSeparator);

// key, city, name
const std::vector<std::string> kPeople = {
    std::string("K01") + "Berlin" + kSep + "Adams", std::string("K02") + "Paris" + kSep + "Baker",
    std::string("K03") + "Berlin" + kSep + "Clark", std::string("K04") + "Rome" + kSep + "Davis",
    std::string("K05") + "Berlin" + kSep + "Evans", std::string("K06") + "Paris" + kSep + "Frank",
};

class RegisteredEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        registerEngine(&kListEngine);
        gRaiseLog.clear();
        env = MDK_AllocEnv();
        std::string text = kListMagic;
        // Written out of order: the engine, not the file, gives the key order.
        for (size_t i : {3, 0, 5, 1, 4, 2})
            text += kPeople[i] + "\n";
        text.pop_back();
        path = dir.file("people.lst");
        writeFile(path, text);
    }
    void TearDown() override {
        MDK_DeAllocEnv(env);
        unregisterEngine(&kListEngine);
    }

    MdkFile* open() {
        int32_t error = 0;
        MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, MDK_OPEN_READONLY, &error);
        EXPECT_EQ(error, 0);
        return f;
    }

    // The keys of the records handed out by `first` and then `next` until the end (-4).
    template <class First, class Next>
    std::vector<std::string> keysOf(MdkFile* f, First&& first, Next&& next) {
        std::vector<std::string> keys;
        char buffer[64];
        char key[8] = {};
        uint8_t keyLength = 0;
        int32_t r = first(buffer, key, &keyLength);
        for (int guard = 0; r >= 0 && guard < 16; ++guard) {
            EXPECT_EQ(keyLength, kKeyArea);
            EXPECT_EQ(std::string(buffer, kKeyArea), std::string(key, keyLength));
            keys.emplace_back(key, keyLength);
            r = next(buffer, key, &keyLength);
        }
        EXPECT_EQ(r, -4) << "error " << MDK_geterrno(f);
        return keys;
    }

    MdkEnv* env = nullptr;
    TempDir dir;
    std::string path;
};

TEST_F(RegisteredEngine, OpensByItsMagicAndOnlyWhileRegistered) {
    MdkFile* f = open();
    ASSERT_NE(f, MDK_INVALID_FILE);
    EXPECT_EQ(f->kind, kListKind);
    char buffer[64];
    EXPECT_EQ(MDK_read(f, buffer, sizeof buffer, MDK_READ_CURRENT),
              static_cast<int32_t>(kPeople[0].size()));
    EXPECT_EQ(MDK_close(f), 0);

    unregisterEngine(&kListEngine);
    int32_t error = 0;
    EXPECT_EQ(MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &error), MDK_INVALID_FILE);
    EXPECT_EQ(error, MDK_E_FILETYPE);
}

// Restrict entries put one by one, a seek, then restricted reads with a key range.
TEST_F(RegisteredEngine, RestrictedReadsFilterItsRecords) {
    MdkFile* f = open();
    ASSERT_NE(f, MDK_INVALID_FILE);
    const MdkRestrictEntry berlin{1, 0, 0, MDK_OP_EQ, 0, 6, 0, "Berlin"};
    ASSERT_EQ(MDK_PutRestrictInfo(f, 0, &berlin), 0);
    const std::string end = "K04";
    auto read = [&](int32_t option) {
        return [&, option](char* buffer, char* key, uint8_t* keyLength) {
            return MDK_RestrictedRead(f, buffer, 64, option, key, keyLength, end.data(), 3,
                                      MDK_RESTRICT_FILTER);
        };
    };
    ASSERT_EQ(MDK_seek(f, "K01", 3, 1), 0);
    EXPECT_EQ(keysOf(f, read(MDK_READ_CURRENT), read(MDK_READ_NEXT)),
              (std::vector<std::string>{"K01", "K03"}));
    EXPECT_EQ(MDK_close(f), 0);
}

// A packed program with a start key, then the rows after the first.
TEST_F(RegisteredEngine, ReadFirstAndOdbcReadsFilterItsRecords) {
    MdkFile* f = open();
    ASSERT_NE(f, MDK_INVALID_FILE);
    // One entry (field 2 <> "Clark"), then start key "K02" of key number 1.
    std::vector<uint8_t> program = {0, 1, 0, 2, 0, 0, 0, 0, 0, MDK_OP_NE, 0, 0, 0, 5};
    for (char c : std::string("Clark"))
        program.push_back(static_cast<uint8_t>(c));
    for (uint8_t b : {0, 3, 0, 1})
        program.push_back(b);
    for (char c : std::string("K02"))
        program.push_back(static_cast<uint8_t>(c));
    const auto programLength = static_cast<int32_t>(program.size());
    auto first = [&](char* buffer, char* key, uint8_t* keyLength) {
        return MDK_read_FIRST(f, buffer, 64, MDK_READ_CURRENT, key, keyLength, "", 0,
                              program.data(), programLength);
    };
    auto next = [&](char* buffer, char* key, uint8_t* keyLength) {
        return MDK_read_ODBC(f, buffer, 64, MDK_READ_NEXT, key, keyLength, "", 0);
    };
    EXPECT_EQ(keysOf(f, first, next), (std::vector<std::string>{"K02", "K04", "K05", "K06"}));
    EXPECT_EQ(MDK_close(f), 0);
}

TEST_F(RegisteredEngine, TheCatalogDescribesItAsItsTableSays) {
    MdkFile* f = open();
    ASSERT_NE(f, MDK_INVALID_FILE);
    MdkFileInfo info{};
    ASSERT_EQ(MDDescribeFile(f, &info), 1);
    EXPECT_EQ(info.formatCode, kListFormat);
    EXPECT_EQ(info.recordCountLow, static_cast<int32_t>(kPeople.size()));
    EXPECT_EQ(info.separator, kSeparator);

    int32_t keys = 0;
    int32_t segments = 0;
    ASSERT_EQ(MDDescribeIndex(f, 0, &keys, &segments, nullptr, nullptr), 1);
    EXPECT_EQ(keys, 1);
    MdkKeyInfo key{};
    MdkSegmentInfo segment{};
    segments = 0;
    ASSERT_EQ(MDDescribeIndex(f, 0, &keys, &segments, &key, &segment), 1);
    EXPECT_EQ(segments, 1);
    EXPECT_EQ(key.keyLength, static_cast<int32_t>(kKeyArea));
    EXPECT_EQ(key.keyFlags, common::kKeyUnique);
    EXPECT_STREQ(key.keyName, "#1");
    EXPECT_EQ(segment.segLength, kKeyArea);
    EXPECT_EQ(segment.segField, 255);  // the key area
    EXPECT_EQ(MDK_close(f), 0);
}

// A failing call tells the kind before the frame gives back its locks.
TEST_F(RegisteredEngine, ARaiseGoesThroughItsReleaseSlots) {
    MdkFile* f = open();
    ASSERT_NE(f, MDK_INVALID_FILE);
    char buffer[64];
    ASSERT_EQ(MDK_seek(f, "K06", 3, 1), 0);
    ASSERT_GT(MDK_read(f, buffer, sizeof buffer, MDK_READ_CURRENT), 0);
    EXPECT_TRUE(gRaiseLog.empty());
    EXPECT_EQ(MDK_read(f, buffer, sizeof buffer, MDK_READ_NEXT), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_EOF);
    EXPECT_EQ(gRaiseLog, (std::vector<std::string>{"raise 4", "release"}));
    EXPECT_EQ(MDK_close(f), 0);
}

}  // namespace
}  // namespace mdnio::test

// Test support for the filter tests: one sample table of eight people, written through the
// library into a classic keyed file (key area "K00n") or an indexed file (key: the record
// number as eight digits), handles on it, packed programs, and a scan that collects what the
// restricted reads hand out.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "indexed/builder.h"
#include "keyed/testing.h"
#include "mdnio.h"
#include "testutil.h"

namespace mdnio::filter::test {

constexpr char kSep = '\x8A';

// name, city, balance in cents written as text (implied two decimals).
struct Person {
    const char* name;
    const char* city;
    const char* balance;
};

inline const std::vector<Person>& people() {
    static const std::vector<Person> all = {
        {"Adams", "Berlin", "1250"},   // 1: 12.50
        {"Baker", "Paris", "30000"},   // 2: 300.00
        {"Clark", "Berlin", "500-"},   // 3: -5.00
        {"Davis", "Madrid", "1250"},   // 4: 12.50
        {"Evans", "Paris", "99999"},   // 5: 999.99
        {"Moore", "Oslo", "0"},        // 6: 0
        {"Nash", "Berlin", "$1,000"},  // 7: 10.00
        {"Owen", "Rome", "abc"},       // 8: not a number
    };
    return all;
}

enum class Kind { Classic, Indexed };

inline const char* kindName(Kind k) {
    return k == Kind::Classic ? "classic" : "indexed";
}

constexpr size_t kKeyLength = 8;

// The key of person n (1-based) as the file's key buffer holds it: eight bytes.
inline std::string sampleKey(Kind kind, int n) {
    if (kind == Kind::Classic) {
        std::string key = "K00" + std::to_string(n);
        key.resize(kKeyLength, '\0');
        return key;
    }
    std::string digits = std::to_string(n - 1);
    return std::string(kKeyLength - digits.size(), '0') + digits;
}

// The key bytes a write of person n is given.
inline std::string writeKey(Kind kind, int n) {
    return kind == Kind::Classic ? "K00" + std::to_string(n) : std::to_string(n - 1);
}

// A person's data: the three fields with separators between them.  Indexed records are
// zero-filled to their fixed length, so there a separator also closes the last field: the
// balance is then not followed by fill bytes that no number contains.
inline std::string personData(Kind kind, const Person& p) {
    std::string data = std::string(p.name) + kSep + p.city + kSep + p.balance;
    if (kind == Kind::Indexed) data += kSep;
    return data;
}

constexpr int kIndexedRecordLength = 40;

// What a read of person n answers: key and data; an indexed record always has its full length.
inline int32_t recordLength(Kind kind, int n) {
    const size_t data =
        kind == Kind::Classic ? personData(kind, people()[n - 1]).size() : kIndexedRecordLength;
    return static_cast<int32_t>(kKeyLength + data);
}

inline void writeRecord(MdkFile* f, const std::string& key, const std::string& data) {
    ASSERT_EQ(MDK_write(f, data.data(), static_cast<int32_t>(data.size()), key.data(),
                        static_cast<int32_t>(key.size())),
              0)
        << "error " << MDK_geterrno(f);
}

// A classic file with the key area (8 bytes) as key 0 and records of up to 120 data bytes.
inline keyed::ClassicLayout sampleClassicLayout() {
    return keyed::test::layout(true, 1024, 120, 8,
                               {{{keyed::test::seg(common::kKeyAreaField, 0, 8)}}});
}

inline MdkFile* openFile(MdkEnv* env, const std::string& path) {
    int32_t error = -1;
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &error);
    EXPECT_NE(f, MDK_INVALID_FILE) << path << " error " << error;
    return f;
}

// Builds the sample file of `kind` at `path` and writes the eight people into it.
inline void buildSample(Kind kind, const std::string& path, MdkEnv* env) {
    if (kind == Kind::Classic) {
        keyed::test::build(path, sampleClassicLayout());
    } else {
        ASSERT_EQ(indexed::buildIndexedFile(path, kIndexedRecordLength, 0), 0);
    }
    MdkFile* f = openFile(env, path);
    ASSERT_NE(f, MDK_INVALID_FILE);
    for (size_t i = 0; i < people().size(); ++i) {
        const int n = static_cast<int>(i) + 1;
        writeRecord(f, writeKey(kind, n), personData(kind, people()[i]));
    }
    MDK_close(f);
}

// One restrict entry as a test writes it.  `keyOf` > 0 takes the constant from the key of
// that person in the file at hand, so that one table serves both kinds.
struct EntryRow {
    int32_t index;
    int32_t field;
    int32_t offset;
    int32_t width;
    int32_t op;
    int32_t scale;
    std::string constant;
    int keyOf = 0;

    std::string constantFor(Kind kind) const { return keyOf ? sampleKey(kind, keyOf) : constant; }
};

inline int32_t put(MdkFile* f, Kind kind, const EntryRow& e, std::string& storage) {
    storage = e.constantFor(kind);
    MdkRestrictEntry entry{e.field, e.offset,      e.width,
                           e.op,    e.scale,       static_cast<int32_t>(storage.size()),
                           0,       storage.data()};
    return MDK_PutRestrictInfo(f, e.index, &entry);
}

inline void appendBe16(std::vector<uint8_t>& out, int32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// The packed form of a program whose entries have indices 0, 1, ... in order.
inline std::vector<uint8_t> pack(Kind kind, const std::vector<EntryRow>& entries,
                                 const std::string& startKey, int32_t keyNumber = 1) {
    std::vector<uint8_t> out;
    appendBe16(out, static_cast<int32_t>(entries.size()));
    for (const EntryRow& e : entries) {
        const std::string constant = e.constantFor(kind);
        for (int32_t v :
             {e.field, e.offset, e.width, e.op, e.scale, static_cast<int32_t>(constant.size())})
            appendBe16(out, v);
        out.insert(out.end(), constant.begin(), constant.end());
    }
    appendBe16(out, static_cast<int32_t>(startKey.size()));
    appendBe16(out, keyNumber);
    out.insert(out.end(), startKey.begin(), startKey.end());
    return out;
}

// What a sequence of restricted reads handed out: the people (by the key each read reported),
// and how the sequence ended.
struct ScanResult {
    std::vector<int> people;
    int32_t end = 0;  // -4, or -1 with `error`
    int32_t error = 0;
    std::string endKeyOut;  // the key out-argument after the last call
    int endKeyLength = -1;
};

// Finds the person whose key is `key`; 0 for none.
inline int personOfKey(Kind kind, const std::string& key) {
    for (size_t n = 1; n <= people().size(); ++n)
        if (sampleKey(kind, static_cast<int>(n)) == key) return static_cast<int>(n);
    return 0;
}

// Calls `first` once and `next` until the reads end (at most a bounded number of times, so a
// read that never ends fails the test instead of hanging it).  Each delivered record must start
// with the key the read reported.
template <class First, class Next>
ScanResult collect(MdkFile* f, Kind kind, size_t endKeyLength, First&& first, Next&& next) {
    ScanResult out;
    char buffer[256] = {};
    char key[260] = {};
    uint8_t keyLength = 0;
    int32_t r = first(buffer, static_cast<int32_t>(sizeof buffer), key, &keyLength);
    for (int guard = 0; guard < 64 && (r >= 0 || r == -2); ++guard) {
        const std::string reported(key, keyLength);
        EXPECT_EQ(keyLength, kKeyLength);
        EXPECT_EQ(std::string(buffer, kKeyLength), reported);
        out.people.push_back(personOfKey(kind, reported));
        r = next(buffer, static_cast<int32_t>(sizeof buffer), key, &keyLength);
    }
    out.end = r;
    if (r == -1) out.error = MDK_geterrno(f);
    out.endKeyOut.assign(key, std::min<size_t>(endKeyLength + 1, sizeof key));
    out.endKeyLength = keyLength;
    return out;
}

// Positions before the first record of key 1 (the file's first key).
inline void rewind(MdkFile* f) {
    if (MDK_seek(f, "", 0, 1) == -1) {
        EXPECT_EQ(MDK_geterrno(f), MDK_E_KEY);
    }
}

// The indexed engine's close does not free the handle's restrict program yet; freeing it here
// first keeps the leak checker on the filter's own allocations.  freeRestrictProgram clears
// what it frees, so this stays harmless once the close does it too.
inline void closeFile(MdkFile* f) {
    if (f->kind == MDK_KIND_INDEXED) freeRestrictProgram(f);
    EXPECT_EQ(MDK_close(f), 0);
}

// Positions before the first record and scans with MDK_RestrictedRead.
inline ScanResult restrictedScan(MdkFile* f, Kind kind, const std::string& endKey, int32_t mode) {
    rewind(f);
    const auto endLength = static_cast<int32_t>(endKey.size());
    auto read = [&](int32_t option) {
        return [=, &endKey](char* buffer, int32_t size, char* key, uint8_t* keyLength) {
            return MDK_RestrictedRead(f, buffer, size, option, key, keyLength, endKey.data(),
                                      endLength, mode);
        };
    };
    return collect(f, kind, endKey.size(), read(MDK_READ_CURRENT), read(MDK_READ_NEXT));
}

// A fixture with an environment and a scratch directory.
class SampleTest : public ::testing::Test {
  protected:
    void SetUp() override { env = MDK_AllocEnv(); }
    void TearDown() override { MDK_DeAllocEnv(env); }

    std::string sample(Kind kind) {
        std::string path = dir.file(kind == Kind::Classic ? "people.dat" : "people.ind");
        buildSample(kind, path, env);
        return path;
    }

    MdkEnv* env = nullptr;
    mdnio::test::TempDir dir;
};

}  // namespace mdnio::filter::test

// Helpers for the tests of writers stopped half-way (killed, or failed by the disk): a file whose
// records take every path of a change (continuation pieces, block splits, compressed data), a
// deterministic workload of inserts, updates and removes, and the records a file holds as a
// fresh opener reads them.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "keyed/keyed.h"
#include "keyed/testing.h"
#include "mdnio.h"
#include "testutil.h"

namespace mdnio::keyed::test {

// Key area -> record data, for every record of a file.
using Records = std::map<std::string, std::string>;

constexpr char kFieldSep = static_cast<char>(0x8A);

// 1024-byte blocks and alternate-key entries of 25 bytes: key blocks split every few dozen
// inserts.  Block mode compresses, and its record size of 60 sends longer records into pieces;
// slot mode holds every record in its slot.
inline ClassicLayout survivalLayout(bool blockMode) {
    ClassicLayout l =
        layout(blockMode, 1024, blockMode ? 60 : 220, 8,
               {{{seg(common::kKeyAreaField, 0, 8)}}, {{seg(1, 0, 12, common::kOptUpper)}}});
    l.compress = blockMode;
    return l;
}

inline std::string keyOf(int n) {
    char buf[12];  // room for any int, so that no key is ever cut
    std::snprintf(buf, sizeof buf, "%08d", n);
    return buf;
}

// Version v of record n: a name (the alternate key; often shared, so duplicates), a version
// field, then filler whose length and shape vary: runs that compress, and in block mode often
// more than the record size (continuation pieces).
inline std::string recordData(int n, int v, bool blockMode) {
    static const char* const kNames[] = {"adams", "baker", "clark", "davis", "evans", "frank"};
    std::string d = std::string(kNames[(n + v) % 6]) + std::to_string(n % 7) + kFieldSep + "v" +
                    std::to_string(v) + kFieldSep;
    const int length = (n * 37 + v * 11) % (blockMode ? 170 : 150);
    for (int i = 0; i < length; i++)
        d += (i / 16 + v) % 3 == 0 ? 'z' : static_cast<char>('a' + (n + i * v) % 26);
    return d;
}

// One call of a workload.
struct Step {
    enum Kind { Insert, Update, Remove } kind;
    std::string key;
    std::string data;
};

inline void applyStep(Records& model, const Step& s) {
    if (s.kind == Step::Remove)
        model.erase(s.key);
    else
        model[s.key] = s.data;
}

// `count` calls that are valid one after another from `start` (inserts of new keys, updates and
// removes of existing ones), drawn from `seed`.
inline std::vector<Step> makeSteps(Records start, uint32_t seed, int count, bool blockMode,
                                   int keySpace = 400) {
    std::mt19937 rng(seed);
    std::vector<Step> steps;
    for (int i = 0; i < count; i++) {
        const int pick = static_cast<int>(rng() % 100);
        Step s{Step::Insert, keyOf(static_cast<int>(rng() % keySpace)), ""};
        if (start.count(s.key)) s.kind = pick < 60 ? Step::Update : Step::Remove;
        if (s.kind != Step::Remove)
            s.data = recordData(std::stoi(s.key), static_cast<int>(rng() % 1000), blockMode);
        applyStep(start, s);
        steps.push_back(s);
    }
    return steps;
}

inline int32_t runStep(MdkFile* f, const Step& s) {
    const auto n = static_cast<int32_t>(s.data.size());
    switch (s.kind) {
        case Step::Insert:
            return MDK_insert(f, s.data.data(), n, s.key.data(), 8);
        case Step::Update:
            return MDK_update(f, s.data.data(), n, s.key.data(), 8);
        case Step::Remove:
            return MDK_remove(f, s.key.data(), 8);
    }
    return -1;
}

// Every record of an open file, in key 0 order; false (with the code in *error) when a read
// fails.
inline bool readRecords(MdkFile* f, Records& out, int32_t* error) {
    out.clear();
    std::vector<char> buf(64 << 10);
    if (MDK_seek(f, "", 0, 1) != 0 && MDK_geterrno(f) != MDK_E_KEY) {
        *error = MDK_geterrno(f);
        return false;
    }
    for (;;) {
        int32_t n = MDK_read(f, buf.data(), static_cast<int32_t>(buf.size()), MDK_READ_NEXT);
        if (n < 0) {
            *error = MDK_geterrno(f);
            return *error == MDK_E_EOF;
        }
        if (n < 8) {
            *error = MDK_E_INTERNAL;
            return false;
        }
        out[std::string(buf.data(), 8)] = std::string(buf.data() + 8, static_cast<size_t>(n) - 8);
    }
}

// The records of the file at `path` as a fresh environment reads them (the open repairs what a
// stopped writer left).  Fails the test when the open or a read fails.
inline Records recordsOf(const std::string& path, int32_t openFlags = 0) {
    MdkEnv* env = MDK_AllocEnv();
    int32_t err = 0;
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, openFlags, &err);
    Records out;
    EXPECT_NE(f, MDK_INVALID_FILE) << "open failed with " << err;
    if (f != MDK_INVALID_FILE) {
        int32_t error = 0;
        EXPECT_TRUE(readRecords(f, out, &error)) << "read failed with " << error;
    }
    MDK_DeAllocEnv(env);
    return out;
}

// The file (and its segment files) as bytes, to compare a file before a call with after it.
struct FileImage {
    std::vector<std::vector<uint8_t>> files;  // base, then segments 1, 2, ... that exist

    static FileImage of(const std::string& path) {
        FileImage image;
        image.files.push_back(bytesOf(path));
        for (uint32_t n = 1; n < kMaxSegments; n++) {
            const std::string segment = store::segmentPath(path.c_str(), n);
            if (access(segment.c_str(), F_OK) != 0) break;
            image.files.push_back(bytesOf(segment));
        }
        return image;
    }
    // A file's bytes, read in one go (files of a megabyte are read often).
    static std::vector<uint8_t> bytesOf(const std::string& path) {
        std::vector<uint8_t> bytes;
        if (FILE* in = std::fopen(path.c_str(), "rb")) {
            std::fseek(in, 0, SEEK_END);
            bytes.resize(static_cast<size_t>(std::max(0L, std::ftell(in))));
            std::rewind(in);
            bytes.resize(std::fread(bytes.data(), 1, bytes.size(), in));
            std::fclose(in);
        }
        return bytes;
    }
    // Makes the file this image again, without segment files past it and without a journal.
    void restore(const std::string& path) const {
        mdnio::test::writeFile(path, files[0]);
        for (uint32_t n = 1; n < kMaxSegments; n++) {
            const std::string segment = store::segmentPath(path.c_str(), n);
            if (n < files.size())
                mdnio::test::writeFile(segment, files[n]);
            else if (unlink(segment.c_str()) != 0)
                break;
        }
        unlink(common::journalPath(path.c_str()).c_str());
    }
};

// Whether `now` holds the file `before` was: every file of it byte for byte, but for the change
// counter and its check bytes (which an undone call moves on, so that other processes drop what
// they read meanwhile).  Past the old end of a file only zeros may follow (blocks a call claims
// before it changes anything, as a transaction rolled back leaves them), and segment files that
// did not exist may be left (the header does not name them).  Names the first difference in
// *why.
inline bool sameAsBefore(const FileImage& before, const FileImage& now, std::string* why) {
    if (now.files.size() < before.files.size()) {
        *why = "segment " + std::to_string(now.files.size()) + " is gone";
        return false;
    }
    for (size_t n = 0; n < before.files.size(); n++) {
        std::vector<uint8_t> a = before.files[n];
        const std::vector<uint8_t>& b = now.files[n];
        if (b.size() < a.size()) {
            *why = "file " + std::to_string(n) + " is cut to " + std::to_string(b.size());
            return false;
        }
        if (n == 0 && a.size() >= 256) {
            for (size_t i : {36, 37, 38, 39, 253, 254})
                a[i] = b[i];
        }
        const auto differs = std::mismatch(a.begin(), a.end(), b.begin()).first;
        const auto nonZero = std::find_if(b.begin() + static_cast<ptrdiff_t>(a.size()), b.end(),
                                          [](uint8_t c) { return c != 0; });
        if (differs != a.end() || nonZero != b.end()) {
            const auto at = differs != a.end() ? differs - a.begin() : nonZero - b.begin();
            *why = "file " + std::to_string(n) + " differs at byte " + std::to_string(at);
            return false;
        }
    }
    return true;
}

// Waits for child `pid`: true when it was killed by SIGKILL, false when it exited (its status in
// *exitCode).
inline bool killedBySigkill(pid_t pid, int* exitCode) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

}  // namespace mdnio::keyed::test

// Data-file passwords through the public interface: the password record, the check at open,
// MDK_SetPswd, and files whose key and data blocks are enciphered on disk.
//
// Password records are also built here byte by byte from the record's format, with a checksum
// computed by this file's own CRC, so that the library's writer and reader cannot agree on a
// misreading of the format unnoticed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "keyed/keyed.h"
#include "keyed/password.h"
#include "keyed/testing.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kB = 1024;
constexpr int kK = 8;

Bytes bytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

bool contains(const Bytes& hay, std::string_view needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// CRC-16/ARC one bit at a time.
uint16_t bitwiseCrc(uint16_t crc, const Bytes& data) {
    for (uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; i++)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

// ---- the password record, from its format -------------------------------------------------------

Bytes field(const Bytes& content) {
    return cat({{static_cast<uint8_t>(content.size())}, content});
}

// Field 3: the kind, then the password XOR 0xB6.
Bytes item(uint8_t kind, std::string_view password) {
    Bytes out{kind};
    for (char c : password)
        out.push_back(static_cast<uint8_t>(c) ^ 0xB6);
    return out;
}

// Field 4's content: CRC-16/ARC from 0x93E5 over field 3's length byte and bytes, then the file
// identity.
Bytes checksum(const Bytes& item3, const Bytes& identity) {
    const uint16_t c =
        bitwiseCrc(0x93E5, cat({{static_cast<uint8_t>(item3.size())}, item3, identity}));
    return {static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)};
}

Bytes extRecord(const Bytes& option, uint8_t kind, std::string_view password,
                const Bytes& identity) {
    const Bytes i = item(kind, password);
    return cat({field(bytes("EXT")), field(option), field(i), field(checksum(i, identity))});
}

// An element of an embedded data dictionary describing a column (its tag is 00 00 B9).
const Bytes kColumn = cat({field({0x00, 0x00, 0xB9}), field(bytes("NAME")), field(bytes("A"))});

// ---- files --------------------------------------------------------------------------------------

// One handle, or the code its open failed with.
struct Opened {
    MdkFile* file = MDK_INVALID_FILE;
    int32_t error = 0;
    bool ok() const { return file != MDK_INVALID_FILE; }
};

class Password : public ::testing::Test {
  protected:
    void SetUp() override { env = MDK_AllocEnv(); }
    void TearDown() override { MDK_DeAllocEnv(env); }

    // An empty file with key 0 over the 8-byte key area and records of up to 100 bytes.
    std::string make(const std::string& name, bool blockMode = true) {
        const std::string path = dir.file(name);
        build(path, layout(blockMode, kB, 100, kK, {{{seg(common::kKeyAreaField, 0, kK)}}}));
        return path;
    }
    Opened open(const std::string& path, const char* password = nullptr, int32_t length = 0,
                int32_t flags = 0) {
        Opened o;
        o.error = -1;
        o.file = MDK_OpenExt(env, path.c_str(), password, length, flags, &o.error);
        return o;
    }
    // Opens a file that must open (the test stops when it does not).
    MdkFile* mustOpen(const std::string& path, const char* password = nullptr, int32_t length = 0) {
        Opened o = open(path, password, length);
        EXPECT_TRUE(o.ok()) << path << ": open failed with " << o.error;
        return o.file;
    }
    static Bytes identity(const std::string& path) {
        Bytes file = mdnio::test::readFile(path);
        return Bytes(file.begin() + 232, file.begin() + 236);
    }
    static int32_t put(MdkFile* f, const std::string& key, const std::string& data) {
        return MDK_write(f, data.data(), static_cast<int32_t>(data.size()), key.data(),
                         static_cast<int32_t>(key.size()));
    }
    // The data of the record with key `key`, or "<error n>".
    static std::string get(MdkFile* f, const std::string& key) {
        char buf[256];
        if (MDK_seek(f, key.data(), static_cast<int32_t>(key.size()), 1) != 0)
            return "<error " + std::to_string(MDK_geterrno(f)) + ">";
        int32_t n = MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT);
        if (n < kK) return "<error " + std::to_string(MDK_geterrno(f)) + ">";
        return std::string(buf + kK, static_cast<size_t>(n - kK));
    }
    static void addDict(MdkFile* f, const std::vector<Bytes>& records) {
        for (size_t n = 0; n < records.size(); n++) {
            ASSERT_EQ(MDK_dict_add(f, static_cast<int32_t>(n), records[n].data(),
                                   static_cast<int32_t>(records[n].size())),
                      0)
                << "dictionary record " << n << ": " << MDK_geterrno(f);
        }
    }
    // Dictionary record n, or nothing when it cannot be read.
    static std::optional<Bytes> dict(MdkFile* f, int32_t n) {
        Bytes buf(4096);
        int32_t got = MDK_dict(f, n, buf.data(), static_cast<int32_t>(buf.size()));
        if (got < 0) return std::nullopt;
        buf.resize(static_cast<size_t>(got));
        return buf;
    }
    // A file given a password by MDK_SetPswd and one record written after it.
    std::string protect(const std::string& name, int kind, bool blockMode = true) {
        const std::string path = make(name, blockMode);
        MdkFile* f = mustOpen(path);
        EXPECT_EQ(MDK_SetPswd(f, "secret12", 8, kind), 0) << MDK_geterrno(f);
        EXPECT_EQ(put(f, "alpha", "first record"), 0) << MDK_geterrno(f);
        EXPECT_EQ(MDK_close(f), 0);
        return path;
    }

    mdnio::test::TempDir dir;
    MdkEnv* env = nullptr;
};

// The key blocks and data blocks of a small file, as they lie on disk.  Block mode: every block
// of type 0xFE or 0x80.  Slot mode keeps records in record slots, and the few keys of these
// tests fit in the root block of key 0.
Bytes keyAndDataBlocks(const std::string& path, bool blockMode) {
    const Bytes file = mdnio::test::readFile(path);
    std::vector<size_t> starts;
    if (blockMode) {
        for (size_t at = kFirstBlock; at + kB <= file.size(); at += kB)
            if (file[at] == kTypeKey || file[at] == kTypeData) starts.push_back(at);
    } else {
        const uint32_t root = common::getBe32(&file[kOffRoots]);
        if (root != 0 && root + kB <= file.size() && file[root] == kTypeKey) starts.push_back(root);
    }
    // Sized once and filled in place (GCC 12 at -O3 mistakes a growing insert for an overflow).
    Bytes out(starts.size() * kB);
    for (size_t i = 0; i < starts.size(); ++i)
        std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(starts[i]), kB,
                    out.begin() + static_cast<std::ptrdiff_t>(i * kB));
    return out;
}

// The same blocks deciphered block by block.
Bytes deciphered(Bytes blocks) {
    Cipher c;
    setUpCipher(c);
    for (size_t at = 0; at + kB <= blocks.size(); at += kB)
        decipherBytes(c, &blocks[at + 5], kB - 5);
    return blocks;
}

VerifyReport verifyEnciphered(const std::string& path) {
    VerifyOptions options;
    options.decipher = [](std::span<uint8_t> b) {
        Cipher c;
        setUpCipher(c);
        decipherBytes(c, b.data(), b.size());
    };
    return verifyClassicFile(path, options);
}

std::string problems(const VerifyReport& r) {
    std::string all;
    for (const std::string& p : r.problems)
        all += p + "\n";
    return all;
}

// ---- the kinds ----------------------------------------------------------------------------------

TEST_F(Password, WithoutTheRightPasswordEachKindRefusesRestrictsOrOpens) {
    enum Outcome { Refused, ReadOnly, Writable };
    struct Kind {
        int kind;
        Outcome withoutIt;
        bool enciphers;
    };
    const Kind kinds[] = {{0, Refused, false}, {1, ReadOnly, false}, {2, Refused, true},
                          {3, ReadOnly, true}, {4, Writable, false}, {255, Writable, false}};
    struct Given {
        const char* name;
        const char* password;
        int32_t length;
        bool right;
    };
    // The password stored is "secret12", 8 bytes, the most a password record holds.
    const Given givens[] = {
        {"right", "secret12", 8, true},
        {"wrong", "secret13", 8, false},
        {"none", nullptr, 0, false},
        {"a prefix", "secret1", 7, false},
        {"nine bytes starting with it", "secret123", 9, false},
    };
    for (bool blockMode : {true, false}) {
        for (const Kind& k : kinds) {
            const std::string name = "k" + std::to_string(k.kind) + (blockMode ? "b" : "s");
            SCOPED_TRACE(name);
            const std::string path = protect(name + ".dat", k.kind, blockMode);
            int serial = 0;
            for (const Given& g : givens) {
                SCOPED_TRACE(g.name);
                const Opened o = open(path, g.password, g.length);
                const Outcome expected = g.right ? Writable : k.withoutIt;
                if (expected == Refused) {
                    EXPECT_FALSE(o.ok());
                    EXPECT_EQ(o.error, MDK_E_PASSWORD);
                    continue;
                }
                ASSERT_TRUE(o.ok()) << "open failed with " << o.error;
                EXPECT_EQ(get(o.file, "alpha"), "first record");
                const std::string key = "w" + std::to_string(serial++);
                if (expected == Writable) {
                    EXPECT_EQ(put(o.file, key, "written " + key), 0) << MDK_geterrno(o.file);
                    EXPECT_EQ(get(o.file, key), "written " + key);
                } else {
                    EXPECT_EQ(put(o.file, key, "refused"), -1);
                    EXPECT_EQ(MDK_geterrno(o.file), MDK_E_WRITE);
                    EXPECT_EQ(MDK_dict_add(o.file, 5, "x", 1), -1);
                    EXPECT_EQ(MDK_geterrno(o.file), MDK_E_WRITE);
                    EXPECT_EQ(MDK_SetPswd(o.file, "other", 5, 4), -1);
                    EXPECT_EQ(MDK_geterrno(o.file), MDK_E_WRITE);
                }
                EXPECT_EQ(MDK_close(o.file), 0);
            }
            // Records live in data blocks only in block mode; slot mode keeps them in plain
            // record slots.
            const Bytes file = mdnio::test::readFile(path);
            EXPECT_EQ(contains(file, "first record"), !(k.enciphers && blockMode));
            const VerifyReport r = k.enciphers ? verifyEnciphered(path) : verifyClassicFile(path);
            EXPECT_TRUE(r.ok()) << problems(r);
        }
    }
}

// A kind-2 file used with the right password: inserts, an update and a removal, read back after
// reopening, and not one byte of record text in its key and data blocks on disk.
TEST_F(Password, EncipheredFileKeepsNoRecordTextInItsBlocks) {
    for (bool blockMode : {true, false}) {
        SCOPED_TRACE(blockMode ? "block mode" : "slot mode");
        const std::string tag = blockMode ? "b" : "s";
        const std::string secret = make("secret" + tag + ".dat", blockMode);
        const std::string plain = make("plain" + tag + ".dat", blockMode);
        MdkFile* s = mustOpen(secret);
        ASSERT_EQ(MDK_SetPswd(s, "pw", 2, 2), 0) << MDK_geterrno(s);
        ASSERT_EQ(MDK_close(s), 0);
        ASSERT_FALSE(open(secret).ok());  // kind 2 refuses without the password
        s = mustOpen(secret, "pw", 2);
        MdkFile* p = mustOpen(plain);
        auto key = [](int i) {
            char k[16];
            std::snprintf(k, sizeof k, "KEYTXT%02d", i);
            return std::string(k);
        };
        auto data = [](int i) {
            return "DATATEXT-" + std::to_string(i) + "-" + std::string(40, 'z');
        };
        for (int i = 0; i < 20; i++) {
            ASSERT_EQ(put(s, key(i), data(i)), 0) << MDK_geterrno(s);
            ASSERT_EQ(put(p, key(i), data(i)), 0) << MDK_geterrno(p);
        }
        for (MdkFile* f : {s, p}) {
            ASSERT_EQ(put(f, key(3), "DATATEXT-updated"), 0);
            ASSERT_EQ(MDK_remove(f, key(7).data(), kK), 0);
            EXPECT_EQ(MDK_close(f), 0);
        }

        s = mustOpen(secret, "pw", 2);
        ASSERT_EQ(MDK_seek(s, "", 0, 1), -1);
        for (int i = 0; i < 20; i++) {
            if (i == 7) continue;
            char buf[256];
            const int32_t n = MDK_read(s, buf, sizeof buf, MDK_READ_NEXT);
            ASSERT_GE(n, kK) << "record " << i << ": " << MDK_geterrno(s);
            EXPECT_EQ(std::string(buf, kK), key(i));
            EXPECT_EQ(std::string(buf + kK, static_cast<size_t>(n - kK)),
                      i == 3 ? "DATATEXT-updated" : data(i));
        }
        EXPECT_EQ(MDK_close(s), 0);

        const Bytes hidden = keyAndDataBlocks(secret, blockMode);
        const Bytes shown = keyAndDataBlocks(plain, blockMode);
        ASSERT_FALSE(hidden.empty());
        EXPECT_FALSE(contains(hidden, "KEYTXT"));
        EXPECT_FALSE(contains(hidden, "DATATEXT"));
        // The same blocks of the file without a password show the text, and deciphering the
        // protected file's blocks brings it back: the scan above can see the text.
        EXPECT_TRUE(contains(shown, "KEYTXT"));
        EXPECT_TRUE(contains(deciphered(hidden), "KEYTXT"));
        if (blockMode) {
            EXPECT_TRUE(contains(shown, "DATATEXT"));
            EXPECT_TRUE(contains(deciphered(hidden), "DATATEXT"));
        }
        const VerifyReport r = verifyEnciphered(secret);
        EXPECT_TRUE(r.ok()) << problems(r);
        EXPECT_EQ(r.records, 19u);
        expectSound(plain);
    }
}

// ---- the password record ------------------------------------------------------------------------

// A password record built here from the format is accepted, and MDK_SetPswd writes exactly that
// format.
TEST_F(Password, RecordBuiltFromTheFormatIsAcceptedAndMatchesSetPswd) {
    const std::string hand = make("hand.dat");
    MdkFile* f = mustOpen(hand);
    addDict(f, {bytes("HEADER"), kColumn, extRecord({0x12, 0x34}, 0, "hand", identity(hand))});
    ASSERT_EQ(MDK_close(f), 0);

    Opened o = open(hand, "hand", 4);
    ASSERT_TRUE(o.ok()) << o.error;
    EXPECT_EQ(put(o.file, "k", "writable"), 0);
    EXPECT_EQ(MDK_close(o.file), 0);
    for (const char* wrong : {"hanD", "han", ""}) {
        o = open(hand, wrong, static_cast<int32_t>(std::strlen(wrong)));
        EXPECT_FALSE(o.ok()) << wrong;
        EXPECT_EQ(o.error, MDK_E_PASSWORD) << wrong;
    }

    const std::string set = make("set.dat");
    f = mustOpen(set);
    ASSERT_EQ(MDK_SetPswd(f, "hand", 4, 1), 0);
    // No dictionary records before: an empty record 0, and the password record as record 1.
    EXPECT_EQ(dict(f, 0), Bytes{});
    EXPECT_EQ(dict(f, 1), extRecord({}, 1, "hand", identity(set)));
    EXPECT_EQ(dict(f, 2), std::nullopt);
    ASSERT_EQ(MDK_close(f), 0);
}

TEST_F(Password, DamagedChecksumRefusesEvenTheRightPassword) {
    const std::string path = protect("intact.dat", 4);
    const Bytes intact = mdnio::test::readFile(path);
    const Bytes tag = {3, 'E', 'X', 'T'};
    const size_t at =
        std::search(intact.begin(), intact.end(), tag.begin(), tag.end()) - intact.begin();
    ASSERT_LT(at, intact.size());
    // EXT, empty field 2, field 3 of kind and "secret12", field 4.
    const size_t item3 = at + 4 + 1;
    ASSERT_EQ(intact[at + 4], 0);
    ASSERT_EQ(intact[item3], 9);
    const size_t sum = item3 + 1 + 9;
    ASSERT_EQ(intact[sum], 2);
    struct Damage {
        const char* name;
        size_t offset;
    };
    const Damage damages[] = {
        {"checksum, first byte", sum + 1},
        {"checksum, second byte", sum + 2},
        {"kind", item3 + 1},
        {"a password byte", item3 + 4},
        {"file identity", 233},
    };
    for (const Damage& d : damages) {
        Bytes damaged = intact;
        damaged[d.offset] ^= 0x01;
        const std::string copy = dir.file(std::string("damaged-") + std::to_string(d.offset));
        mdnio::test::writeFile(copy, damaged);
        const Opened o = open(copy, "secret12", 8);
        EXPECT_FALSE(o.ok()) << d.name;
        EXPECT_EQ(o.error, MDK_E_PASSWORD) << d.name;
    }
    EXPECT_TRUE(open(path, "secret12", 8).ok());
}

TEST_F(Password, FileWithoutAPasswordRecordOpensWithAnyPassword) {
    struct Dictionary {
        const char* name;
        std::vector<Bytes> records;
    };
    const Dictionary dictionaries[] = {
        {"no dictionary records", {}},
        {"record 0 only", {bytes("HEADER")}},
        {"a column record", {bytes("HEADER"), kColumn}},
        {"first field EXTRA", {bytes("HEADER"), cat({field(bytes("EXTRA")), field({1, 2})})}},
        {"first field cut short", {bytes("HEADER"), {3, 'E', 'X'}}},
        // Another record whose later bytes do not read as short fields.
        {"a long column item", {bytes("HEADER"), cat({field(bytes("COL")), {200, 'x', 'y'}})}},
        {"EXT with an empty field 3",
         {bytes("HEADER"), cat({field(bytes("EXT")), field({0xAB, 0xCD}), field({})})}},
        {"EXT without field 3", {bytes("HEADER"), cat({field(bytes("EXT")), field({0x00, 0x07})})}},
        // Record 0 is never the password record.
        {"EXT as record 0", {extRecord({}, 0, "pw", {0, 0, 0, 0})}},
    };
    int n = 0;
    for (const Dictionary& d : dictionaries) {
        SCOPED_TRACE(d.name);
        const std::string path = make("d" + std::to_string(n++) + ".dat");
        MdkFile* f = mustOpen(path);
        addDict(f, d.records);
        ASSERT_EQ(MDK_close(f), 0);
        for (const char* given : {static_cast<const char*>(nullptr), "anything", "ninebytes"}) {
            const int32_t length = given ? static_cast<int32_t>(std::strlen(given)) : 0;
            const Opened o = open(path, given, length);
            ASSERT_TRUE(o.ok()) << (given ? given : "none") << ": " << o.error;
            EXPECT_EQ(put(o.file, "k", "writable"), 0) << MDK_geterrno(o.file);
            EXPECT_EQ(MDK_close(o.file), 0);
        }
    }
}

// A record that names itself "EXT" but cannot be read is not taken as "no password".
TEST_F(Password, MalformedPasswordRecordRefusesTheOpen) {
    const Bytes ext = field(bytes("EXT"));
    const Bytes pw = item(4, "pw");
    struct Case {
        const char* name;
        std::string password;
        std::function<Bytes(const Bytes& identity)> record;
    };
    const Case cases[] = {
        {"field 2 runs past the record", "pw",
         [&](const Bytes&) {
             return cat({ext, {5, 1, 2}});
         }},
        {"field 3 runs past the record", "pw",
         [&](const Bytes&) {
             return cat({ext, field({}), {6, 4, 'p' ^ 0xB6}});
         }},
        {"field 4 runs past the record", "pw",
         [&](const Bytes&) {
             return cat({ext, field({}), field(pw), {2, 0x12}});
         }},
        {"field 3 longer than a password item", "secret123",
         [&](const Bytes& id) {
             const Bytes long3 = item(4, "secret123");
             return cat({ext, field({}), field(long3), field(checksum(long3, id))});
         }},
        {"field 4 of three bytes", "pw",
         [&](const Bytes& id) {
             return cat({ext, field({}), field(pw), field(cat({checksum(pw, id), {0}}))});
         }},
        {"field 4 of one byte", "pw",
         [&](const Bytes& id) {
             return cat({ext, field({}), field(pw), field({checksum(pw, id)[0]})});
         }},
        // A missing field 4 reads as 0, which is not the checksum of this item.
        {"no field 4", "pw",
         [&](const Bytes&) {
             return cat({ext, field({}), field(pw)});
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = make("m" + std::to_string(n++) + ".dat");
        const Bytes id = identity(path);
        ASSERT_NE(checksum(pw, id), (Bytes{0, 0}));
        MdkFile* f = mustOpen(path);
        addDict(f, {bytes("HEADER"), c.record(id)});
        ASSERT_EQ(MDK_close(f), 0);
        const Opened o = open(path, c.password.data(), static_cast<int32_t>(c.password.size()));
        EXPECT_FALSE(o.ok());
        EXPECT_EQ(o.error, MDK_E_PASSWORD);
    }
}

// A dictionary chain that runs in a circle fails the open instead of holding it forever.
TEST_F(Password, CircularDictionaryChainFailsTheOpen) {
    const std::string path = make("circle.dat");
    MdkFile* f = mustOpen(path);
    addDict(f, {bytes("HEADER"), kColumn});
    ASSERT_EQ(MDK_close(f), 0);
    Bytes file = mdnio::test::readFile(path);
    // Record 1's next link goes back to record 0.
    auto recordAt = [&](uint32_t address) {
        const size_t block = address & ~0xFFu;
        const size_t slot = address & 0xFF;
        return block + 6 + common::getBe16(&file[block + 6 + 2 * slot]);
    };
    const uint32_t first = common::getBe32(&file[kOffDictionary]);
    const uint32_t second = common::getBe32(&file[recordAt(first)]);
    ASSERT_NE(second, 0u);
    ASSERT_EQ(common::getBe32(&file[recordAt(second)]), 0u);
    common::putBe32(&file[recordAt(second)], first);
    mdnio::test::writeFile(path, file);
    const Opened o = open(path);
    EXPECT_FALSE(o.ok());
    EXPECT_EQ(o.error, MDK_E_OFFSET);
}

// ---- MDK_SetPswd --------------------------------------------------------------------------------

TEST_F(Password, SetPswdOnAFileWithAPasswordAnswers50AndChangesNothing) {
    const std::string path = make("twice.dat");
    MdkFile* f = mustOpen(path);
    ASSERT_EQ(MDK_SetPswd(f, "first", 5, 4), 0);
    const std::optional<Bytes> before = dict(f, 1);
    ASSERT_TRUE(before);
    for (int kind : {0, 2, 4})
        EXPECT_EQ(MDK_SetPswd(f, "second", 6, kind), 50);
    EXPECT_EQ(dict(f, 1), before);
    EXPECT_EQ(dict(f, 2), std::nullopt);
    ASSERT_EQ(MDK_close(f), 0);
    // Kind 4 opens without the password; the record still holds the first one.
    EXPECT_TRUE(open(path).ok());
    EXPECT_EQ(before, extRecord({}, 4, "first", identity(path)));
}

TEST_F(Password, SetPswdRefusesArgumentsThatCouldNeverWork) {
    const std::string path = make("args.dat");
    MdkFile* f = mustOpen(path);
    struct Case {
        const char* name;
        const char* password;
        int32_t length;
        int32_t kind;
    };
    const Case cases[] = {
        {"nine bytes", "secret123", 9, 0},        {"empty", "", 0, 0},
        {"null buffer", nullptr, 3, 0},           {"negative length", "abc", -1, 0},
        {"kind below 0", "abc", 3, -1},           {"kind above 255", "abc", 3, 256},
        {"kind 258, 2 as a byte", "abc", 3, 258},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MDK_SetPswd(f, c.password, c.length, c.kind), -1) << c.name;
        EXPECT_EQ(MDK_geterrno(f), MDK_E_LENGTH) << c.name;
        EXPECT_EQ(dict(f, 0), std::nullopt) << c.name << ": something was written";
    }
    ASSERT_EQ(MDK_close(f), 0);
    EXPECT_TRUE(open(path).ok());

    // A handle that may not write gets the code every write of it gets.
    const Opened ro = open(path, nullptr, 0, MDK_OPEN_READONLY);
    ASSERT_TRUE(ro.ok());
    ASSERT_EQ(put(ro.file, "k", "v"), -1);
    const int32_t writeCode = MDK_geterrno(ro.file);
    EXPECT_EQ(MDK_SetPswd(ro.file, "abc", 3, 0), -1);
    EXPECT_EQ(MDK_geterrno(ro.file), writeCode);
}

// The caller's buffer is only read, and no dictionary record other than the password record
// changes.
TEST_F(Password, SetPswdKeepsTheCallersBufferAndTheOtherRecords) {
    struct Case {
        const char* name;
        std::vector<Bytes> records;
        int32_t passwordRecord;  // its number after MDK_SetPswd
        // What the password record holds after MDK_SetPswd("lit", kind 1), from the identity.
        Bytes (*expected)(const Bytes& id);
    };
    const Case cases[] = {
        {"records 0 and 1 are not password records",
         {bytes("HEADER-RECORD"), kColumn},
         2,
         [](const Bytes& id) { return extRecord({}, 1, "lit", id); }},
        {"a password record with field 1 only",
         {bytes("HEADER-RECORD"), kColumn, field(bytes("EXT"))},
         2,
         [](const Bytes& id) { return extRecord({}, 1, "lit", id); }},
        {"fields after the fourth",
         {bytes("HEADER-RECORD"),
          cat({field(bytes("EXT")), field({0xBE, 0xEF}), field({}), field(bytes("zz")),
               field(bytes("tail"))}),
          kColumn},
         1,
         [](const Bytes& id) {
             return cat({extRecord({0xBE, 0xEF}, 1, "lit", id), field(bytes("tail"))});
         }},
    };
    static const char kLiteral[] = "lit";  // in read-only memory
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = make("keep" + std::to_string(n++) + ".dat");
        MdkFile* f = mustOpen(path);
        addDict(f, c.records);
        ASSERT_EQ(MDK_SetPswd(f, kLiteral, 3, 1), 0) << MDK_geterrno(f);
        EXPECT_STREQ(kLiteral, "lit");
        for (size_t r = 0; r < c.records.size(); r++) {
            if (static_cast<int32_t>(r) == c.passwordRecord) continue;
            EXPECT_EQ(dict(f, static_cast<int32_t>(r)), c.records[r]) << r;
        }
        EXPECT_EQ(dict(f, c.passwordRecord), c.expected(identity(path)));
        ASSERT_EQ(MDK_close(f), 0);
        const Opened o = open(path, "lit", 3);
        ASSERT_TRUE(o.ok()) << o.error;
        EXPECT_EQ(put(o.file, "k", "v"), 0);
        EXPECT_EQ(MDK_close(o.file), 0);
    }
    char buffer[] = "mine";
    const std::string path = make("buffer.dat");
    MdkFile* f = mustOpen(path);
    ASSERT_EQ(MDK_SetPswd(f, buffer, 4, 0), 0);
    EXPECT_STREQ(buffer, "mine");
}

// Blocks already on disk are plain: a password that enciphers is refused on a file that has key
// or data blocks, and inside a transaction, whose rollback would take the record back out.
TEST_F(Password, EncipheringPasswordNeedsAFileWithoutBlocks) {
    for (bool blockMode : {true, false}) {
        SCOPED_TRACE(blockMode ? "block mode" : "slot mode");
        const std::string path = make(blockMode ? "full-b.dat" : "full-s.dat", blockMode);
        MdkFile* f = mustOpen(path);
        ASSERT_EQ(put(f, "rec", "plain record"), 0);
        for (int kind : {2, 3}) {
            EXPECT_EQ(MDK_SetPswd(f, "pw", 2, kind), -1);
            EXPECT_EQ(MDK_geterrno(f), MDK_E_WRITE);
            EXPECT_EQ(dict(f, 0), std::nullopt);
        }
        EXPECT_EQ(MDK_SetPswd(f, "pw", 2, 1), 0);
        ASSERT_EQ(MDK_close(f), 0);
        const Opened o = open(path);
        ASSERT_TRUE(o.ok()) << o.error;
        EXPECT_EQ(get(o.file, "rec"), "plain record");
        EXPECT_EQ(put(o.file, "x", "y"), -1);  // kind 1 without the password
        EXPECT_EQ(MDK_close(o.file), 0);
        expectSound(path);
    }
    // A data block counts even when no key leads to it any more.
    const std::string path = make("orphan.dat");
    MdkFile* f = mustOpen(path);
    ASSERT_EQ(put(f, "rec", "plain record"), 0);
    ASSERT_EQ(MDK_close(f), 0);
    Bytes file = mdnio::test::readFile(path);
    std::fill(file.begin() + kOffRoots, file.begin() + kOffRoots + 64, 0);
    mdnio::test::writeFile(path, file);
    f = mustOpen(path);
    EXPECT_EQ(MDK_SetPswd(f, "pw", 2, 2), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_WRITE);
    EXPECT_EQ(dict(f, 0), std::nullopt);
}

TEST_F(Password, SetPswdInATransactionFollowsCommitAndRollback) {
    const std::string path = make("tx.dat");
    MdkFile* f = mustOpen(path);
    ASSERT_EQ(MDK_BeginTX(env), 0);
    EXPECT_EQ(MDK_SetPswd(f, "pw", 2, 2), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_WRITE);
    ASSERT_EQ(MDK_SetPswd(f, "pw", 2, 0), 0);
    ASSERT_EQ(MDK_RollbackTX(env), 0);
    EXPECT_EQ(dict(f, 1), std::nullopt);
    ASSERT_EQ(MDK_close(f), 0);
    Opened o = open(path);
    ASSERT_TRUE(o.ok()) << "the rolled back password still refuses: " << o.error;
    ASSERT_EQ(MDK_BeginTX(env), 0);
    ASSERT_EQ(MDK_SetPswd(o.file, "pw", 2, 0), 0);
    ASSERT_EQ(MDK_CommitTX(env), 0);
    ASSERT_EQ(MDK_close(o.file), 0);
    o = open(path);
    EXPECT_FALSE(o.ok());
    EXPECT_EQ(o.error, MDK_E_PASSWORD);
    EXPECT_TRUE(open(path, "pw", 2).ok());
}

}  // namespace

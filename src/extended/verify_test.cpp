// The extended verifier: files laid out by hand from the format are sound (records in two keys,
// a two-level tree, an overflow part in a second group, the current map copy at the second place
// in one group and the first in another, blocks away from their own numbers, entries still
// implicit); byte changes to such a file are each reported as the problem they make; a file cut
// anywhere gives problems, never a crash; and files the builder makes are sound.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/datablock.h"
#include "extended/builder.h"
#include "extended/testing.h"
#include "extended/verify.h"
#include "testutil.h"

namespace mdnio::extended {
namespace {

using test::FileImage;
using Bytes = std::vector<uint8_t>;

constexpr size_t kEntry = 13;  // both keys: 8 value bytes, length byte and pointer

std::string problems(const VerifyReport& r) {
    std::string all;
    for (const std::string& p : r.problems)
        all += "  " + p + "\n";
    return all;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Key 0: the key area, 8 bytes, no suffix.
Bytes key0Value(const std::string& key) {
    Bytes v(9, 0);
    v[0] = static_cast<uint8_t>(key.size());
    std::copy(key.begin(), key.end(), v.begin() + 1);
    return v;
}

// Key 1: the first 4 data bytes and the record serial.
Bytes key1Value(const std::string& data, uint32_t serial) {
    Bytes v(9, 0);
    v[0] = 8;
    std::copy_n(data.begin(), 4, v.begin() + 1);
    common::putBe32(v.data() + 5, serial);
    return v;
}

Bytes endMarker() {
    return Bytes(9, 0xFF);
}

int32_t to(uint32_t address) {
    return -static_cast<int32_t>(address);
}

// A sound file laid out by hand, with the places and addresses a damage needs.
struct SoundFile {
    FileImage f;
    Bytes bytes;
    uint32_t apple = 0, pear = 0, plum = 0, plumPart = 0;
    static constexpr uint32_t kDescriptors = 3, kKey0Leaf = 4, kData = 5, kDataPlace = 9,
                              kKey1Root = 6, kKey1LeafA = 7, kKey1LeafB = 8;
    uint32_t partBlock = 0;

    static test::ImageSpec spec() {
        test::ImageSpec s;
        s.maxDataLength = 20;
        s.keyArea = 8;
        s.keyBuffer = 8;
        s.groups = 2;
        return s;
    }

    SoundFile() : f(spec()) {
        // Group 0's current copy is the second, group 1's the first; the first copy of group 0
        // is an older map that says nothing is in use.
        f.region.directory = {kDirSecondCopy | kDirMayHaveFree, kDirMayHaveFree};
        partBlock = f.geo.numberAt(1, 2);
        f.keyDescriptors(kDescriptors, {test::keyDescriptor(0, {test::segment(0xFFFF, 0, 8)}),
                                        test::keyDescriptor(kKeyUnique, {test::segment(0, 0, 4)})});
        // The data block lies at place 9, and free number 9 holds its old place 5.
        f.setEntry(kData, kUsageData, kDataPlace);
        f.setEntry(kDataPlace, kUsageFree, kData);
        f.slottedBlock(kData, kTypeData);
        f.slottedBlock(partBlock, kTypeData);
        plumPart = f.addDataRecord(partBlock, "plum", "nd juicy", 3, 0, true);
        apple = f.addDataRecord(kData, "apple", "red fruit", 1);
        pear = f.addDataRecord(kData, "pear", "green pear", 2);
        plum = f.addDataRecord(kData, "plum", "purple plum, sweet a", 3, plumPart);
        f.setEntry(kData, usageOfBlock(f.block(kData)), kDataPlace);
        f.setEntry(partBlock, usageOfBlock(f.block(partBlock)), 0);

        f.keyBlock(kKey0Leaf, kEntry,
                   {{to(apple), key0Value("apple")},
                    {to(pear), key0Value("pear")},
                    {to(plum), key0Value("plum")},
                    {0, endMarker()}});
        // Key 1 in two levels; leaf B keeps its own number as an explicit entry.
        f.setEntry(kKey1LeafB, kUsageKey, kKey1LeafB);
        f.keyBlock(kKey1LeafA, kEntry,
                   {{to(pear), key1Value("green", 2)}, {to(plum), key1Value("purple", 3)}});
        f.keyBlock(kKey1LeafB, kEntry, {{to(apple), key1Value("red ", 1)}, {0, endMarker()}});
        f.keyBlock(kKey1Root, kEntry,
                   {{static_cast<int32_t>(kKey1LeafA), key1Value("purple", 3)},
                    {static_cast<int32_t>(kKey1LeafB), endMarker()}});
        f.region.roots = {kKey0Leaf, kKey1Root};
        f.region.recordCount = 3;
        f.region.insertSequence = 3;
        bytes = f.bytes();
    }

    size_t placeOffset(uint32_t place) const { return size_t{place} * f.geo.blockSize; }
    size_t blockOffset(uint32_t logical) { return placeOffset(f.physicalOf(logical)); }
    // The file offset of the record at `address`.
    size_t recordOffset(uint32_t address) {
        const RecordAddress a = splitAddress(address);
        return blockOffset(a.block) + kBlockHead + common::slotPosition(f.block(a.block), a.slot);
    }
    size_t entryOffset(uint32_t logical) {
        return placeOffset(currentMapCopy(f.geo, f.geo.groupOf(logical),
                                          f.region.directory[f.geo.groupOf(logical)])) +
               mapEntryOffset(f.geo.entryOf(logical));
    }
    size_t regionOffset(size_t headerOffset) const { return headerOffset; }
};

VerifyReport verifyBytes(const Bytes& bytes, const std::string& name = "file.dat") {
    mdnio::test::TempDir dir;
    mdnio::test::writeFile(dir.file(name), bytes);
    return verifyExtendedFile(dir.file(name));
}

TEST(ExtendedVerify, HandMadeFilesAreSound) {
    SoundFile sound;
    const VerifyReport r = verifyBytes(sound.bytes);
    EXPECT_TRUE(r.ok()) << problems(r);
    EXPECT_EQ(r.records, 3u);
    ASSERT_EQ(r.trees.size(), 2u);
    EXPECT_EQ(r.trees[0], (devtools::KeyTreeShape{1, 1, 3}));
    EXPECT_EQ(r.trees[1], (devtools::KeyTreeShape{2, 3, 3}));
    EXPECT_EQ(r.files, 1u);
    EXPECT_EQ(r.bytes, static_cast<int64_t>(sound.bytes.size()));

    // An empty file of one group with a sequence key 0, and a file with a dictionary chain of
    // two records in two blocks.
    FileImage empty;
    empty.keyDescriptors(
        3, {test::keyDescriptor(kKeySuffixed | kKeySerialSuffix, {test::segment(1, 0, 4)})});
    const VerifyReport e = verifyBytes(empty.bytes());
    EXPECT_TRUE(e.ok()) << problems(e);

    FileImage dict;
    dict.keyDescriptors(3, {test::keyDescriptor(0, {test::segment(0xFFFF, 0, 8)})});
    dict.slottedBlock(4, kTypeDictionary);
    dict.slottedBlock(6, kTypeDictionary);
    Bytes first(10 + 5), second(10 + 7);
    const uint32_t a = makeAddress(4, 1), b = makeAddress(6, 1);
    encodeChainedRecord(first, b, 0,
                        text("\x04"
                             "name"));
    encodeChainedRecord(second, 0, a,
                        text("\x06"
                             "tables"));
    dict.addRecord(4, first);
    dict.addRecord(6, second);
    dict.fixed.dictionary = a;
    const VerifyReport d = verifyBytes(dict.bytes());
    EXPECT_TRUE(d.ok()) << problems(d);

    // A key-only file: its leaf entries are the records and carry no address.
    test::ImageSpec keysOnly;
    keysOnly.maxDataLength = 0;
    FileImage k(keysOnly);
    k.keyDescriptors(3, {test::keyDescriptor(0, {test::segment(0xFFFF, 0, 8)})});
    k.keyBlock(4, kEntry, {{0, key0Value("ant")}, {0, key0Value("bee")}, {0, endMarker()}});
    k.region.roots = {4};
    k.region.recordCount = 2;
    const VerifyReport kr = verifyBytes(k.bytes());
    EXPECT_TRUE(kr.ok()) << problems(kr);
    EXPECT_EQ(kr.records, 2u);
}

struct Damage {
    const char* name;
    std::function<void(SoundFile&, Bytes&)> change;
    const char* expected;  // a part of one problem reported
};

void put32(Bytes& b, size_t at, uint32_t v) {
    common::putBe32(b.data() + at, v);
}

TEST(ExtendedVerify, DamageIsReported) {
    const std::vector<Damage> damages = {
        {"another magic", [](SoundFile&, Bytes& b) { b[1] = 'X'; }, "magic"},
        {"block-size code 2", [](SoundFile&, Bytes& b) { b[kOffBlockCode] = 2; },
         "block-size code 2"},
        {"no map groups",
         [](SoundFile&, Bytes& b) { common::putBe16(b.data() + kOffGroupCount, 0); },
         "map directory length D 0"},
        {"highest block past the limit",
         [](SoundFile&, Bytes& b) { put32(b, kOffHighestBlock, 0x7FFFFFF); }, "highest block"},
        {"a root at a map place", [](SoundFile&, Bytes& b) { put32(b, kOffRootsEnd - 4, 2); },
         "root 2"},
        {"record count off by one", [](SoundFile&, Bytes& b) { put32(b, kOffRecordCount + 4, 4); },
         "record count 4 differs from the 3"},
        {"the current map copy is not a map",
         [](SoundFile& s, Bytes& b) { b[s.placeOffset(2)] = kTypeData; },
         "copy 2 (place 2): block type 0x80 is not a map block"},
        {"a map copy under another number",
         [](SoundFile& s, Bytes& b) { put32(b, s.placeOffset(1) + 1, 7); },
         "copy 1 (place 1): number 7 in its head differs from its place"},
        {"a map copy's own entry lost",
         [](SoundFile& s, Bytes& b) { b[s.placeOffset(1024) + kBlockHead + 4] = 0; },
         "entry 1 (usage 0x0, place 1024) does not name the map copy"},
        {"an entry at a map place",
         [](SoundFile& s, Bytes& b) { putBe24(&b[s.entryOffset(5) + 1], 1); },
         "number 5: its map entry names place 1, a map copy's"},
        {"an entry past the highest block",
         [](SoundFile& s, Bytes& b) { putBe24(&b[s.entryOffset(5) + 1], 5000); },
         "number 5: its map entry names place 5000, beyond the highest block"},
        {"two numbers at one place",
         [](SoundFile& s, Bytes& b) { putBe24(&b[s.entryOffset(12) + 1], 9); },
         "both name place 9"},
        {"a usage byte of another type",
         [](SoundFile& s, Bytes& b) { b[s.entryOffset(4)] = kUsageDictionary; },
         "number 4 (place 4): usage 0xFB but block type 0xFE"},
        {"a stale fill class", [](SoundFile& s, Bytes& b) { b[s.entryOffset(5)] = kUsageData | 1; },
         "number 5 (place 9): usage 0x81 but its"},
        {"an unknown usage byte", [](SoundFile& s, Bytes& b) { b[s.entryOffset(20)] = 0x33; },
         "number 20 (place 20): unknown usage byte 0x33"},
        {"a map usage outside the copies",
         [](SoundFile& s, Bytes& b) { b[s.entryOffset(20)] = kUsageMap; },
         "usage 0xFC (a map copy) outside entries 0 and 1"},
        {"a used number nothing reaches",
         [](SoundFile&, Bytes& b) { put32(b, kOffRootsEnd - 8, 0); },
         "number 6: in use (usage 0xFE) but nothing reaches it"},
        {"a reached number marked free",
         [](SoundFile& s, Bytes& b) { b[s.entryOffset(7)] = kUsageFree; },
         "number 7: reached from the file but its map entry says free"},
        {"a block under another number",
         [](SoundFile& s, Bytes& b) { put32(b, s.placeOffset(9) + 1, 11); },
         "number 11 in its head differs from 5"},
        {"a key 0 entry that is not its record's",
         [](SoundFile& s, Bytes& b) { b[s.blockOffset(4) + kBlockHead + kEntry + 5] = 'q'; },
         "does not match the record's key 0 value"},
        {"key 0 entries out of order",
         [](SoundFile& s, Bytes& b) { b[s.blockOffset(4) + kBlockHead + 5] = 'z'; },
         "entries not sorted"},
        {"an alternate entry with another serial",
         [](SoundFile& s, Bytes& b) { b[s.blockOffset(8) + kBlockHead + 5 + 7] = 9; },
         "key 1: entry missing for record 0x501"},
        {"two records with one serial",
         [](SoundFile& s, Bytes& b) { put32(b, s.recordOffset(s.pear) + 1 + 8 + 2 + 10, 1); },
         "serial 1: held by record 0x501 and record 0x502"},
        {"a serial above the insert sequence",
         [](SoundFile&, Bytes& b) { put32(b, kOffInsertSequence + 4, 2); },
         "serial 3 is above the insert sequence 2"},
        {"a unique key's value twice",
         [](SoundFile& s, Bytes& b) {
             std::copy_n("red ", 4, b.begin() + s.recordOffset(s.pear) + 1 + 8 + 2);
         },
         "unique key 1: duplicate value in record 0x501 and record 0x502"},
        {"an overflow part of another serial",
         [](SoundFile& s, Bytes& b) { put32(b, s.recordOffset(s.plumPart) + 1 + 8 + 2 + 8, 7); },
         "carries serial 7, not 3"},
        {"an overflow part not marked",
         [](SoundFile& s, Bytes& b) { b[s.recordOffset(s.plumPart)] = 4; },
         "is not marked as an overflow part"},
        {"an overflow link back to its record",
         [](SoundFile& s, Bytes& b) {
             put32(b, s.recordOffset(s.plum) + 1 + 8 + 2 + 20 + 4, s.plum);
         },
         "reached twice"},
        {"an orphan overflow part",
         [](SoundFile& s, Bytes& b) { b[s.recordOffset(s.plum) + 1 + 8] &= 0x7F; },
         "overflow part that no record links"},
        {"a record no key reaches",
         [](SoundFile& s, Bytes& b) {
             // Key 0's leaf forgets pear: the end marker moves up and the count drops.
             const size_t leaf = s.blockOffset(4);
             std::copy_n(b.begin() + leaf + kBlockHead + 2 * kEntry, 2 * kEntry,
                         b.begin() + leaf + kBlockHead + kEntry);
             b[leaf + 5] = 3;
         },
         "record 0x502: not reached from key 0"},
        {"a tree block of another type",
         [](SoundFile& s, Bytes& b) { b[s.blockOffset(8)] = kTypeDictionary; },
         "key 1 block 0x8: block type 0xFB is not a key block (0xFE)"},
        {"a key block of no entries", [](SoundFile& s, Bytes& b) { b[s.blockOffset(8) + 5] = 0; },
         "key block has no entries"},
        {"a leaf entry at an empty slot",
         [](SoundFile& s, Bytes& b) {
             put32(b, s.blockOffset(4) + kBlockHead, static_cast<uint32_t>(to(s.apple + 10)));
         },
         "cannot be read: slot 11 holds no record"},
        {"a record in the free space",
         [](SoundFile& s, Bytes& b) { common::putBe16(&b[s.blockOffset(5) + 6 + 2], 8); },
         "lies in the free space"},
        {"a descriptor chain cut short",
         [](SoundFile& s, Bytes& b) { put32(b, s.recordOffset(makeAddress(3, 1)), 0); },
         "key-descriptor chain: 1 records for the header's 2 keys"},
        {"a descriptor with a wrong previous link",
         [](SoundFile& s, Bytes& b) { put32(b, s.recordOffset(makeAddress(3, 2)) + 4, 0x777); },
         "has previous link 0x777 but is the next of 0x301"},
        {"a descriptor chain in a cycle",
         [](SoundFile& s, Bytes& b) { put32(b, s.recordOffset(makeAddress(3, 2)), 0x301); },
         "reached twice (a cycle)"},
        {"a descriptor chain into a data block",
         [](SoundFile&, Bytes& b) { put32(b, kOffKeyDescriptors, makeAddress(5, 1)); },
         "has type 0x80, not 0xFD"},
    };
    const SoundFile sound;
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        SoundFile s;
        Bytes bytes = s.bytes;
        d.change(s, bytes);
        ASSERT_NE(bytes, sound.bytes) << "the damage changes nothing";
        const VerifyReport r = verifyBytes(bytes);
        EXPECT_NE(problems(r).find(d.expected), std::string::npos)
            << "expected: " << d.expected << "\nfound:\n"
            << problems(r);
    }
}

// A file cut anywhere is read without a crash or a hang, and reported.
TEST(ExtendedVerify, TruncatedFilesAreReported) {
    const SoundFile sound;
    const size_t block = sound.f.geo.blockSize;
    const std::vector<size_t> lengths = {0,
                                         1,
                                         57,
                                         58,
                                         100,
                                         2048,
                                         block - 1,
                                         block,
                                         block + 7,
                                         2 * block,
                                         9 * block + 5,
                                         10 * block,
                                         sound.bytes.size() - block,
                                         sound.bytes.size() - 1};
    for (size_t length : lengths) {
        SCOPED_TRACE(length);
        const Bytes cut(sound.bytes.begin(), sound.bytes.begin() + length);
        const VerifyReport r = verifyBytes(cut);
        EXPECT_FALSE(r.ok());
    }
}

// With a password of kind 2 the key and data blocks are enciphered from byte 5: they are checked
// through the decipher given, and reported as unchecked without one.
TEST(ExtendedVerify, EncipheredBlocksAreReadThroughTheDecipher) {
    SoundFile s;
    s.f.slottedBlock(10, kTypeDictionary);
    Bytes name(10 + 5), password(10 + 8);
    const uint32_t first = makeAddress(10, 1), second = makeAddress(10, 2);
    encodeChainedRecord(name, second, 0,
                        text("\x04"
                             "name"));
    encodeChainedRecord(password, 0, first,
                        text("\x03"
                             "EXT"
                             "\x01"
                             "x"
                             "\x01"
                             "\x02"));
    s.f.addRecord(10, name);
    s.f.addRecord(10, password);
    s.f.fixed.dictionary = first;
    Bytes bytes = s.f.bytes();
    // The decipher is given bytes 5 to the end of a block.
    const auto xorBytes = [](std::span<uint8_t> b) {
        for (uint8_t& c : b)
            c ^= 0x5A;
    };
    for (uint32_t logical : {4u, 5u, 6u, 7u, 8u, s.partBlock})
        xorBytes(std::span(bytes).subspan(s.blockOffset(logical) + 5, s.f.geo.blockSize - 5));

    mdnio::test::TempDir dir;
    mdnio::test::writeFile(dir.file("secret.dat"), bytes);
    VerifyOptions options;
    options.decipher = xorBytes;
    const VerifyReport sound = verifyExtendedFile(dir.file("secret.dat"), options);
    EXPECT_TRUE(sound.ok()) << problems(sound);
    EXPECT_EQ(sound.records, 3u);

    const VerifyReport blind = verifyExtendedFile(dir.file("secret.dat"));
    EXPECT_NE(problems(blind).find("enciphered (password kind 2) and no decipher was given"),
              std::string::npos)
        << problems(blind);
    options.decipher = [](std::span<uint8_t>) {};
    EXPECT_FALSE(verifyExtendedFile(dir.file("secret.dat"), options).ok());
}

TEST(ExtendedVerify, BuiltFilesAreSound) {
    devtools::ExtendedLayout small;
    small.maxDataLength = 100;
    small.keyAreaSize = 8;
    small.keys.resize(2);
    small.keys[0].segments = {devtools::keySegment(devtools::kKeyAreaField, 0, 8)};
    small.keys[1].segments = {devtools::keySegment(1, 0, 10)};
    devtools::ExtendedLayout large = small;
    large.blockSize = 8192;
    large.largeFile = true;
    large.emptyGroups = 3;
    large.keys[0].sequence = true;
    mdnio::test::TempDir dir;
    for (const auto& [name, layout] : {std::pair{"small.dat", small}, {"large.dat", large}}) {
        SCOPED_TRACE(name);
        std::string why;
        ASSERT_EQ(devtools::createExtendedFile(dir.file(name), layout, &why), 0) << why;
        const VerifyReport r = verifyExtendedFile(dir.file(name));
        EXPECT_TRUE(r.ok()) << problems(r);
        EXPECT_EQ(r.trees.size(), 2u);
        EXPECT_EQ(r.records, 0u);
    }
}

}  // namespace
}  // namespace mdnio::extended

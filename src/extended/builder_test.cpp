// The extended file builder: the exact bytes it writes, compared with files laid out by hand from
// the format, the layouts it refuses, and the way it creates the file.
#include "extended/builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "extended/testing.h"
#include "testutil.h"

namespace mdnio::extended {
namespace {

using devtools::ExtendedKey;
using devtools::ExtendedLayout;
using test::FileImage;
using test::ImageSpec;
using Bytes = std::vector<uint8_t>;

ExtendedKey key(std::vector<devtools::Segment> segments, std::string name = "", bool unique = false,
                bool sequence = false) {
    ExtendedKey k;
    k.segments = std::move(segments);
    k.name = std::move(name);
    k.unique = unique;
    k.sequence = sequence;
    return k;
}

KeyDescriptor named(KeyDescriptor d, const std::string& name) {
    std::copy(name.begin(), name.end(), d.head.begin() + 2);
    return d;
}

Bytes built(const ExtendedLayout& layout, const std::string& path) {
    std::string why;
    EXPECT_EQ(buildExtendedFile(path, layout, &why), 0) << why;
    return mdnio::test::readFile(path);
}

void expectSameBytes(const Bytes& file, const Bytes& expected) {
    ASSERT_EQ(file.size(), expected.size());
    const auto [at, _] = std::mismatch(file.begin(), file.end(), expected.begin());
    EXPECT_TRUE(at == file.end()) << "first difference at byte " << (at - file.begin());
}

// The descriptor block's entry in both copies of group 0: explicit, at its own place.
void descriptorEntry(FileImage& f) {
    f.setEntry(kFirstDescriptorBlock, kUsageKeyDescriptor, kFirstDescriptorBlock);
    writeMapEntry(f.mapCopy(0, true), 2, {kUsageKeyDescriptor, kFirstDescriptorBlock});
}

TEST(ExtendedBuilder, SmallLayoutIsByteExact) {
    ExtendedLayout layout;
    layout.maxDataLength = 100;
    layout.keyAreaSize = 8;
    layout.identity = 0x11223344;
    layout.keys = {key({devtools::keySegment(devtools::kKeyAreaField, 0, 8)}, "code")};

    ImageSpec spec;
    spec.maxDataLength = 100;
    spec.keyArea = 8;
    spec.keyBuffer = 8;
    FileImage f(spec);
    f.fixed.identity = {0x11, 0x22, 0x33, 0x44};
    descriptorEntry(f);
    f.keyDescriptors(kFirstDescriptorBlock,
                     {named(test::keyDescriptor(0, {test::segment(0xFFFF, 0, 8)}), "code")});
    const Bytes expected = f.bytes();
    ASSERT_EQ(expected.size(), 4u * 4096);

    mdnio::test::TempDir dir;
    const Bytes file = built(layout, dir.file("small.dat"));
    expectSameBytes(file, expected);
}

TEST(ExtendedBuilder, EveryOptionWithEmptyGroupsIsByteExact) {
    ExtendedLayout layout;
    layout.blockSize = 8192;
    layout.maxDataLength = 500;
    layout.keyAreaSize = 0;
    layout.maxRecords = 0x100000005ull;
    layout.compress = true;
    layout.separator = ExtendedLayout::Separator::Byte;
    layout.separatorByte = 0x7C;
    layout.fullLengthKeys = true;
    layout.newRecordOnUpdate = true;
    layout.stepBackIgnoringSuffixOnly = true;
    layout.largeFile = true;
    layout.identity = 0xA1B2C3D4;
    layout.emptyGroups = 1;
    layout.keys = {
        key({devtools::keySegment(1, 0, 6, MDK_SEG_AUTO_TEXT_ZERO)}, "serial", false, true),
        key({devtools::keySegment(2, 0, 10, MDK_SEG_UPPER | MDK_SEG_DESCENDING),
             devtools::keySegment(3, 2, 2)},
            "by name", true),
        key({devtools::keySegment(4, 0, 5, MDK_SEG_NULL)}, ""),
    };

    ImageSpec spec;
    spec.blockCode = 7;
    spec.largeFile = true;
    spec.maxDataLength = 500;
    spec.keyArea = 0;
    spec.flagsA = kFullLengthKeys | kSeparatorGiven | kStepBackIgnoringSuffixOnly;
    spec.flagsB = kCompressed | kAlwaysLockedNewOnUpdate;
    spec.keyBuffer = 12;  // key 1: 10 + 2 bytes a caller gives, without the suffix
    spec.groups = 2;
    FileImage f(spec);
    f.fixed.maxRecords = 0x100000005ull;
    f.fixed.separatorByte = 0x7C;
    f.fixed.identity = {0xA1, 0xB2, 0xC3, 0xD4};
    f.region.directory.assign(2, 0);  // no group offers free numbers: the first new one appends
    descriptorEntry(f);
    f.keyDescriptors(kFirstDescriptorBlock,
                     {named(test::keyDescriptor(kKeySuffixed | kKeySerialSuffix,
                                                {test::segment(1, 0, 6, MDK_SEG_AUTO_TEXT_ZERO)}),
                            "serial"),
                      named(test::keyDescriptor(kKeyUnique, {test::segment(2, 0, 10, 0x0082),
                                                             test::segment(3, 2, 2)}),
                            "by name"),
                      test::keyDescriptor(0, {test::segment(4, 0, 5, MDK_SEG_NULL)})});
    const Bytes expected = f.bytes();
    ASSERT_EQ(expected.size(), (size_t{2046} + 3) * 8192);

    mdnio::test::TempDir dir;
    const Bytes file = built(layout, dir.file("every.dat"));
    expectSameBytes(file, expected);
}

// A sound layout each refusal below breaks in one member.
ExtendedLayout soundLayout() {
    ExtendedLayout l;
    l.maxDataLength = 200;
    l.keyAreaSize = 8;
    l.keys = {key({devtools::keySegment(devtools::kKeyAreaField, 0, 8)}),
              key({devtools::keySegment(1, 0, 10)}, "second")};
    return l;
}

struct RefusalCase {
    const char* name;
    std::function<void(ExtendedLayout&)> change;
    int key;
    int segment;
    const char* reason;  // a part of the reason given
};

TEST(ExtendedBuilder, RefusesImpossibleLayoutsNamingTheMember) {
    const std::vector<RefusalCase> cases = {
        {"block size not a multiple of 1024", [](ExtendedLayout& l) { l.blockSize = 5000; }, -1, -1,
         "block size 5000"},
        {"block size below 4096", [](ExtendedLayout& l) { l.blockSize = 2048; }, -1, -1,
         "block size 2048"},
        {"block size above 65536", [](ExtendedLayout& l) { l.blockSize = 66560; }, -1, -1,
         "block size 66560"},
        {"negative data length", [](ExtendedLayout& l) { l.maxDataLength = -1; }, -1, -1,
         "maximum data length -1"},
        {"key area of 128", [](ExtendedLayout& l) { l.keyAreaSize = 128; }, -1, -1,
         "key area size 128"},
        {"records of nothing",
         [](ExtendedLayout& l) {
             l.maxDataLength = 0;
             l.keyAreaSize = 0;
         },
         -1, -1, "both 0"},
        {"a part larger than a block", [](ExtendedLayout& l) { l.maxDataLength = 4080; }, -1, -1,
         "does not fit in a 4096-byte data block"},
        {"no keys", [](ExtendedLayout& l) { l.keys.clear(); }, -1, -1, "1 to 255 keys"},
        {"256 keys", [](ExtendedLayout& l) { l.keys.resize(256, l.keys[1]); }, -1, -1,
         "1 to 255 keys"},
        {"a key without segments", [](ExtendedLayout& l) { l.keys[1].segments.clear(); }, 1, -1,
         "no segments"},
        {"unique key 0", [](ExtendedLayout& l) { l.keys[0].unique = true; }, 0, -1,
         "alternate keys"},
        {"sequence on an alternate key", [](ExtendedLayout& l) { l.keys[1].sequence = true; }, 1,
         -1, "only key 0"},
        {"a long name", [](ExtendedLayout& l) { l.keys[1].name = std::string(24, 'n'); }, 1, -1,
         "longer than 23"},
        {"a name with a control character", [](ExtendedLayout& l) { l.keys[1].name = "a\tb"; }, 1,
         -1, "printable ASCII"},
        {"segment length 0", [](ExtendedLayout& l) { l.keys[1].segments[0].length = 0; }, 1, 0,
         "length 0"},
        {"segment length 128", [](ExtendedLayout& l) { l.keys[1].segments[0].length = 128; }, 1, 0,
         "length 128"},
        {"a key flag among the options",
         [](ExtendedLayout& l) { l.keys[1].segments[0].options = 0x0020; }, 1, 0,
         "unknown option bits 32"},
        {"a data field in a key-only file", [](ExtendedLayout& l) { l.maxDataLength = 0; }, 1, 0,
         "keys only"},
        {"a segment past the key area", [](ExtendedLayout& l) { l.keys[0].segments[0].offset = 4; },
         0, 0, "key area"},
        {"a null segment on key 0",
         [](ExtendedLayout& l) { l.keys[0].segments[0].options = MDK_SEG_NULL; }, 0, 0,
         "null segments"},
        {"two auto-numbered segments",
         [](ExtendedLayout& l) {
             l.keys[0].segments[0].options = MDK_SEG_AUTO_TEXT;
             l.keys[1].segments[0].options = MDK_SEG_AUTO_TEXT;
         },
         -1, -1, "more than one segment is auto-numbered"},
        {"a key longer than 254",
         [](ExtendedLayout& l) { l.keys[1].segments.assign(2, devtools::keySegment(0, 0, 127)); },
         1, -1, "key length 258"},
        {"a key longer than the key buffers",
         [](ExtendedLayout& l) {
             l.keys[0].segments = {devtools::keySegment(0, 0, 127),
                                   devtools::keySegment(0, 0, 124)};
         },
         0, -1, "key buffers"},
        {"too many descriptors for one block",
         [](ExtendedLayout& l) {
             l.keys.resize(4, l.keys[1]);
             for (size_t k = 1; k < 4; ++k)
                 l.keys[k].segments.assign(150, devtools::keySegment(1, 0, 1));
         },
         -1, -1, "do not fit in one block"},
        {"empty groups past the directory", [](ExtendedLayout& l) { l.emptyGroups = 2012; }, -1, -1,
         "2012 empty groups"},
        {"empty groups past 2 GB", [](ExtendedLayout& l) { l.emptyGroups = 600; }, -1, -1,
         "600 empty groups"},
    };
    mdnio::test::TempDir dir;
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        ExtendedLayout layout = soundLayout();
        c.change(layout);
        std::string why;
        devtools::LayoutFault fault;
        const std::string path = dir.file("refused.dat");
        EXPECT_EQ(buildExtendedFile(path, layout, &why, &fault), MDK_E_LENGTH);
        EXPECT_EQ(fault.key, c.key);
        EXPECT_EQ(fault.segment, c.segment);
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    // The layout the refusals start from is itself sound, and so is it with many empty groups
    // in a large file.
    ExtendedLayout large = soundLayout();
    large.largeFile = true;
    large.emptyGroups = 600;
    BuiltFile file;
    std::string why;
    EXPECT_EQ(extendedFileImage(soundLayout(), file, nullptr, &why), 0) << why;
    EXPECT_EQ(extendedFileImage(large, file, nullptr, &why), 0) << why;
}

TEST(ExtendedBuilder, CreatesOnlyNewFilesWithFreshIdentities) {
    mdnio::test::TempDir dir;
    std::string why;
    ASSERT_EQ(buildExtendedFile(dir.file("a.dat"), soundLayout(), &why), 0) << why;
    ASSERT_EQ(buildExtendedFile(dir.file("b.dat"), soundLayout(), &why), 0) << why;
    EXPECT_EQ(buildExtendedFile(dir.file("a.dat"), soundLayout(), &why), MDK_E_OPEN);
    const Bytes a = mdnio::test::readFile(dir.file("a.dat"));
    const Bytes b = mdnio::test::readFile(dir.file("b.dat"));
    const Bytes idA(a.begin() + kOffIdentity, a.begin() + kOffIdentity + 4);
    const Bytes idB(b.begin() + kOffIdentity, b.begin() + kOffIdentity + 4);
    EXPECT_NE(idA, Bytes(4, 0));
    EXPECT_NE(idA, idB);
}

}  // namespace
}  // namespace mdnio::extended

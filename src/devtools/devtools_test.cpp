// The developer tools' interface: a layout given through it is the file the library then
// describes, refusals name their reason and place, and the checks report through it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mdnio.h"
#include "mdnio_devtools.h"
#include "testutil.h"

namespace mdnio::devtools {
namespace {

using mdnio::test::TempDir;

struct Described {
    MdkFileInfo file{};
    std::vector<MdkKeyInfo> keys;
    std::vector<MdkSegmentInfo> segments;
};

Described describe(const std::string& path) {
    Described d;
    MdkEnv* env = MDK_AllocEnv();
    int32_t error = 0;
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, MDK_OPEN_READONLY, &error);
    EXPECT_NE(f, MDK_INVALID_FILE) << MDK_ErrorMessage(error);
    if (f != MDK_INVALID_FILE) {
        EXPECT_EQ(MDDescribeFile(f, &d.file), 1);
        int32_t keys = 0, segments = 0;
        EXPECT_EQ(MDDescribeIndex(f, 0, &keys, &segments, nullptr, nullptr), 1);
        d.keys.resize(static_cast<size_t>(keys));
        d.segments.resize(static_cast<size_t>(segments));
        segments = 0;
        EXPECT_EQ(MDDescribeIndex(f, 0, &keys, &segments, d.keys.data(), d.segments.data()), 1);
        MDK_close(f);
    }
    MDK_DeAllocEnv(env);
    return d;
}

TEST(DevtoolsCreate, TheClassicLayoutIsTheFileTheLibraryDescribes) {
    TempDir dir;
    ClassicLayout layout;
    layout.blockSize = 2048;
    layout.recordSize = 60;
    layout.keyAreaSize = 6;
    layout.separator = ClassicSettings::Separator::Byte;
    layout.separatorByte = '|';
    Key primary;
    primary.segments = {keySegment(kKeyAreaField, 0, 6)};
    primary.sequence = true;
    Key byName;
    byName.unique = true;
    // Descending given once as the flag and once among the options, as MDDescribeIndex gives it.
    byName.segments = {keySegment(1, 0, 10, MDK_SEG_UPPER),
                       keySegment(2, 2, 4, MDK_SEG_DESCENDING)};
    byName.segments[0].descending = true;
    layout.keys = {primary, byName};
    const std::string path = dir.file("c.dat");
    std::string why;
    ASSERT_EQ(createClassicFile(path, layout, &why), 0) << why;

    const Described d = describe(path);
    EXPECT_EQ(d.file.formatCode, MDK_FORMAT_KEYED);
    EXPECT_EQ(d.file.blockSizeCode, 2);
    EXPECT_EQ(d.file.maxDataLength, 60);
    EXPECT_TRUE(d.file.describeFlags & MDK_DESCRIBE_BLOCK_MODE);
    EXPECT_TRUE(d.file.describeFlags & MDK_DESCRIBE_SEPARATOR_BYTE);
    EXPECT_EQ(d.file.separator, '|');
    ASSERT_EQ(d.keys.size(), 2u);
    EXPECT_TRUE(d.keys[0].keyFlags & MDK_KEY_SEQUENCE);
    EXPECT_TRUE(d.keys[1].keyFlags & MDK_KEY_UNIQUE);
    ASSERT_EQ(d.segments.size(), 3u);
    EXPECT_EQ(d.segments[0].segField, MDK_SEGMENT_KEY_AREA);
    EXPECT_EQ(d.segments[1].segField, 1);
    EXPECT_TRUE(d.segments[1].segFlags & MDK_SEG_UPPER);
    EXPECT_TRUE(d.segments[1].segFlags & MDK_SEG_DESCENDING);
    EXPECT_EQ(d.segments[2].segField, 2);
    EXPECT_EQ(d.segments[2].segValue, 2);
    EXPECT_TRUE(d.segments[2].segFlags & MDK_SEG_DESCENDING);

    const VerifyReport report = verifyClassicFile(path);
    EXPECT_TRUE(report.ok()) << report.problems.front();
    EXPECT_EQ(report.trees.size(), 2u);
    EXPECT_EQ(report.files, 1u);
}

TEST(DevtoolsCreate, ARefusedLayoutNamesItsPlaceAndCreatesNothing) {
    TempDir dir;
    ClassicLayout layout;
    layout.keyAreaSize = 4;
    Key primary;
    primary.segments = {keySegment(kKeyAreaField, 0, 4)};
    Key second;
    second.segments = {keySegment(kKeyAreaField, 0, 2), keySegment(kKeyAreaField, 2, 6)};
    layout.keys = {primary, second};
    const std::string path = dir.file("refused.dat");
    std::string why;
    LayoutFault fault;
    EXPECT_EQ(createClassicFile(path, layout, &why, &fault), MDK_E_LENGTH);
    EXPECT_EQ(fault.key, 1);
    EXPECT_EQ(fault.segment, 1);
    EXPECT_FALSE(fault.reason.empty());
    EXPECT_FALSE(std::filesystem::exists(path));
}

// Through the interface alone: a sound extended file verifies, its magic is the extended one,
// and a refused layout names its key and segment.
TEST(DevtoolsCreate, ExtendedFilesAndTheirRefusals) {
    TempDir dir;
    ExtendedLayout layout;
    layout.maxDataLength = 80;
    layout.keyAreaSize = 6;
    ExtendedKey primary;
    primary.segments = {keySegment(kKeyAreaField, 0, 6)};
    primary.name = "code";
    ExtendedKey byName;
    byName.segments = {keySegment(1, 0, 12, MDK_SEG_UPPER)};
    byName.unique = true;
    layout.keys = {primary, byName};
    const std::string path = dir.file("x.dat");
    std::string why;
    ASSERT_EQ(createExtendedFile(path, layout, &why), 0) << why;
    const std::vector<uint8_t> bytes = mdnio::test::readFile(path);
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "[Mdnky2]");
    const VerifyReport report = verifyExtendedFile(path);
    EXPECT_TRUE(report.ok()) << report.problems.front();
    EXPECT_EQ(report.trees.size(), 2u);

    layout.keys[1].segments[0].length = 0;
    LayoutFault fault;
    EXPECT_EQ(createExtendedFile(dir.file("refused.dat"), layout, &why, &fault), MDK_E_LENGTH);
    EXPECT_EQ(fault.key, 1);
    EXPECT_EQ(fault.segment, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("refused.dat")));
}

TEST(DevtoolsCreate, IndexedFilesAndTheirRefusals) {
    TempDir dir;
    struct Case {
        const char* what;
        IndexedLayout layout;
        int code;
        const char* why;
    };
    IndexedLayout none;
    none.recordSize = 12;
    none.separator = IndexedLayout::Separator::None;
    IndexedLayout tooLong;
    tooLong.recordSize = 32768;
    const Case cases[] = {
        {"sound", none, 0, ""},
        {"again", none, MDK_E_OPEN, "cannot create it (it exists, or the directory refuses it)"},
        {"too long", tooLong, MDK_E_LENGTH, "the record size must be 1 to 32767"},
    };
    const std::string path = dir.file("n.ind");
    for (const Case& c : cases) {
        std::string why;
        EXPECT_EQ(createIndexedFile(path, c.layout, &why), c.code) << c.what;
        EXPECT_EQ(why, c.why) << c.what;
    }
    const Described d = describe(path);
    EXPECT_EQ(d.file.formatCode, MDK_FORMAT_INDEXED);
    EXPECT_EQ(d.file.maxDataLength, 12);
    EXPECT_TRUE(d.file.describeFlags & MDK_DESCRIBE_NO_SEPARATOR);
    EXPECT_TRUE(verifyIndexedFile(path).ok());
}

TEST(DevtoolsSamples, TheSampleDataSetIsSound) {
    TempDir dir;
    std::string why;
    ASSERT_EQ(makeSampleData(dir.path(), &why), 0) << why;
    for (const char* name : {"customers.dat", "orders.dat", "stock.dat"}) {
        const VerifyReport report = verifyClassicFile(dir.file(name));
        EXPECT_TRUE(report.ok()) << name << ": " << report.problems.front();
        EXPECT_GT(report.records, 0u) << name;
    }
    EXPECT_TRUE(verifyIndexedFile(dir.file("products.ind")).ok());
    EXPECT_NE(makeSampleData(dir.path(), &why), 0) << "a second set over the first";
}

}  // namespace
}  // namespace mdnio::devtools

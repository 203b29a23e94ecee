#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testutil.h"

namespace mdnio::platform {
namespace {

using mdnio::test::TempDir;
using namespace std::string_literals;

const char* const kProfile =
    "; a comment line\n"
    "top=before any section\n"
    "[General]\n"
    "  Name =  Alpha  \n"
    "Path=\"  spaced  \"\n"
    "Single='x'\n"
    "Mixed=\"a'\n"
    "Inner=a \"b\" c\n"
    "Empty=\n"
    "Trailing = value ; not a comment\n"
    "name=second one loses\n"
    "a line without equals\n"
    " = no key name\n"
    "\t; Commented=out\n"
    "Equals=a=b\n"
    "[ Other ]\n"
    "Key=other\n"
    "[general]\n"
    "Extra=from the second General\n";

constexpr char kSentinel = '\x7f';

struct Case {
    const char* what;
    const char* section;
    const char* key;
    const char* defaultValue;
    size_t size;
    std::string stored;  // bytes written, terminators included
    size_t answer;
};

// Runs each case on a file holding `text`, and checks that nothing beyond `size` is touched.
void check(const std::string& path, const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string buf(c.size + 16, kSentinel);
        size_t answer =
            profileString(c.section, c.key, c.defaultValue, buf.data(), c.size, path.c_str());
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(buf.substr(0, c.stored.size()), c.stored);
        EXPECT_EQ(buf.substr(c.size), std::string(16, kSentinel)) << "wrote past size";
    }
}

class ProfileTest : public testing::Test {
  protected:
    void SetUp() override { mdnio::test::writeFile(path, kProfile); }
    TempDir dir;
    std::string path = dir.file("test.ini");
};

TEST_F(ProfileTest, Values) {
    check(path, {
                    {"plain, trimmed", "General", "Name", "d", 64, "Alpha\0"s, 5},
                    {"case-insensitive", "GENERAL", "nAmE", "d", 64, "Alpha\0"s, 5},
                    {"section name trimmed", "other", "KEY", "d", 64, "other\0"s, 5},
                    {"double quotes keep blanks", "General", "Path", "d", 64, "  spaced  \0"s, 10},
                    {"single quotes", "General", "Single", "d", 64, "x\0"s, 1},
                    {"unmatched quotes stay", "General", "Mixed", "d", 64, "\"a'\0"s, 3},
                    {"inner quotes stay", "General", "Inner", "d", 64, "a \"b\" c\0"s, 7},
                    {"empty value is not missing", "General", "Empty", "d", 64, "\0"s, 0},
                    {"';' inside a value", "General", "Trailing", "d", 64,
                     "value ; not a comment\0"s, 21},
                    {"first '=' splits", "General", "Equals", "d", 64, "a=b\0"s, 3},
                    {"later same-named section", "General", "Extra", "d", 64,
                     "from the second General\0"s, 23},
                    {"missing key", "General", "Nope", "fallback", 64, "fallback\0"s, 8},
                    {"missing section", "Nowhere", "Name", "fallback", 64, "fallback\0"s, 8},
                    {"null default", "General", "Nope", nullptr, 64, "\0"s, 0},
                    {"commented key", "General", "Commented", "d", 64, "d\0"s, 1},
                    {"line without '='", "General", "a line without equals", "d", 64, "d\0"s, 1},
                    {"key before any section", "", "top", "d", 64, "d\0"s, 1},
                    {"cut value", "General", "Name", "d", 3, "Al\0"s, 2},
                    {"cut default", "General", "Nope", "fallback", 5, "fall\0"s, 4},
                    {"exact fit", "General", "Name", "d", 6, "Alpha\0"s, 5},
                    {"one byte", "General", "Name", "d", 1, "\0"s, 0},
                    {"size zero writes nothing", "General", "Name", "d", 0, ""s, 0},
                });
}

TEST_F(ProfileTest, KeyAndSectionLists) {
    const std::string keys = "Name\0Path\0Single\0Mixed\0Inner\0Empty\0Trailing\0Equals\0Extra\0"s;
    const std::string sections = "General\0Other\0"s;
    check(
        path,
        {
            {"keys", "general", nullptr, "d", 128, keys + '\0', keys.size()},
            {"keys, exact fit", "General", nullptr, "d", keys.size() + 1, keys + '\0', keys.size()},
            {"keys, one short", "General", nullptr, "d", keys.size(),
             keys.substr(0, keys.size() - 2) + "\0\0"s, keys.size() - 2},
            {"keys, cut in a name", "General", nullptr, "d", 8, "Name\0P\0\0"s, 6},
            {"keys, cut after a name", "General", nullptr, "d", 7, "Name\0\0\0"s, 5},
            {"keys of another section", "OTHER", nullptr, "d", 64, "Key\0\0"s, 4},
            {"keys of a missing section", "Nowhere", nullptr, "d", 64, "\0\0"s, 0},
            {"sections", nullptr, nullptr, "d", 64, sections + '\0', sections.size()},
            {"sections, key ignored", nullptr, "Name", "d", 64, sections + '\0', sections.size()},
            {"sections, cut", nullptr, nullptr, "d", 5, "Gen\0\0"s, 3},
            {"sections, two bytes", nullptr, nullptr, "d", 2, "\0\0"s, 0},
            {"sections, one byte", nullptr, nullptr, "d", 1, "\0"s, 0},
            {"sections, size zero", nullptr, nullptr, "d", 0, ""s, 0},
        });
}

TEST(Profile, MissingFile) {
    TempDir dir;
    const std::string path = dir.file("absent.ini");
    check(path, {
                    {"value", "S", "k", "dflt", 16, "dflt\0"s, 4},
                    {"null default", "S", "k", nullptr, 16, "\0"s, 0},
                    {"keys", "S", nullptr, "dflt", 16, "\0\0"s, 0},
                    {"sections", nullptr, nullptr, "dflt", 16, "\0\0"s, 0},
                });
    char buf[8];
    EXPECT_EQ(profileString("S", "k", "dflt", buf, sizeof buf, nullptr), 4u);
    EXPECT_STREQ(buf, "dflt");
}

// Line ends, byte order marks, duplicate keys and lines far longer than any buffer.
TEST(Profile, AwkwardFiles) {
    TempDir dir;
    const std::string longValue(200000, 'v');
    struct File {
        const char* what;
        std::string text;
        std::vector<Case> cases;
    } files[] = {
        {"CRLF line ends",
         "[S]\r\nk = v \r\nq=\"quoted\"\r\n[T]\r\n",
         {{"value", "S", "k", "d", 16, "v\0"s, 1},
          {"quoted", "S", "q", "d", 16, "quoted\0"s, 6},
          {"keys", "s", nullptr, "d", 16, "k\0q\0\0"s, 4},
          {"sections", nullptr, nullptr, "d", 16, "S\0T\0\0"s, 4}}},
        {"no final line end", "[S]\nk=last", {{"value", "S", "k", "d", 16, "last\0"s, 4}}},
        {"byte order mark", "\xEF\xBB\xBF[S]\nk=v\n", {{"value", "S", "k", "d", 16, "v\0"s, 1}}},
        {"duplicate keys",
         "[S]\nk=first\nK=second\n[s]\nk=third\n",
         {{"first wins", "S", "k", "d", 16, "first\0"s, 5},
          {"listed once", "S", nullptr, "d", 16, "k\0\0"s, 2},
          {"section listed once", nullptr, nullptr, "d", 16, "S\0\0"s, 2}}},
        {"long lines",
         "[S]\nlong=" + longValue + "\n; " + longValue + "\nafter=ok\n[" + longValue + "]\nx=1\n",
         {{"long value cut", "S", "long", "d", 10, "vvvvvvvvv\0"s, 9},
          {"key after a long line", "S", "after", "d", 16, "ok\0"s, 2},
          {"long section name cut", nullptr, nullptr, "d", 8, "S\0vvvv\0\0"s, 6}}},
        {"header without ']'",
         "[Open\nk=v\n[Closed] trailing words\nj=w\n",
         {{"rest of line is the name", "Open", "k", "d", 16, "v\0"s, 1},
          {"text after ']' ignored", "Closed", "j", "d", 16, "w\0"s, 1}}},
        {"empty file",
         "",
         {{"value", "S", "k", "d", 16, "d\0"s, 1},
          {"sections", nullptr, nullptr, "d", 16, "\0\0"s, 0}}},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.what);
        const std::string path = dir.file("awkward.ini");
        mdnio::test::writeFile(path, f.text);
        check(path, f.cases);
    }
}

}  // namespace
}  // namespace mdnio::platform

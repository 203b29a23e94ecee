#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testutil.h"

namespace mdnio::platform {
namespace {

using mdnio::test::TempDir;

TEST(MatchPattern, Cases) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"", "", true},
        {"", "a", false},
        {"a", "", false},
        {"abc", "abc", true},
        {"abc", "abd", false},
        {"abc", "ab", false},
        {"ab", "abc", false},
        {"ABC", "abc", false},  // names are case-sensitive
        {"*", "", true},
        {"*", "anything.dat", true},
        {"**", "x", true},
        {"?", "", false},
        {"?", "a", true},
        {"?", "ab", false},
        {"??", "ab", true},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"*.dat", "file.dat", true},
        {"*.dat", ".dat", true},
        {"*.dat", "file.dat.bak", false},
        {"*.dat", "file.da", false},
        {"f*e", "fe", true},
        {"f*e", "file", true},
        {"f*e", "files", false},
        {"*a*b", "xaxxb", true},
        {"*a*b", "xbxa", false},
        {"a*a*a", "aaa", true},
        {"a*a*a", "aa", false},
        {"*ab", "aab", true},  // the star must give back what it took
        {"*?", "", false},
        {"*?", "z", true},
        {"?*?", "a", false},
        {"*.*", "noext", false},
        {"*.*", "a.b", true},
        {"**********b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matchPattern(c.pattern, c.name), c.match)
            << "pattern \"" << c.pattern << "\" name \"" << c.name << "\"";
    }
    EXPECT_FALSE(matchPattern(nullptr, "a"));
    EXPECT_FALSE(matchPattern("a", nullptr));
}

std::set<std::string> searchAll(const std::string& pattern, bool* found) {
    std::set<std::string> names;
    std::string name;
    DirSearch* s = findFirst(pattern.c_str(), &name);
    *found = s != nullptr;
    if (!s) return names;
    do {
        EXPECT_TRUE(names.insert(name).second) << "returned twice: " << name;
    } while (findNext(s, &name));
    EXPECT_FALSE(findNext(s, &name));  // stays exhausted
    findClose(s);
    return names;
}

// Runs the test from inside a directory and goes back where it was.
class InDirectory {
  public:
    explicit InDirectory(const std::string& dir) : previous_(getcwd(nullptr, 0)) {
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~InDirectory() {
        EXPECT_EQ(chdir(previous_), 0);
        std::free(previous_);
    }

  private:
    char* previous_;
};

class DirSearchTest : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* n : {"a.dat", "b.dat", "abc.dat", "ab.idx", "A.DAT", ".hidden"}) {
            mdnio::test::writeFile(dir.file(n), "x");
        }
        ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0777), 0);
        mdnio::test::writeFile(dir.file("sub/inner.dat"), "x");
    }
    TempDir dir;
};

TEST_F(DirSearchTest, NamesMatchingTheLastPart) {
    using Names = std::set<std::string>;
    struct Case {
        const char* pattern;
        Names names;
    } cases[] = {
        {"*.dat", {"a.dat", "b.dat", "abc.dat"}},
        {"?.dat", {"a.dat", "b.dat"}},
        {"a*", {"a.dat", "abc.dat", "ab.idx"}},
        {"*", {"a.dat", "b.dat", "abc.dat", "ab.idx", "A.DAT", ".hidden", "sub"}},
        {".*", {".hidden"}},  // never "." or ".."
        {"*.DAT", {"A.DAT"}},
        {"abc.dat", {"abc.dat"}},
        {"sub", {"sub"}},
        {"sub/*", {"inner.dat"}},
        {"sub/*.idx", {}},
        {"none*", {}},
        {"", {}},
        {"missing/*", {}},
        {"a.dat/*", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        bool found = false;
        EXPECT_EQ(searchAll(dir.path() + "/" + c.pattern, &found), c.names);
        EXPECT_EQ(found, !c.names.empty());
    }
}

TEST_F(DirSearchTest, PatternWithoutDirectorySearchesTheCurrentOne) {
    InDirectory here(dir.path());
    bool found = false;
    EXPECT_EQ(searchAll("*.idx", &found), std::set<std::string>{"ab.idx"});
    EXPECT_EQ(searchAll("sub/*.dat", &found), std::set<std::string>{"inner.dat"});
    EXPECT_EQ(searchAll("*.none", &found), std::set<std::string>{});
    EXPECT_FALSE(found);
}

TEST(DirSearchEdges, NullArguments) {
    std::string name;
    EXPECT_EQ(findFirst(nullptr, &name), nullptr);
    EXPECT_FALSE(findNext(nullptr, &name));
    findClose(nullptr);
}

TEST(CurrentDirectory, FitsOrAnswersZero) {
    TempDir dir;
    InDirectory here(dir.path());
    char* real = getcwd(nullptr, 0);
    ASSERT_NE(real, nullptr);
    const std::string expected = real;
    std::free(real);
    const size_t len = expected.size();
    struct Case {
        size_t size;
        size_t answer;
    } cases[] = {{len + 100, len}, {len + 1, len}, {len, 0}, {1, 0}, {0, 0}};
    for (const auto& c : cases) {
        std::string buf(len + 100, '#');
        EXPECT_EQ(currentDirectory(buf.data(), c.size), c.answer) << "size " << c.size;
        if (c.answer) {
            EXPECT_EQ(std::string(buf.c_str()), expected);
        }
        EXPECT_EQ(buf.substr(c.size), std::string(buf.size() - c.size, '#'))
            << "wrote past size " << c.size;
    }
}

TEST(FileMode, TypeAndPermissionBits) {
    TempDir dir;
    const std::string file = dir.file("f");
    mdnio::test::writeFile(file, "x");
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    int32_t mode = fileMode(file.c_str());
    EXPECT_TRUE(S_ISREG(mode));
    EXPECT_EQ(mode & 07777, 0640);
    EXPECT_TRUE(S_ISDIR(fileMode(dir.path().c_str())));
    EXPECT_EQ(fileMode(dir.file("missing").c_str()), -1);
    EXPECT_EQ(fileMode(nullptr), -1);
}

TEST(GetEnv, ReadsTheEnvironment) {
    ASSERT_EQ(setenv("MDNIO_PLATFORM_TEST_VAR", "some value", 1), 0);
    ASSERT_NE(getEnv("MDNIO_PLATFORM_TEST_VAR"), nullptr);
    EXPECT_STREQ(getEnv("MDNIO_PLATFORM_TEST_VAR"), "some value");
    unsetenv("MDNIO_PLATFORM_TEST_VAR");
    EXPECT_EQ(getEnv("MDNIO_PLATFORM_TEST_VAR"), nullptr);
    EXPECT_EQ(getEnv(nullptr), nullptr);
}

}  // namespace
}  // namespace mdnio::platform

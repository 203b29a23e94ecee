// File names in dictionaries.
#include <gtest/gtest.h>

#include <string>

#include "catalog/paths.h"

using namespace mdnio::catalog;

namespace {

struct SplitCase {
    const char* fileSpec;
    const char* dataFile;
    const char* columnSource;
};

class FileSpecSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(FileSpecSplit, SplitsAtTheFirstSemicolonOrComma) {
    FileSpec s = splitFileSpec(GetParam().fileSpec);
    EXPECT_EQ(s.dataFile, GetParam().dataFile);
    EXPECT_EQ(s.columnSource, GetParam().columnSource);
}

INSTANTIATE_TEST_SUITE_P(
    Specs, FileSpecSplit,
    ::testing::Values(SplitCase{"orders.dat", "orders.dat", ""},
                      SplitCase{"orders.dat;cols.ini", "orders.dat", "cols.ini"},
                      SplitCase{"orders.dat,cols.ini", "orders.dat", "cols.ini"},
                      SplitCase{"a.dat;b.ini,c", "a.dat", "b.ini,c"},
                      SplitCase{"a.dat,b.ini;c", "a.dat", "b.ini;c"},
                      SplitCase{";x.ini", "", "x.ini"}, SplitCase{"", "", ""}));

TEST(FileSpecSplit, EachPartIsCutTo120Characters) {
    std::string longName(200, 'd');
    FileSpec s = splitFileSpec(longName + ";" + longName);
    EXPECT_EQ(s.dataFile, std::string(120, 'd'));
    EXPECT_EQ(s.columnSource, std::string(120, 'd'));
}

struct PathCase {
    const char* dictionary;
    const char* name;
    const char* dataPath;    // dataFilePath
    const char* sourcePath;  // columnSourcePath
};

class DictionaryPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(DictionaryPaths, JoinRelativeNamesToTheDictionaryDirectory) {
    const PathCase& c = GetParam();
    EXPECT_EQ(dataFilePath(c.dictionary, c.name), c.dataPath);
    EXPECT_EQ(columnSourcePath(c.dictionary, c.name), c.sourcePath);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DictionaryPaths,
    ::testing::Values(PathCase{"/d/sales.ini", "orders.dat", "/d/orders.dat", "/d/sales.ini"},
                      PathCase{"/d/sales.ini", "cols.ini", "/d/cols.ini", "/d/cols.ini"},
                      PathCase{"/d/sales.ini", "./cols.INI", "/d/./cols.INI", "/d/cols.INI"},
                      PathCase{"/d/sales.ini", ".\\cols.ini", "/d/./cols.ini", "/d/cols.ini"},
                      PathCase{"/d/sales.ini", "sub\\x.ini", "/d/sub/x.ini", "/d/sub/x.ini"},
                      PathCase{"/d/sales.ini", "/abs/x.ini", "/abs/x.ini", "/abs/x.ini"},
                      PathCase{"/d/sales.ini", "\\abs\\x.dat", "/abs/x.dat", "/d/sales.ini"},
                      PathCase{"/d/sales.ini", "C:\\x.dat", "C:/x.dat", "/d/sales.ini"},
                      PathCase{"C:\\dict\\sales.ini", "data\\c.dat", "C:\\dict/data/c.dat",
                               "C:\\dict\\sales.ini"},
                      PathCase{"sales.ini", "c.dat", "c.dat", "sales.ini"},
                      PathCase{"sales.ini", "./c.ini", "./c.ini", "c.ini"},
                      PathCase{"/sales.ini", "c.dat", "/c.dat", "/sales.ini"},
                      PathCase{"/d/sales.ini", "obj@lib", "obj@lib", "/d/sales.ini"},
                      PathCase{"/d/sales.ini", "sub\\obj@lib", "sub\\obj@lib", "/d/sales.ini"},
                      PathCase{"/d/sales.ini", "ex@p\\c.dat", "/d/ex@p/c.dat", "/d/sales.ini"},
                      PathCase{"/d/sales.ini", "[RMT:host;1]x.dat", "[RMT:host;1]x.dat",
                               "/d/sales.ini"},
                      PathCase{"/d/sales.ini", "", "/d/", "/d/sales.ini"}));

TEST(DictionaryNames, RemoteAndIniNames) {
    EXPECT_TRUE(isRemoteName("[rmt:h]x"));
    EXPECT_TRUE(isRemoteName("[RmT:h]x"));
    EXPECT_FALSE(isRemoteName("[rmt"));
    EXPECT_FALSE(isRemoteName("x[rmt:"));
    EXPECT_TRUE(namesIniFile("a.INI"));
    EXPECT_TRUE(namesIniFile("a.Ini;b"));
    EXPECT_FALSE(namesIniFile("gemini/meridane.ddf"));
    EXPECT_EQ(dictionaryDirectory("/a/b\\c.ini"), "/a/b");
    EXPECT_EQ(dictionaryDirectory("c.ini"), "");
}

}  // namespace

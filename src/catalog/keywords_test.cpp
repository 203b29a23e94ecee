// The keyword language of .ini column definitions.
#include <gtest/gtest.h>

#include <string>

#include "catalog/keywords.h"

using namespace mdnio::catalog;

namespace {

TEST(KeywordTokens, SplitsAtBlanksAndCommasAndKeepsQuotedText) {
    std::vector<KeywordToken> t =
        tokenizeKeywords("  numeric,length=9.2  mustbe>\"A, b\"\tformat=\"say \"\"hi\"\"\" x<y");
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[0].keyword, "NUMERIC");
    EXPECT_EQ(t[0].op, 0);
    EXPECT_EQ(t[1].keyword, "LENGTH");
    EXPECT_EQ(t[1].op, '=');
    EXPECT_EQ(t[1].value, "9.2");
    EXPECT_EQ(t[2].keyword, "MUSTBE");
    EXPECT_EQ(t[2].op, '>');
    EXPECT_EQ(t[2].value, "A, b");
    EXPECT_EQ(t[3].value, "say \"hi\"");
    EXPECT_EQ(t[4].keyword, "X");
    EXPECT_EQ(t[4].op, '<');
    EXPECT_EQ(t[4].value, "Y");
}

TEST(KeywordTokens, ValueOutsideQuotesIsCapitalsInsideKeepsCase) {
    std::vector<KeywordToken> t = tokenizeKeywords("format=ab\"cD e\"f");
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].value, "ABcD eF");
}

TEST(KeywordTokens, EmptyListsAndSeparatorsOnly) {
    EXPECT_TRUE(tokenizeKeywords("").empty());
    EXPECT_TRUE(tokenizeKeywords(" , ,, ").empty());
}

struct MatchCase {
    const char* keyword;
    const char* name;  // "" when nothing matches
};

class KeywordMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(KeywordMatch, DesignatesTheExpectedName) {
    EXPECT_EQ(keywordName(matchKeyword(GetParam().keyword)), GetParam().name) << GetParam().keyword;
}

INSTANTIATE_TEST_SUITE_P(
    Abbreviations, KeywordMatch,
    ::testing::Values(
        MatchCase{"NUM", "NUMERIC"}, MatchCase{"NUME", "NUMERIC"},
        MatchCase{"NUMERICAL", "NUMERIC"}, MatchCase{"NUMX", ""}, MatchCase{"STR", "STRING"},
        MatchCase{"ST", ""}, MatchCase{"UNS", "UNSIGNEDBINARY"}, MatchCase{"UNI", "UNI"},
        MatchCase{"UNIX", ""}, MatchCase{"NOS", "NOSTRIP"}, MatchCase{"NOSH", "NOSHOW"},
        MatchCase{"ORB", "ORB77*YEAR"}, MatchCase{"*REC", "*RECTYPE"}, MatchCase{"REC", "RECTYPE"},
        MatchCase{"SEP", "SEPARATOR"}, MatchCase{"FIE", "FIELD"}, MatchCase{"FIX", "FIXED"},
        MatchCase{"DEC", "DECIMAL"}, MatchCase{"DEL", "DELIMITED"}, MatchCase{"KEY", "KEY"},
        MatchCase{"LEN", "LENGTH"}, MatchCase{"I86", "I86"}, MatchCase{"BIN", "BINARY"},
        MatchCase{"BNR", "BNR"}, MatchCase{"", ""}));

// The column a keyword list gives; fields not named keep the values of a new column.
struct ListCase {
    const char* list;
    int32_t type = 'S';
    int32_t storage = 'D';
    int32_t length = 0;
    int32_t decimals = 0;
    int32_t field = 0;
    int32_t offset = 0;
    bool fieldGiven = false;
    bool offsetGiven = false;
    int32_t flags = 0;
    int32_t padChar = 0;
    int32_t fieldSeparator = 0;
    const char* format = "";
    const char* class_ = "";
    const char* mustBe = "";
    uint8_t mustBeOp = 0;
    const char* recType = "";
    const char* sameAs = "";
};

ListCase list(const char* text) {
    ListCase c;
    c.list = text;
    return c;
}

std::vector<ListCase> listCases() {
    std::vector<ListCase> cases;
    auto add = [&](ListCase c) { cases.push_back(c); };
    {
        ListCase c = list("NUMERIC LENGTH=9.2 FIELD=3");
        c.type = 'N';
        c.length = 9;
        c.decimals = 2;
        c.field = 3;
        c.fieldGiven = true;
        add(c);
    }
    {
        ListCase c = list("CLASS=RIGHT48");
        c.class_ = "RIGHT48";
        c.flags = 16;
        c.padChar = 48;
        add(c);
    }
    {
        ListCase c = list("CLASS=RIGHT");
        c.class_ = "RIGHT";
        c.flags = 16;
        c.padChar = 32;
        add(c);
    }
    {
        ListCase c = list("CLASS=\"right\"");  // any case
        c.class_ = "right";
        c.flags = 16;
        c.padChar = 32;
        add(c);
    }
    {
        ListCase c = list("CLASS=RIGHTABCDE");  // 10 characters: only the class text
        c.class_ = "RIGHTABCDE";
        add(c);
    }
    {
        ListCase c = list("CLASS=LEFT");
        c.class_ = "LEFT";
        add(c);
    }
    {
        ListCase c = list("MUSTBE>\"A, B\"");
        c.mustBe = "A, B";
        c.mustBeOp = '>';
        add(c);
    }
    {
        ListCase c = list("MUSTBE<9 MUSTBE=\"x\"\"y\"");  // the last one wins
        c.mustBe = "x\"y";
        c.mustBeOp = '=';
        add(c);
    }
    {
        ListCase c = list("NUMERIC STR");
        add(c);
    }
    {
        ListCase c = list("NUMERIC ST");
        c.type = 'N';
        add(c);
    }
    {
        ListCase c = list("UNS");
        c.type = 'U';
        c.storage = 'F';
        add(c);
    }
    {
        ListCase c = list("UNI");
        c.type = 'N';
        c.storage = 'I';
        add(c);
    }
    {
        ListCase c = list("nume");
        c.type = 'N';
        add(c);
    }
    {
        ListCase c = list("ORB77*YEAR");
        c.type = 'R';
        add(c);
    }
    {
        ListCase c = list("BNR");
        c.type = 'B';
        add(c);
    }
    {
        ListCase c = list("LOGICAL");
        c.type = 'L';
        add(c);
    }
    const std::pair<const char*, int32_t> storages[] = {
        {"BINARY", 'B'}, {"I86", '8'},       {"FIXED", 'F'},     {"NOSTRIP", 'P'},
        {"NOS", 'P'},    {"SUBSTRING", 'S'}, {"VARIABLE", 'D'},  {"PADDED", 'L'},
        {"SIGNED", 'G'}, {"DECIMAL", 'C'},   {"DELIMITED", 'Z'}, {"FIXED VAR", 'D'}};
    for (const auto& [text, storage] : storages) {
        ListCase c = list(text);
        c.storage = storage;
        add(c);
    }
    {
        ListCase c = list("SEPARATOR=124");
        c.fieldSeparator = 124;
        add(c);
    }
    {
        ListCase c = list("HIDE NOSHOW *RECTYPE");
        c.flags = 1 | 8 | 2;
        add(c);
    }
    {
        ListCase c = list("RECTYPE=o");
        c.recType = "O";
        c.flags = 4;
        add(c);
    }
    {
        ListCase c = list("FIELD=3 OFFSET=4");
        c.field = 3;
        c.offset = 4;
        c.fieldGiven = true;
        c.offsetGiven = true;
        add(c);
    }
    {
        ListCase c = list("OFFSET=4 FIELD=3");  // FIELD puts the offset back to 0
        c.field = 3;
        c.fieldGiven = true;
        c.offsetGiven = true;
        add(c);
    }
    {
        ListCase c = list("LENGTH=12");
        c.length = 12;
        add(c);
    }
    {
        ListCase c = list("LENGTH=99999999999.5");  // clamped, not overflowed
        c.length = INT32_MAX;
        c.decimals = 5;
        add(c);
    }
    {
        ListCase c = list("SAMEAS=t.c FORMAT=\"Zz9\" KEY");
        c.sameAs = "T.C";
        c.format = "Zz9";
        add(c);
    }
    {
        ListCase c = list("FOO=1, BAR HIDE");  // unknown keywords are ignored
        c.flags = 1;
        add(c);
    }
    {
        ListCase c = list("   ,NUMERIC,,LENGTH=5,");
        c.type = 'N';
        c.length = 5;
        add(c);
    }
    return cases;
}

class KeywordList : public ::testing::TestWithParam<ListCase> {};

TEST_P(KeywordList, GivesTheColumn) {
    const ListCase& want = GetParam();
    ColumnDraft c;
    applyKeywords(want.list, c);
    const MdkColumnRecord& r = c.record;
    EXPECT_EQ(r.type, want.type);
    EXPECT_EQ(r.storage, want.storage);
    EXPECT_EQ(r.length, want.length);
    EXPECT_EQ(r.decimals, want.decimals);
    EXPECT_EQ(r.field, want.field);
    EXPECT_EQ(r.offset, want.offset);
    EXPECT_EQ(c.fieldGiven, want.fieldGiven);
    EXPECT_EQ(c.offsetGiven, want.offsetGiven);
    EXPECT_EQ(r.columnFlags, want.flags);
    EXPECT_EQ(r.padChar, want.padChar);
    EXPECT_EQ(r.fieldSeparator, want.fieldSeparator);
    EXPECT_STREQ(r.format, want.format);
    EXPECT_STREQ(r.class_, want.class_);
    EXPECT_STREQ(r.mustBe, want.mustBe);
    EXPECT_EQ(r.mustBeOp, want.mustBeOp);
    EXPECT_STREQ(r.recType, want.recType);
    EXPECT_STREQ(r.sameAs, want.sameAs);
    EXPECT_STREQ(r.name, "");
}

INSTANTIATE_TEST_SUITE_P(Lists, KeywordList, ::testing::ValuesIn(listCases()),
                         [](const ::testing::TestParamInfo<ListCase>& info) {
                             return "case" + std::to_string(info.index);
                         });

TEST(KeywordList, TextValuesAreCutToTheirFields) {
    ColumnDraft c;
    std::string longValue(300, 'Q');
    applyKeywords("FORMAT=" + longValue + " CLASS=" + longValue + " MUSTBE=" + longValue +
                      " RECTYPE=" + longValue + " SAMEAS=" + longValue,
                  c);
    const MdkColumnRecord& r = c.record;
    EXPECT_EQ(std::string(r.format), std::string(63, 'Q'));
    EXPECT_EQ(std::string(r.class_), std::string(63, 'Q'));
    EXPECT_EQ(std::string(r.mustBe), std::string(63, 'Q'));
    EXPECT_EQ(std::string(r.recType), std::string(63, 'Q'));
    EXPECT_EQ(std::string(r.sameAs), std::string(63, 'Q'));
    // The field after each one is untouched.
    EXPECT_EQ(r.extra1[0], '\0');
    EXPECT_EQ(r.bufferA, nullptr);
}

}  // namespace

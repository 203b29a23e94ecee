// The parts of mdk that work on text alone: escaping, fields, csv lines, conditions, layouts,
// and rows by column name; and the patience of a call that met a busy lock.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "mdk/columns.h"
#include "mdk/condition.h"
#include "mdk/csv.h"
#include "mdk/encoding.h"
#include "mdk/escape.h"
#include "mdk/failure.h"
#include "mdk/fields.h"
#include "mdk/layout.h"
#include "mdk/rows.h"
#include "mdk/waiting.h"

namespace mdk {
namespace {

using namespace std::string_literals;
using Fields = std::vector<std::string>;

// ---- escaping -------------------------------------------------------------------------------

TEST(Escape, EachByteHasOneFormAndComesBack) {
    struct Case {
        std::string bytes, text;
    };
    const Case cases[] = {
        {"plain text 123", "plain text 123"},
        {"a\\b", "a\\\\b"},
        {"\x8a\x00\xff"s, "\\x8a\\x00\\xff"},
        {"tab\there\n", "tab\\x09here\\x0a"},
        {"\x7f~ ", "\\x7f~ "},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(escape(c.bytes), c.text);
        EXPECT_EQ(unescape(c.text), c.bytes);
    }
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    const std::string text = escape(all);
    EXPECT_EQ(text.find_first_not_of(
                  " !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklm"
                  "nopqrstuvwxyz{|}~"),
              std::string::npos);
    EXPECT_EQ(unescape(text), all);
}

TEST(Escape, HandWrittenFormsAreRead) {
    EXPECT_EQ(unescape("\\t\\n\\r\\0\\xAB"), "\t\n\r\0\xab"s);
    EXPECT_EQ(unescape("Z\xc3\xbcrich"), "Z\xc3\xbcrich");  // other characters: their bytes
}

TEST(Escape, MalformedFormsAreRefused) {
    for (const char* bad : {"\\", "ab\\", "\\q", "\\x", "\\x4", "\\xg0", "\\p8a", "\\R"}) {
        EXPECT_THROW(unescape(bad), EscapeError) << bad;
    }
}

// ---- encodings ------------------------------------------------------------------------------

TEST(Encoding, BytesAndTheirTextInEachEncoding) {
    struct Case {
        std::string bytes, utf8, cp1252, raw;
    };
    const Case cases[] = {
        {"plain", "plain", "plain", "plain"},
        {"\xe9t\xe9"s, "\u00e9t\u00e9", "\xe9t\xe9", "\\xe9t\\xe9"},
        {"\x80 \x8a \x9f"s, "\u20ac \u0160 \u0178", "\x80 \x8a \x9f", "\\x80 \\x8a \\x9f"},
        {"\xa0\xff"s, "\u00a0\u00ff", "\xa0\xff", "\\xa0\\xff"},
        // No character: control bytes and the five undefined bytes, escaped in every encoding.
        {"\x81\x8d\x8f\x90\x9d"s, "\\x81\\x8d\\x8f\\x90\\x9d", "\\x81\\x8d\\x8f\\x90\\x9d",
         "\\x81\\x8d\\x8f\\x90\\x9d"},
        {"\x00\t\x7f"s, "\\x00\\x09\\x7f", "\\x00\\x09\\x7f", "\\x00\\x09\\x7f"},
        {"a\\b", "a\\\\b", "a\\\\b", "a\\\\b"},
    };
    for (const Case& c : cases) {
        const std::pair<Encoding, std::string> forms[] = {
            {Encoding::Utf8, c.utf8}, {Encoding::Cp1252, c.cp1252}, {Encoding::Raw, c.raw}};
        for (const auto& [encoding, text] : forms) {
            EXPECT_EQ(decodeText(c.bytes, encoding), text) << escape(c.bytes);
            EXPECT_EQ(encodeText(text, encoding), c.bytes) << escape(c.bytes);
        }
    }
}

TEST(Encoding, EveryByteComesBackAndUtf8TextIsUtf8) {
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    for (Encoding e : {Encoding::Utf8, Encoding::Cp1252, Encoding::Raw}) {
        EXPECT_EQ(encodeText(decodeText(all, e), e), all);
    }
    // Reading utf-8 checks every sequence: the text written is UTF-8 through and through, and
    // none of it is a control character.
    const std::string text = decodeText(all, Encoding::Utf8);
    EXPECT_NO_THROW(encodeText(text, Encoding::Utf8));
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        EXPECT_TRUE(b >= 0x20 && b != 0x7f) << static_cast<int>(b);
    }
}

TEST(Encoding, EscapesGiveBytesInEveryEncoding) {
    for (Encoding e : {Encoding::Utf8, Encoding::Cp1252, Encoding::Raw}) {
        EXPECT_EQ(encodeText("Z\\xfcrich\\t\\x8a", e), "Z\xfcrich\t\x8a"s);
        EXPECT_THROW(encodeText("bad \\q", e), EscapeError);
    }
    EXPECT_EQ(encodeText("Z\u00fcrich", Encoding::Utf8), "Z\xfcrich");
    EXPECT_EQ(encodeText("Z\u00fcrich", Encoding::Raw), "Z\xc3\xbcrich");  // its UTF-8 bytes
}

TEST(Encoding, CharactersWindows1252CannotHoldAreRefusedByName) {
    struct Case {
        std::string text, named;
    };
    const Case cases[] = {
        {"\u4e0a\u6d77", "\"\u4e0a\" (U+4E0A) has no Windows-1252 byte"},
        {"ok \U0001F600", "(U+1F600) has no Windows-1252 byte"},
        {"\u0081", "(U+0081) has no Windows-1252 byte"},     // C1 control: the byte is \x81
        {"caf\xe9", "byte 0xE9 at offset 3 is not UTF-8"},   // Windows-1252 text given as UTF-8
        {"\xc0\xaf", "byte 0xC0 at offset 0 is not UTF-8"},  // overlong
        {"\xed\xa0\x80", "is not UTF-8"},                    // surrogate
        {"\xe4\xb8", "is not UTF-8"},                        // cut short
        {"\xf4\x90\x80\x80", "is not UTF-8"},                // past U+10FFFF
    };
    for (const Case& c : cases) {
        try {
            encodeText(c.text, Encoding::Utf8);
            ADD_FAILURE() << "accepted " << escape(c.text);
        } catch (const EncodingError& e) {
            EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(encodeText("\u4e0a", Encoding::Cp1252), "\u4e0a");  // Windows-1252 bytes: as given
}

TEST(Encoding, NamesAndByteNames) {
    EXPECT_EQ(encodingNamed("utf-8"), Encoding::Utf8);
    EXPECT_EQ(encodingNamed("windows-1252"), Encoding::Cp1252);
    EXPECT_EQ(encodingNamed("raw"), Encoding::Raw);
    EXPECT_THROW(encodingNamed("latin1"), Failure);
    EXPECT_EQ(byteName(0x8a), "0x8A (\u0160)");
    EXPECT_EQ(byteName('|'), "0x7C (|)");
    EXPECT_EQ(byteName(0x01), "0x01");
}

// ---- fields ---------------------------------------------------------------------------------

TEST(Fields, SeparatorFieldsSplitAndJoinBack) {
    const FieldCodec codec(0x8A, Encoding::Raw);
    struct Case {
        std::string data;
        Fields fields;
    };
    const Case cases[] = {
        {"", {""}},
        {"one", {"one"}},
        {"a\x8a"
         "b\x8a",
         {"a", "b", ""}},
        {"\x8a\x8a", {"", "", ""}},
        {"x\x00y\x8a|"s, {"x\\x00y", "|"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(codec.split(c.data), c.fields) << escape(c.data);
        EXPECT_EQ(codec.join(c.fields), c.data) << escape(c.data);
    }
    // A field holding the separator byte would be stored as two: it is refused, whichever form
    // gives the byte.
    const FieldCodec bar('|', Encoding::Raw);
    EXPECT_THROW(bar.join({"a\\x7cb"}), SeparatorError);
    EXPECT_THROW(bar.join({"ok", "a|b"}), SeparatorError);
    EXPECT_THROW(codec.join({"\xe4\xb8\x8a"}), SeparatorError);  // UTF-8 bytes of 上, raw
}

TEST(Fields, Utf8FieldsAreStoredAsWindows1252OrRefused) {
    const FieldCodec pipe('|', Encoding::Utf8);
    EXPECT_EQ(pipe.join({"\u0160koda", "\u00e9\u20ac"}), "\x8akoda|\xe9\x80"s);
    EXPECT_EQ(pipe.split("\x8akoda|\xe9\x80"s), (Fields{"\u0160koda", "\u00e9\u20ac"}));
    // With the default separator 0x8A, "\u0160" is that byte: the field would be split.
    const FieldCodec standard(0x8A, Encoding::Utf8);
    try {
        standard.join({"Oslo", "\u0160koda"});
        ADD_FAILURE() << "a field holding the separator was joined";
    } catch (const SeparatorError& e) {
        EXPECT_NE(std::string(e.what()).find("field 2 holds the file's field separator, byte 0x8A"),
                  std::string::npos)
            << e.what();
    }
    // "\u4e0a\u6d77" is refused for its characters, named with the field, before any split.
    try {
        standard.join({"x", "\u4e0a\u6d77"});
        ADD_FAILURE() << "a character Windows-1252 has no byte for was joined";
    } catch (const EncodingError& e) {
        EXPECT_NE(std::string(e.what()).find("field 2: \"\u4e0a\" (U+4E0A)"), std::string::npos)
            << e.what();
    }
    const FieldCodec prefixed(FieldCodec::kLengthPrefixed, Encoding::Utf8);
    EXPECT_EQ(prefixed.join({"\u0160", "\\p82\u00e9\u00e9"}), "\x01\x8a\x82\xe9\xe9"s);
    EXPECT_EQ(prefixed.split("\x01\x8a\x82\xe9\xe9"s), (Fields{"\u0160", "\\p82\u00e9\u00e9"}));
}

TEST(Fields, LengthPrefixedFieldsKeepEveryPrefix) {
    const FieldCodec codec(FieldCodec::kLengthPrefixed, Encoding::Raw);
    const std::string long200(200, 'L');
    const std::string long300(300, 'M');
    struct Case {
        std::string data;
        Fields fields;
    };
    const Case cases[] = {
        {"", {}},
        {"\x00"s, {""}},
        {"\x03"
         "abc"
         "\x02"
         "de",
         {"abc", "de"}},
        {"\xf1\xc8" + long200, {long200}},      // canonical long form
        {"\xf2\x01\x2c" + long300, {long300}},  // canonical two-byte form
        {"\xf1\x02"
         "ab",
         {"\\pf1ab"}},  // long form, short field
        {"\xf2\x00\x01"
         "z"s,
         {"\\pf2z"}},  // two-byte form, short
        {"\x93"
         "1234",
         {"\\p931234"}},  // short form: 3 + 1
        {"\x82"
         "xy"
         "\x01"
         "q",
         {"\\p82xy", "q"}},  // short form: 2
        {"\x05"
         "ab",
         {"\\R\\x05ab"}},  // cut short
        {"\x01"
         "a"
         "\xf1",
         {"a", "\\R\\xf1"}},   // prefix cut short
        {"\x01\\", {"\\\\"}},  // a backslash field
    };
    for (const Case& c : cases) {
        EXPECT_EQ(codec.split(c.data), c.fields) << escape(c.data);
        EXPECT_EQ(codec.join(c.fields), c.data) << escape(c.data);
    }
}

TEST(Fields, MalformedPrefixedFieldsAreRefused) {
    const FieldCodec codec(FieldCodec::kLengthPrefixed, Encoding::Raw);
    const Fields bad[] = {
        {"\\Rab", "c"},                     // kept bytes before another field
        {"\\p93abc"},                       // 0x93 announces 4 bytes
        {"\\pf1" + std::string(300, 'x')},  // one length byte cannot say 300
        {"\\pz1a"},                         // not hex
        {std::string(70000, 'x')},          // longer than any prefix
    };
    for (const Fields& f : bad)
        EXPECT_THROW(codec.join(f), EscapeError) << f[0].substr(0, 8);
}

// ---- csv ------------------------------------------------------------------------------------

TEST(Csv, ValuesAreQuotedOnlyWhenNeeded) {
    struct Case {
        Fields values;
        std::string line;
    };
    const Case cases[] = {
        {{"a", "b"}, "a,b"},
        {{"a,b", "say \"hi\""}, "\"a,b\",\"say \"\"hi\"\"\""},
        {{"", "x", ""}, "\"\",x,\"\""},
        {{" pad", "pad "}, "\" pad\",\"pad \""},
        {{"k"}, "k"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(csvLine(c.values), c.line);
        EXPECT_EQ(csvValues(c.line), c.values) << c.line;
    }
    EXPECT_EQ(csvValues("a,,b"), (Fields{"a", "", "b"}));
    EXPECT_EQ(csvValues("a,"), (Fields{"a", ""}));
}

TEST(Csv, BrokenQuotesAreRefused) {
    for (const char* bad : {"\"open", "\"a\"b,c", "x,\"y"}) {
        EXPECT_THROW(csvValues(bad), EscapeError) << bad;
    }
}

// ---- rows being read -----------------------------------------------------------------------

TEST(RowReader, FormatFromTheFirstLineThatIsNotBlank) {
    struct Case {
        std::string input;
        bool utf8;
        Format format;
        std::string firstKey;  // empty: the first line is no row
        long line;
    };
    const Case cases[] = {
        {"k1,a,b\n", true, Format::Csv, "k1", 1},
        {"\n  \n{\"key\":\"k2\",\"fields\":[]}\n", true, Format::Jsonl, "k2", 3},
        {"  {\"key\":\"k3\"}\r\n", true, Format::Jsonl, "k3", 1},
        {"\xef\xbb\xbf{\"key\":\"k4\"}\n", true, Format::Jsonl, "k4", 1},  // a byte-order mark
        {"\xef\xbb\xbfk5,x\n", false, Format::Csv, "\xef\xbb\xbfk5", 1},  // bytes, in cp1252 or raw
        {"", true, Format::Csv, "", 0},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.input);
        RowReader reader(in, std::nullopt, c.utf8);
        EXPECT_EQ(reader.format(), c.format) << escape(c.input);
        EXPECT_FALSE(reader.formatGiven());
        std::optional<Row> row;
        std::string error;
        const bool got = reader.next(row, error);
        EXPECT_EQ(got, !c.firstKey.empty()) << escape(c.input);
        if (got) {
            ASSERT_TRUE(row) << error;
            EXPECT_EQ(row->key, c.firstKey);
        }
        EXPECT_EQ(reader.line(), c.line) << escape(c.input);
        EXPECT_FALSE(reader.next(row, error));
    }
    std::istringstream in("{\"key\":\"k\"}\n");
    RowReader given(in, Format::Csv, true);
    EXPECT_EQ(given.format(), Format::Csv);
    EXPECT_TRUE(given.formatGiven());
}

TEST(RowReader, FormatFromTheFileName) {
    EXPECT_EQ(formatOfName("a/b.csv"), Format::Csv);
    EXPECT_EQ(formatOfName("rows.jsonl"), Format::Jsonl);
    EXPECT_EQ(formatOfName("rows.ndjson"), Format::Jsonl);
    EXPECT_EQ(formatOfName("rows.json"), Format::Jsonl);
    EXPECT_EQ(formatOfName("rows.txt"), std::nullopt);
    EXPECT_EQ(formatOfName("dir.csv/rows"), std::nullopt);
}

// ---- conditions -----------------------------------------------------------------------------

TEST(Conditions, TextsBecomeEntries) {
    struct Case {
        const char* text;
        int32_t field, offset, op;
        bool numeric;
        int32_t scale, width;
        std::string value;
    };
    const Case cases[] = {
        {"3 = Oslo", 3, 0, MDK_OP_EQ, false, 0, -1, "Oslo"},
        {"3=Oslo", 3, 0, MDK_OP_EQ, false, 0, -1, "Oslo"},
        {"key@2 <> AB", 0, 2, MDK_OP_NE, false, 0, -1, "AB"},
        {"1 != x", 1, 0, MDK_OP_NE, false, 0, -1, "x"},
        {"2 <= \"New York\"", 2, 0, MDK_OP_LE, false, 0, -1, "New York"},
        {"2 < \"say \\\"x\\\"\"", 2, 0, MDK_OP_LT, false, 0, -1, "say \"x\""},
        {"2 >= \\x8a\\x00", 2, 0, MDK_OP_GE, false, 0, -1, "\x8a\x00"s},
        {"4 > 12.5 num", 4, 0, MDK_OP_GT | MDK_OP_NUMERIC, true, 0, -1, "12.5"},
        {"4@1 == -3 scale=2 width=6", 4, 1, MDK_OP_EQ | MDK_OP_NUMERIC, true, 2, 6, "-3"},
    };
    for (const Case& c : cases) {
        const Condition got = parseCondition(c.text, Encoding::Raw);
        EXPECT_EQ(got.field, c.field) << c.text;
        EXPECT_EQ(got.offset, c.offset) << c.text;
        EXPECT_EQ(got.op, c.op) << c.text;
        EXPECT_EQ(got.numeric, c.numeric) << c.text;
        EXPECT_EQ(got.scale, c.scale) << c.text;
        EXPECT_EQ(got.width, c.width) << c.text;
        EXPECT_EQ(got.value, c.value) << c.text;
    }
}

TEST(Conditions, MistakesAreNamed) {
    for (const char* bad : {"", "0 = a", "name = a", "3 =~ a", "3 = ", "3 = \"open", "3 = a b",
                            "3 > abc num", "3 > 1 scale=", "3@ = a", "3 = \\q"}) {
        EXPECT_THROW(parseCondition(bad, Encoding::Raw), Failure) << bad;
    }
}

TEST(Conditions, NumbersWithoutWidthTakeTheWidestField) {
    const Condition key = parseCondition("key@2 = 7 num", Encoding::Raw);
    EXPECT_EQ(restrictEntry(key, 10, 80).width, 8);  // the rest of the key area
    const Condition data = parseCondition("3 = 7 num", Encoding::Raw);
    EXPECT_EQ(restrictEntry(data, 10, 80).width, 80);
    const Condition given = parseCondition("3 = 7 width=4", Encoding::Raw);
    EXPECT_EQ(restrictEntry(given, 10, 80).width, 4);
}

TEST(Conditions, PackedProgramHasTheDocumentedShape) {
    const Condition a = parseCondition("2 >= 12 num scale=1", Encoding::Raw);
    const Condition b = parseCondition("key = AB", Encoding::Raw);
    const std::vector<MdkRestrictEntry> entries{restrictEntry(a, 6, 40), restrictEntry(b, 6, 40)};
    const std::string packed = packedProgram(entries, "K1", 3);
    const std::string expected =
        "\x00\x02"s  // two entries
        "\x00\x02\x00\x00\x00\x28\x80\x05\x00\x01\x00\x02"
        "12"s  // field 2, width 40, >= num
        "\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x02"
        "AB"s  // key area, =
        "\x00\x02\x00\x03"
        "K1"s;  // start key, key number 3
    EXPECT_EQ(escape(packed), escape(expected));
}

// ---- columns --------------------------------------------------------------------------------

// A catalog record of a column, as MDFetchColumn delivers it.
MdkColumnRecord columnRecord(const char* name, int32_t field, int32_t offset, char type,
                             char storage, int32_t length, int32_t decimals = 0, int32_t flags = 0,
                             int32_t padChar = 0) {
    MdkColumnRecord r{};
    std::snprintf(r.name, sizeof r.name, "%s", name);
    r.field = field;
    r.offset = offset;
    r.type = type;
    r.storage = storage;
    r.length = length;
    r.decimals = decimals;
    r.columnFlags = flags;
    r.padChar = padChar;
    return r;
}

// The sample data set's customers as its .ini dictionary describes them: the key, a fixed
// region padded with '0' on the left, then name, city and balance.
Table customers() {
    const MdkColumnRecord records[] = {
        columnRecord("CUSTNO", 0, 0, 'S', 'D', 6),
        columnRecord("REGION", 1, 0, 'S', 'F', 2, 0, 16, '0'),
        columnRecord("NAME", 1, 2, 'S', 'D', 30),
        columnRecord("CITY", 2, 0, 'S', 'D', 15),
        columnRecord("BALANCE", 3, 0, 'N', 'D', 9, 2),
    };
    std::vector<Column> columns;
    for (const MdkColumnRecord& r : records)
        columns.push_back(columnOf(r, true));
    return Table("CUSTOMERS", columns);
}

// A table from an embedded dictionary: a key of two columns, fixed numbers and a text sharing
// field 1, an element not held in the record (storage V) and a last delimited number.
Table stock() {
    const MdkColumnRecord records[] = {
        columnRecord("AREA", 0, 0, 'S', 'D', 2),      columnRecord("NUMBER", 0, 2, 'N', 'D', 4),
        columnRecord("BIN", 1, 0, 'N', 'F', 3),       columnRecord("NOTE", 1, 3, 'S', 'D', 10),
        columnRecord("MARGIN", 0, 0, 'N', 'V', 5, 1), columnRecord("PRICE", 2, 0, 'N', 'D', 9, 2),
        columnRecord("Count", 3, 0, 'N', 'D', 4),
    };
    std::vector<Column> columns;
    for (const MdkColumnRecord& r : records)
        columns.push_back(columnOf(r, false));
    return Table("stock", columns);
}

TEST(Columns, NamesFindTheirPlaceInTheRecord) {
    struct Case {
        const Table& table;
        const char* name;
        std::optional<FieldPlace> place;  // field, offset, width (0: the rest of the field)
    };
    const Table c = customers();
    const Table s = stock();
    const Case cases[] = {
        {c, "CUSTNO", FieldPlace{0, 0, 6}},
        {c, "region", FieldPlace{1, 0, 2}},
        {c, "Name", FieldPlace{1, 2, 0}},
        {c, "BALANCE", FieldPlace{3, 0, 0}},
        {s, "AREA", FieldPlace{0, 0, 2}},
        {s, "NUMBER", FieldPlace{0, 2, 4}},
        {s, "BIN", FieldPlace{1, 0, 3}},
        {s, "NOTE", FieldPlace{1, 3, 0}},
        {s, "COUNT", FieldPlace{3, 0, 0}},
        {s, "MARGIN", std::nullopt},  // not in the record
        {c, "TOWN", std::nullopt},
        {c, "CITY2", std::nullopt},
        {c, "", std::nullopt},
    };
    for (const Case& k : cases) {
        const std::optional<FieldPlace> got = k.table.place(k.name);
        ASSERT_EQ(got.has_value(), k.place.has_value()) << k.name;
        if (!got) continue;
        EXPECT_EQ(got->field, k.place->field) << k.name;
        EXPECT_EQ(got->offset, k.place->offset) << k.name;
        EXPECT_EQ(got->width, k.place->width) << k.name;
    }
    EXPECT_EQ(c.lastField(), 3);
    EXPECT_EQ(s.lastField(), 3);
    EXPECT_EQ(c.overlap(), "");

    // Two columns of one name cannot be told apart; two at one byte cannot both be printed.
    const Table twice("T", {columnOf(columnRecord("A", 1, 0, 'S', 'D', 4), true),
                            columnOf(columnRecord("a", 1, 0, 'S', 'D', 4), true)});
    EXPECT_THROW(twice.find("A"), Failure);
    EXPECT_EQ(twice.overlap(), "A and a");
}

TEST(Columns, ConditionsTakeColumnNames) {
    const Table c = customers();
    const FieldNames names = [&c](std::string_view name) { return c.place(name); };
    struct Case {
        const char* text;
        int32_t field, offset, width;
    };
    const Case cases[] = {
        {"CITY = Oslo", 2, 0, -1},
        {"city=Oslo", 2, 0, -1},
        {"NAME@3 = Trading", 1, 5, -1},
        {"REGION = NO", 1, 0, -1},
        {"REGION@1 = O", 1, 1, -1},
        {"REGION > 5 num", 1, 0, 2},  // a number is read from the column's bytes only
        {"BALANCE >= 100 num", 3, 0, -1},
        {"CUSTNO < C00010", 0, 0, -1},
        {"key@2 = 001", 0, 2, -1},  // "key" is the whole key area still
        {"2 = Oslo", 2, 0, -1},     // and numbers the fields
    };
    for (const Case& k : cases) {
        const Condition got = parseCondition(k.text, Encoding::Raw, names);
        EXPECT_EQ(got.field, k.field) << k.text;
        EXPECT_EQ(got.offset, k.offset) << k.text;
        EXPECT_EQ(got.width, k.width) << k.text;
    }
    for (const char* bad : {"TOWN = Oslo", "REGION = NOX", "REGION@2 = X", "REGION@1 = OX"}) {
        EXPECT_THROW(parseCondition(bad, Encoding::Raw, names), Failure) << bad;
    }
    // without a table, no names
    EXPECT_THROW(parseCondition("CITY = Oslo", Encoding::Raw), Failure);
    // A column's width is counted in the file's bytes: "Š" is one byte (0x8A) there.
    const Condition one = parseCondition("REGION@1 = Š", Encoding::Utf8, names);
    EXPECT_EQ(one.value, "\x8a");
    EXPECT_EQ(one.offset, 1);
    EXPECT_THROW(parseCondition("REGION@1 = ŠŠ", Encoding::Utf8, names), Failure);
}

TEST(Columns, NumbersAreTypedOnlyWhenTheirTextComesBack) {
    const Table c = customers();
    const Table s = stock();
    struct Case {
        const Column& column;
        std::string bytes;
        const char* json;  // the jsonl value
    };
    const Column& balance = *c.find("BALANCE");
    const Column& bin = *s.find("BIN");
    const Column& count = *s.find("COUNT");
    const Column& city = *c.find("CITY");
    const Case cases[] = {
        {balance, "12.50", "12.5"},
        {balance, "0.00", "0.0"},
        {balance, "-3.25", "-3.25"},
        {balance, "79.19", "79.19"},
        {balance, "12.5", "\"12.5\""},  // not two decimals: kept as its text
        {balance, "1,250.00", "\"1,250.00\""},
        {balance, " 12.50", "\" 12.50\""},
        {balance, "", "\"\""},
        {balance, "12345678901234567.25", "\"12345678901234567.25\""},  // beyond a double
        {bin, "011", "11"},  // a fixed number: zero-filled to its width
        {bin, "000", "0"},
        {bin, "11", "\"11\""},
        {bin, "1x1", "\"1x1\""},
        {count, "50", "50"},
        {count, "050", "\"050\""},
        {count, "+5", "\"+5\""},
        {count, "-0", "\"-0\""},
        {count, "99999999999999999999", "\"99999999999999999999\""},
        {city, "1234", "\"1234\""},  // a text column stays text
        {city, "Z\xfcrich", "\"Z\\\\xfcrich\""},
    };
    for (const Case& k : cases) {
        const nlohmann::ordered_json value = typedValue(k.column, k.bytes, Encoding::Raw);
        EXPECT_EQ(value.dump(), k.json) << k.column.name << " " << escape(k.bytes);
        // Whatever was printed loads back to the same bytes.
        EXPECT_EQ(valueBytes(k.column, nlohmann::json::parse(value.dump()), Encoding::Raw), k.bytes)
            << k.column.name << " " << escape(k.bytes);
    }
}

TEST(Columns, JsonValuesBecomeTheColumnsText) {
    const Table c = customers();
    const Table s = stock();
    struct Case {
        const Column& column;
        const char* json;
        std::optional<std::string> bytes;  // nothing: refused
    };
    const Column& balance = *c.find("BALANCE");
    const Case cases[] = {
        {balance, "12", "12.00"},
        {balance, "12.5", "12.50"},
        {balance, "-0.1", "-0.10"},
        {balance, "18446744073709551615", "18446744073709551615.00"},
        {balance, "12.345", std::nullopt},  // a decimal would be lost
        {balance, "\"12.5\"", "12.5"},
        {balance, "\"\\\\x8a\"", "\x8a"},
        {balance, "null", std::nullopt},
        {balance, "true", std::nullopt},
        {balance, "[1]", std::nullopt},
        {*s.find("BIN"), "7", "007"},
        {*s.find("BIN"), "7.0", "007"},
        {*s.find("BIN"), "7.5", std::nullopt},
        {*s.find("COUNT"), "7", "7"},
        {*c.find("CITY"), "5", std::nullopt},  // a number for a text column
        {*c.find("CITY"), "\"bad \\\\q\"", std::nullopt},
    };
    for (const Case& k : cases) {
        const nlohmann::json value = nlohmann::json::parse(k.json);
        if (k.bytes) {
            EXPECT_EQ(valueBytes(k.column, value, Encoding::Raw), *k.bytes) << k.json;
        } else {
            EXPECT_THROW(valueBytes(k.column, value, Encoding::Raw), EscapeError) << k.json;
        }
    }
}

TEST(Columns, ValuesMakeFieldsAndFieldsGiveValuesBack) {
    const Table c = customers();
    const Table s = stock();
    struct Case {
        const Table& table;
        std::vector<std::pair<const char*, std::string>> values;
        Fields fields;  // [0] the key area
    };
    const Case cases[] = {
        {c,
         {{"CUSTNO", "C00001"},
          {"REGION", "NO"},
          {"NAME", "Acme"},
          {"CITY", "Oslo"},
          {"BALANCE", "1.00"}},
         {"C00001", "NOAcme", "Oslo", "1.00"}},
        // any order; a short right-justified column is filled with its pad character on the
        // left, only when more follows in its field
        {c, {{"CITY", "Oslo"}, {"NAME", "Acme"}, {"REGION", "N"}}, {"", "0NAcme", "Oslo", ""}},
        {c, {{"REGION", "N"}}, {"", "N", "", ""}},
        {c, {{"NAME", "Acme"}}, {"", "00Acme", "", ""}},
        {s,
         {{"AREA", "B"}, {"NUMBER", "12"}, {"BIN", "7"}, {"NOTE", "x"}, {"PRICE", "2.00"}},
         {"B 12", "007x", "2.00", ""}},
        {s, {{"AREA", "AB"}, {"NUMBER", "0012"}}, {"AB0012", "", "", ""}},
        {s, {}, {"", "", "", ""}},
    };
    for (const Case& k : cases) {
        std::vector<ColumnValue> values;
        for (const auto& [name, bytes] : k.values)
            values.push_back({k.table.find(name), bytes});
        const Fields got = assembleFields(k.table, values);
        EXPECT_EQ(got, k.fields) << k.table.name() << " " << k.values.size();
    }
    // Values that fill their columns come back as they were given.
    const Fields record = assembleFields(s, {{s.find("AREA"), "AB"},
                                             {s.find("NUMBER"), "0012"},
                                             {s.find("BIN"), "007"},
                                             {s.find("NOTE"), "x y"},
                                             {s.find("PRICE"), "2.00"},
                                             {s.find("COUNT"), "3"}});
    for (const auto& [name, bytes] :
         std::vector<std::pair<const char*, std::string>>{{"AREA", "AB"},
                                                          {"NUMBER", "0012"},
                                                          {"BIN", "007"},
                                                          {"NOTE", "x y"},
                                                          {"PRICE", "2.00"},
                                                          {"COUNT", "3"},
                                                          {"MARGIN", ""}}) {
        EXPECT_EQ(columnBytes(*s.find(name), record), bytes) << name;
    }
    const std::vector<std::pair<const Table*, std::vector<ColumnValue>>> tooLong = {
        {&c, {{c.find("REGION"), "NOR"}}},
        {&c, {{c.find("CUSTNO"), "C000001"}}},
        {&s, {{s.find("BIN"), "1234"}, {s.find("NOTE"), "x"}}},
    };
    for (const auto& [table, values] : tooLong)
        EXPECT_THROW(assembleFields(*table, values), EscapeError) << values[0].column->name;
}

TEST(Columns, RecordsSplitIntoFieldBytes) {
    const FieldCodec separated(0x8a, Encoding::Utf8);
    EXPECT_EQ(fieldBytes({"K1", "a\x8a\x8a\\b"}, separated), (Fields{"K1", "a", "", "\\b"}));
    const FieldCodec prefixed(FieldCodec::kLengthPrefixed, Encoding::Utf8);
    EXPECT_EQ(fieldBytes({"K1",
                          "\x02"
                          "ab\x00"s},
                         prefixed),
              (Fields{"K1", "ab", ""}));
    EXPECT_EQ(fieldBytes({"K1",
                          "\x05"
                          "ab"s},
                         prefixed),
              std::nullopt);  // cut short
    EXPECT_EQ(fieldBytes({"K1",
                          "\xf1\x02"
                          "ab"s},
                         prefixed),
              std::nullopt);  // unusual prefix
}

TEST(Columns, CsvHeadersNameColumnsInAnyOrder) {
    const Table c = customers();
    struct Case {
        const char* header;
        const char* row;
        std::string key;
        Fields fields;
    };
    const Case cases[] = {
        {"key,REGION,NAME,CITY,BALANCE",
         "C00001,NO,Acme,Oslo,1.00",
         "C00001",
         {"NOAcme", "Oslo", "1.00"}},
        {"balance,city,custno,name,region",
         "1.00,Oslo,C00001,Acme,NO",
         "C00001",
         {"NOAcme", "Oslo", "1.00"}},
        {"CITY,key", "\"Oslo, Norway\",C\\x8a1", "C\\x8a1", {"", "Oslo, Norway", ""}},
        {"key,NAME", "K,\\x8a", "K", {"00\\x8a", "", ""}},
    };
    for (const Case& k : cases) {
        NamedRowParser parse(c, Format::Csv, Encoding::Raw);
        EXPECT_EQ(parse(k.header), std::nullopt) << k.header;
        const std::optional<Row> row = parse(k.row);
        ASSERT_TRUE(row) << k.header;
        EXPECT_EQ(row->key, k.key) << k.header;
        EXPECT_EQ(row->fields, k.fields) << k.header;
    }
    for (const char* bad :
         {"key,TOWN", "key,CITY,city", "CITY,NAME", "key,CUSTNO,CITY", "key,\"CITY", "key,key"}) {
        NamedRowParser parse(c, Format::Csv, Encoding::Raw);
        EXPECT_THROW(parse(bad), Failure) << bad;
    }
    NamedRowParser parse(c, Format::Csv, Encoding::Raw);
    parse("key,CITY");
    for (const char* bad : {"K1", "K1,Oslo,x", "K1,\\q", "K1,\"Oslo"})
        EXPECT_THROW(parse(bad), EscapeError) << bad;
}

TEST(Columns, JsonlRowsAreKeyedByColumnName) {
    const Table c = customers();
    NamedRowParser parse(c, Format::Jsonl, Encoding::Raw);
    const std::optional<Row> row =
        parse(R"({"BALANCE": 12.5, "key": "C00001", "CITY": "Oslo", "region": "NO"})");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->key, "C00001");
    EXPECT_EQ(row->fields, (Fields{"NO", "Oslo", "12.50"}));
    const std::optional<Row> byKeyColumn = parse(R"({"CUSTNO": "C00002"})");
    ASSERT_TRUE(byKeyColumn);
    EXPECT_EQ(byKeyColumn->key, "C00002");
    for (const char* bad : {R"({"CITY": "Oslo"})", R"({"key": "K", "CUSTNO": "K"})",
                            R"({"key": "K", "fields": ["a"]})", R"({"key": 5})",
                            R"({"key": "K", "BALANCE": 1.001})", R"(["K"])"}) {
        EXPECT_THROW(parse(bad), EscapeError) << bad;
    }
}

// Column values are text in the encoding asked for, both ways; widths count the file's bytes.
TEST(Columns, ValuesAreTextInTheEncoding) {
    const Table c = customers();
    const Column& city = *c.find("CITY");
    struct Case {
        Encoding encoding;
        std::string bytes;
        const char* json;  // the jsonl value
    };
    const Case cases[] = {
        {Encoding::Utf8, "Z\xfcrich", "\"Zürich\""},
        {Encoding::Utf8, "\x8a\x80", "\"Š€\""},
        {Encoding::Utf8, "a\\b\x81", "\"a\\\\\\\\b\\\\x81\""},  // a\\b\x81
        {Encoding::Raw, "Z\xfcrich", "\"Z\\\\xfcrich\""},
    };
    for (const Case& k : cases) {
        const nlohmann::ordered_json value = typedValue(city, k.bytes, k.encoding);
        EXPECT_EQ(value.dump(), k.json) << escape(k.bytes);
        EXPECT_EQ(valueBytes(city, nlohmann::json::parse(value.dump()), k.encoding), k.bytes)
            << escape(k.bytes);
    }
    EXPECT_THROW(valueBytes(city, "上", Encoding::Utf8), EncodingError);

    // Rows read by name: the values are stored as the file's bytes, and the row's text is in the
    // encoding again, so that it becomes those bytes.
    NamedRowParser csv(c, Format::Csv, Encoding::Utf8);
    csv("key,REGION,NAME");
    const std::optional<Row> row = csv("Ö1,Š,Zürich");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->key, "Ö1");
    // Š is one byte in the file: padded to REGION's two with its pad character.
    EXPECT_EQ(row->fields, (Fields{"0ŠZürich", "", ""}));
    EXPECT_EQ(recordOf(*row, FieldCodec(0x7c, Encoding::Utf8), FileKind::Classic).data,
              "0\x8aZ\xfcrich||");
    EXPECT_THROW(csv("K,ŠŠŠ,x"), EscapeError);  // three bytes in a column of two
    EXPECT_THROW(csv("K,N,上"), EncodingError);
    NamedRowParser jsonl(c, Format::Jsonl, Encoding::Utf8);
    const std::optional<Row> named = jsonl(R"({"key": "Ö1", "CITY": "Zürich"})");
    ASSERT_TRUE(named);
    EXPECT_EQ(named->fields, (Fields{"", "Zürich", ""}));
    EXPECT_THROW(jsonl(R"({"key": "上"})"), EncodingError);
}

// ---- layouts --------------------------------------------------------------------------------

TEST(Layouts, JsonBecomesTheBuilderLayoutAndBack) {
    const nlohmann::json given = nlohmann::json::parse(R"({
        "kind": "classic", "storage": "slot", "blockSize": 2048, "recordSize": 100,
        "keyAreaSize": 8, "maxRecords": 500, "compress": false, "fillPercent": 20,
        "separator": "|", "padSignificant": true, "counterCheck": true,
        "newRecordOnUpdate": true, "magic": "[Tjwkey]",
        "keys": [
          {"unique": false, "sequence": true,
           "segments": [{"field": "key", "offset": 0, "length": 8, "descending": false,
                         "options": [], "null": 0}]},
          {"unique": true, "sequence": false,
           "segments": [{"field": 2, "offset": 3, "length": 10, "descending": true,
                         "options": ["upper", "fold-accents"], "null": 32},
                        {"field": 0, "offset": 0, "length": 4, "descending": false,
                         "options": ["flip-sign"], "null": 0}]}]})");
    const Layout layout = layoutFromJson(given);
    ASSERT_EQ(layout.kind, FileKind::Classic);
    const auto& c = layout.classic;
    EXPECT_FALSE(c.blockMode);
    EXPECT_EQ(c.blockSize, 2048);
    EXPECT_EQ(c.recordSize, 100);
    EXPECT_EQ(c.keyAreaSize, 8);
    EXPECT_EQ(c.maxRecords, 500u);
    EXPECT_EQ(c.fillPercent, 20);
    EXPECT_EQ(c.separator, mdnio::devtools::ClassicLayout::Separator::Byte);
    EXPECT_EQ(c.separatorByte, '|');
    EXPECT_TRUE(c.padSignificant && c.counterCheck && c.newRecordOnUpdate && c.tjwMagic);
    ASSERT_EQ(c.keys.size(), 2u);
    ASSERT_EQ(c.keys[0].segments.size(), 1u);
    ASSERT_EQ(c.keys[1].segments.size(), 2u);
    EXPECT_TRUE(c.keys[0].sequence && !c.keys[0].unique);
    EXPECT_TRUE(c.keys[1].unique && !c.keys[1].sequence);
    const mdnio::devtools::Segment& s = c.keys[1].segments[0];
    EXPECT_EQ(s.field, 2);
    EXPECT_EQ(s.offset, 3);
    EXPECT_EQ(s.length, 10);
    EXPECT_TRUE(s.descending);
    EXPECT_EQ(s.options, MDK_SEG_UPPER | MDK_SEG_FOLD_ACCENTS);
    EXPECT_EQ(s.nullByte, 32);
    EXPECT_EQ(c.keys[0].segments[0].field, mdnio::devtools::kKeyAreaField);
    // Written out again it is the same document.
    EXPECT_EQ(nlohmann::json::parse(layoutToJson(layout).dump()), given);
}

TEST(Layouts, IndexedLayouts) {
    const Layout l = layoutFromJson(
        nlohmann::json::parse(R"({"kind": "indexed", "recordSize": 40, "separator": "none"})"));
    EXPECT_EQ(l.kind, FileKind::Indexed);
    EXPECT_EQ(l.indexed.recordSize, 40);
    EXPECT_EQ(l.indexed.separator, mdnio::devtools::IndexedLayout::Separator::None);
    const Layout b = layoutFromJson(
        nlohmann::json::parse(R"({"kind": "indexed", "recordSize": 8, "separator": 9})"));
    EXPECT_EQ(b.indexed.separator, mdnio::devtools::IndexedLayout::Separator::Byte);
    EXPECT_EQ(b.indexed.separatorByte, 9);
}

TEST(Layouts, MistakesNameTheMember) {
    struct Case {
        const char* json;
        const char* named;
    };
    const Case cases[] = {
        {R"({"keys": [{"segments": [{"field": "key", "length": 4}]}], "recordsize": 9})",
         "unknown member \"recordsize\""},
        {R"({"storage": "heap", "keys": []})", "layout.storage"},
        {R"({"keys": []})", "layout.keys"},
        {R"({"keys": [{"segments": [{"field": "key", "length": 200}]}]})", "length"},
        {R"({"keys": [{"segments": [{"field": "data", "length": 2}]}]})", "field"},
        {R"({"keys": [{"segments": [{"field": 1, "length": 2, "options": ["shout"]}]}]})",
         "\"shout\" is not an option"},
        {R"({"keys": [{"unique": true, "segments": [{"field": 1, "length": 2}]}]})",
         "always unique"},
        {R"({"keys": [{"segments": [{"field": 1, "length": 2}]}], "separator": "ab"})",
         "separator"},
        {R"({"kind": "indexed"})", "recordSize"},
        {R"({"kind": "flat"})", "layout.kind"},
    };
    for (const Case& c : cases) {
        try {
            layoutFromJson(nlohmann::json::parse(c.json));
            ADD_FAILURE() << "accepted " << c.json;
        } catch (const Failure& f) {
            EXPECT_NE(std::string(f.what()).find(c.named), std::string::npos)
                << f.what() << " for " << c.json;
            EXPECT_EQ(f.exitStatus(), kExitUsage);
        }
    }
}

// ---- waiting for a busy lock ------------------------------------------------------------------

// The policy is the program's: each test sets its own and puts the default back.
class Waiting : public testing::Test {
  protected:
    void TearDown() override { setWaitPolicy(WaitPolicy{}); }

    // Waits after busy answers until the patience gives up; its failure.
    static Failure gaveUp(Patience& patience, int code) {
        for (int tries = 0; tries < 100000; ++tries) {
            try {
                patience.wait(code);
            } catch (const Failure& f) {
                return f;
            }
        }
        ADD_FAILURE() << "never gave up";
        return Failure("");
    }
};

TEST_F(Waiting, BusyCodesAreTheLockCodes) {
    EXPECT_TRUE(isBusyCode(MDK_E_HEADERBUSY));
    EXPECT_TRUE(isBusyCode(MDK_E_BUSY));
    for (int code : {0, MDK_E_KEY, MDK_E_EOF, MDK_E_OPEN, MDK_E_TXBEGIN})
        EXPECT_FALSE(isBusyCode(code)) << code;
}

TEST_F(Waiting, NoWaitGivesUpAtTheFirstBusyAnswer) {
    setWaitPolicy(WaitPolicy{0});
    Patience patience("f.dat");
    testing::internal::CaptureStderr();
    const Failure f = gaveUp(patience, MDK_E_HEADERBUSY);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // nothing waited for, nothing said
    EXPECT_EQ(f.exitStatus(), kExitBusy);
    EXPECT_EQ(f.code(), MDK_E_HEADERBUSY);
    EXPECT_EQ(std::string(f.what()),
              "f.dat: busy, not waiting (--nowait): another process holds its header lock (an "
              "open transaction?): File header is busy -- retry later (code 38)");
}

TEST_F(Waiting, ATimeoutGivesUpAfterSayingOnceWhatItWaitsFor) {
    setWaitPolicy(WaitPolicy{0.05});
    Patience first("f.dat"), second("g.dat");
    testing::internal::CaptureStderr();
    const Failure f = gaveUp(first, MDK_E_BUSY);
    gaveUp(second, MDK_E_BUSY);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said,
              "mdk: waiting for f.dat: another process holds a lock this call needs (its header "
              "or a record); giving up after 0.05 s (--timeout S to change, --nowait not to "
              "wait)\n");
    EXPECT_EQ(f.exitStatus(), kExitBusy);
    EXPECT_EQ(f.code(), MDK_E_BUSY);
    EXPECT_NE(std::string(f.what()).find("f.dat: still busy after 0.05 s (--timeout)"),
              std::string::npos)
        << f.what();
}

}  // namespace
}  // namespace mdk

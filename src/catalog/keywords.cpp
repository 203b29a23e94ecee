#include "catalog/keywords.h"

#include <array>

#include "catalog/text.h"

namespace mdnio::catalog {

namespace {

enum class Kw {
    Numeric,
    String,
    UnsignedBinary,
    Uni,
    Year,
    Bnr,
    Logical,
    Binary,
    I86,
    Format,
    Fixed,
    NoStrip,
    Substring,
    Variable,
    Padded,
    Signed,
    Decimal,
    Delimited,
    Separator,
    Hide,
    NoShow,
    MustBe,
    Class,
    Key,
    Length,
    StarRecType,
    RecType,
    Field,
    Offset,
    SameAs,
};

struct KeywordName {
    std::string_view name;
    Kw kw;
};

// In the order they are tried: where an abbreviation fits two names (NOS: NOSTRIP and NOSHOW),
// the earlier one is taken.
constexpr std::array<KeywordName, 30> kKeywords = {{
    {"NUMERIC", Kw::Numeric},
    {"STRING", Kw::String},
    {"UNSIGNEDBINARY", Kw::UnsignedBinary},
    {"UNI", Kw::Uni},
    {"ORB77*YEAR", Kw::Year},
    {"BNR", Kw::Bnr},
    {"LOGICAL", Kw::Logical},
    {"BINARY", Kw::Binary},
    {"I86", Kw::I86},
    {"FORMAT", Kw::Format},
    {"FIXED", Kw::Fixed},
    {"NOSTRIP", Kw::NoStrip},
    {"SUBSTRING", Kw::Substring},
    {"VARIABLE", Kw::Variable},
    {"PADDED", Kw::Padded},
    {"SIGNED", Kw::Signed},
    {"DECIMAL", Kw::Decimal},
    {"DELIMITED", Kw::Delimited},
    {"SEPARATOR", Kw::Separator},
    {"HIDE", Kw::Hide},
    {"NOSHOW", Kw::NoShow},
    {"MUSTBE", Kw::MustBe},
    {"CLASS", Kw::Class},
    {"KEY", Kw::Key},
    {"LENGTH", Kw::Length},
    {"*RECTYPE", Kw::StarRecType},
    {"RECTYPE", Kw::RecType},
    {"FIELD", Kw::Field},
    {"OFFSET", Kw::Offset},
    {"SAMEAS", Kw::SameAs},
}};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool endsToken(char c) {
    return isBlank(c) || c == ',';
}

bool isOperator(char c) {
    return c == '=' || c == '<' || c == '>';
}

// Reads a value from `at` to the next blank or comma outside double quotes.
std::string readValue(std::string_view list, size_t& at) {
    std::string value;
    bool quoted = false;
    while (at < list.size()) {
        char c = list[at];
        if (quoted) {
            if (c == '"') {
                if (at + 1 < list.size() && list[at + 1] == '"') {
                    value.push_back('"');
                    at += 2;
                    continue;
                }
                quoted = false;
            } else {
                value.push_back(c);
            }
            ++at;
            continue;
        }
        if (endsToken(c)) break;
        if (c == '"') {
            quoted = true;
        } else {
            value.push_back(upperAscii(c));
        }
        ++at;
    }
    return value;
}

// CLASS=RIGHT, or RIGHT followed by the pad character's decimal code (5 to 8 characters in
// all), right-justifies the column.
void applyClass(const std::string& value, ColumnDraft& column) {
    MdkColumnRecord& r = column.record;
    copyField(r.class_, value);
    if (value.size() < 5 || value.size() > 8 || upperAscii(value.substr(0, 5)) != "RIGHT") return;
    r.columnFlags |= kColumnRight;
    r.padChar =
        value.size() == 5 ? kDefaultPadChar : parseDecimal(std::string_view(value).substr(5));
}

void applyLength(std::string_view value, ColumnDraft& column) {
    column.record.length = parseDecimal(value);
    size_t dot = value.find('.');
    column.record.decimals =
        dot == std::string_view::npos ? 0 : parseDecimal(value.substr(dot + 1));
}

void apply(Kw kw, const KeywordToken& token, ColumnDraft& column) {
    MdkColumnRecord& r = column.record;
    const std::string& v = token.value;
    switch (kw) {
        case Kw::Numeric:
            r.type = 'N';
            break;
        case Kw::String:
            r.type = 'S';
            break;
        case Kw::UnsignedBinary:
            r.type = 'U';
            r.storage = 'F';
            break;
        case Kw::Uni:
            r.type = 'N';
            r.storage = 'I';
            break;
        case Kw::Year:
            r.type = 'R';
            break;
        case Kw::Bnr:
            r.type = 'B';
            break;
        case Kw::Logical:
            r.type = 'L';
            break;
        case Kw::Binary:
            r.storage = 'B';
            break;
        case Kw::I86:
            r.storage = '8';
            break;
        case Kw::Format:
            copyField(r.format, v);
            break;
        case Kw::Fixed:
            r.storage = 'F';
            break;
        case Kw::NoStrip:
            r.storage = 'P';
            break;
        case Kw::Substring:
            r.storage = 'S';
            break;
        case Kw::Variable:
            r.storage = 'D';
            break;
        case Kw::Padded:
            r.storage = 'L';
            break;
        case Kw::Signed:
            r.storage = 'G';
            break;
        case Kw::Decimal:
            r.storage = 'C';
            break;
        case Kw::Delimited:
            r.storage = 'Z';
            break;
        case Kw::Separator:
            r.fieldSeparator = parseDecimal(v);
            break;
        case Kw::Hide:
            r.columnFlags |= kColumnHide;
            break;
        case Kw::NoShow:
            r.columnFlags |= kColumnNoShow;
            break;
        case Kw::MustBe:
            copyField(r.mustBe, v);
            r.mustBeOp = static_cast<uint8_t>(token.op);
            break;
        case Kw::Class:
            applyClass(v, column);
            break;
        case Kw::Key:
            break;
        case Kw::Length:
            applyLength(v, column);
            break;
        case Kw::StarRecType:
            r.columnFlags |= kColumnStarRecType;
            break;
        case Kw::RecType:
            copyField(r.recType, v);
            r.columnFlags |= kColumnRecType;
            break;
        case Kw::Field:
            r.field = parseDecimal(v);
            r.offset = 0;
            column.fieldGiven = true;
            break;
        case Kw::Offset:
            r.offset = parseDecimal(v);
            column.offsetGiven = true;
            break;
        case Kw::SameAs:
            copyField(r.sameAs, v);
            break;
    }
}

}  // namespace

std::vector<KeywordToken> tokenizeKeywords(std::string_view list) {
    std::vector<KeywordToken> tokens;
    size_t at = 0;
    while (at < list.size()) {
        while (at < list.size() && endsToken(list[at]))
            ++at;
        if (at >= list.size()) break;
        KeywordToken token;
        while (at < list.size() && !endsToken(list[at]) && !isOperator(list[at])) {
            token.keyword.push_back(upperAscii(list[at]));
            ++at;
        }
        if (at < list.size() && isOperator(list[at])) {
            token.op = list[at];
            ++at;
            token.value = readValue(list, at);
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

int matchKeyword(std::string_view keyword) {
    size_t compared = std::min<size_t>(keyword.size(), 4);
    if (compared < 3) return -1;
    std::string_view head = keyword.substr(0, compared);
    for (size_t i = 0; i < kKeywords.size(); ++i) {
        std::string_view name = kKeywords[i].name;
        if (name.size() >= compared && name.substr(0, compared) == head) return static_cast<int>(i);
    }
    return -1;
}

std::string_view keywordName(int index) {
    if (index < 0 || static_cast<size_t>(index) >= kKeywords.size()) return {};
    return kKeywords[static_cast<size_t>(index)].name;
}

void applyKeywords(std::string_view list, ColumnDraft& column) {
    for (const KeywordToken& token : tokenizeKeywords(list)) {
        int index = matchKeyword(token.keyword);
        if (index >= 0) apply(kKeywords[static_cast<size_t>(index)].kw, token, column);
    }
}

}  // namespace mdnio::catalog

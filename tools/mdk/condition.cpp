#include "mdk/condition.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <string_view>

#include "mdk/encoding.h"
#include "mdk/failure.h"

namespace mdk {

namespace {

constexpr int32_t kPackedLimit = 0xFFFF;  // the packed program's numbers are 16 bits

[[noreturn]] void refuse(const std::string& text, const std::string& why) {
    throw Failure(fmt::format("--where \"{}\": {}", text, why), kExitUsage);
}

class Scanner {
  public:
    explicit Scanner(std::string_view text) : text_(text) {}
    void blanks() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
            ++pos_;
    }
    bool atEnd() {
        blanks();
        return pos_ >= text_.size();
    }
    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    std::string_view takeWhile(bool (*accept)(char)) {
        const size_t start = pos_;
        while (pos_ < text_.size() && accept(text_[pos_]))
            ++pos_;
        return text_.substr(start, pos_ - start);
    }
    void skip() { ++pos_; }

  private:
    std::string_view text_;
    size_t pos_ = 0;
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}
bool isOperatorChar(char c) {
    return c == '=' || c == '!' || c == '<' || c == '>';
}
bool isValueChar(char c) {
    return !std::isspace(static_cast<unsigned char>(c));
}
bool isNameChar(char c) {
    return isValueChar(c) && !isOperatorChar(c) && c != '@' && c != '"';
}

int32_t number(const std::string& text, std::string_view digits, const char* what) {
    if (digits.empty() || digits.size() > 5) refuse(text, fmt::format("{} needs a number", what));
    const int32_t n = std::stoi(std::string(digits));
    if (n > kPackedLimit) refuse(text, fmt::format("{} {} is above {}", what, n, kPackedLimit));
    return n;
}

int32_t operatorCode(const std::string& text, std::string_view op) {
    if (op == "=" || op == "==") return MDK_OP_EQ;
    if (op == "!=" || op == "<>") return MDK_OP_NE;
    if (op == "<=") return MDK_OP_LE;
    if (op == "<") return MDK_OP_LT;
    if (op == ">=") return MDK_OP_GE;
    if (op == ">") return MDK_OP_GT;
    refuse(text, fmt::format("\"{}\" is not an operator (= != <> < <= > >=)", op));
}

// A quoted value: up to the closing quote, \" standing for a quote.
std::string quotedValue(const std::string& text, Scanner& s) {
    s.skip();
    std::string raw;
    for (;;) {
        const char c = s.peek();
        if (c == '\0') refuse(text, "the quoted value is not closed");
        s.skip();
        if (c == '"') break;
        if (c == '\\' && s.peek() == '"') {
            raw.push_back('"');
            s.skip();
            continue;
        }
        raw.push_back(c);
        if (c == '\\' && s.peek() != '\0') {  // keep "\\" whole so that it cannot close
            raw.push_back(s.peek());
            s.skip();
        }
    }
    return raw;
}

// The characters the library's number parser reads; at least one digit.
bool looksNumeric(const std::string& v) {
    return std::any_of(v.begin(), v.end(), isDigit) &&
           v.find_first_not_of("0123456789+-.,$eE ") == std::string::npos;
}

// A named column's offset counts from the column's first byte.
void placeInColumn(const std::string& text, const FieldPlace& place, Condition& c) {
    if (place.width > 0 && c.offset >= place.width) {
        refuse(text, fmt::format("the offset is past the column's {} bytes", place.width));
    }
    c.offset += place.offset;
    if (c.offset > kPackedLimit) refuse(text, fmt::format("the offset is above {}", kPackedLimit));
}

// A comparison with a column of fixed width looks at no byte of the next column: a number is
// read from the column's bytes only, and a longer text is refused.
void keepInColumn(const std::string& text, const FieldPlace& place, Condition& c) {
    if (place.width <= 0) return;
    const int32_t room = place.width - (c.offset - place.offset);
    if (c.numeric && c.width < 0) c.width = room;
    if (!c.numeric && c.value.size() > static_cast<size_t>(room)) {
        refuse(text,
               fmt::format("the value is longer than the {} bytes the column holds there", room));
    }
}

}  // namespace

Condition parseCondition(const std::string& text, Encoding encoding, const FieldNames& names) {
    Condition c;
    Scanner s(text);
    s.blanks();
    const std::string_view field = s.takeWhile(names ? isNameChar : isWordChar);
    std::optional<FieldPlace> named;
    if (field == "key") {
        c.field = 0;
    } else if (!field.empty() && std::all_of(field.begin(), field.end(), isDigit)) {
        c.field = number(text, field, "the field");
        if (c.field == 0) refuse(text, "data fields count from 1; the key area is \"key\"");
    } else if (names && !field.empty() && (named = names(field))) {
        c.field = named->field;
    } else {
        refuse(text, names ? "must start with a field: \"key\", a data field number or a column"
                           : "must start with a field: \"key\" or a data field number");
    }
    if (s.peek() == '@') {
        s.skip();
        c.offset = number(text, s.takeWhile(isDigit), "the offset after @");
    }
    if (named) placeInColumn(text, *named, c);
    s.blanks();
    c.op = operatorCode(text, s.takeWhile(isOperatorChar));
    s.blanks();
    const std::string raw =
        s.peek() == '"' ? quotedValue(text, s) : std::string(s.takeWhile(isValueChar));
    try {
        c.value = encodeText(raw, encoding);
    } catch (const EscapeError& e) {
        refuse(text, e.what());
    }
    while (!s.atEnd()) {
        const std::string_view word = s.takeWhile(isWordChar);
        if (word == "num" || word == "numeric") {
            c.numeric = true;
        } else if ((word == "scale" || word == "width") && s.peek() == '=') {
            s.skip();
            const int32_t n =
                number(text, s.takeWhile(isDigit), word == "scale" ? "scale" : "width");
            (word == "scale" ? c.scale : c.width) = n;
            c.numeric = true;
        } else {
            refuse(text, "after the value come only num, scale=S and width=W");
        }
    }
    if (c.value.empty()) refuse(text, "the value is empty");
    if (c.value.size() > static_cast<size_t>(kPackedLimit)) refuse(text, "the value is too long");
    if (c.numeric && !looksNumeric(c.value)) {
        refuse(text, fmt::format("\"{}\" is not a number", escape(c.value)));
    }
    if (c.numeric) c.op |= MDK_OP_NUMERIC;
    if (named) keepInColumn(text, *named, c);
    return c;
}

MdkRestrictEntry restrictEntry(const Condition& c, int keyAreaWidth, int maxDataLength) {
    MdkRestrictEntry e{};
    e.fieldNumber = c.field;
    e.offset = c.offset;
    e.op = c.op;
    e.scale = c.scale;
    e.length = static_cast<int32_t>(c.value.size());
    e.value = c.value.data();
    e.width = c.width;
    if (c.numeric && e.width < 0) {
        // The key area is zero-padded: a number there must stop before the padding, so take
        // the area's width; a data field ends at its separator.
        const int widest = c.field == 0 ? keyAreaWidth - c.offset : std::max(maxDataLength, 1);
        e.width = std::clamp(widest, 1, kPackedLimit);
    }
    if (e.width < 0) e.width = 0;  // not read by text comparisons
    return e;
}

std::string packedProgram(const std::vector<MdkRestrictEntry>& entries, const std::string& startKey,
                          int keyNumber) {
    std::string out;
    auto put16 = [&out](int32_t v) {
        out.push_back(static_cast<char>((v >> 8) & 0xFF));
        out.push_back(static_cast<char>(v & 0xFF));
    };
    put16(static_cast<int32_t>(entries.size()));
    for (const MdkRestrictEntry& e : entries) {
        put16(e.fieldNumber);
        put16(e.offset);
        put16(e.width);
        put16(e.op);
        put16(e.scale);
        put16(e.length);
        out.append(e.value, static_cast<size_t>(e.length));
    }
    put16(static_cast<int32_t>(startKey.size()));
    put16(keyNumber);
    out += startKey;
    return out;
}

}  // namespace mdk

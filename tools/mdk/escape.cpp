#include "mdk/escape.h"

#include <fmt/format.h>

namespace mdk {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string escapeBytes(std::string_view bytes, bool doubleBackslash) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\' && doubleBackslash) {
            out += "\\\\";
        } else if (b >= 0x20 && b <= 0x7E) {
            out.push_back(c);
        } else {
            appendHexEscape(out, b);
        }
    }
    return out;
}

}  // namespace

void appendHexEscape(std::string& out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 15]);
}

std::string escape(std::string_view bytes) {
    return escapeBytes(bytes, true);
}

std::string printable(std::string_view bytes) {
    return escapeBytes(bytes, false);
}

size_t readEscape(std::string_view text, size_t at, std::string& out) {
    if (at + 1 >= text.size()) throw EscapeError("a lone backslash ends the text");
    const char form = text[at + 1];
    // The one-letter forms and the bytes they stand for, position by position.
    static constexpr std::string_view kLetters = "\\tnr0";
    static constexpr std::string_view kBytes{"\\\t\n\r\0", 5};
    if (const size_t k = kLetters.find(form); k != std::string_view::npos) {
        out.push_back(kBytes[k]);
        return at + 2;
    }
    if (form != 'x') {
        throw EscapeError(fmt::format("unknown escape \"\\{}\" at offset {}", form, at));
    }
    const int high = at + 2 < text.size() ? hexValue(text[at + 2]) : -1;
    const int low = at + 3 < text.size() ? hexValue(text[at + 3]) : -1;
    if (high < 0 || low < 0) {
        throw EscapeError(fmt::format("\"\\x\" needs two hex digits at offset {}", at));
    }
    out.push_back(static_cast<char>(high * 16 + low));
    return at + 4;
}

std::string unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '\\') {
            i = readEscape(text, i, out);
        } else {
            out.push_back(text[i++]);
        }
    }
    return out;
}

}  // namespace mdk

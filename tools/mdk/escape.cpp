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
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\' && doubleBackslash) {
            out += "\\\\";
        } else if (b >= 0x20 && b <= 0x7E) {
            out.push_back(c);
        } else {
            out += "\\x";
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 15]);
        }
    }
    return out;
}

}  // namespace

std::string escape(std::string_view bytes) {
    return escapeBytes(bytes, true);
}

std::string printable(std::string_view bytes) {
    return escapeBytes(bytes, false);
}

std::string unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 1 >= text.size()) {
            throw EscapeError("a lone backslash ends the text");
        }
        const char form = text[++i];
        switch (form) {
            case '\\':
                out.push_back('\\');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case '0':
                out.push_back('\0');
                break;
            case 'x': {
                const int high = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
                const int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
                if (high < 0 || low < 0) {
                    throw EscapeError(
                        fmt::format("\"\\x\" needs two hex digits at offset {}", i - 1));
                }
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                break;
            }
            default:
                throw EscapeError(fmt::format("unknown escape \"\\{}\" at offset {}", form, i - 1));
        }
    }
    return out;
}

}  // namespace mdk

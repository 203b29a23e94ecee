#include "mdk/encoding.h"

#include <fmt/format.h>

#include "mdk/failure.h"

namespace mdk {

namespace {

// The characters of the Windows-1252 bytes 0x80..0x9F; 0 where the byte is undefined.  Every
// other byte from 0xA0 on is the character with its own number.
constexpr char32_t kHighCharacters[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 0x88
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 0x98
};

// The character a byte stands for, or 0 when it is none (control bytes and undefined bytes).
char32_t characterOf(unsigned char b) {
    if (b < 0x20 || b == 0x7F) return 0;
    if (b >= 0x80 && b < 0xA0) return kHighCharacters[b - 0x80];
    return b;
}

// The byte of a character, or -1 when Windows-1252 has none.  Control characters below 0x80
// are their own bytes: text read may hold them as they are (a tab inside a csv value).
int byteOf(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
    for (int i = 0; i < 32; ++i) {
        if (kHighCharacters[i] == c && c != 0) return 0x80 + i;
    }
    return -1;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {  // Windows-1252 has nothing beyond the basic plane
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

struct Decoded {
    char32_t character;
    size_t size;
};

// The UTF-8 character at text[at] (its first byte 0x80 or above).  Overlong forms, surrogates
// and values past U+10FFFF are not UTF-8.
Decoded readUtf8(std::string_view text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t size = 0;
    char32_t c = 0, lowest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        size = 2, c = lead & 0x1F, lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        size = 3, c = lead & 0x0F, lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        size = 4, c = lead & 0x07, lowest = 0x10000;
    }
    for (size_t k = 1; size != 0 && k < size; ++k) {
        const auto b = at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0;
        if ((b & 0xC0) != 0x80) size = 0;
        c = c << 6 | (b & 0x3F);
    }
    if (size == 0 || c < lowest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        throw EncodingError(fmt::format(
            "byte 0x{:02X} at offset {} is not UTF-8 (--encoding cp1252 reads Windows-1252 text)",
            lead, at));
    }
    return {c, size};
}

std::string characterName(std::string_view text, char32_t c) {
    return fmt::format("\"{}\" (U+{:04X})", text, static_cast<uint32_t>(c));
}

}  // namespace

Encoding encodingNamed(std::string_view name) {
    if (name == "utf-8" || name == "utf8") return Encoding::Utf8;
    if (name == "cp1252" || name == "windows-1252") return Encoding::Cp1252;
    if (name == "raw") return Encoding::Raw;
    throw Failure(fmt::format("unknown encoding {}: utf-8, cp1252 or raw", name), kExitUsage);
}

std::string decodeText(std::string_view bytes, Encoding encoding) {
    std::string out;
    out.reserve(bytes.size());
    for (char byte : bytes) {
        const auto b = static_cast<unsigned char>(byte);
        const char32_t c = characterOf(b);
        if (b == '\\') {
            out += "\\\\";
        } else if (c == 0 || (encoding == Encoding::Raw && b >= 0x80)) {
            appendHexEscape(out, b);
        } else if (encoding == Encoding::Utf8) {
            appendUtf8(out, c);
        } else {
            out.push_back(byte);
        }
    }
    return out;
}

std::string encodeText(std::string_view text, Encoding encoding) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '\\') {
            i = readEscape(text, i, out);
        } else if (encoding != Encoding::Utf8 || b < 0x80) {
            out.push_back(text[i++]);
        } else {
            const Decoded d = readUtf8(text, i);
            const int stored = byteOf(d.character);
            if (stored < 0) {
                throw EncodingError(
                    fmt::format("{} has no Windows-1252 byte: the file cannot hold it",
                                characterName(text.substr(i, d.size), d.character)));
            }
            out.push_back(static_cast<char>(stored));
            i += d.size;
        }
    }
    return out;
}

std::string byteName(unsigned char byte) {
    const char32_t c = characterOf(byte);
    if (c == 0 || c == ' ') return fmt::format("0x{:02X}", byte);
    std::string text;
    appendUtf8(text, c);
    return fmt::format("0x{:02X} ({})", byte, text);
}

}  // namespace mdk

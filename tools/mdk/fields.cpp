#include "mdk/fields.h"

#include <fmt/format.h>

#include <algorithm>
#include <optional>

#include "mdk/encoding.h"

namespace mdk {

namespace {

constexpr uint8_t kOneByteLength = 241;
constexpr uint8_t kTwoByteLength = 242;

// The prefix of a field of `length` bytes, as a writer that has no reason to choose a short
// form writes it.
std::string canonicalPrefix(size_t length) {
    if (length < 128) return std::string(1, static_cast<char>(length));
    if (length < 256) return {static_cast<char>(kOneByteLength), static_cast<char>(length)};
    if (length < 65536) {
        return {static_cast<char>(kTwoByteLength), static_cast<char>(length >> 8),
                static_cast<char>(length & 0xFF)};
    }
    throw EscapeError(
        fmt::format("a field of {} bytes is longer than a length prefix allows", length));
}

// The length a one-byte short form (128..255 but 241 and 242) announces.
size_t shortFormLength(uint8_t p) {
    return (p & 7u) + ((p & 0xF0u) == 0x90u ? 1u : 0u);
}

struct Prefix {
    size_t size;    // bytes of the prefix
    size_t length;  // bytes of the field after it
};

// The prefix at the start of `rest`, or nothing when it is cut short.
std::optional<Prefix> readPrefix(std::string_view rest) {
    const auto p = static_cast<uint8_t>(rest[0]);
    if (p < 128) return Prefix{1, p};
    if (p == kOneByteLength) {
        if (rest.size() < 2) return std::nullopt;
        return Prefix{2, static_cast<uint8_t>(rest[1])};
    }
    if (p == kTwoByteLength) {
        if (rest.size() < 3) return std::nullopt;
        return Prefix{3, static_cast<size_t>(static_cast<uint8_t>(rest[1])) << 8 |
                             static_cast<uint8_t>(rest[2])};
    }
    return Prefix{1, shortFormLength(p)};
}

// The bytes of the text of field `index` (from 0); a character the file cannot hold is named
// with its field.
std::string fieldBytes(std::string_view text, size_t index, Encoding encoding) {
    try {
        return encodeText(text, encoding);
    } catch (const EncodingError& e) {
        throw EncodingError(fmt::format("field {}: {}", index + 1, e.what()));
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The prefix that a field marked "\pHH" asks for, for `length` bytes of content.
std::string chosenPrefix(uint8_t form, size_t length) {
    if (form == kOneByteLength && length < 256) {
        return {static_cast<char>(form), static_cast<char>(length)};
    }
    if (form == kTwoByteLength && length < 65536) {
        return {static_cast<char>(form), static_cast<char>(length >> 8),
                static_cast<char>(length & 0xFF)};
    }
    const size_t announced = form < 128 ? form : shortFormLength(form);
    if (form != kOneByteLength && form != kTwoByteLength && announced == length) {
        return std::string(1, static_cast<char>(form));
    }
    throw EscapeError(
        fmt::format("prefix \\p{:02x} cannot announce a field of {} bytes", form, length));
}

std::vector<std::string> splitPrefixed(std::string_view data, Encoding encoding) {
    std::vector<std::string> fields;
    while (!data.empty()) {
        const std::optional<Prefix> prefix = readPrefix(data);
        if (!prefix || prefix->size + prefix->length > data.size()) {
            fields.push_back("\\R" +
                             decodeText(data, encoding));  // not a whole field: keep the bytes
            break;
        }
        const std::string_view written = data.substr(0, prefix->size);
        const std::string_view content = data.substr(prefix->size, prefix->length);
        std::string text;
        if (written != canonicalPrefix(prefix->length)) {
            text = fmt::format("\\p{:02x}", static_cast<uint8_t>(data[0]));
        }
        fields.push_back(text + decodeText(content, encoding));
        data.remove_prefix(prefix->size + prefix->length);
    }
    return fields;
}

std::string joinPrefixed(const std::vector<std::string>& fields, Encoding encoding) {
    std::string data;
    for (size_t i = 0; i < fields.size(); ++i) {
        std::string_view text = fields[i];
        if (text.starts_with("\\R")) {
            if (i + 1 != fields.size()) {
                throw EscapeError("\"\\R\" (bytes kept as they are) may only start the last field");
            }
            data += fieldBytes(text.substr(2), i, encoding);
            break;
        }
        if (text.starts_with("\\p")) {
            const int high = text.size() > 2 ? hexDigit(text[2]) : -1;
            const int low = text.size() > 3 ? hexDigit(text[3]) : -1;
            if (high < 0 || low < 0) throw EscapeError("\"\\p\" needs two hex digits");
            const std::string content = fieldBytes(text.substr(4), i, encoding);
            data += chosenPrefix(static_cast<uint8_t>(high * 16 + low), content.size());
            data += content;
            continue;
        }
        const std::string content = fieldBytes(text, i, encoding);
        data += canonicalPrefix(content.size());
        data += content;
    }
    return data;
}

}  // namespace

std::vector<std::string> FieldCodec::split(std::string_view data) const {
    if (separator_ == kLengthPrefixed) return splitPrefixed(data, encoding_);
    std::vector<std::string> fields;
    const char separator = static_cast<char>(separator_);
    for (;;) {
        const size_t end = data.find(separator);
        fields.push_back(decodeText(data.substr(0, end), encoding_));
        if (end == std::string_view::npos) break;
        data.remove_prefix(end + 1);
    }
    return fields;
}

std::string_view FieldCodec::field(std::string_view data, int number) const {
    for (int n = 1; !data.empty(); ++n) {
        size_t start = 0, length = 0;
        if (separator_ == kLengthPrefixed) {
            const std::optional<Prefix> prefix = readPrefix(data);
            if (!prefix) return {};
            start = prefix->size;
            length = std::min(prefix->length, data.size() - prefix->size);
        } else {
            length = std::min(data.find(static_cast<char>(separator_)), data.size());
        }
        if (n == number) return data.substr(start, length);
        data.remove_prefix(std::min(data.size(), start + length + (separator_ < 0 ? 0 : 1)));
    }
    return {};
}

std::string FieldCodec::join(const std::vector<std::string>& fields) const {
    if (separator_ == kLengthPrefixed) return joinPrefixed(fields, encoding_);
    const char separator = static_cast<char>(separator_);
    std::string data;
    for (size_t i = 0; i < fields.size(); ++i) {
        const std::string bytes = fieldBytes(fields[i], i, encoding_);
        // Stored, the separator would end the field there: the record would hold another field
        // than the one given, and every field after it would move.
        if (bytes.find(separator) != std::string::npos) {
            throw SeparatorError(fmt::format(
                "field {} holds the file's field separator, byte {}, which would split it in two",
                i + 1, byteName(static_cast<unsigned char>(separator_))));
        }
        if (i > 0) data.push_back(separator);
        data += bytes;
    }
    return data;
}

}  // namespace mdk

// Private-profile (.ini) files, read the way the classic Windows call answers.
//
// The file is read line by line, however long a line is, and nothing is ever stored beyond
// `size` bytes of the caller's buffer. Choices where that call leaves room:
//  - blanks are spaces and tabs; a '\r' of a CRLF line end counts as one, and a UTF-8 byte
//    order mark before the first line is skipped;
//  - a line whose first non-blank character is ';' is a comment; a ';' after a value is part
//    of the value;
//  - "[name]" starts a section; text after the ']' is ignored, and a '[' line without ']'
//    takes the rest of the line as the name; lines before the first section are ignored;
//  - inside a section, a line without '=' is ignored (it is not listed as a key), and so is a
//    line whose key name is empty;
//  - sections of the same name are one section; a key given twice keeps its first value, and
//    section and key lists name each one once, in the spelling it first appears with;
//  - `defaultValue` is copied as given.
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"

namespace mdnio::platform {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = lowerAscii(c);
    return out;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

// One pair of matching quotes around the whole value goes; blanks inside them stay.
std::string_view unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v.remove_prefix(1);
        v.remove_suffix(1);
    }
    return v;
}

// Calls onSection(name) for each section header and onKey(section, key, value) for each key
// line inside a section, in file order, until one of them answers false.
// False when the file cannot be read.
template <class OnSection, class OnKey>
bool scanProfile(const char* path, OnSection onSection, OnKey onKey) {
    if (!path) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string line;
    std::string section;
    bool inSection = false;
    bool first = true;
    while (std::getline(in, line)) {
        std::string_view rest = line;
        if (first && rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
        first = false;
        rest = trim(rest);
        if (rest.empty() || rest.front() == ';') continue;
        if (rest.front() == '[') {
            rest.remove_prefix(1);
            size_t close = rest.find(']');
            section.assign(trim(rest.substr(0, close)));
            inSection = true;
            if (!onSection(std::string_view(section))) return true;
            continue;
        }
        size_t eq = rest.find('=');
        if (!inSection || eq == std::string_view::npos) continue;
        std::string_view key = trim(rest.substr(0, eq));
        if (key.empty()) continue;
        if (!onKey(std::string_view(section), key, unquote(trim(rest.substr(eq + 1))))) {
            return true;
        }
    }
    return true;
}

// Names collected once each, compared without case.
class NameList {
  public:
    void add(std::string_view name) {
        if (name.empty() || !seen_.insert(lowerAscii(name)).second) return;
        names_.emplace_back(name);
    }
    const std::vector<std::string>& names() const { return names_; }

  private:
    std::unordered_set<std::string> seen_;
    std::vector<std::string> names_;
};

size_t storeValue(std::string_view value, char* buf, size_t size) {
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    if (n) std::memcpy(buf, value.data(), n);
    buf[n] = '\0';
    return n;
}

// Each name zero-terminated, then one more zero. A list that does not fit is cut at size-2
// bytes (possibly inside a name) and still ends with two zeros; size-2 is answered then. An
// empty list is two zeros (one when size is 1), so that a reader looking for the double zero
// stops at once.
size_t storeList(const std::vector<std::string>& names, char* buf, size_t size) {
    if (names.empty()) {
        buf[0] = '\0';
        if (size >= 2) buf[1] = '\0';
        return 0;
    }
    std::string all;
    for (const auto& name : names) {
        all += name;
        all += '\0';
    }
    if (all.size() + 1 <= size) {
        std::memcpy(buf, all.data(), all.size());
        buf[all.size()] = '\0';
        return all.size();
    }
    if (size < 2) {
        buf[0] = '\0';
        return 0;
    }
    std::memcpy(buf, all.data(), size - 2);
    buf[size - 2] = '\0';
    buf[size - 1] = '\0';
    return size - 2;
}

}  // namespace

size_t profileString(const char* section, const char* key, const char* defaultValue, char* buf,
                     size_t size, const char* path) {
    if (!buf || size == 0) return 0;
    auto anySection = [](std::string_view) { return true; };
    auto anyKey = [](std::string_view, std::string_view, std::string_view) { return true; };

    if (!section) {
        NameList sections;
        scanProfile(
            path,
            [&](std::string_view name) {
                sections.add(name);
                return true;
            },
            anyKey);
        return storeList(sections.names(), buf, size);
    }

    const std::string_view wanted = section;
    if (!key) {
        NameList keys;
        scanProfile(path, anySection,
                    [&](std::string_view sec, std::string_view name, std::string_view) {
                        if (equalNoCase(sec, wanted)) keys.add(name);
                        return true;
                    });
        return storeList(keys.names(), buf, size);
    }

    std::string value = defaultValue ? defaultValue : "";
    scanProfile(path, anySection,
                [&](std::string_view sec, std::string_view name, std::string_view found) {
                    if (!equalNoCase(sec, wanted) || !equalNoCase(name, key)) return true;
                    value.assign(found);
                    return false;  // the first one wins
                });
    return storeValue(value, buf, size);
}

}  // namespace mdnio::platform

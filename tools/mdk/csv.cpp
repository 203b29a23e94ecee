#include "mdk/csv.h"

#include "mdk/escape.h"

namespace mdk {

namespace {

bool needsQuotes(std::string_view v) {
    return v.empty() || v.find_first_of(",\"") != std::string_view::npos || v.front() == ' ' ||
           v.back() == ' ';
}

}  // namespace

std::string csvLine(const std::vector<std::string>& values) {
    std::string line;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) line.push_back(',');
        const std::string& v = values[i];
        if (!needsQuotes(v)) {
            line += v;
            continue;
        }
        line.push_back('"');
        for (char c : v) {
            if (c == '"') line.push_back('"');
            line.push_back(c);
        }
        line.push_back('"');
    }
    return line;
}

std::vector<std::string> csvValues(std::string_view line) {
    std::vector<std::string> values;
    size_t i = 0;
    for (;;) {
        std::string value;
        if (i < line.size() && line[i] == '"') {
            ++i;
            for (;;) {
                if (i >= line.size()) throw EscapeError("a quoted value is not closed");
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        value.push_back('"');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value.push_back(line[i++]);
            }
            if (i < line.size() && line[i] != ',') {
                throw EscapeError("text follows a closing quote");
            }
        } else {
            const size_t end = line.find(',', i);
            value = std::string(line.substr(i, end == std::string_view::npos ? end : end - i));
            i = end == std::string_view::npos ? line.size() : end;
        }
        values.push_back(std::move(value));
        if (i >= line.size()) break;
        ++i;  // the comma
    }
    return values;
}

}  // namespace mdk

// One line of comma-separated values.  Values are quoted when they hold a comma or a quote, when
// they begin or end with a blank, and when they are empty (so that no row is an empty line);
// a quote inside quotes is doubled.  Escaped record text never holds a line break, so a row is
// always one line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mdk {

std::string csvLine(const std::vector<std::string>& values);

// The values of `line`; throws EscapeError for an unterminated quote or text after a closing
// quote.
std::vector<std::string> csvValues(std::string_view line);

}  // namespace mdk

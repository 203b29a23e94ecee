// The keyword language of column definitions in .ini dictionaries, e.g.
//   NUMERIC LENGTH=9.2 FIELD=3 CLASS=RIGHT48 MUSTBE>"A, B"
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "catalog/column.h"

namespace mdnio::catalog {

struct KeywordToken {
    std::string keyword;  // in capitals
    char op = 0;          // '=', '<', '>' or 0 when no value follows
    std::string value;    // capitals outside double quotes; quoted text as written
};

// Splits a keyword list into tokens.  Tokens are separated by blanks and commas; a value runs
// to the next blank or comma outside double quotes, and a doubled quote inside quotes stands
// for one quote.
std::vector<KeywordToken> tokenizeKeywords(std::string_view list);

// The index of the keyword name that `keyword` designates in the keyword table, or -1.  A
// keyword designates a name when the two agree over the keyword's first four characters (all
// of them when shorter) and the keyword has at least three: NUM, NUME and NUMERICAL all
// designate NUMERIC, ST designates nothing.  The first name in table order wins.
int matchKeyword(std::string_view keyword);
// The name at `index` of the keyword table.
std::string_view keywordName(int index);

// Applies every token of `list` to `column`.  Unknown keywords are ignored.
void applyKeywords(std::string_view list, ColumnDraft& column);

}  // namespace mdnio::catalog

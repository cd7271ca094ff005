#pragma once
// The rendering of a sequence of texts in messages, the way the tool's users
// know it from Python: items in single quotes, separated by ", ", inside "["
// and "]" (a list) or "(" and ")" (a tuple; a lone item is followed by ",").
//
// Quoting: single quotes, or double quotes when the item holds a single quote
// and no double quote; with both, single quotes and every single quote escaped
// as \'. Escapes: a backslash doubled, \n, \t, \r, every other control
// character as \xNN; a byte that is not valid UTF-8 as \udcNN. Everything
// else stands as it is.
#include <string>
#include <string_view>
#include <vector>

namespace keelbox {

// One item, quotes included: 'numpy', "it's", '\\n'.
std::string quote_text(std::string_view item);

// ['Zvk Sample App', 'numpy'] or [].
std::string list_notation(const std::vector<std::string>& items);

// ('pip', 'show', 'x'), ('--version',) or ().
std::string tuple_notation(const std::vector<std::string>& items);

}  // namespace keelbox

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

// Text from outside (an answer of a service, a name in an archive) as it may
// reach a terminal: every control character made visible in the escapes
// above, so that nothing in it can move the cursor, set a window title, write
// the clipboard or split a line. A line feed and a carriage return read \n
// and \r; every other C0 control but the tab, DEL and the C1 controls
// (U+0080 to U+009F, and a stray byte of that range) read \xNN. Everything
// else, backslashes and other bytes that are not UTF-8 included, stays as it
// is.
std::string show_controls(std::string_view text);

// The same, but line feeds stay: for messages of several lines.
std::string show_controls_keep_lines(std::string_view text);

}  // namespace keelbox

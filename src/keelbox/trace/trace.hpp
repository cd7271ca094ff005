#pragma once
// The diagnostic trace: KEELBOX_LOG=info or debug prints what the run does on
// standard error, one line per event, each with the time since the start:
//
//   [  0.123s] http: GET https://core.cloud.../v1/license/packages?limit=99 -> 200, ...
//
// `info` gives the events, `debug` their details as well (proxy and
// certificate choices, connections, TLS versions). Unset (or any other
// value), nothing is printed and a call costs one comparison: build the text
// only behind `if (trace::enabled(...))`.
//
// No secret may reach it: addresses go through mask_url(), command lines
// through mask_command_line(), token ids through short_id(); trace() masks
// the user part of every address in its text once more.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox::trace {

enum class Level { off = 0, info = 1, debug = 2 };

// The level KEELBOX_LOG asks for ("info", "debug"; anything else is off),
// read at the first call.
Level level();
inline bool enabled(Level wanted) { return wanted != Level::off && level() >= wanted; }

// Writes "[  1.234s] <category>: <text>" when `wanted` is enabled.
void trace(Level wanted, std::string_view category, std::string_view text);

// `url` with its user part ("user:password@") replaced by "***@" and the
// values of its query replaced by "***", except for a few harmless ones
// (limit, page, offset).
std::string mask_url(std::string_view url);
// `text` with the user part of every address in it replaced by "***@".
std::string mask_userinfo(std::string_view text);
// The words of a command line, each address masked, joined by blanks.
std::string mask_command_line(const std::vector<std::string>& words);
// At most the first four characters of a token id, then "...".
std::string short_id(std::string_view id);

// For tests: the level and where the lines go (nullptr: standard error).
void set_for_testing(Level level, std::function<void(std::string_view)> sink);

}  // namespace keelbox::trace

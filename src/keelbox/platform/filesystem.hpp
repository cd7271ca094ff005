#pragma once
// The host's file-system conventions, for code that takes paths apart by hand.
// Inline: extraction asks them for every character of every member name.
#include <cstddef>
#include <string_view>

namespace keelbox {

constexpr bool runs_on_windows() {
#ifdef _WIN32
  return true;
#else
  return false;
#endif
}

// '/' everywhere; '\\' too on Windows.
constexpr bool is_path_separator(char c) { return c == '/' || (runs_on_windows() && c == '\\'); }

// The separator paths are joined with: '\\' on Windows, '/' elsewhere.
constexpr char preferred_path_separator() { return runs_on_windows() ? '\\' : '/'; }

// The length of a drive prefix ("C:") at the start of `path`; 0 where the
// host has no drives.
constexpr std::size_t drive_prefix_length(std::string_view path) {
  return runs_on_windows() && path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

}  // namespace keelbox

#pragma once
// The host's file-system conventions, for code that takes paths apart by hand.
#include <cstddef>
#include <string_view>

namespace keelbox {

bool runs_on_windows();

// '/' everywhere; '\\' too on Windows.
bool is_path_separator(char c);

// The separator paths are joined with: '\\' on Windows, '/' elsewhere.
char preferred_path_separator();

// The length of a drive prefix ("C:") at the start of `path`; 0 where the
// host has no drives.
std::size_t drive_prefix_length(std::string_view path);

}  // namespace keelbox

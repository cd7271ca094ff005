#pragma once
// Text and paths at the boundary to the operating system. Inside the tool
// every text is UTF-8; Windows' system calls take UTF-16, so every path and
// text handed to them is converted here, and every answer converted back.
// On other systems paths are bytes and the conversions are identities.
#include <filesystem>
#include <string>
#include <string_view>

namespace keelbox {

// The path named by UTF-8 `text`.
std::filesystem::path path_from_utf8(std::string_view text);

// `path` as UTF-8 (on Windows a lone surrogate becomes U+FFFD).
std::string path_to_utf8(const std::filesystem::path& path);

#ifdef _WIN32
// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::wstring to_wide(std::string_view text);
// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string from_wide(std::wstring_view text);
#endif

}  // namespace keelbox

#include "keelbox/platform/wide.hpp"

#ifdef _WIN32
#include <windows.h>

#include <climits>
#include <stdexcept>
#endif

namespace keelbox {

#ifdef _WIN32

std::wstring to_wide(std::string_view text) {
  if (text.empty()) return {};
  if (text.size() > static_cast<std::size_t>(INT_MAX))
    throw std::length_error("text too long for the system");
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(needed), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), needed);
  return out;
}

std::string from_wide(std::wstring_view text) {
  if (text.empty()) return {};
  if (text.size() > static_cast<std::size_t>(INT_MAX))
    throw std::length_error("text too long for the system");
  const int length = static_cast<int>(text.size());
  const int needed =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), needed, nullptr, nullptr);
  return out;
}

std::filesystem::path path_from_utf8(std::string_view text) {
  return std::filesystem::path(to_wide(text));
}

std::string path_to_utf8(const std::filesystem::path& path) { return from_wide(path.native()); }

#else

std::filesystem::path path_from_utf8(std::string_view text) {
  return std::filesystem::path(std::string(text));
}

std::string path_to_utf8(const std::filesystem::path& path) { return path.native(); }

#endif

}  // namespace keelbox

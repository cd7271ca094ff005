#pragma once
// Portable pieces for tests that run on Linux and on Windows: a fresh
// throw-away folder below the temporary folder, and setting or removing an
// environment variable of this process (UTF-8 names and values; on Windows
// through the wide C runtime, which updates the process environment that
// keelbox::environment_variable reads).
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <stdlib.h>

#include "keelbox/platform/wide.hpp"
#endif

namespace keelbox::testing {

// Makes a new folder `<temp>/<prefix>-<random>` (never an existing one).
inline std::filesystem::path make_temp_dir(const std::string& prefix) {
  static std::mt19937_64 engine{std::random_device{}()};
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate =
        base / (prefix + "-" + std::to_string(engine() % 1000000000u));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) return candidate;
    if (ec)
      throw std::filesystem::filesystem_error("cannot make a temporary folder", candidate, ec);
  }
  throw std::runtime_error("no free temporary folder name for " + prefix);
}

// Sets `name` to `value`, or removes it when `value` is nullopt.
inline void set_env(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
  // An empty value removes a variable in _wputenv_s; SetEnvironmentVariableW
  // is not enough alone, as the C runtime keeps its own copy.
  const std::wstring wide_name = keelbox::to_wide(name);
  const std::wstring wide_value = value ? keelbox::to_wide(*value) : std::wstring();
  if (_wputenv_s(wide_name.c_str(), wide_value.c_str()) != 0)
    throw std::runtime_error("cannot set " + name);
#else
  const int rc = value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
  if (rc != 0) throw std::runtime_error("cannot set " + name);
#endif
}

}  // namespace keelbox::testing

// Skips a test on Windows: `why` names what the test rests on that the
// Windows build lacks or does differently by design (Linux folder layouts and
// separators, Linux programs, symbolic links, which std::filesystem of the
// mingw-w64 C++ library neither makes nor reads).
#ifdef _WIN32
#define KEELBOX_SKIP_ON_WINDOWS(why) GTEST_SKIP() << "not on Windows: " << why
#else
#define KEELBOX_SKIP_ON_WINDOWS(why) static_cast<void>(0)
#endif

namespace keelbox::testing {

// A path written with "/" in the separator of the platform ("\\" on Windows).
inline std::string native_separators(std::string path) {
#ifdef _WIN32
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
#endif
  return path;
}

// Text as written through a text-mode stream, with Windows' "\r\n" line ends
// made "\n" again (unchanged elsewhere).
inline std::string plain_lines(std::string text) {
#ifdef _WIN32
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
#else
  return text;
#endif
}

}  // namespace keelbox::testing

// The size of the terminal, the part every system shares: the COLUMNS and
// LINES variables. The terminal's own size is each system's (size_posix.cpp,
// size_win32.cpp).
#include "keelbox/terminal/size.hpp"

#include <cstdlib>

#include "keelbox/platform/environment.hpp"
#include "keelbox/terminal/size_internal.hpp"

namespace keelbox {

namespace {

// The positive number a variable holds, else nothing.
std::optional<std::size_t> positive_variable(const char* name) {
  if (const auto text = environment_variable(name)) {
    char* end = nullptr;
    const long value = std::strtol(text->c_str(), &end, 10);
    if (end != text->c_str() && *end == '\0' && value > 0) return static_cast<std::size_t>(value);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> terminal_columns(int fd) {
  if (const auto columns = positive_variable("COLUMNS")) return columns;
  return window_columns(fd);
}

std::optional<std::size_t> terminal_rows(int fd) {
  if (const auto rows = positive_variable("LINES")) return rows;
  return window_rows(fd);
}

}  // namespace keelbox

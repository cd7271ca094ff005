// The width of the terminal, the part every system shares: the COLUMNS
// variable. The terminal's own size is each system's (size_posix.cpp,
// size_win32.cpp).
#include "keelbox/terminal/size.hpp"

#include <cstdlib>

#include "keelbox/platform/environment.hpp"
#include "keelbox/terminal/size_internal.hpp"

namespace keelbox {

std::optional<std::size_t> terminal_columns(int fd) {
  if (const auto columns = environment_variable("COLUMNS")) {
    char* end = nullptr;
    const long value = std::strtol(columns->c_str(), &end, 10);
    if (end != columns->c_str() && *end == '\0' && value > 0)
      return static_cast<std::size_t>(value);
  }
  return window_columns(fd);
}

}  // namespace keelbox

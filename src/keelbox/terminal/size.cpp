#include "keelbox/terminal/size.hpp"

#include <sys/ioctl.h>

#include <cstdlib>

namespace keelbox {

std::optional<std::size_t> terminal_columns(int fd) {
  if (const char* columns = std::getenv("COLUMNS")) {
    char* end = nullptr;
    const long value = std::strtol(columns, &end, 10);
    if (end != columns && *end == '\0' && value > 0) return static_cast<std::size_t>(value);
  }
  winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return std::nullopt;
}

}  // namespace keelbox

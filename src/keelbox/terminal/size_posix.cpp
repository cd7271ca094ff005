// The size of a terminal on POSIX systems: TIOCGWINSZ.
#include <sys/ioctl.h>

#include "keelbox/terminal/size_internal.hpp"

namespace keelbox {

std::optional<std::size_t> window_columns(int fd) {
  winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return std::nullopt;
}

std::optional<std::size_t> window_rows(int fd) {
  winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0) return ws.ws_row;
  return std::nullopt;
}

}  // namespace keelbox

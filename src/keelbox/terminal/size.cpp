#include "keelbox/terminal/size.hpp"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#endif

#include <cstdlib>

#include "keelbox/platform/environment.hpp"

namespace keelbox {

std::optional<std::size_t> terminal_columns(int fd) {
  if (const auto columns = environment_variable("COLUMNS")) {
    char* end = nullptr;
    const long value = std::strtol(columns->c_str(), &end, 10);
    if (end != columns->c_str() && *end == '\0' && value > 0)
      return static_cast<std::size_t>(value);
  }
#ifdef _WIN32
  // The visible window of the console, not its (wider) buffer.
  CONSOLE_SCREEN_BUFFER_INFO info{};
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(handle, &info)) {
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    if (width > 0) return static_cast<std::size_t>(width);
  }
#else
  winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
#endif
  return std::nullopt;
}

}  // namespace keelbox

// The size of a console on Windows: its screen buffer's visible window.
#include <io.h>
#include <windows.h>

#include "keelbox/terminal/size_internal.hpp"

namespace keelbox {

std::optional<std::size_t> window_columns(int fd) {
  // The visible window of the console, not its (wider) buffer.
  CONSOLE_SCREEN_BUFFER_INFO info{};
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(handle, &info)) {
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    if (width > 0) return static_cast<std::size_t>(width);
  }
  return std::nullopt;
}

std::optional<std::size_t> window_rows(int fd) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(handle, &info)) {
    const int height = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (height > 0) return static_cast<std::size_t>(height);
  }
  return std::nullopt;
}

}  // namespace keelbox

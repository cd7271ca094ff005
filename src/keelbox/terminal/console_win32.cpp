// The tool's standard output and error on Windows: virtual-terminal
// processing on the console, bytes (not text mode) in pipes and files, and
// UTF-16 writes to the console.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "keelbox/platform/io.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/terminal/console.hpp"

namespace keelbox {

namespace {

// The console behind `fd`, or nothing when `fd` is a file, a pipe or NUL.
HANDLE console_of(int fd, DWORD& mode) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return nullptr;
  return GetConsoleMode(handle, &mode) ? handle : nullptr;
}

}  // namespace

void prepare_console() {
  for (const int fd : {1, 2}) {
    _setmode(fd, _O_BINARY);
    DWORD mode = 0;
    if (const HANDLE console = console_of(fd, mode))
      SetConsoleMode(console, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
}

bool is_ansi_terminal(int fd) {
  DWORD mode = 0;
  return console_of(fd, mode) != nullptr && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int write_output(int fd, std::string_view data) noexcept {
  DWORD mode = 0;
  const HANDLE console = console_of(fd, mode);
  if (console == nullptr) {
    // Files and pipes get Windows' line ends, as a Python program's text
    // output does there: each "\n" is written as "\r\n".
    try {
      std::string text;
      text.reserve(data.size() + data.size() / 16);
      for (const char c : data) {
        if (c == '\n') text.push_back('\r');
        text.push_back(c);
      }
      return write_all(fd, text);
    } catch (...) {
      return ENOMEM;
    }
  }
  try {
    const std::wstring text = to_wide(data);
    // In pieces: old consoles refuse very long writes. A piece never ends
    // between the two halves of a surrogate pair.
    constexpr std::size_t kPiece = 8192;
    for (std::size_t at = 0; at < text.size();) {
      std::size_t length = std::min(kPiece, text.size() - at);
      if (at + length < text.size() && text[at + length - 1] >= 0xD800 &&
          text[at + length - 1] <= 0xDBFF)
        --length;
      DWORD written = 0;
      if (!WriteConsoleW(console, text.data() + at, static_cast<DWORD>(length), &written,
                         nullptr) ||
          written == 0)
        return EIO;
      at += written;
    }
  } catch (...) {
    return ENOMEM;
  }
  return 0;
}

// Nothing to do: the standard streams stay as the tool was given them.
void open_missing_standard_streams() {}

}  // namespace keelbox

#pragma once
// The size of the terminal as each system reports it (size_posix.cpp,
// size_win32.cpp), under the portable rules of size.cpp.
#include <cstddef>
#include <optional>

namespace keelbox {

// The width in columns of the terminal on `fd`; nothing when `fd` is no
// terminal or its width is unknown.
std::optional<std::size_t> window_columns(int fd);
// The height in rows of the terminal on `fd`, likewise.
std::optional<std::size_t> window_rows(int fd);

}  // namespace keelbox

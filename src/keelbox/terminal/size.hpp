#pragma once
// The size of the terminal.
#include <cstddef>
#include <optional>

namespace keelbox {

// The width in columns of the terminal on `fd`: the COLUMNS variable when it
// holds a positive number (the user's stated preference, which is what it is
// for), else the size of the terminal on `fd`, else nothing (not a terminal).
std::optional<std::size_t> terminal_columns(int fd);

// The height in rows of the terminal on `fd`: the LINES variable when it holds
// a positive number, else the size of the terminal on `fd`, else nothing.
std::optional<std::size_t> terminal_rows(int fd);

}  // namespace keelbox

#pragma once
// The tool's standard output and error as the user sees them: whether they
// show colour and cursor codes, and writing text to them so that UTF-8 shows
// as the characters it encodes. Each system's are console_posix.cpp and
// console_win32.cpp.
#include <string_view>

namespace keelbox {

// Sets the console up for the tool's output, once at start. On Windows:
// virtual-terminal processing switched on for standard output and error, so
// that the colour and cursor codes show (left on afterwards, as terminals
// keep it), and both streams written as bytes, "\n" staying "\n" in a pipe
// or file. Nothing to do elsewhere.
void prepare_console();

// A standard stream closed by whoever started the tool becomes /dev/null, so
// that no file or socket the tool opens later takes its number and receives
// messages meant for the terminal. Nothing is done on Windows.
void open_missing_standard_streams();

// Whether `fd` (standard output or error) is a terminal that shows the
// colour and cursor codes: a terminal on POSIX systems; on Windows a console
// with virtual-terminal processing on (a redirect to NUL is no console).
bool is_ansi_terminal(int fd);

// Writes all of `data` (UTF-8) to `fd` as write_all does; on a Windows console
// as UTF-16 text, whatever the console's code page. Returns 0, or the errno
// value of the failure (EPIPE when the reader has gone).
int write_output(int fd, std::string_view data) noexcept;

}  // namespace keelbox

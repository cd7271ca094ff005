#pragma once
// How a new process is described to Windows: one command line that the
// child's C runtime splits back into arguments, and one environment block.
// Pure text work, built on every system so that its rules are tested
// everywhere; only Windows starts processes with it.
#include <string>
#include <string_view>
#include <vector>

#include "keelbox/process/process.hpp"

namespace keelbox {

// `arg` written so that the Microsoft C runtime reads it back unchanged: as
// it is when it holds no blank, tab, line break or quote and is not empty;
// otherwise in quotes, with a quote escaped by a backslash and the
// backslashes before a quote (or before the closing quote) doubled.
std::string quote_windows_argument(std::string_view arg);

// The command line for `program` and `args`: the program path in quotes
// (the runtime reads the first word without escapes, up to the next quote,
// and a path cannot hold one), then each argument quoted as above, separated
// by blanks. Throws ProcessStartError when the program path holds a quote.
std::string windows_command_line(std::string_view program, const std::vector<std::string>& args);

// The environment block of a child as UTF-8: "name=value" entries, each
// ended by a NUL, sorted by name without regard to (ASCII) case as Windows
// expects, and a final NUL (so an empty environment is two NULs). Of names
// that differ only in case the first in the map's order is kept: Windows
// treats them as one variable. Throws ProcessStartError for a name that is
// empty, holds '=' after its first character, or a NUL anywhere.
std::string windows_environment_block(const Environment& env);

// Whether `program` names a batch file (".bat" or ".cmd", any case): Windows
// would run it through cmd.exe, which reads the arguments by other rules,
// so the tool refuses to start one.
bool is_windows_batch_file(std::string_view program);

// `a` before `b` when compared byte by byte with ASCII letters in upper case.
bool less_ignoring_ascii_case(std::string_view a, std::string_view b);

}  // namespace keelbox

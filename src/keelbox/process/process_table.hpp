#pragma once
// Reading other processes: the parent and program names of a running process,
// as the shell detection needs them.
#include <optional>
#include <string>
#include <vector>

namespace keelbox {

struct ProcessEntry {
  long parent = 0;
  std::vector<std::string> names;  // the program's names, most telling first
};

// The entry of process `pid`; nullopt when it cannot be read (gone, or no
// process table to read).
std::optional<ProcessEntry> read_process_entry(long pid);

// Where a search for the shell that runs the tool starts: the tool's parent
// (on Windows, the tool itself, whose entry names its parent).
long shell_search_start();

}  // namespace keelbox

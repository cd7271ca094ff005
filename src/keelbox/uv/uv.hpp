#pragma once
// Commands to interact with uv: the only place that starts uv.
//
// uv is the executable named "uv" in the tool's installation (the context's
// installation folder, that of the tool's own executable). Every run gets the
// child environment of the target Python environment (VIRTUAL_ENV set,
// nothing else changed), is started by the context's runner and runs in the
// current working folder.
#include <optional>
#include <string>
#include <vector>

#include "keelbox/context/context.hpp"

namespace keelbox {

// A completed checked run of uv.
struct CompletedProcess {
  std::vector<std::string> args;       // the command line, executable path first
  long long returncode = 0;            // always 0 in a returned record
  std::optional<std::string> stdout_;  // bytes, present when output was captured
  std::optional<std::string> stderr_;  // bytes, present when output was captured
};

// Full path of the tool's uv; FileNotFoundError when it is missing. Looked up
// afresh on every call.
std::string _find_uv_bin(const Context& context);

// Runs uv with `args` and waits. With `capture_output` standard output and
// error are read into memory; otherwise they are the tool's own. A non-zero
// status fails with KeelboxUVException "Error running uv with " + the
// arguments in tuple notation, the CalledProcessError chained as cause.
CompletedProcess run_uv_in_python(const Context& context, const std::vector<std::string>& args,
                                  bool capture_output = false);

// Runs uv with `args`, all streams inherited, and ignores its exit status.
void run_uv(const Context& context, const std::vector<std::string>& args);

// Forward the process's command-line arguments after the program name, in a
// context of their own (system_context()).
void run_uv_from_sysargs(int argc, char** argv);
void run_uv_in_pythonfrom_sysargs(int argc, char** argv);

}  // namespace keelbox

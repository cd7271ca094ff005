#pragma once
// OS and system specific configurations: the target Python environment, the
// environment a child process started for it gets, the folder of its
// executables, the host platform, and the activation script of the user's
// shell.
#include <optional>
#include <string>
#include <vector>

#include "keelbox/context/context.hpp"
#include "keelbox/platform/filesystem.hpp"
#include "keelbox/process/process.hpp"

namespace keelbox {

// "Scripts" on Windows, "bin" elsewhere: the folder of an environment's executables.
std::string get_relative_scripts_dir();

// The target environment: VIRTUAL_ENV, else CONDA_PREFIX of the context's
// environment (empty counts as unset), else the prefix of the base
// interpreter in the context's installation folder. Returned as found,
// unchecked.
std::string detect_virtualenv(const Context& context);

// `path` with repeated separators collapsed, "." components removed and no
// trailing separator; ".." components stay. "" and "./" become ".".
std::string _normalise_env_path(const std::string& path);

// A copy of the context's environment with VIRTUAL_ENV set to the
// normalised target environment; nothing else changed.
Environment _set_venv_environment(const Context& context);

// Runs one of "python", "jupyter", "ipython", "python3" from the target
// environment's scripts folder with `run_args`, waits for it, and fails with
// KeelboxException "<which> execution failed with error code <n>" (cause: the
// CalledProcessError) on a non-zero status. Anything else fails with
// KeelboxException "Unsupported command: <which>" before a start. A start
// failure (ProcessStartError) passes unchanged. The context's runner starts
// the program.
void _run_cmd(const Context& context, const std::string& which,
              const std::optional<std::vector<std::string>>& run_args = std::nullopt,
              const ProcessOptions& options = {});

// The name of the shell that runs the tool: the nearest process, starting at
// `pid` and going up through its ancestors, whose program is a known shell;
// lower case, without folder, extension or a login shell's leading "-".
// Throws RuntimeError when none is found (or the process table cannot be read).
std::string _detect_shell(long pid);

// A program name reduced to the form the shell detection reports.
std::string _normalise_shell_name(const std::string& program);

// The activation script for a shell name; RuntimeError "Unsupported shell: <name>".
std::string _activate_script_for(const std::string& shell);

// The activation script for the shell running the tool. KeelboxException
// "Could not detect shell." (detection failure chained) when there is none.
std::string get_activate_script();

}  // namespace keelbox

#pragma once
// The base interpreter: the Python interpreter of the installation the tool
// belongs to (python3, else python, in the folder of the tool's executable).
#include <filesystem>
#include <utility>

namespace keelbox {

struct BaseInterpreter {
  std::filesystem::path executable;  // <installation>/python3 or python
  std::filesystem::path prefix;      // the parent of the installation folder
  std::pair<int, int> version;       // (major, minor)
};

// Asks the interpreter `exe` for its (major, minor) version; RuntimeError when
// it fails or answers something else. Started like every other child: default
// signal dispositions and no blocked signals, so Ctrl-C ends it at once.
std::pair<int, int> interpreter_version(const std::filesystem::path& exe);

// Finds the base interpreter in `installation_dir` (the folder of the tool's
// executable). Its version comes from <prefix>/pyvenv.cfg (version_info, else
// version) when present, else from asking the interpreter. A missing
// interpreter is a FileNotFoundError naming the folder searched.
BaseInterpreter base_interpreter(const std::filesystem::path& installation_dir);
// The same in the folder of the running executable.
BaseInterpreter base_interpreter();

// Fails with KeelboxException "Python version (3, 9) is not supported.
// Supported versions are: [(3, 10), ...]" when the base interpreter's version
// is not in SUPPORTED_PYTHON_VERSIONS.
void check_python_version_supported();

}  // namespace keelbox

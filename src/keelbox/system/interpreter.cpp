// The base interpreter: python3 (else python) beside the tool's executable.
#include "keelbox/system/interpreter.hpp"

#include <fstream>
#include <optional>
#include <string>

#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/filesystem.hpp"
#include "keelbox/platform/installation.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/process/process.hpp"
#include "keelbox/text/strings.hpp"

namespace keelbox {
namespace fs = std::filesystem;

namespace {

std::string trim(std::string_view text) { return std::string(trim_ascii(text)); }

// "3.11.2" or "3.11.2.final.0" -> (3, 11).
std::optional<std::pair<int, int>> parse_major_minor(const std::string& text) {
  int major = 0, minor = 0;
  std::size_t pos = 0;
  try {
    major = std::stoi(text, &pos);
    if (pos >= text.size() || text[pos] != '.') return std::nullopt;
    std::size_t pos2 = 0;
    minor = std::stoi(text.substr(pos + 1), &pos2);
    if (pos2 == 0) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return std::make_pair(major, minor);
}

// The version recorded in <prefix>/pyvenv.cfg (version_info wins over version).
std::optional<std::pair<int, int>> version_from_pyvenv(const fs::path& cfg) {
  std::ifstream in(cfg);
  if (!in) return std::nullopt;
  std::optional<std::string> version_info, version;
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = trim(line.substr(0, eq));
    std::string value = trim(line.substr(eq + 1));
    if (key == "version_info") version_info = value;
    if (key == "version") version = value;
  }
  for (const auto& candidate : {version_info, version}) {
    if (!candidate) continue;
    if (auto parsed = parse_major_minor(*candidate)) return parsed;
    throw RuntimeError("Cannot read the Python version '" + *candidate + "' in " +
                       path_to_utf8(cfg));
  }
  return std::nullopt;
}

}  // namespace

std::pair<int, int> interpreter_version(const fs::path& exe) {
  // Its error output is kept from the user: an interpreter that cannot start
  // (say, over a pyvenv.cfg it cannot read) prints a traceback of its own,
  // and the error below says what failed.
  const ProcessOptions options = ProcessOptions::capture_both();
  const ProcessResult result =
      run_process(exe, {"-c", "import sys; print('%d.%d' % sys.version_info[:2])"},
                  current_environment(), options);
  auto parsed = parse_major_minor(trim(result.stdout_.value_or("")));
  if (result.returncode != 0 || !parsed) {
    throw RuntimeError("Cannot determine the version of the Python interpreter " +
                       path_to_utf8(exe));
  }
  return *parsed;
}

namespace {

std::string format_pair(const std::pair<int, int>& v) {
  return "(" + std::to_string(v.first) + ", " + std::to_string(v.second) + ")";
}

std::string python_version_not_supported_text(std::pair<int, int> version) {
  std::string text =
      "Python version " + format_pair(version) + " is not supported. Supported versions are: [";
  for (std::size_t i = 0; i < SUPPORTED_PYTHON_VERSIONS.size(); ++i) {
    if (i) text += ", ";
    text += format_pair(SUPPORTED_PYTHON_VERSIONS[i]);
  }
  return text + "]";
}

}  // namespace

BaseInterpreter base_interpreter() { return base_interpreter(tool_installation_dir()); }

BaseInterpreter base_interpreter(const fs::path& dir) {
  BaseInterpreter interp;
  std::error_code ec;
  // On Windows an environment keeps python.exe in Scripts beside the tool; a
  // base installation keeps it one level up, in the folder that holds Scripts.
  const std::vector<fs::path> candidates =
      runs_on_windows()
          ? std::vector<fs::path>{dir / "python.exe", dir.parent_path() / "python.exe"}
          : std::vector<fs::path>{dir / "python3", dir / "python"};
  for (const auto& candidate : candidates) {
    if (fs::exists(candidate, ec)) {
      interp.executable = candidate;
      break;
    }
  }
  if (interp.executable.empty()) {
    throw FileNotFoundError(std::string("No Python interpreter (") +
                            (runs_on_windows() ? "python.exe" : "python3 or python") +
                            ") found in " + path_to_utf8(dir) +
                            "; keelbox must be installed into a Python environment");
  }
  interp.prefix = dir.parent_path();
  if (auto v = version_from_pyvenv(interp.prefix / "pyvenv.cfg")) {
    interp.version = *v;
  } else {
    interp.version = interpreter_version(interp.executable);
  }
  return interp;
}

void check_python_version_supported() {
  auto version = base_interpreter().version;
  for (const auto& supported : SUPPORTED_PYTHON_VERSIONS) {
    if (supported == version) return;
  }
  throw KeelboxException(python_version_not_supported_text(version));
}

}  // namespace keelbox

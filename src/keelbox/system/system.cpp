#include "keelbox/system/system.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/system/interpreter.hpp"
#include "keelbox/text/strings.hpp"

#include "keelbox/process/process_table.hpp"

namespace keelbox {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> non_empty_env(const Environment& environment, const char* name) {
  const auto it = environment.find(name);
  if (it == environment.end() || it->second.empty()) return std::nullopt;
  return it->second;
}

}  // namespace

std::string get_relative_scripts_dir() { return runs_on_windows() ? "Scripts" : "bin"; }

std::string detect_virtualenv(const Context& context) {
  if (auto v = non_empty_env(context.environment, "VIRTUAL_ENV")) return *v;
  if (auto c = non_empty_env(context.environment, "CONDA_PREFIX")) return *c;
  return path_to_utf8(base_interpreter(context.installation_dir).prefix);
}

std::string _normalise_env_path(const std::string& path) {
  std::string prefix;  // the root ("/", or "C:\" / "C:" on Windows)
  const char separator = preferred_path_separator();
  std::size_t i = drive_prefix_length(path);
  prefix = path.substr(0, i);
  if (i < path.size() && is_path_separator(path[i])) prefix += separator;
  std::vector<std::string> parts;
  std::string current;
  for (; i <= path.size(); ++i) {
    if (i == path.size() || is_path_separator(path[i])) {
      if (!current.empty() && current != ".") parts.push_back(current);
      current.clear();
    } else {
      current += path[i];
    }
  }
  std::string out = prefix + join(parts, std::string_view(&separator, 1));
  if (out.empty()) out.assign(1, '.');
  return out;
}

Environment _set_venv_environment(const Context& context) {
  Environment env = context.environment;
  env["VIRTUAL_ENV"] = _normalise_env_path(detect_virtualenv(context));
  return env;
}

void _run_cmd(const Context& context, const std::string& which,
              const std::optional<std::vector<std::string>>& run_args,
              const ProcessOptions& options) {
  const fs::path root = path_from_utf8(detect_virtualenv(context));
  const Environment env = _set_venv_environment(context);
  static const std::vector<std::string> kAccepted = {"python", "jupyter", "ipython", "python3"};
  if (std::find(kAccepted.begin(), kAccepted.end(), which) == kAccepted.end())
    throw KeelboxException("Unsupported command: " + which);
  const fs::path program = root / get_relative_scripts_dir() / which;
  const std::vector<std::string> args = run_args.value_or(std::vector<std::string>{});
  const ProcessResult result = context.runner.run(program, args, env, options);
  if (result.returncode != 0) {
    std::vector<std::string> cmd{path_to_utf8(program)};
    cmd.insert(cmd.end(), args.begin(), args.end());
    try {
      throw CalledProcessError(cmd, result.returncode);
    } catch (const CalledProcessError&) {
      std::throw_with_nested(KeelboxException(which + " execution failed with error code " +
                                              std::to_string(result.returncode)));
    }
  }
}

// ------------------------------------------------------- shell detection ----

namespace {

const std::set<std::string>& known_shells() {
  static const std::set<std::string> shells = {
      "sh",    "bash", "dash", "ash", "zsh",  "fish",       "csh", "tcsh",  "ksh",   "mksh",
      "pdksh", "oksh", "yash", "nu",  "pwsh", "powershell", "cmd", "xonsh", "elvish"};
  return shells;
}

}  // namespace

std::string _normalise_shell_name(const std::string& program) {
  std::string name = program;
  auto slash = name.find_last_of(runs_on_windows() ? "/\\" : "/");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  if (!name.empty() && name.front() == '-') name.erase(0, 1);
  auto dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name;
}

std::string _detect_shell(long pid) {
  constexpr int kMaxDepth = 64;
  long current = pid;
  for (int depth = 0; depth < kMaxDepth && current > 0; ++depth) {
    auto info = read_process_entry(current);
    if (!info) {
      throw RuntimeError("Cannot inspect process " + std::to_string(current) +
                         " while looking for the shell");
    }
    for (const auto& n : info->names) {
      std::string name = _normalise_shell_name(n);
      if (known_shells().count(name)) return name;
    }
    if (info->parent == current) break;
    current = info->parent;
  }
  throw RuntimeError("No shell among the ancestors of process " + std::to_string(pid));
}

std::string _activate_script_for(const std::string& shell) {
  static const std::vector<std::pair<std::vector<std::string>, std::string>> kScripts = {
      {{"bash", "dash", "zsh", "ash", "sh"}, "activate"},
      {{"fish"}, "activate.fish"},
      {{"csh"}, "activate.csh"},
      {{"nu"}, "activate.nu"},
      {{"powershell", "pwsh"}, "activate.ps1"},
      {{"cmd"}, "activate.bat"},
  };
  for (const auto& [names, script] : kScripts)
    if (std::find(names.begin(), names.end(), shell) != names.end()) return script;
  throw RuntimeError("Unsupported shell: " + shell);
}

std::string get_activate_script() {
  std::string shell;
  try {
    shell = _detect_shell(shell_search_start());
  } catch (const Error&) {
    std::throw_with_nested(KeelboxException("Could not detect shell."));
  }
  return _activate_script_for(shell);
}

}  // namespace keelbox

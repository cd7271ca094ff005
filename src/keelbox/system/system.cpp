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
#include "keelbox/system/interpreter.hpp"
#include "keelbox/text/strings.hpp"

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
#elif defined(__APPLE__)
#include <libproc.h>
#include <sys/sysctl.h>
#include <unistd.h>
#else
#include <unistd.h>
#endif

namespace keelbox {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> non_empty_env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

bool is_separator(char c) {
#ifdef _WIN32
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}

constexpr char kSeparator =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif

}  // namespace

std::string get_relative_scripts_dir() { return runs_on_windows() ? "Scripts" : "bin"; }

bool runs_on_windows() {
#ifdef _WIN32
  return true;
#else
  return false;
#endif
}

std::string detect_virtualenv() {
  if (auto v = non_empty_env("VIRTUAL_ENV")) return *v;
  if (auto c = non_empty_env("CONDA_PREFIX")) return *c;
  return base_interpreter().prefix.string();
}

std::string _normalise_env_path(const std::string& path) {
  std::string prefix;  // the root ("/", or "C:\" / "C:" on Windows)
  std::size_t i = 0;
#ifdef _WIN32
  if (path.size() >= 2 && path[1] == ':') {
    prefix = path.substr(0, 2);
    i = 2;
  }
#endif
  if (i < path.size() && is_separator(path[i])) prefix += kSeparator;
  std::vector<std::string> parts;
  std::string current;
  for (; i <= path.size(); ++i) {
    if (i == path.size() || is_separator(path[i])) {
      if (!current.empty() && current != ".") parts.push_back(current);
      current.clear();
    } else {
      current += path[i];
    }
  }
  std::string out = prefix + join(parts, std::string_view(&kSeparator, 1));
  if (out.empty()) out.assign(1, '.');
  return out;
}

Environment _set_venv_environment() {
  Environment env = current_environment();
  env["VIRTUAL_ENV"] = _normalise_env_path(detect_virtualenv());
  return env;
}

void _run_cmd(const std::string& which, const std::optional<std::vector<std::string>>& run_args,
              const ProcessOptions& options) {
  const fs::path root = detect_virtualenv();
  const Environment env = _set_venv_environment();
  static const std::vector<std::string> kAccepted = {"python", "jupyter", "ipython", "python3"};
  if (std::find(kAccepted.begin(), kAccepted.end(), which) == kAccepted.end())
    throw KeelboxException("Unsupported command: " + which);
  const fs::path program = root / get_relative_scripts_dir() / which;
  const std::vector<std::string> args = run_args.value_or(std::vector<std::string>{});
  const ProcessResult result = run_process(program, args, env, options);
  if (result.returncode != 0) {
    std::vector<std::string> cmd{program.string()};
    cmd.insert(cmd.end(), args.begin(), args.end());
    try {
      throw CalledProcessError(cmd, result.returncode);
    } catch (const CalledProcessError&) {
      std::throw_with_nested(KeelboxException(
          which + " execution failed with error code " + std::to_string(result.returncode)));
    }
  }
}

// ------------------------------------------------------- shell detection ----

namespace {

const std::set<std::string>& known_shells() {
  static const std::set<std::string> shells = {
      "sh",  "bash", "dash", "ash",  "zsh",        "fish", "csh",   "tcsh",   "ksh",
      "mksh", "pdksh", "oksh", "yash", "nu",    "pwsh", "powershell", "cmd", "xonsh", "elvish"};
  return shells;
}

struct ProcessInfo {
  long parent = 0;
  std::vector<std::string> names;  // the program's names, most telling first
};

#if defined(_WIN32)
std::optional<ProcessInfo> read_process(long pid) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return std::nullopt;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  std::optional<ProcessInfo> found;
  for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
    if (static_cast<long>(entry.th32ProcessID) == pid) {
      ProcessInfo info;
      info.parent = static_cast<long>(entry.th32ParentProcessID);
      info.names.push_back(fs::path(entry.szExeFile).string());
      found = info;
      break;
    }
  }
  CloseHandle(snap);
  return found;
}
#elif defined(__APPLE__)
std::optional<ProcessInfo> read_process(long pid) {
  int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, static_cast<int>(pid)};
  struct kinfo_proc kp {};
  size_t len = sizeof kp;
  if (sysctl(mib, 4, &kp, &len, nullptr, 0) != 0 || len == 0) return std::nullopt;
  ProcessInfo info;
  info.parent = kp.kp_eproc.e_ppid;
  info.names.push_back(kp.kp_proc.p_comm);
  char path[PROC_PIDPATHINFO_MAXSIZE];
  if (proc_pidpath(static_cast<int>(pid), path, sizeof path) > 0) info.names.push_back(path);
  return info;
}
#else
std::optional<ProcessInfo> read_process(long pid) {
  const fs::path dir = fs::path("/proc") / std::to_string(pid);
  std::ifstream stat(dir / "stat");
  std::string line;
  if (!stat || !std::getline(stat, line)) return std::nullopt;
  // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
  auto close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  ProcessInfo info;
  {
    std::string rest = line.substr(close + 1);
    char state = 0;
    long ppid = 0;
    if (std::sscanf(rest.c_str(), " %c %ld", &state, &ppid) != 2) return std::nullopt;
    info.parent = ppid;
  }
  std::ifstream comm(dir / "comm");
  std::string name;
  if (comm && std::getline(comm, name)) info.names.push_back(name);
  std::ifstream cmdline(dir / "cmdline", std::ios::binary);
  std::string argv0;
  if (cmdline && std::getline(cmdline, argv0, '\0') && !argv0.empty()) info.names.push_back(argv0);
  std::error_code ec;
  fs::path exe = fs::read_symlink(dir / "exe", ec);
  if (!ec) info.names.push_back(exe.string());
  return info;
}
#endif

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
    auto info = read_process(current);
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
#ifdef _WIN32
    shell = _detect_shell(static_cast<long>(GetCurrentProcessId()));
#else
    shell = _detect_shell(static_cast<long>(::getppid()));
#endif
  } catch (const Error&) {
    std::throw_with_nested(KeelboxException("Could not detect shell."));
  }
  return _activate_script_for(shell);
}

}  // namespace keelbox

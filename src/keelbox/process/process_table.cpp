// The process table: Toolhelp snapshots on Windows, sysctl and libproc on
// macOS, /proc elsewhere.
#include "keelbox/process/process_table.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>

#if defined(_WIN32)
#include <tlhelp32.h>
#include <windows.h>

#include "keelbox/platform/wide.hpp"
#elif defined(__APPLE__)
#include <libproc.h>
#include <sys/sysctl.h>
#include <unistd.h>
#else
#include <unistd.h>
#endif

namespace keelbox {

namespace fs = std::filesystem;

#if defined(_WIN32)
namespace {

// When process `pid` was started; nullopt when it cannot be asked.
std::optional<ULONGLONG> creation_time(DWORD pid) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return std::nullopt;
  FILETIME created{}, exited{}, kernel{}, user{};
  const BOOL ok = GetProcessTimes(process, &created, &exited, &kernel, &user);
  CloseHandle(process);
  if (!ok) return std::nullopt;
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

}  // namespace

std::optional<ProcessEntry> read_process_entry(long pid) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return std::nullopt;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  std::optional<ProcessEntry> found;
  for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
    if (static_cast<long>(entry.th32ProcessID) == pid) {
      ProcessEntry info;
      info.parent = static_cast<long>(entry.th32ParentProcessID);
      info.names.push_back(from_wide(entry.szExeFile));
      found = info;
      break;
    }
  }
  CloseHandle(snap);
  // Windows keeps the parent's number after the parent has ended, and may
  // give it to a newer process: a "parent" started after its child is not it.
  if (found && found->parent > 0) {
    const auto child = creation_time(static_cast<DWORD>(pid));
    const auto parent = creation_time(static_cast<DWORD>(found->parent));
    if (child && parent && *parent > *child) found->parent = 0;
  }
  return found;
}
#elif defined(__APPLE__)
std::optional<ProcessEntry> read_process_entry(long pid) {
  int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, static_cast<int>(pid)};
  struct kinfo_proc kp {};
  size_t len = sizeof kp;
  if (sysctl(mib, 4, &kp, &len, nullptr, 0) != 0 || len == 0) return std::nullopt;
  ProcessEntry info;
  info.parent = kp.kp_eproc.e_ppid;
  info.names.push_back(kp.kp_proc.p_comm);
  char path[PROC_PIDPATHINFO_MAXSIZE];
  if (proc_pidpath(static_cast<int>(pid), path, sizeof path) > 0) info.names.push_back(path);
  return info;
}
#else
std::optional<ProcessEntry> read_process_entry(long pid) {
  const fs::path dir = fs::path("/proc") / std::to_string(pid);
  std::ifstream stat(dir / "stat");
  std::string line;
  if (!stat || !std::getline(stat, line)) return std::nullopt;
  // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
  auto close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  ProcessEntry info;
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

long shell_search_start() {
#ifdef _WIN32
  return static_cast<long>(GetCurrentProcessId());
#else
  return static_cast<long>(::getppid());
#endif
}

}  // namespace keelbox

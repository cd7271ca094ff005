// The process table on POSIX systems: sysctl and libproc on macOS, /proc
// elsewhere.
#include "keelbox/process/process_table.hpp"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#if defined(__APPLE__)
#include <libproc.h>
#include <sys/sysctl.h>
#endif

namespace keelbox {

#if defined(__APPLE__)
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
namespace fs = std::filesystem;

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

long shell_search_start() { return static_cast<long>(::getppid()); }

}  // namespace keelbox

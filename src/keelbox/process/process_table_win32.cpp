// The process table on Windows: Toolhelp snapshots.
#include <tlhelp32.h>
#include <windows.h>

#include <optional>

#include "keelbox/platform/wide.hpp"
#include "keelbox/process/process_table.hpp"

namespace keelbox {

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

long shell_search_start() { return static_cast<long>(GetCurrentProcessId()); }

}  // namespace keelbox

#include "keelbox/platform/installation.hpp"

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/wide.hpp"

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#include <climits>
#include <cstdint>
#elif defined(_WIN32)
#include <windows.h>

#include <system_error>
#include <vector>
#endif

namespace keelbox {

#ifdef _WIN32
namespace {

std::string windows_error(DWORD code) {
  std::string text = std::system_category().message(static_cast<int>(code));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

// The path of the running executable as the loader reports it.
std::wstring module_file_name() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0)
      throw RuntimeError("Cannot locate the keelbox executable: " +
                         windows_error(::GetLastError()));
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    if (buffer.size() >= 32768)
      throw RuntimeError("Cannot locate the keelbox executable: its path is too long");
    buffer.resize(buffer.size() * 2);
  }
}

// The final path of `file`, every symbolic link and junction on it resolved
// by the system, without the "\\?\" prefix where the path is an ordinary one.
std::wstring final_path(const std::wstring& file) {
  HANDLE handle =
      ::CreateFileW(file.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return file;  // the loader's name is the best there is
  std::wstring out(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFinalPathNameByHandleW(handle, out.data(), static_cast<DWORD>(out.size()),
                                                FILE_NAME_NORMALIZED);
    if (n == 0) {
      out = file;
      break;
    }
    if (n < out.size()) {
      out.resize(n);
      break;
    }
    out.resize(n);
  }
  ::CloseHandle(handle);
  if (out.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + out.substr(8);
  if (out.rfind(L"\\\\?\\", 0) == 0 && out.size() > 6 && out[5] == L':') return out.substr(4);
  return out;
}

}  // namespace
#endif

std::filesystem::path tool_installation_dir() {
  namespace fs = std::filesystem;
  std::error_code ec;
#if defined(__APPLE__)
  char buf[PATH_MAX];
  uint32_t size = sizeof(buf);
  if (_NSGetExecutablePath(buf, &size) != 0)
    throw RuntimeError("Cannot locate the keelbox executable");
  fs::path exe = fs::canonical(buf, ec);
#elif defined(_WIN32)
  fs::path exe = final_path(module_file_name());
#else
  fs::path exe = fs::canonical("/proc/self/exe", ec);
#endif
  if (ec) throw RuntimeError("Cannot locate the keelbox executable: " + ec.message());
  return exe.parent_path();
}

std::string executable_file_name(std::string_view program) {
#ifdef _WIN32
  return std::string(program) + ".exe";
#else
  return std::string(program);
#endif
}

}  // namespace keelbox

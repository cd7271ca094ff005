#include "keelbox/platform/installation.hpp"

#include "keelbox/exceptions/exceptions.hpp"

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#include <climits>
#include <cstdint>
#elif defined(_WIN32)
#include <windows.h>
#endif

namespace keelbox {

std::filesystem::path tool_installation_dir() {
  namespace fs = std::filesystem;
  std::error_code ec;
#if defined(__APPLE__)
  char buf[PATH_MAX];
  uint32_t size = sizeof(buf);
  if (_NSGetExecutablePath(buf, &size) != 0) throw RuntimeError("Cannot locate the keelbox executable");
  fs::path exe = fs::canonical(buf, ec);
#elif defined(_WIN32)
  wchar_t buf[32768];
  DWORD n = GetModuleFileNameW(nullptr, buf, 32768);
  if (n == 0) throw RuntimeError("Cannot locate the keelbox executable");
  fs::path exe = fs::canonical(fs::path(std::wstring(buf, n)), ec);
#else
  fs::path exe = fs::canonical("/proc/self/exe", ec);
#endif
  if (ec) throw RuntimeError("Cannot locate the keelbox executable: " + ec.message());
  return exe.parent_path();
}

}  // namespace keelbox

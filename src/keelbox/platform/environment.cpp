#include "keelbox/platform/environment.hpp"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>

#include "keelbox/platform/wide.hpp"
#endif

namespace keelbox {

std::optional<std::string> environment_variable(std::string_view name) {
#ifdef _WIN32
  const std::wstring wide_name = to_wide(name);
  std::wstring value(256, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD got =
        GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (got == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (got < value.size()) {
      value.resize(got);
      return from_wide(value);
    }
    value.resize(got);  // `got` counts the terminator when the buffer was too small
  }
#else
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
#endif
}

}  // namespace keelbox

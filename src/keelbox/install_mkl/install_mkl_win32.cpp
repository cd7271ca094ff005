// The MKL runtime's link on Windows: a symbolic link, made without the user
// right where the system allows that.
#include <windows.h>

#include <filesystem>
#include <system_error>

#include "keelbox/install_mkl/install_mkl_internal.hpp"

namespace keelbox {

void create_file_link(const std::filesystem::path& target, const std::filesystem::path& link) {
  // Without the user right, Windows (10 and later, in developer mode) still
  // lets a user create links when asked to; older systems refuse that flag.
  if (CreateSymbolicLinkW(link.c_str(), target.c_str(),
                          SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
    return;
  DWORD err = GetLastError();
  if (err == ERROR_INVALID_PARAMETER) {
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), 0)) return;
    err = GetLastError();
  }
  throw std::filesystem::filesystem_error(
      "cannot create symlink", link, target,
      std::error_code(static_cast<int>(err), std::system_category()));
}

}  // namespace keelbox

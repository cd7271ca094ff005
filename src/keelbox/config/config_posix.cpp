// The tool's folders on POSIX systems (config.hpp): the platform is Linux or
// macOS, and the user's home comes from HOME or, unset, the user database.
#include <pwd.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/environment.hpp"

namespace keelbox {
namespace {

// HOME when it names a folder from the root, else the user database's.
std::filesystem::path user_home() {
  if (auto home = folder_variable(current_platform(), process_env(), "HOME")) return *home;
  if (const passwd* pw = ::getpwuid(::getuid());
      pw && pw->pw_dir && names_folder_from_root(current_platform(), pw->pw_dir)) {
    return pw->pw_dir;
  }
  throw RuntimeError("Cannot determine the home folder: HOME is not set");
}

}  // namespace

Platform current_platform() {
#if defined(__APPLE__)
  return Platform::MacOS;
#else
  return Platform::Linux;
#endif
}

AppDirs _get_appdirs() { return compute_app_dirs(current_platform(), process_env(), user_home()); }

}  // namespace keelbox

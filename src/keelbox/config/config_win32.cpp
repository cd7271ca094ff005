// The tool's folders on Windows (config.hpp): below the user's profile, the
// cache below the known folder LocalAppData.
#include "keelbox/config/config.hpp"
#include "keelbox/platform/folders.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox {

Platform current_platform() { return Platform::Windows; }

AppDirs _get_appdirs() {
  auto env = process_env();
  auto profile = env("USERPROFILE");
  return compute_app_dirs(Platform::Windows, env,
                          profile ? path_from_utf8(*profile) : std::filesystem::path(),
                          known_local_app_data_folder());
}

}  // namespace keelbox

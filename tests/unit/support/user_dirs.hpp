#pragma once
// A throw-away home for a unit test: a fresh folder below the temporary
// folder, with HOME and the XDG configuration, cache and data folders of this
// process pointing into it (and, for Windows, USERPROFILE and LOCALAPPDATA).
#include <filesystem>
#include <stdexcept>
#include <string>

#include "portable.hpp"

namespace keelbox::testing {

inline std::filesystem::path make_user_dirs(const std::string& prefix) {
  const std::filesystem::path root = make_temp_dir(prefix);
  set_env("HOME", (root / "home").string());
  set_env("XDG_CONFIG_HOME", (root / "config").string());
  set_env("XDG_CACHE_HOME", (root / "cache").string());
  set_env("XDG_DATA_HOME", (root / "data").string());
  set_env("USERPROFILE", (root / "home").string());
  set_env("LOCALAPPDATA", (root / "local").string());
  return root;
}

}  // namespace keelbox::testing

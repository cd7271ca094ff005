#pragma once
// A throw-away home for a unit test: a fresh folder below the temporary
// folder, with HOME and the XDG configuration, cache and data folders of this
// process pointing into it.
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace keelbox::testing {

inline std::filesystem::path make_user_dirs(const std::string& prefix) {
  std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  const std::filesystem::path root = tmpl;
  setenv("HOME", (root / "home").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
  setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
  return root;
}

}  // namespace keelbox::testing

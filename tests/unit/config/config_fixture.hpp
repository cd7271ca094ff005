#pragma once
// What the configuration's tests share (config_test.cpp on every system,
// config_posix_test.cpp on Linux): a throw-away folder per test that the
// tool's folders point into, by XDG variables on Linux and by the profile and
// LocalAppData variables on Windows (restored afterwards: one test program
// runs every module's tests there).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>

#include "../support/portable.hpp"
#include "keelbox/platform/environment.hpp"
#include "keelbox/platform/filesystem.hpp"

namespace keelbox::testing {

class ConfigFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    // A short name: a test binds a Unix socket in it, whose path may hold
    // at most 107 bytes, wherever TMPDIR points.
    root_ = make_temp_dir("keelbox-config");
    // Open to the other user some tests run as, as a folder made anew is.
    std::filesystem::permissions(
        root_, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                   std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                   std::filesystem::perms::others_exec);
    for (const char* name : {"USERPROFILE", "LOCALAPPDATA"})
      saved_[name] = environment_variable(name);
    set_env("XDG_CONFIG_HOME", (root_ / "config").string());
    set_env("XDG_DATA_HOME", (root_ / "data").string());
    set_env("XDG_CACHE_HOME", (root_ / "cache").string());
    if (runs_on_windows()) {
      set_env("USERPROFILE", (root_ / "profile").string());
      set_env("LOCALAPPDATA", (root_ / "local").string());
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) set_env(name, value);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  // The folders the tool uses for its configuration, data and cache here.
  std::filesystem::path config_dir() const {
    return runs_on_windows() ? root_ / "profile" / ".ZVK" / "Keelbox"
                             : root_ / "config" / "Keelbox";
  }
  std::filesystem::path data_dir() const {
    return runs_on_windows() ? config_dir() : root_ / "data" / "Keelbox";
  }
  std::filesystem::path cache_dir() const {
    return runs_on_windows() ? root_ / "local" / "ZVK Numerics GmbH" / "Keelbox" / "Cache"
                             : root_ / "cache" / "Keelbox";
  }
  std::filesystem::path config_file() const { return config_dir() / "keelbox.toml"; }

  static std::string read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void write(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }

  std::filesystem::path root_;

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace keelbox::testing

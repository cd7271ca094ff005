#pragma once
// Test support for the tests that start real programs: throw-away folders and
// Python environments, scoped environment variables, the uv stand-in beside
// the test executable (where the tool looks for uv when no test context names
// another installation folder).
#include <gtest/gtest.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../support/portable.hpp"
#include "keelbox/platform/environment.hpp"
#include "keelbox/platform/installation.hpp"
#include "keelbox/process/process.hpp"

namespace keelbox::testing {

namespace fs = std::filesystem;

inline fs::path source_dir() { return fs::path(KEELBOX_SOURCE_DIR); }
inline fs::path tools_dir() { return source_dir() / "tests" / "tools"; }

class TempDir {
 public:
  TempDir() : path_(make_temp_dir("keelbox-test")) {}
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// Sets (or, with nullopt, unsets) variables and restores them afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::initializer_list<std::pair<std::string, std::optional<std::string>>> vars) {
    for (const auto& [name, value] : vars) set(name, value);
  }
  void set(const std::string& name, const std::optional<std::string>& value) {
    if (!saved_.count(name)) {
      saved_[name] = keelbox::environment_variable(name);
    }
    set_env(name, value);
  }
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) set_env(name, value);
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

inline std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A Python environment made with the interpreter the tests were configured with.
inline void make_venv(const fs::path& dir, bool with_pip) {
  std::vector<std::string> args = {"-m", "venv"};
  if (!with_pip) args.push_back("--without-pip");
  args.push_back(dir.string());
  auto r = run_process(KEELBOX_PYTHON, args, current_environment(), ProcessOptions::capture_both());
  if (r.returncode != 0)
    throw std::runtime_error("venv failed: " + r.stdout_.value_or("") + r.stderr_.value_or(""));
}

// Copies `from` to `to` through a temporary name, so concurrent test runs
// never see a half-written file.
inline void copy_atomically(const fs::path& from, const fs::path& to) {
  fs::path tmp = to;
  tmp += ".tmp-" + std::to_string(::getpid());
  fs::copy_file(from, tmp, fs::copy_options::overwrite_existing);
  fs::permissions(tmp, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  fs::rename(tmp, to);
}

// The uv stand-in beside the running test executable, where the tool looks for uv.
inline void install_uv_standin() {
  copy_atomically(tools_dir() / "uv" / "uv", tool_installation_dir() / "uv");
}

// The JSON lines the uv stand-in logged.
inline std::vector<nlohmann::json> read_uv_log(const fs::path& log) {
  std::vector<nlohmann::json> lines;
  std::ifstream in(log);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

// The nested cause of `e` when it is a `Cause`.
template <typename Cause>
std::optional<Cause> nested_cause(const std::exception& e) {
  try {
    std::rethrow_if_nested(e);
  } catch (const Cause& cause) {
    return cause;
  } catch (...) {
  }
  return std::nullopt;
}

}  // namespace keelbox::testing

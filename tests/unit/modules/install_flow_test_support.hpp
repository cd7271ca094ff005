#pragma once
// The install flow's tests' common ground: a user with a profile, the
// account's modules on the scripted HTTP engine, a fake runner in place of uv
// and the target's python, and what the flow says and runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../support/fake_context.hpp"
#include "../support/fake_http.hpp"
#include "../support/portable.hpp"
#include "../support/user_dirs.hpp"
#include "../uv/uv_test_support.hpp"
#include "keelbox/api/api.hpp"
#include "keelbox/cache/cache.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/platform/installation.hpp"

namespace keelbox::flow_test {

namespace fs = std::filesystem;
using testing::FakeAnswer;
using testing::FakeProcessRunner;
using testing::ScopedEnv;
using V = std::vector<std::string>;

inline constexpr const char* kIndex = "https://pypi.zvk.invalid/simple/";
inline const std::string kHeading = "\nInstalling modules and packages\n\nResolving names\n";
inline const std::string kQuestion = "Continue? [Y/n]: ";

inline nlohmann::json entitlement(const std::string& name, const std::string& code,
                                  const V& packages) {
  return {{"name", name},
          {"code", code},
          {"packages", packages},
          {"required_entitlements", nlohmann::json::array()}};
}

// What std::cin reads for the life of the object.
class ScopedInput {
 public:
  explicit ScopedInput(const std::string& text) : in_(text), saved_(std::cin.rdbuf(in_.rdbuf())) {}
  ~ScopedInput() {
    std::cin.rdbuf(saved_);
    std::cin.clear();
  }
  ScopedInput(const ScopedInput&) = delete;
  ScopedInput& operator=(const ScopedInput&) = delete;

 private:
  std::istringstream in_;
  std::streambuf* saved_;
};

inline V install_args(const V& packages, bool dry_run) {
  V args = {"pip", "install"};
  args.insert(args.end(), packages.begin(), packages.end());
  for (const std::string& p : packages) args.insert(args.end(), {"--upgrade-package", p});
  args.insert(args.end(), {"--index-url", kIndex});
  if (dry_run) args.push_back("--dry-run");
  return args;
}

// A user with a profile, the account's modules served by the scripted HTTP
// engine (the entitlements, the index address answered "see other"), and a
// target environment named by VIRTUAL_ENV.
class Flow : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = testing::make_user_dirs("keelbox-flow");
    target_ = root_ / "target";
    std::ofstream(root_ / executable_file_name("uv"))
        << "";  // the installation's uv, which the fake runner "starts"
    fake_.context.installation_dir = root_;
    fake_.context.environment = {{"VIRTUAL_ENV", target_.string()}, {"PATH", "/usr/bin"}};
    fs::create_directories(get_config_file().parent_path());
    std::ofstream(get_config_file())
        << "[profile]\ntoken_id = \"id-1\"\ntoken = \"secret-1\"\ncloud_environment = \"cloud\"\n\n"
           "[options]\nadvanced_mode = false\n";
    _get_cache().clear();
    env_.set("NO_COLOR", "1");
    http_.on(api::_get_token_api_url() + "/oauth/token",
             FakeAnswer(200).body(R"({"access_token": "sbx-1"})"));
    http_.on(api::_get_core_rest_url() + "/pip", FakeAnswer::redirect(303, kIndex));
    // The entitlements as they stand when asked (a test may change them).
    http_.otherwise([this](const testing::RecordedRequest& request) {
      if (request.url == api::_get_core_rest_url() + "/entitlements")
        return FakeAnswer(200).body(entitlements_.dump());
      return FakeAnswer(404);
    });
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  fs::path root_, target_;
  ScopedEnv env_{};
  nlohmann::json entitlements_ = {
      entitlement("ZVK Sample App", "ENT_ZVK_SAMPLE_APP", {"zvk-sample-app", "zvk-sample-utils"}),
      entitlement("ZVK Tracer", "ENT_ZVK_TRACER_FREE", {"zvk-tracer"})};
  testing::FakeContext fake_;
  FakeProcessRunner& runner_ = fake_.runner;
  testing::FakeHttp& http_ = fake_.http;
  Context& context_ = fake_.context;
};

inline void expect_in_order(const std::string& text, const V& pieces) {
  std::size_t at = 0;
  for (const std::string& piece : pieces) {
    const std::size_t found = text.find(piece, at);
    ASSERT_NE(found, std::string::npos) << "'" << piece << "' not found in order in:\n" << text;
    at = found + piece.size();
  }
}

}  // namespace keelbox::flow_test

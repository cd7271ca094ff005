// Linux only: the entitlements and the index address come from the sandbox cloud (Python).
//
// The install flow and the module listing against the sandbox cloud, with a
// fake context (its runner in place of uv and the target's python): what is
// asked, what is said, and which runs happen in which order. Real
// installations are the black-box tests' part.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "../support/fake_context.hpp"
#include "../support/sandbox.hpp"
#include "../uv/uv_test_support.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/modules/modules.hpp"

namespace keelbox {
namespace {

namespace fs = std::filesystem;
using testing::FakeProcessRunner;
using testing::ScopedEnv;
using testing::TempDir;
using V = std::vector<std::string>;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

constexpr const char* kIndex = "https://pypi.zvk.invalid/simple/";
const std::string kHeading = "\nInstalling modules and packages\n\nResolving names\n";
const std::string kQuestion = "Continue? [Y/n]: ";

nlohmann::json entitlement(const std::string& name, const std::string& code, const V& packages) {
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

V install_args(const V& packages, bool dry_run) {
  V args = {"pip", "install"};
  args.insert(args.end(), packages.begin(), packages.end());
  for (const std::string& p : packages) args.insert(args.end(), {"--upgrade-package", p});
  args.insert(args.end(), {"--index-url", kIndex});
  if (dry_run) args.push_back("--dry-run");
  return args;
}

// A user with a profile, the account's two modules in the sandbox cloud, and a
// target environment named by VIRTUAL_ENV.
class Flow : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(home_ / "uv") << "";  // the installation's uv, which the fake runner "starts"
    context_.installation_dir = home_.path();
    context_.environment = {{"VIRTUAL_ENV", target_.string()}, {"PATH", "/usr/bin"}};
    fs::create_directories(home_ / "config" / "Keelbox");
    std::ofstream(home_ / "config" / "Keelbox" / "keelbox.toml")
        << "[profile]\ntoken_id = \"id-1\"\ntoken = \"secret-1\"\ncloud_environment = \"cloud\"\n\n"
           "[options]\nadvanced_mode = false\n";
    env_.set("HOME", (home_ / "home").string());
    env_.set("XDG_CONFIG_HOME", (home_ / "config").string());
    env_.set("XDG_CACHE_HOME", (home_ / "cache").string());
    env_.set("XDG_DATA_HOME", (home_ / "data").string());
    env_.set("NO_COLOR", "1");
    for (const char* v : {"HTTPS_PROXY", "https_proxy"}) env_.set(v, cloud_.proxy_url());
    for (const char* v : {"NO_PROXY", "no_proxy"}) env_.set(v, "");
    env_.set("SSL_CERT_FILE", cloud_.ca_file.string());
    // The target's interpreter, which the MKL probe starts (here: the fake runner).
    fs::create_directories(target_ / "bin");
    std::ofstream(target_ / "bin" / "python") << "#!/bin/sh\n";
    fs::permissions(target_ / "bin" / "python", fs::perms::owner_all);
  }

  TempDir home_;
  fs::path target_ = home_ / "target";
  ScopedEnv env_{};
  testing::SandboxCloud cloud_{
      {{"accept_any_token", true},
       {"pip_location", kIndex},
       {"entitlements",
        {entitlement("ZVK Sample App", "ENT_ZVK_SAMPLE_APP",
                     {"zvk-sample-app", "zvk-sample-utils"}),
         entitlement("ZVK Tracer", "ENT_ZVK_TRACER_FREE", {"zvk-tracer"})}}}};
  testing::FakeContext fake_;
  FakeProcessRunner& runner_ = fake_.runner;
  // The sandbox cloud answers these tests through the real HTTP engine.
  Context context_{fake_.runner, http::system_client(), fake_.clock, {}, {}};
};

void expect_in_order(const std::string& text, const V& pieces) {
  std::size_t at = 0;
  for (const std::string& piece : pieces) {
    const std::size_t found = text.find(piece, at);
    ASSERT_NE(found, std::string::npos) << "'" << piece << "' not found in order in:\n" << text;
    at = found + piece.size();
  }
}

TEST_F(Flow, DryRunQuestionAndInstallFollowTheAnswer) {
  const V set = {"zvk-sample-app", "zvk-sample-utils", "numpy"};
  const std::string resolved =
      "Modules to install: ['Zvk Sample App']\nAdditional packages to install: ['numpy']\n";
  const std::string preparing =
      "\nPreparing install and resolving dependencies for\n['zvk-sample-app', 'zvk-sample-utils', "
      "'numpy']\n";
  const std::string installing = "Installing\n['zvk-sample-app', 'zvk-sample-utils', 'numpy']\n";
  enum Outcome { Installed, Declined, Aborted, DryRunFails };
  struct Case {
    const char* name;
    bool yes;
    std::string input;
    std::vector<int> statuses;  // of the runs, in order (0 when none is left)
    Outcome outcome;
    V said;  // in this order
    std::size_t questions;
  };
  const std::vector<Case> cases = {
      {"confirmed",
       false,
       "y\n",
       {},
       Installed,
       {kHeading + resolved + preparing, kQuestion + installing},
       1},
      {"an empty answer takes the default",
       false,
       "\n",
       {},
       Installed,
       {kQuestion + installing},
       1},
      {"declined", false, " No \n", {}, Declined, {preparing, kQuestion}, 1},
      {"asked again after an invalid answer",
       false,
       "maybe\nyes\n",
       {},
       Installed,
       {kQuestion + "Error: invalid input\n" + kQuestion + installing},
       2},
      {"end of input at the question", false, "", {}, Aborted, {preparing, kQuestion}, 1},
      {"a failing dry run ends before the question",
       false,
       "y\n",
       {1},
       DryRunFails,
       {preparing},
       0},
      {"yes: no dry run and no question",
       true,
       "",
       {},
       Installed,
       {kHeading + resolved + installing},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    runner_ = FakeProcessRunner();
    for (int status : c.statuses) runner_.answer(status);
    const ScopedInput input(c.input);
    CaptureStdout();
    Outcome outcome = Installed;
    try {
      install_modules(context_, {"zvk-sample-app", " numpy"}, c.yes, std::nullopt);
      if (!c.yes && runner_.runs.size() == 1) outcome = Declined;
    } catch (const PromptAborted&) {
      outcome = Aborted;
    } catch (const KeelboxUVException& e) {
      outcome = DryRunFails;
      EXPECT_NE(std::string(e.what()).find("'--dry-run'"), std::string::npos) << e.what();
    }
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(outcome, c.outcome) << out;
    expect_in_order(out, c.said);
    std::size_t questions = 0;
    for (std::size_t at = out.find(kQuestion); at != std::string::npos;
         at = out.find(kQuestion, at + 1))
      ++questions;
    EXPECT_EQ(questions, c.questions) << out;

    std::vector<V> expected;
    if (!c.yes) expected.push_back(install_args(set, true));
    if (c.outcome == Installed) expected.push_back(install_args(set, false));
    std::vector<V> seen;
    for (const auto& run : runner_.runs) {
      seen.push_back(run.args);
      EXPECT_EQ(run.env.at("VIRTUAL_ENV"), target_.string());
      EXPECT_EQ(run.options.stdout_mode, StreamMode::Inherit);  // uv talks to the user itself
    }
    EXPECT_EQ(seen, expected);
  }
}

TEST_F(Flow, MklIsProvisionedBeforeThePackages) {
  fs::create_directories(target_ / "lib");
  std::ofstream(target_ / "lib" / "libmkl_rt.so.2") << "lib";
  struct Case {
    const char* name;
    int probe_status;  // 0: the target's python finds mkl
    V said;
    std::size_t uv_installs_of_mkl;
  };
  const std::vector<Case> cases = {
      {"absent: installed, then linked",
       1,
       {"MKL will be installed.\nInstalling\n['zvk-tracer']\n", "Installing MKL via pip.\n",
        "Creating symlink " + (target_ / "lib" / "libmkl_rt.so").string() + " to libmkl_rt.so.2\n"},
       1},
      {"present: only the link is left to make",
       0,
       {"MKL will be installed.\n",
        "MKL library already installed / available in " + target_.string() + ".\n"},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(target_ / "lib" / "libmkl_rt.so");
    runner_ = FakeProcessRunner();
    runner_.answer(c.probe_status);
    CaptureStdout();
    install_modules(context_, {"mkl", "zvk-tracer"}, /*yes=*/true, std::nullopt);
    const std::string out = GetCapturedStdout();
    expect_in_order(out, c.said);
    EXPECT_TRUE(fs::is_symlink(target_ / "lib" / "libmkl_rt.so")) << out;

    ASSERT_EQ(runner_.runs.size(), 2 + c.uv_installs_of_mkl) << out;
    EXPECT_EQ(runner_.runs.front().program.filename(), "python");  // the presence probe
    if (c.uv_installs_of_mkl) {
      EXPECT_EQ(runner_.runs[1].args, install_args({"mkl"}, false));
    }
    EXPECT_EQ(runner_.runs.back().args, install_args({"zvk-tracer"}, false));
  }
}

TEST_F(Flow, ListingAsksUvOncePerPackageInTableOrderAndCapturesItsAnswer) {
  cloud_.update(
      "entitlements",
      {entitlement("ZVK Sample App", "ENT_ZVK_SAMPLE_APP", {"zvk-sample-app", "zvk-sample-utils"}),
       entitlement("ZVK Tracer", "ENT_ZVK_TRACER_FREE", {"zvk-tracer", "bad key;rm"})});
  runner_.answer(0, "Name: zvk-sample-app\nVersion: 1.4.0\n").answer(1, "", "not installed");
  CaptureStdout();
  CaptureStderr();
  show_all_entitled_modules(context_);
  const std::string out = GetCapturedStdout();
  const std::string err = GetCapturedStderr();
  std::vector<V> seen;
  for (const auto& run : runner_.runs) {
    seen.push_back(run.args);
    EXPECT_EQ(run.options.stdout_mode, StreamMode::Capture);
  }
  // A key that is no package name never reaches uv; it is named after the table.
  EXPECT_EQ(seen, (std::vector<V>{{"pip", "show", "zvk-sample-app"},
                                  {"pip", "show", "zvk-sample-utils"},
                                  {"pip", "show", "zvk-tracer"}}));
  expect_in_order(
      out, {"ZVK Sample App", "zvk-sample-app, zvk-sample-utils", "ZVK Tracer", "zvk-tracer"});
  EXPECT_NE(err.find("bad key;rm"), std::string::npos) << err;
}

}  // namespace
}  // namespace keelbox

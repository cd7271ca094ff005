// Linux only: the index address comes from the sandbox cloud, a Python server started by /bin/sh.
#include "keelbox/install/install.hpp"

#include <gtest/gtest.h>

#include "../support/fake_context.hpp"
#include "../uv/uv_test_support.hpp"
#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempDir;
using V = std::vector<std::string>;

// The sandbox cloud (answering "/pip" with the private index's address), a
// user profile, and a fake context: a target environment named by
// VIRTUAL_ENV, an installation folder holding uv, and a fake runner in place
// of real children. Real installations are the black-box tests' part.
class Install : public ::testing::Test {
 protected:
  static constexpr const char* kIndex = "https://pypi.zvk.invalid/simple/";
  // The process keeps one cache store for its life time: its folders outlive
  // the single tests.
  static void SetUpTestSuite() { home_ = new TempDir(); }
  static void TearDownTestSuite() { delete home_; }
  void SetUp() override {
    std::ofstream(dir_ / "uv") << "";
    context_.installation_dir = dir_.path();
    context_.environment = {{"VIRTUAL_ENV", (dir_ / "v").string()}, {"PATH", "/usr/bin"}};
    fs::create_directories(home_->path() / "xdg-config" / "Keelbox");
    std::ofstream(home_->path() / "xdg-config" / "Keelbox" / "keelbox.toml")
        << "[profile]\ntoken_id = \"id-1\"\ntoken = \"secret-1\"\ncloud_environment = \"cloud\"\n\n"
           "[options]\nadvanced_mode = false\n";
    // Tokens memoised by an earlier test's sandbox stay valid.
    nlohmann::json scenario = {{"pip_location", kIndex}, {"accept_any_token", true}};
    std::ofstream(dir_ / "scenario.json") << scenario.dump();
    start_sandbox();
    env_.set("XDG_CONFIG_HOME", (home_->path() / "xdg-config").string());
    env_.set("XDG_DATA_HOME", (home_->path() / "xdg-data").string());
    env_.set("XDG_CACHE_HOME", (home_->path() / "xdg-cache").string());
  }
  void TearDown() override {
    if (sandbox_pid_ > 0) ::kill(sandbox_pid_, SIGTERM);
    if (sandbox_pipe_) ::pclose(sandbox_pipe_);
  }
  void start_sandbox() {
    std::string cmd = std::string("'") + KEELBOX_PYTHON + "' '" +
                      (testing::tools_dir() / "sandbox_cloud" / "sandbox.py").string() +
                      "' --state-dir '" + (dir_ / "sandbox").string() + "' --scenario '" +
                      (dir_ / "scenario.json").string() + "' & echo $!";
    sandbox_pipe_ = ::popen(cmd.c_str(), "r");
    ASSERT_NE(sandbox_pipe_, nullptr);
    char line[4096];
    ASSERT_TRUE(std::fgets(line, sizeof line, sandbox_pipe_));
    sandbox_pid_ = std::stoi(line);
    ASSERT_TRUE(std::fgets(line, sizeof line, sandbox_pipe_));
    auto ready = nlohmann::json::parse(line);
    const std::string proxy = "http://127.0.0.1:" + std::to_string(ready.at("port").get<int>());
    for (const char* v : {"HTTPS_PROXY", "https_proxy"}) env_.set(v, proxy);
    for (const char* v : {"NO_PROXY", "no_proxy"}) env_.set(v, "");
    env_.set("SSL_CERT_FILE", ready.at("ca_file").get<std::string>());
  }
  void set_pip_override(const nlohmann::json& override) {
    nlohmann::json scenario = {
        {"pip_location", kIndex}, {"accept_any_token", true}, {"overrides", {{"pip", override}}}};
    std::ofstream(dir_ / "scenario.json") << scenario.dump();
  }
  static TempDir* home_;
  TempDir dir_;
  ScopedEnv env_{};
  testing::FakeContext fake_;
  testing::FakeProcessRunner& runner_ = fake_.runner;
  // The sandbox cloud answers these tests through the real HTTP engine.
  Context context_{fake_.runner, http::system_client(), fake_.clock, {}, {}};
  FILE* sandbox_pipe_ = nullptr;
  int sandbox_pid_ = 0;
};

TempDir* Install::home_ = nullptr;

TEST_F(Install, IndexAddressComesFromTheSeeOtherAnswer) {
  EXPECT_EQ(install::get_uv_pip_install_cmd(http::system_client(), false, V{"zvk-sample-app"}),
            (V{"pip", "install", "zvk-sample-app", "--index-url", kIndex}));
  EXPECT_EQ(install::get_uv_pip_install_cmd(http::system_client(), true, V{"a", "b>=1"}),
            (V{"pip", "install", "a", "b>=1", "--upgrade-package", "a", "--upgrade-package", "b>=1",
               "--index-url", kIndex}));
}

TEST_F(Install, OtherAnswersEndTheOperationWithoutRunningUv) {
  struct Case {
    nlohmann::json override;
    std::string message;
    bool http_error;
  };
  const std::vector<Case> cases = {
      {{{"status", 200}}, "Unexpected status code 200", false},
      {{{"status", 302}}, "Unexpected status code 302", false},
      {{{"status", 204}}, "Unexpected status code 204", false},
      {{{"status", 404}}, "404 Client Error", true},
      {{{"status", 503}}, "503 Server Error", true},
      {{{"status", 303}, {"omit_location", true}}, "no \"location\" header", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.override.dump());
    set_pip_override(c.override);
    try {
      install::install_modules(context_, {"zvk-sample-app"}, true, false, std::nullopt);
      ADD_FAILURE();
    } catch (const HTTPStatusError& e) {
      EXPECT_TRUE(c.http_error);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    } catch (const KeelboxException& e) {
      EXPECT_FALSE(c.http_error);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_TRUE(runner_.runs.empty());
}

TEST_F(Install, DryRunThenInstallThroughUv) {
  const fs::path req = dir_ / "req.txt";
  install::install_modules(context_, {"zvk-sample-app"}, true, true, std::vector<fs::path>{req});
  install::install_modules(context_, {"zvk-sample-app", "numpy>=1.26"}, false, false,
                           std::vector<fs::path>{req, dir_ / "more.txt"});
  ASSERT_EQ(runner_.runs.size(), 2u);
  EXPECT_EQ(runner_.runs[0].args,
            (V{"pip", "install", "zvk-sample-app", "--upgrade-package", "zvk-sample-app",
               "--index-url", kIndex, "--dry-run", "-r", req.string()}));
  EXPECT_EQ(runner_.runs[1].args,
            (V{"pip", "install", "zvk-sample-app", "numpy>=1.26", "--index-url", kIndex, "-r",
               req.string(), "-r", (dir_ / "more.txt").string()}));
  for (const auto& run : runner_.runs) {
    EXPECT_EQ(run.program, dir_ / "uv");
    EXPECT_EQ(run.env.at("VIRTUAL_ENV"), (dir_ / "v").string());
    // uv talks to the user directly.
    EXPECT_EQ(run.options.stdout_mode, StreamMode::Inherit);
    EXPECT_EQ(run.options.stderr_mode, StreamMode::Inherit);
  }

  // uv's failure names the arguments.
  runner_.answer(1);
  try {
    install::install_modules(context_, {"zvk-missing"}, false, false, std::nullopt);
    ADD_FAILURE();
  } catch (const KeelboxUVException& e) {
    EXPECT_EQ(
        std::string(e.what()),
        std::string("Error running uv with ('pip', 'install', 'zvk-missing', '--index-url', '") +
            kIndex + "')");
  }
}

}  // namespace
}  // namespace keelbox

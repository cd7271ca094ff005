#include "keelbox/install/install.hpp"

#include <gtest/gtest.h>

#include "../uv/uv_test_support.hpp"
#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {
namespace {

namespace fs = std::filesystem;
using testing::read_uv_log;
using testing::ScopedEnv;
using testing::TempDir;
using V = std::vector<std::string>;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

TEST(InstallArgs, DefaultArguments) {
  struct Case {
    bool upgrade;
    std::optional<V> packages;
    V expected;
  };
  const std::vector<Case> cases = {
      {true, std::nullopt, {"pip", "install"}},
      {false, V{}, {"pip", "install"}},
      {false, V{"zvk-sample-app", "numpy>=1.26"}, {"pip", "install", "zvk-sample-app", "numpy>=1.26"}},
      {true, V{"zvk-sample-app", "numpy>=1.26"},
       {"pip", "install", "zvk-sample-app", "numpy>=1.26", "--upgrade-package", "zvk-sample-app",
        "--upgrade-package", "numpy>=1.26"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(install::_generate_default_install_args(c.upgrade, c.packages), c.expected);
}

// The sandbox cloud (answering "/pip" with the private index's address), the
// private index, a user profile, a target environment with pip, and the uv
// stand-in beside this test program.
class Install : public ::testing::Test {
 protected:
  // The process keeps one cache store for its life time: its folders outlive
  // the single tests.
  static void SetUpTestSuite() { home_ = new TempDir(); }
  static void TearDownTestSuite() { delete home_; }
  void SetUp() override {
    testing::install_uv_standin();
    index_.emplace(dir_ / "index");
    fs::create_directories(home_->path() / "xdg-config" / "Keelbox");
    std::ofstream(home_->path() / "xdg-config" / "Keelbox" / "keelbox.toml")
        << "[profile]\ntoken_id = \"id-1\"\ntoken = \"secret-1\"\ncloud_environment = \"cloud\"\n\n"
           "[options]\nadvanced_mode = false\n";
    // Tokens memoised by an earlier test's sandbox stay valid.
    nlohmann::json scenario = {{"pip_location", index_->url()}, {"accept_any_token", true}};
    std::ofstream(dir_ / "scenario.json") << scenario.dump();
    start_sandbox();
    env_.set("XDG_CONFIG_HOME", (home_->path() / "xdg-config").string());
    env_.set("XDG_DATA_HOME", (home_->path() / "xdg-data").string());
    env_.set("XDG_CACHE_HOME", (home_->path() / "xdg-cache").string());
    env_.set("UV_STANDIN_LOG", (dir_ / "uv.jsonl").string());
    env_.set("CONDA_PREFIX", std::nullopt);
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
    nlohmann::json scenario = {{"pip_location", index_->url()},
                               {"accept_any_token", true},
                               {"overrides", {{"pip", override}}}};
    std::ofstream(dir_ / "scenario.json") << scenario.dump();
  }
  void make_target() {
    testing::make_venv(dir_ / "v", true);
    env_.set("VIRTUAL_ENV", (dir_ / "v").string());
  }
  static TempDir* home_;
  TempDir dir_;
  ScopedEnv env_{};
  std::optional<testing::PackageIndexServer> index_;
  FILE* sandbox_pipe_ = nullptr;
  int sandbox_pid_ = 0;
};

TempDir* Install::home_ = nullptr;

TEST_F(Install, IndexAddressComesFromTheSeeOtherAnswer) {
  EXPECT_EQ(install::get_uv_pip_install_cmd(false, V{"zvk-sample-app"}),
            (V{"pip", "install", "zvk-sample-app", "--index-url", index_->url()}));
  EXPECT_EQ(install::get_uv_pip_install_cmd(true, V{"a", "b>=1"}),
            (V{"pip", "install", "a", "b>=1", "--upgrade-package", "a", "--upgrade-package", "b>=1",
               "--index-url", index_->url()}));
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
      install::install_modules({"zvk-sample-app"}, true);
      ADD_FAILURE();
    } catch (const HTTPStatusError& e) {
      EXPECT_TRUE(c.http_error);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    } catch (const KeelboxException& e) {
      EXPECT_FALSE(c.http_error);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "uv.jsonl"));
}

TEST_F(Install, NothingToInstallRunsNothing) {
  CaptureStdout();
  install::install_modules({}, true, true, std::vector<fs::path>{dir_ / "req.txt"});
  EXPECT_EQ(GetCapturedStdout(), "Nothing to install. Call with --help for more information.\n");
  EXPECT_FALSE(fs::exists(dir_ / "uv.jsonl"));
}

TEST_F(Install, DryRunThenInstallThroughUv) {
  make_target();
  std::ofstream(dir_ / "req.txt") << "zvk-tracer\n";
  install::install_modules({"zvk-sample-app"}, true, true, std::vector<fs::path>{dir_ / "req.txt"});
  EXPECT_FALSE(fs::exists(dir_ / "v" / "lib" / "python3.11" / "site-packages" / "zvk_sample_app"));
  install::install_modules({"zvk-sample-app"}, true, false, std::vector<fs::path>{dir_ / "req.txt"});
  auto log = read_uv_log(dir_ / "uv.jsonl");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0]["argv"].get<V>(),
            (V{"pip", "install", "zvk-sample-app", "--upgrade-package", "zvk-sample-app",
               "--index-url", index_->url(), "--dry-run", "-r", (dir_ / "req.txt").string()}));
  EXPECT_EQ(log[1]["argv"].get<V>(),
            (V{"pip", "install", "zvk-sample-app", "--upgrade-package", "zvk-sample-app",
               "--index-url", index_->url(), "-r", (dir_ / "req.txt").string()}));
  EXPECT_EQ(log[1]["virtual_env"], (dir_ / "v").string());
  // uv installed the package and the requirement file's package.
  auto sp = dir_ / "v" / "lib";
  bool app = false, tracer = false;
  for (auto& e : fs::recursive_directory_iterator(sp)) {
    app |= e.path().filename() == "zvk_sample_app-1.4.0.dist-info";
    tracer |= e.path().filename() == "zvk_tracer-2.0.0.dist-info";
  }
  EXPECT_TRUE(app);
  EXPECT_TRUE(tracer);

  // A package the index does not have: uv's failure with the arguments.
  try {
    install::install_modules({"zvk-missing"}, false);
    ADD_FAILURE();
  } catch (const KeelboxUVException& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error running uv with ('pip', 'install', 'zvk-missing', '--index-url', '" +
                  index_->url() + "')");
  }
}

}  // namespace
}  // namespace keelbox

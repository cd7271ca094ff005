#include "keelbox/uv/uv.hpp"

#include <gtest/gtest.h>

#include "keelbox/exceptions/exceptions.hpp"
#include "uv_test_support.hpp"

namespace keelbox {
namespace {

using testing::nested_cause;
using testing::read_uv_log;
using testing::ScopedEnv;
using testing::TempDir;
using V = std::vector<std::string>;

// One target environment with pip, the private index and the uv stand-in
// beside this test program, shared by the suite.
class Uv : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testing::install_uv_standin();
    dir_ = new TempDir();
    testing::make_venv(dir_->path() / "v", true);
    index_ = new testing::PackageIndexServer(dir_->path() / "index");
  }
  static void TearDownTestSuite() {
    delete index_;
    delete dir_;
  }
  void SetUp() override {
    log_ = dir_->path() / ("log-" + std::to_string(++counter_) + ".jsonl");
    env_.set("VIRTUAL_ENV", venv().string());
    env_.set("CONDA_PREFIX", std::nullopt);
    env_.set("UV_STANDIN_LOG", log_.string());
  }
  static std::filesystem::path venv() { return dir_->path() / "v"; }
  static std::string url() { return index_->url(); }

  // The installed version of a package, through the runner's captured output.
  static std::optional<std::string> installed_version(const std::string& package) {
    try {
      auto done = run_uv_in_python({"pip", "show", package}, true);
      const std::string& out = *done.stdout_;
      auto at = out.find("\nVersion: ");
      if (at == std::string::npos) return std::nullopt;
      at += 10;
      return out.substr(at, out.find('\n', at) - at);
    } catch (const KeelboxUVException&) {
      return std::nullopt;
    }
  }

  static TempDir* dir_;
  static testing::PackageIndexServer* index_;
  static int counter_;
  ScopedEnv env_{};
  std::filesystem::path log_;
};
TempDir* Uv::dir_ = nullptr;
testing::PackageIndexServer* Uv::index_ = nullptr;
int Uv::counter_ = 0;

TEST_F(Uv, FindsTheUvBesideTheTool) {
  EXPECT_EQ(_find_uv_bin(), (tool_installation_dir() / "uv").string());
}

TEST_F(Uv, FailedRunsNameTheArgumentsInTupleNotation) {
  struct Case {
    V args;
    std::string message;
    int status;
  };
  const std::vector<Case> cases = {
      {{"pip", "show", "zvk-sample-app"}, "Error running uv with ('pip', 'show', 'zvk-sample-app')", 1},
      {{"--version"}, "Error running uv with ('--version',)", 2},
      {{}, "Error running uv with ()", 2},
      {{"it's", "a\\b\n"}, "Error running uv with (\"it's\", 'a\\\\b\\n')", 2},
  };
  for (const bool capture : {false, true}) {
    for (const auto& c : cases) {
      try {
        run_uv_in_python(c.args, capture);
        ADD_FAILURE() << c.message;
      } catch (const KeelboxUVException& e) {
        EXPECT_EQ(std::string(e.what()), c.message);
        auto cause = nested_cause<CalledProcessError>(e);
        ASSERT_TRUE(cause.has_value()) << c.message;
        EXPECT_EQ(cause->returncode(), c.status);
        EXPECT_EQ(cause->cmd().front(), _find_uv_bin());
      }
    }
  }
  // uv got the arguments exactly, one each, in the target environment.
  auto log = read_uv_log(log_);
  ASSERT_EQ(log.size(), 2 * cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(log[i]["argv"].get<V>(), cases[i].args);
    EXPECT_EQ(log[i]["virtual_env"], venv().string());
  }
}

TEST_F(Uv, InstallsFromTheIndexAndUpgradesExactlyWhatIsNamed) {
  // Capture off: uv's output is the terminal's, the record has no output fields.
  auto done = run_uv_in_python({"pip", "install", "zvk-sample-app==1.3.0", "--index-url", url()});
  EXPECT_EQ(done.returncode, 0);
  EXPECT_EQ(done.args, (V{_find_uv_bin(), "pip", "install", "zvk-sample-app==1.3.0", "--index-url", url()}));
  EXPECT_FALSE(done.stdout_.has_value());
  EXPECT_FALSE(done.stderr_.has_value());
  EXPECT_EQ(installed_version("zvk-sample-app"), "1.3.0");

  // A dry run shows the upgrade and changes nothing.
  auto dry = run_uv_in_python({"pip", "install", "zvk-sample-app", "--upgrade-package",
                               "zvk-sample-app", "--index-url", url(), "--dry-run"},
                              true);
  EXPECT_NE(dry.stdout_->find("zvk-sample-app-1.4.0"), std::string::npos) << *dry.stdout_;
  EXPECT_EQ(installed_version("zvk-sample-app"), "1.3.0");
  EXPECT_EQ(installed_version("zvk-sample-utils"), std::nullopt);

  // Without an upgrade request the installed version stays.
  run_uv_in_python({"pip", "install", "zvk-sample-app", "--index-url", url()}, true);
  EXPECT_EQ(installed_version("zvk-sample-app"), "1.3.0");

  // With it, the package is upgraded (and its new dependency comes along).
  run_uv_in_python({"pip", "install", "zvk-sample-app", "--upgrade-package", "zvk-sample-app",
                    "--index-url", url()},
                   true);
  EXPECT_EQ(installed_version("zvk-sample-app"), "1.4.0");
  EXPECT_EQ(installed_version("zvk-sample-utils"), "0.2.0");
}

TEST_F(Uv, UnknownPackageFailsTheCheckedRunAndNotTheUncheckedOne) {
  const V args = {"pip", "install", "zvk-no-such-package", "--index-url", url()};
  EXPECT_THROW(run_uv_in_python(args, true), KeelboxUVException);
  EXPECT_NO_THROW(run_uv(args));
  EXPECT_EQ(read_uv_log(log_).size(), 2u);
}

TEST_F(Uv, CondaEnvironmentIsAnnouncedAsVirtualEnvToo) {
  env_.set("VIRTUAL_ENV", std::nullopt);
  env_.set("CONDA_PREFIX", venv().string() + "/");
  EXPECT_EQ(installed_version("pip").has_value(), true);  // pip show pip, in that environment
  auto log = read_uv_log(log_);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["virtual_env"], venv().string());
  EXPECT_EQ(log[0]["conda_prefix"], venv().string() + "/");
}

TEST_F(Uv, ForwardingEntriesPassEveryArgumentAfterTheProgramName) {
  std::vector<std::string> store = {"keelbox-uv", "pip", "show", "zvk-tracer"};
  std::vector<char*> argv;
  for (auto& s : store) argv.push_back(s.data());
  argv.push_back(nullptr);
  EXPECT_NO_THROW(run_uv_from_sysargs(4, argv.data()));
  try {
    run_uv_in_pythonfrom_sysargs(4, argv.data());
    ADD_FAILURE();
  } catch (const KeelboxUVException& e) {
    EXPECT_STREQ(e.what(), "Error running uv with ('pip', 'show', 'zvk-tracer')");
  }
  auto log = read_uv_log(log_);
  ASSERT_EQ(log.size(), 2u);
  for (const auto& line : log) EXPECT_EQ(line["argv"].get<V>(), (V{"pip", "show", "zvk-tracer"}));
}

// Run inside a copy of this test program in a folder without uv.
TEST(Relocated, MissingUvFailsBeforeAnythingStarts) {
  if (!std::getenv("KEELBOX_EXPECT_NO_UV")) GTEST_SKIP() << "runs inside a relocated copy";
  EXPECT_THROW(_find_uv_bin(), FileNotFoundError);
  EXPECT_THROW(run_uv_in_python({"pip", "show", "x"}), FileNotFoundError);
  EXPECT_THROW(run_uv({"pip", "show", "x"}), FileNotFoundError);
}

TEST(UvLookup, AMissingUvIsFileNotFound) {
  TempDir dir;
  auto r = testing::run_relocated(dir.path(), "Relocated.*", {{"KEELBOX_EXPECT_NO_UV", "1"}});
  EXPECT_EQ(r.returncode, 0) << *r.stdout_;
  EXPECT_NE(r.stdout_->find("[  PASSED  ] 1 test"), std::string::npos) << *r.stdout_;
}

}  // namespace
}  // namespace keelbox

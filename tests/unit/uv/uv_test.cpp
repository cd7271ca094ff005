// How uv is found and run, on a fake context: the runs' programs, arguments,
// streams and environments, and the errors of failed runs.
#include "keelbox/uv/uv.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "../support/fake_context.hpp"
#include "../support/portable.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/filesystem.hpp"
#include "keelbox/platform/wide.hpp"
#include "uv_test_support.hpp"

namespace keelbox {
namespace {

namespace fs = std::filesystem;
using testing::FakeContext;
using testing::FakeProcessRunner;
using testing::nested_cause;
using testing::TempDir;
using UvArgs = std::vector<std::string>;

// An installation folder holding uv (an empty file: nothing starts it), a
// target environment named by VIRTUAL_ENV, and the fake runner.
class Uv : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(uv_path()) << "";
    context_.installation_dir = installation_.path();
    context_.environment = {{"VIRTUAL_ENV", "/srv/envs/target"}, {"PATH", "/usr/bin"}};
  }
  fs::path uv_path() const { return installation_ / (runs_on_windows() ? "uv.exe" : "uv"); }
  std::string uv() const { return path_to_utf8(uv_path()); }

  TempDir installation_;
  FakeContext fake_;
  FakeProcessRunner& runner_ = fake_.runner;
  Context& context_ = fake_.context;
};

TEST_F(Uv, FindsTheUvOfTheInstallationAndNothingStartsWithoutIt) {
  EXPECT_EQ(_find_uv_bin(context_), uv());

  fs::remove(uv_path());
  EXPECT_THROW(_find_uv_bin(context_), FileNotFoundError);
  EXPECT_THROW(run_uv_in_python(context_, {"pip", "show", "x"}), FileNotFoundError);
  EXPECT_THROW(run_uv(context_, {"pip", "show", "x"}), FileNotFoundError);
  // A folder of that name is no uv either.
  fs::create_directory(uv_path());
  EXPECT_THROW(_find_uv_bin(context_), FileNotFoundError);
  EXPECT_TRUE(runner_.runs.empty());
}

TEST_F(Uv, FailedRunsNameTheArgumentsInTupleNotation) {
  struct Case {
    UvArgs args;
    std::string message;
    int status;
  };
  const std::vector<Case> cases = {
      {{"pip", "show", "zvk-sample-app"},
       "Error running uv with ('pip', 'show', 'zvk-sample-app')",
       1},
      {{"--version"}, "Error running uv with ('--version',)", 2},
      {{}, "Error running uv with ()", 2},
      {{"it's", "a\\b\n"}, "Error running uv with (\"it's\", 'a\\\\b\\n')", 2},
      {{"pip", "install", "x"}, "Error running uv with ('pip', 'install', 'x')", -9},
  };
  for (const bool capture : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.message);
      runner_.answer(c.status, "out", "err");
      try {
        run_uv_in_python(context_, c.args, capture);
        ADD_FAILURE();
      } catch (const KeelboxUVException& e) {
        EXPECT_EQ(std::string(e.what()), c.message);
        auto cause = nested_cause<CalledProcessError>(e);
        ASSERT_TRUE(cause.has_value());
        EXPECT_EQ(cause->returncode(), c.status);
        UvArgs cmd{uv()};
        cmd.insert(cmd.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(cause->cmd(), cmd);
      }
    }
  }
  // uv got the arguments exactly, one each.
  ASSERT_EQ(runner_.runs.size(), 2 * cases.size());
  for (std::size_t i = 0; i < runner_.runs.size(); ++i) {
    EXPECT_EQ(runner_.runs[i].program, uv_path());
    EXPECT_EQ(runner_.runs[i].args, cases[i % cases.size()].args);
  }
}

TEST_F(Uv, CaptureDecidesWhetherTheRecordHoldsTheOutput) {
  const UvArgs args = {"pip", "install", "zvk-sample-app==1.3.0", "--index-url",
                       "https://i/simple/"};
  runner_.answer(0, "Installed 1 package\n", "Resolved\n");
  auto quiet = run_uv_in_python(context_, args, true);
  EXPECT_EQ(quiet.returncode, 0);
  EXPECT_EQ(quiet.args, (UvArgs{uv(), "pip", "install", "zvk-sample-app==1.3.0", "--index-url",
                                "https://i/simple/"}));
  EXPECT_EQ(quiet.stdout_, "Installed 1 package\n");
  EXPECT_EQ(quiet.stderr_, "Resolved\n");

  // Capture off: uv's output is the terminal's, the record has no output fields.
  auto shown = run_uv_in_python(context_, args, false);
  EXPECT_FALSE(shown.stdout_.has_value());
  EXPECT_FALSE(shown.stderr_.has_value());

  ASSERT_EQ(runner_.runs.size(), 2u);
  const auto& captured = runner_.runs[0].options;
  EXPECT_EQ(captured.stdout_mode, StreamMode::Capture);
  EXPECT_EQ(captured.stderr_mode, StreamMode::Capture);
  EXPECT_FALSE(captured.stderr_into_stdout);
  for (const auto& run : runner_.runs) EXPECT_EQ(run.options.stdin_mode, StreamMode::Inherit);
  const auto& inherited = runner_.runs[1].options;
  EXPECT_EQ(inherited.stdout_mode, StreamMode::Inherit);
  EXPECT_EQ(inherited.stderr_mode, StreamMode::Inherit);
}

TEST_F(Uv, AFailureFailsTheCheckedRunAndNotTheUncheckedOne) {
  const UvArgs args = {"pip", "install", "zvk-no-such-package", "--index-url", "https://i/simple/"};
  runner_.answer(1).answer(1);
  EXPECT_THROW(run_uv_in_python(context_, args, true), KeelboxUVException);
  EXPECT_NO_THROW(run_uv(context_, args));
  ASSERT_EQ(runner_.runs.size(), 2u);
  EXPECT_EQ(runner_.runs[1].args, args);
  EXPECT_EQ(runner_.runs[1].options.stdout_mode, StreamMode::Inherit);
}

TEST_F(Uv, TheTargetEnvironmentIsAnnouncedAndNothingElseChanges) {
  struct Case {
    std::optional<std::string> virtual_env, conda_prefix;
    std::string announced;
  };
  const std::vector<Case> cases = {
      {"/srv/envs/target", std::nullopt, testing::native_separators("/srv/envs/target")},
      {std::nullopt, "/opt/conda/envs/x/", testing::native_separators("/opt/conda/envs/x")},
      {"", "/opt/conda/envs/x", testing::native_separators("/opt/conda/envs/x")},
      {"/srv//envs/./t/", "/opt/conda/envs/x", testing::native_separators("/srv/envs/t")},
  };
  for (const auto& c : cases) {
    Environment environment = {{"PATH", "/usr/bin"}, {"KEELBOX_TEST_MARKER", "a=b c"}};
    if (c.virtual_env) environment["VIRTUAL_ENV"] = *c.virtual_env;
    if (c.conda_prefix) environment["CONDA_PREFIX"] = *c.conda_prefix;
    context_.environment = environment;
    run_uv_in_python(context_, {"pip", "show", "pip"}, true);
    run_uv(context_, {"pip", "show", "pip"});
    Environment expected = environment;
    expected["VIRTUAL_ENV"] = c.announced;
    for (std::size_t i = runner_.runs.size() - 2; i < runner_.runs.size(); ++i)
      EXPECT_EQ(runner_.runs[i].env, expected) << c.announced;
  }
}

}  // namespace
}  // namespace keelbox

#include "keelbox/uv/uv.hpp"

#include <gtest/gtest.h>

#include "../support/fake_process_runner.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "uv_test_support.hpp"

namespace keelbox {
namespace {

using testing::FakeProcessRunner;
using testing::nested_cause;
using testing::ScopedEnv;
using testing::TempDir;
using V = std::vector<std::string>;

// uv (the stand-in) beside this test program, a target environment named by
// VIRTUAL_ENV, and a fake runner in place of real children. Real runs of uv
// against real environments are the black-box tests' part.
class Uv : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::install_uv_standin();
    env_.set("VIRTUAL_ENV", "/srv/envs/target");
    env_.set("CONDA_PREFIX", std::nullopt);
  }
  ScopedEnv env_{};
  FakeProcessRunner runner_;
};

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
        run_uv_in_python(c.args, capture, runner_);
        ADD_FAILURE();
      } catch (const KeelboxUVException& e) {
        EXPECT_EQ(std::string(e.what()), c.message);
        auto cause = nested_cause<CalledProcessError>(e);
        ASSERT_TRUE(cause.has_value());
        EXPECT_EQ(cause->returncode(), c.status);
        V cmd{_find_uv_bin()};
        cmd.insert(cmd.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(cause->cmd(), cmd);
      }
    }
  }
  // uv got the arguments exactly, one each.
  ASSERT_EQ(runner_.runs.size(), 2 * cases.size());
  for (std::size_t i = 0; i < runner_.runs.size(); ++i) {
    EXPECT_EQ(runner_.runs[i].program, _find_uv_bin());
    EXPECT_EQ(runner_.runs[i].args, cases[i % cases.size()].args);
  }
}

TEST_F(Uv, CaptureDecidesWhetherTheRecordHoldsTheOutput) {
  const V args = {"pip", "install", "zvk-sample-app==1.3.0", "--index-url", "https://i/simple/"};
  runner_.answer(0, "Installed 1 package\n", "Resolved\n");
  auto quiet = run_uv_in_python(args, true, runner_);
  EXPECT_EQ(quiet.returncode, 0);
  EXPECT_EQ(quiet.args, (V{_find_uv_bin(), "pip", "install", "zvk-sample-app==1.3.0", "--index-url",
                           "https://i/simple/"}));
  EXPECT_EQ(quiet.stdout_, "Installed 1 package\n");
  EXPECT_EQ(quiet.stderr_, "Resolved\n");

  // Capture off: uv's output is the terminal's, the record has no output fields.
  auto shown = run_uv_in_python(args, false, runner_);
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
  const V args = {"pip", "install", "zvk-no-such-package", "--index-url", "https://i/simple/"};
  runner_.answer(1).answer(1);
  EXPECT_THROW(run_uv_in_python(args, true, runner_), KeelboxUVException);
  EXPECT_NO_THROW(run_uv(args, runner_));
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
      {"/srv/envs/target", std::nullopt, "/srv/envs/target"},
      {std::nullopt, "/opt/conda/envs/x/", "/opt/conda/envs/x"},
      {"", "/opt/conda/envs/x", "/opt/conda/envs/x"},
      {"/srv//envs/./t/", "/opt/conda/envs/x", "/srv/envs/t"},
  };
  for (const auto& c : cases) {
    env_.set("VIRTUAL_ENV", c.virtual_env);
    env_.set("CONDA_PREFIX", c.conda_prefix);
    env_.set("KEELBOX_TEST_MARKER", "a=b c");
    run_uv_in_python({"pip", "show", "pip"}, true, runner_);
    Environment expected = current_environment();
    expected["VIRTUAL_ENV"] = c.announced;
    EXPECT_EQ(runner_.runs.back().env, expected);
  }
}

TEST_F(Uv, ForwardingEntriesPassEveryArgumentAfterTheProgramName) {
  // The forwarding entries start real children: uv is the stand-in, which
  // refuses to work without a target environment holding a python.
  TempDir empty;
  env_.set("VIRTUAL_ENV", empty.path().string());
  std::vector<std::string> store = {"keelbox-uv", "pip", "show", "zvk-tracer"};
  std::vector<char*> argv;
  for (auto& s : store) argv.push_back(s.data());
  argv.push_back(nullptr);
  testing::ScopedEnv log{{"UV_STANDIN_LOG", (empty / "log.jsonl").string()}};
  ::testing::internal::CaptureStderr();
  EXPECT_NO_THROW(run_uv_from_sysargs(4, argv.data()));
  try {
    run_uv_in_pythonfrom_sysargs(4, argv.data());
    ADD_FAILURE();
  } catch (const KeelboxUVException& e) {
    EXPECT_STREQ(e.what(), "Error running uv with ('pip', 'show', 'zvk-tracer')");
  }
  ::testing::internal::GetCapturedStderr();
  auto lines = testing::read_uv_log(empty / "log.jsonl");
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& line : lines) EXPECT_EQ(line["argv"].get<V>(), (V{"pip", "show", "zvk-tracer"}));
}

// Run inside a copy of this test program in a folder without uv (not
// registered as a test of its own).
TEST(Relocated, MissingUvFailsBeforeAnythingStarts) {
  if (!std::getenv("KEELBOX_EXPECT_NO_UV")) GTEST_SKIP() << "runs inside a relocated copy";
  FakeProcessRunner runner;
  EXPECT_THROW(_find_uv_bin(), FileNotFoundError);
  EXPECT_THROW(run_uv_in_python({"pip", "show", "x"}, false, runner), FileNotFoundError);
  EXPECT_THROW(run_uv({"pip", "show", "x"}, runner), FileNotFoundError);
  EXPECT_TRUE(runner.runs.empty());
}

TEST(UvLookup, AMissingUvIsFileNotFound) {
  TempDir dir;
  auto r = testing::run_relocated(dir.path(), "Relocated.*", {{"KEELBOX_EXPECT_NO_UV", "1"}});
  EXPECT_EQ(r.returncode, 0) << *r.stdout_;
  EXPECT_NE(r.stdout_->find("[  PASSED  ] 1 test"), std::string::npos) << *r.stdout_;
}

}  // namespace
}  // namespace keelbox

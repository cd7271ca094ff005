#include "keelbox/system/system.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <fstream>

#include "keelbox/system/interpreter.hpp"

#include "../support/fake_context.hpp"
#include "../support/portable.hpp"
#include "../uv/uv_test_support.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox {
namespace {

using testing::FakeContext;
using testing::nested_cause;
using testing::read_file;
using testing::TempDir;
using Opt = std::optional<std::string>;

// Sets (or, with nullopt, removes) a variable of the context's environment.
void set(Context& context, const std::string& name, const Opt& value) {
  if (value) {
    context.environment[name] = *value;
  } else {
    context.environment.erase(name);
  }
}

TEST(System, TargetEnvironmentTakesFirstNonEmptyVariable) {
  struct Case {
    Opt virtual_env, conda_prefix;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"/home/u/venv", "/opt/conda/envs/x", "/home/u/venv"},
      {"", "/opt/conda/envs/x", "/opt/conda/envs/x"},
      {std::nullopt, "/opt/conda/envs/x", "/opt/conda/envs/x"},
      {"/home/u/venv/", std::nullopt, "/home/u/venv/"},  // returned as found
      {"relative/./v//", "", "relative/./v//"},
  };
  for (const auto& c : cases) {
    FakeContext fake;
    set(fake.context, "VIRTUAL_ENV", c.virtual_env);
    set(fake.context, "CONDA_PREFIX", c.conda_prefix);
    EXPECT_EQ(detect_virtualenv(fake.context), c.expected);
  }
}

TEST(System, PathNormalisationKeepsDoubleDots) {
  KEELBOX_SKIP_ON_WINDOWS("Linux paths; Windows normalises to backslashes");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/home/u/venv/", "/home/u/venv"},
      {"/home//u///venv", "/home/u/venv"},
      {"/home/./u/.", "/home/u"},
      {"/a/../b/", "/a/../b"},
      {"//srv/v", "/srv/v"},
      {"/", "/"},
      {"venv/", "venv"},
      {"./venv", "venv"},
      {"./", "."},
      {"", "."},
      {"../v/..", "../v/.."},
      {"/x/.hidden/v.1", "/x/.hidden/v.1"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(_normalise_env_path(in), out) << in;
}

TEST(System, ChildEnvironmentAnnouncesTargetAndChangesNothingElse) {
  struct Case {
    Opt virtual_env, conda_prefix;
    std::string child_virtual_env;
  };
  const std::vector<Case> cases = {
      {"", "/opt/conda/envs/x", testing::native_separators("/opt/conda/envs/x")},
      {"/home/u/venv/", std::nullopt, testing::native_separators("/home/u/venv")},
      {"/home/u//venv/./", "/opt/conda/envs/x", testing::native_separators("/home/u/venv")},
  };
  for (const auto& c : cases) {
    FakeContext fake;
    fake.context.environment = {{"PATH", "/usr/bin"}, {"KEELBOX_TEST_MARKER", "a=b c"}};
    set(fake.context, "VIRTUAL_ENV", c.virtual_env);
    set(fake.context, "CONDA_PREFIX", c.conda_prefix);
    const Environment before = fake.context.environment;
    Environment child = _set_venv_environment(fake.context);
    EXPECT_EQ(child.at("VIRTUAL_ENV"), c.child_virtual_env);
    Environment expected = before;
    expected["VIRTUAL_ENV"] = c.child_virtual_env;
    EXPECT_EQ(child, expected);                   // PATH, CONDA_PREFIX and the rest as they were
    EXPECT_EQ(fake.context.environment, before);  // the context's own is untouched
  }
}

TEST(System, ScriptsFolderAndPlatform) {
  KEELBOX_SKIP_ON_WINDOWS("the Linux scripts folder bin");
  EXPECT_EQ(get_relative_scripts_dir(), "bin");
  EXPECT_FALSE(runs_on_windows());
}

// A fake runner in place of the target environment's programs.
class RunCmd : public ::testing::Test {
 protected:
  FakeContext fake_;
  testing::FakeProcessRunner& runner_ = fake_.runner;
  Context& context_ = fake_.context;
};

TEST_F(RunCmd, RunsTheEnvironmentsProgramWithTheChildEnvironment) {
  KEELBOX_SKIP_ON_WINDOWS("the Linux scripts folder bin");
  // A trailing separator in VIRTUAL_ENV: the program is found there, and the
  // child is told the normalised path; nothing else changes.
  context_.environment = {
      {"VIRTUAL_ENV", "/srv/envs/v/"}, {"CONDA_PREFIX", "/opt/conda/envs/x"}, {"PATH", "/bin"}};
  const std::vector<std::string> args = {"-c", "print(1)", "a b"};
  ProcessOptions options;
  options.stdout_mode = StreamMode::Capture;
  _run_cmd(context_, "python3", args, options);
  _run_cmd(context_, "jupyter");
  ASSERT_EQ(runner_.runs.size(), 2u);
  EXPECT_EQ(runner_.runs[0].program, std::filesystem::path("/srv/envs/v/bin/python3"));
  EXPECT_EQ(runner_.runs[0].args, args);
  EXPECT_EQ(runner_.runs[0].options.stdout_mode, StreamMode::Capture);
  Environment expected = context_.environment;
  expected["VIRTUAL_ENV"] = "/srv/envs/v";
  EXPECT_EQ(runner_.runs[0].env, expected);
  EXPECT_EQ(runner_.runs[1].program, std::filesystem::path("/srv/envs/v/bin/jupyter"));
  EXPECT_TRUE(runner_.runs[1].args.empty());
  EXPECT_EQ(runner_.runs[1].options.stdout_mode, StreamMode::Inherit);
}

TEST_F(RunCmd, FailingStatusesBecomeUserErrorsWithTheCauseChained) {
  KEELBOX_SKIP_ON_WINDOWS("the Linux scripts folder bin");
  context_.environment["VIRTUAL_ENV"] = "/srv/envs/v";
  struct Case {
    std::string which;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"python", 3, "python execution failed with error code 3"},
      {"python3", -9, "python3 execution failed with error code -9"},
      {"ipython", 255, "ipython execution failed with error code 255"},
  };
  for (const auto& c : cases) {
    runner_.answer(c.status);
    try {
      _run_cmd(context_, c.which, std::vector<std::string>{"-c", "x"});
      ADD_FAILURE() << c.which;
    } catch (const KeelboxException& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
      auto cause = nested_cause<CalledProcessError>(e);
      ASSERT_TRUE(cause.has_value());
      EXPECT_EQ(cause->returncode(), c.status);
      EXPECT_EQ(cause->cmd(), (std::vector<std::string>{"/srv/envs/v/bin/" + c.which, "-c", "x"}));
    }
  }
}

TEST_F(RunCmd, RefusesOtherCommandsBeforeStartingAnything) {
  context_.environment["VIRTUAL_ENV"] = "/srv/envs/v";
  for (const std::string which : {"pip", "uv", "bash", "Python", "python3.11", ""}) {
    try {
      _run_cmd(context_, which);
      ADD_FAILURE() << which;
    } catch (const KeelboxException& e) {
      EXPECT_EQ(std::string(e.what()), "Unsupported command: " + which);
    }
  }
  EXPECT_TRUE(runner_.runs.empty());
}

TEST(RunCmdStart, AMissingProgramIsAStartFailureNotAUserError) {
  TempDir empty;
  Context context{
      system_process_runner(), http::system_client(), steady_clock(), current_environment(), {}};
  context.environment["VIRTUAL_ENV"] = path_to_utf8(empty.path());
  EXPECT_THROW(_run_cmd(context, "jupyter"), ProcessStartError);
}

// Without either variable the target is the prefix of the base interpreter:
// the folder above the tool's installation, which holds the interpreter.
TEST(TargetLookup, WithoutVariablesTheBaseInterpreterPrefixIsTheTarget) {
  TempDir dir;
  const std::filesystem::path prefix = dir / "v";
  const std::filesystem::path installation = prefix / get_relative_scripts_dir();
  FakeContext fake;
  fake.context.installation_dir = installation;
  fake.context.environment = {{"VIRTUAL_ENV", ""}, {"PATH", "/bin"}};

  // No interpreter there: nothing to fall back on.
  std::filesystem::create_directories(installation);
  EXPECT_THROW(detect_virtualenv(fake.context), FileNotFoundError);

  // The environment's record names the version: the interpreter is not asked.
  std::ofstream(installation / (runs_on_windows() ? "python.exe" : "python3")) << "";
  std::ofstream(prefix / "pyvenv.cfg") << "home = /usr/bin\nversion = 3.11.2\n";
  EXPECT_EQ(detect_virtualenv(fake.context), path_to_utf8(prefix));
  EXPECT_EQ(_set_venv_environment(fake.context).at("VIRTUAL_ENV"), path_to_utf8(prefix));
  EXPECT_TRUE(fake.runner.runs.empty());
}

// ---- the interpreter's own answer ----

// A stand-in interpreter: a shell script that answers `answer` with `status`
// and records the signal state it was started with (/proc/self/status).
std::filesystem::path fake_interpreter(const TempDir& dir, const std::string& answer, int status) {
  const auto exe = dir / "python3";
  std::ofstream(exe) << "#!/bin/sh\n"
                     << "grep -E '^Sig(Blk|Ign):' /proc/self/status > '"
                     << (dir / "signals").string() << "'\n"
                     << "printf '%s\\n' '" << answer << "'\n"
                     << "exit " << status << "\n";
  std::filesystem::permissions(exe, std::filesystem::perms::owner_all);
  return exe;
}

TEST(Interpreter, AnswersAreReadAndOthersRefused) {
  KEELBOX_SKIP_ON_WINDOWS("interpreter stand-ins are shell scripts");
  struct Case {
    std::string answer;
    int status;
    std::optional<std::pair<int, int>> version;
  };
  const std::vector<Case> cases = {
      {"3.11", 0, std::pair{3, 11}}, {" 3.9 ", 0, std::pair{3, 9}}, {"3.12", 1, std::nullopt},
      {"three", 0, std::nullopt},    {"3", 0, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    TempDir dir;
    const auto exe = fake_interpreter(dir, c.answer, c.status);
    if (c.version) {
      EXPECT_EQ(interpreter_version(exe), *c.version);
    } else {
      try {
        interpreter_version(exe);
        ADD_FAILURE();
      } catch (const RuntimeError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot determine the version of the Python interpreter " + exe.string());
      }
    }
  }
}

#ifndef _WIN32  // POSIX signal dispositions; Windows has no SIGPIPE and no sigaction
// The tool ignores SIGPIPE and holds back Ctrl-C while it starts a child; the
// interpreter asked for its version must start with neither, or Ctrl-C during
// the question waits for the interrupt handler's grace period.
TEST(Interpreter, TheVersionQuestionStartsWithDefaultSignals) {
  TempDir dir;
  const auto exe = fake_interpreter(dir, "3.11", 0);
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  const auto version = interpreter_version(exe);
  ::sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(version, std::pair(3, 11));
  const std::string seen = read_file(dir / "signals");
  for (const char* field : {"SigBlk:", "SigIgn:"}) {
    const auto at = seen.find(field);
    ASSERT_NE(at, std::string::npos) << seen;
    const unsigned long long mask = std::stoull(seen.substr(at + std::strlen(field)), nullptr, 16);
    for (int sig : {SIGINT, SIGTERM, SIGPIPE})
      EXPECT_EQ(mask & (1ULL << (sig - 1)), 0u) << field << " signal " << sig << " in " << seen;
  }
}
#endif  // !_WIN32

// ---- shell detection ----

TEST(Shell, NamesAreReducedToTheBareLowerCaseProgram) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"-bash", "bash"},  {"/usr/bin/zsh", "zsh"}, {"PWSH.EXE", "pwsh"},
      {"-/bin/sh", "sh"}, {"fish", "fish"},        {"/opt/nu/nu", "nu"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(_normalise_shell_name(in), out) << in;
}

TEST(Shell, ActivationScriptTable) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"bash", "activate"},     {"dash", "activate"},    {"zsh", "activate"},
      {"ash", "activate"},      {"sh", "activate"},      {"fish", "activate.fish"},
      {"csh", "activate.csh"},  {"nu", "activate.nu"},   {"powershell", "activate.ps1"},
      {"pwsh", "activate.ps1"}, {"cmd", "activate.bat"},
  };
  for (const auto& [shell, script] : cases) EXPECT_EQ(_activate_script_for(shell), script);
  for (const std::string shell : {"tcsh", "ksh", "Bash"}) {
    try {
      _activate_script_for(shell);
      ADD_FAILURE() << shell;
    } catch (const KeelboxException&) {
      ADD_FAILURE() << "not a user error: " << shell;
    } catch (const RuntimeError& e) {
      EXPECT_EQ(std::string(e.what()), "Unsupported shell: " + shell);
    }
  }
}

#ifndef _WIN32  // Linux processes by pid (/proc, /bin/sleep); Windows detection has no test here
TEST(Shell, DetectsRealProcessesByTheirProgramName) {
  TempDir dir;
  // A program named like a shell: detection reports the name it runs under.
  std::filesystem::copy_file("/bin/sleep", dir / "tcsh");
  ChildProcess tcsh(dir / "tcsh", {"30"}, current_environment(), ProcessOptions::discard_output());
  EXPECT_EQ(_detect_shell(tcsh.pid()), "tcsh");

  ChildProcess sh("/bin/sh", {"-c", "sleep 30; :"}, current_environment(),
                  ProcessOptions::discard_output());
  EXPECT_EQ(_detect_shell(sh.pid()), "sh");
}
#endif  // !_WIN32

TEST(Shell, AnUnreadableProcessIsADetectionFailure) {
  EXPECT_THROW(_detect_shell(2147483000L), RuntimeError);
}

}  // namespace
}  // namespace keelbox

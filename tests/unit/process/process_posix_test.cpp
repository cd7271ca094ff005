// Linux-only: children of /bin/sh, signals, and fork for a stand-in of the
// tool (the Windows engine is tested in process_win32_test.cpp).
#include "keelbox/process/process.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "keelbox/process/interrupt.hpp"
#include "keelbox/process/interrupt_internal.hpp"

namespace keelbox {
namespace {

const std::filesystem::path kSh = "/bin/sh";

ProcessResult sh(const std::string& script, ProcessOptions o = ProcessOptions::capture_both(),
                 Environment env = current_environment()) {
  return run_process(kSh, {"-c", script}, env, o);
}

bool process_exists(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

TEST(Process, StreamModesDecideWhatIsCaptured) {
  struct Case {
    const char* name;
    ProcessOptions options;
    std::optional<std::string> out, err;
  };
  ProcessOptions merged = ProcessOptions::capture_both();
  merged.stderr_into_stdout = true;
  // Standard error alone in the captured output: standard output keeps its own mode.
  ProcessOptions only_err = merged;
  only_err.stdout_mode = StreamMode::Discard;
  ProcessOptions only_out;
  only_out.stdout_mode = StreamMode::Capture;
  only_out.stderr_mode = StreamMode::Discard;
  const std::vector<Case> cases = {
      {"separately", ProcessOptions::capture_both(), "out1\nout2\n", "err1\n"},
      {"together", merged, "out1\nerr1\nout2\n", std::nullopt},
      {"stdout only", only_out, "out1\nout2\n", std::nullopt},
      {"stderr only, into the output field", only_err, "err1\n", std::nullopt},
      {"discarded", ProcessOptions::discard_output(), std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    auto r = sh("echo out1; echo err1 >&2; echo out2; exit 4", c.options);
    EXPECT_EQ(r.returncode, 4) << c.name;
    EXPECT_EQ(r.stdout_, c.out) << c.name;
    EXPECT_EQ(r.stderr_, c.err) << c.name;
  }
}

TEST(Process, LargeOutputOnBothStreamsDoesNotDeadlock) {
  // Far more than a pipe holds, written to stderr first: a reader that drained
  // only stdout would wait forever.
  auto r =
      sh("head -c 1000000 /dev/zero >&2; head -c 700000 /dev/zero; head -c 300000 /dev/zero >&2");
  EXPECT_EQ(r.returncode, 0);
  EXPECT_EQ(r.stdout_->size(), 700000u);
  EXPECT_EQ(r.stderr_->size(), 1300000u);
}

TEST(Process, ArgumentsAndEnvironmentReachTheChildExactly) {
  Environment env = {{"ONLY_THIS", "va lue=1"}, {"PATH", "/usr/bin:/bin"}};
  auto r = run_process(kSh,
                       {"-c", "printf '%s|' \"$0\" \"$1\" \"$ONLY_THIS\"; env | grep -c ^HOME=",
                        "a'b \"c\" $HOME;*", "second"},
                       env, ProcessOptions::capture_both());
  EXPECT_EQ(*r.stdout_, "a'b \"c\" $HOME;*|second|va lue=1|0\n");
}

TEST(Process, StandardInputCanBeClosedOff) {
  ProcessOptions o = ProcessOptions::capture_both();
  o.stdin_mode = StreamMode::Discard;
  auto r = sh("cat; echo end", o);
  EXPECT_EQ(*r.stdout_, "end\n");
}

TEST(Process, SignalEndsReportNegativeNumbers) {
  EXPECT_EQ(sh("kill -9 $$").returncode, -9);
  EXPECT_EQ(sh("kill -TERM $$").returncode, -15);
  EXPECT_EQ(sh("exit 255").returncode, 255);
}

TEST(Process, StartFailureNamesProgramAndReason) {
  struct Case {
    std::filesystem::path program;
    std::string reason;
  };
  const auto plain = std::filesystem::temp_directory_path() /
                     ("keelbox-not-executable-" + std::to_string(::getpid()));
  { std::ofstream(plain) << "#!/bin/sh\n"; }
  std::filesystem::permissions(
      plain, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  const std::vector<Case> cases = {
      {"/nonexistent/keelbox-test-program", "No such file or directory"},
      {plain, "Permission denied"},  // no execute permission
  };
  for (const auto& c : cases) {
    try {
      run_process(c.program, {}, current_environment());
      ADD_FAILURE() << c.program;
    } catch (const ProcessStartError& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot start " + c.program.string() + ": " + c.reason);
    }
  }
  std::filesystem::remove(plain);
}

TEST(Process, DestroyingARunningChildEndsAndReapsIt) {
  pid_t pid;
  {
    ChildProcess child(kSh, {"-c", "sleep 60"}, current_environment(),
                       ProcessOptions::capture_both());
    pid = static_cast<pid_t>(child.pid());
    ASSERT_TRUE(process_exists(pid));
  }
  EXPECT_FALSE(process_exists(pid));  // ended and reaped: no zombie left either
}

// Forks a stand-in for the tool: the interrupt handler installed (with a
// grace of a fifth of a second, so that a child that ignores SIGTERM costs
// the test little), standard error silenced, one child `sh <sh_args>` waited
// for; `started` runs in the stand-in right after the child has started.
template <typename Started>
pid_t fork_tool(const std::vector<std::string>& sh_args, Started started) {
  const pid_t tool = ::fork();
  if (tool == 0) {
    int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, STDERR_FILENO);
    set_interrupt_grace_ms(200);
    install_interrupt_handler();
    ChildProcess child(kSh, sh_args, current_environment(), ProcessOptions::discard_output());
    started(static_cast<pid_t>(child.pid()));
    child.communicate();
    ::_exit(0);
  }
  return tool;
}

// Ctrl-C while the tool waits for a child: the tool ends with status 1 and
// the child does not outlive it.
// The handler's signals stay blocked on such a thread only: they reach the
// thread that started it, whose own mask is as it was.
TEST(Interrupts, AThreadWithoutThemHasTheHandlersSignalsBlocked) {
  sigset_t before;
  ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &before), 0);
  sigset_t inside;
  sigemptyset(&inside);
  std::thread thread =
      thread_without_interrupts([&inside] { ::pthread_sigmask(SIG_SETMASK, nullptr, &inside); });
  thread.join();
  sigset_t after;
  ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &after), 0);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    EXPECT_EQ(sigismember(&inside, signal_number), 1);
    EXPECT_EQ(sigismember(&after, signal_number), sigismember(&before, signal_number));
  }
}

TEST(Process, InterruptEndsTheToolAndItsChild) {
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  pid_t tool = fork_tool({"-c", "sleep 60"}, [&](pid_t grandchild) {
    (void)!::write(report[1], &grandchild, sizeof grandchild);
  });
  ASSERT_GE(tool, 0);
  ::close(report[1]);
  pid_t child_pid = 0;
  ASSERT_EQ(::read(report[0], &child_pid, sizeof child_pid),
            static_cast<ssize_t>(sizeof child_pid));
  ::close(report[0]);
  ASSERT_TRUE(process_exists(child_pid));
  ::kill(tool, SIGINT);
  int status = 0;
  ASSERT_EQ(::waitpid(tool, &status, 0), tool);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  // The tool reaped its child before exiting; give init no chance to matter.
  for (int i = 0; i < 50 && process_exists(child_pid); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(process_exists(child_pid));
}

// A signal to the tool alone (not to its process group) while a child waits
// for a grandchild: the grandchild ends with the run too, whether it is
// still the child's or already an orphan when the child has gone.
TEST(Process, TerminationEndsTheWholeTreeTheToolStarted) {
  struct Case {
    const char* name;
    int signal_number;
    const char* script;  // writes the grandchild's pid to "$1"
  };
  const std::vector<Case> cases = {
      {"grandchild of a waiting child", SIGTERM, "sleep 60 & echo $! > \"$1\"; wait"},
      {"orphaned grandchild", SIGINT, "(sleep 60 & echo $! > \"$1\") ; sleep 60"},
      {"grandchild that ignores SIGTERM", SIGTERM,
       "(trap '' TERM; exec sleep 60) & echo $! > \"$1\"; wait"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = std::filesystem::temp_directory_path() /
                      ("keelbox-grandchild-" + std::to_string(::getpid()));
    std::filesystem::remove(file);
    pid_t tool = fork_tool({"-c", c.script, "sh", file.string()}, [](pid_t) {});
    ASSERT_GE(tool, 0);
    pid_t grandchild = 0;
    for (int i = 0; i < 500 && grandchild == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::ifstream in(file);
      in >> grandchild;
    }
    ASSERT_GT(grandchild, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the subshell has gone
    ::kill(tool, c.signal_number);
    int status = 0;
    ASSERT_EQ(::waitpid(tool, &status, 0), tool);
    const bool alive = process_exists(grandchild);
    if (alive) ::kill(grandchild, SIGKILL);
    EXPECT_FALSE(alive);
    std::filesystem::remove(file);
  }
}

}  // namespace
}  // namespace keelbox

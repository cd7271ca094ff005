// Windows-only: the Windows process engine against real children, the test
// program itself started again with KEELBOX_TEST_CHILD naming what it is to do.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "keelbox/platform/environment.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/process/process.hpp"

namespace keelbox {
namespace {

constexpr char kMark[] = "\x01";  // the child's answer follows the test framework's own lines

// The test program's path without ".exe": Windows must supply it.
std::filesystem::path self_without_extension() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return std::filesystem::path(path.substr(0, path.size() - 4));
}

ProcessResult child(const std::string& action, const std::vector<std::string>& extra = {},
                    ProcessOptions options = ProcessOptions::capture_both(),
                    Environment env = current_environment()) {
  env["KEELBOX_TEST_CHILD"] = action;
  std::vector<std::string> args = {"--gtest_filter=WindowsChild.Act"};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_process(self_without_extension(), args, env, options);
}

std::string answer(const ProcessResult& r) {
  const std::string out = r.stdout_.value_or("");
  const auto at = out.find(kMark);
  return at == std::string::npos ? "<no answer: " + out + ">" : out.substr(at + 1);
}

// What the child does; it ends at once, before the framework reports.
TEST(WindowsChild, Act) {
  const auto action = environment_variable("KEELBOX_TEST_CHILD");
  if (!action) GTEST_SKIP() << "runs as a child of the Windows process tests";
  _setmode(1, _O_BINARY);
  _setmode(2, _O_BINARY);
  std::string out = kMark;
  int status = 0;
  if (*action == "echo") {
    for (int i = 2; i < __argc; ++i) out += std::string("[") + __argv[i] + "]";
  } else if (*action == "env") {
    out += environment_variable("KEELBOX_PROBE").value_or("<unset>");
  } else if (*action == "exit") {
    status = static_cast<int>(std::strtoul(__argv[2], nullptr, 10));
  } else if (*action == "streams") {
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    std::fputs("err1\n", stderr);
    std::fflush(stderr);
    out = "out2\n";
    status = 4;
  } else if (*action == "job") {
    BOOL in_job = FALSE;
    IsProcessInJob(GetCurrentProcess(), nullptr, &in_job);
    out += in_job ? "in a job" : "outside";
  } else if (*action == "sleep") {
    Sleep(30000);
  }
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
  std::_Exit(status);
}

TEST(WindowsProcess, ArgumentsReachTheChildAsTheyWere) {
  const std::vector<std::string> args = {"plain",      "",       "a b",   "a\"b",
                                         "a\\b",       "a\\\"b", "a b\\", "C:\\Program Files\\",
                                         "\\\\srv\\s", "\"",     "x\ty"};
  std::string expected;
  for (const auto& a : args) expected += "[" + a + "]";
  const auto r = child("echo", args);
  EXPECT_EQ(r.returncode, 0);
  EXPECT_EQ(answer(r), expected);
}

TEST(WindowsProcess, TheEnvironmentIsPassedAsUtf16AndNamesIgnoreCase) {
  Environment env = current_environment();
  env["keelbox_probe"] = "h\xc3\xa9llo w\xc3\xb6rld";
  EXPECT_EQ(answer(child("env", {}, ProcessOptions::capture_both(), env)),
            "h\xc3\xa9llo w\xc3\xb6rld");
}

TEST(WindowsProcess, ExitStatusesKeepAllTheirBits) {
  EXPECT_EQ(child("exit", {"3"}).returncode, 3);
  EXPECT_EQ(child("exit", {"3221225786"}).returncode, 3221225786LL);
}

TEST(WindowsProcess, StreamModesDecideWhatIsCaptured) {
  const auto both = child("streams");
  EXPECT_EQ(both.returncode, 4);
  EXPECT_EQ(both.stderr_, "err1\n");
  EXPECT_EQ(answer(both), "out2\n");
  ProcessOptions merged = ProcessOptions::capture_both();
  merged.stderr_into_stdout = true;
  const auto together = child("streams", {}, merged);
  EXPECT_EQ(answer(together), "err1\nout2\n");
  EXPECT_FALSE(together.stderr_);
  const auto discarded = child("streams", {}, ProcessOptions::discard_output());
  EXPECT_EQ(discarded.returncode, 4);
  EXPECT_FALSE(discarded.stdout_);
}

TEST(WindowsProcess, EveryChildIsInAJob) { EXPECT_EQ(answer(child("job")), "in a job"); }

TEST(WindowsProcess, BatchFilesAndMissingProgramsAreStartFailures) {
  for (const char* program : {"C:\\x\\activate.bat", "C:\\nowhere\\python"}) {
    EXPECT_THROW(run_process(path_from_utf8(program), {}, current_environment()), ProcessStartError)
        << program;
  }
}

// The system's text for a file that is no program has an insert (%1) for
// the file's name: it is filled in, not shown raw.
TEST(WindowsProcess, AStartFailureNamesTheProgramInTheSystemText) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("keelbox-badexe-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(dir);
  const auto program = dir / "not-a-program.exe";
  std::FILE* f = _wfopen(program.c_str(), L"wb");
  ASSERT_NE(f, nullptr);
  std::fputs("this is text, not a program\n", f);
  std::fclose(f);
  std::string text;
  try {
    run_process(program, {}, current_environment());
    ADD_FAILURE() << "started";
  } catch (const ProcessStartError& e) {
    text = e.what();
  }
  std::filesystem::remove_all(dir);
  EXPECT_EQ(text.find("%1"), std::string::npos) << text;
  EXPECT_EQ(text.rfind("Cannot start " + path_to_utf8(program) + ": ", 0), 0u) << text;
}

// The child's process id names it while it runs; once the object is gone,
// so is the process.
TEST(WindowsProcess, DestroyingARunningChildEndsIt) {
  const auto start = std::chrono::steady_clock::now();
  HANDLE watched = nullptr;
  {
    Environment env = current_environment();
    env["KEELBOX_TEST_CHILD"] = "sleep";
    ChildProcess sleeper(self_without_extension(), {"--gtest_filter=WindowsChild.Act"}, env,
                         ProcessOptions::discard_output());
    ASSERT_GT(sleeper.pid(), 0);
    watched = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(sleeper.pid()));
    ASSERT_NE(watched, nullptr);
    EXPECT_EQ(WaitForSingleObject(watched, 200), static_cast<DWORD>(WAIT_TIMEOUT));
  }
  EXPECT_EQ(WaitForSingleObject(watched, 0), WAIT_OBJECT_0) << "still running";
  CloseHandle(watched);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace keelbox

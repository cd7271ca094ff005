// Linux-only: prctl, and fork to check it in a process of its own.
#include "keelbox/platform/process_guard.hpp"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace keelbox {
namespace {

// In a child, so that the test process stays as it was.
TEST(ProcessGuard, MakesTheProcessNonDumpable) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::prctl(PR_GET_DUMPABLE) != 1) ::_exit(2);  // an ordinary process to begin with
    if (!keep_memory_private()) ::_exit(3);
    ::_exit(::prctl(PR_GET_DUMPABLE) == 0 ? 0 : 4);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace keelbox

// Linux-only: non-blocking pipes, SIGPIPE, mode bits and link counts (the
// portable part is io_test.cpp).
#include "keelbox/platform/io.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {
namespace {

// More than a pipe holds, written to a non-blocking pipe: the writer waits
// for the reader instead of giving up, and every byte arrives in order.
TEST(WriteAll, WaitsForAFullNonBlockingPipe) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
      received.append(buffer, static_cast<std::size_t>(n));
    }
  });
  EXPECT_EQ(write_all(fds[1], data), 0);
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  EXPECT_EQ(received, data);
}

TEST(WriteAll, ReportsTheReasonOfAFailedWrite) {
  ::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  EXPECT_EQ(write_all(fds[1], "x"), EPIPE);  // the reader is gone
  ::close(fds[1]);
  EXPECT_EQ(write_all(fds[1], "x"), EBADF);  // not open
  EXPECT_EQ(write_all(fds[1], ""), 0);       // nothing to write is no failure
}

TEST(OpenNamelessFile, LeavesNoNameAndIsTheOwnersOnly) {
  char tmpl[] = "/tmp/keelbox-nameless-XXXXXX";
  const std::filesystem::path folder = ::mkdtemp(tmpl);
  {
    FileDescriptor fd = open_nameless_file(folder, ".keelbox-download-");
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    EXPECT_EQ(write_all(fd.get(), "data"), 0);
    struct stat st {};
    ASSERT_EQ(::fstat(fd.get(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_nlink, 0u);
    EXPECT_EQ(st.st_size, 4);
  }
  try {
    open_nameless_file(folder / "missing", ".keelbox-download-");
    ADD_FAILURE() << "created";
  } catch (const FileSystemError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find((folder / "missing").string()), std::string::npos) << text;
    EXPECT_NE(text.find("No such file or directory"), std::string::npos) << text;
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace keelbox

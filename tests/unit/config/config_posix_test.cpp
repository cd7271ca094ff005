// Linux only: mode bits, fork and other users, tmpfs, FIFOs, Unix sockets and signals, links.
//
// The configuration file where it rests on POSIX machinery; the rest of the
// configuration's tests run on every system (config_test.cpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "../support/small_disk.hpp"
#include "config_fixture.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {
namespace {
namespace fs = std::filesystem;
using testing::ConfigFiles;

TEST_F(ConfigFiles, WrittenFileIsOwnerOnlyEvenWhenTheOldOneWasNot) {
  fs::create_directories(config_dir());
  write(config_file(), "old");
  fs::permissions(config_file(), fs::perms(0644));
  write_config_parse_to_file({{"id", "secret", "cloud"}, {}});
  struct stat st {};
  ASSERT_EQ(::stat(config_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(config_dir()), fs::directory_iterator{}), 1);
}

// A configuration file the user may only read still reads.
// A relative HOME (as a relative XDG variable) is taken as unset: the
// user database names the home folder then.
TEST_F(ConfigFiles, RelativeHomeIsUnset) {
  const std::optional<std::string> home = environment_variable("HOME");
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
    testing::set_env(name, "rel");
  testing::set_env("HOME", std::string("rel"));
  const AppDirs dirs = _get_appdirs();
  testing::set_env("HOME", home);
  for (const fs::path& dir : {dirs.config_dir, dirs.data_dir, dirs.cache_dir}) {
    EXPECT_TRUE(dir.is_absolute()) << dir;
  }
}

TEST_F(ConfigFiles, ReadOnlyFileReads) {
  write_config_parse_to_file({{"id", "secret", "cloud"}, {}});
  fs::permissions(config_file(), fs::perms(0444));
  fs::permissions(root_, fs::perms(0755));
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Root reads anything: read as an ordinary user instead.
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    try {
      ::_exit(get_configparser().profile.token_id == "id" ? 0 : 1);
    } catch (...) {
      ::_exit(2);
    }
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A full disk fails the write and leaves the previous file whole, with no
// temporary file beside it.
TEST_F(ConfigFiles, FullDiskKeepsThePreviousFile) {
  testing::SmallDisk disk(root_ / "disk", 64 * 1024);
  if (!disk.mounted()) GTEST_SKIP() << disk.why_not();
  testing::set_env("XDG_CONFIG_HOME", disk.path().string());
  const fs::path file = disk.path() / "Keelbox" / "keelbox.toml";
  write_config_parse_to_file({{"old-id", "old-secret", "cloud"}, {}});
  const std::string before = read(file);
  disk.fill();
  try {
    write_config_parse_to_file({{"new-id", std::string(5000, 's'), "dev.cloud"}, {}});
    FAIL() << "the full disk went unnoticed";
  } catch (const FileSystemError& e) {
    EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos) << e.what();
  }
  EXPECT_EQ(read(file), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator{}), 1);
  disk.free();
  write_config_parse_to_file({{"new-id", "s", "cloud"}, {}});
  EXPECT_EQ(get_configparser().profile.token_id, "new-id");
}

// Only a regular file (or a link to one) is read, and nothing waits on
// what is not one: a FIFO would block the open until a writer comes.
TEST_F(ConfigFiles, AnythingButARegularFileIsRefusedWithoutWaiting) {
  struct sigaction on_alarm {};
  on_alarm.sa_handler = [](int) {};  // no SA_RESTART: a blocked open ends with EINTR
  struct sigaction old_alarm {};
  ASSERT_EQ(::sigaction(SIGALRM, &on_alarm, &old_alarm), 0);
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
    const char* says;  // empty: reads fine
  };
  auto make_socket = [](const fs::path& p) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(p.string().size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, p.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
  };
  const std::string valid = render_config_toml({{"id", "secret", "cloud"}, {}});
  const Case cases[] = {
      {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, "it is a FIFO"},
      {"link to a fifo",
       [&](const fs::path& p) {
         ASSERT_EQ(::mkfifo((root_ / "fifo").c_str(), 0600), 0);
         fs::create_symlink(root_ / "fifo", p);
       },
       "it is a FIFO"},
      {"socket", make_socket, "it is a socket"},
      {"character device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
       "it is a character device"},
      {"too large", [&](const fs::path& p) { write(p, valid + std::string(2 << 20, '#')); },
       "larger than 1024 KiB"},
      {"link to a regular file",
       [&](const fs::path& p) {
         write(root_ / "real.toml", valid);
         fs::create_symlink(root_ / "real.toml", p);
       },
       ""},
  };
  fs::create_directories(config_dir());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(config_file());
    fs::remove(root_ / "fifo");
    c.make(config_file());
    ::alarm(5);
    try {
      KeelboxConfig conf = get_configparser();
      EXPECT_EQ(std::string(c.says), "") << "read as " << conf.profile.token_id;
    } catch (const FileSystemError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Cannot read '" + config_file().string() + "': " + c.says +
                    (std::string(c.says).starts_with("it is") ? ", not a regular file" : ""));
    }
    ::alarm(0);
  }
  ::sigaction(SIGALRM, &old_alarm, nullptr);
}

// Links in the configuration folder are removed as links: their targets stay.
TEST_F(ConfigFiles, CleaningRemovesLinksToFilesOnly) {
  fs::create_directories(config_dir());
  write(root_ / "target.txt", "x");
  fs::create_symlink(root_ / "target.txt", config_dir() / "link.txt");
  fs::create_symlink(root_ / "nowhere", config_dir() / "dangling");
  fs::create_directory_symlink(root_, config_dir() / "dirlink");
  clean_config_dir();
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(config_dir()))
    left.insert(e.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"dangling", "dirlink"}));
  EXPECT_TRUE(fs::exists(root_ / "target.txt"));  // the link goes, its target stays
}

}  // namespace
}  // namespace keelbox

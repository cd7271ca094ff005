// Linux-only: mode bits, symbolic links and /dev/null (the portable part is
// files_test.cpp).
#include "keelbox/platform/files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {
namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/keelbox-files-XXXXXX";
    folder_ = ::mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(folder_); }
  fs::path folder_;
};

// A private file is created owner-only once; what is there (a file, a link
// to a file elsewhere) is never opened or changed.
TEST_F(FilesTest, PrivateFileIsCreatedOnceAndFollowsNoLink) {
  const fs::path file = folder_ / "secret";
  ASSERT_FALSE(create_private_file(file));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::ofstream(file) << "kept";
  EXPECT_EQ(create_private_file(file), std::errc::file_exists);
  const fs::path elsewhere = folder_ / "elsewhere";
  fs::create_symlink(elsewhere, folder_ / "link");
  EXPECT_EQ(create_private_file(folder_ / "link"), std::errc::file_exists);
  EXPECT_FALSE(fs::exists(elsewhere));
  EXPECT_EQ(read_regular_file(file, 100), "kept");
  // Through the link, when asked: the missing target is created, owner-only.
  EXPECT_FALSE(create_private_file(folder_ / "link", true));
  ASSERT_EQ(::stat(elsewhere.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(create_private_file(file, true)) << "an existing file is no error then";
  EXPECT_EQ(read_regular_file(file, 100), "kept");
}

// A temporary file takes the place of the old one with its own mode.
TEST_F(FilesTest, TemporaryFileKeepsItsOwnMode) {
  const fs::path file = folder_ / "keelbox.toml";
  std::ofstream(file) << "old";
  ::chmod(file.c_str(), 0644);
  PrivateTemporaryFile tmp = create_private_temporary_file(folder_, "keelbox.toml.");
  ASSERT_FALSE(tmp.error) << tmp.error.message();
  EXPECT_FALSE(close_file(tmp.fd));
  EXPECT_FALSE(replace_file(tmp.path, file));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(FilesTest, DevicesAndLinks) {
  std::error_code error;
  EXPECT_EQ(file_kind("/dev/null", error), FileKind::CharacterDevice);
  fs::create_symlink(folder_, folder_ / "up");
  EXPECT_TRUE(is_link(folder_ / "up"));
  EXPECT_FALSE(is_link(folder_));
}

}  // namespace
}  // namespace keelbox

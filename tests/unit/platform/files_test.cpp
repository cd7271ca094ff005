// The file operations every system has, on real files in a fresh folder.
#include "keelbox/platform/files.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "../support/portable.hpp"
#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {
namespace {

namespace fs = std::filesystem;

class PortableFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = testing::make_temp_dir("keelbox-files"); }
  void TearDown() override { fs::remove_all(folder_); }
  fs::path folder_;
};

// A private file is created once; what is there stays as it is.
TEST_F(PortableFilesTest, PrivateFileIsCreatedOnce) {
  const fs::path file = folder_ / "secret";
  ASSERT_FALSE(create_private_file(file));
  EXPECT_EQ(read_regular_file(file, 100), "");
  { std::ofstream(file) << "kept"; }
  EXPECT_EQ(create_private_file(file), std::errc::file_exists);
  EXPECT_EQ(read_regular_file(file, 100), "kept");
}

// A temporary file replaces the old one whole, and its name is gone after.
TEST_F(PortableFilesTest, TemporaryFileReplacesTheOldOne) {
  const fs::path file = folder_ / "keelbox.toml";
  { std::ofstream(file) << "old"; }
  PrivateTemporaryFile tmp = create_private_temporary_file(folder_, "keelbox.toml.");
  ASSERT_FALSE(tmp.error) << tmp.error.message();
  EXPECT_EQ(tmp.path.parent_path(), folder_);
  EXPECT_EQ(write_all(tmp.fd.get(), "new"), 0);
  EXPECT_FALSE(flush_to_disk(tmp.fd.get()));
  EXPECT_FALSE(close_file(tmp.fd));
  EXPECT_FALSE(replace_file(tmp.path, file));
  EXPECT_EQ(read_regular_file(file, 100), "new");
  EXPECT_FALSE(fs::exists(tmp.path));
  EXPECT_FALSE(remove_file(tmp.path)) << "a file already gone is no error";
}

TEST_F(PortableFilesTest, KindsAndLimits) {
  std::error_code error;
  EXPECT_EQ(file_kind(folder_ / "missing", error), FileKind::Missing);
  EXPECT_EQ(file_kind(folder_, error), FileKind::Directory);
  { std::ofstream(folder_ / "big") << std::string(3000, 'x'); }
  EXPECT_EQ(file_kind(folder_ / "big", error), FileKind::Regular);
  EXPECT_FALSE(is_link(folder_ / "big"));
  try {
    read_regular_file(folder_ / "big", 2048);
    ADD_FAILURE() << "read";
  } catch (const FileSystemError& e) {
    EXPECT_NE(std::string(e.what()).find("larger than 2 KiB"), std::string::npos) << e.what();
  }
  EXPECT_THROW(read_regular_file(folder_, 100), FileSystemError) << "a folder is refused";
}

}  // namespace
}  // namespace keelbox

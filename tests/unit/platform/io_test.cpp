// Descriptors and nameless files on every system, on real files.
#include "keelbox/platform/io.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "../support/portable.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox {
namespace {

// A nameless file takes what is written to it and leaves nothing behind once
// closed; a folder that is not there is named in the failure.
TEST(OpenNamelessFile, LeavesNothingBehindAndNamesAMissingFolder) {
  const std::filesystem::path folder = testing::make_temp_dir("keelbox-nameless");
  {
    FileDescriptor fd = open_nameless_file(folder, ".keelbox-download-");
    ASSERT_TRUE(fd);
    EXPECT_EQ(write_all(fd.get(), "data"), 0);
  }
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  try {
    open_nameless_file(folder / "missing", ".keelbox-download-");
    ADD_FAILURE() << "created";
  } catch (const FileSystemError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find(path_to_utf8(folder / "missing")), std::string::npos) << text;
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace keelbox

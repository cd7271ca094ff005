// Windows-only: what the console control handler removes before it ends the
// run, driven in-process (the handler's removal step; the handler itself
// ends the process). Slots the removal took stay taken, as in a run that
// ends: each test spends at most one.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "keelbox/process/interrupt_win32.hpp"

namespace keelbox {
namespace {

namespace fs = std::filesystem;

class InterruptRemoval : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("keelbox-interrupt-" + std::to_string(GetCurrentProcessId()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  static void write(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
  }

  fs::path root_;
};

TEST_F(InterruptRemoval, RemovesWhatIsRegisteredAndNothingElse) {
  const fs::path beside = root_ / ".keelbox-unpack-1";
  fs::create_directories(beside / "a" / "b");
  write(beside / "a" / "b" / "file.txt", "x");
  write(beside / "readonly.txt", "y");
  SetFileAttributesW((beside / "readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  // A link inside to a folder outside: removed as a link, the folder kept
  // (wine's Unix links go through the black-box tests).
  const fs::path outside = root_ / "outside";
  fs::create_directories(outside);
  write(outside / "keep.txt", "z");
  const bool linked =
      CreateSymbolicLinkW(
          (beside / "link").c_str(), outside.c_str(),
          SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != FALSE;
  // Registered, then forgotten (the run removed it itself): left alone.
  const fs::path forgotten = root_ / ".keelbox-unpack-2";
  fs::create_directories(forgotten);

  const int slot = remove_on_interrupt(beside.c_str());
  ASSERT_GE(slot, 0);
  const int forgotten_slot = remove_on_interrupt(forgotten.c_str());
  ASSERT_GE(forgotten_slot, 0);
  forget_removal_on_interrupt(forgotten_slot);

  remove_registered_on_interrupt();

  EXPECT_FALSE(fs::exists(fs::symlink_status(beside)));
  EXPECT_TRUE(fs::exists(forgotten));
  EXPECT_TRUE(fs::exists(outside / "keep.txt")) << "link followed (link made: " << linked << ")";
  // Removing, it is no longer the run's: a renaming now is refused.
  EXPECT_FALSE(hold_removal_on_interrupt(slot));
}

TEST_F(InterruptRemoval, WaitsForARenamingAndRemovesWhereTheFolderWent) {
  // The folders change places as when the unpacked one is put in place:
  // the destination steps aside to "-old", the folder beside takes its name.
  const fs::path destination = root_ / "dest";
  const fs::path beside = root_ / ".keelbox-unpack-3";
  const fs::path old = root_ / ".keelbox-unpack-3-old";
  fs::create_directories(destination);
  write(destination / "previous.txt", "old");
  fs::create_directories(beside);
  write(beside / "new.txt", "new");

  const int slot = remove_on_interrupt(beside.c_str());
  ASSERT_GE(slot, 0);
  ASSERT_TRUE(hold_removal_on_interrupt(slot));
  std::thread handler(remove_registered_on_interrupt);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  fs::rename(destination, old);
  fs::rename(beside, destination);
  EXPECT_TRUE(fs::exists(destination / "new.txt")) << "removed while held";
  move_removal_on_interrupt(slot, old.c_str());
  resume_removal_on_interrupt(slot);
  handler.join();

  EXPECT_TRUE(fs::exists(destination / "new.txt"));
  EXPECT_FALSE(fs::exists(old));
}

}  // namespace
}  // namespace keelbox

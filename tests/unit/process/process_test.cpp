// Child processes on every system: what needs no child of a given system's
// own (the engines are tested in process_posix_test.cpp and
// process_win32_test.cpp).
#include "keelbox/process/process.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "../support/portable.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox {
namespace {

TEST(Process, CalledProcessErrorText) {
  EXPECT_STREQ(CalledProcessError({"/v/bin/python", "-c", "x"}, 3).what(),
               "Command ['/v/bin/python', '-c', 'x'] returned non-zero exit status 3.");
  EXPECT_STREQ(CalledProcessError({"/v/bin/uv"}, -9).what(),
               "Command ['/v/bin/uv'] died with signal 9.");
  // A Windows exit code beyond the range of int (a child ended by Ctrl-C).
  EXPECT_STREQ(CalledProcessError({"C:\\v\\uv.exe"}, 3221225786LL).what(),
               "Command ['C:\\\\v\\\\uv.exe'] returned non-zero exit status 3221225786.");
}

// A program that is not there fails the start, named in the failure; no
// child is left to wait for.
TEST(Process, AMissingProgramIsAStartFailure) {
  const std::filesystem::path folder = testing::make_temp_dir("keelbox-process");
  const std::filesystem::path program = folder / "keelbox-missing-program";
  try {
    ChildProcess child(program, {}, current_environment(), ProcessOptions::discard_output());
    ADD_FAILURE() << "started";
  } catch (const ProcessStartError& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("Cannot start " + path_to_utf8(program) + ": ", 0), 0u) << text;
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace keelbox

// Linux only: MKL is linked by a symbolic link in the target's lib folder, probed through
// bin/python.
//
// The MKL step of the install flow on a fake context.
#include <gtest/gtest.h>

#include "install_flow_test_support.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/modules/modules.hpp"

namespace keelbox::flow_test {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

TEST_F(Flow, MklIsProvisionedBeforeThePackages) {
  // The target's interpreter, which the MKL probe starts (here: the fake runner).
  fs::create_directories(target_ / "bin");
  std::ofstream(target_ / "bin" / "python") << "#!/bin/sh\n";
  fs::permissions(target_ / "bin" / "python", fs::perms::owner_all);
  fs::create_directories(target_ / "lib");
  std::ofstream(target_ / "lib" / "libmkl_rt.so.2") << "lib";
  struct Case {
    const char* name;
    int probe_status;  // 0: the target's python finds mkl
    V said;
    std::size_t uv_installs_of_mkl;
  };
  const std::vector<Case> cases = {
      {"absent: installed, then linked",
       1,
       {"MKL will be installed.\nInstalling\n['zvk-tracer']\n", "Installing MKL via pip.\n",
        "Creating symlink " + (target_ / "lib" / "libmkl_rt.so").string() + " to libmkl_rt.so.2\n"},
       1},
      {"present: only the link is left to make",
       0,
       {"MKL will be installed.\n",
        "MKL library already installed / available in " + target_.string() + ".\n"},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(target_ / "lib" / "libmkl_rt.so");
    runner_ = FakeProcessRunner();
    runner_.answer(c.probe_status);
    CaptureStdout();
    install_modules(context_, {"mkl", "zvk-tracer"}, /*yes=*/true, std::nullopt);
    const std::string out = GetCapturedStdout();
    expect_in_order(out, c.said);
    EXPECT_TRUE(fs::is_symlink(target_ / "lib" / "libmkl_rt.so")) << out;

    ASSERT_EQ(runner_.runs.size(), 2 + c.uv_installs_of_mkl) << out;
    EXPECT_EQ(runner_.runs.front().program.filename(), "python");  // the presence probe
    if (c.uv_installs_of_mkl) {
      EXPECT_EQ(runner_.runs[1].args, install_args({"mkl"}, false));
    }
    EXPECT_EQ(runner_.runs.back().args, install_args({"zvk-tracer"}, false));
  }
}

}  // namespace
}  // namespace keelbox::flow_test

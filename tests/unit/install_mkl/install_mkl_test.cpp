#include "keelbox/install_mkl/install_mkl.hpp"

#include <gtest/gtest.h>

#include "../support/fake_context.hpp"
#include "../uv/uv_test_support.hpp"
#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {
namespace {

namespace fs = std::filesystem;
using testing::FakeContext;
using testing::nested_cause;
using testing::TempDir;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

void touch(const fs::path& p) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << "lib";
}

struct LinkCase {
  const char* name;
  std::vector<std::string> files;       // versioned files present
  std::optional<std::string> existing;  // "file", "link" or "broken": libmkl_rt.so already there
  std::optional<std::string> target;    // the expected link content; nullopt: nothing created
  enum { None, NotFound, LinkFails } failure = None;
};

TEST(MklLinks, PosixLinkPointsToTheLowestNumberedRuntime) {
  KEELBOX_SKIP_ON_WINDOWS(
      "the Linux layout, and std::filesystem of mingw-w64 has no symbolic links");
  const std::vector<LinkCase> cases = {
      {"only .2", {"libmkl_rt.so.2"}, {}, "libmkl_rt.so.2"},
      {"lowest wins", {"libmkl_rt.so.3", "libmkl_rt.so.1"}, {}, "libmkl_rt.so.1"},
      {"all five",
       {"libmkl_rt.so.1", "libmkl_rt.so.2", "libmkl_rt.so.3", "libmkl_rt.so.4", "libmkl_rt.so.5"},
       {},
       "libmkl_rt.so.1"},
      {"0 and 6 never probed",
       {"libmkl_rt.so.0", "libmkl_rt.so.6", "libmkl_rt.so.5"},
       {},
       "libmkl_rt.so.5"},
      {"only .6", {"libmkl_rt.so.6"}, {}, std::nullopt, LinkCase::NotFound},
      {"no lib folder", {}, {}, std::nullopt, LinkCase::NotFound},
      {"file already there", {"libmkl_rt.so.2"}, "file", std::nullopt},
      {"working link there", {"libmkl_rt.so.2"}, "link", std::nullopt},
      {"broken link takes the name",
       {"libmkl_rt.so.2"},
       "broken",
       std::nullopt,
       LinkCase::LinkFails},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    FakeContext fake;
    fake.context.environment["VIRTUAL_ENV"] = root.path().string();
    const fs::path lib = root / "lib", link = lib / "libmkl_rt.so";
    for (const auto& f : c.files) touch(lib / f);
    if (c.existing == "file") touch(link);
    if (c.existing == "link") fs::create_symlink("libmkl_rt.so.2", link);
    if (c.existing == "broken") fs::create_symlink("libmkl_rt.so.9", link);
    const auto before = fs::is_symlink(link) ? fs::read_symlink(link).string() : "";

    CaptureStdout();
    try {
      _create_mkl_symlinks_posix(fake.context);
      EXPECT_EQ(c.failure, LinkCase::None);
    } catch (const FileNotFoundError& e) {
      EXPECT_EQ(c.failure, LinkCase::NotFound);
      EXPECT_STREQ(e.what(), "MKL RT not found.");
    } catch (const FileSystemError&) {
      EXPECT_EQ(c.failure, LinkCase::LinkFails);
    }
    const std::string out = GetCapturedStdout();

    if (c.target) {
      EXPECT_EQ(out, "Creating symlink " + link.string() + " to " + *c.target + "\n");
      EXPECT_EQ(fs::read_symlink(link), *c.target);  // relative: resolves inside lib
      EXPECT_TRUE(fs::exists(link));
    } else if (c.failure == LinkCase::LinkFails) {
      EXPECT_EQ(out, "Creating symlink " + link.string() + " to libmkl_rt.so.2\n");
      EXPECT_EQ(fs::read_symlink(link).string(), before);  // left as it was
    } else {
      EXPECT_EQ(out, "");
      EXPECT_EQ(fs::is_symlink(link) ? fs::read_symlink(link).string() : "", before);
      if (!c.existing) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
      }
    }
  }
}

TEST(MklLinks, WindowsLayoutAndItsPermissionMessage) {
  KEELBOX_SKIP_ON_WINDOWS("std::filesystem of mingw-w64 reads and makes no symbolic links");
  TempDir root;
  FakeContext fake;
  fake.context.environment["VIRTUAL_ENV"] = root.path().string();
  const fs::path bin = root / "Library" / "bin";
  touch(bin / "mkl_rt.3.dll");
  touch(bin / "mkl_rt.2.dll");
  CaptureStdout();
  _create_mkl_symlinks_windows(fake.context);
  EXPECT_EQ(GetCapturedStdout(),
            "Creating symlink " + (bin / "mkl_rt.dll").string() + " to mkl_rt.2.dll\n");
  EXPECT_EQ(fs::read_symlink(bin / "mkl_rt.dll"), "mkl_rt.2.dll");

  // A link that cannot be made is the user-facing advice, the system error chained.
  fs::remove(bin / "mkl_rt.dll");
  fs::create_symlink("gone.dll", bin / "mkl_rt.dll");
  CaptureStdout();
  try {
    _create_mkl_symlinks_windows(fake.context);
    ADD_FAILURE();
  } catch (const KeelboxException& e) {
    EXPECT_STREQ(e.what(),
                 "Permission denied to create symlink. Please activate `Security "
                 "Settings\\Local Policies\\User Rights Assignment\\Create symbolic links`");
    EXPECT_TRUE(nested_cause<fs::filesystem_error>(e).has_value());
  }
  GetCapturedStdout();
}

// A target environment named by VIRTUAL_ENV and a fake runner in place of its
// python: the probe's answer is the fake's. Installing MKL from the index into
// a real environment is the black-box tests' part.
class Mkl : public ::testing::Test {
 protected:
  void SetUp() override { context_.environment["VIRTUAL_ENV"] = venv().string(); }
  fs::path venv() const { return dir_ / "v"; }
  TempDir dir_;
  FakeContext fake_;
  testing::FakeProcessRunner& runner_ = fake_.runner;
  Context& context_ = fake_.context;
};

TEST_F(Mkl, PresenceIsTheProbesExitStatus) {
  KEELBOX_SKIP_ON_WINDOWS("the Linux scripts folder bin");
  runner_.answer(1).answer(0).answer(-9);
  EXPECT_FALSE(is_mkl_present(context_));
  EXPECT_TRUE(is_mkl_present(context_));
  EXPECT_FALSE(is_mkl_present(context_));
  ASSERT_EQ(runner_.runs.size(), 3u);
  for (const auto& run : runner_.runs) {
    EXPECT_EQ(run.program, venv() / "bin" / "python");
    EXPECT_EQ(run.args,
              (std::vector<std::string>{
                  "-c", "from importlib.metadata import distribution;distribution('mkl')"}));
    EXPECT_EQ(run.env.at("VIRTUAL_ENV"), venv().string());
    EXPECT_EQ(run.options.stdout_mode, StreamMode::Discard);
    EXPECT_EQ(run.options.stderr_mode, StreamMode::Discard);
  }
}

TEST_F(Mkl, PresentRuntimeIsLinkedOnce) {
  KEELBOX_SKIP_ON_WINDOWS(
      "the Linux layout, and std::filesystem of mingw-w64 has no symbolic links");
  touch(venv() / "lib" / "libmkl_rt.so.2");
  // Present: one line, then the link to the installed runtime.
  CaptureStdout();
  ensure_mkl_in_environment(context_);
  EXPECT_EQ(GetCapturedStdout(), "MKL library already installed / available in " + venv().string() +
                                     ".\n" + "Creating symlink " +
                                     (venv() / "lib" / "libmkl_rt.so").string() +
                                     " to libmkl_rt.so.2\n");
  EXPECT_EQ(fs::read_symlink(venv() / "lib" / "libmkl_rt.so"), "libmkl_rt.so.2");

  // Again: nothing more to link.
  CaptureStdout();
  ensure_mkl_in_environment(context_);
  EXPECT_EQ(GetCapturedStdout(),
            "MKL library already installed / available in " + venv().string() + ".\n");
  EXPECT_EQ(runner_.runs.size(), 2u);  // the probes only: nothing installed
}

TEST_F(Mkl, AnEnvironmentWithoutPythonIsAStartFailure) {
  TempDir empty;
  Context context{
      system_process_runner(), http::system_client(), steady_clock(), current_environment(), {}};
  context.environment["VIRTUAL_ENV"] = empty.path().string();
  EXPECT_THROW(is_mkl_present(context), ProcessStartError);
}

}  // namespace
}  // namespace keelbox

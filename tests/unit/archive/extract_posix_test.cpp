// Linux only: mode bits, owners, fork, tmpfs, PATH_MAX, planted links, the reference extraction.
//
// Safe unpacking where it rests on POSIX machinery (links are planted with
// std::filesystem, which makes none with mingw-w64); the rest of the
// extraction's tests run on every system (extract_test.cpp).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "extract_fixture.hpp"
#include "keelbox/archive/extract.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "reference_extract.hpp"

namespace keelbox::testing::extract {
namespace {

using keelbox::extract_tar_gz;
using keelbox::ExtractionError;

// Modes as the system gives them: the umask is 022 while a test runs.
class ExtractPosixTest : public ExtractTest {
 protected:
  void SetUp() override {
    ExtractTest::SetUp();
    old_umask_ = ::umask(022);
  }
  void TearDown() override {
    ::umask(old_umask_);
    ExtractTest::TearDown();
  }
  mode_t old_umask_ = 0;
};

TEST_F(ExtractPosixTest, FileThroughASymlinkPlantedOnDiskIsRefused) {
  fs::create_directories(dest_);
  fs::create_directories(root_ / "elsewhere");
  fs::create_directory_symlink(root_ / "elsewhere", dest_ / "evil");
  EXPECT_THROW(extract_tar_gz(tar_gz({file("evil/x")}), dest_), ExtractionError);
  EXPECT_FALSE(fs::exists(root_ / "elsewhere" / "x"));
}

// A POSIX name is bytes: names and link targets land byte for byte, also
// those that are not UTF-8, stored in a ustar header or in a PAX one.
TEST_F(ExtractPosixTest, NamesAreKeptByteForByte) {
  for (const bool pax : {false, true}) {
    SCOPED_TRACE(pax ? "pax" : "ustar");
    const std::vector<RawMember> members = {{"lat\xe9.txt", '0', "latin", ""},
                                            {"caf\xc3\xa9.txt", '0', "utf-8", ""},
                                            {"d\xff/in", '0', "below", ""},
                                            {"hard\xe8", '1', "", "lat\xe9.txt"},
                                            {"sym\xe8", '2', "", "d\xff/in"}};
    extract_tar_gz(raw_tar_gz(members, pax), dest_);
    EXPECT_EQ(read_file(dest_ / "lat\xe9.txt"), "latin");
    EXPECT_EQ(read_file(dest_ / "caf\xc3\xa9.txt"), "utf-8");
    EXPECT_EQ(read_file(dest_ / "d\xff" / "in"), "below");
    EXPECT_EQ(read_file(dest_ / "hard\xe8"), "latin");
    EXPECT_EQ(fs::read_symlink(dest_ / "sym\xe8"), fs::path("d\xff/in"));
    fs::remove_all(dest_);
  }
}

// The previous contents are hard links to the user's files, and those may be
// hard links to files elsewhere (a key linked into the folder). A hard-link
// member naming one would give its mode to that file: refused.
TEST_F(ExtractPosixTest, AHardLinkChangesTheModeOfNoFileThatWasThereBefore) {
  std::ofstream(root_ / "id_rsa") << "secret";
  fs::permissions(root_ / "id_rsa", static_cast<fs::perms>(0600));
  fs::create_directories(dest_);
  fs::create_hard_link(root_ / "id_rsa", dest_ / "mykey");
  Member grab = hardlink("grab", "mykey");
  grab.perm = 0755;
  std::string error;
  try {
    extract_tar_gz(tar_gz({file("first", "1"), grab}), dest_);
  } catch (const ExtractionError& e) {
    error = e.what();
  }
  EXPECT_EQ(error,
            "Refused archive member 'grab': link target mykey is not a file unpacked from this "
            "archive");
  EXPECT_EQ(fs::status(root_ / "id_rsa").permissions(), static_cast<fs::perms>(0600));
  EXPECT_EQ(files_in(dest_),
            (std::map<std::string, std::string>{{"first", "1"}, {"mykey", "secret"}}));
}

TEST_F(ExtractPosixTest, ModesAreTamed) {
  struct Case {
    const char* name;
    unsigned type;
    unsigned in;
    unsigned out;
  };
  const std::vector<Case> cases = {
      {"setuid", AE_IFREG, 04755, 0755},
      {"setgid", AE_IFREG, 02755, 0755},
      {"sticky", AE_IFREG, 01644, 0644},
      {"world-writable", AE_IFREG, 0777, 0755},
      {"group-writable", AE_IFREG, 0664, 0644},
      {"owner no exec", AE_IFREG, 0655, 0644},
      {"read-only", AE_IFREG, 0400, 0600},
      {"group exec only", AE_IFREG, 0070, 0640},
      {"no bits", AE_IFREG, 0000, 0600},
      {"exec only", AE_IFREG, 0100, 0700},
      // Folders keep the system default (umask 022 here) whatever the archive says.
      {"dir sticky", AE_IFDIR, 01777, 0755},
      {"dir closed", AE_IFDIR, 0700, 0755},
  };
  std::vector<Member> members;
  for (const Case& c : cases) {
    Member m = c.type == AE_IFDIR ? dir(c.name, c.in) : file(c.name, "x", c.in);
    members.push_back(m);
  }
  extract_tar_gz(tar_gz(members), dest_);
  for (const Case& c : cases) {
    struct stat st {};
    ASSERT_EQ(::lstat((dest_ / c.name).c_str(), &st), 0) << c.name;
    EXPECT_EQ(st.st_mode & 07777, c.out) << c.name;
  }
}

TEST_F(ExtractPosixTest, OwnerIsNeverApplied) {
  Member m = file("owned", "x");
  m.uid = 4321;
  extract_tar_gz(tar_gz({m}), dest_);
  struct stat st {};
  ASSERT_EQ(::lstat((dest_ / "owned").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_gid, ::getegid());
}

TEST_F(ExtractPosixTest, ThePreviousContentsAreKeptAsTheyWere) {
  fs::create_directories(dest_ / "notes" / "deep");
  std::ofstream(dest_ / "notes" / "deep" / "n.txt") << "note";
  fs::permissions(dest_ / "notes", static_cast<fs::perms>(0700));
  fs::permissions(dest_, static_cast<fs::perms>(0750));
  std::ofstream(dest_ / "private.txt") << "p";
  fs::permissions(dest_ / "private.txt", static_cast<fs::perms>(0640));
  fs::create_symlink("notes/deep", dest_ / "shortcut");
  extract_tar_gz(tar_gz({file("new.txt", "new")}), dest_);
  EXPECT_EQ(files_in(dest_),
            (std::map<std::string, std::string>{
                {"new.txt", "new"}, {"notes/deep/n.txt", "note"}, {"private.txt", "p"}}));
  EXPECT_EQ(fs::status(dest_ / "notes").permissions(), static_cast<fs::perms>(0700));
  EXPECT_EQ(fs::status(dest_).permissions(), static_cast<fs::perms>(0750));
  EXPECT_EQ(fs::status(dest_ / "private.txt").permissions(), static_cast<fs::perms>(0640));
  EXPECT_EQ(fs::read_symlink(dest_ / "shortcut"), "notes/deep");
  EXPECT_EQ(fs::hard_link_count(dest_ / "private.txt"), 1u);  // the old folder is gone
}

// The unpacking starts in an empty folder: the previous folder's links and
// files on a member's way are met all the same, and what the archive does
// not write is kept around what it does.
TEST_F(ExtractPosixTest, MembersMeetThePreviousContentsAsTheyWere) {
  fs::create_directories(dest_ / "a");
  std::ofstream(dest_ / "a" / "keep.txt") << "keep";
  fs::create_directory_symlink("a", dest_ / "l");
  std::ofstream(dest_ / "f") << "old";
  std::string error;
  try {
    extract_tar_gz(tar_gz({file("l/x", "through the link"), file("a/y", "y"), file("f/z", "z")}),
                   dest_);
  } catch (const ExtractionError& e) {
    error = e.what();
  }
  EXPECT_EQ(error, "Could not extract archive member 'f/z': 'f' is a file where a folder must go");
  EXPECT_EQ(files_in(dest_),
            (std::map<std::string, std::string>{
                {"a/keep.txt", "keep"}, {"a/x", "through the link"}, {"a/y", "y"}, {"f", "old"}}));
  EXPECT_EQ(fs::read_symlink(dest_ / "l"), "a");
  EXPECT_EQ(leftovers(root_ / "downloads"), std::vector<std::string>{});
}

// Links the extraction meets on disk are followed when a later link target
// is judged, also those kept from the previous folder (hard-linked in when a
// member's path first passes them) and those an earlier member wrote, however
// the target reads.
TEST_F(ExtractPosixTest, LaterLinkTargetsFollowEveryLinkOnDisk) {
  struct Case {
    const char* label;
    const char* previous_link;  // dest_/here -> ".", planted before, when set
    std::vector<Member> members;
    const char* refused;  // "" when accepted
  };
  const std::vector<Case> cases = {
      {"through a kept link to the folder itself",
       "here",
       {file("here/a.txt"), symlink("e", "here/../escape")},
       "e"},
      {"through a kept link, a hard link",
       "here",
       {file("here/a.txt"), hardlink("h", "here/../a.txt")},
       "h"},
      {"through a written link, deeper",
       nullptr,
       {dir("x/y"), symlink("x/y/here", "."), symlink("x/e", "y/here/../../../out")},
       "x/e"},
      {"through a written link, staying inside",
       nullptr,
       {dir("x/y"), symlink("x/y/here", "."), symlink("x/e", "y/here/../z")},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::create_directories(dest_);
    if (c.previous_link) fs::create_directory_symlink(".", dest_ / c.previous_link);
    std::string error;
    try {
      extract_tar_gz(tar_gz(c.members), dest_);
    } catch (const ExtractionError& e) {
      error = e.what();
    }
    if (*c.refused == '\0') {
      EXPECT_EQ(error, "");
    } else {
      EXPECT_NE(error.find("'" + std::string(c.refused) + "'"), std::string::npos) << error;
      EXPECT_NE(error.find("leads outside"), std::string::npos) << error;
    }
    EXPECT_EQ(outside_entries(), std::vector<std::string>{});
    fs::remove_all(dest_);
  }
}

// A previous folder wide enough that its reading is shared out (the archive
// writes 36 folders three levels down): what the archive does not write is
// kept wherever it sits, folders get their previous modes (those of the
// levels above the shared-out folders after everything below them), and a
// kept folder deeper than the next run could keep ends the run with the
// previous folder as it was.
TEST_F(ExtractPosixTest, AWidePreviousFolderIsKeptWholeOrNotAtAll) {
  std::vector<Member> members;
  std::map<std::string, std::string> written;
  for (int part = 0; part < 3; ++part) {
    for (int group = 0; group < 12; ++group) {
      const std::string folder =
          "examples/part" + std::to_string(part) + "/group" + std::to_string(group);
      members.push_back(file(folder + "/f.txt", folder));
      written[folder + "/f.txt"] = folder;
    }
  }
  members.push_back(file("examples/part1/group5/sub/g.txt", "g"));
  written["examples/part1/group5/sub/g.txt"] = "g";
  std::string chain;
  for (int i = 0; i < 202; ++i) chain += "d/";
  struct Case {
    const char* label;
    std::string kept_chain;  // a folder chain the user made below a shared-out folder
    bool unpacked;
  };
  const Case cases[] = {
      {"kept wherever it sits", "", true},
      {"a kept chain too deep", "examples/part2/group11/" + chain, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(dest_);
    extract_tar_gz(tar_gz(members), dest_);
    std::map<std::string, std::string> mine = {
        {"top.txt", "top"},
        {"examples/e.txt", "e"},
        {"examples/part0/p.txt", "p"},
        {"examples/part2/group7/mine.txt", "mine"},
        {"examples/part1/group5/sub/mine.txt", "deep"},
        {"examples/part0/group3/own/inner/i.txt", "i"},
    };
    if (!c.kept_chain.empty()) mine[c.kept_chain + "end.txt"] = "end";
    for (const auto& [name, data] : mine) {
      fs::create_directories((dest_ / name).parent_path());
      std::ofstream(dest_ / name) << data;
    }
    fs::create_symlink("../part1", dest_ / "examples" / "part0" / "group4" / "link");
    fs::permissions(dest_ / "examples" / "part1", static_cast<fs::perms>(0750));
    fs::permissions(dest_ / "examples" / "part2" / "group9", static_cast<fs::perms>(0700));
    fs::permissions(dest_ / "examples" / "part0" / "group3" / "own", static_cast<fs::perms>(0711));
    std::map<std::string, std::string> before = files_in(dest_);

    std::string error;
    try {
      extract_tar_gz(tar_gz(members), dest_);
    } catch (const ExtractionError& e) {
      error = e.what();
    }
    std::map<std::string, std::string> expected = written;
    expected.insert(mine.begin(), mine.end());
    if (c.unpacked) {
      EXPECT_EQ(error, "");
    } else {
      EXPECT_NE(error.find("folders nested more than 200 deep"), std::string::npos) << error;
      expected = before;
    }
    EXPECT_EQ(files_in(dest_), expected);
    EXPECT_EQ(fs::read_symlink(dest_ / "examples" / "part0" / "group4" / "link"), "../part1");
    EXPECT_EQ(fs::status(dest_ / "examples" / "part1").permissions(), static_cast<fs::perms>(0750));
    EXPECT_EQ(fs::status(dest_ / "examples" / "part2" / "group9").permissions(),
              static_cast<fs::perms>(0700));
    EXPECT_EQ(fs::status(dest_ / "examples" / "part0" / "group3" / "own").permissions(),
              static_cast<fs::perms>(0711));
    EXPECT_EQ(leftovers(root_ / "downloads"), std::vector<std::string>{});
  }
}

// Runs into one folder at once: each succeeds, and the folder is always the
// whole of one archive, never a mix.
TEST_F(ExtractPosixTest, RunsIntoOneFolderAtOnceLeaveOneWholeArchive) {
  std::vector<std::string> archives;
  for (char run : {'A', 'B', 'C', 'D'}) {
    std::vector<Member> members{dir("d")};
    for (int i = 0; i < 150; ++i)
      members.push_back(file("d/f" + std::to_string(i), std::string(1, run)));
    archives.push_back(tar_gz(members));
  }
  for (int round = 0; round < 5; ++round) {
    std::vector<pid_t> children;
    for (const std::string& archive : archives) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        try {
          extract_tar_gz(archive, dest_);
          ::_exit(0);
        } catch (...) {
          ::_exit(1);
        }
      }
      children.push_back(pid);
    }
    for (pid_t pid : children) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    }
    std::map<std::string, int> contents;
    for (const auto& [name, content] : files_in(dest_)) ++contents[content];
    ASSERT_EQ(contents.size(), 1u) << "round " << round << ": a folder mixed from several runs";
    EXPECT_EQ(contents.begin()->second, 150);
    EXPECT_EQ(leftovers(root_ / "downloads"), std::vector<std::string>{});
  }
}

// Another user: nobody, by setuid in a forked child (the tests run as root).
constexpr uid_t NOBODY = 65534;

// Whether `run` ends within `seconds` in a forked child, exiting with status 0.
bool ends_within(int seconds, const std::function<void()>& run) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    try {
      run();
      ::_exit(0);
    } catch (...) {
      ::_exit(1);
    }
  }
  int status = 0;
  for (int waited = 0; waited < seconds * 100; ++waited) {
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return false;
}

// What another user can open in the download folder, they can lock: no such
// lock keeps a run waiting.
TEST_F(ExtractPosixTest, AnotherUsersLockInTheParentFolderKeepsNoRunWaiting) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  fs::permissions(root_, static_cast<fs::perms>(0755));
  fs::permissions(root_ / "downloads", static_cast<fs::perms>(01777));
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    if (::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0) ::_exit(3);
    const int folder = ::open((root_ / "downloads").c_str(), O_RDONLY | O_DIRECTORY);
    const int planted =
        ::open((root_ / "downloads" / "other.lock").c_str(), O_RDWR | O_CREAT, 0644);
    if (folder < 0 || planted < 0 || ::flock(folder, LOCK_EX) != 0 ||
        ::flock(planted, LOCK_EX) != 0)
      ::_exit(4);
    if (::write(ready[1], "x", 1) != 1) ::_exit(5);
    ::sleep(30);
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the other user could not take the locks";
  ::close(ready[0]);
  const std::string archive = tar_gz({file("a.txt", "a")});
  EXPECT_TRUE(ends_within(10, [&] { extract_tar_gz(archive, dest_); }));
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_EQ(read_file(dest_ / "a.txt"), "a");
  EXPECT_FALSE(fs::exists(root_ / "downloads" / ".keelbox-unpack.lock"));  // removed after use
}

// A lock file another user put there (or a link in its place) is never
// taken: whoever made it could hold it, or send the lock anywhere.
TEST_F(ExtractPosixTest, ALockFileAnotherUserPlantedIsNotAdopted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const fs::path lock = root_ / "downloads" / ".keelbox-unpack.lock";
  const std::vector<std::pair<std::string, std::function<void()>>> plants = {
      {"another user's file",
       [&] {
         std::ofstream(lock) << "";
         ASSERT_EQ(::chown(lock.c_str(), NOBODY, NOBODY), 0);
       }},
      {"a link", [&] { fs::create_symlink(root_ / "target", lock); }},
      {"a second name of a file",
       [&] {
         std::ofstream(root_ / "target") << "";
         fs::create_hard_link(root_ / "target", lock);
       }},
  };
  for (const auto& [what, plant] : plants) {
    SCOPED_TRACE(what);
    plant();
    std::string error;
    try {
      extract_tar_gz(tar_gz({file("a.txt", "a")}), dest_);
    } catch (const ExtractionError& e) {
      error = e.what();
    }
    EXPECT_EQ(error, "Cannot unpack into " + dest_.string() + ": the lock file " + lock.string() +
                         " was not made by this user (remove it to go on)");
    EXPECT_FALSE(fs::exists(dest_));
    EXPECT_TRUE(fs::is_symlink(lock) || fs::exists(lock));
    EXPECT_FALSE(fs::exists(root_ / "target") && fs::file_size(root_ / "target") != 0);
    fs::remove(lock);
    fs::remove(root_ / "target");
  }
}

// In a shared folder (sticky, writable by all) another user's link at the
// package's name would have the run write wherever it points.
TEST_F(ExtractPosixTest, ALinkAnotherUserMadeAtTheDestinationIsNotFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  fs::permissions(root_ / "downloads", static_cast<fs::perms>(01777));
  fs::create_directories(root_ / "important");
  std::ofstream(root_ / "important" / "keep.txt") << "keep";
  for (const uid_t owner : {NOBODY, ::geteuid()}) {
    SCOPED_TRACE(owner);
    fs::create_directory_symlink(root_ / "important", dest_);
    ASSERT_EQ(::lchown(dest_.c_str(), owner, owner), 0);
    std::string error;
    try {
      extract_tar_gz(tar_gz({file("a.txt", "a")}), dest_);
    } catch (const ExtractionError& e) {
      error = e.what();
    }
    if (owner == NOBODY) {
      EXPECT_EQ(error, "Cannot unpack into " + dest_.string() + ": " + dest_.string() +
                           " is a link that another user made");
      EXPECT_EQ(files_in(root_ / "important"),
                (std::map<std::string, std::string>{{"keep.txt", "keep"}}));
    } else {  // the user's own link is followed as before
      EXPECT_EQ(error, "");
      EXPECT_EQ(files_in(root_ / "important"),
                (std::map<std::string, std::string>{{"a.txt", "a"}, {"keep.txt", "keep"}}));
    }
    EXPECT_TRUE(fs::is_symlink(dest_));
    fs::remove(dest_);
  }
}

// Below PATH_MAX a name can be looked up; deeper, a link on the way could not
// be seen, so such members are refused rather than taken as plain names.
TEST_F(ExtractPosixTest, PathsTooLongToCheckAreRefused) {
  std::string deep;
  for (char c = 'a'; c < 'a' + 20; ++c) deep += std::string(250, c) + "/";
  // A link to the outside planted at that depth (built step by step, as no
  // single call can name it).
  fs::create_directories(root_ / "elsewhere");
  const fs::path before = fs::current_path();
  fs::create_directories(dest_);
  fs::current_path(dest_);
  for (char c = 'a'; c < 'a' + 20; ++c) {
    fs::create_directory(std::string(250, c));
    fs::current_path(std::string(250, c));
  }
  fs::create_directory_symlink(root_ / "elsewhere", "evil");
  fs::current_path(before);

  const std::vector<std::vector<Member>> cases = {
      {file(deep + "evil/x")},
      {symlink(deep + "s", "evil/y")},
      {hardlink(deep + "h", deep + "evil/y")},
      {file("top", "t"), symlink("l", deep + "evil")},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::vector<Member>& members = cases[i];
    SCOPED_TRACE(i);
    try {
      extract_tar_gz(tar_gz(members), dest_);
      ADD_FAILURE() << "not refused";
    } catch (const ExtractionError& e) {
      EXPECT_NE(std::string(e.what()).find("cannot be checked"), std::string::npos) << e.what();
    }
    EXPECT_EQ(fs::current_path(), before);
  }
  EXPECT_TRUE(fs::is_empty(root_ / "elsewhere"));
  EXPECT_FALSE(fs::is_symlink(dest_ / "l"));
}

// A small file system of its own, so that writes can run out of room.
class FullDiskTest : public ExtractPosixTest {
 protected:
  void mount_small(const char* options) {
    const fs::path at = root_ / "downloads";
    if (::mount("tmpfs", at.c_str(), "tmpfs", 0, options) != 0) {
      GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno)
                   << "); the full-disk cases need root";
    }
    mounted_ = at;
  }
  void TearDown() override {
    if (!mounted_.empty()) ::umount2(mounted_.c_str(), MNT_DETACH);
    ExtractPosixTest::TearDown();
  }
  fs::path mounted_;
};

TEST_F(FullDiskTest, WriteErrorsEndTheRunWithTheMemberAndTheSystemsReason) {
  std::vector<Member> many;
  for (int i = 0; i < 40; ++i) many.push_back(file("f" + std::to_string(i)));
  // Room runs out in the middle of many small files, a member after them
  // would be refused: the failed write is what the run reports.
  std::vector<Member> small;
  for (int i = 0; i < 40; ++i)
    small.push_back(file("s" + std::to_string(i), std::string(64000, 's')));
  small.push_back(file("../refused"));
  struct Case {
    const char* label;
    const char* options;
    std::vector<Member> members;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"no room left",
       "size=20m",
       {file("big.bin", std::string(30u << 20, 'b')), file("small.txt", "small")},
       "'big.bin'"},
      {"no inodes left", "size=20m,nr_inodes=24", many, "Can't create"},
      {"no room left for small files", "size=1m", small, "Write failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    mount_small(c.options);
    if (mounted_.empty()) return;
    try {
      extract_tar_gz(tar_gz(c.members), dest_);
      ADD_FAILURE() << "a full disk was not reported";
    } catch (const ExtractionError& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find(c.expected), std::string::npos) << text;
      EXPECT_NE(text.find(std::strerror(ENOSPC)), std::string::npos) << text;
    }
    EXPECT_FALSE(fs::exists(dest_));  // nothing put in place
    ::umount2(mounted_.c_str(), MNT_DETACH);
    mounted_.clear();
  }
}

// What a folder holds, as "name -> kind, mode, content or link target"
// (links not followed; a missing folder holds nothing).
std::map<std::string, std::string> tree_of(const fs::path& folder) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(folder)) return tree;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator();
       ++it) {
    struct stat st {};
    EXPECT_EQ(::lstat(it->path().c_str(), &st), 0);
    std::ostringstream line;
    line << std::oct << (st.st_mode & 07777) << std::dec << ' ';
    if (S_ISLNK(st.st_mode)) {
      line << "link -> " << fs::read_symlink(it->path()).string();
    } else if (S_ISDIR(st.st_mode)) {
      line << "folder";
    } else {
      line << "file x" << st.st_nlink << ": " << read_file(it->path());
    }
    tree[it->path().lexically_relative(folder).string()] = line.str();
  }
  return tree;
}

struct Outcome {
  std::map<std::string, std::string> tree;
  std::string error;  // "" when the archive was unpacked
};

// A refusal by rule is compared word for word; a failure of the system's
// (the two writers word these differently) by the member it names.
std::string comparable(const std::string& error) {
  if (error.rfind("Refused archive member", 0) == 0 ||
      error.find("where a folder must go") != std::string::npos) {
    return error;
  }
  const std::size_t open = error.find('\'');
  return open == std::string::npos
             ? error
             : "failed at " + error.substr(open, error.find('\'', open + 1) - open + 1);
}

// Many small archives of names, links and climbs that meet one another.
std::vector<std::vector<Member>> random_archives(unsigned seed, int count) {
  const std::vector<std::string> names = {"a",   "b",    "a/b",  "a/c",    "b/a", "a/b/c",
                                          "./a", "a/..", "../a", "a/../b", "l",   "a/l",
                                          "l/x", "l/a",  "m",    "l/../c", "/a/d"};
  const std::vector<std::string> targets = {".",    "..",    "a",    "b",      "a/b",
                                            "../a", "l",     "l/..", "x/../a", "a/../..",
                                            "m/..", "./l/b", "/a",   ""};
  const std::vector<unsigned> modes = {0644, 0755, 0600, 04755, 0777, 0000, 0711};
  std::mt19937 random(seed);
  const auto pick = [&random](const auto& from) { return from[random() % from.size()]; };
  std::vector<std::vector<Member>> archives;
  for (int i = 0; i < count; ++i) {
    std::vector<Member> members;
    for (int n = 0; n < 6; ++n) {
      switch (random() % 5) {
        case 0: members.push_back(dir(pick(names), pick(modes))); break;
        case 1: members.push_back(symlink(pick(names), pick(targets))); break;
        case 2: members.push_back(hardlink(pick(names), pick(names))); break;
        default: members.push_back(file(pick(names), pick(names), pick(modes))); break;
      }
    }
    archives.push_back(members);
  }
  return archives;
}

// The extraction against the slow, plainly correct one it replaced: for the
// hostile archives above and many random ones, both leave the same tree
// (names, kinds, modes, contents, link targets) and refuse the same member
// with the same words.
TEST_F(ExtractPosixTest, UnpacksAsTheReferenceExtractionDoes) {
  std::vector<std::vector<Member>> archives;
  for (const RefusedCase& c : refused_cases()) archives.push_back(c.members);
  archives.push_back({file("/etc/x", "abs"), file("./top.txt", "top"), dir("real"),
                      symlink("docs", "real"), file("docs/readme.txt", "through"),
                      symlink("norm", "real/./sub/../readme.txt"), hardlink("hl", "top.txt"),
                      dir("/")});
  archives.push_back({file("f", "one"), file("f", "two"), file("target", "t"),
                      symlink("l", "target"), file("l", "replaces the link"),
                      file("fd", "file first"), dir("fd"), file("fd/in", "in"), dir("real"),
                      symlink("s", "real"), dir("s"), file("s/in", "own folder"),
                      hardlink("hard", "target")});
  archives.push_back({dir("x/y"), symlink("d", "x/y"), symlink("e", "d/../z"),
                      file("d/f", "via link"), symlink("here", "."), file("here/here/g", "g"),
                      dir("x/y/z"), file("d/z/deep", "deep")});
  archives.push_back({dir("a"), file("a/f"), dir("a"), file("a", "a file over a full folder")});
  // More folders than are kept open at once, then links between them.
  std::vector<Member> many;
  for (int i = 0; i < 150; ++i)
    many.push_back(file("d" + std::to_string(i) + "/f", std::to_string(i)));
  for (int i = 0; i < 150; i += 7) {
    many.push_back(hardlink("d" + std::to_string(i) + "/h", "d" + std::to_string(149 - i) + "/f"));
    many.push_back(symlink("d" + std::to_string(i) + "/s", "../d" + std::to_string(i / 2)));
    many.push_back(file("d" + std::to_string(i) + "/s/g", "through"));
  }
  archives.push_back(many);
  for (auto& random : random_archives(20261207, 400)) archives.push_back(std::move(random));

  int differing = 0;
  std::map<std::string, int> outcomes;
  for (std::size_t i = 0; i < archives.size() && differing < 5; ++i) {
    const std::string archive = tar_gz(archives[i]);
    std::string members;
    for (const Member& m : archives[i])
      members += " [" + m.name + (m.symlink.empty() ? "" : " -> " + m.symlink) +
                 (m.hardlink.empty() ? "" : " => " + m.hardlink) + "]";
    SCOPED_TRACE("archive " + std::to_string(i) + ":" + members);
    // Every other archive meets earlier contents: folders, a link, a file.
    const auto earlier = [this, i] {
      if (i % 2 == 0) return;
      fs::create_directories(dest_ / "a" / "b");
      fs::create_directory_symlink("a", dest_ / "l");
      std::ofstream(dest_ / "m") << "earlier";
    };
    Outcome reference, fast;
    earlier();
    const std::map<std::string, std::string> before = tree_of(dest_);
    try {
      keelbox::reference::reference_extract(archive, dest_);
    } catch (const ExtractionError& e) {
      reference.error = comparable(e.what());
    }
    reference.tree = tree_of(dest_);
    EXPECT_EQ(outside_entries(), std::vector<std::string>{});
    fs::remove_all(dest_);
    earlier();
    try {
      extract_tar_gz(archive, dest_);
    } catch (const ExtractionError& e) {
      fast.error = comparable(e.what());
    }
    fast.tree = tree_of(dest_);
    EXPECT_EQ(outside_entries(), std::vector<std::string>{});
    fs::remove_all(dest_);
    EXPECT_EQ(fast.error, reference.error);
    // A failure of the system's leaves the previous folder; the reference
    // writes in place and leaves what it got to.
    const bool failed = fast.error.rfind("failed at", 0) == 0;
    if (failed) {
      EXPECT_EQ(fast.tree, before);
    } else {
      EXPECT_EQ(fast.tree, reference.tree);
    }
    outcomes[fast.error.empty() ? "unpacked" : failed ? "failed" : "refused"]++;
    if (fast.error != reference.error || (!failed && fast.tree != reference.tree)) ++differing;
  }
  // The random archives reach every outcome, so none of them is compared in vain.
  EXPECT_GT(outcomes["unpacked"], 10);
  EXPECT_GT(outcomes["refused"], 50);
  EXPECT_GT(outcomes["failed"], 10);
}

}  // namespace
}  // namespace keelbox::testing::extract

// Safe unpacking: archives are built in memory with libarchive's writer and
// unpacked into a fresh folder; refused members must leave nothing outside.
#include "keelbox/archive/extract.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "keelbox/exceptions/exceptions.hpp"
#include "reference_extract.hpp"

namespace fs = std::filesystem;
using keelbox::extract_tar_gz;
using keelbox::ExtractionError;
using keelbox::ExtractionLimits;

namespace {

struct Member {
  std::string name;
  unsigned type = AE_IFREG;
  unsigned perm = 0644;
  std::string data;
  std::string symlink;   // target of a symbolic link
  std::string hardlink;  // target of a hard link
  long uid = -1;
};

Member file(std::string name, std::string data = "x", unsigned perm = 0644) {
  return Member{std::move(name), AE_IFREG, perm, std::move(data), "", "", -1};
}
Member dir(std::string name, unsigned perm = 0755) {
  return Member{std::move(name), AE_IFDIR, perm, "", "", "", -1};
}
Member symlink(std::string name, std::string target) {
  return Member{std::move(name), AE_IFLNK, 0777, "", std::move(target), "", -1};
}
Member hardlink(std::string name, std::string target) {
  return Member{std::move(name), AE_IFREG, 0644, "", "", std::move(target), -1};
}
Member special(std::string name, unsigned type) {
  return Member{std::move(name), type, 0644, "", "", "", -1};
}

la_ssize_t append(archive*, void* out, const void* data, size_t size) {
  static_cast<std::string*>(out)->append(static_cast<const char*>(data), size);
  return static_cast<la_ssize_t>(size);
}

std::string tar_gz(const std::vector<Member>& members, int gzip_layers = 1) {
  std::string out;
  archive* a = archive_write_new();
  for (int i = 0; i < gzip_layers; ++i) archive_write_add_filter_gzip(a);
  archive_write_set_format_pax_restricted(a);
  archive_write_set_bytes_in_last_block(a, 1);
  archive_write_open(a, &out, nullptr, append, nullptr);
  for (const Member& m : members) {
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, m.name.c_str());
    archive_entry_set_filetype(e, m.type);
    archive_entry_set_perm(e, m.perm);
    if (m.uid >= 0) {
      archive_entry_set_uid(e, m.uid);
      archive_entry_set_gid(e, m.uid);
    }
    if (!m.symlink.empty()) archive_entry_set_symlink(e, m.symlink.c_str());
    if (!m.hardlink.empty()) archive_entry_set_hardlink(e, m.hardlink.c_str());
    if (m.type == AE_IFCHR || m.type == AE_IFBLK) archive_entry_set_rdev(e, makedev(1, 3));
    archive_entry_set_size(e, static_cast<la_int64_t>(m.data.size()));
    EXPECT_EQ(archive_write_header(a, e), ARCHIVE_OK) << archive_error_string(a);
    if (!m.data.empty()) archive_write_data(a, m.data.data(), m.data.size());
    archive_entry_free(e);
  }
  archive_write_close(a);
  archive_write_free(a);
  return out;
}

// `data` as one gzip member of its own (level 0 keeps the content readable in it).
std::string gzip(const std::string& data, int level = 6) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/keelbox-extract-XXXXXX";
    root_ = mkdtemp(tmpl);
    // The package folder sits two levels down so that escapes have room to land.
    dest_ = root_ / "downloads" / "pkg";
    fs::create_directories(root_ / "downloads");
    old_umask_ = ::umask(022);
  }
  void TearDown() override {
    ::umask(old_umask_);
    fs::remove_all(root_);
  }

  // Everything under the test root that is outside the package folder.
  std::vector<std::string> outside_entries() const {
    std::vector<std::string> found;
    for (auto it = fs::recursive_directory_iterator(root_);
         it != fs::recursive_directory_iterator(); ++it) {
      const fs::path& p = it->path();
      if (p == root_ / "downloads" || p == dest_) continue;
      auto rel = p.lexically_relative(dest_);
      if (!rel.empty() && *rel.begin() != "..") {
        if (it->is_symlink()) it.disable_recursion_pending();
        continue;
      }
      found.push_back(p.lexically_relative(root_).string());
    }
    return found;
  }

  fs::path root_, dest_;
  mode_t old_umask_ = 0;
};

struct RefusedCase {
  const char* label;
  std::vector<Member> members;
  const char* refused;  // the member the error names
};

std::vector<RefusedCase> refused_cases() {
  return {
      {"parent name", {file("../x")}, "../x"},
      {"parent inside the name", {dir("a"), file("a/../../x")}, "a/../../x"},
      {"absolute symlink", {symlink("passwd", "/etc/passwd")}, "passwd"},
      {"escaping symlink", {symlink("up", "../..")}, "up"},
      // Each link on the way is harmless alone; followed together they lead out,
      // though the names read as if they stayed inside.
      {"symlink through a chain of links",
       {dir("d"), symlink("d/up", ".."), symlink("d/up/esc", "../x")},
       "d/up/esc"},
      {"file through a chain of links",
       {dir("d/e"), symlink("d/up", ".."), symlink("d/e/l", "../up"), file("d/e/l/../x")},
       "d/e/l/../x"},
      {"hard link outside", {hardlink("h", "../victim")}, "h"},
      {"absolute hard link", {hardlink("h", "/etc/passwd")}, "h"},
      {"climb out of a folder reached through a link to itself",
       {symlink("a", "."), file("a/a/../x")},
       "a/a/../x"},
      {"symlink placed through a link, climbing from where it really lies",
       {symlink("l", "."), symlink("l/m", "../x")},
       "l/m"},
      {"symlink target that normalises to a climb", {symlink("n", "a/../..")}, "n"},
      {"symlink target with doubled slash", {symlink("n", "//etc/passwd")}, "n"},
      {"folder replaced by a link out", {dir("d"), symlink("d", "..")}, "d"},
      {"hard link climbing through a link",
       {dir("s"), symlink("l", "s"), hardlink("h", "l/../../victim")},
       "h"},
      {"hard link to the folder itself", {hardlink("h", ".")}, "h"},
      {"file in place of the folder itself", {file(".")}, "."},
      {"file in place of the folder itself, by climbing", {dir("a"), file("a/..")}, "a/.."},
      {"link loop", {symlink("l1", "l2"), symlink("l2", "l1"), file("l1/x")}, "l1/x"},
      {"fifo", {special("pipe", AE_IFIFO)}, "pipe"},
      {"character device", {special("null", AE_IFCHR)}, "null"},
      {"block device", {special("disk", AE_IFBLK)}, "disk"},
  };
}

TEST_F(ExtractTest, RefusedMembersEndTheRunAndWriteNothingOutside) {
  for (const RefusedCase& c : refused_cases()) {
    SCOPED_TRACE(c.label);
    fs::create_directories(root_);
    std::ofstream(root_ / "victim") << "keep";
    try {
      extract_tar_gz(tar_gz(c.members), dest_);
      ADD_FAILURE() << "not refused";
    } catch (const ExtractionError& e) {
      EXPECT_NE(std::string(e.what()).find("'" + std::string(c.refused) + "'"), std::string::npos)
          << e.what();
    }
    fs::remove(root_ / "victim");
    EXPECT_EQ(outside_entries(), std::vector<std::string>{});
    fs::remove_all(dest_);
  }
}

// A link's target is judged as the system resolves it from the link's
// folder: a link on the way is followed before a ".." after it applies. The
// normalised text (what is stored) must stay inside as well.
TEST_F(ExtractTest, LinkTargetsAreJudgedAsTheSystemResolvesThem) {
  struct Case {
    const char* label;
    std::vector<Member> members;
    const char* refused;  // "" when accepted
    const char* link;     // the link written, when accepted
    const char* stored;
  };
  const std::vector<Case> cases = {
      {"climb after a link to the folder itself",
       {symlink("here", "."), symlink("e", "here/../escape")},
       "e",
       "",
       ""},
      {"climb after a link up from a subfolder",
       {dir("a"), symlink("a/up", ".."), symlink("a/e", "up/../x")},
       "a/e",
       "",
       ""},
      {"climb after a link to a deep folder, then out",
       {dir("x/y"), symlink("d", "x/y"), symlink("e", "d/../../../outside")},
       "e",
       "",
       ""},
      {"stays inside only as the system reads it",
       {dir("x/y"), symlink("d", "x/y"), symlink("e", "d/../..")},
       "e",
       "",
       ""},
      {"climb after a link to a deep folder, staying inside",
       {dir("x/y"), symlink("d", "x/y"), symlink("e", "d/../z")},
       "",
       "e",
       "z"},
      {"a link to a link", {dir("x"), symlink("d", "x"), symlink("e", "./d/")}, "", "e", "d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    try {
      extract_tar_gz(tar_gz(c.members), dest_);
      EXPECT_STREQ(c.refused, "") << "accepted";
      EXPECT_EQ(fs::read_symlink(dest_ / c.link).string(), c.stored);
    } catch (const ExtractionError& e) {
      EXPECT_NE(std::string(e.what()).find("'" + std::string(c.refused) + "'"), std::string::npos)
          << e.what();
      EXPECT_NE(std::string(e.what()).find("leads outside"), std::string::npos) << e.what();
    }
    EXPECT_EQ(outside_entries(), std::vector<std::string>{});
    fs::remove_all(dest_);
  }
}

TEST_F(ExtractTest, ErrorsSayWhatIsInTheWay) {
  const std::string long_name(300, 'n');
  struct Case {
    const char* label;
    std::vector<Member> members;
    fs::path destination;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"a file where a folder must go",
       {file("sub"), file("sub/x")},
       dest_,
       "Could not extract archive member 'sub/x': 'sub' is a file where a folder must go"},
      {"a file deeper up",
       {dir("a"), file("a/b"), file("a/b/c/d")},
       dest_,
       "'a/b' is a file where a folder must go"},
      {"a name too long in a member",
       {file("ok/" + long_name + "/x")},
       dest_,
       "a name in its path is 300 bytes long, more than the 255 the system allows"},
      {"a destination name too long",
       {file("x")},
       dest_.parent_path() / long_name,
       "the folder name '" + long_name + "' is 300 bytes long"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    try {
      extract_tar_gz(tar_gz(c.members), c.destination);
      ADD_FAILURE() << "accepted";
    } catch (const ExtractionError& e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
    }
    fs::remove_all(dest_);
  }
}

TEST_F(ExtractTest, FileThroughASymlinkPlantedOnDiskIsRefused) {
  fs::create_directories(dest_);
  fs::create_directories(root_ / "elsewhere");
  fs::create_directory_symlink(root_ / "elsewhere", dest_ / "evil");
  EXPECT_THROW(extract_tar_gz(tar_gz({file("evil/x")}), dest_), ExtractionError);
  EXPECT_FALSE(fs::exists(root_ / "elsewhere" / "x"));
}

TEST_F(ExtractTest, AcceptedNamesAndLinksLandInsideThePackageFolder) {
  extract_tar_gz(
      tar_gz({file("/etc/x", "abs"), file("./top.txt", "top"), dir("real"), symlink("docs", "real"),
              file("docs/readme.txt", "through"), symlink("norm", "real/./sub/../readme.txt"),
              hardlink("hl", "top.txt"), dir("/")}),
      dest_);
  EXPECT_EQ(read_file(dest_ / "etc" / "x"), "abs");
  EXPECT_EQ(read_file(dest_ / "top.txt"), "top");
  // A link to a folder inside may be written through.
  EXPECT_TRUE(fs::is_symlink(dest_ / "docs"));
  EXPECT_EQ(read_file(dest_ / "real" / "readme.txt"), "through");
  EXPECT_EQ(fs::read_symlink(dest_ / "norm"), "real/readme.txt");
  EXPECT_EQ(read_file(dest_ / "hl"), "top");
  EXPECT_EQ(fs::hard_link_count(dest_ / "top.txt"), 2u);
  EXPECT_EQ(outside_entries(), std::vector<std::string>{});
}

TEST_F(ExtractTest, ModesAreTamed) {
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

TEST_F(ExtractTest, OwnerIsNeverApplied) {
  Member m = file("owned", "x");
  m.uid = 4321;
  extract_tar_gz(tar_gz({m}), dest_);
  struct stat st {};
  ASSERT_EQ(::lstat((dest_ / "owned").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_gid, ::getegid());
}

TEST_F(ExtractTest, LaterMemberOfTheSameNameWins) {
  fs::create_directories(dest_);
  std::ofstream(dest_ / "untouched") << "old";
  std::ofstream(dest_ / "f") << "from an earlier run";
  Member hard = hardlink("hard", "target");
  hard.perm = 04777;  // a hard link's mode is tamed like a file's, and is the target's
  extract_tar_gz(
      tar_gz({file("f", "one"), file("f", "two"), file("target", "t"), symlink("l", "target"),
              file("l", "replaces the link"), file("fd", "file first"), dir("fd"),
              file("fd/in", "then a folder"), dir("real"), symlink("s", "real"), dir("s"),
              file("s/in", "own folder"), hard}),
      dest_);
  EXPECT_EQ(read_file(dest_ / "fd" / "in"), "then a folder");
  EXPECT_FALSE(fs::is_symlink(dest_ / "s"));
  EXPECT_EQ(read_file(dest_ / "s" / "in"), "own folder");
  EXPECT_TRUE(fs::is_empty(dest_ / "real"));
  EXPECT_EQ(fs::status(dest_ / "target").permissions(), static_cast<fs::perms>(0755));
  EXPECT_EQ(read_file(dest_ / "f"), "two");
  EXPECT_FALSE(fs::is_symlink(dest_ / "l"));
  EXPECT_EQ(read_file(dest_ / "l"), "replaces the link");
  EXPECT_EQ(read_file(dest_ / "target"), "t");
  EXPECT_EQ(read_file(dest_ / "untouched"), "old");
}

TEST_F(ExtractTest, MembersBeforeARefusedOneStay) {
  EXPECT_THROW(
      extract_tar_gz(tar_gz({dir("a"), file("a/ok.txt", "ok"), file("../bad"), file("after.txt")}),
                     dest_),
      ExtractionError);
  EXPECT_EQ(read_file(dest_ / "a" / "ok.txt"), "ok");
  EXPECT_FALSE(fs::exists(dest_ / "after.txt"));
}

TEST_F(ExtractTest, EmptyArchiveCreatesNoFolderAndARefusedFirstMemberNeither) {
  extract_tar_gz(tar_gz({}), dest_);
  EXPECT_FALSE(fs::exists(dest_));
  EXPECT_THROW(extract_tar_gz(tar_gz({file("../x")}), dest_), ExtractionError);
  EXPECT_FALSE(fs::exists(dest_));
  // An archive of the folder alone ("tar -C dir -czf a.tar.gz ." of an empty dir).
  extract_tar_gz(tar_gz({dir("./")}), dest_);
  EXPECT_TRUE(fs::is_directory(dest_));
  EXPECT_TRUE(fs::is_empty(dest_));
}

TEST_F(ExtractTest, DamagedArchivesAreErrors) {
  std::string good = tar_gz({file("a.txt", std::string(5000, 'a')), file("b.txt", "b")});
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"not an archive", "this is not a tar.gz file at all, just some words"},
      {"truncated", good.substr(0, good.size() / 2)},
      {"empty", ""},
      {"not compressed", tar_gz({file("a.txt")}, 0)},
      {"compressed twice", tar_gz({file("a.txt")}, 2)},
  };
  for (const auto& [label, data] : cases) {
    SCOPED_TRACE(label);
    EXPECT_THROW(extract_tar_gz(data, dest_), ExtractionError);
    EXPECT_FALSE(fs::exists(dest_ / "a.txt"));
  }
}

TEST_F(ExtractTest, DamagedCompressedStreamsAreRefusedWithTheReason) {
  const std::string tar = tar_gz({file("a.txt", "the original content"), file("b.txt", "b")}, 0);
  const std::string good = gzip(tar);
  std::string byte_changed = gzip(tar, 0);  // stored: the content stands in the stream as it is
  byte_changed[byte_changed.find("original")] = 'O';
  std::string crc_changed = good;
  crc_changed[crc_changed.size() - 8] ^= 1;
  std::string length_changed = good;
  length_changed[length_changed.size() - 1] ^= 1;
  struct Case {
    const char* label;
    std::string data;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"one content byte changed", byte_changed, "CRC-32"},
      {"checksum changed", crc_changed, "CRC-32"},
      {"length changed", length_changed, "length"},
      {"trailer cut off", good.substr(0, good.size() - 4), "end early"},
      {"cut in the middle", good.substr(0, good.size() / 2), "end early"},
      {"trailing garbage", good + "garbage", "after the end"},
      {"empty", "", "empty"},
      {"plain tar", tar, "not gzip"},
      {"gzip of something else", gzip("just some words, not a tar archive"), "Unrecognized"},
      {"compressed twice", gzip(good), "Unrecognized"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    try {
      extract_tar_gz(c.data, dest_);
      ADD_FAILURE() << "accepted";
    } catch (const ExtractionError& e) {
      const std::string text = e.what();
      EXPECT_EQ(text.rfind("Damaged archive: ", 0), 0u) << text;
      EXPECT_NE(text.find(c.reason), std::string::npos) << text;
      EXPECT_EQ(text.find("unknown error"), std::string::npos) << text;
    }
    fs::remove_all(dest_);
  }
}

TEST_F(ExtractTest, ConcatenatedGzipMembersAndZeroPaddingAreOneArchive) {
  const std::string tar = tar_gz({file("a.txt", std::string(3000, 'a')), file("b.txt", "b")}, 0);
  extract_tar_gz(gzip(tar.substr(0, 1000)) + gzip(tar.substr(1000)) + std::string(512, '\0'),
                 dest_);
  EXPECT_EQ(read_file(dest_ / "a.txt"), std::string(3000, 'a'));
  EXPECT_EQ(read_file(dest_ / "b.txt"), "b");
}

// A member of `logical` bytes whose only data are its last four bytes.
std::string sparse_tar_gz(std::int64_t logical) {
  std::string out;
  archive* a = archive_write_new();
  archive_write_add_filter_gzip(a);
  archive_write_set_format_pax_restricted(a);
  archive_write_open(a, &out, nullptr, append, nullptr);
  archive_entry* e = archive_entry_new();
  archive_entry_set_pathname(e, "sparse");
  archive_entry_set_filetype(e, AE_IFREG);
  archive_entry_set_perm(e, 0644);
  archive_entry_set_size(e, logical);
  archive_entry_sparse_add_entry(e, logical - 4, 4);
  EXPECT_EQ(archive_write_header(a, e), ARCHIVE_OK) << archive_error_string(a);
  archive_write_data(a, "tail", 4);
  archive_entry_free(e);
  archive_write_close(a);
  archive_write_free(a);
  return out;
}

TEST_F(ExtractTest, LimitsRefuseTheMemberThatWouldPassThemAndKeepThoseBefore) {
  struct Case {
    const char* label;
    std::string archive;
    ExtractionLimits limits;
    const char* refused;  // "" when the archive is within the limits
    const char* limit;
    std::vector<const char*> kept;
  };
  const std::string k6(6000, 'k');
  const std::vector<Case> cases = {
      {"bytes",
       tar_gz({file("a", k6), file("b", k6), file("c", "c")}),
       {10000, 100},
       "b",
       "limit of 10000 bytes",
       {"a"}},
      {"bytes exactly at the limit",
       tar_gz({file("a", k6), file("b", k6)}),
       {12000, 100},
       "",
       "",
       {"a", "b"}},
      {"sparse member at its full size",
       sparse_tar_gz(std::int64_t{1} << 40),
       {1 << 20, 100},
       "sparse",
       "limit of 1048576 bytes",
       {}},
      {"sparse member within", sparse_tar_gz(1 << 16), {1 << 20, 100}, "", "", {"sparse"}},
      {"members",
       tar_gz({dir("d"), file("d/a"), symlink("l", "d"), file("b")}),
       {1000, 3},
       "b",
       "limit of 3",
       {"d/a", "l"}},
      // Damage: nothing of the archive is put in place.
      {"padding after the end beyond the byte limit",
       gzip(tar_gz({file("a", "a")}, 0) + std::string(1 << 16, '\0')),
       {1000, 100},
       "",
       "limit of 1000 bytes",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    try {
      extract_tar_gz(c.archive, dest_, c.limits);
      EXPECT_STREQ(c.limit, "") << "no limit reached";
    } catch (const ExtractionError& e) {
      const std::string text = e.what();
      if (*c.refused) {
        EXPECT_NE(text.find("'" + std::string(c.refused) + "'"), std::string::npos) << text;
      }
      EXPECT_NE(text.find(c.limit), std::string::npos) << text;
      EXPECT_NE(*c.limit, '\0') << text;
    }
    for (const char* kept : c.kept) EXPECT_TRUE(fs::exists(dest_ / kept)) << kept;
    if (*c.refused) {
      EXPECT_FALSE(fs::exists(dest_ / c.refused));
    }
    fs::remove_all(dest_);
  }
}

TEST(DefaultExtractionLimits, TwentyTimesTheArchiveOrFourGibibytes) {
  EXPECT_EQ(keelbox::default_extraction_limits(1000).max_bytes, std::uint64_t{4} << 30);
  EXPECT_EQ(keelbox::default_extraction_limits(std::size_t{1} << 30).max_bytes,
            std::uint64_t{20} << 30);
  EXPECT_EQ(keelbox::default_extraction_limits(0).max_members, 1'000'000u);
}

// The folder's files (relative name -> content), folders and links left out.
std::map<std::string, std::string> files_in(const fs::path& folder) {
  std::map<std::string, std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file() && !entry.is_symlink()) {
      found[entry.path().lexically_relative(folder).string()] = read_file(entry.path());
    }
  }
  return found;
}

std::vector<std::string> leftovers(const fs::path& parent) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(parent)) {
    if (entry.path().filename().string().rfind(".keelbox-unpack-", 0) == 0) {
      found.push_back(entry.path().filename().string());
    }
  }
  return found;
}

// The archive read from an open file, in pieces: gzip members, zero padding
// and damage met across the pieces' boundaries read as they do in memory.
TEST_F(ExtractTest, AnArchiveInAFileReadsAsInMemory) {
  std::mt19937 random(7);
  std::string noise(150000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  const std::string tar = tar_gz({file("a.bin", noise), file("b.txt", "b")}, 0);
  // A first gzip member 65535 bytes long: the next one's magic bytes fall on
  // both sides of a 64 KiB piece.
  std::size_t cut = 65512;
  while (gzip(tar.substr(0, cut), 0).size() > 65535) --cut;
  while (gzip(tar.substr(0, cut), 0).size() < 65535) ++cut;
  const std::string first = gzip(tar.substr(0, cut), 0);
  ASSERT_EQ(first.size(), 65535u);
  const std::string two_members = first + gzip(tar.substr(cut), 0);
  struct Case {
    const char* label;
    std::string data;
    const char* error;  // "" when it unpacks
  };
  const std::vector<Case> cases = {
      {"members across a piece boundary, long zero padding",
       two_members + std::string(200000, '\0'), ""},
      {"garbage after long zero padding", two_members + std::string(200000, '\0') + "x",
       "data after the end of the compressed stream (200001 bytes)"},
      {"cut off after the first piece", two_members.substr(0, 70000), "end early"},
      {"empty", "", "the archive is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    char name[] = "/tmp/keelbox-archive-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::unlink(name);
    ASSERT_EQ(::write(fd, c.data.data(), c.data.size()), static_cast<ssize_t>(c.data.size()));
    for (const bool from_file : {false, true}) {
      SCOPED_TRACE(from_file ? "from a file" : "from memory");
      std::string error;
      try {
        if (from_file) {
          extract_tar_gz(fd, dest_);
        } else {
          extract_tar_gz(c.data, dest_);
        }
      } catch (const ExtractionError& e) {
        error = e.what();
      }
      if (*c.error == '\0') {
        EXPECT_EQ(error, "");
        EXPECT_EQ(files_in(dest_),
                  (std::map<std::string, std::string>{{"a.bin", noise}, {"b.txt", "b"}}));
      } else {
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_FALSE(fs::exists(dest_));
      }
      fs::remove_all(dest_);
    }
    ::close(fd);
  }
}

TEST_F(ExtractTest, AFailedExtractionLeavesThePreviousFolderAsItWas) {
  std::string damaged = gzip(tar_gz({file("f", "new"), file("g", "new")}, 0));
  damaged[damaged.size() - 8] ^= 1;
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"damaged after its members", damaged},
      {"cut off", gzip(tar_gz({file("f", std::string(100000, 'n'))}, 0), 0).substr(0, 50000)},
  };
  for (const auto& [label, data] : cases) {
    SCOPED_TRACE(label);
    fs::create_directories(dest_ / "sub");
    std::ofstream(dest_ / "f") << "old";
    std::ofstream(dest_ / "sub" / "mine") << "mine";
    EXPECT_THROW(extract_tar_gz(data, dest_), ExtractionError);
    EXPECT_EQ(files_in(dest_),
              (std::map<std::string, std::string>{{"f", "old"}, {"sub/mine", "mine"}}));
    EXPECT_EQ(leftovers(root_ / "downloads"), std::vector<std::string>{});
    fs::remove_all(dest_);
  }
}

TEST_F(ExtractTest, ARefusedMemberPutsThoseBeforeItInPlaceWithTheOldFiles) {
  fs::create_directories(dest_);
  std::ofstream(dest_ / "f") << "old";
  std::ofstream(dest_ / "mine") << "mine";
  EXPECT_THROW(extract_tar_gz(tar_gz({file("f", "new"), file("../bad"), file("g")}), dest_),
               ExtractionError);
  EXPECT_EQ(files_in(dest_), (std::map<std::string, std::string>{{"f", "new"}, {"mine", "mine"}}));
  EXPECT_EQ(leftovers(root_ / "downloads"), std::vector<std::string>{});
}

TEST_F(ExtractTest, ThePreviousContentsAreKeptAsTheyWere) {
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

TEST_F(ExtractTest, LeftoversOfAnEndedRunAreRemoved) {
  fs::create_directories(root_ / "downloads" / ".keelbox-unpack-0badf00d" / "half");
  std::ofstream(root_ / "downloads" / ".keelbox-unpack-0badf00d" / "half" / "x") << "x";
  extract_tar_gz(tar_gz({file("a", "a")}), dest_);
  EXPECT_EQ(leftovers(root_ / "downloads"), std::vector<std::string>{});
  EXPECT_EQ(files_in(dest_), (std::map<std::string, std::string>{{"a", "a"}}));
}

// Runs into one folder at once: each succeeds, and the folder is always the
// whole of one archive, never a mix.
TEST_F(ExtractTest, RunsIntoOneFolderAtOnceLeaveOneWholeArchive) {
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

TEST_F(ExtractTest, WorkingFolderIsRestored) {
  const fs::path before = fs::current_path();
  extract_tar_gz(tar_gz({file("a")}), dest_);
  EXPECT_THROW(extract_tar_gz(tar_gz({file("b"), file("../c")}), dest_), ExtractionError);
  EXPECT_EQ(fs::current_path(), before);
}

// Below PATH_MAX a name can be looked up; deeper, a link on the way could not
// be seen, so such members are refused rather than taken as plain names.
TEST_F(ExtractTest, PathsTooLongToCheckAreRefused) {
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
class FullDiskTest : public ExtractTest {
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
    ExtractTest::TearDown();
  }
  fs::path mounted_;
};

TEST_F(FullDiskTest, WriteErrorsEndTheRunWithTheMemberAndTheSystemsReason) {
  std::vector<Member> many;
  for (int i = 0; i < 40; ++i) many.push_back(file("f" + std::to_string(i)));
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
TEST_F(ExtractTest, UnpacksAsTheReferenceExtractionDoes) {
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

TEST(NormalizeLinkTarget, Table) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"a/./b/../c", "a/c"}, {"../x", "../x"}, {"a/../../x", "../x"},
      {"a//b/", "a/b"},      {"", "."},        {"./", "."},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(keelbox::normalize_link_target(in), out) << in;
}

}  // namespace

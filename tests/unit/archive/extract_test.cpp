// Safe unpacking on every system: archives are built in memory with
// libarchive's writer and unpacked into a fresh folder; refused members must
// leave nothing outside. Where Windows legitimately differs (its names, its
// units of a name's length, links), the expectations say so.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "extract_fixture.hpp"
#include "keelbox/archive/extract.hpp"
#include "keelbox/archive/stream.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/files.hpp"
#include "keelbox/platform/filesystem.hpp"
#include "keelbox/platform/io.hpp"

namespace keelbox::testing::extract {
namespace {

using keelbox::ArchiveStream;
using keelbox::extract_tar_gz;
using keelbox::ExtractionError;
using keelbox::ExtractionLimits;
using keelbox::NameWatch;

// Whether the system makes symbolic links for this user: always on POSIX
// systems; on Windows only with the right to (or in developer mode), and
// never under wine, which reports success and makes none.
bool makes_links() {
  static const bool makes = [] {
    if (!runs_on_windows()) return true;
    const fs::path probe = make_temp_dir("keelbox-links");
    bool made = true;
    try {
      extract_tar_gz(tar_gz({dir("x"), symlink("l", "x")}), probe / "p");
    } catch (const ExtractionError&) {
      made = false;
    }
    std::error_code ec;
    fs::remove_all(probe, ec);
    return made;
  }();
  return makes;
}

// A run that met a link the system cannot make ended there, with the
// system's reason (the members after it unjudged).
bool link_not_made(const std::string& error) {
  return !makes_links() && error.find("Can't create the symbolic link") != std::string::npos;
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
      if (!link_not_made(e.what())) {
        EXPECT_NE(std::string(e.what()).find("'" + std::string(c.refused) + "'"), std::string::npos)
            << e.what();
      }
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
      if (runs_on_windows()) {  // std::filesystem reads no links there
        EXPECT_TRUE(is_link(dest_ / c.link));
      } else {
        EXPECT_EQ(fs::read_symlink(dest_ / c.link).string(), c.stored);
      }
    } catch (const ExtractionError& e) {
      if (!link_not_made(e.what())) {
        EXPECT_NE(std::string(e.what()).find("'" + std::string(c.refused) + "'"), std::string::npos)
            << e.what();
        EXPECT_NE(std::string(e.what()).find("leads outside"), std::string::npos) << e.what();
      }
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
       std::string("a name in its path is 300") + (runs_on_windows() ? " UTF-16 units" : " bytes") +
           " long, more than the 255 the system allows"},
      {"a destination name too long",
       {file("x")},
       dest_.parent_path() / long_name,
       "the folder name '" + long_name + "' is 300" +
           (runs_on_windows() ? " UTF-16 units" : " bytes") + " long"},
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

TEST_F(ExtractTest, AcceptedNamesAndLinksLandInsideThePackageFolder) {
  // A link to a folder inside may be written through (where links are made).
  const std::vector<Member> readme =
      makes_links()
          ? std::vector<Member>{symlink("docs", "real"), file("docs/readme.txt", "through")}
          : std::vector<Member>{file("real/readme.txt", "through")};
  std::vector<Member> members{file("/etc/x", "abs"), file("./top.txt", "top"), dir("real")};
  members.insert(members.end(), readme.begin(), readme.end());
  for (const Member& m :
       {symlink("norm", "real/./sub/../readme.txt"), hardlink("hl", "top.txt"), dir("/")}) {
    members.push_back(m);
  }
  extract_tar_gz(tar_gz(members), dest_);
  EXPECT_EQ(read_file(dest_ / "etc" / "x"), "abs");
  EXPECT_EQ(read_file(dest_ / "top.txt"), "top");
  if (makes_links()) {
    EXPECT_TRUE(is_link(dest_ / "docs"));
  }
  EXPECT_EQ(read_file(dest_ / "real" / "readme.txt"), "through");
  EXPECT_EQ(read_file(dest_ / "norm"), "through");
  if (!runs_on_windows()) {  // std::filesystem reads no links there
    EXPECT_EQ(fs::read_symlink(dest_ / "norm"), "real/readme.txt");
  }
  EXPECT_EQ(read_file(dest_ / "hl"), "top");
  std::ofstream(dest_ / "top.txt", std::ios::app) << "+";  // one file of two names
  EXPECT_EQ(read_file(dest_ / "hl"), "top+");
  EXPECT_EQ(outside_entries(), std::vector<std::string>{});
}

TEST_F(ExtractTest, LaterMemberOfTheSameNameWins) {
  fs::create_directories(dest_);
  std::ofstream(dest_ / "untouched") << "old";
  std::ofstream(dest_ / "f") << "from an earlier run";
  Member hard = hardlink("hard", "target");
  hard.perm = 04777;  // a hard link's mode is tamed like a file's, and is the target's
  std::vector<Member> members{file("f", "one"),
                              file("f", "two"),
                              file("target", "t"),
                              symlink("l", "target"),
                              file("l", "replaces the link"),
                              file("fd", "file first"),
                              dir("fd"),
                              file("fd/in", "then a folder")};
  // A folder in place of a link to a folder (where links are made).
  if (makes_links()) {
    for (const Member& m :
         {dir("real"), symlink("s", "real"), dir("s"), file("s/in", "own folder")})
      members.push_back(m);
  }
  members.push_back(hard);
  extract_tar_gz(tar_gz(members), dest_);
  EXPECT_EQ(read_file(dest_ / "fd" / "in"), "then a folder");
  if (makes_links()) {
    EXPECT_FALSE(is_link(dest_ / "s"));
    EXPECT_EQ(read_file(dest_ / "s" / "in"), "own folder");
    EXPECT_TRUE(fs::is_empty(dest_ / "real"));
  }
  if (!runs_on_windows()) {  // Windows files have no modes
    EXPECT_EQ(fs::status(dest_ / "target").permissions(), static_cast<fs::perms>(0755));
  }
  EXPECT_EQ(read_file(dest_ / "f"), "two");
  EXPECT_FALSE(is_link(dest_ / "l"));
  EXPECT_EQ(read_file(dest_ / "l"), "replaces the link");
  EXPECT_EQ(read_file(dest_ / "target"), "t");
  EXPECT_EQ(read_file(dest_ / "untouched"), "old");
}

// A hard link names a file this archive wrote before it and nothing else:
// the member's mode is given to what it names, and the previous contents are
// hard links to the user's own files. A refused one keeps those before it.
TEST_F(ExtractTest, AHardLinkNamesOnlyAFileThisArchiveWrote) {
  const std::string not_written = " is not a file unpacked from this archive";
  struct Case {
    const char* label;
    std::vector<Member> members;
    std::string refusal;  // empty: unpacked, "h" the same file as "f"
    bool needs_links;
  };
  const std::vector<Case> cases = {
      {"a file written before it", {file("f", "new"), hardlink("h", "f")}, "", false},
      {"a hard link written before it",
       {file("f", "new"), hardlink("g", "f"), hardlink("h", "g")},
       "",
       false},
      {"a file written before it, through a link",
       {file("f", "new"), symlink("l", "."), hardlink("h", "l/f")},
       "",
       true},
      {"a file of the previous contents",
       {file("f", "new"), hardlink("h", "old")},
       "link target old" + not_written,
       false},
      {"a link to a file of the previous contents",
       {file("f", "new"), symlink("l", "old"), hardlink("h", "l")},
       "link target l" + not_written,
       true},
      {"a folder",
       {file("f", "new"), dir("d"), hardlink("h", "d")},
       "link target d" + not_written,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.needs_links && !makes_links()) continue;
    fs::create_directories(dest_);
    std::ofstream(dest_ / "old") << "old";
    std::string error;
    try {
      extract_tar_gz(tar_gz(c.members), dest_);
    } catch (const ExtractionError& e) {
      error = e.what();
    }
    EXPECT_EQ(read_file(dest_ / "old"), "old");
    EXPECT_EQ(read_file(dest_ / "f"), "new");
    if (c.refusal.empty()) {
      EXPECT_EQ(error, "");
      std::ofstream(dest_ / "h", std::ios::app) << "+";  // one file of two names
      EXPECT_EQ(read_file(dest_ / "f"), "new+");
    } else {
      EXPECT_EQ(error, "Refused archive member 'h': " + c.refusal);
      EXPECT_FALSE(fs::exists(dest_ / "h"));
    }
    fs::remove_all(dest_);
  }
}

// A hard link to "c/escape" after "c" was re-pointed to a folder without it:
// the only "c/escape" of the archive is a link leading out from where
// "boom" would be. Nothing stands at the target: the member is refused, and
// the members before it stay as for any refusal.
TEST_F(ExtractTest, AHardLinkToAMemberNotOnDiskIsRefused) {
  if (!makes_links()) GTEST_SKIP() << "the system makes no symbolic links for this user";
  fs::create_directories(dest_);
  std::ofstream(dest_ / "old") << "old";
  std::string error;
  try {
    extract_tar_gz(tar_gz({file("a/t/dummy", "d"), dir("b/"), symlink("c", "a/t"),
                           symlink("c/escape", "../../link_here"), symlink("c", "b"),
                           hardlink("boom", "c/escape")}),
                   dest_);
  } catch (const ExtractionError& e) {
    error = e.what();
  }
  EXPECT_EQ(error, "Refused archive member 'boom': link target c/escape does not exist");
  EXPECT_EQ(files_in(dest_),
            (std::map<std::string, std::string>{{"a/t/dummy", "d"}, {"old", "old"}}));
  EXPECT_TRUE(is_link(dest_ / "c"));
  EXPECT_TRUE(is_link(dest_ / "a" / "t" / "escape"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dest_ / "boom")));
  EXPECT_EQ(outside_entries(), std::vector<std::string>{});
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

// A watch learns where the members of its name went in a folder unpacked
// anew, by their physical place, and nothing of a folder whose previous
// contents were kept or that a failure left as it was.
TEST_F(ExtractTest, AWatchNotesWherePlacesOfItsNameWentInAFolderUnpackedAnew) {
  using Places = std::optional<std::vector<std::string>>;
  extract_tar_gz(tar_gz({file("req")}), root_ / "before");  // before the watch: not noted
  NameWatch watch("req");
  NameWatch other("other");
  EXPECT_EQ(watch.places(root_ / "before"), Places());
  std::vector<Member> members{file("req"), dir("a"),           file("a/req"), file("a/req.bak"),
                              dir("a/b"),  file("a/x/../req"), dir("b/req"),  file("b/req/in")};
  std::vector<std::string> expected{"req", "a/req", "a/req", "b/req"};
  if (makes_links()) {  // a link on the way: the place it leads to
    members.insert(members.end(), {symlink("l", "a/b"), file("l/req")});
    expected.push_back("a/b/req");
  }
  extract_tar_gz(tar_gz(members), dest_);
  EXPECT_EQ(watch.places(dest_), Places(expected));
  EXPECT_EQ(other.places(dest_), Places(std::vector<std::string>{}));

  // Over the folder now there: what is kept is noted too where it is seen
  // kept; on Windows the previous contents are copied unseen, so nothing is
  // certain there.
  extract_tar_gz(tar_gz({file("c/req")}), dest_);
  Places over = watch.places(dest_);
  if (runs_on_windows()) {
    EXPECT_EQ(over, Places());
  } else {
    ASSERT_TRUE(over.has_value());
    std::sort(over->begin(), over->end());
    std::vector<std::string> kept{"a/req", "b/req", "c/req", "req"};
    if (makes_links()) kept.insert(kept.begin(), "a/b/req");
    EXPECT_EQ(*over, kept);
  }

  // A refused member: the members before it are in place, and noted.
  const fs::path refused = root_ / "refused";
  EXPECT_THROW(extract_tar_gz(tar_gz({file("d/req"), file("../req"), file("e/req")}), refused),
               ExtractionError);
  EXPECT_EQ(watch.places(refused), Places(std::vector<std::string>{"d/req"}));
  // A damaged archive leaves no folder, and no notes.
  std::string damaged = gzip(tar_gz({file("req", "new")}, 0));
  damaged[damaged.size() - 8] ^= 1;
  const fs::path failed = root_ / "failed";
  EXPECT_THROW(extract_tar_gz(damaged, failed), ExtractionError);
  EXPECT_EQ(watch.places(failed), Places());
}

// Where the system makes no symbolic links for this user, a link to a file
// already unpacked becomes a copy of it, and any other link ends the run
// with the system's reason, leaving the previous folder as it was.
TEST_F(ExtractTest, LinksTheSystemCannotMakeAreCopiesWhereTheyCanBe) {
  extract_tar_gz(tar_gz({dir("d"), file("d/f", "content"), symlink("c", "d/f")}), dest_);
  EXPECT_EQ(read_file(dest_ / "c"), "content");
  EXPECT_EQ(is_link(dest_ / "c"), makes_links());
  std::string error;
  try {
    extract_tar_gz(tar_gz({file("first", "1"), symlink("l", "d")}), dest_);
  } catch (const ExtractionError& e) {
    error = e.what();
  }
  if (makes_links()) {
    EXPECT_EQ(error, "");
    EXPECT_EQ(read_file(dest_ / "l" / "f"), "content");
  } else {
    EXPECT_NE(
        error.find("Could not extract archive member 'l': Can't create the symbolic link 'l'"),
        std::string::npos)
        << error;
    EXPECT_EQ(files_in(dest_),
              (std::map<std::string, std::string>{{"c", "content"}, {"d/f", "content"}}));
  }
  EXPECT_EQ(outside_entries(), std::vector<std::string>{});
}

// Names Windows reads as more than a name (a drive, a data stream, a device,
// a trailing dot or blank) are refused there before anything of the member is
// written, and a backslash separates names there; elsewhere all are names.
TEST_F(ExtractTest, NamesAreHeldToTheSystemsRules) {
  struct Case {
    const char* name;
    const char* windows_refusal;  // part of the reason on Windows
    const char* written;          // where it lands elsewhere
  };
  const std::vector<Case> cases = {
      {"C:/x", "names a drive", "C:/x"},   {"a/b:stream", "data stream", "a/b:stream"},
      {"con", "a device name", "con"},     {"sub/aux.txt", "a device name", "sub/aux.txt"},
      {"dot.", "dots and blanks", "dot."}, {"blank ", "dots and blanks", "blank "},
      {"back\\slash", "", "back\\slash"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    try {
      extract_tar_gz(tar_gz({file("first", "1"), file(c.name, "data")}), dest_);
    } catch (const ExtractionError& e) {
      error = e.what();
    }
    if (runs_on_windows()) {
      if (*c.windows_refusal) {
        EXPECT_NE(error.find("Refused archive member '" + std::string(c.name) + "'"),
                  std::string::npos)
            << error;
        EXPECT_NE(error.find(c.windows_refusal), std::string::npos) << error;
        EXPECT_EQ(files_in(dest_), (std::map<std::string, std::string>{{"first", "1"}}));
      } else {  // a backslash separates names there
        EXPECT_EQ(error, "");
        EXPECT_EQ(read_file(dest_ / "back" / "slash"), "data");
      }
    } else {
      EXPECT_EQ(error, "");
      EXPECT_EQ(read_file(dest_ / path_from_utf8(c.written)), "data");
    }
    EXPECT_EQ(outside_entries(), std::vector<std::string>{});
    fs::remove_all(dest_);
  }
}

// Names beyond ASCII in a PAX archive (the default of Python's tarfile and
// of "tar --format=posix", stored as UTF-8) or as UTF-8 bytes in ustar
// headers land as named whatever the system's code page: none is refused,
// mangled or taken for another, and a link's target is read the same way.
TEST_F(ExtractTest, NamesBeyondAsciiLandAsNamed) {
  for (const bool pax : {true, false}) {
    SCOPED_TRACE(pax ? "pax" : "ustar");
    const std::vector<std::string> names = {"ünïcode/файл.txt", "日本語.txt", "😀.txt",
                                            "café.txt",         "é.txt",      "è.txt"};
    std::vector<RawMember> members;
    std::map<std::string, std::string> expected;
    for (const std::string& name : names) {
      members.push_back({name, '0', "in " + name, ""});
      expected[name] = "in " + name;
    }
    members.push_back({"lien-é.txt", '1', "", "é.txt"});
    expected["lien-é.txt"] = "in é.txt";
    if (makes_links()) members.push_back({"ссылка", '2', "", "ünïcode/файл.txt"});
    extract_tar_gz(raw_tar_gz(members, pax), dest_);
    EXPECT_EQ(files_in(dest_), expected);
    if (makes_links()) {
      EXPECT_TRUE(is_link(dest_ / path_from_utf8("ссылка")));
      EXPECT_EQ(read_file(dest_ / path_from_utf8("ссылка")), "in ünïcode/файл.txt");
    }
    fs::remove_all(dest_);
  }
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

// Damage in a member whose content takes several pieces to inflate, or in a
// later member, is found as surely as in a small one; the header's own
// checksum is checked too.
TEST_F(ExtractTest, DamageInLargeAndLaterGzipMembersIsFound) {
  std::string big(300000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 3);
  const std::string tar = tar_gz({file("a.bin", big), file("b.txt", "b")}, 0);
  const std::string stored = gzip(tar, 0);
  const std::string packed = gzip(tar);
  const std::size_t cut = tar.size() / 2;
  const std::string first = gzip(tar.substr(0, cut), 0);
  const std::string second = gzip(tar.substr(cut), 0);
  auto changed = [](std::string data, std::size_t at) {
    data[at] = static_cast<char>(data[at] ^ 0x20);
    return data;
  };
  // A CRC-16 of the header (FHCRC), which gzip(1) never writes.
  gz_header header{};
  header.hcrc = 1;
  header.name = reinterpret_cast<Bytef*>(const_cast<char*>("archive.tar"));
  const std::string with_header_check = gzip(tar, 6, &header);
  struct Case {
    const char* label;
    std::string data;
    const char* reason;  // nullptr: unpacks
  };
  const std::vector<Case> cases = {
      {"stored, whole", stored, nullptr},
      {"deflated, whole", packed, nullptr},
      {"two members, whole", first + second, nullptr},
      {"header checksum, whole", with_header_check, nullptr},
      {"a byte near the end of the content", changed(stored, stored.size() - 2000), "CRC-32"},
      {"a byte of the first member's last piece", changed(first, first.size() - 100) + second,
       "CRC-32"},
      {"the second member's checksum", first + changed(second, second.size() - 6), "CRC-32"},
      {"the first member's length", changed(first, first.size() - 3) + second, "length"},
      {"the deflated member's checksum", changed(packed, packed.size() - 8), "CRC-32"},
      {"the deflated member's length", changed(packed, packed.size() - 1), "length"},
      {"the header's checksum", changed(with_header_check, 21), "header crc mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(dest_);
    try {
      extract_tar_gz(c.data, dest_);
      if (c.reason)
        ADD_FAILURE() << "accepted";
      else
        EXPECT_EQ(read_file(dest_ / "a.bin"), big);
    } catch (const ExtractionError& e) {
      if (!c.reason) {
        ADD_FAILURE() << e.what();
        continue;
      }
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
      EXPECT_FALSE(fs::exists(dest_ / "a.bin"));
    }
  }
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
       tar_gz({dir("d"), file("d/a"), symlink("l", "d/a"), file("b")}),
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

// `data` written into a stream by another thread in pieces of `piece` bytes,
// then closed, or broken off after `abort_after` bytes.
class StreamWriter {
 public:
  StreamWriter(ArchiveStream& stream, std::string data, std::size_t piece,
               std::size_t abort_after = std::string::npos)
      : thread_([&stream, data = std::move(data), piece, abort_after] {
          for (std::size_t at = 0; at < data.size() && at < abort_after; at += piece)
            stream.write(std::string_view(data).substr(at, std::min(piece, abort_after - at)));
          if (abort_after == std::string::npos) {
            stream.close();
          } else {
            stream.abort();
          }
        }) {}
  ~StreamWriter() { thread_.join(); }
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

 private:
  std::thread thread_;
};

// The archive read from an open file or from a stream as it arrives, in
// pieces: gzip members, zero padding and damage met across the pieces'
// boundaries read as they do in memory. The stream holds little in memory,
// so most of it passes through its overflow file.
TEST_F(ExtractTest, AnArchiveInAFileOrAStreamReadsAsInMemory) {
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
    const FileDescriptor archive = open_nameless_file(root_, "archive-");
    ASSERT_EQ(write_all(archive.get(), c.data), 0);
    for (const char* from : {"memory", "file", "stream"}) {
      SCOPED_TRACE(from);
      std::string error;
      try {
        if (from == std::string("file")) {
          extract_tar_gz(archive.get(), dest_);
        } else if (from == std::string("stream")) {
          ArchiveStream stream([this] { return open_nameless_file(root_, "overflow-"); }, 0, 4096);
          const StreamWriter writer(stream, c.data, 1000);
          extract_tar_gz(stream, dest_);
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

// An archive unpacked as it arrives takes the old folder's place only once
// its download is whole: a refused member waits for the end, and a download
// that breaks off then leaves the old folder as it was, as it does when it
// breaks off before.
TEST_F(ExtractTest, AStreamThatBreaksOffLeavesThePreviousFolder) {
  // Stored, not compressed: the download goes on well after the refusal.
  const std::string refused =
      gzip(tar_gz({file("f", "new"), file("../bad"), file("g", std::string(300000, 'g'))}, 0), 0);
  const std::string whole =
      gzip(tar_gz({file("f", "new"), file("g", std::string(300000, 'g'))}, 0), 0);
  struct Case {
    const char* label;
    std::string data;
    std::size_t abort_after;  // npos: the download is whole
    std::map<std::string, std::string> after;
  };
  const std::map<std::string, std::string> old = {{"f", "old"}, {"mine", "mine"}};
  const std::vector<Case> cases = {
      {"refused member, download whole",
       refused,
       std::string::npos,
       {{"f", "new"}, {"mine", "mine"}}},
      {"refused member, download broken off", refused, refused.size() - 10, old},
      {"broken off", whole, whole.size() / 2, old},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::create_directories(dest_);
    std::ofstream(dest_ / "f") << "old";
    std::ofstream(dest_ / "mine") << "mine";
    {
      ArchiveStream stream([this] { return open_nameless_file(root_, "overflow-"); }, 0, 1 << 20);
      const StreamWriter writer(stream, c.data, 8192, c.abort_after);
      try {
        extract_tar_gz(stream, dest_);
        ADD_FAILURE() << "no error";
      } catch (const ExtractionError& e) {
        EXPECT_NE(
            std::string(e.what()).find(c.abort_after == std::string::npos ? "../bad" : "broke off"),
            std::string::npos)
            << e.what();
      }
    }
    EXPECT_EQ(files_in(dest_), c.after);
    EXPECT_EQ(leftovers(root_ / "downloads"), std::vector<std::string>{});
    fs::remove_all(dest_);
  }
}

// The contents before are kept; their modes and links on POSIX systems are
// held in extract_posix_test.cpp.
TEST_F(ExtractTest, ThePreviousContentsAreKept) {
  fs::create_directories(dest_ / "notes" / "deep");
  std::ofstream(dest_ / "notes" / "deep" / "n.txt") << "note";
  std::ofstream(dest_ / "private.txt") << "p";
  extract_tar_gz(tar_gz({file("new.txt", "new")}), dest_);
  EXPECT_EQ(files_in(dest_),
            (std::map<std::string, std::string>{
                {"new.txt", "new"}, {"notes/deep/n.txt", "note"}, {"private.txt", "p"}}));
  if (!runs_on_windows()) {  // std::filesystem counts no links there
    EXPECT_EQ(fs::hard_link_count(dest_ / "private.txt"), 1u);  // the old folder is gone
  }
  EXPECT_EQ(leftovers(root_ / "downloads"), std::vector<std::string>{});
}

// What one run unpacks, the next can replace: the previous contents are kept
// by copying their folders to a depth the extraction never goes past, so the
// same archive unpacked twice ends the same way twice (and not with "Could
// not keep ...: folders nested more than 200 deep").
TEST_F(ExtractTest, FoldersNestNoDeeperThanTheNextRunCanKeep) {
  const auto deep = [](int levels) {
    std::string chain;
    for (int i = 0; i < levels; ++i) chain += "d/";
    return chain;
  };
  const std::string too_deep = "': folders nested more than 200 deep";
  struct Case {
    const char* label;
    std::vector<Member> members;
    std::string error;  // empty: unpacked
    bool needs_links;
  };
  const std::vector<Case> cases = {
      {"a file 250 folders deep",
       {file("top", "t"), file(deep(250) + "f", "f")},
       "Refused archive member '" + deep(250) + "f" + too_deep,
       false},
      {"a folder 201 deep",
       {file("top", "t"), dir(deep(201))},
       "Refused archive member '" + deep(201) + too_deep,
       false},
      {"a file in a folder 200 deep", {file(deep(200) + "f", "f")}, "", false},
      {"a folder 201 deep through a link",
       {file(deep(200) + "f", "f"), symlink("l", deep(200)), file("l/e/g", "g")},
       "Refused archive member 'l/e/g" + too_deep,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.needs_links && !makes_links()) continue;
    std::map<std::string, std::string> first;
    for (int run = 0; run < 2; ++run) {
      SCOPED_TRACE("run " + std::to_string(run + 1));
      std::string error;
      try {
        extract_tar_gz(tar_gz(c.members), dest_);
      } catch (const ExtractionError& e) {
        error = e.what();
      }
      EXPECT_EQ(error, c.error);
      // The C++ library of mingw-w64 walks no paths longer than MAX_PATH, nor
      // does the Windows staging remove the old folder's deepest names yet:
      // the trees are compared on POSIX systems.
      if (runs_on_windows()) continue;
      if (run == 0) first = files_in(dest_);
      EXPECT_EQ(files_in(dest_), first);
      EXPECT_EQ(leftovers(root_ / "downloads"), std::vector<std::string>{});
    }
    EXPECT_TRUE(runs_on_windows() || !first.empty());
    std::error_code ec;
    fs::remove_all(dest_, ec);
  }
}

TEST_F(ExtractTest, LeftoversOfAnEndedRunAreRemoved) {
  fs::create_directories(root_ / "downloads" / ".keelbox-unpack-0badf00d" / "half");
  std::ofstream(root_ / "downloads" / ".keelbox-unpack-0badf00d" / "half" / "x") << "x";
  extract_tar_gz(tar_gz({file("a", "a")}), dest_);
  EXPECT_EQ(leftovers(root_ / "downloads"), std::vector<std::string>{});
  EXPECT_EQ(files_in(dest_), (std::map<std::string, std::string>{{"a", "a"}}));
}

TEST_F(ExtractTest, WorkingFolderIsRestored) {
  const fs::path before = fs::current_path();
  extract_tar_gz(tar_gz({file("a")}), dest_);
  EXPECT_THROW(extract_tar_gz(tar_gz({file("b"), file("../c")}), dest_), ExtractionError);
  EXPECT_EQ(fs::current_path(), before);
}

TEST(NormalizeLinkTarget, Table) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"a/./b/../c", "a/c"}, {"../x", "../x"}, {"a/../../x", "../x"},
      {"a//b/", "a/b"},      {"", "."},        {"./", "."},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(keelbox::normalize_link_target(in), out) << in;
}

}  // namespace
}  // namespace keelbox::testing::extract

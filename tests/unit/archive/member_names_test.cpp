#include "keelbox/archive/member_names.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace keelbox {
namespace {

using Parts = std::vector<std::string>;

// Names taken apart by the rules of each system; "refused" is a part of the
// reason expected, empty when the name is accepted.
TEST(MemberNames, PosixAndWindowsRules) {
  struct Case {
    const char* name;
    bool windows;
    Parts parts;
    const char* refused;
  };
  const Case cases[] = {
      {"a/b/c", false, {"a", "b", "c"}, ""},
      {"/etc/x", false, {"etc", "x"}, ""},
      {"//./a//b/", false, {"a", "b"}, ""},
      {"../x", false, {"..", "x"}, ""},
      // POSIX names may hold what Windows reads as more than a name.
      {"a\\b", false, {"a\\b"}, ""},
      {"C:/x", false, {"C:", "x"}, ""},
      {"con", false, {"con"}, ""},
      {"a:b", false, {"a:b"}, ""},
      {"dot.", false, {"dot."}, ""},
      // Windows: both separators, leading ones stripped.
      {"a\\b/c", true, {"a", "b", "c"}, ""},
      {"\\\\server\\share\\x", true, {"server", "share", "x"}, ""},
      {"//server/share", true, {"server", "share"}, ""},
      {"/\\etc\\x", true, {"etc", "x"}, ""},
      {"..\\x", true, {"..", "x"}, ""},
      {"a.b.c/con.d/comma", true, {"a.b.c", "con.d", "comma"}, "device name"},
      {"console/com10/lpt10/clock", true, {"console", "com10", "lpt10", "clock"}, ""},
      // Drives, absolute or relative to the drive's folder.
      {"C:/x", true, {}, "drive"},
      {"c:x", true, {}, "drive"},
      {"/C:\\x", true, {}, "drive"},
      // Streams, devices, names Windows changes or refuses.
      {"a/file.txt:secret", true, {}, "data stream"},
      {"1:2", true, {}, "data stream"},
      {"CON", true, {}, "device name"},
      {"x/nul.txt", true, {}, "device name"},
      {"Com1", true, {}, "device name"},
      {"lpt9.tar.gz", true, {}, "device name"},
      {"AUX .txt", true, {}, "device name"},
      {"com\xC2\xB9", true, {}, "device name"},
      {"conin$", true, {}, "device name"},
      // Reserved by current Windows too.
      {"x/COM0", true, {}, "device name"},
      {"lpt0.txt", true, {}, "device name"},
      {"Clock$", true, {}, "device name"},
      {"clock$.log", true, {}, "device name"},
      {"a./b", true, {}, "dots and blanks at the end"},
      {"a/b ", true, {}, "dots and blanks at the end"},
      {"...", true, {}, "dots and blanks at the end"},
      {"what?", true, {}, "no '?'"},
      {"a*b", true, {}, "no '*'"},
      {"a<b>", true, {}, "no '<'"},
      {"a|b", true, {}, "no '|'"},
      {"q\"q", true, {}, "no '\"'"},
      {"tab\there", true, {}, "no '\\x09'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.windows ? " (Windows)" : " (POSIX)"));
    const MemberName got = split_member_name(c.name, c.windows);
    if (*c.refused) {
      EXPECT_NE(got.refusal.find(c.refused), std::string::npos) << got.refusal;
      if (std::string(c.refused) != "drive") {
        EXPECT_NE(got.refusal.find("'"), std::string::npos) << "names the part: " << got.refusal;
      }
    } else {
      EXPECT_EQ(got.refusal, "");
      EXPECT_EQ(got.parts, c.parts);
    }
  }
}

TEST(MemberNames, LinkTargets) {
  struct Case {
    const char* target;
    bool windows;
    const char* refused;
  };
  const Case cases[] = {
      {"../a/b", false, ""},
      {"/etc/passwd", false, "absolute"},
      {"a\\..\\..\\x", false, ""},
      {"C:x", false, ""},
      {"..\\a", true, ""},
      {"/etc/passwd", true, "absolute"},
      {"\\Windows", true, "absolute"},
      {"C:\\Windows", true, "absolute"},
      {"d:x", true, "absolute"},
      {"a/b:s", true, "data stream"},
      {"../NUL", true, "device name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.target) + (c.windows ? " (Windows)" : " (POSIX)"));
    const MemberName got = split_link_target(c.target, c.windows);
    if (*c.refused) {
      EXPECT_NE(got.refusal.find(c.refused), std::string::npos) << got.refusal;
    } else {
      EXPECT_EQ(got.refusal, "");
    }
  }
}

}  // namespace
}  // namespace keelbox

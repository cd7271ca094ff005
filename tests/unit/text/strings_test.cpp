#include "keelbox/text/strings.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace keelbox {
namespace {

TEST(Strings, TrimUnicodeStripsWhatPythonStrips) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"  numpy \t\r\n", "numpy"},
      {"\xC2\xA0pkg\xE3\x80\x80", "pkg"},      // no-break space, ideographic space
      {"\x1c\x1d pkg \x1e\x1f", "pkg"},        // the ASCII separators count as space
      {"a b", "a b"},                          // inner space kept
      {" \xFF ", "\xFF"},                      // invalid UTF-8 is kept as it is
      {"\xE2\x80\x8B", "\xE2\x80\x8B"},        // zero-width space is not white space
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(trim_unicode(in), out) << in;
}

TEST(Strings, LowerAndCompare) {
  EXPECT_EQ(unicode_lower("ZVK_\xC3\x84RGER"), "zvk_\xC3\xA4rger");
  EXPECT_EQ(unicode_lower("\xCE\x9F\xCE\xA3"), "\xCE\xBF\xCF\x82");  // final sigma
  EXPECT_EQ(ascii_lower("Version: \xC3\x84"), "version: \xC3\x84");
  EXPECT_TRUE(iequals_ascii("Content-Length", "content-length"));
  EXPECT_FALSE(iequals_ascii("Location", "Locations"));
  EXPECT_EQ(trim_ascii("\t 303 See Other\r\n"), "303 See Other");
}

}  // namespace
}  // namespace keelbox

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

TEST(Strings, ValidUtf8) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"", true},
      {"plain ascii", true},
      {"\xC3\xBCn\xC3\xAF \xE2\x9C\x93 \xF0\x9F\x98\x80", true},
      {std::string("nul\0inside", 11), true},
      {"\xFF", false},
      {"a\xC3", false},                  // cut short
      {"\xC0\xAF", false},              // overlong "/"
      {"\xED\xA0\x80", false},          // a surrogate
      {"\xF4\x90\x80\x80", false},      // beyond U+10FFFF
      {"\x80", false},                   // a lone continuation byte
  };
  for (const auto& [in, valid] : cases) EXPECT_EQ(is_valid_utf8(in), valid) << in;
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

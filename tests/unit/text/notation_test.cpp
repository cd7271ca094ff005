#include "keelbox/text/notation.hpp"

#include <gtest/gtest.h>

namespace keelbox {
namespace {

struct QuoteCase {
  std::string item;
  std::string expected;
};

TEST(Notation, QuotesAndEscapesItemsLikeTheUserSeesThem) {
  const std::vector<QuoteCase> cases = {
      {"numpy", "'numpy'"},
      {"", "''"},
      {"it's", "\"it's\""},              // single quote only: double quotes
      {"say \"hi\"", "'say \"hi\"'"},    // double quote only: stays single
      {"it's \"x\"", "'it\\'s \"x\"'"},  // both: single quotes, \' escaped
      {"a\\b", "'a\\\\b'"},              // backslash doubled
      {"it's\\", "\"it's\\\\\""},        // escapes apply inside double quotes too
      {"l1\nl2\tx\ry", "'l1\\nl2\\tx\\ry'"},
      {std::string("nul\0end", 7), "'nul\\x00end'"},
      {"\x1b[31m\x7f", "'\\x1b[31m\\x7f'"},
      {"\xc2\x85", "'\\x85'"},  // a C1 control character (U+0085)
      {"Zvk \xc3\xa9t\xc3\xa9 \xe2\x82\xac",
       "'Zvk \xc3\xa9t\xc3\xa9 \xe2\x82\xac'"},  // printable UTF-8 as is
      {"bad\xff", "'bad\\udcff'"},               // not UTF-8: the byte's escape
      {"numpy>=1.26", "'numpy>=1.26'"},
  };
  for (const auto& c : cases) EXPECT_EQ(quote_text(c.item), c.expected) << c.expected;
}

TEST(Notation, ListAndTupleShapes) {
  using V = std::vector<std::string>;
  EXPECT_EQ(list_notation({}), "[]");
  EXPECT_EQ(list_notation(V{"Zvk Sample App"}), "['Zvk Sample App']");
  EXPECT_EQ(list_notation(V{"Zvk Sample App", "numpy"}), "['Zvk Sample App', 'numpy']");
  EXPECT_EQ(tuple_notation({}), "()");
  EXPECT_EQ(tuple_notation(V{"--version"}), "('--version',)");
  EXPECT_EQ(tuple_notation(V{"pip", "show", "zvk-sample-app"}),
            "('pip', 'show', 'zvk-sample-app')");
  EXPECT_EQ(tuple_notation(V{"it's", "a"}), "(\"it's\", 'a')");
}

TEST(Notation, ControlCharactersOfOutsideTextAreMadeVisible) {
  struct Case {
    std::string text, shown, shown_keeping_lines;
  };
  const std::vector<Case> cases = {
      {"\x1b]52;c;ZXZpbA==\x07", "\\x1b]52;c;ZXZpbA==\\x07", "\\x1b]52;c;ZXZpbA==\\x07"},  // OSC 52
      {"\x1b]0;title\x1b\\", "\\x1b]0;title\\x1b\\", "\\x1b]0;title\\x1b\\"},  // OSC 0, ST
      {"name\x1b[2K\r", "name\\x1b[2K\\r", "name\\x1b[2K\\r"},                 // erase line
      {"a\nb", "a\\nb", "a\nb"},
      {"tab\tstays", "tab\tstays", "tab\tstays"},
      {std::string("nul\0\x7f", 5), "nul\\x00\\x7f", "nul\\x00\\x7f"},
      {"\xc2\x9b"
       "31m",
       "\\x9b"
       "31m",
       "\\x9b"
       "31m"},  // C1 CSI as a code point
      {"\x9b"
       "31m",
       "\\x9b"
       "31m",
       "\\x9b"
       "31m"},  // and as a stray byte
      {"caf\xc3\xa9 \xff \\x1b", "caf\xc3\xa9 \xff \\x1b", "caf\xc3\xa9 \xff \\x1b"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show_controls(c.text), c.shown) << c.shown;
    EXPECT_EQ(show_controls_keep_lines(c.text), c.shown_keeping_lines) << c.shown;
  }
}

}  // namespace
}  // namespace keelbox

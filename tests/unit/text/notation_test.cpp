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
      {"it's", "\"it's\""},                       // single quote only: double quotes
      {"say \"hi\"", "'say \"hi\"'"},             // double quote only: stays single
      {"it's \"x\"", "'it\\'s \"x\"'"},           // both: single quotes, \' escaped
      {"a\\b", "'a\\\\b'"},                       // backslash doubled
      {"it's\\", "\"it's\\\\\""},                 // escapes apply inside double quotes too
      {"l1\nl2\tx\ry", "'l1\\nl2\\tx\\ry'"},
      {std::string("nul\0end", 7), "'nul\\x00end'"},
      {"\x1b[31m\x7f", "'\\x1b[31m\\x7f'"},
      {"\xc2\x85", "'\\x85'"},                    // a C1 control character (U+0085)
      {"Zvk \xc3\xa9t\xc3\xa9 \xe2\x82\xac", "'Zvk \xc3\xa9t\xc3\xa9 \xe2\x82\xac'"},  // printable UTF-8 as is
      {"bad\xff", "'bad\\udcff'"},                // not UTF-8: the byte's escape
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
  EXPECT_EQ(tuple_notation(V{"pip", "show", "zvk-sample-app"}), "('pip', 'show', 'zvk-sample-app')");
  EXPECT_EQ(tuple_notation(V{"it's", "a"}), "(\"it's\", 'a')");
}

}  // namespace
}  // namespace keelbox

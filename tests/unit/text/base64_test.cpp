#include "keelbox/text/base64.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace keelbox::text {
namespace {

TEST(Base64, EncodesEveryLengthAndEveryByte) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const std::vector<Case> cases = {
      // The test vectors of RFC 4648: every remainder of the length by three.
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      // A credential: colons and digits pass through the standard alphabet.
      {"id-1:secret:with:colons", "aWQtMTpzZWNyZXQ6d2l0aDpjb2xvbnM="},
      // Bytes with the high bit set and NUL: no sign extension, no early end;
      // the last two letters of the alphabet ("+" and "/") appear.
      {std::string("\x00\xff\xfe\x80", 4), "AP/+gA=="},
      {std::string("\xfb\xef\xbe", 3), "++++"},
      {std::string("\xff\xff\xff", 3), "////"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(base64_encode(c.input), c.expected) << "input of " << c.input.size() << " bytes";
  }
}

}  // namespace
}  // namespace keelbox::text

#include "keelbox/text/semver.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox::semver {
namespace {

TEST(Semver, PrecedenceChainIsStrictlyIncreasing) {
  const std::vector<std::string> chain = {"1.0.0-alpha", "1.0.0-alpha.1", "1.0.0-alpha.beta",
                                          "1.0.0-beta",  "1.0.0-beta.2",  "1.0.0-beta.11",
                                          "1.0.0-rc.1",  "1.0.0",         "1.0.1",
                                          "1.1.0",       "1.10.0",        "2.0.0",
                                          "10.0.0"};
  for (std::size_t i = 0; i < chain.size(); ++i) {
    for (std::size_t j = 0; j < chain.size(); ++j) {
      int expected = i < j ? -1 : (i > j ? 1 : 0);
      EXPECT_EQ(compare(chain[i], chain[j]), expected) << chain[i] << " vs " << chain[j];
    }
  }
}

TEST(Semver, EqualPrecedence) {
  struct Case {
    const char* a;
    const char* b;
  };
  for (const Case& c : std::vector<Case>{
           {"1.0.0+a", "1.0.0+b"}, {"1.0.0-rc.1+build.5", "1.0.0-rc.1"}, {"0.0.0", "0.0.0+0"}}) {
    EXPECT_EQ(compare(c.a, c.b), 0) << c.a << " vs " << c.b;
  }
}

TEST(Semver, NumbersBeyondSixtyFourBitsCompareExactly) {
  EXPECT_GT(compare("18446744073709551616.0.0", "18446744073709551615.0.0"), 0);
  EXPECT_LT(compare("1.0.0-99999999999999999999", "1.0.0-100000000000000000000"), 0);
  EXPECT_LT(compare("1.0.0-99999999999999999999", "1.0.0-a"), 0);
}

TEST(Semver, ValidForms) {
  for (const char* text :
       {"0.0.0", "1.2.3", "1.0.0-0.3.7", "1.0.0-x.7.z.92", "1.0.0-x-y-z.--", "1.0.0+20130313144700",
        "1.0.0-alpha+001", "1.0.0+21AF26D3----117B344092BD", "2.0.0-rc.1", "1.0.0-0A"}) {
    EXPECT_TRUE(is_valid(text)) << text;
  }
  Version v = parse("1.2.3-rc.1+b.7");
  EXPECT_EQ(v.major, "1");
  EXPECT_EQ(v.minor, "2");
  EXPECT_EQ(v.patch, "3");
  EXPECT_EQ(v.prerelease, (std::vector<std::string>{"rc", "1"}));
  EXPECT_EQ(v.build, "b.7");
}

TEST(Semver, InvalidFormsThrow) {
  for (const char* text : {"1.0",    "2024.1",   "v1.0.0",  "1.0.0rc1", "01.0.0",     "1.01.0",
                           "1.0.01", "1.0.0-01", "1.0.0-",  "1.0.0+",   "1.0.0-a..b", "1.0.0+a..b",
                           "",       "1",        " 1.0.0",  "1.0.0 ",   "1.0.0-a_b",  "1.0.0.0",
                           "1..0",   "-1.0.0",   "1.0.0-+", "a.b.c",    "1.0.0+b+c"}) {
    EXPECT_FALSE(is_valid(text)) << text;
    EXPECT_THROW(parse(text), InvalidVersionError) << text;
  }
  // The candidate is parsed first, so its error is the one reported.
  try {
    compare("1.0", "v2");
    FAIL() << "no error";
  } catch (const InvalidVersionError& e) {
    EXPECT_NE(std::string(e.what()).find("1.0"), std::string::npos);
  }
}

}  // namespace
}  // namespace keelbox::semver

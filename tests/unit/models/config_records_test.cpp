#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/models/models.hpp"

namespace keelbox {
namespace {

using nlohmann::json;

std::vector<std::string> paths_of(const ValidationError& e) {
  std::vector<std::string> out;
  for (const auto& f : e.errors()) {
    std::string p;
    for (const auto& part : f.path) p += (p.empty() ? "" : ".") + part;
    out.push_back(p);
  }
  return out;
}

TEST(KeelboxConfig, ValidMappingsAndDefaults) {
  struct Case {
    const char* name;
    json input;
    KeelboxConfig expected;
  };
  const Case cases[] = {
      {"full",
       json::parse(R"({"profile":{"token_id":"i","token":"s","cloud_environment":"dev.cloud"},
                               "options":{"advanced_mode":true}})"),
       {{"i", "s", "dev.cloud"}, {true}}},
      {"only profile, options default",
       json::parse(R"({"profile":{"token_id":"i","token":"s"}})"),
       {{"i", "s", "cloud"}, {false}}},
      {"unknown keys ignored",
       json::parse(R"({"profile":{"token_id":"i","token":"s","extra":1},"other":{"x":2},
                       "options":{"advanced_mode":false,"colour":"red"}})"),
       {{"i", "s", "cloud"}, {false}}},
      {"empty texts are text",
       json::parse(R"({"profile":{"token_id":"","token":""}})"),
       {{"", "", "cloud"}, {false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(KeelboxConfig::from_mapping(c.input), c.expected);
  }
}

TEST(KeelboxConfig, EveryFailingFieldIsReportedWithItsPath) {
  struct Case {
    const char* name;
    json input;
    std::vector<std::string> failing;
  };
  const Case cases[] = {
      {"empty document", json::object(), {"profile"}},
      {"not a mapping", json::array(), {""}},
      {"profile not a table", json::parse(R"({"profile":"x"})"), {"profile"}},
      {"both keys missing",
       json::parse(R"({"profile":{}})"),
       {"profile.token_id", "profile.token"}},
      {"numbers are not text",
       json::parse(R"({"profile":{"token_id":12,"token":1.5}})"),
       {"profile.token_id", "profile.token"}},
      {"null is not text",
       json::parse(R"({"profile":{"token_id":null,"token":"s"}})"),
       {"profile.token_id"}},
      {"capital C",
       json::parse(R"({"profile":{"token_id":"i","token":"s","cloud_environment":"Cloud"}})"),
       {"profile.cloud_environment"}},
      {"empty environment",
       json::parse(R"({"profile":{"token_id":"i","token":"s","cloud_environment":""}})"),
       {"profile.cloud_environment"}},
      {"padded environment",
       json::parse(R"({"profile":{"token_id":"i","token":"s","cloud_environment":" cloud"}})"),
       {"profile.cloud_environment"}},
      {"other name",
       json::parse(R"({"profile":{"token_id":"i","token":"s","cloud_environment":"dev"}})"),
       {"profile.cloud_environment"}},
      {"bad option and bad profile",
       json::parse(R"({"profile":{"token":"s"},"options":{"advanced_mode":"maybe"}})"),
       {"profile.token_id", "options.advanced_mode"}},
      {"options not a table",
       json::parse(R"({"profile":{"token_id":"i","token":"s"},"options":3})"),
       {"options"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      KeelboxConfig::from_mapping(c.input);
      ADD_FAILURE() << "validated";
    } catch (const ValidationError& e) {
      EXPECT_EQ(paths_of(e), c.failing);
      EXPECT_STREQ(e.kind(), "ValidationError");
      for (const auto& f : e.errors()) EXPECT_FALSE(f.reason.empty());
    }
  }
}

TEST(KeelboxConfig, ReasonsNameTheProblem) {
  try {
    KeelboxConfig::from_mapping(
        json::parse(R"({"profile":{"token":5,"cloud_environment":"staging"}})"));
    FAIL();
  } catch (const ValidationError& e) {
    ASSERT_EQ(e.errors().size(), 3u);
    EXPECT_EQ(e.errors()[0].reason, "Field required");
    EXPECT_EQ(e.errors()[1].reason, "Input should be a valid string");
    EXPECT_EQ(e.errors()[2].reason, "Input should be 'cloud' or 'dev.cloud'");
    EXPECT_NE(std::string(e.what()).find("profile.cloud_environment"), std::string::npos);
  }
}

TEST(KeelboxOptions, BooleanForms) {
  struct Case {
    json value;
    std::optional<bool> expected;  // nullopt: refused
  };
  const Case cases[] = {{true, true},
                        {false, false},
                        {1, true},
                        {0, false},
                        {"true", true},
                        {"False", false},
                        {2, std::nullopt},
                        {"maybe", std::nullopt},
                        {json::array(), std::nullopt},
                        {nullptr, std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.dump());
    json m{{"advanced_mode", c.value}};
    if (c.expected) {
      EXPECT_EQ(KeelboxOptions::from_mapping(m).advanced_mode, *c.expected);
    } else {
      EXPECT_THROW(KeelboxOptions::from_mapping(m), ValidationError);
    }
  }
}

TEST(KeelboxProfile, FromNamedValues) {
  auto p = KeelboxProfile::from_mapping(json{{"token_id", "a"}, {"token", "b"}});
  EXPECT_EQ(p, (KeelboxProfile{"a", "b", "cloud"}));
  EXPECT_THROW(KeelboxProfile::from_mapping(json{{"token_id", "a"}}), ValidationError);
}

TEST(KeelboxConfig, DumpKeepsDeclarationOrderAndEveryField) {
  KeelboxConfig c{{"id", "sec", "dev.cloud"}, {}};
  EXPECT_EQ(c.dump().dump(),
            R"({"profile":{"token_id":"id","token":"sec","cloud_environment":"dev.cloud"},)"
            R"("options":{"advanced_mode":false}})");
  EXPECT_EQ(KeelboxConfig::from_mapping(json::parse(c.dump().dump())), c);
}

}  // namespace
}  // namespace keelbox

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/models/models.hpp"

namespace keelbox {
namespace {

using json = nlohmann::json;
using Paths = std::vector<std::vector<std::string>>;

Paths failing_paths(const std::function<void()>& build) {
  try {
    build();
  } catch (const ValidationError& e) {
    Paths paths;
    for (const auto& f : e.errors()) paths.push_back(f.path);
    return paths;
  }
  ADD_FAILURE() << "no ValidationError";
  return {};
}

TEST(KeelboxEntitlementTest, BuildsFromMappingIgnoringUnknownKeys) {
  json m = {{"name", "Sample App"},
            {"code", "ENT_ZVK_SAMPLE_APP"},
            {"packages", {"zvk-sample-app", "zvk-core"}},
            {"required_entitlements", json::array()},
            {"description", "not a field"}};
  KeelboxEntitlement e = KeelboxEntitlement::from_mapping(m);
  EXPECT_EQ(e.name, "Sample App");
  EXPECT_EQ(e.code, "ENT_ZVK_SAMPLE_APP");
  EXPECT_EQ(e.packages, (std::vector<std::string>{"zvk-sample-app", "zvk-core"}));
  EXPECT_TRUE(e.required_entitlements.empty());
  EXPECT_FALSE(e.to_json().contains("description"));
}

TEST(KeelboxEntitlementTest, ReportsEveryFailingField) {
  struct Case {
    const char* label;
    json mapping;
    Paths paths;
  };
  const std::vector<Case> cases = {
      {"empty mapping",
       json::object(),
       {{"name"}, {"code"}, {"packages"}, {"required_entitlements"}}},
      {"number is not text",
       {{"name", 7},
        {"code", "ENT_X"},
        {"packages", json::array()},
        {"required_entitlements", json::array()}},
       {{"name"}}},
      {"list of text expected",
       {{"name", "n"},
        {"code", "ENT_X"},
        {"packages", "zvk-a"},
        {"required_entitlements", {"ok", 3, nullptr}}},
       {{"packages"}, {"required_entitlements", "1"}, {"required_entitlements", "2"}}},
      {"null text",
       {{"name", nullptr},
        {"code", "c"},
        {"packages", json::array()},
        {"required_entitlements", json::array()}},
       {{"name"}}},
      {"not a mapping", json::array({1, 2}), {{}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(failing_paths([&] { KeelboxEntitlement::from_mapping(c.mapping); }), c.paths)
        << c.label;
  }
}

TEST(KeelboxEntitlementTest, JsonAndCborRoundTrip) {
  std::vector<KeelboxEntitlement> list = {
      {"Sample App", "ENT_ZVK_SAMPLE_APP", {"zvk-sample-app"}, {"ENT_PKG_BASE"}},
      {"Ünïcode", "ENT_U", {}, {}}};
  json j = list;
  auto back = json::from_cbor(json::to_cbor(j)).get<std::vector<KeelboxEntitlement>>();
  EXPECT_EQ(back, list);
}

TEST(PackageNameTest, OnlyDistributionNamesAreAccepted) {
  for (const char* name : {"numpy", "Zvk.Odd_name-2", "a", "9", "A-B_C.d"}) {
    EXPECT_TRUE(keelbox::is_package_name(name)) << name;
  }
  for (const char* name : {"", "-", "--python=/x/evil/python", "-r", "a-", "_a", ".a", "a b",
                           "numpy>=1.26", "a/b", "\xc3\xa9t\xc3\xa9", "pkg\n", "a@b"}) {
    EXPECT_FALSE(keelbox::is_package_name(name)) << name;
  }
}

TEST(KeelboxPackageTest, InstalledVersionMustBePresentButMayBeNull) {
  KeelboxPackage p = KeelboxPackage::from_mapping({{"key", "zvk-core"},
                                                   {"installed_version", nullptr},
                                                   {"available_versions", {"1.0.0"}},
                                                   {"x", 1}});
  EXPECT_EQ(p.installed_version, std::nullopt);

  struct Case {
    const char* label;
    json mapping;
    Paths paths;
  };
  const std::vector<Case> cases = {
      {"installed_version missing",
       {{"key", "k"}, {"available_versions", json::array()}},
       {{"installed_version"}}},
      {"all missing", json::object(), {{"key"}, {"installed_version"}, {"available_versions"}}},
      {"numbers never text",
       {{"key", 1}, {"installed_version", 1.5}, {"available_versions", {"1.0.0", 2}}},
       {{"key"}, {"installed_version"}, {"available_versions", "1"}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(failing_paths([&] { KeelboxPackage::from_mapping(c.mapping); }), c.paths) << c.label;
  }
}

struct VersionCase {
  std::vector<std::string> available;
  std::optional<std::string> installed;
  std::optional<std::string> max;  // ignored when `fails`
  bool update;
  bool fails;  // both operations raise InvalidVersionError
};

TEST(KeelboxPackageTest, MaxVersionAndNeedsUpdate) {
  using O = std::optional<std::string>;
  const std::vector<VersionCase> cases = {
      {{"1.2.0", "1.10.0", "1.9.3"}, O("1.9.3"), O("1.10.0"), true, false},
      {{"1.2.0", "1.10.0", "1.9.3"}, O("1.10.0"), O("1.10.0"), false, false},
      {{"2.0.0-rc.1"}, O("1.9.9"), O("2.0.0-rc.1"), true, false},
      {{"2.0.0-rc.1", "2.0.0"}, std::nullopt, O("2.0.0"), true, false},
      {{"2.0.0", "2.0.0-rc.1"}, O("2.0.0"), O("2.0.0"), false, false},
      {{"1.0.0+a", "1.0.0+b"}, std::nullopt, O("1.0.0+b"), true, false},
      {{"1.0.0+a"}, O("1.0.0+b"), O("1.0.0+a"), false, false},
      {{}, O("1.0.0"), O("1.0.0"), false, false},
      {{}, std::nullopt, std::nullopt, false, false},
      {{"3.0.0"}, std::nullopt, O("3.0.0"), true, false},
      {{"2024.1"}, std::nullopt, O("2024.1"), true, false},
      {{}, O("2024.1"), O("2024.1"), false, false},
      {{"1.0.0", "2.0.0"}, O("5.0.0"), O("5.0.0"), false, false},
      {{"0.0.0"}, std::nullopt, O("0.0.0"), true, false},
      {{"0.0.0"}, O("1.4.2"), O("1.4.2"), false, false},
      {{"1.0.0", "2024.1"}, std::nullopt, std::nullopt, false, true},
      {{"2024.1", "1.0.0"}, std::nullopt, std::nullopt, false, true},
      {{"0.0.0"}, O("1.2"), std::nullopt, false, true},
      {{"2024.1"}, O("1.0.0"), std::nullopt, false, true},
  };
  for (const VersionCase& c : cases) {
    KeelboxPackage p{"zvk-core", c.installed, c.available};
    std::string label =
        ::testing::PrintToString(c.available) + " installed " + c.installed.value_or("none");
    if (c.fails) {
      EXPECT_THROW(p.max_version(), InvalidVersionError) << label;
      EXPECT_THROW(p.needs_update(), InvalidVersionError) << label;
      continue;
    }
    EXPECT_EQ(p.max_version(), c.max) << label;
    EXPECT_EQ(p.needs_update(), c.update) << label;
  }
}

}  // namespace
}  // namespace keelbox

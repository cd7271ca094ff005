#include <gtest/gtest.h>

#include "keelbox/cli/base.hpp"

namespace keelbox {
namespace {

TEST(DeriveCloudEnvironment, Mapping) {
  struct Case {
    std::optional<std::string> in;
    std::string out;
  };
  const Case cases[] = {
      {std::nullopt, "cloud"},    {"", "cloud"},    {"cloud", "cloud"},   {"dev", "dev.cloud"},
      {"dev.cloud", "dev.cloud"}, {"Dev", "cloud"}, {"staging", "cloud"}, {" dev", "cloud"}};
  for (const auto& c : cases)
    EXPECT_EQ(derive_cloud_environment(c.in), c.out) << c.in.value_or("<none>");
}

}  // namespace
}  // namespace keelbox

#include "keelbox/terminal/size.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "../support/portable.hpp"
#include "keelbox/platform/io.hpp"

namespace keelbox {
namespace {

// COLUMNS states the user's width and comes first; without a usable value a
// descriptor that is no terminal (a file here) has no width. LINES and the
// height alike.
TEST(TerminalColumns, ColumnsVariableFirstThenTheTerminal) {
  const std::filesystem::path folder = testing::make_temp_dir("keelbox-size");
  {
    const FileDescriptor file = open_nameless_file(folder, ".keelbox-size-");
    const struct {
      const char* columns;  // nullptr: unset
      std::optional<std::size_t> expected;
    } cases[] = {
        {"100", 100},          {"40", 40},         {"0", std::nullopt},     {"-5", std::nullopt},
        {"12x", std::nullopt}, {"", std::nullopt}, {nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
      testing::set_env("COLUMNS", c.columns ? std::optional<std::string>(c.columns) : std::nullopt);
      EXPECT_EQ(terminal_columns(file.get()), c.expected) << (c.columns ? c.columns : "unset");
    }
    testing::set_env("COLUMNS", std::nullopt);
    // LINES states the height likewise.
    for (const auto& c : cases) {
      testing::set_env("LINES", c.columns ? std::optional<std::string>(c.columns) : std::nullopt);
      EXPECT_EQ(terminal_rows(file.get()), c.expected) << (c.columns ? c.columns : "unset");
    }
    testing::set_env("LINES", std::nullopt);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace keelbox

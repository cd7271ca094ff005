#include "keelbox/terminal/size.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <optional>

namespace keelbox {
namespace {

// COLUMNS states the user's width and comes first; without a usable value a
// descriptor that is no terminal has no width.
TEST(TerminalColumns, ColumnsVariableFirstThenTheTerminal) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const struct {
    const char* columns;  // nullptr: unset
    std::optional<std::size_t> expected;
  } cases[] = {
      {"100", 100},          {"40", 40},         {"0", std::nullopt},     {"-5", std::nullopt},
      {"12x", std::nullopt}, {"", std::nullopt}, {nullptr, std::nullopt},
  };
  for (const auto& c : cases) {
    if (c.columns) {
      ::setenv("COLUMNS", c.columns, 1);
    } else {
      ::unsetenv("COLUMNS");
    }
    EXPECT_EQ(terminal_columns(fds[1]), c.expected) << (c.columns ? c.columns : "unset");
  }
  ::unsetenv("COLUMNS");
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace keelbox

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keelbox/cli/command_table.hpp"
#include "keelbox/cli/manpage.hpp"

namespace keelbox::cli {
namespace {

std::vector<const CommandDef*> every_command() {
  std::vector<const CommandDef*> all{&root_command()};
  for (const auto& c : commands()) all.push_back(&c);
  return all;
}

// Every command runs through the table, and every option says something in
// the manual: a new entry without either is caught here, not by a user.
TEST(CommandTable, EveryCommandHasAHandlerAndEveryOptionAText) {
  for (const CommandDef* command : every_command()) {
    EXPECT_NE(command->handler, nullptr) << command->name;
    for (const auto& option : command->options) {
      EXPECT_FALSE(option.help.empty() && option.manual_help.empty())
          << command->name << " " << option.names.front();
      EXPECT_EQ(option.envvar.empty(), option.envvar_help.empty())
          << command->name << " " << option.names.front();
    }
  }
  EXPECT_NE(root_command().handler, find_command("install")->handler);
}

TEST(ManualPage, ShowsTheTableTextsTheHelpScreensLeaveOut) {
  const std::string page = render_manpage("1.2.3", "2026-01-01");
  const struct {
    const char* what;
    const char* expected;
  } cases[] = {
      {"manual-only help",
       ".TP\n\\fB\\-\\-token\\-id\\fR \\fITEXT\\fR\nThe token id. Asked for when not given.\n"},
      {"environment entry with bold words",
       ".SH ENVIRONMENT\n.TP\n\\fBKEELBOX_CLOUD_ENVIRONMENT\\fR\nThe cloud environment for "
       "\\fBinit\\fR "
       "(\"cloud\" or \"dev\"), when \\fB\\-\\-cloud\\-environment\\fR is not given.\n"},
      {"option default and variable",
       "Read from \\fBKEELBOX_CLOUD_ENVIRONMENT\\fR when not given. Default: cloud.\n"},
  };
  for (const auto& c : cases) EXPECT_NE(page.find(c.expected), std::string::npos) << c.what;
}

}  // namespace
}  // namespace keelbox::cli

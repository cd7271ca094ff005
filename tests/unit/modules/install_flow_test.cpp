// The install flow and the module listing on a fake context: the scripted
// HTTP engine answers for the cloud, its runner for uv and the target's
// python. What is asked, what is said, and which runs happen in which order.
// Real installations are the black-box tests' part.
#include <gtest/gtest.h>

#include "install_flow_test_support.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/modules/modules.hpp"

namespace keelbox::flow_test {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

TEST_F(Flow, DryRunQuestionAndInstallFollowTheAnswer) {
  const V set = {"zvk-sample-app", "zvk-sample-utils", "numpy"};
  const std::string resolved =
      "Modules to install: ['Zvk Sample App']\nAdditional packages to install: ['numpy']\n";
  const std::string preparing =
      "\nPreparing install and resolving dependencies for\n['zvk-sample-app', 'zvk-sample-utils', "
      "'numpy']\n";
  const std::string installing = "Installing\n['zvk-sample-app', 'zvk-sample-utils', 'numpy']\n";
  enum Outcome { Installed, Declined, Aborted, DryRunFails };
  struct Case {
    const char* name;
    bool yes;
    std::string input;
    std::vector<int> statuses;  // of the runs, in order (0 when none is left)
    Outcome outcome;
    V said;  // in this order
    std::size_t questions;
  };
  const std::vector<Case> cases = {
      {"confirmed",
       false,
       "y\n",
       {},
       Installed,
       {kHeading + resolved + preparing, kQuestion + installing},
       1},
      {"an empty answer takes the default",
       false,
       "\n",
       {},
       Installed,
       {kQuestion + installing},
       1},
      {"declined", false, " No \n", {}, Declined, {preparing, kQuestion}, 1},
      {"asked again after an invalid answer",
       false,
       "maybe\nyes\n",
       {},
       Installed,
       {kQuestion + "Error: invalid input\n" + kQuestion + installing},
       2},
      {"end of input at the question", false, "", {}, Aborted, {preparing, kQuestion}, 1},
      {"a failing dry run ends before the question",
       false,
       "y\n",
       {1},
       DryRunFails,
       {preparing},
       0},
      {"yes: no dry run and no question",
       true,
       "",
       {},
       Installed,
       {kHeading + resolved + installing},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    runner_ = FakeProcessRunner();
    for (int status : c.statuses) runner_.answer(status);
    const ScopedInput input(c.input);
    CaptureStdout();
    Outcome outcome = Installed;
    try {
      install_modules(context_, {"zvk-sample-app", " numpy"}, c.yes, std::nullopt);
      if (!c.yes && runner_.runs.size() == 1) outcome = Declined;
    } catch (const PromptAborted&) {
      outcome = Aborted;
    } catch (const KeelboxUVException& e) {
      outcome = DryRunFails;
      EXPECT_NE(std::string(e.what()).find("'--dry-run'"), std::string::npos) << e.what();
    }
    const std::string out = testing::plain_lines(GetCapturedStdout());
    EXPECT_EQ(outcome, c.outcome) << out;
    expect_in_order(out, c.said);
    std::size_t questions = 0;
    for (std::size_t at = out.find(kQuestion); at != std::string::npos;
         at = out.find(kQuestion, at + 1))
      ++questions;
    EXPECT_EQ(questions, c.questions) << out;

    std::vector<V> expected;
    if (!c.yes) expected.push_back(install_args(set, true));
    if (c.outcome == Installed) expected.push_back(install_args(set, false));
    std::vector<V> seen;
    for (const auto& run : runner_.runs) {
      seen.push_back(run.args);
      EXPECT_EQ(run.env.at("VIRTUAL_ENV"), target_.string());
      EXPECT_EQ(run.options.stdout_mode, StreamMode::Inherit);  // uv talks to the user itself
    }
    EXPECT_EQ(seen, expected);
  }
}

TEST_F(Flow, ListingAsksUvOncePerPackageInTableOrderAndCapturesItsAnswer) {
  entitlements_ = {
      entitlement("ZVK Sample App", "ENT_ZVK_SAMPLE_APP", {"zvk-sample-app", "zvk-sample-utils"}),
      entitlement("ZVK Tracer", "ENT_ZVK_TRACER_FREE", {"zvk-tracer", "bad key;rm"})};
  runner_.answer(0, "Name: zvk-sample-app\nVersion: 1.4.0\n").answer(1, "", "not installed");
  CaptureStdout();
  CaptureStderr();
  show_all_entitled_modules(context_);
  const std::string out = testing::plain_lines(GetCapturedStdout());
  const std::string err = GetCapturedStderr();
  std::vector<V> seen;
  for (const auto& run : runner_.runs) {
    seen.push_back(run.args);
    EXPECT_EQ(run.options.stdout_mode, StreamMode::Capture);
  }
  // A key that is no package name never reaches uv; it is named after the table.
  EXPECT_EQ(seen, (std::vector<V>{{"pip", "show", "zvk-sample-app"},
                                  {"pip", "show", "zvk-sample-utils"},
                                  {"pip", "show", "zvk-tracer"}}));
  expect_in_order(
      out, {"ZVK Sample App", "zvk-sample-app, zvk-sample-utils", "ZVK Tracer", "zvk-tracer"});
  EXPECT_NE(err.find("bad key;rm"), std::string::npos) << err;
}

}  // namespace
}  // namespace keelbox::flow_test

// The module table's layout, the installed-version lookup from `uv pip show`
// output, the package colours and the pieces of the install flow.
#include <gtest/gtest.h>

#include <fstream>

#include "../support/fake_context.hpp"
#include "../uv/uv_test_support.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/modules/catalogue.hpp"
#include "keelbox/platform/filesystem.hpp"

namespace keelbox {
namespace {

struct PipShowCase {
  std::string label;
  std::string output;
  std::optional<std::string> version;
};

class PipShow : public ::testing::TestWithParam<PipShowCase> {};

TEST_P(PipShow, ReadsVersionEntry) {
  EXPECT_EQ(_version_from_pip_show_output(GetParam().output), GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PipShow,
    ::testing::Values(
        PipShowCase{"Typical", "Name: zvk-sample-app\nVersion: 1.4.0\nLocation: /v/lib\n", "1.4.0"},
        PipShowCase{"Empty", "", std::nullopt},
        PipShowCase{"TwoPieces", "Version: 1.0.0\n", std::nullopt},  // fewer than three pieces
        PipShowCase{"ThreePiecesNoNewlineAtEnd", "Name: a\nVersion: 2.0.0\nx", "2.0.0"},
        PipShowCase{"LaterLineWins", "Version: 2.0.0\nName: a\nversion: 2.1.0\n", "2.1.0"},
        PipShowCase{"UpperCaseName", "Name: a\nVERSION: 3.0.0\n\n", "3.0.0"},
        PipShowCase{"ThreePartsSkipped", "Name: a\nVersion: 1.0: beta\n\n", std::nullopt},
        PipShowCase{"ThreePartsDoNotOverwrite", "Version: 1.0.0\nVersion: 1.1: rc\n\n", "1.0.0"},
        PipShowCase{"CarriageReturnKept", "Name: a\r\nVersion: 1.0.0\r\n\r\n", "1.0.0\r"},
        PipShowCase{"ColonWithoutBlank", "Name: a\nVersion:1.0.0\n\n", std::nullopt},
        PipShowCase{"EmptyValue", "Name: a\nVersion: \n\n", ""},
        PipShowCase{"NoVersionLine", "Name: a\nSummary: text\n\n", std::nullopt}),
    [](const ::testing::TestParamInfo<PipShowCase>& test) { return test.param.label; });

TEST(StyledKey, ColourFollowsInstalledState) {
  EXPECT_EQ(_package_to_styled_key(KeelboxPackage{"a", std::nullopt, {}}), style("a", "red"));
  EXPECT_EQ(_package_to_styled_key(KeelboxPackage{"a", "1.4.0", {}}), style("a", "green"));
  EXPECT_EQ(_package_to_styled_key(KeelboxPackage{"a", "1.4.0", {"2.0.0"}}), style("a", "yellow"));
  // The placeholder available version never outranks a real installed one.
  EXPECT_EQ(_package_to_styled_key(KeelboxPackage{"a", "1.4.2", _get_available_versions("a")}),
            style("a", "green"));
}

TEST(ListingLayout, SeparatorAndHeader) {
  EXPECT_EQ(_listing_separator(),
            std::string(25, '_') + "  " + std::string(25, '_') + "  " + std::string(25, '_'));
  EXPECT_EQ(_listing_separator().size(), 79u);
  EXPECT_EQ(_listing_header(), "Module Name              : Module Key               : Packages");
}

TEST(ListingLayout, RowPadsNameAndKeyAndJoinsPackages) {
  const std::string green = style("zvk-sample-app", "green");
  const std::string red = style("zvk-sample-utils", "red");
  EXPECT_EQ(_listing_row("ZVK Sample App", "ENT_ZVK_SAMPLE_APP", {green, red}),
            "ZVK Sample App" + std::string(11, ' ') + ": ZVK_SAMPLE_APP" + std::string(11, ' ') +
                ":" + green + ", " + red);
  EXPECT_EQ(_listing_row("M", "ENT_M", {}),
            "M" + std::string(24, ' ') + ": M" + std::string(24, ' ') + ":");
}

TEST(ListingLayout, PaddingCountsCodePointsAndNeverCuts) {
  struct Case {
    std::string text;
    std::string padded;
  };
  const std::vector<Case> cases = {
      {"", std::string(25, ' ')},
      {"Straße", "Straße" + std::string(19, ' ')},  // ß is one code point, two bytes
      {"Σοφία", "Σοφία" + std::string(20, ' ')},
      {std::string(25, 'x'), std::string(25, 'x')},
      {std::string(40, 'x'), std::string(40, 'x')},  // longer: pushes, not cut
  };
  for (const Case& c : cases) EXPECT_EQ(_pad_column(c.text), c.padded) << c.text;
  // The key drops four code points, whatever they are.
  EXPECT_EQ(_listing_row("n", "ÉNT_ABC", {}).substr(27, 3), "ABC");
  EXPECT_EQ(_listing_row("n", "ENT", {}),
            "n" + std::string(24, ' ') + ": " + std::string(25, ' ') + ":");
}

TEST(ListingLayout, LegendLines) {
  const std::string legend = _listing_legend("G", "R");
  const std::string expected =
      "\n"
      "    The following tables contains all your Keelbox modules.\n"
      "\n"
      "    Modules Name: The name of the Keelbox module in human readable form.\n"
      "    Module Key  : The unique key of the Keelbox module. Use this key to install\n"
      "                  all packages of the module via `keelbox install <module_key>`.\n"
      "    Packages    : The list of packages available for this module. Keelbox modules\n"
      "                  contain one or several python packages. You can install individual\n"
      "                  packages using `keelbox install <package_key>`\n"
      "\n"
      "    Color       : G indicates that the package is installed, R indicates that\n"
      "                  the package is not installed.\n"
      "    ";
  EXPECT_EQ(legend, expected);
}

TEST(InstallFlowPieces, UniqueInOrderKeepsFirstOccurrence) {
  EXPECT_EQ(_unique_in_order({"b", "a", "b", "c", "a", "B"}),
            (std::vector<std::string>{"b", "a", "c", "B"}));
  EXPECT_TRUE(_unique_in_order({}).empty());
}

TEST(InstallFlowPieces, TrimRemovesUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(_trim(" mkl "), "mkl");
  EXPECT_EQ(_trim("\t\r\n mkl\f\v"), "mkl");
  EXPECT_EQ(_trim("\u00A0mkl\u3000"), "mkl");
  EXPECT_EQ(_trim("a b"), "a b");
  EXPECT_EQ(_trim("   "), "");
  EXPECT_EQ(_trim("\u00E9"), "\u00E9");  // a letter whose bytes end in 0xA9 is not space
}

TEST(InstallFlowPieces, ConfirmationAnswers) {
  struct Case {
    std::string answer;
    std::optional<bool> result;
  };
  const std::vector<Case> cases = {
      {"", true},
      {"  ", true},
      {"y", true},
      {"Y", true},
      {"yes", true},
      {" YeS ", true},
      {"n", false},
      {"N", false},
      {"no", false},
      {"No\r", false},
      {"ye", std::nullopt},
      {"yess", std::nullopt},
      {"nope", std::nullopt},
      {"0", std::nullopt},
      {"y y", std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(_parse_confirmation_answer(c.answer, true), c.result) << c.answer;
  EXPECT_EQ(_parse_confirmation_answer("", false), false);
}

// The listing's question to uv about one package, on a fake context whose
// installation holds uv (an empty file) and whose runner answers for it.
TEST(InstalledVersion, AskedOfUvForPackageNamesOnly) {
  struct Case {
    std::string key;
    int status;
    std::string out;
    std::optional<std::string> version;
    bool asked;
  };
  const std::vector<Case> cases = {
      {"zvk-sample-app", 0, "Name: zvk-sample-app\nVersion: 1.4.0\nLocation: /v\n", "1.4.0", true},
      {"zvk-tracer", 1, "", std::nullopt, true},  // uv's way of saying "not installed"
      {"zvk-odd", 0, "nothing to read\n", std::nullopt, true},
      {"bad key;rm", 0, "Name: x\nVersion: 9\n\n", std::nullopt, false},
      {"-r", 0, "Name: x\nVersion: 9\n\n", std::nullopt, false},
  };
  testing::TempDir installation;
  std::ofstream(installation / (runs_on_windows() ? "uv.exe" : "uv")) << "";
  for (const bool check_versions : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.key);
      testing::FakeContext fake;
      fake.context.installation_dir = installation.path();
      fake.context.environment["VIRTUAL_ENV"] = installation.path().string();
      fake.runner.answer(c.status, c.out, "WARNING: Package(s) not found");
      const KeelboxPackage package = _package_key_to_package(fake.context, c.key, check_versions);
      EXPECT_EQ(package.key, c.key);
      EXPECT_EQ(package.installed_version, c.version);
      EXPECT_EQ(package.available_versions,
                check_versions ? std::vector<std::string>{"0.0.0"} : std::vector<std::string>{});
      if (!c.asked) {
        EXPECT_TRUE(fake.runner.runs.empty());
        continue;
      }
      ASSERT_EQ(fake.runner.runs.size(), 1u);
      EXPECT_EQ(fake.runner.runs[0].args, (std::vector<std::string>{"pip", "show", c.key}));
      EXPECT_EQ(fake.runner.runs[0].options.stdout_mode, StreamMode::Capture);
    }
  }
}

}  // namespace
}  // namespace keelbox

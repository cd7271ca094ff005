#include <gtest/gtest.h>

#include "keelbox/cli/command_table.hpp"
#include "keelbox/cli/help.hpp"

namespace keelbox::cli {
namespace {

TEST(ShortHelp, FirstSentenceShortenedAtAWordBoundary) {
  struct Case {
    std::string description;
    std::string expected;
  };
  const Case cases[] = {
      {"Show your available Keelbox modules and packages.",
       "Show your available Keelbox modules and..."},
      {"Initialize Keelbox.", "Initialize Keelbox."},
      {"Install Keelbox modules and packages.\n\nArgs:\n    x",
       "Install Keelbox modules and packages."},
      {"First sentence. Second sentence.", "First sentence."},
      {"No full stop", "No full stop"},
      {"", ""},
      {"Exactly forty-five characters long text here x",
       "Exactly forty-five characters long text..."},
  };
  for (const auto& c : cases) {
    CommandDef def;
    def.name = "x";
    def.description = c.description;
    EXPECT_EQ(short_help(def), c.expected) << c.description;
    EXPECT_LE(short_help(def).size(), 45u);
  }
}

TEST(CommandTable, VocabularyIsComplete) {
  std::vector<std::string> names;
  for (const auto* c : commands_by_name()) names.emplace_back(c->name);
  EXPECT_EQ(names, (std::vector<std::string>{"download-examples", "init", "install", "modules"}));
  for (const auto& c : commands()) {
    ASSERT_FALSE(c.options.empty());
    EXPECT_EQ(c.options.back().names.front(), "--help") << c.name;
  }
  EXPECT_EQ(usage_pieces(root_command()), "[OPTIONS] COMMAND [ARGS]...");
  EXPECT_EQ(usage_pieces(*find_command("install")), "[OPTIONS] [NAMES]...");
  EXPECT_EQ(usage_pieces(*find_command("init")), "[OPTIONS]");
  EXPECT_EQ(option_label(*find_option(*find_command("install"), "-r")), "-r, --requirements FILE");
  EXPECT_EQ(option_label(*find_option(*find_command("install"), "--yes")), "-y, --yes");
}

TEST(HelpScreen, RootLayout) {
  EXPECT_EQ(render_help("keelbox", root_command(), 78),
            "Usage: keelbox [OPTIONS] COMMAND [ARGS]...\n"
            "\n"
            "  The ZVK Numerics CLI tool for managing ZVK software modules.\n"
            "\n"
            "Options:\n"
            "  --version  Show the version and exit.\n"
            "  --info     Display ZVK Numerics CLI tool information and exit.\n"
            "  --help     Show this message and exit.\n"
            "\n"
            "Commands:\n"
            "  download-examples  Download Keelbox examples for your modules.\n"
            "  init               Initialize Keelbox.\n"
            "  install            Install Keelbox modules and packages.\n"
            "  modules            Show your available Keelbox modules and...");
}

TEST(HelpScreen, OptionsWithoutHelpAndWrappedHelp) {
  EXPECT_EQ(render_help("kb init", *find_command("init"), 78),
            "Usage: kb init [OPTIONS]\n\n  Initialize Keelbox.\n\nOptions:\n"
            "  --token-id TEXT\n  --token TEXT\n  --cloud-environment TEXT\n"
            "  --help                    Show this message and exit.");
  std::string dl = render_help("keelbox download-examples", *find_command("download-examples"), 50);
  EXPECT_NE(dl.find("  -m, --modules TEXT   Download examples for a\n"
                    "                       specific module. Can be\n"
                    "                       used multiple times.\n"),
            std::string::npos)
      << dl;
  for (std::size_t start = 0, nl; start < dl.size(); start = nl + 1) {
    nl = dl.find('\n', start);
    if (nl == std::string::npos) nl = dl.size();
    EXPECT_LE(nl - start, 50u) << dl.substr(start, nl - start);
  }
}

TEST(WrapText, Paragraphs) {
  struct Case {
    std::string text;
    std::size_t width;
    std::string expected;
  };
  const Case cases[] = {
      {"one two three four", 9, "  one two\n  three\n  four"},
      {"a\n\nb\nc", 20, "  a\n\n  b c"},
      {"Args:\n    x (int): y", 40, "  Args:     x (int): y"},
      {"    indented para\n\nnext", 40, "      indented para\n\n  next"},
      {"abcdefghijkl", 7, "  abcde\n  fghij\n  kl"},
      {"", 20, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(wrap_text(c.text, c.width, "  ", "  "), c.expected) << c.text;
}

TEST(UsageError, Block) {
  EXPECT_EQ(render_usage_error("keelbox install", *find_command("install"), "No such option: -h"),
            "Usage: keelbox install [OPTIONS] [NAMES]...\n"
            "Try 'keelbox install --help' for help.\n\nError: No such option: -h");
}

}  // namespace
}  // namespace keelbox::cli

#include "keelbox/process/command_line.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/filesystem.hpp"

namespace keelbox {
namespace {

using namespace std::string_literals;

// How the Microsoft C runtime splits a command line into arguments (the
// program word first: up to the closing quote, without escapes).
std::vector<std::string> crt_split(const std::string& line) {
  std::vector<std::string> argv;
  std::size_t i = 0;
  std::string word;
  if (i < line.size() && line[i] == '"') {
    const auto close = line.find('"', 1);
    word = line.substr(1, close - 1);
    i = close == std::string::npos ? line.size() : close + 1;
  } else {
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') word += line[i++];
  }
  argv.push_back(word);
  for (;;) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) break;
    std::string arg;
    bool quoted = false;
    while (i < line.size()) {
      std::size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
      if (i < line.size() && line[i] == '"') {
        arg.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          arg += '"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          arg += '"';  // "" inside quotes: a quote, still quoted
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
        continue;
      }
      arg.append(backslashes, '\\');
      if (i == line.size() || ((line[i] == ' ' || line[i] == '\t') && !quoted)) break;
      arg += line[i++];
    }
    argv.push_back(arg);
  }
  return argv;
}

TEST(WindowsCommandLine, ArgumentsAreQuotedAsTheRuntimeReadsThem) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "plain"},
      {"", "\"\""},
      {"a b", "\"a b\""},
      {"a\tb", "\"a\tb\""},
      {"a\nb", "\"a\nb\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\b", "a\\b"},  // no quote after it: a backslash stays single
      {"\\\\server\\share", "\\\\server\\share"},
      {"a\\\"b", "\"a\\\\\\\"b\""},  // a\"b: the backslash doubled, the quote escaped
      {"a b\\", "\"a b\\\\\""},      // before the closing quote: doubled
      {"C:\\Program Files\\", "\"C:\\Program Files\\\\\""},
      {"a\\\\b c", "\"a\\\\b c\""},  // inside quotes but before no quote: as they are
      {"\"", "\"\\\"\""},
      {"x=\"1 2\"", "\"x=\\\"1 2\\\"\""},
      {"gr\xc3\xbc\xc3\x9f e", "\"gr\xc3\xbc\xc3\x9f e\""},
  };
  for (const auto& [arg, quoted] : cases) {
    EXPECT_EQ(quote_windows_argument(arg), quoted) << arg;
    EXPECT_EQ(crt_split("\"p\" " + quoted), (std::vector<std::string>{"p", arg})) << arg;
  }
}

TEST(WindowsCommandLine, EveryArgumentComesBackUnchanged) {
  // Random arguments from the characters that matter to the rules.
  std::mt19937 random(20261207);
  const std::string alphabet = "ab \t\\\"\\\"=";
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::string> args(random() % 4);
    for (auto& arg : args) {
      const std::size_t length = random() % 7;
      for (std::size_t i = 0; i < length; ++i) arg += alphabet[random() % alphabet.size()];
    }
    const std::string line = windows_command_line("C:\\v\\Scripts\\python", args);
    std::vector<std::string> expected{"C:\\v\\Scripts\\python"};
    expected.insert(expected.end(), args.begin(), args.end());
    ASSERT_EQ(crt_split(line), expected) << line;
  }
}

TEST(WindowsCommandLine, TheProgramIsOneQuotedWord) {
  EXPECT_EQ(windows_command_line("C:\\Program Files\\v\\Scripts\\uv.exe", {"pip", "show", "a b"}),
            "\"C:\\Program Files\\v\\Scripts\\uv.exe\" pip show \"a b\"");
  // A trailing backslash of the program is no escape there.
  EXPECT_EQ(windows_command_line("C:\\v\\", {}), "\"C:\\v\\\"");
  EXPECT_THROW(windows_command_line("C:\\a\"b", {}), ProcessStartError);
}

TEST(WindowsEnvironmentBlock, SortedWithoutRegardToCaseOneEntryPerName) {
  const std::vector<std::pair<Environment, std::string>> cases = {
      {{}, "\0\0"s},
      {{{"A", ""}}, "A=\0\0"s},
      // Names compare in upper case: 'Z' before '_', while 'z' would come after it.
      {{{"_x", "1"}, {"z", "2"}, {"b", "3"}, {"=C:", "C:\\w"}}, "=C:=C:\\w\0b=3\0z=2\0_x=1\0\0"s},
      // Path and PATH are one variable on Windows: one of them is passed.
      {{{"PATH", "p"}, {"Path", "q"}, {"path", "r"}}, "PATH=p\0\0"s},
      {{{"V", "a=b\xc3\xa9"}}, "V=a=b\xc3\xa9\0\0"s},
  };
  for (const auto& [env, block] : cases) EXPECT_EQ(windows_environment_block(env), block);

  for (const Environment& bad : {Environment{{"", "x"}}, Environment{{"A=B", "x"}},
                                 Environment{{"A\0B"s, "x"}}, Environment{{"A", "x\0y"s}}}) {
    EXPECT_THROW(windows_environment_block(bad), ProcessStartError);
  }
}

TEST(WindowsEnvironmentBlock, NamesDifferingInCaseAreOneVariableOnlyOnWindows) {
  Environment env{{"Path", "a"}, {"PATH", "b"}, {"x", "c"}};
  env["path"] = "d";
  if (runs_on_windows()) {
    EXPECT_EQ(env, (Environment{{"Path", "d"}, {"x", "c"}}));
  } else {
    EXPECT_EQ(env.size(), 4u);
  }
}

TEST(WindowsCommandLine, BatchFilesAreRecognised) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"C:\\v\\Scripts\\activate.bat", true},
      {"x.CMD", true},
      {"x.Bat. ", true},
      {"C:\\v\\Scripts\\python", false},
      {"x.exe", false},
      {"bat", false},
      {"x.batch", false},
  };
  for (const auto& [program, batch] : cases)
    EXPECT_EQ(is_windows_batch_file(program), batch) << program;
}

}  // namespace
}  // namespace keelbox

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include <functional>
#include <sstream>
#include <string>

#include "keelbox/messages/messages.hpp"

namespace keelbox {
namespace {

TEST(Style, Sequences) {
  struct Case {
    std::optional<std::string_view> fg;
    bool bold;
    std::string expected;
  };
  const Case cases[] = {
      {"blue", false, "\x1b[34mx\x1b[0m"},     {"blue", true, "\x1b[34m\x1b[1mx\x1b[0m"},
      {"red", false, "\x1b[31mx\x1b[0m"},      {"green", false, "\x1b[32mx\x1b[0m"},
      {"yellow", false, "\x1b[33mx\x1b[0m"},   {std::nullopt, false, "x\x1b[0m"},
      {std::nullopt, true, "\x1b[1mx\x1b[0m"},
  };
  for (const auto& c : cases) EXPECT_EQ(style("x", c.fg, c.bold), c.expected);
  EXPECT_EQ(style("m", MODULE_COLOR), style("m", "yellow"));
  EXPECT_EQ(style("p", PACKAGE_COLOR), style("p", "blue"));
  EXPECT_THROW(style("x", "purple"), std::invalid_argument);
}

TEST(StripEscapeSequences, Table) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"\x1b[34mx\x1b[0m", "x"},          {"a\x1b[1;31mb\x1b[0mc", "abc"},
      {"no codes [34m", "no codes [34m"}, {"lone \x1b escape", "lone \x1b escape"},
      {"cut \x1b[3", "cut \x1b[3"},       {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(strip_escape_sequences(c.in), c.out);
}

TEST(PrintableText, OnlyTheToolsColourCodesReachTheStream) {
  struct Case {
    std::string in, coloured, plain;
  };
  const Case cases[] = {
      {style("k", "yellow") + " x", "\x1b[33mk\x1b[0m x", "k x"},
      {"\x1b]52;c;ZXZpbA==\x07", "\\x1b]52;c;ZXZpbA==\\x07", "\\x1b]52;c;ZXZpbA==\\x07"},
      {"a\x1b[2Kb\x1b[1;31mc", "a\\x1b[2Kb\x1b[1;31mc", "a\\x1b[2Kbc"},
      {"lines\nand\ttabs\r", "lines\nand\ttabs\\r", "lines\nand\ttabs\\r"},
      {"lone \x1b", "lone \\x1b", "lone \\x1b"},
      {"for url: https://u:pw@h/x", "for url: https://u:****@h/x", "for url: https://u:****@h/x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(printable_text(c.in, true), c.coloured) << c.coloured;
    EXPECT_EQ(printable_text(c.in, false), c.plain) << c.plain;
  }
}

#ifndef _WIN32  // POSIX pipes as standard output, and SIGPIPE
// Captures what send_message writes to standard output through a pipe.
std::string capture_stdout(const std::function<void()>& fn) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  int saved = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  ::close(fds[1]);
  fn();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  return out;
}

TEST(SendMessage, PipedOutputCarriesNoColourCodes) {
  EXPECT_EQ(capture_stdout([] { send_message(style("k", "yellow") + " plain"); }), "k plain\n");
  EXPECT_EQ(capture_stdout([] { send_message(""); }), "\n");
  EXPECT_EQ(capture_stdout([] { send_message("ends\n"); }), "ends\n\n");
  EXPECT_EQ(capture_stdout([] { send_prompt("Enter: "); }), "Enter: ");
}

TEST(SendMessage, ClosedReaderIsABrokenPipe) {
  ::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  int saved = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  ::close(fds[1]);
  bool thrown = false;
  try {
    send_message("x");
  } catch (const BrokenPipe&) {
    thrown = true;
  }
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  EXPECT_TRUE(thrown);
}

// One loop serves every question: refused answers repeat the prompt (with the
// refusal line when there is one), end of input aborts, and a last line
// without a line feed still counts.
TEST(PromptUntil, AsksUntilAnAnswerIsTaken) {
  struct Case {
    std::string input;
    std::string refusal;
    std::string answer;  // empty: aborted
    std::string shown;
  };
  const Case cases[] = {
      {"\n\nabc\n", "", "abc", "Q: Q: Q: "},
      {"maybe\ny\n", "Error: invalid input", "y", "Q: Error: invalid input\nQ: "},
      {"yes", "", "yes", "Q: "},
      {"", "", "", "Q: "},
      {"\n", "no", "", "Q: no\nQ: "},
  };
  for (const auto& c : cases) {
    std::istringstream in(c.input);
    std::string answer;
    bool aborted = false;
    const std::string shown = capture_stdout([&] {
      try {
        prompt_until(
            "Q: ",
            [&](const std::string& line) {
              answer = line;
              return line == "abc" || line == "y" || line == "yes";
            },
            c.refusal, in);
      } catch (const PromptAborted&) {
        aborted = true;
      }
    });
    EXPECT_EQ(aborted, c.answer.empty()) << c.input;
    if (!aborted) {
      EXPECT_EQ(answer, c.answer) << c.input;
    }
    EXPECT_EQ(shown, c.shown) << c.input;
  }
}

#endif  // !_WIN32

}  // namespace
}  // namespace keelbox

// The multi-bar board, driven with a fake clock and a captured terminal.
#include "keelbox/terminal/progress.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

using keelbox::format_interval;
using keelbox::format_size;
using keelbox::ProgressBoard;
using keelbox::render_progress_line;
using namespace std::chrono_literals;

namespace {

TEST(FormatSize, DecimalPrefixes) {
  const std::vector<std::pair<double, const char*>> cases = {
      {0, "0.00B"},        {9.994, "9.99B"},  {9.995, "10.0B"},   {99.94, "99.9B"},
      {999, "999B"},       {999.5, "1.00kB"}, {1000, "1.00kB"},   {12345, "12.3kB"},
      {1234567, "1.23MB"}, {2.5e9, "2.50GB"}, {1e27, "1000.0YB"},
  };
  for (const auto& [amount, text] : cases) EXPECT_EQ(format_size(amount, "B"), text) << amount;
}

TEST(FormatInterval, MinutesAndHours) {
  EXPECT_EQ(format_interval(0), "00:00");
  EXPECT_EQ(format_interval(75.9), "01:15");
  EXPECT_EQ(format_interval(3723), "1:02:03");
}

TEST(RenderProgressLine, KnownAndUnknownTotal) {
  const std::string known = render_progress_line("Downloading examples for a", 500, 1000, 2.0, 100);
  EXPECT_EQ(known.rfind("Downloading examples for a:  50%|", 0), 0u) << known;
  EXPECT_NE(known.find("| 500B/1.00kB [00:02<00:02, 250B/s]"), std::string::npos) << known;
  EXPECT_NE(known.find("#"), std::string::npos);

  const std::string unknown =
      render_progress_line("Downloading examples for a", 1234567, 0, 1.0, 100);
  EXPECT_EQ(unknown, "Downloading examples for a: 1.23MB [00:01, 1.23MB/s]");

  // Nothing is known at the start: no rate yet.
  EXPECT_EQ(render_progress_line("d", 0, 0, 0.0, 100), "d: 0.00B [00:00, ?B/s]");
}

TEST(RenderProgressLine, NarrowTerminalsKeepTheNameEndAndTheAmounts) {
  // Too narrow for the bar: the amounts stay whole and the description gives
  // way from its start, so the package name stays readable.
  const std::string description = "Downloading examples for zvk-sample-app-examples";
  struct Case {
    std::size_t width;
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{
           {40, "...ample-app-examples:  19% 115kB/601kB"},
           {60, "...g examples for zvk-sample-app-examples:  19% 115kB/601kB"},
           {70, "Downloading examples for zvk-sample-app-examples:  19% 115kB/601kB"},
       }) {
    EXPECT_EQ(render_progress_line(description, 115000, 601000, 2.0, c.width), c.expected);
  }
  // An unknown total keeps the amount received.
  EXPECT_EQ(render_progress_line(description, 1234567, 0, 1.0, 30),
            "...ample-app-examples: 1.23MB");
  // Wide enough for everything: the full line with its bar.
  const std::string wide = render_progress_line(description, 115000, 601000, 2.0, 120);
  EXPECT_NE(wide.find(":  19%|#"), std::string::npos) << wide;
  EXPECT_NE(wide.find("| 115kB/601kB [00:02<00:08, 57.5kB/s]"), std::string::npos) << wide;
}

TEST(RenderProgressLine, NeverWiderThanTheTerminal) {
  for (std::size_t width : {20u, 40u, 80u, 200u}) {
    for (std::uint64_t total : {0u, 5000u}) {
      std::string line = render_progress_line(std::string(150, 'd'), 10, total, 1.0, width);
      EXPECT_LE(line.size(), width - 1) << width;
    }
  }
}

class BoardTest : public ::testing::Test {
 protected:
  ProgressBoard make(bool enabled = true) {
    return ProgressBoard(
        enabled, [this](std::string_view s) { writes_.emplace_back(s); }, [this] { return now_; },
        [] { return std::size_t{100}; });
  }
  std::string last() const { return writes_.empty() ? "" : writes_.back(); }

  std::vector<std::string> writes_;
  std::chrono::steady_clock::time_point now_{std::chrono::seconds(1000)};
};

TEST_F(BoardTest, BarsAreDrawnTogetherAtOnceThenRateLimited) {
  auto board = make();
  auto a = board.add("Downloading examples for a", 100);
  auto b = board.add("Downloading examples for b", 0);
  EXPECT_TRUE(writes_.empty());  // added bars wait for their first advance

  board.advance(a, 0);
  ASSERT_EQ(writes_.size(), 1u);
  // Both lines in one drawing, each cleared first.
  EXPECT_NE(last().find("\x1b[2KDownloading examples for a:   0%|"), std::string::npos) << last();
  EXPECT_NE(last().find("\x1b[2KDownloading examples for b: 0.00B"), std::string::npos);
  EXPECT_EQ(last().back(), '\n');

  board.advance(b, 0);  // b was shown with a: no extra drawing
  board.advance(a, 10);
  now_ += 50ms;
  board.advance(a, 10);
  EXPECT_EQ(writes_.size(), 1u);

  now_ += 60ms;
  board.advance(b, 4096);
  ASSERT_EQ(writes_.size(), 2u);
  // The redraw goes back up over the two lines drawn before.
  EXPECT_EQ(last().rfind("\r\x1b[2A", 0), 0u);
  EXPECT_NE(last().find(" 20%|"), std::string::npos) << last();
  EXPECT_NE(last().find("4.10kB"), std::string::npos) << last();
  EXPECT_EQ(board.done(a), 20u);
}

TEST_F(BoardTest, FinishedBarsLeaveNothingBehind) {
  {
    auto board = make();
    auto a = board.add("Downloading examples for a", 10);
    auto b = board.add("Downloading examples for b", 10);
    board.advance(a, 0);
    board.remove(a);
    EXPECT_EQ(last().find("examples for a"), std::string::npos);
    EXPECT_NE(last().find("examples for b"), std::string::npos);
    board.remove(b);
    EXPECT_EQ(last(), "\r\x1b[1A\x1b[2K\n\x1b[1A");
  }
  // A bar never shown is removed silently.
  writes_.clear();
  auto board = make();
  board.remove(board.add("x", 0));
  EXPECT_TRUE(writes_.empty());
}

TEST_F(BoardTest, DestructorClearsBarsStillShown) {
  {
    auto board = make();
    board.advance(board.add("a", 0), 0);
    board.advance(board.add("b", 0), 0);
  }
  EXPECT_EQ(last(), "\r\x1b[2A\x1b[2K\n\x1b[2K\n\x1b[2A");
}

TEST_F(BoardTest, TextPrintedAboveMovesTheBarsDown) {
  auto board = make();
  auto a = board.add("a", 0);
  board.advance(a, 0);
  std::vector<std::string> order;
  board.print_above([&] { order.push_back("printed after " + last()); });
  ASSERT_EQ(order.size(), 1u);
  EXPECT_EQ(order[0], "printed after \r\x1b[1A\x1b[2K\n\x1b[1A");  // bars lifted first
  EXPECT_NE(last().find("\x1b[2Ka: "), std::string::npos);         // and drawn again after it
  EXPECT_EQ(last().rfind("\r\x1b[2K", 0), 0u);                     // below the text, not over it
}

// Just enough of a terminal of `rows` rows to replay the board: line feeds
// (scrolling the top row into the history at the bottom), carriage returns,
// cursor up, clear line, clear to the end of the screen. As tmux does, a
// clearing of the whole screen (from the top left corner) first copies it
// into the history.
class FakeTerminal {
 public:
  explicit FakeTerminal(std::size_t rows) : screen_(rows) {}

  void feed(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '\x1b') {
        std::size_t j = i + 2;
        std::size_t n = 0;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9')
          n = n * 10 + static_cast<std::size_t>(text[j++] - '0');
        if (text[j] == 'A') row_ -= std::min(row_, n == 0 ? 1 : n);
        if (text[j] == 'K') screen_[row_].clear();
        if (text[j] == 'J') {
          if (row_ == 0 && col_ == 0)
            history_.insert(history_.end(), screen_.begin(), screen_.end());
          for (std::size_t r = row_; r < screen_.size(); ++r) screen_[r].clear();
        }
        i = j;
      } else if (c == '\n') {
        col_ = 0;  // as the terminal driver's output processing makes it
        if (row_ + 1 == screen_.size()) {
          history_.push_back(screen_.front());
          screen_.erase(screen_.begin());
          screen_.emplace_back();
        } else {
          ++row_;
        }
      } else if (c == '\r') {
        col_ = 0;
      } else {
        screen_[row_] += c;
        ++col_;
      }
    }
    std::size_t bars = 0;
    for (const auto& line : screen_)
      if (is_bar(line)) ++bars;
    most_bars_ = std::max(most_bars_, bars);
  }

  static bool is_bar(const std::string& line) { return line.rfind("Downloading ", 0) == 0; }
  const std::vector<std::string>& screen() const { return screen_; }
  const std::vector<std::string>& history() const { return history_; }
  std::size_t most_bars() const { return most_bars_; }

 private:
  std::vector<std::string> screen_;
  std::vector<std::string> history_;
  std::size_t row_ = 0;
  std::size_t col_ = 0;
  std::size_t most_bars_ = 0;
};

// 40 transfers on 24 rows: 21 bars, a line for the other 19 and one for the
// whole run; nothing ever scrolls into the history, nothing stays at the end.
TEST_F(BoardTest, ManyBarsFitTheRowsAndLeaveNoHistory) {
  for (const std::size_t rows : {24u, 5u, 3u, 2u}) {
    SCOPED_TRACE(rows);
    FakeTerminal terminal(rows);
    {
      ProgressBoard board(
          true, [&](std::string_view s) { terminal.feed(s); }, [this] { return now_; },
          [] { return std::size_t{80}; }, [rows] { return rows; });
      std::vector<ProgressBoard::Id> ids;
      for (int i = 0; i < 40; ++i) {
        ids.push_back(board.add("Downloading examples for m" + std::to_string(i), 1000));
        board.advance(ids.back(), 0);
      }
      now_ += 2s;
      for (auto id : ids) board.advance(id, 500);
      now_ += 200ms;
      board.advance(ids[0], 500);
      if (rows == 24) {
        const auto& screen = terminal.screen();
        EXPECT_EQ(std::count_if(screen.begin(), screen.end(), FakeTerminal::is_bar), 21);
        EXPECT_EQ(screen[21], "... and 19 more");
        EXPECT_TRUE(std::regex_match(
            screen[22], std::regex(R"(Total: 0/40 done, 20\.5kB \[00:02, [0-9.]+kB/s\])")))
            << screen[22];
      }
      for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i == 30) board.print_above([&] { terminal.feed("a message\n"); });
        board.remove(ids[i]);
      }
    }
    EXPECT_LE(terminal.most_bars(), rows > 2 ? rows - 2 : 0);
    for (const auto& line : terminal.history()) {
      EXPECT_FALSE(FakeTerminal::is_bar(line) || line.rfind("Total: ", 0) == 0 ||
                   line.rfind("... and", 0) == 0)
          << line;
    }
    for (const auto& line : terminal.screen()) {
      EXPECT_TRUE(line.empty() || line == "a message") << line;
    }
  }
}

// Up to (rows - 2) bars are drawn as they always were: no summary lines.
TEST_F(BoardTest, FewBarsNeedNoSummary) {
  std::string drawn;
  ProgressBoard board(
      true, [&](std::string_view s) { drawn = s; }, [this] { return now_; },
      [] { return std::size_t{80}; }, [] { return std::size_t{4}; });
  board.advance(board.add("Downloading examples for a", 0), 0);
  board.advance(board.add("Downloading examples for b", 0), 0);
  EXPECT_EQ(drawn.find("Total"), std::string::npos) << drawn;
  board.advance(board.add("Downloading examples for c", 0), 0);
  EXPECT_NE(drawn.find("\x1b[2KDownloading examples for a"), std::string::npos) << drawn;
  EXPECT_EQ(drawn.find("examples for b"), std::string::npos) << drawn;
  EXPECT_NE(drawn.find("\x1b[2K... and 2 more\n\x1b[2KTotal: 0/3 done"), std::string::npos)
      << drawn;
}

TEST_F(BoardTest, DisabledBoardDrawsNothing) {
  auto board = make(false);
  auto a = board.add("a", 10);
  board.advance(a, 0);
  now_ += 1s;
  board.advance(a, 5);
  bool printed = false;
  board.print_above([&] { printed = true; });
  board.remove(a);
  EXPECT_TRUE(printed);
  EXPECT_TRUE(writes_.empty());
}

}  // namespace

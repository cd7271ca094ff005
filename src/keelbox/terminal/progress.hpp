#pragma once
// Progress bars on standard error for concurrent downloads: one line per
// running transfer, all lines redrawn together.
//
// Hand-written because no packaged C++ library fits: the progress-bar
// libraries a Debian system offers either draw a single bar, or need a
// thread per bar, or cannot show a transfer of unknown size. What is needed
// here is small: several bars owned by one thread, redrawn in place with
// cursor-up and clear-line sequences, an amount with decimal unit prefixes,
// a rate, and a percentage and bar only when the total size is known.
//
// The board draws nothing when standard error is not a terminal. Redraws are
// rate-limited (at most one per REDRAW_INTERVAL), except the first drawing of
// a new bar and the clearing of a finished one, which happen at once. Text
// printed on the same terminal while bars are shown goes through
// print_above(), which lifts the bars, prints, and draws them again below.
//
// The board never draws more lines than the terminal shows: lines beyond its
// last row would scroll into the terminal's history at every redraw and stay
// there. When more than (rows - 2) bars run, the first (rows - 3) are drawn,
// then one line sums up the rest ("... and 17 more") and one the whole run
// (bars finished out of all, bytes, rate).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox {

// "0.00", "9.99", "12.3", "999", then "1.00k", "12.3M", ... (factor 1000),
// followed by `suffix`.
std::string format_size(double amount, std::string_view suffix = "");

// "00:05", "12:34", "1:02:03".
std::string format_interval(double seconds);

// One bar's line, at most `width` - 1 characters (so that it never wraps):
//   "<desc>: 45%|####      | 1.23MB/2.72MB [00:01<00:02, 1.10MB/s]"  (total known)
//   "<desc>: 1.23MB [00:01, 1.10MB/s]"                              (total 0: unknown)
std::string render_progress_line(std::string_view description, std::uint64_t done,
                                 std::uint64_t total, double elapsed_seconds, std::size_t width);

class ProgressBoard {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Writer = std::function<void(std::string_view)>;
  using Width = std::function<std::size_t()>;
  using Rows = std::function<std::size_t()>;  // 0: unknown, no limit
  using Id = std::size_t;

  static constexpr std::chrono::milliseconds REDRAW_INTERVAL{100};

  // Draws on standard error when it is a terminal, else nothing; `clock`
  // (std::chrono::steady_clock by default) measures the rates.
  ProgressBoard();
  explicit ProgressBoard(Clock clock);
  // For tests and other outputs: `enabled` decides whether anything is drawn.
  ProgressBoard(bool enabled, Writer writer, Clock clock, Width width);
  // The same on a terminal of `rows` rows.
  ProgressBoard(bool enabled, Writer writer, Clock clock, Width width, Rows rows);
  ProgressBoard(const ProgressBoard&) = delete;
  ProgressBoard& operator=(const ProgressBoard&) = delete;
  // Clears the bars still shown.
  ~ProgressBoard();

  bool enabled() const { return enabled_; }

  // A new bar; `total` 0 means unknown. Shown at its first advance.
  Id add(std::string description, std::uint64_t total);
  // Adds `amount` to the bar. Draws at once when the bar has not been shown
  // yet (so advance(id, 0) shows it), otherwise at most every REDRAW_INTERVAL.
  void advance(Id id, std::uint64_t amount);
  // Removes the bar and clears its line at once.
  void remove(Id id);
  // Clears all bars, runs `print` (which writes whole lines to the terminal),
  // then draws the bars again.
  void print_above(const std::function<void()>& print);

  std::uint64_t done(Id id) const;

 private:
  struct Bar {
    Id id;
    std::string description;
    std::uint64_t total;
    std::uint64_t done = 0;
    std::chrono::steady_clock::time_point started;
    bool shown = false;
  };
  Bar* find(Id id);
  const Bar* find(Id id) const;
  void draw();
  void erase();
  std::string overall_line(std::chrono::steady_clock::time_point now, std::size_t width) const;

  bool enabled_;
  Writer writer_;
  Clock clock_;
  Width width_;
  Rows rows_;
  std::vector<Bar> bars_;
  std::size_t added_ = 0;             // bars ever added
  std::size_t finished_ = 0;          // bars removed
  std::uint64_t finished_bytes_ = 0;  // what the removed bars had done
  std::chrono::steady_clock::time_point first_added_{};
  Id next_id_ = 1;
  std::size_t lines_on_screen_ = 0;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace keelbox

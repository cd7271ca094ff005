#include "keelbox/terminal/progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "keelbox/terminal/console.hpp"
#include "keelbox/terminal/size.hpp"

namespace keelbox {
namespace {

constexpr std::size_t DEFAULT_WIDTH = 80;

// A vanished terminal is no reason to stop a download: failures are dropped.
void write_stderr(std::string_view data) { write_output(STDERR_FILENO, data); }

std::size_t stderr_width() { return terminal_columns(STDERR_FILENO).value_or(DEFAULT_WIDTH); }

std::size_t stderr_rows() { return terminal_rows(STDERR_FILENO).value_or(0); }

std::string printf_text(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// Clears `count` lines from the cursor's down and comes back to the first. Not
// "erase to the end of the screen": from the top left corner that erases the
// whole screen, which some terminals (tmux) first copy into their history.
std::string clear_lines(std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += "\x1b[2K\n";
  return out + "\x1b[" + std::to_string(count) + "A";
}

// The fewest characters of a description worth showing on a narrow terminal.
constexpr std::size_t MIN_DESCRIPTION = 8;

// The end of `text` (where the package name is) in at most `room` characters,
// "..." marking what was left out.
std::string shorten_from_left(std::string_view text, std::size_t room) {
  if (text.size() <= room) return std::string(text);
  if (room <= 3) return std::string(text.substr(text.size() - room));
  return "..." + std::string(text.substr(text.size() - (room - 3)));
}

}  // namespace

std::string format_size(double amount, std::string_view suffix) {
  static constexpr const char* PREFIXES[] = {"", "k", "M", "G", "T", "P", "E", "Z"};
  for (const char* prefix : PREFIXES) {
    if (std::fabs(amount) < 999.5) {
      std::string number;
      if (std::fabs(amount) < 9.995) {
        number = printf_text("%1.2f", amount);
      } else if (std::fabs(amount) < 99.95) {
        number = printf_text("%2.1f", amount);
      } else {
        number = printf_text("%3.0f", amount);
      }
      return number + prefix + std::string(suffix);
    }
    amount /= 1000.0;
  }
  return printf_text("%3.1f", amount) + "Y" + std::string(suffix);
}

std::string format_interval(double seconds) {
  long total = seconds > 0 ? static_cast<long>(seconds) : 0;
  long h = total / 3600, m = (total / 60) % 60, s = total % 60;
  char buffer[32];
  if (h) {
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", h, m, s);
  } else {
    std::snprintf(buffer, sizeof buffer, "%02ld:%02ld", m, s);
  }
  return buffer;
}

std::string render_progress_line(std::string_view description, std::uint64_t done,
                                 std::uint64_t total, double elapsed, std::size_t width) {
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
  const std::string rate_text = rate > 0 ? format_size(rate, "B/s") : "?B/s";
  std::string line;
  if (total == 0) {
    const std::string amount = ": " + format_size(static_cast<double>(done), "B");
    line = std::string(description) + amount + " [" + format_interval(elapsed) + ", " + rate_text +
           "]";
    const std::size_t room = width > 0 ? width - 1 : 0;
    if (width > 0 && line.size() > room && room >= amount.size() + MIN_DESCRIPTION) {
      return shorten_from_left(description, room - amount.size()) + amount;
    }
  } else {
    const double fraction = std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    const std::string remaining =
        rate > 0 ? format_interval(static_cast<double>(total > done ? total - done : 0) / rate)
                 : "?";
    const std::string left =
        std::string(description) + ": " + printf_text("%3.0f", std::floor(fraction * 100.0)) + "%|";
    const std::string right = "| " + format_size(static_cast<double>(done), "B") + "/" +
                              format_size(static_cast<double>(total), "B") + " [" +
                              format_interval(elapsed) + "<" + remaining + ", " + rate_text + "]";
    const std::size_t room = width > 0 ? width - 1 : 0;
    const std::size_t used = left.size() + right.size();
    constexpr std::size_t MIN_BAR = 10;
    if (width > 0 && used + MIN_BAR > room) {
      // A narrow terminal: the percentage and the amounts matter more than
      // the bar, the rate and the start of the description.
      const std::string essentials = ": " + printf_text("%3.0f", std::floor(fraction * 100.0)) +
                                     "% " + format_size(static_cast<double>(done), "B") + "/" +
                                     format_size(static_cast<double>(total), "B");
      if (room >= essentials.size() + MIN_DESCRIPTION) {
        return shorten_from_left(description, room - essentials.size()) + essentials;
      }
    }
    const std::size_t bar_width = room > used ? std::min<std::size_t>(room - used, 40) : MIN_BAR;
    const auto filled = static_cast<std::size_t>(fraction * static_cast<double>(bar_width));
    line = left + std::string(filled, '#') + std::string(bar_width - filled, ' ') + right;
  }
  if (width > 0 && line.size() > width - 1) line.resize(width - 1);
  return line;
}

ProgressBoard::ProgressBoard() : ProgressBoard(std::chrono::steady_clock::now) {}

ProgressBoard::ProgressBoard(Clock clock)
    : ProgressBoard(is_ansi_terminal(STDERR_FILENO), write_stderr, std::move(clock), stderr_width,
                    stderr_rows) {}

ProgressBoard::ProgressBoard(bool enabled, Writer writer, Clock clock, Width width)
    : ProgressBoard(enabled, std::move(writer), std::move(clock), std::move(width),
                    [] { return std::size_t{0}; }) {}

ProgressBoard::ProgressBoard(bool enabled, Writer writer, Clock clock, Width width, Rows rows)
    : enabled_(enabled),
      writer_(std::move(writer)),
      clock_(std::move(clock)),
      width_(std::move(width)),
      rows_(std::move(rows)) {}

ProgressBoard::~ProgressBoard() {
  bars_.clear();
  if (enabled_ && lines_on_screen_ > 0) {
    try {
      erase();
    } catch (...) {
      // Leaving a line behind is better than ending the program here.
    }
  }
}

ProgressBoard::Id ProgressBoard::add(std::string description, std::uint64_t total) {
  Id id = next_id_++;
  const auto now = clock_();
  if (added_++ == 0) first_added_ = now;
  bars_.push_back(Bar{id, std::move(description), total, 0, now, false});
  return id;
}

void ProgressBoard::advance(Id id, std::uint64_t amount) {
  Bar* bar = find(id);
  if (!bar) return;
  bar->done += amount;
  if (!enabled_) return;
  if (!bar->shown || clock_() - last_draw_ >= REDRAW_INTERVAL) draw();
}

void ProgressBoard::remove(Id id) {
  auto it = std::find_if(bars_.begin(), bars_.end(), [&](const Bar& b) { return b.id == id; });
  if (it == bars_.end()) return;
  const bool was_shown = it->shown;
  ++finished_;
  finished_bytes_ += it->done;
  bars_.erase(it);
  if (enabled_ && was_shown) draw();
}

void ProgressBoard::print_above(const std::function<void()>& print) {
  if (!enabled_ || lines_on_screen_ == 0) {
    print();
    return;
  }
  erase();
  print();
  draw();
}

std::uint64_t ProgressBoard::done(Id id) const {
  const Bar* bar = find(id);
  return bar ? bar->done : 0;
}

ProgressBoard::Bar* ProgressBoard::find(Id id) {
  for (Bar& bar : bars_) {
    if (bar.id == id) return &bar;
  }
  return nullptr;
}

const ProgressBoard::Bar* ProgressBoard::find(Id id) const {
  for (const Bar& bar : bars_) {
    if (bar.id == id) return &bar;
  }
  return nullptr;
}

std::string ProgressBoard::overall_line(std::chrono::steady_clock::time_point now,
                                        std::size_t width) const {
  std::uint64_t bytes = finished_bytes_;
  for (const Bar& bar : bars_) bytes += bar.done;
  const double elapsed = std::chrono::duration<double>(now - first_added_).count();
  const double rate = elapsed > 0 ? static_cast<double>(bytes) / elapsed : 0.0;
  std::string line = "Total: " + std::to_string(finished_) + "/" + std::to_string(added_) +
                     " done, " + format_size(static_cast<double>(bytes), "B") + " [" +
                     format_interval(elapsed) + ", " +
                     (rate > 0 ? format_size(rate, "B/s") : std::string("?B/s")) + "]";
  if (width > 0 && line.size() > width - 1) line.resize(width - 1);
  return line;
}

// Back to the first bar line, every bar on a cleared line of its own, then
// the lines of bars that went away cleared. The lines drawn
// stay within the terminal's rows less the one the cursor rests on.
void ProgressBoard::draw() {
  const auto now = clock_();
  const std::size_t width = width_();
  const std::size_t rows = rows_();
  const bool crowded = rows > 0 && bars_.size() + 2 > rows;
  const std::size_t room = rows > 1 ? rows - 1 : 1;  // lines above the cursor's row
  const std::size_t drawn_bars = !crowded ? bars_.size() : room >= 3 ? room - 2 : 0;
  std::string out = "\r";
  if (lines_on_screen_ > 0) out += "\x1b[" + std::to_string(lines_on_screen_) + "A";
  std::size_t lines = 0;
  for (Bar& bar : bars_) {
    bar.shown = true;  // drawn, or counted in the summary
    if (lines >= drawn_bars) continue;
    const double elapsed = std::chrono::duration<double>(now - bar.started).count();
    out += "\x1b[2K" + render_progress_line(bar.description, bar.done, bar.total, elapsed, width) +
           "\n";
    ++lines;
  }
  if (crowded) {
    if (room >= 3) {
      std::string more = "... and " + std::to_string(bars_.size() - drawn_bars) + " more";
      if (width > 0 && more.size() > width - 1) more.resize(width - 1);
      out += "\x1b[2K" + more + "\n";
      ++lines;
    }
    out += "\x1b[2K" + overall_line(now, width) + "\n";
    ++lines;
  }
  if (lines_on_screen_ > lines) out += clear_lines(lines_on_screen_ - lines);
  lines_on_screen_ = lines;
  last_draw_ = now;
  writer_(out);
}

void ProgressBoard::erase() {
  std::string out = "\r";
  if (lines_on_screen_ > 0) {
    out += "\x1b[" + std::to_string(lines_on_screen_) + "A" + clear_lines(lines_on_screen_);
  }
  lines_on_screen_ = 0;
  writer_(out);
}

}  // namespace keelbox

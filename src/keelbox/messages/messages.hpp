#pragma once
// Every line for the user and every colour goes through here.
#include <functional>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace keelbox {

inline constexpr std::string_view MODULE_COLOR = "yellow";
inline constexpr std::string_view PACKAGE_COLOR = "blue";

// `text` wrapped in escape sequences: the colour (when given), bold (when set),
// the text, then always the reset-all sequence. Unknown colour names are a
// programming error and throw std::invalid_argument.
std::string style(std::string_view text, std::optional<std::string_view> fg = std::nullopt,
                  bool bold = false);

// Writes `message` and one line feed to standard output and flushes, as
// printable_text() shows it: colour codes are removed when standard output is
// not a terminal (or NO_COLOR is set to a non-empty value).
void send_message(std::string_view message);

// While in scope, the lines send_message() would write on this thread go to
// `sink` instead (a thread beside the one that draws progress bars hands
// them to it). What the sink itself sends goes out as usual.
class MessagesTo {
 public:
  explicit MessagesTo(std::function<void(std::string_view)> sink);
  ~MessagesTo();
  MessagesTo(const MessagesTo&) = delete;
  MessagesTo& operator=(const MessagesTo&) = delete;

 private:
  std::function<void(std::string_view)> sink_;
  const std::function<void(std::string_view)>* before_;
};

// Writes `text` and one line feed to standard error, shown the same way with
// the colour rule applied to standard error.
void send_error_line(std::string_view text);

// Writes `text` (no line feed added) to standard output and flushes, shown the
// same way. Used for prompts.
void send_prompt(std::string_view text);

// `text` as the tool prints it: colour codes (ESC "[" digits and ";" then
// "m", the only sequences the tool writes itself) kept when `colours` is set
// and removed otherwise; every other control character but the line feed and
// the tab made visible (show_controls_keep_lines), so that no other escape
// sequence reaches the terminal or a pipe; the credentials of every URL
// masked (mask_url_credentials).
std::string printable_text(std::string_view text, bool colours);

// Shows `prompt` (as send_prompt does) and reads answer lines from `in` until
// `accept` takes one; after each refused answer `refusal` is sent as a line
// when it is not empty. While it waits for a line, an interrupt is reported
// as one during a prompt. Input that ends before an answer is PromptAborted;
// a last line without a line feed is an answer.
void prompt_until(std::string_view prompt, const std::function<bool(const std::string&)>& accept,
                  std::string_view refusal = {}, std::istream& in = std::cin);

// Every escape sequence (ESC "[" parameters final-letter) removed.
std::string strip_escape_sequences(std::string_view text);

// Whether escape sequences survive on the given stream (1 = stdout, 2 = stderr).
bool colours_enabled(int fd);

// Thrown when standard output was closed by its reader; the run ends with
// status 1 and prints nothing further.
class BrokenPipe : public std::runtime_error {
 public:
  BrokenPipe() : std::runtime_error("broken pipe") {}
};

// Thrown when input ends while a prompt waits for an answer; the run ends
// with "Aborted!" and status 1.
struct PromptAborted {};

}  // namespace keelbox

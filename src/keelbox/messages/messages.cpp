#include "keelbox/messages/messages.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/environment.hpp"
#include "keelbox/process/interrupt.hpp"
#include "keelbox/terminal/console.hpp"
#include "keelbox/text/notation.hpp"
#include "keelbox/text/strings.hpp"

namespace keelbox {
namespace {

const char* colour_code(std::string_view name) {
  if (name == "red") return "31";
  if (name == "green") return "32";
  if (name == "yellow") return "33";
  if (name == "blue") return "34";
  throw std::invalid_argument("unknown colour: " + std::string(name));
}

// Writes all of `data` to `fd`; a closed reader ends the run as a broken pipe.
// Any other failure to write standard output (a full disk behind a redirect)
// ends the run as a failure: output the user asked for is missing. Failures
// on standard error are dropped, there is nowhere left to report them.
void write_stream(int fd, std::string_view data) {
  const int err = write_output(fd, data);
  if (err == 0) return;
  if (err == EPIPE) throw BrokenPipe();
  if (fd != STDOUT_FILENO) return;
  throw FileSystemError(std::string("Cannot write to standard output: ") + std::strerror(err));
}

// Length of the colour code (ESC "[" digits and ";" then "m") at the start of
// `text`, or 0 when none is there.
std::size_t colour_code_length(std::string_view text) {
  if (text.size() < 3 || text[0] != '\x1b' || text[1] != '[') return 0;
  std::size_t i = 2;
  while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || text[i] == ';')) ++i;
  return i < text.size() && text[i] == 'm' ? i + 1 : 0;
}

void emit(int fd, std::string_view text, bool newline) {
  std::string out = printable_text(text, colours_enabled(fd));
  if (newline) out += '\n';
  write_stream(fd, out);
}

}  // namespace

std::string style(std::string_view text, std::optional<std::string_view> fg, bool bold) {
  std::string out;
  if (fg) out += std::string("\x1b[") + colour_code(*fg) + "m";
  if (bold) out += "\x1b[1m";
  out += text;
  out += "\x1b[0m";
  return out;
}

std::string strip_escape_sequences(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
      std::size_t j = i + 2;
      while (j < text.size() &&
             ((text[j] >= '0' && text[j] <= '9') || text[j] == ';' || text[j] == '?')) {
        ++j;
      }
      if (j < text.size() &&
          ((text[j] >= 'A' && text[j] <= 'Z') || (text[j] >= 'a' && text[j] <= 'z'))) {
        i = j;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::string printable_text(std::string_view text, bool colours) {
  std::string out;
  out.reserve(text.size());
  std::size_t plain = 0;  // start of the text not yet copied
  for (std::size_t i = text.find('\x1b'); i != std::string_view::npos; i = text.find('\x1b', i)) {
    const std::size_t length = colour_code_length(text.substr(i));
    if (length == 0) {
      ++i;
      continue;
    }
    out += show_controls_keep_lines(text.substr(plain, i - plain));
    if (colours) out.append(text.substr(i, length));
    i += length;
    plain = i;
  }
  out += show_controls_keep_lines(text.substr(plain));
  return mask_url_credentials(out);
}

bool colours_enabled(int fd) {
  const auto no_color = environment_variable("NO_COLOR");
  if (no_color && !no_color->empty()) return false;
  return is_ansi_terminal(fd);
}

namespace {
thread_local const std::function<void(std::string_view)>* t_message_sink = nullptr;
}  // namespace

MessagesTo::MessagesTo(std::function<void(std::string_view)> sink)
    : sink_(std::move(sink)), before_(t_message_sink) {
  t_message_sink = &sink_;
}

MessagesTo::~MessagesTo() { t_message_sink = before_; }

void send_message(std::string_view message) {
  if (const auto* sink = t_message_sink) {
    // The sink's own lines go out as usual.
    t_message_sink = nullptr;
    struct Restore {
      const std::function<void(std::string_view)>* sink;
      ~Restore() { t_message_sink = sink; }
    } restore{sink};
    (*sink)(message);
    return;
  }
  emit(STDOUT_FILENO, message, true);
}

void send_error_line(std::string_view text) { emit(STDERR_FILENO, text, true); }

void send_prompt(std::string_view text) { emit(STDOUT_FILENO, text, false); }

void prompt_until(std::string_view prompt, const std::function<bool(const std::string&)>& accept,
                  std::string_view refusal, std::istream& in) {
  for (;;) {
    std::string line;
    bool got = false;
    {
      // Waiting from before the prompt shows: a Ctrl-C typed as soon as it
      // appears must find the flag set.
      const PromptWaiting waiting;
      send_prompt(prompt);
      got = static_cast<bool>(std::getline(in, line));
    }
    if (!got) {
      yield_to_interrupt();  // input ended by a Ctrl-C is the interrupt's to report
      throw PromptAborted{};
    }
    if (accept(line)) return;
    if (!refusal.empty()) send_message(refusal);
  }
}

}  // namespace keelbox

#include "keelbox/trace/trace.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "keelbox/platform/environment.hpp"
#include "keelbox/platform/io.hpp"

namespace keelbox::trace {
namespace {

using Clock = std::chrono::steady_clock;

// The start of the run, as near to it as static initialisation gets.
const Clock::time_point started = Clock::now();

constexpr int UNREAD = -1;
std::atomic<int> current{UNREAD};

std::mutex& sink_mutex() {
  static std::mutex mutex;
  return mutex;
}
std::function<void(std::string_view)>& test_sink() {
  static std::function<void(std::string_view)> sink;
  return sink;
}

Level from_environment() {
  const std::string value = environment_variable("KEELBOX_LOG").value_or("");
  if (value == "debug") return Level::debug;
  if (value == "info") return Level::info;
  return Level::off;
}

bool harmless_query_name(std::string_view name) {
  return name == "limit" || name == "page" || name == "offset";
}

}  // namespace

Level level() {
  int value = current.load(std::memory_order_relaxed);
  if (value == UNREAD) {
    value = static_cast<int>(from_environment());
    current.store(value, std::memory_order_relaxed);
  }
  return static_cast<Level>(value);
}

void trace(Level wanted, std::string_view category, std::string_view text) {
  if (!enabled(wanted)) return;
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%7.3fs] ", seconds);
  std::string line = stamp;
  line += category;
  line += ": ";
  line += mask_userinfo(text);
  line += '\n';
  const std::lock_guard<std::mutex> lock(sink_mutex());
  if (test_sink()) {
    test_sink()(line);
  } else {
    write_all(2, line);  // a trace that cannot be written is no reason to stop
  }
}

std::string mask_userinfo(std::string_view text) {
  std::string out;
  std::size_t from = 0;
  for (;;) {
    const std::size_t scheme_end = text.find("://", from);
    if (scheme_end == std::string_view::npos) break;
    const std::size_t start = scheme_end + 3;
    const std::size_t end = std::min(text.find_first_of("/?# \t\"'", start), text.size());
    const std::size_t at = text.substr(start, end - start).rfind('@');
    out += text.substr(from, start - from);
    if (at != std::string_view::npos) {
      out += "***";
      from = start + at;  // from the "@" on
    } else {
      from = start;
    }
  }
  out += text.substr(from);
  return out;
}

std::string mask_url(std::string_view url) {
  std::string out = mask_userinfo(url);
  const std::size_t question = out.find('?');
  if (question == std::string::npos) return out;
  const std::size_t fragment = out.find('#', question);
  const std::string query = out.substr(
      question + 1, fragment == std::string::npos ? std::string::npos : fragment - question - 1);
  std::string masked;
  std::size_t pos = 0;
  while (pos <= query.size()) {
    const std::size_t amp = std::min(query.find('&', pos), query.size());
    const std::string pair = query.substr(pos, amp - pos);
    const std::size_t eq = pair.find('=');
    if (!masked.empty() || pos > 0) masked += '&';
    if (eq == std::string::npos || harmless_query_name(pair.substr(0, eq))) {
      masked += pair;
    } else {
      masked += pair.substr(0, eq + 1) + "***";
    }
    pos = amp + 1;
  }
  return out.substr(0, question + 1) + masked +
         (fragment == std::string::npos ? "" : out.substr(fragment));
}

std::string mask_command_line(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) {
    if (!out.empty()) out += ' ';
    out += word.find("://") == std::string::npos ? word : mask_url(word);
  }
  return out;
}

std::string short_id(std::string_view id) {
  if (id.size() <= 4) return std::string(id.substr(0, id.size() / 2)) + "...";
  return std::string(id.substr(0, 4)) + "...";
}

void set_for_testing(Level wanted, std::function<void(std::string_view)> sink) {
  current.store(static_cast<int>(wanted), std::memory_order_relaxed);
  const std::lock_guard<std::mutex> lock(sink_mutex());
  test_sink() = std::move(sink);
}

}  // namespace keelbox::trace

#include "keelbox/process/command_line.hpp"

#include <algorithm>
#include <cstddef>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {

namespace {

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return ascii_upper(x) == ascii_upper(y);
         });
}

}  // namespace

bool less_ignoring_ascii_case(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(ascii_upper(x)) < static_cast<unsigned char>(ascii_upper(y));
  });
}

std::string quote_windows_argument(std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos)
    return std::string(arg);
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal except before a quote: there each is doubled
    // and the quote itself escaped.
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');  // before the closing quote
  out += '"';
  return out;
}

std::string windows_command_line(std::string_view program, const std::vector<std::string>& args) {
  if (program.find('"') != std::string_view::npos) {
    throw ProcessStartError("Cannot start " + std::string(program) +
                            ": a program path cannot hold a quote");
  }
  std::string line;
  line.reserve(program.size() + 2);
  line += '"';
  line += program;
  line += '"';
  for (const auto& arg : args) {
    line += ' ';
    line += quote_windows_argument(arg);
  }
  return line;
}

std::string windows_environment_block(const Environment& env) {
  std::vector<std::pair<std::string_view, std::string_view>> entries;
  entries.reserve(env.size());
  for (const auto& [name, value] : env) {
    const bool bad_name = name.empty() || name.find('=', 1) != std::string::npos ||
                          name.find('\0') != std::string::npos;
    if (bad_name || value.find('\0') != std::string::npos) {
      throw ProcessStartError("Cannot pass the environment variable '" + name +
                              "' to a child process");
    }
    entries.emplace_back(name, value);
  }
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return less_ignoring_ascii_case(a.first, b.first);
  });
  std::string block;
  std::string_view previous;
  bool first = true;
  for (const auto& [name, value] : entries) {
    if (!first && equal_ignoring_case(name, previous)) continue;
    first = false;
    previous = name;
    block.append(name).append(1, '=').append(value).append(1, '\0');
  }
  if (block.empty()) block.append(1, '\0');
  block.append(1, '\0');
  return block;
}

bool is_windows_batch_file(std::string_view program) {
  // Windows drops trailing dots and blanks from a file name: "x.bat. " is x.bat.
  while (!program.empty() && (program.back() == '.' || program.back() == ' '))
    program.remove_suffix(1);
  if (program.size() < 4) return false;
  const std::string_view ext = program.substr(program.size() - 4);
  return equal_ignoring_case(ext, ".bat") || equal_ignoring_case(ext, ".cmd");
}

}  // namespace keelbox

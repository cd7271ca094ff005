#include "keelbox/cli/help.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <optional>

#include "keelbox/terminal/size.hpp"
#include "keelbox/text/strings.hpp"

namespace keelbox::cli {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool is_blank_chunk(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return is_space(c); });
}

// The length on screen: UTF-8 continuation bytes take no column.
std::size_t columns(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

// Words and the runs of blanks between them, in order.
std::vector<std::string> chunks_of(std::string_view text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t j = i;
    bool space = is_space(text[i]);
    while (j < text.size() && is_space(text[j]) == space) ++j;
    out.emplace_back(text.substr(i, j - i));
    i = j;
  }
  return out;
}

// Greedy filling of lines: leading blanks of every line but the first and
// trailing blanks of every line are dropped; a word longer than a line is cut.
std::string fill(std::string_view text, std::size_t width, const std::string& initial,
                 const std::string& subsequent) {
  std::vector<std::string> chunks = chunks_of(text);
  std::reverse(chunks.begin(), chunks.end());
  std::vector<std::string> lines;
  while (!chunks.empty()) {
    const std::string& indent = lines.empty() ? initial : subsequent;
    std::size_t avail = width > columns(indent) ? width - columns(indent) : 1;
    if (!lines.empty() && is_blank_chunk(chunks.back())) chunks.pop_back();
    std::vector<std::string> line;
    std::size_t len = 0;
    while (!chunks.empty() && len + columns(chunks.back()) <= avail) {
      len += columns(chunks.back());
      line.push_back(std::move(chunks.back()));
      chunks.pop_back();
    }
    if (!chunks.empty() && columns(chunks.back()) > avail) {
      // A word longer than the line: cut it to fill the rest of this line.
      std::size_t space_left = avail - len;
      if (space_left > 0) {
        std::string& word = chunks.back();
        line.push_back(word.substr(0, space_left));
        word.erase(0, space_left);
      }
    }
    if (!line.empty() && is_blank_chunk(line.back())) line.pop_back();
    if (!line.empty()) {
      std::string joined = indent;
      for (const auto& c : line) joined += c;
      lines.push_back(joined);
    }
  }
  return join(lines, "\n");
}

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      if (start < text.size()) out.emplace_back(text.substr(start));
      break;
    }
    out.emplace_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

}  // namespace

// The descriptor of standard output, the same number on every system.
constexpr int STANDARD_OUTPUT = 1;

std::size_t help_width() {
  const std::size_t columns =
      std::min<std::size_t>(terminal_columns(STANDARD_OUTPUT).value_or(80), 80);
  return std::max<std::size_t>(columns, 52) - 2;
}

std::string wrap_text(std::string_view text, std::size_t width, std::string_view initial_indent,
                      std::string_view subsequent_indent) {
  struct Paragraph {
    std::size_t indent;
    std::string text;
  };
  std::vector<Paragraph> paragraphs;
  std::vector<std::string> buf;
  // The indent of the paragraph's first line; kNone before that line.
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t indent = kNone;
  auto flush = [&] {
    if (buf.empty()) return;
    paragraphs.push_back({indent == kNone ? 0 : indent, join(buf, " ")});
    buf.clear();
  };
  for (std::string line : split_lines(text)) {
    if (line.empty()) {
      flush();
      indent = kNone;
      continue;
    }
    if (indent == kNone) {
      std::size_t first = 0;
      while (first < line.size() && is_space(line[first])) ++first;
      indent = first;
      line.erase(0, first);
    }
    buf.push_back(line);
  }
  flush();
  std::string out;
  for (std::size_t i = 0; i < paragraphs.size(); ++i) {
    if (i) out += "\n\n";
    std::string extra(paragraphs[i].indent, ' ');
    out += fill(paragraphs[i].text, width, std::string(initial_indent) + extra,
                std::string(subsequent_indent) + extra);
  }
  return out;
}

std::string definition_list(const std::vector<std::pair<std::string, std::string>>& rows,
                            std::size_t width) {
  constexpr std::size_t indent = 2, col_max = 30, col_spacing = 2;
  std::size_t widest = 0;
  for (const auto& row : rows) widest = std::max(widest, columns(row.first));
  std::size_t first_col = std::min(widest, col_max) + col_spacing;
  std::string out;
  for (const auto& [label, help] : rows) {
    out += std::string(indent, ' ') + label;
    if (help.empty()) {
      out += '\n';
      continue;
    }
    if (columns(label) <= first_col - col_spacing) {
      out += std::string(first_col - columns(label), ' ');
    } else {
      out += '\n' + std::string(first_col + indent, ' ');
    }
    std::size_t text_width = static_cast<std::size_t>(std::max<std::ptrdiff_t>(
        static_cast<std::ptrdiff_t>(width) - static_cast<std::ptrdiff_t>(first_col) - 2, 10));
    auto lines = split_lines(wrap_text(help, text_width, "", ""));
    if (lines.empty()) {
      out += '\n';
      continue;
    }
    out += lines[0] + '\n';
    for (std::size_t i = 1; i < lines.size(); ++i) {
      out += std::string(first_col + indent, ' ') + lines[i] + '\n';
    }
  }
  return out;
}

std::string usage_line(std::string_view command_path, const CommandDef& command) {
  return "Usage: " + std::string(command_path) + " " + usage_pieces(command);
}

std::string render_help(std::string_view command_path, const CommandDef& command,
                        std::size_t width) {
  std::string out = usage_line(command_path, command) + "\n";
  if (!command.description.empty()) {
    out += '\n';
    out += wrap_text(command.description, width, "  ", "  ");
    out += '\n';
  }
  std::vector<std::pair<std::string, std::string>> rows;
  for (const auto& option : command.options) {
    rows.emplace_back(option_label(option), std::string(option.help));
  }
  if (!rows.empty()) out += "\nOptions:\n" + definition_list(rows, width);
  if (command.is_group) {
    std::vector<std::pair<std::string, std::string>> cmds;
    for (const CommandDef* c : commands_by_name()) {
      cmds.emplace_back(std::string(c->name), short_help(*c));
    }
    if (!cmds.empty()) out += "\nCommands:\n" + definition_list(cmds, width);
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string render_usage_error(std::string_view command_path, const CommandDef& command,
                               std::string_view message) {
  return usage_line(command_path, command) + "\nTry '" + std::string(command_path) +
         " --help' for help.\n\nError: " + std::string(message);
}

}  // namespace keelbox::cli

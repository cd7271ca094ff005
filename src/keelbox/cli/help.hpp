#pragma once
// Help screens and usage-error blocks, laid out like the click framework:
// usage line, the description reflowed into paragraphs, then aligned
// "Options:" and "Commands:" sections.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "keelbox/cli/command_table.hpp"

namespace keelbox::cli {

// The width of help text: the terminal width (COLUMNS first, then the size of
// the terminal on standard output, else 80) capped at 80, less a margin of 2,
// and never below 50.
std::size_t help_width();

// Wraps `text` to `width` columns. Paragraphs are separated by blank lines;
// each keeps the indentation of its first line and is reflowed as one run of
// words (runs of blanks inside are kept). Paragraphs are joined by a blank line.
std::string wrap_text(std::string_view text, std::size_t width, std::string_view initial_indent,
                      std::string_view subsequent_indent);

// Two aligned columns, indented by 2: rows of (label, help).
std::string definition_list(const std::vector<std::pair<std::string, std::string>>& rows,
                            std::size_t width);

// "Usage: keelbox install [OPTIONS] [NAMES]..."; `command_path` is the
// program name, followed by the command name for a command.
std::string usage_line(std::string_view command_path, const CommandDef& command);

// The full help screen, without a trailing line feed.
std::string render_help(std::string_view command_path, const CommandDef& command,
                        std::size_t width);

// The usage-error block, without a trailing line feed:
// usage line, "Try '<path> --help' for help.", empty line, "Error: <message>".
std::string render_usage_error(std::string_view command_path, const CommandDef& command,
                               std::string_view message);

}  // namespace keelbox::cli

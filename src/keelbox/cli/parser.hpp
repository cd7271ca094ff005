#pragma once
// Parsing of the command line against the command table, with the click
// framework's conventions: "--opt value" and "--opt=value", bundled short
// flags ("-yr FILE", "-rFILE"), "--" ending the options, options and words
// interleaved within a command, eager --help/--version acted on in
// command-line order once their level parsed cleanly.
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "keelbox/cli/command_table.hpp"

namespace keelbox::cli {

// The values of one command, after defaults and environment variables.
struct ParsedValues {
  std::map<std::string, bool, std::less<>> flags;                         // every flag
  std::map<std::string, std::optional<std::string>, std::less<>> values;  // single values
  std::map<std::string, std::vector<std::string>, std::less<>> lists;     // multiple values
  std::vector<std::string> arguments;                                     // positional words

  bool flag(std::string_view param) const;
  std::optional<std::string> value(std::string_view param) const;
  std::vector<std::string> list(std::string_view param) const;
};

enum class ParseAction {
  ShowHelp,     // print the help screen of `command`
  ShowVersion,  // print the version line
  UsageError,   // print the usage-error block of `command` (status 2)
  RunRoot,      // no command: the root handler runs with `root_values`
  RunCommand,   // run `command` with `values`
};

struct ParseResult {
  ParseAction action = ParseAction::RunRoot;
  const CommandDef* command = nullptr;  // the command concerned (the root when none)
  std::string command_path;             // "keelbox" or "keelbox install"
  std::string error;                    // the description of a usage error
  ParsedValues root_values;
  ParsedValues values;
};

using EnvGetter = std::function<std::optional<std::string>(std::string_view)>;

// Parses `args` (everything after the program name). `prog` is the program
// name shown in usage lines.
ParseResult parse_command_line(std::string_view prog, const std::vector<std::string>& args,
                               const EnvGetter& env);

}  // namespace keelbox::cli

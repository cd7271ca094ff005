#pragma once
// The whole vocabulary of the command line, as data: commands, their options,
// metavars, help texts, the texts only the manual page shows, descriptions and
// the handler that runs each command. The parser, the dispatch, the help
// screens, the manual page and the shell completion scripts are all derived
// from it.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox::cli {

enum class OptionAction {
  Flag,     // a boolean switch
  Value,    // takes one value
  Help,     // eager: prints the help screen and ends the run
  Version,  // eager: prints the version line and ends the run
};

// How a value is checked when the command line is parsed.
enum class ValueType {
  None,  // flags
  Text,  // any text
  File,  // a file path: an existing directory or unreadable file is refused
  Path,  // a filesystem path, taken as it is
};

struct OptionDef {
  std::string_view param;               // parameter name, e.g. "token_id"
  std::vector<std::string_view> names;  // e.g. {"-r", "--requirements"}
  OptionAction action = OptionAction::Flag;
  ValueType type = ValueType::None;
  std::string_view metavar;  // "TEXT", "FILE", "PATH"; empty for flags
  std::string_view help;     // may be empty
  bool multiple = false;     // may be given any number of times
  std::string_view envvar;   // read when the option is not given (non-empty values only)
  std::optional<std::string_view> default_value;  // for value options
  std::string_view manual_help;  // the manual's text when the help screen shows none
  std::string_view envvar_help;  // the manual's entry for `envvar`; `quoted` words are bold
};

// Positional words collected into one list parameter.
struct ArgumentDef {
  std::string_view param;    // "names"
  std::string_view metavar;  // "NAMES"
};

struct ParseResult;

// Runs a command once its command line parsed cleanly; the parse result
// carries the values of the root and of the command.
using Handler = void (*)(const ParseResult& parsed);

struct CommandDef {
  std::string_view name;           // the root's name is the program name "keelbox"
  std::string_view description;    // the help text (first sentence is the short help)
  std::vector<OptionDef> options;  // in help order, "--help" last
  std::optional<ArgumentDef> argument;
  bool is_group = false;      // the root: takes a COMMAND
  Handler handler = nullptr;  // what the command does
  // Commands also reached below this one, as its first word ("keelbox modules
  // download-examples", the form the help texts show). Help screens do not list them.
  std::vector<std::string_view> nested;
};

// The root command group.
const CommandDef& root_command();
// The commands in registration order: init, modules, install, download-examples.
const std::vector<CommandDef>& commands();
// The commands sorted by name (the order of help screens).
std::vector<const CommandDef*> commands_by_name();
const CommandDef* find_command(std::string_view name);
// The command `word` names below `command` (one of its `nested`), or nullptr.
const CommandDef* find_nested_command(const CommandDef& command, std::string_view word);
// The option of `command` with the given name ("-y", "--yes"), or nullptr.
const OptionDef* find_option(const CommandDef& command, std::string_view name);

// The words after "Usage: <prog> [<command>]": "[OPTIONS] COMMAND [ARGS]..."
// for the root, "[OPTIONS] [NAMES]..." for install, "[OPTIONS]" otherwise.
std::string usage_pieces(const CommandDef& command);

// The first sentence of the description, shortened at a word boundary and
// ended with "..." when longer than `max_length`.
std::string short_help(const CommandDef& command, std::size_t max_length = 45);

// The option's first help column: "-r, --requirements FILE".
std::string option_label(const OptionDef& option);

// The name of the variable that selects the cloud environment for init.
inline constexpr std::string_view CLOUD_ENVIRONMENT_VAR = "KEELBOX_CLOUD_ENVIRONMENT";

}  // namespace keelbox::cli

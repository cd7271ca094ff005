#pragma once
// Shell completion in the convention of click-based tools.
//
//   _KEELBOX_COMPLETE=bash_source keelbox   (also zsh_source, fish_source)
//
// prints a script for the shell; sourced, it calls the tool back with
// _KEELBOX_COMPLETE=<shell>_complete, COMP_WORDS and COMP_CWORD, and the tool
// answers with the commands and options that fit, taken from the command table.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox::cli {

// The variable that asks for completion: "_KEELBOX_COMPLETE" for "keelbox".
std::string completion_variable(std::string_view prog_name);

// One completion answer: "plain" (a word), "file" or "dir" (let the shell
// complete paths).
struct CompletionItem {
  std::string type;
  std::string value;
  std::string help;
};

// What fits the current word `incomplete`, given the words before it (program
// name excluded).
std::vector<CompletionItem> complete(const std::vector<std::string>& args,
                                     std::string_view incomplete);

// The script for `shell` ("bash", "zsh", "fish"), or nullopt for another shell.
std::optional<std::string> completion_script(std::string_view shell, std::string_view prog_name);

// Acts on the completion variable when it is set: prints the script or the
// answers and returns the exit status. Returns nullopt when the variable is
// not set (an ordinary run).
std::optional<int> handle_completion_request(std::string_view prog_name);

}  // namespace keelbox::cli

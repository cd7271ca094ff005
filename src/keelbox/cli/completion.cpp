#include "keelbox/cli/completion.hpp"

#include <iostream>

#include "keelbox/cli/command_table.hpp"
#include "keelbox/platform/environment.hpp"

namespace keelbox::cli {
namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string env_or_empty(const std::string& name) {
  return environment_variable(name).value_or("");
}

// Splits a command line the way a shell would, for the words completion needs:
// blanks separate words, quotes group them, a backslash escapes one character.
std::vector<std::string> split_words(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quote) {
      if (c == quote) {
        quote = 0;
      } else if (c == '\\' && quote == '"' && i + 1 < line.size()) {
        word += line[++i];
      } else {
        word += c;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
      in_word = true;
    } else if (c == '\\' && i + 1 < line.size()) {
      word += line[++i];
      in_word = true;
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

void add_options(const CommandDef& command, const std::vector<std::string>& used,
                 std::string_view incomplete, std::vector<CompletionItem>& out) {
  for (const auto& option : command.options) {
    bool already = false;
    for (auto name : option.names) {
      for (const auto& u : used) already = already || u == name;
    }
    if (already && !option.multiple) continue;
    for (auto name : option.names) {
      if (starts_with(name, incomplete)) {
        out.push_back({"plain", std::string(name), std::string(option.help)});
      }
    }
  }
}

}  // namespace

std::string completion_variable(std::string_view prog_name) {
  std::string var = "_";
  for (char c : prog_name) {
    if (c == '-' || c == '.') {
      var += '_';
    } else {
      var += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return var + "_COMPLETE";
}

std::vector<CompletionItem> complete(const std::vector<std::string>& args,
                                     std::string_view incomplete) {
  // Walk the words: find the command, and whether the last word awaits a value.
  const CommandDef* command = &root_command();
  bool in_command = false;
  const OptionDef* awaiting = nullptr;
  std::vector<std::string> used;
  bool after_double_dash = false;
  bool first_in_command = false;  // the next word may name a nested command
  for (const auto& word : args) {
    if (awaiting) {
      awaiting = nullptr;
      continue;
    }
    if (after_double_dash) continue;
    if (word == "--") {
      after_double_dash = true;
      continue;
    }
    if (starts_with(word, "-")) {
      std::string name = word.substr(0, word.find('='));
      used.push_back(name);
      const OptionDef* option = find_option(*command, name);
      if (option && option->action == OptionAction::Value && name.size() == word.size()) {
        awaiting = option;
      }
      continue;
    }
    if (!in_command) {
      if (const CommandDef* sub = find_command(word)) {
        command = sub;
        in_command = true;
        used.clear();
        first_in_command = true;
        continue;
      }
    } else if (first_in_command) {
      if (const CommandDef* nested = find_nested_command(*command, word)) command = nested;
    }
    first_in_command = false;
  }

  std::vector<CompletionItem> out;
  if (awaiting) {
    if (awaiting->type == ValueType::File || awaiting->type == ValueType::Path) {
      out.push_back({"file", std::string(incomplete), ""});
    }
    return out;
  }
  if (starts_with(incomplete, "-")) {
    add_options(*command, used, incomplete, out);
    return out;
  }
  if (!in_command) {
    for (const CommandDef* sub : commands_by_name()) {
      if (starts_with(sub->name, incomplete)) {
        out.push_back({"plain", std::string(sub->name), short_help(*sub)});
      }
    }
  }
  return out;
}

std::optional<std::string> completion_script(std::string_view shell, std::string_view prog_name) {
  const std::string prog(prog_name);
  const std::string var = completion_variable(prog_name);
  std::string func = "_" + prog + "_completion";
  for (auto& c : func) {
    if (c == '-' || c == '.') c = '_';
  }
  if (shell == "bash") {
    return func +
           "() {\n"
           "    local IFS=$'\\n'\n"
           "    local response\n"
           "\n"
           "    response=$(env COMP_WORDS=\"${COMP_WORDS[*]}\" COMP_CWORD=$COMP_CWORD " +
           var +
           "=bash_complete $1)\n"
           "\n"
           "    for completion in $response; do\n"
           "        IFS=',' read type value <<< \"$completion\"\n"
           "\n"
           "        if [[ $type == 'dir' ]]; then\n"
           "            COMPREPLY=()\n"
           "            compopt -o dirnames\n"
           "        elif [[ $type == 'file' ]]; then\n"
           "            COMPREPLY=()\n"
           "            compopt -o default\n"
           "        elif [[ $type == 'plain' ]]; then\n"
           "            COMPREPLY+=($value)\n"
           "        fi\n"
           "    done\n"
           "\n"
           "    return 0\n"
           "}\n"
           "\n" +
           func +
           "_setup() {\n"
           "    complete -o nosort -F " +
           func + " " + prog +
           "\n"
           "}\n"
           "\n" +
           func + "_setup;\n";
  }
  if (shell == "zsh") {
    return "#compdef " + prog +
           "\n"
           "\n" +
           func +
           "() {\n"
           "    local -a completions\n"
           "    local -a completions_with_descriptions\n"
           "    local -a response\n"
           "    (( ! $+commands[" +
           prog +
           "] )) && return 1\n"
           "\n"
           "    response=(\"${(@f)$(env COMP_WORDS=\"${words[*]}\" COMP_CWORD=$((CURRENT-1)) " +
           var + "=zsh_complete " + prog +
           ")}\")\n"
           "\n"
           "    for type key descr in ${response}; do\n"
           "        if [[ \"$type\" == \"plain\" ]]; then\n"
           "            if [[ \"$descr\" == \"_\" ]]; then\n"
           "                completions+=(\"$key\")\n"
           "            else\n"
           "                completions_with_descriptions+=(\"$key\":\"$descr\")\n"
           "            fi\n"
           "        elif [[ \"$type\" == \"dir\" ]]; then\n"
           "            _path_files -/\n"
           "        elif [[ \"$type\" == \"file\" ]]; then\n"
           "            _path_files -f\n"
           "        fi\n"
           "    done\n"
           "\n"
           "    if [ -n \"$completions_with_descriptions\" ]; then\n"
           "        _describe -V unsorted completions_with_descriptions -U\n"
           "    fi\n"
           "\n"
           "    if [ -n \"$completions\" ]; then\n"
           "        compadd -U -V unsorted -a completions\n"
           "    fi\n"
           "}\n"
           "\n"
           "if [[ $zsh_eval_context[-1] == loadautofunc ]]; then\n"
           "    " +
           func +
           " \"$@\"\n"
           "else\n"
           "    compdef " +
           func + " " + prog +
           "\n"
           "fi\n";
  }
  if (shell == "fish") {
    return "function " + func +
           ";\n"
           "    set -l response (env " +
           var + "=fish_complete COMP_WORDS=(commandline -cp) COMP_CWORD=(commandline -t) " + prog +
           ");\n"
           "\n"
           "    for completion in $response;\n"
           "        set -l metadata (string split \",\" $completion);\n"
           "\n"
           "        if test $metadata[1] = \"dir\";\n"
           "            __fish_complete_directories $metadata[2];\n"
           "        else if test $metadata[1] = \"file\";\n"
           "            __fish_complete_path $metadata[2];\n"
           "        else if test $metadata[1] = \"plain\";\n"
           "            echo $metadata[2];\n"
           "        end;\n"
           "    end;\n"
           "end;\n"
           "\n"
           "complete --no-files --command " +
           prog + " --arguments \"(" + func + ")\";\n";
  }
  return std::nullopt;
}

std::optional<int> handle_completion_request(std::string_view prog_name) {
  const std::string instruction = env_or_empty(completion_variable(prog_name));
  if (instruction.empty()) return std::nullopt;
  const auto underscore = instruction.find('_');
  if (underscore == std::string::npos) return 1;
  const std::string shell = instruction.substr(0, underscore);
  const std::string action = instruction.substr(underscore + 1);

  if (action == "source") {
    auto script = completion_script(shell, prog_name);
    if (!script) return 1;
    std::cout << *script << std::flush;
    return std::cout ? 0 : 1;  // a script that could not be written (full disk) is no success
  }
  if (action != "complete") return 1;

  std::vector<std::string> words = split_words(env_or_empty("COMP_WORDS"));
  std::vector<std::string> args;
  std::string incomplete;
  if (shell == "fish") {
    // COMP_WORDS is the line up to the cursor, COMP_CWORD the current token.
    incomplete = env_or_empty("COMP_CWORD");
    args.assign(words.begin() + (words.empty() ? 0 : 1), words.end());
    if (!incomplete.empty() && !args.empty() && args.back() == incomplete) args.pop_back();
  } else if (shell == "bash" || shell == "zsh") {
    std::size_t cword = 0;
    try {
      cword = static_cast<std::size_t>(std::stoul(env_or_empty("COMP_CWORD")));
    } catch (...) {
      cword = words.size();
    }
    if (cword < words.size()) incomplete = words[cword];
    for (std::size_t i = 1; i < words.size() && i < cword; ++i) args.push_back(words[i]);
  } else {
    return 1;
  }

  for (const auto& item : complete(args, incomplete)) {
    if (shell == "bash") {
      std::cout << item.type << ',' << item.value << '\n';
    } else if (shell == "zsh") {
      std::cout << item.type << '\n'
                << item.value << '\n'
                << (item.help.empty() ? "_" : item.help) << '\n';
    } else {
      std::cout << item.type << ',' << item.value;
      if (!item.help.empty()) std::cout << '\t' << item.help;
      std::cout << '\n';
    }
  }
  std::cout << std::flush;
  return std::cout ? 0 : 1;
}

}  // namespace keelbox::cli

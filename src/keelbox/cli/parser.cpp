#include "keelbox/cli/parser.hpp"

#include <algorithm>
#include <filesystem>

#include "keelbox/platform/files.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/text/strings.hpp"

namespace keelbox::cli {
namespace {

// A problem the user caused on the command line.
struct UsageProblem {
  std::string message;
};

// Python's repr of a short text: single quotes unless the text holds one.
std::string py_repr(std::string_view text) {
  bool has_single = text.find('\'') != std::string_view::npos;
  bool has_double = text.find('"') != std::string_view::npos;
  char q = (has_single && !has_double) ? '"' : '\'';
  std::string out(1, q);
  for (char c : text) {
    if (c == q || c == '\\') out += '\\';
    out += c;
  }
  out += q;
  return out;
}

// The number of matching characters of a and b (Ratcliff/Obershelp: the
// longest common block, then the same on both sides of it).
std::size_t matching_characters(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty()) return 0;
  std::size_t best_i = 0, best_j = 0, best = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    for (std::size_t j = 0; j < b.size(); ++j) {
      std::size_t k = 0;
      while (i + k < a.size() && j + k < b.size() && a[i + k] == b[j + k]) ++k;
      if (k > best) {
        best = k;
        best_i = i;
        best_j = j;
      }
    }
  }
  if (best == 0) return 0;
  return best + matching_characters(a.substr(0, best_i), b.substr(0, best_j)) +
         matching_characters(a.substr(best_i + best), b.substr(best_j + best));
}

// Up to three long options of `command` similar to `name` (similarity of at
// least 0.6), sorted by name.
std::vector<std::string> close_long_options(const CommandDef& command, std::string_view name) {
  std::vector<std::pair<double, std::string>> scored;
  for (const auto& option : command.options) {
    for (auto candidate : option.names) {
      if (candidate.rfind("--", 0) != 0) continue;
      double ratio = 2.0 * static_cast<double>(matching_characters(candidate, name)) /
                     static_cast<double>(candidate.size() + name.size());
      if (ratio >= 0.6) scored.emplace_back(ratio, std::string(candidate));
    }
  }
  std::stable_sort(scored.begin(), scored.end(),
                   [](const auto& x, const auto& y) { return x.first > y.first; });
  if (scored.size() > 3) scored.resize(3);
  std::vector<std::string> out;
  for (auto& s : scored) out.push_back(std::move(s.second));
  std::sort(out.begin(), out.end());
  return out;
}

std::string no_such_long_option(const CommandDef& command, const std::string& name) {
  std::string message = "No such option: " + name;
  auto similar = close_long_options(command, name);
  if (similar.size() == 1) return message + " Did you mean " + similar.front() + "?";
  if (similar.size() > 1) {
    message += " (Possible options: ";
    for (std::size_t i = 0; i < similar.size(); ++i) message += (i ? ", " : "") + similar[i];
    return message + ")";
  }
  return message;
}

struct LevelState {
  ParsedValues values;
  std::vector<const OptionDef*> eager;  // in command-line order
  std::vector<std::string> given;       // params given on the command line
};

std::string param_hint(const OptionDef& option) {
  std::string out;
  for (std::size_t i = 0; i < option.names.size(); ++i) {
    if (i) out += " / ";
    out += "'" + std::string(option.names[i]) + "'";
  }
  return out;
}

void store(LevelState& state, const OptionDef& option, const std::string& value) {
  state.given.emplace_back(option.param);
  if (option.multiple) {
    state.values.lists[std::string(option.param)].push_back(value);
  } else {
    state.values.values[std::string(option.param)] = value;
  }
}

void act(LevelState& state, const OptionDef& option) {
  switch (option.action) {
    case OptionAction::Help:
    case OptionAction::Version: state.eager.push_back(&option); break;
    case OptionAction::Flag: state.values.flags[std::string(option.param)] = true; break;
    case OptionAction::Value: break;
  }
}

// Parses the words of one level. A group stops at its first positional word
// (the command name): the words from there on are returned in `rest`.
LevelState parse_level(const CommandDef& command, const std::vector<std::string>& args,
                       std::size_t start, std::vector<std::string>& rest) {
  LevelState state;
  for (const auto& option : command.options) {
    if (option.action == OptionAction::Flag) state.values.flags[std::string(option.param)] = false;
  }
  std::size_t i = start;
  auto positional = [&](const std::string& word) -> bool {
    if (command.is_group) return false;  // stop: the rest belongs to the command
    state.values.arguments.push_back(word);
    return true;
  };
  while (i < args.size()) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      if (command.is_group) break;
      for (; i < args.size(); ++i) state.values.arguments.push_back(args[i]);
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      if (!positional(arg)) break;
      ++i;
      continue;
    }
    ++i;
    if (arg.rfind("--", 0) == 0) {
      auto eq = arg.find('=');
      std::string name = arg.substr(0, eq);
      const OptionDef* option = find_option(command, name);
      if (!option) throw UsageProblem{no_such_long_option(command, name)};
      if (option->action != OptionAction::Value) {
        if (eq != std::string::npos) {
          throw UsageProblem{"Option " + py_repr(name) + " does not take a value."};
        }
        act(state, *option);
        continue;
      }
      if (eq != std::string::npos) {
        store(state, *option, arg.substr(eq + 1));
      } else if (i < args.size()) {
        store(state, *option, args[i++]);
      } else {
        throw UsageProblem{"Option " + py_repr(name) + " requires an argument."};
      }
      continue;
    }
    // Short options, possibly bundled: "-y", "-yr FILE", "-rFILE".
    for (std::size_t k = 1; k < arg.size(); ++k) {
      std::string name = std::string("-") + arg[k];
      const OptionDef* option = find_option(command, name);
      if (!option) throw UsageProblem{"No such option: " + name};
      if (option->action != OptionAction::Value) {
        act(state, *option);
        continue;
      }
      if (k + 1 < arg.size()) {
        store(state, *option, arg.substr(k + 1));
      } else if (i < args.size()) {
        store(state, *option, args[i++]);
      } else {
        throw UsageProblem{"Option " + py_repr(name) + " requires an argument."};
      }
      break;
    }
  }
  rest.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  return state;
}

// Defaults, environment variables and the checks of typed values.
void finish_values(const CommandDef& command, LevelState& state, const EnvGetter& env) {
  for (const auto& option : command.options) {
    if (option.action != OptionAction::Value) continue;
    std::string param(option.param);
    bool given = std::find(state.given.begin(), state.given.end(), param) != state.given.end();
    if (option.multiple) {
      state.values.lists[param];  // an empty list when never given
      continue;
    }
    if (!given) {
      std::optional<std::string> from_env;
      if (!option.envvar.empty()) {
        auto v = env(option.envvar);
        if (v && !v->empty()) from_env = v;
      }
      if (from_env) {
        state.values.values[param] = *from_env;
      } else if (option.default_value) {
        state.values.values[param] = std::string(*option.default_value);
      } else {
        state.values.values[param] = std::nullopt;
      }
    }
    const auto& value = state.values.values[param];
    if (option.type == ValueType::File && value) {
      namespace fs = std::filesystem;
      std::error_code ec;
      const fs::path file = path_from_utf8(*value);
      auto status = fs::status(file, ec);
      if (!ec && fs::exists(status)) {
        if (fs::is_directory(status)) {
          throw UsageProblem{"Invalid value for " + param_hint(option) + ": File " +
                             py_repr(*value) + " is a directory."};
        }
        if (!can_read(file)) {
          throw UsageProblem{"Invalid value for " + param_hint(option) + ": File " +
                             py_repr(*value) + " is not readable."};
        }
      }
    }
  }
}

std::string extra_arguments(const std::vector<std::string>& words) {
  return std::string("Got unexpected extra argument") + (words.size() == 1 ? "" : "s") + " (" +
         join(words, " ") + ")";
}

}  // namespace

bool ParsedValues::flag(std::string_view param) const {
  auto it = flags.find(param);
  return it != flags.end() && it->second;
}

std::optional<std::string> ParsedValues::value(std::string_view param) const {
  auto it = values.find(param);
  return it == values.end() ? std::nullopt : it->second;
}

std::vector<std::string> ParsedValues::list(std::string_view param) const {
  auto it = lists.find(param);
  return it == lists.end() ? std::vector<std::string>{} : it->second;
}

ParseResult parse_command_line(std::string_view prog, const std::vector<std::string>& args,
                               const EnvGetter& env) {
  ParseResult result;
  const CommandDef& root = root_command();
  result.command = &root;
  result.command_path = std::string(prog);

  auto eager_outcome = [&](const LevelState& state) -> bool {
    if (state.eager.empty()) return false;
    result.action = state.eager.front()->action == OptionAction::Help ? ParseAction::ShowHelp
                                                                      : ParseAction::ShowVersion;
    return true;
  };

  std::vector<std::string> rest;
  LevelState root_state;
  try {
    root_state = parse_level(root, args, 0, rest);
    if (eager_outcome(root_state)) return result;
    finish_values(root, root_state, env);
  } catch (const UsageProblem& p) {
    result.action = ParseAction::UsageError;
    result.error = p.message;
    return result;
  }
  result.root_values = root_state.values;
  if (rest.empty()) {
    result.action = ParseAction::RunRoot;
    return result;
  }
  const CommandDef* command = find_command(rest.front());
  if (!command) {
    result.action = ParseAction::UsageError;
    result.error = "No such command " + py_repr(rest.front()) + ".";
    return result;
  }
  result.command = command;
  result.command_path += " " + std::string(command->name);
  std::size_t first_word = 1;
  if (rest.size() > 1) {
    if (const CommandDef* nested = find_nested_command(*command, rest[1])) {
      command = nested;
      result.command = command;
      result.command_path += " " + std::string(command->name);
      first_word = 2;
    }
  }
  try {
    std::vector<std::string> none;
    LevelState state = parse_level(*command, rest, first_word, none);
    if (eager_outcome(state)) return result;
    finish_values(*command, state, env);
    if (!command->argument && !state.values.arguments.empty()) {
      throw UsageProblem{extra_arguments(state.values.arguments)};
    }
    result.values = state.values;
  } catch (const UsageProblem& p) {
    result.action = ParseAction::UsageError;
    result.error = p.message;
    return result;
  }
  result.action = ParseAction::RunCommand;
  return result;
}

}  // namespace keelbox::cli

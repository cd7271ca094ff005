#include "keelbox/cli/command_table.hpp"

#include <algorithm>
#include <span>
#include <sstream>

#include "keelbox/cli/handlers.hpp"
#include "keelbox/text/strings.hpp"

namespace keelbox::cli {
namespace {

OptionDef option(std::string_view param, std::vector<std::string_view> names,
                 std::string_view help) {
  OptionDef o;
  o.param = param;
  o.names = std::move(names);
  o.help = help;
  return o;
}

OptionDef value_option(std::string_view param, std::vector<std::string_view> names, ValueType type,
                       std::string_view metavar, std::string_view help) {
  OptionDef o = option(param, std::move(names), help);
  o.action = OptionAction::Value;
  o.type = type;
  o.metavar = metavar;
  return o;
}

OptionDef help_option() {
  OptionDef o = option("help", {"--help"}, "Show this message and exit.");
  o.action = OptionAction::Help;
  return o;
}

CommandDef command(std::string_view name, std::string_view description,
                   std::vector<OptionDef> options, Handler handler) {
  CommandDef c;
  c.name = name;
  c.description = description;
  c.options = std::move(options);
  c.options.push_back(help_option());
  c.handler = handler;
  return c;
}

CommandDef init_def() {
  OptionDef token_id = value_option("token_id", {"--token-id"}, ValueType::Text, "TEXT", "");
  token_id.manual_help = "The token id. Asked for when not given.";
  OptionDef token = value_option("token", {"--token"}, ValueType::Text, "TEXT", "");
  token.manual_help = "The token secret. Asked for when not given (the answer is shown as typed).";
  OptionDef cloud =
      value_option("cloud_environment", {"--cloud-environment"}, ValueType::Text, "TEXT", "");
  cloud.envvar = CLOUD_ENVIRONMENT_VAR;
  cloud.default_value = "cloud";
  cloud.manual_help =
      "The cloud environment: \"dev\" or \"dev.cloud\" selects the development cloud, any other "
      "value the main cloud.";
  cloud.envvar_help =
      "The cloud environment for `init` (\"cloud\" or \"dev\"), when `--cloud-environment` is not "
      "given.";
  return command("init", "Initialize Keelbox.", {token_id, token, cloud}, run_init);
}

CommandDef install_def() {
  CommandDef c = command(
      "install",
      "Install Keelbox modules and packages.\n"
      "\n"
      "Args:\n"
      "    names (list[str]): Names of the modules and packages to install.\n"
      "    yes (bool, optional): Confirm installation without prompting. Defaults to False.\n"
      "    requirements (Path | None, optional): Path to a requirements file. Defaults to None.\n"
      "\n"
      "Example:\n"
      "    keelbox install zvk_sample_app_py --yes\n"
      "    keelbox install \"ZVK Tracer App\" zvk-sample-app\n"
      "    keelbox install \"ZVK Tracer App\" zvk_sample_app_py",
      {option("yes", {"-y", "--yes"}, "Confirm installation without prompting."),
       value_option("requirements", {"-r", "--requirements"}, ValueType::File, "FILE",
                    "Path to a requirements file.")},
      run_install);
  c.argument = ArgumentDef{"names", "NAMES"};
  return c;
}

CommandDef download_examples_def() {
  OptionDef modules = value_option("module_names", {"-m", "--modules"}, ValueType::Text, "TEXT",
                                   "Download examples for a specific module. Can be used multiple "
                                   "times.");
  modules.multiple = true;
  return command(
      "download-examples",
      "Download Keelbox examples for your modules.\n"
      "\n"
      "Provide module names with the command line argument -m or --modules.\n"
      "The command tries to find matching examples for incomplete names.\n"
      "If no modules name is provided, all available examples will be downloaded.\n"
      "\n"
      "Args:\n"
      "    download_dir (Path, optional): Directory to download the examples to. Defaults to "
      "None.\n"
      "    module_names (list[str], optional): The modules to download examples for. Defaults to "
      "None.\n"
      "    list_available (bool, optional): If True, list available examples. Defaults to False.\n"
      "\n"
      "Example:\n"
      "    keelbox modules download-examples\n"
      "\n"
      "Example:\n"
      "    keelbox modules download-examples -m zvk-plenum -m ferrule",
      {value_option("download_dir", {"--download-dir"}, ValueType::Path, "PATH",
                    "The path to the directory to download the examples to."),
       modules, option("list_available", {"--list-available"}, "List available examples.")},
      run_download_examples);
}

std::vector<CommandDef> build_commands() {
  CommandDef modules =
      command("modules", "Show your available Keelbox modules and packages.", {}, run_modules);
  modules.nested = {"download-examples"};
  return {init_def(), modules, install_def(), download_examples_def()};
}

}  // namespace

const CommandDef& root_command() {
  static const CommandDef root = [] {
    OptionDef version = option("version", {"--version"}, "Show the version and exit.");
    version.action = OptionAction::Version;
    CommandDef c =
        command("keelbox", "The ZVK Numerics CLI tool for managing ZVK software modules.",
                {version,
                 option("info", {"--info"}, "Display ZVK Numerics CLI tool information and exit.")},
                run_root);
    c.is_group = true;
    return c;
  }();
  return root;
}

const std::vector<CommandDef>& commands() {
  static const std::vector<CommandDef> table = build_commands();
  return table;
}

std::vector<const CommandDef*> commands_by_name() {
  std::vector<const CommandDef*> out;
  for (const auto& c : commands()) out.push_back(&c);
  std::sort(out.begin(), out.end(),
            [](const CommandDef* a, const CommandDef* b) { return a->name < b->name; });
  return out;
}

const CommandDef* find_command(std::string_view name) {
  for (const auto& c : commands()) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

const CommandDef* find_nested_command(const CommandDef& command, std::string_view word) {
  for (auto name : command.nested) {
    if (name == word) return find_command(name);
  }
  return nullptr;
}

const OptionDef* find_option(const CommandDef& command, std::string_view name) {
  for (const auto& o : command.options) {
    for (auto n : o.names) {
      if (n == name) return &o;
    }
  }
  return nullptr;
}

std::string usage_pieces(const CommandDef& command) {
  std::string out = "[OPTIONS]";
  if (command.is_group) out += " COMMAND [ARGS]...";
  if (command.argument) out += " [" + std::string(command.argument->metavar) + "]...";
  return out;
}

std::string short_help(const CommandDef& command, std::size_t max_length) {
  std::string text(command.description);
  if (auto end = text.find("\n\n"); end != std::string::npos) text.resize(end);
  std::vector<std::string> words;
  {
    std::istringstream in(text);
    std::string w;
    while (in >> w) words.push_back(w);
  }
  if (words.empty()) return "";
  auto first_words = [&](std::size_t n) { return join(std::span(words).first(n), " "); };
  std::size_t total = 0;
  std::size_t i = 0;
  bool truncate = false;
  for (; i < words.size(); ++i) {
    total += words[i].size() + (i > 0 ? 1 : 0);
    if (total > max_length) {
      truncate = true;
      break;
    }
    if (words[i].back() == '.') return first_words(i + 1);  // the first sentence ends here
    if (total == max_length && i + 1 != words.size()) {
      truncate = true;
      break;
    }
  }
  if (!truncate) return first_words(words.size());
  total += 3;  // the "..." suffix
  while (i > 0) {
    total -= words[i].size() + 1;
    if (total <= max_length) break;
    --i;
  }
  return first_words(i) + "...";
}

std::string option_label(const OptionDef& option) {
  std::string out = join(option.names, ", ");
  if (option.action == OptionAction::Value) {
    out += ' ';
    out += option.metavar;
  }
  return out;
}

}  // namespace keelbox::cli

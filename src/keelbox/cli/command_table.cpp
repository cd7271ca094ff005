#include "keelbox/cli/command_table.hpp"

#include <algorithm>
#include <sstream>

namespace keelbox::cli {
namespace {

OptionDef help_option() {
  return OptionDef{"help", {"--help"}, OptionAction::Help, ValueType::None, "",
                    "Show this message and exit.", false, "", std::nullopt};
}

std::vector<CommandDef> build_commands() {
  std::vector<CommandDef> out;
  out.push_back(CommandDef{
      "init",
      "init_keelbox",
      "Initialize Keelbox.",
      {
          {"token_id", {"--token-id"}, OptionAction::Value, ValueType::Text, "TEXT", "", false, "",
           std::nullopt},
          {"token", {"--token"}, OptionAction::Value, ValueType::Text, "TEXT", "", false, "",
           std::nullopt},
          {"cloud_environment", {"--cloud-environment"}, OptionAction::Value, ValueType::Text,
           "TEXT", "", false, CLOUD_ENVIRONMENT_VAR, "cloud"},
          help_option(),
      },
      std::nullopt,
      false});
  out.push_back(CommandDef{"modules",
                            "show_modules",
                            "Show your available Keelbox modules and packages.",
                            {help_option()},
                            std::nullopt,
                            false});
  out.push_back(CommandDef{
      "install",
      "install_modules",
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
      {
          {"yes", {"-y", "--yes"}, OptionAction::Flag, ValueType::None, "",
           "Confirm installation without prompting.", false, "", std::nullopt},
          {"requirements", {"-r", "--requirements"}, OptionAction::Value, ValueType::File, "FILE",
           "Path to a requirements file.", false, "", std::nullopt},
          help_option(),
      },
      ArgumentDef{"names", "NAMES"},
      false});
  out.push_back(CommandDef{
      "download-examples",
      "download_examples",
      "Download Keelbox examples for your modules.\n"
      "\n"
      "Provide module names with the command line argument -m or --modules.\n"
      "The command tries to find matching examples for incomplete names.\n"
      "If no modules name is provided, all available examples will be downloaded.\n"
      "\n"
      "Args:\n"
      "    download_dir (Path, optional): Directory to download the examples to. Defaults to None.\n"
      "    module_names (list[str], optional): The modules to download examples for. Defaults to "
      "None.\n"
      "    list_available (bool, optional): If True, list available examples. Defaults to False.\n"
      "\n"
      "Example:\n"
      "    keelbox modules download-examples\n"
      "\n"
      "Example:\n"
      "    keelbox modules download-examples -m zvk-plenum -m ferrule",
      {
          {"download_dir", {"--download-dir"}, OptionAction::Value, ValueType::Path, "PATH",
           "The path to the directory to download the examples to.", false, "", std::nullopt},
          {"module_names", {"-m", "--modules"}, OptionAction::Value, ValueType::Text, "TEXT",
           "Download examples for a specific module. Can be used multiple times.", true, "",
           std::nullopt},
          {"list_available", {"--list-available"}, OptionAction::Flag, ValueType::None, "",
           "List available examples.", false, "", std::nullopt},
          help_option(),
      },
      std::nullopt,
      false});
  return out;
}

}  // namespace

const CommandDef& root_command() {
  static const CommandDef root{
      "keelbox",
      "main",
      "The ZVK Numerics CLI tool for managing ZVK software modules.",
      {
          {"version", {"--version"}, OptionAction::Version, ValueType::None, "",
           "Show the version and exit.", false, "", std::nullopt},
          {"info", {"--info"}, OptionAction::Flag, ValueType::None, "",
           "Display ZVK Numerics CLI tool information and exit.", false, "", std::nullopt},
          help_option(),
      },
      std::nullopt,
      true};
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
  auto join = [&](std::size_t n) {
    std::string out;
    for (std::size_t k = 0; k < n; ++k) {
      if (k) out += ' ';
      out += words[k];
    }
    return out;
  };
  std::size_t total = 0;
  std::size_t i = 0;
  bool truncate = false;
  for (; i < words.size(); ++i) {
    total += words[i].size() + (i > 0 ? 1 : 0);
    if (total > max_length) {
      truncate = true;
      break;
    }
    if (words[i].back() == '.') return join(i + 1);  // the first sentence ends here
    if (total == max_length && i + 1 != words.size()) {
      truncate = true;
      break;
    }
  }
  if (!truncate) return join(words.size());
  total += 3;  // the "..." suffix
  while (i > 0) {
    total -= words[i].size() + 1;
    if (total <= max_length) break;
    --i;
  }
  return join(i) + "...";
}

std::string option_label(const OptionDef& option) {
  std::string out;
  for (std::size_t i = 0; i < option.names.size(); ++i) {
    if (i) out += ", ";
    out += option.names[i];
  }
  if (option.action == OptionAction::Value) {
    out += ' ';
    out += option.metavar;
  }
  return out;
}

}  // namespace keelbox::cli

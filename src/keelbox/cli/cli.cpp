#include "keelbox/cli/cli.hpp"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "keelbox/build_config.hpp"
#include "keelbox/cli/base.hpp"
#include "keelbox/cli/completion.hpp"
#include "keelbox/cli/help.hpp"
#include "keelbox/cli/parser.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/platform/filesystem.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/process/interrupt.hpp"
#include "keelbox/system/interpreter.hpp"
#include "keelbox/terminal/console.hpp"
#include "keelbox/text/notation.hpp"

namespace keelbox {
namespace {

std::string program_name(int argc, char** argv) {
  if (argc < 1 || argv[0] == nullptr || argv[0][0] == '\0') return "keelbox";
  std::string name = path_to_utf8(path_from_utf8(argv[0]).filename());
  // Windows starts "keelbox" as keelbox.exe; the name users type has no suffix.
  if (runs_on_windows() && name.size() > 4) {
    std::string suffix = name.substr(name.size() - 4);
    for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (suffix == ".exe") name.resize(name.size() - 4);
  }
  return name.empty() ? "keelbox" : name;
}

// The diagnostic of an unhandled failure; the run ends with status 1.
int report_unhandled(const std::string& prog, const std::exception& e) {
  try {
    send_error_line(prog + ": " + failure_kind(e) + ": " + show_controls_keep_lines(e.what()));
  } catch (...) {
  }
  return 1;
}

int show_notice_if_no_profile() {
  // A profile from the environment needs no file (and a half-given one is
  // reported when a command needs it).
  if (profile_in_environment(process_env())) return 0;
  try {
    get_configparser();
  } catch (const ValidationError&) {
    send_message("No user profile found in the config.");
    send_message("Please run " + style("keelbox init", "yellow") + ".\n");
  }
  return 0;
}

// The root command group: parses, acts and returns the exit status.
int main_group(const std::string& prog, const std::vector<std::string>& args) {
  cli::ParseResult parsed = cli::parse_command_line(prog, args, process_env());
  switch (parsed.action) {
    case cli::ParseAction::ShowHelp:
      send_message(cli::render_help(parsed.command_path, *parsed.command, cli::help_width()));
      return 0;
    case cli::ParseAction::ShowVersion:
      send_message(prog + ", version " + build::VERSION);
      return 0;
    case cli::ParseAction::UsageError:
      send_error_line(cli::render_usage_error(parsed.command_path, *parsed.command, parsed.error));
      return 2;
    case cli::ParseAction::RunRoot:
    case cli::ParseAction::RunCommand: parsed.command->handler(parsed); return 0;
  }
  return 0;
}

}  // namespace

int run_cli(int argc, char** argv) {
  open_missing_standard_streams();
  install_interrupt_handler();
  std::string prog = program_name(argc, argv);
  // A shell asking for completion gets its answer before anything else runs.
  try {
    if (std::optional<int> status = cli::handle_completion_request(prog)) return *status;
  } catch (const std::exception&) {
    return 1;
  }
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

  try {
    // Before the root command: every failure here is unhandled.
    try {
      check_python_version_supported();
      show_notice_if_no_profile();
    } catch (const BrokenPipe&) {
      throw;
    } catch (const std::exception& e) {
      return report_unhandled(prog, e);
    }

    try {
      return main_group(prog, args);
    } catch (const KeelboxException& e) {
      send_error_line(std::string("Error: ") + show_controls_keep_lines(e.message()));
      return 1;
    } catch (const PromptAborted&) {
      send_error_line("Aborted!");
      return 1;
    }
  } catch (const BrokenPipe&) {
    return 1;
  } catch (const std::exception& e) {
    return report_unhandled(prog, e);
  } catch (...) {
    try {
      send_error_line(prog + ": RuntimeError: unknown failure");
    } catch (...) {
    }
    return 1;
  }
}

}  // namespace keelbox

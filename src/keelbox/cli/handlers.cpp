#include "keelbox/cli/handlers.hpp"

#include <filesystem>
#include <optional>

#include "keelbox/cli/base.hpp"
#include "keelbox/cli/help.hpp"
#include "keelbox/context/context.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/modules/modules.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox::cli {
namespace {

std::optional<std::filesystem::path> path_value(const ParsedValues& values,
                                                std::string_view param) {
  if (auto value = values.value(param)) return path_from_utf8(*value);
  return std::nullopt;
}

}  // namespace

void run_root(const ParseResult& parsed) {
  if (parsed.root_values.flag("info")) {
    show_all_entitled_modules(system_context());
  } else {
    send_message(render_help(parsed.command_path, *parsed.command, help_width()));
  }
}

void run_init(const ParseResult& parsed) {
  const ParsedValues& v = parsed.values;
  init_keelbox(v.value("token_id"), v.value("token"), v.value("cloud_environment"));
}

void run_modules(const ParseResult&) { show_modules(system_context()); }

void run_install(const ParseResult& parsed) {
  const ParsedValues& v = parsed.values;
  install_modules_command(system_context(), v.arguments, v.flag("yes"),
                          path_value(v, "requirements"));
}

void run_download_examples(const ParseResult& parsed) {
  const ParsedValues& v = parsed.values;
  download_examples_command(system_context(), path_value(v, "download_dir"), v.list("module_names"),
                            v.flag("list_available"));
}

}  // namespace keelbox::cli

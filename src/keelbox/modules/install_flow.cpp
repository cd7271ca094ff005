// The install flow behind `keelbox install`: resolve the typed names, show
// what will be installed, dry-run and confirm, provision MKL when asked for,
// then install every package in one uv run.
#include <set>

#include "keelbox/http/http.hpp"
#include "keelbox/install/install.hpp"
#include "keelbox/install_mkl/install_mkl.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/modules/catalogue.hpp"
#include "keelbox/modules/modules.hpp"
#include "keelbox/text/notation.hpp"
#include "keelbox/text/strings.hpp"

namespace keelbox {
namespace {

// The name that switches on MKL provisioning (compared after trimming).
constexpr std::string_view MKL_NAME = "mkl";

}  // namespace

std::string _trim(std::string_view text) { return trim_unicode(text); }

std::vector<std::string> _unique_in_order(const std::vector<std::string>& items) {
  std::vector<std::string> out;
  std::set<std::string_view> seen;
  for (const std::string& item : items) {
    if (seen.insert(item).second) out.push_back(item);
  }
  return out;
}

std::optional<bool> _parse_confirmation_answer(std::string_view answer, bool default_yes) {
  const std::string value = ascii_lower(_trim(answer));
  if (value.empty()) return default_yes;
  if (value == "y" || value == "yes") return true;
  if (value == "n" || value == "no") return false;
  return std::nullopt;
}

bool _confirm(std::string_view question, bool default_yes) {
  const std::string prompt = std::string(question) + (default_yes ? " [Y/n]: " : " [y/N]: ");
  std::optional<bool> answer;
  prompt_until(
      prompt,
      [&](const std::string& line) {
        answer = _parse_confirmation_answer(line, default_yes);
        return answer.has_value();
      },
      "Error: invalid input");
  return *answer;
}

void install_modules(
    const Context& context, const std::vector<std::string>& names_in, bool yes,
    const std::optional<std::vector<std::filesystem::path>>& requirements_files_in) {
  const std::vector<std::filesystem::path> requirements_files =
      requirements_files_in.value_or(std::vector<std::filesystem::path>{});

  std::string heading(1, '\n');
  heading += style("Installing modules and packages", std::nullopt, true);
  heading += '\n';
  send_message(heading);
  send_message("Resolving names");

  std::vector<std::string> names;
  names.reserve(names_in.size());
  for (const std::string& name : names_in) names.push_back(_trim(name));

  bool mkl_wanted = false;
  for (auto it = names.begin(); it != names.end(); ++it) {
    if (*it == MKL_NAME) {
      mkl_wanted = true;
      names.erase(it);  // only the first; further copies are ordinary names
      break;
    }
  }

  const std::vector<KeelboxEntitlement> modules = get_all_entitled_modules(context.http);
  const ClassifiedNames classified = install_names_to_modules_and_packages(names, modules);
  // The keys the service named for what is to be installed reach uv's command line.
  std::vector<std::string> service_keys =
      list_of_module_codes_to_list_of_package_names(classified.module_codes, modules);
  service_keys.insert(service_keys.end(), classified.package_names.begin(),
                      classified.package_names.end());
  _check_package_keys(service_keys);

  std::vector<std::string> module_names;
  for (const std::string& code : classified.module_codes)
    module_names.push_back(_module_code_to_name(code));
  send_message(style("Modules", std::nullopt, true) +
               " to install: " + style(list_notation(module_names), MODULE_COLOR));

  std::vector<std::string> additional = classified.package_names;
  additional.insert(additional.end(), classified.error_names.begin(), classified.error_names.end());
  send_message("Additional " + style("packages", std::nullopt, true) +
               " to install: " + style(list_notation(additional), PACKAGE_COLOR));

  std::vector<std::string> all_packages =
      list_of_module_codes_to_list_of_package_names(classified.module_codes, modules);
  all_packages.insert(all_packages.end(), additional.begin(), additional.end());
  const std::vector<std::string> package_set = _unique_in_order(all_packages);
  const std::string styled_set = style(list_notation(package_set), PACKAGE_COLOR);

  if (!yes) {
    send_message("\nPreparing install and resolving dependencies for\n" + styled_set);
    install::install_modules(context, package_set, /*upgrade=*/true, /*dry_run=*/true,
                             requirements_files);
  }

  if (mkl_wanted) send_message(style("MKL", "blue") + " will be installed.");

  if (!yes && !_confirm("Continue?", true)) return;

  send_message("Installing\n" + styled_set);
  if (mkl_wanted) ensure_mkl_in_environment(context);
  install::install_modules(context, package_set, /*upgrade=*/true, /*dry_run=*/false,
                           requirements_files);
}

}  // namespace keelbox

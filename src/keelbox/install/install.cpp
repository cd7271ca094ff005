#include "keelbox/install/install.hpp"

#include "keelbox/api/api.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/http/http.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/text/notation.hpp"
#include "keelbox/uv/uv.hpp"

namespace keelbox::install {

void install_modules(const Context& context, const std::vector<std::string>& names, bool upgrade,
                     bool dry_run,
                     const std::optional<std::vector<std::filesystem::path>>& requirements_files) {
  if (names.empty()) {
    send_message("Nothing to install. Call with --help for more information.");
    return;
  }
  for (const std::string& name : names) {
    if (name.starts_with('-')) {
      throw KeelboxException("Refused to install " + quote_text(name) +
                             ": a package name or requirement cannot begin with \"-\".");
    }
  }
  std::vector<std::string> args = get_uv_pip_install_cmd(context.http, upgrade, names);
  if (dry_run) args.emplace_back("--dry-run");
  if (requirements_files) {
    for (const auto& file : *requirements_files) {
      args.emplace_back("-r");
      args.push_back(file.string());
    }
  }
  run_uv_in_python(context, args, /*capture_output=*/false);
}

std::vector<std::string> get_uv_pip_install_cmd(
    http::Client& client, bool upgrade, const std::optional<std::vector<std::string>>& packages) {
  const api::RequestKWARGSDict request = api::create_get_request(client, "/pip");
  const http::Response response = api::send_get(client, request, /*follow_redirects=*/false);
  std::vector<std::string> args = _generate_default_install_args(upgrade, packages);
  args.emplace_back("--index-url");
  args.push_back(_index_address_from_answer(response));
  return args;
}

std::string _index_address_from_answer(const http::Response& response) {
  if (response.status != 303) {
    response.raise_for_status();
    throw KeelboxException("Unexpected status code " + std::to_string(response.status));
  }
  const std::optional<std::string> location = response.header("location");
  if (!location) {
    throw KeelboxException("The package index address is missing: the answer to " + response.url +
                           " has no \"location\" header.");
  }
  return *location;
}

std::vector<std::string> _generate_default_install_args(
    bool upgrade, const std::optional<std::vector<std::string>>& packages) {
  std::vector<std::string> args = {"pip", "install"};
  if (!packages) return args;
  args.insert(args.end(), packages->begin(), packages->end());
  if (upgrade) {
    for (const auto& p : *packages) {
      args.emplace_back("--upgrade-package");
      args.push_back(p);
    }
  }
  return args;
}

}  // namespace keelbox::install

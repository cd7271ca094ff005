#pragma once
// Commands to install modules and packages: one run of `uv pip install` from
// the vendor's private package index into the target environment.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "keelbox/context/context.hpp"

namespace keelbox::http {
struct Response;
}

namespace keelbox::install {

// Installs `names` (package names or requirement texts, passed to uv
// unchanged) with uv, from the private index, uv's output on the terminal.
// A name beginning with "-" (it would be read as an option) is refused with a
// KeelboxException naming it, before anything runs. Empty `names`: prints "Nothing to install. Call
// with --help for more information." and runs nothing. uv's failure is the KeelboxUVException of
// the runner.
void install_modules(
    const Context& context, const std::vector<std::string>& names, bool upgrade,
    bool dry_run = false,
    const std::optional<std::vector<std::filesystem::path>>& requirements_files = std::nullopt);

// "pip", "install", the packages, ["--upgrade-package", p]... (when `upgrade`),
// "--index-url", the private index address. Asks the core service ("/pip",
// answered with 303 and "location") through `client` on every call.
std::vector<std::string> get_uv_pip_install_cmd(
    http::Client& client, bool upgrade, const std::optional<std::vector<std::string>>& packages);

// The private index address in the answer to "/pip": the "location" header
// of a 303, verbatim. Another status is its HTTPStatusError (400..599) or a
// KeelboxException, as is a 303 without "location".
std::string _index_address_from_answer(const http::Response& response);

// "pip", "install", the packages, ["--upgrade-package", p]... (when `upgrade`);
// just "pip", "install" without a package list.
std::vector<std::string> _generate_default_install_args(
    bool upgrade, const std::optional<std::vector<std::string>>& packages);

}  // namespace keelbox::install

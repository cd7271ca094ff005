#pragma once
// The catalogue, the module listing, name resolution, the install flow and the
// examples.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "keelbox/models/models.hpp"
#include "keelbox/process/process.hpp"

namespace keelbox {
namespace http {
class Client;
}  // namespace http

// ---- entitlements and the module listing ----
std::vector<KeelboxEntitlement> get_user_entitlements(http::Client& client);
std::vector<KeelboxEntitlement> get_all_entitled_modules(http::Client& client);
// `runner` starts uv (here and in the install flow).
void show_all_entitled_modules(ProcessRunner& runner = system_process_runner());

// ---- the install flow ----
void install_modules(
    const std::vector<std::string>& names, bool yes = false,
    const std::optional<std::vector<std::filesystem::path>>& requirements_files = std::nullopt,
    ProcessRunner& runner = system_process_runner());

// ---- examples ----
std::vector<std::string> get_entitled_examples_packages(http::Client& client);
std::vector<std::string> download_examples(
    http::Client& client, const std::optional<std::filesystem::path>& download_dir = std::nullopt,
    const std::optional<std::vector<std::string>>& module_names = std::nullopt);

}  // namespace keelbox

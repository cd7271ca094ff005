#pragma once
// The module listing and the install flow; the pieces below them are in
// catalogue.hpp.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "keelbox/models/models.hpp"
#include "keelbox/process/process.hpp"

namespace keelbox {

// ---- entitlements and the module listing ----
std::vector<KeelboxEntitlement> get_user_entitlements();
std::vector<KeelboxEntitlement> get_all_entitled_modules();
// `runner` starts uv (here and in the install flow).
void show_all_entitled_modules(ProcessRunner& runner = system_process_runner());

// ---- the install flow ----
void install_modules(
    const std::vector<std::string>& names, bool yes = false,
    const std::optional<std::vector<std::filesystem::path>>& requirements_files = std::nullopt,
    ProcessRunner& runner = system_process_runner());

}  // namespace keelbox

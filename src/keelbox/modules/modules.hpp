#pragma once
// The module listing and the install flow; the pieces below them are in
// catalogue.hpp.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "keelbox/context/context.hpp"
#include "keelbox/models/models.hpp"

namespace keelbox {
namespace http {
class Client;
}  // namespace http

// ---- entitlements and the module listing ----
std::vector<KeelboxEntitlement> get_user_entitlements(http::Client& client);
std::vector<KeelboxEntitlement> get_all_entitled_modules(http::Client& client);
// The context's runner starts uv (here and in the install flow); its HTTP
// client asks the service.
void show_all_entitled_modules(const Context& context);

// ---- the install flow ----
void install_modules(
    const Context& context, const std::vector<std::string>& names, bool yes = false,
    const std::optional<std::vector<std::filesystem::path>>& requirements_files = std::nullopt);

}  // namespace keelbox

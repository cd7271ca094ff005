// Stand-ins until the catalogue and install operations land.
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/modules/modules.hpp"

namespace keelbox {

std::vector<KeelboxEntitlement> get_user_entitlements() { throw RuntimeError("not implemented"); }
std::vector<KeelboxEntitlement> get_all_entitled_modules() { throw RuntimeError("not implemented"); }
void show_all_entitled_modules() { throw RuntimeError("not implemented"); }
void install_modules(const std::vector<std::string>&, bool,
                     const std::optional<std::vector<std::filesystem::path>>&) {
  throw RuntimeError("not implemented");
}

}  // namespace keelbox

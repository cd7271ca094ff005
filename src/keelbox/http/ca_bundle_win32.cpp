// libcurl takes the system's certificate store (Schannel): no file to look for.
#include "keelbox/http/ca_bundle.hpp"

namespace keelbox::http {

std::span<const std::string_view> system_ca_bundle_locations() { return {}; }

}  // namespace keelbox::http

// The TLS version on Windows: not told (the trace names the connection only).
#include "keelbox/http/tls_version.hpp"

namespace keelbox::http {

std::optional<std::string> negotiated_tls_version(int, void*) { return std::nullopt; }

}  // namespace keelbox::http

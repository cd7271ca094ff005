// The TLS version of an OpenSSL connection: SSL_get_version() of the OpenSSL
// linked in with libcurl.
#include <curl/curl.h>
#include <openssl/ssl.h>

#include "keelbox/http/tls_version.hpp"

namespace keelbox::http {

std::optional<std::string> negotiated_tls_version(int backend, void* connection) {
  if (backend != CURLSSLBACKEND_OPENSSL || connection == nullptr) return std::nullopt;
  const char* version = SSL_get_version(static_cast<const SSL*>(connection));
  if (version == nullptr) return std::nullopt;
  return std::string(version);
}

}  // namespace keelbox::http

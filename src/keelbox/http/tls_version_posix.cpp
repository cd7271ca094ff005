// The TLS version of an OpenSSL connection: SSL_get_version() of the libssl
// libcurl was loaded with (opened by the same name, so the same library).
#include <curl/curl.h>

#include "keelbox/http/tls_version.hpp"
#include "keelbox/platform/shared_library.hpp"

namespace keelbox::http {
namespace {

SharedLibrary libssl{"libssl.so.3", "the TLS version on the trace"};

}  // namespace

std::optional<std::string> negotiated_tls_version(int backend, void* connection) {
  if (backend != CURLSSLBACKEND_OPENSSL || connection == nullptr) return std::nullopt;
  using GetVersion = const char* (*)(const void*);
  try {
    static const GetVersion get_version = libssl.function<GetVersion>("SSL_get_version");
    const char* version = get_version(connection);
    if (version) return std::string(version);
  } catch (const LibraryLoadError&) {
  }
  return std::nullopt;
}

}  // namespace keelbox::http

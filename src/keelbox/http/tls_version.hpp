#pragma once
// The TLS version a connection negotiated, for the trace: libcurl hands out
// the TLS library's own connection object (CURLINFO_TLS_SSL_PTR), and only
// that library can tell. tls_version_posix.cpp asks OpenSSL (the library the
// tool's libcurl uses there); tls_version_win32.cpp tells nothing.
#include <optional>
#include <string>

namespace keelbox::http {

// "TLSv1.3" and the like, from libcurl's TLS backend number and connection
// object; nothing when the backend cannot be asked.
std::optional<std::string> negotiated_tls_version(int backend, void* connection);

}  // namespace keelbox::http

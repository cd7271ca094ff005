// Where Linux distributions keep the bundle of trusted certificate
// authorities, in the order Go's crypto/x509 looks.
#include <array>

#include "keelbox/http/ca_bundle.hpp"

namespace keelbox::http {

std::span<const std::string_view> system_ca_bundle_locations() {
  static constexpr std::array<std::string_view, 6> locations = {
      "/etc/ssl/certs/ca-certificates.crt",                 // Debian, Ubuntu, Gentoo, Arch
      "/etc/pki/tls/certs/ca-bundle.crt",                   // Fedora, RHEL 6
      "/etc/ssl/ca-bundle.pem",                             // openSUSE
      "/etc/pki/tls/cacert.pem",                            // OpenELEC
      "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",  // CentOS, RHEL 7
      "/etc/ssl/cert.pem",                                  // Alpine
  };
  return locations;
}

}  // namespace keelbox::http

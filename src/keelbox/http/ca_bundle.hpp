#pragma once
// The bundle of certificate authorities a transfer trusts when no variable
// names one (http.hpp). On Linux, libcurl and OpenSSL are linked into the
// executable and know no bundle of their own (the OpenSSL built for one
// distribution looks only where that distribution keeps it), so the system's
// is looked for where the distributions keep it, in the order Go's
// crypto/x509 looks. On Windows libcurl takes the system's certificate store
// (Schannel): there is nothing to look for.
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace keelbox::http {

// The files where systems keep their bundle, in the order looked at; empty
// where the TLS library takes the system's store itself.
std::span<const std::string_view> system_ca_bundle_locations();

// The first of `locations` that `is_file` accepts.
std::optional<std::string> first_ca_bundle(std::span<const std::string_view> locations,
                                           const std::function<bool(const std::string&)>& is_file);

// The system's bundle: the first of system_ca_bundle_locations() that is a
// file (a link to one counts), looked for once per process.
const std::optional<std::string>& system_ca_bundle();

// What the error of a certificate failure adds: where the trusted
// authorities come from, and, when no variable names a bundle, the system
// locations looked at and the one found (`found`, or none).
std::string certificate_hint(bool variable_names_bundle,
                             std::span<const std::string_view> locations,
                             const std::optional<std::string>& found);

}  // namespace keelbox::http

// The system's certificate bundle, looked for where ca_bundle_posix.cpp (or
// ca_bundle_win32.cpp) says, and the hint a certificate failure carries.
#include "keelbox/http/ca_bundle.hpp"

#include <filesystem>
#include <system_error>

namespace keelbox::http {

std::optional<std::string> first_ca_bundle(std::span<const std::string_view> locations,
                                           const std::function<bool(const std::string&)>& is_file) {
  for (std::string_view location : locations) {
    std::string path(location);
    if (is_file(path)) return path;
  }
  return std::nullopt;
}

const std::optional<std::string>& system_ca_bundle() {
  static const std::optional<std::string> found =
      first_ca_bundle(system_ca_bundle_locations(), [](const std::string& path) {
        std::error_code error;
        return std::filesystem::is_regular_file(path, error);
      });
  return found;
}

std::string certificate_hint(bool variable_names_bundle,
                             std::span<const std::string_view> locations,
                             const std::optional<std::string>& found) {
  std::string hint =
      " (the certificate authorities trusted are those in the file SSL_CERT_FILE, else "
      "REQUESTS_CA_BUNDLE, else CURL_CA_BUNDLE, else the system's, and in the folder "
      "SSL_CERT_DIR";
  if (!variable_names_bundle && !locations.empty()) {
    hint += "; no variable names a file, and the system's was looked for at ";
    for (std::size_t i = 0; i < locations.size(); ++i) {
      if (i > 0) hint += ", ";
      hint += locations[i];
    }
    hint += found ? ": found " + *found : ": none found";
  }
  return hint + ")";
}

}  // namespace keelbox::http

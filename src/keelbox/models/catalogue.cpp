// The catalogue records: entitlements and packages, with the version
// arithmetic that decides whether a package is out of date.
#include <string_view>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/models/models.hpp"
#include "keelbox/models/validation.hpp"
#include "keelbox/text/semver.hpp"

namespace keelbox {
namespace {

using json = nlohmann::json;

// The higher of a candidate and an incumbent; a tie goes to the candidate.
// Parses the candidate first; the returned text is unchanged.
const std::string& pairwise_max(const std::string& candidate, const std::string& incumbent) {
  semver::Version a = semver::parse(candidate);
  semver::Version b = semver::parse(incumbent);
  return semver::compare(a, b) >= 0 ? candidate : incumbent;
}

bool is_ascii_alnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

bool is_package_name(std::string_view name) {
  if (name.empty() || !is_ascii_alnum(name.front()) || !is_ascii_alnum(name.back())) return false;
  for (char c : name) {
    if (!is_ascii_alnum(c) && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

KeelboxEntitlement KeelboxEntitlement::from_mapping(const json& mapping) {
  validation::FieldValidator v("KeelboxEntitlement");
  KeelboxEntitlement e;
  if (v.mapping(mapping, {})) {
    auto name = v.required_text(mapping, {}, "name");
    auto code = v.required_text(mapping, {}, "code");
    auto packages = v.required_text_list(mapping, {}, "packages");
    auto required = v.required_text_list(mapping, {}, "required_entitlements");
    v.raise_if_failed();
    e.name = std::move(*name);
    e.code = std::move(*code);
    e.packages = std::move(*packages);
    e.required_entitlements = std::move(*required);
  }
  v.raise_if_failed();
  return e;
}

json KeelboxEntitlement::to_json() const {
  return json{{"name", name},
              {"code", code},
              {"packages", packages},
              {"required_entitlements", required_entitlements}};
}

void to_json(json& j, const KeelboxEntitlement& e) { j = e.to_json(); }
void from_json(const json& j, KeelboxEntitlement& e) { e = KeelboxEntitlement::from_mapping(j); }

KeelboxPackage KeelboxPackage::from_mapping(const json& mapping) {
  validation::FieldValidator v("KeelboxPackage");
  KeelboxPackage p;
  if (v.mapping(mapping, {})) {
    auto key = v.required_text(mapping, {}, "key");
    // Must be given, though it may be null (not installed).
    auto installed = v.required_nullable_text(mapping, {}, "installed_version");
    auto available = v.required_text_list(mapping, {}, "available_versions");
    v.raise_if_failed();
    p.key = std::move(*key);
    p.installed_version = std::move(*installed);
    p.available_versions = std::move(*available);
  }
  v.raise_if_failed();
  return p;
}

std::optional<std::string> KeelboxPackage::max_version() const {
  if (available_versions.empty()) return installed_version;
  std::string m = available_versions.front();
  for (std::size_t i = 1; i < available_versions.size(); ++i) {
    m = pairwise_max(available_versions[i], m);
  }
  if (!installed_version) return m;
  return pairwise_max(m, *installed_version);
}

bool KeelboxPackage::needs_update() const {
  std::optional<std::string> m = max_version();
  if (!m) return false;
  if (!installed_version) return true;
  try {
    return semver::compare(*m, *installed_version) > 0;
  } catch (const InvalidVersionError&) {
    return false;  // only when nothing is available and the installed text is no version
  }
}

}  // namespace keelbox

// The configuration records: profile, options and the whole configuration.
#include "keelbox/models/models.hpp"
#include "keelbox/models/validation.hpp"

namespace keelbox {
namespace {

using validation::FieldPath;
using validation::FieldValidator;

// Reads the profile fields under `prefix`; failures go to `v`.
KeelboxProfile read_profile(FieldValidator& v, const nlohmann::json& m, const FieldPath& prefix) {
  KeelboxProfile profile;
  if (!v.mapping(m, prefix)) return profile;
  if (auto id = v.required_text(m, prefix, "token_id")) profile.token_id = *id;
  if (auto token = v.required_text(m, prefix, "token")) profile.token = *token;
  if (auto env = v.optional_choice(m, prefix, "cloud_environment", CLOUD_ENVS)) {
    profile.cloud_environment = *env;
  }
  return profile;
}

KeelboxOptions read_options(FieldValidator& v, const nlohmann::json& m, const FieldPath& prefix) {
  KeelboxOptions options;
  if (!v.mapping(m, prefix)) return options;
  if (auto advanced = v.optional_bool(m, prefix, "advanced_mode"))
    options.advanced_mode = *advanced;
  return options;
}

}  // namespace

KeelboxProfile KeelboxProfile::from_mapping(const nlohmann::json& mapping) {
  FieldValidator v("KeelboxProfile");
  KeelboxProfile profile = read_profile(v, mapping, {});
  v.raise_if_failed();
  return profile;
}

KeelboxOptions KeelboxOptions::from_mapping(const nlohmann::json& mapping) {
  FieldValidator v("KeelboxOptions");
  KeelboxOptions options = read_options(v, mapping, {});
  v.raise_if_failed();
  return options;
}

KeelboxConfig KeelboxConfig::from_mapping(const nlohmann::json& mapping) {
  FieldValidator v("KeelboxConfig");
  KeelboxConfig config;
  if (v.mapping(mapping, {})) {
    auto profile = mapping.find("profile");
    if (profile == mapping.end()) {
      v.fail({"profile"}, std::string(validation::MISSING));
    } else {
      config.profile = read_profile(v, *profile, {"profile"});
    }
    auto options = mapping.find("options");
    if (options != mapping.end()) config.options = read_options(v, *options, {"options"});
  }
  v.raise_if_failed();
  return config;
}

nlohmann::ordered_json KeelboxConfig::dump() const {
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  out["profile"]["token_id"] = profile.token_id;
  out["profile"]["token"] = profile.token;
  out["profile"]["cloud_environment"] = profile.cloud_environment;
  out["options"]["advanced_mode"] = options.advanced_mode;
  return out;
}

}  // namespace keelbox

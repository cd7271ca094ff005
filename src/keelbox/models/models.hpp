#pragma once
// The validated records: the configuration (profile, options) and the
// catalogue (entitlements, packages).
//
// Records are built from a mapping (a JSON object; the TOML file is read into
// one) and validated field by field: every failing field is reported in one
// ValidationError with its path and reason. Keys that are not fields are
// ignored. Numbers are never turned into text.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace keelbox {

// The cloud environment names, in this order. Compared exactly.
inline const std::vector<std::string> CLOUD_ENVS = {"cloud", "dev.cloud"};

struct KeelboxProfile {
  std::string token_id;
  std::string token;
  std::string cloud_environment = "cloud";

  // Validates `mapping` (a JSON object); throws ValidationError.
  static KeelboxProfile from_mapping(const nlohmann::json& mapping);
  bool operator==(const KeelboxProfile&) const = default;
};

struct KeelboxOptions {
  bool advanced_mode = false;

  static KeelboxOptions from_mapping(const nlohmann::json& mapping);
  bool operator==(const KeelboxOptions&) const = default;
};

struct KeelboxConfig {
  KeelboxProfile profile;
  KeelboxOptions options;  // a fresh default record when the mapping lacks it

  static KeelboxConfig from_mapping(const nlohmann::json& mapping);
  // The serialised form: keys in declaration order, nested records nested.
  nlohmann::ordered_json dump() const;
  bool operator==(const KeelboxConfig&) const = default;
};

struct KeelboxEntitlement {
  std::string name;
  std::string code;
  std::vector<std::string> packages;
  std::vector<std::string> required_entitlements;

  static KeelboxEntitlement from_mapping(const nlohmann::json& mapping);
  nlohmann::json to_json() const;
  bool operator==(const KeelboxEntitlement&) const = default;
};

struct KeelboxPackage {
  std::string key;
  std::optional<std::string> installed_version;
  std::vector<std::string> available_versions;

  // `installed_version` must be present in the mapping, though it may be null.
  static KeelboxPackage from_mapping(const nlohmann::json& mapping);

  // The highest of the available versions and the installed one; ties go to
  // the candidate. Throws InvalidVersionError on an invalid version met while
  // comparing.
  std::optional<std::string> max_version() const;
  // Whether a newer version than the installed one is available.
  bool needs_update() const;
  bool operator==(const KeelboxPackage&) const = default;
};

// Whether `name` is a package (distribution) name: ASCII letters and digits,
// with ".", "_" and "-" allowed between them (never first or last). A key the
// service names a package by must be one before it may reach uv's command
// line, where anything else could be read as an option.
bool is_package_name(std::string_view name);

// JSON conversion used by the cache's value serialisation.
void to_json(nlohmann::json& j, const KeelboxEntitlement& e);
void from_json(const nlohmann::json& j, KeelboxEntitlement& e);

}  // namespace keelbox

// Name resolution: what a typed name denotes among the account's modules, and
// the display names of module codes.
#include <map>

#include "keelbox/modules/catalogue.hpp"
#include "keelbox/text/strings.hpp"

namespace keelbox {

std::string _normalize_name_for_module(std::string_view name) {
  std::string result = unicode_upper(name);
  for (char& ch : result) {
    if (ch == '-' || ch == ' ') ch = '_';
  }
  if (!std::string_view(result).starts_with("ENT_")) result.insert(0, "ENT_");
  return result;
}

std::optional<std::string> str_to_module(std::string_view name,
                                         const std::vector<KeelboxEntitlement>& entitlements) {
  const std::string normalized = _normalize_name_for_module(name);
  for (const KeelboxEntitlement& e : entitlements) {
    if (e.code == normalized) return e.code;
  }
  return std::nullopt;
}

std::optional<std::string> str_to_package(std::string_view name,
                                          const std::vector<KeelboxEntitlement>& entitlements) {
  for (const KeelboxEntitlement& e : entitlements) {
    for (const std::string& package : e.packages) {
      if (package == name) return std::string(name);
    }
  }
  return std::nullopt;
}

ClassifiedNames install_names_to_modules_and_packages(
    const std::vector<std::string>& names,
    const std::vector<KeelboxEntitlement>& entitled_modules) {
  ClassifiedNames result;
  for (const std::string& name : names) {
    if (std::optional<std::string> code = str_to_module(name, entitled_modules)) {
      result.module_codes.push_back(std::move(*code));
    } else if (std::optional<std::string> package = str_to_package(name, entitled_modules)) {
      result.package_names.push_back(std::move(*package));
    } else {
      result.error_names.push_back(name);
    }
  }
  return result;
}

std::vector<std::string> list_of_module_codes_to_list_of_package_names(
    const std::vector<std::string>& module_codes,
    const std::vector<KeelboxEntitlement>& entitled_modules) {
  std::map<std::string, const std::vector<std::string>*> packages_of;
  for (const KeelboxEntitlement& e : entitled_modules) packages_of[e.code] = &e.packages;
  std::vector<std::string> result;
  for (const std::string& code : module_codes) {
    auto it = packages_of.find(code);
    if (it == packages_of.end()) continue;
    result.insert(result.end(), it->second->begin(), it->second->end());
  }
  return result;
}

std::string _module_code_to_name(std::string_view code) {
  std::string name = replace_all(code, "ENT_", "");
  name = replace_all(name, "FREE", "");
  for (char& ch : name) {
    if (ch == '_') ch = ' ';
  }
  return title_case_runs(name);
}

}  // namespace keelbox

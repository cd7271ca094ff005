#include "keelbox/models/validation.hpp"

#include <algorithm>
#include <cctype>

namespace keelbox::validation {

FieldPath join(const FieldPath& prefix, const std::string& key) {
  FieldPath path = prefix;
  path.push_back(key);
  return path;
}

std::string choice_reason(const std::vector<std::string>& choices) {
  std::string text = "Input should be ";
  for (std::size_t i = 0; i < choices.size(); ++i) {
    if (i) text += (i + 1 == choices.size()) ? " or " : ", ";
    text += "'" + choices[i] + "'";
  }
  return text;
}

void FieldValidator::fail(FieldPath path, std::string reason) {
  errors_.push_back(FieldError{std::move(path), std::move(reason)});
}

void FieldValidator::raise_if_failed() const {
  if (!errors_.empty()) throw ValidationError(record_, errors_);
}

bool FieldValidator::mapping(const nlohmann::json& value, const FieldPath& path) {
  if (value.is_object()) return true;
  fail(path, std::string(NOT_MAPPING));
  return false;
}

std::optional<std::string> FieldValidator::required_text(const nlohmann::json& mapping,
                                                         const FieldPath& prefix,
                                                         const std::string& key) {
  auto it = mapping.find(key);
  if (it == mapping.end()) {
    fail(join(prefix, key), std::string(MISSING));
    return std::nullopt;
  }
  if (!it->is_string()) {
    fail(join(prefix, key), std::string(NOT_TEXT));
    return std::nullopt;
  }
  return it->get<std::string>();
}

std::optional<std::string> FieldValidator::optional_text(const nlohmann::json& mapping,
                                                         const FieldPath& prefix,
                                                         const std::string& key) {
  auto it = mapping.find(key);
  if (it == mapping.end()) return std::nullopt;
  if (!it->is_string()) {
    fail(join(prefix, key), std::string(NOT_TEXT));
    return std::nullopt;
  }
  return it->get<std::string>();
}

std::optional<std::optional<std::string>> FieldValidator::required_nullable_text(
    const nlohmann::json& mapping, const FieldPath& prefix, const std::string& key) {
  auto it = mapping.find(key);
  if (it == mapping.end()) {
    fail(join(prefix, key), std::string(MISSING));
    return std::nullopt;
  }
  if (it->is_null()) return std::optional<std::string>{};
  if (!it->is_string()) {
    fail(join(prefix, key), std::string(NOT_TEXT));
    return std::nullopt;
  }
  return std::optional<std::string>{it->get<std::string>()};
}

std::optional<std::vector<std::string>> FieldValidator::required_text_list(
    const nlohmann::json& mapping, const FieldPath& prefix, const std::string& key) {
  auto it = mapping.find(key);
  if (it == mapping.end()) {
    fail(join(prefix, key), std::string(MISSING));
    return std::nullopt;
  }
  if (!it->is_array()) {
    fail(join(prefix, key), std::string(NOT_LIST));
    return std::nullopt;
  }
  std::vector<std::string> out;
  bool good = true;
  for (std::size_t i = 0; i < it->size(); ++i) {
    const auto& item = (*it)[i];
    if (!item.is_string()) {
      fail(join(join(prefix, key), std::to_string(i)), std::string(NOT_TEXT));
      good = false;
      continue;
    }
    out.push_back(item.get<std::string>());
  }
  if (!good) return std::nullopt;
  return out;
}

std::optional<bool> FieldValidator::optional_bool(const nlohmann::json& mapping,
                                                  const FieldPath& prefix, const std::string& key) {
  auto it = mapping.find(key);
  if (it == mapping.end()) return std::nullopt;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number_integer() || it->is_number_unsigned()) {
    auto n = it->get<long long>();
    if (n == 0 || n == 1) return n == 1;
  }
  if (it->is_string()) {
    std::string text = it->get<std::string>();
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* yes : {"true", "yes", "on", "1", "t", "y"}) {
      if (text == yes) return true;
    }
    for (const char* no : {"false", "no", "off", "0", "f", "n"}) {
      if (text == no) return false;
    }
  }
  fail(join(prefix, key), std::string(NOT_BOOL));
  return std::nullopt;
}

std::optional<std::string> FieldValidator::optional_choice(
    const nlohmann::json& mapping, const FieldPath& prefix, const std::string& key,
    const std::vector<std::string>& choices) {
  auto it = mapping.find(key);
  if (it == mapping.end()) return std::nullopt;
  if (it->is_string()) {
    const auto& text = it->get_ref<const std::string&>();
    if (std::find(choices.begin(), choices.end(), text) != choices.end()) return text;
  }
  fail(join(prefix, key), choice_reason(choices));
  return std::nullopt;
}

}  // namespace keelbox::validation

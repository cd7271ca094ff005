#pragma once
// Field-by-field validation of records built from a mapping (a JSON object).
//
// A FieldValidator collects every failing field of one record, with its path
// and reason, and raises them together as one ValidationError. Keys of the
// mapping that are not fields are never looked at, so they are ignored.
// Numbers are never turned into text.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox::validation {

using FieldPath = std::vector<std::string>;

// Reasons, worded once for every record.
inline constexpr std::string_view MISSING = "Field required";
inline constexpr std::string_view NOT_TEXT = "Input should be a valid string";
inline constexpr std::string_view NOT_BOOL = "Input should be a valid boolean";
inline constexpr std::string_view NOT_LIST = "Input should be a valid list";
inline constexpr std::string_view NOT_MAPPING = "Input should be a valid dictionary";

class FieldValidator {
 public:
  explicit FieldValidator(std::string record) : record_(std::move(record)) {}

  // Records a failing field.
  void fail(FieldPath path, std::string reason);
  bool ok() const noexcept { return errors_.empty(); }
  const std::vector<FieldError>& errors() const noexcept { return errors_; }
  // Throws ValidationError listing every failure recorded so far, if any.
  void raise_if_failed() const;

  // Whether `value` is a mapping; records NOT_MAPPING at `path` otherwise.
  bool mapping(const nlohmann::json& value, const FieldPath& path);

  // A required text field: records MISSING or NOT_TEXT and returns nullopt.
  std::optional<std::string> required_text(const nlohmann::json& mapping, const FieldPath& prefix,
                                           const std::string& key);
  // An optional text field: nullopt when absent (no failure); NOT_TEXT when
  // present but not text. A null value is not text.
  std::optional<std::string> optional_text(const nlohmann::json& mapping, const FieldPath& prefix,
                                           const std::string& key);
  // A field that must be present and may be null: the outer optional is empty
  // after a failure; the inner one is empty for null.
  std::optional<std::optional<std::string>> required_nullable_text(const nlohmann::json& mapping,
                                                                   const FieldPath& prefix,
                                                                   const std::string& key);
  // A required list of text. Each item that is not text is recorded with its
  // index in the path.
  std::optional<std::vector<std::string>> required_text_list(const nlohmann::json& mapping,
                                                             const FieldPath& prefix,
                                                             const std::string& key);
  // An optional boolean: nullopt when absent. Accepts real booleans, the
  // integers 0 and 1, and the texts true/false, yes/no, on/off, 1/0 (any case).
  std::optional<bool> optional_bool(const nlohmann::json& mapping, const FieldPath& prefix,
                                    const std::string& key);
  // An optional text that must be exactly one of `choices`.
  std::optional<std::string> optional_choice(const nlohmann::json& mapping, const FieldPath& prefix,
                                             const std::string& key,
                                             const std::vector<std::string>& choices);

 private:
  std::string record_;
  std::vector<FieldError> errors_;
};

FieldPath join(const FieldPath& prefix, const std::string& key);

// "Input should be 'cloud' or 'dev.cloud'".
std::string choice_reason(const std::vector<std::string>& choices);

}  // namespace keelbox::validation

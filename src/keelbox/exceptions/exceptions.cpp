#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {
namespace {

std::string http_status_text(long status, const std::string& reason, const std::string& url) {
  const char* side = status >= 500 ? "Server Error" : "Client Error";
  return std::to_string(status) + " " + side + ": " + reason + " for url: " + url;
}

std::string validation_text(const std::string& record, const std::vector<FieldError>& errors) {
  std::string text = std::to_string(errors.size()) + " validation error" +
                     (errors.size() == 1 ? "" : "s") + " for " + record;
  for (const auto& e : errors) {
    text += "\n";
    for (std::size_t i = 0; i < e.path.size(); ++i) {
      if (i) text += ".";
      text += e.path[i];
    }
    text += "\n  " + e.reason;
  }
  return text;
}

}  // namespace

HTTPStatusError::HTTPStatusError(long status, std::string reason, std::string url)
    : Error(http_status_text(status, reason, url)),
      status_(status),
      reason_(std::move(reason)),
      url_(std::move(url)) {}

ValidationError::ValidationError(std::string record, std::vector<FieldError> errors)
    : Error(validation_text(record, errors)), errors_(std::move(errors)) {}

}  // namespace keelbox

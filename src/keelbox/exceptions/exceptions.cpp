#include "keelbox/exceptions/exceptions.hpp"

#include <cerrno>
#include <filesystem>
#include <functional>
#include <new>
#include <system_error>
#include <typeinfo>
#include <variant>

#include <nlohmann/json.hpp>

#include "keelbox/exceptions/exceptions_internal.hpp"

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

// The name of the failure a system error code stands for, after the
// subclasses of OSError that Python picks by errno.
// The system's own codes are read through their portable meaning: on Windows
// they are Win32 error codes (5 is "access denied", where errno 5 is EIO).
const char* os_error_kind(const std::error_code& code) {
  if (code.category() != std::generic_category() && code.category() != std::system_category()) {
    return "OSError";
  }
  if (const char* kind = native_error_kind(code)) return kind;
  const std::error_condition meaning = code.default_error_condition();
  if (meaning.category() != std::generic_category()) return "OSError";
  switch (meaning.value()) {
    case ENOENT: return "FileNotFoundError";
    case EEXIST: return "FileExistsError";
    case EACCES:
    case EPERM: return "PermissionError";
    case EISDIR: return "IsADirectoryError";
    case ENOTDIR: return "NotADirectoryError";
    case EINTR: return "InterruptedError";
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EALREADY:
    case EINPROGRESS: return "BlockingIOError";
    case ECHILD: return "ChildProcessError";
    case EPIPE:
#ifdef ESHUTDOWN
    case ESHUTDOWN:
#endif
      return "BrokenPipeError";
    case ECONNABORTED: return "ConnectionAbortedError";
    case ECONNREFUSED: return "ConnectionRefusedError";
    case ECONNRESET: return "ConnectionResetError";
    case ESRCH: return "ProcessLookupError";
    case ETIMEDOUT: return "TimeoutError";
    default: return "OSError";
  }
}

}  // namespace

std::string failure_kind(const std::exception& e) {
  if (const auto* error = dynamic_cast<const Error*>(&e)) return error->kind();
  if (dynamic_cast<const KeelboxUVException*>(&e)) return "KeelboxUVException";
  if (dynamic_cast<const KeelboxException*>(&e)) return "KeelboxException";
  // std::filesystem::filesystem_error and std::ios_base::failure are system errors.
  if (const auto* system = dynamic_cast<const std::system_error*>(&e)) {
    return os_error_kind(system->code());
  }
  if (dynamic_cast<const std::bad_alloc*>(&e) || dynamic_cast<const std::length_error*>(&e)) {
    return "MemoryError";  // out of memory, or a size no container can hold
  }
  if (dynamic_cast<const nlohmann::json::parse_error*>(&e)) return "JSONDecodeError";
  if (dynamic_cast<const nlohmann::json::type_error*>(&e)) return "TypeError";
  if (dynamic_cast<const nlohmann::json::out_of_range*>(&e)) return "LookupError";
  if (dynamic_cast<const nlohmann::json::exception*>(&e)) return "ValueError";
  // at() and substr() past the end, or a missing key of at() on a map.
  if (dynamic_cast<const std::out_of_range*>(&e)) return "LookupError";
  if (dynamic_cast<const std::invalid_argument*>(&e) ||
      dynamic_cast<const std::domain_error*>(&e)) {
    return "ValueError";
  }
  if (dynamic_cast<const std::overflow_error*>(&e)) return "OverflowError";
  if (dynamic_cast<const std::range_error*>(&e) || dynamic_cast<const std::underflow_error*>(&e)) {
    return "ArithmeticError";
  }
  if (dynamic_cast<const std::bad_cast*>(&e) || dynamic_cast<const std::bad_typeid*>(&e) ||
      dynamic_cast<const std::bad_function_call*>(&e) ||
      dynamic_cast<const std::bad_variant_access*>(&e)) {
    return "TypeError";  // std::bad_any_cast is a bad cast too
  }
  return "RuntimeError";
}

HTTPStatusError::HTTPStatusError(long status, std::string reason, std::string url)
    : Error(http_status_text(status, reason, url)),
      status_(status),
      reason_(std::move(reason)),
      url_(std::move(url)) {}

ValidationError::ValidationError(std::string record, std::vector<FieldError> errors)
    : Error(validation_text(record, errors)), errors_(std::move(errors)) {}

}  // namespace keelbox

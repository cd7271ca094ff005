#pragma once
// The tool's error types.
//
// KeelboxException carries words meant for the user: the root command prints
// "Error: " and its message and ends the run with status 1. Every other kind of
// failure derives from Error; when one leaves a command unhandled, the entry
// prints one diagnostic "<kind>: <text>" and ends the run with status 1.
// A failure that wraps another keeps it as its cause (std::throw_with_nested).
#include <stdexcept>
#include <string>
#include <vector>

namespace keelbox {

// The user-facing error.
class KeelboxException : public std::runtime_error {
 public:
  explicit KeelboxException(const std::string& message) : std::runtime_error(message) {}
  const char* message() const noexcept { return what(); }
};

// A KeelboxException raised when a run of uv fails.
class KeelboxUVException : public KeelboxException {
 public:
  using KeelboxException::KeelboxException;
};

// Base of every typed, non-user-facing failure.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  // Short name of the failure's kind, shown in the diagnostic.
  virtual const char* kind() const noexcept { return "Error"; }
};

#define KEELBOX_ERROR_KIND(Name, Base)                           \
  class Name : public Base {                                     \
   public:                                                       \
    using Base::Base;                                            \
    const char* kind() const noexcept override { return #Name; } \
  }

// A general failure ("Unsupported shell: tcsh", "SQLite connection is not open").
KEELBOX_ERROR_KIND(RuntimeError, Error);
// A file that should be there is not ("MKL RT not found.").
KEELBOX_ERROR_KIND(FileNotFoundError, Error);
// A file-system operation failed (text names the path and the system's reason).
KEELBOX_ERROR_KIND(FileSystemError, Error);
// A text could not be parsed (TOML, JSON).
KEELBOX_ERROR_KIND(ParseError, Error);
// A lookup of a missing member ("access_token", "key").
KEELBOX_ERROR_KIND(KeyError, Error);
// A version string that is not Semantic Versioning 2.0.0.
KEELBOX_ERROR_KIND(InvalidVersionError, Error);
// The database engine failed.
KEELBOX_ERROR_KIND(DatabaseError, Error);
// A child process could not be started.
KEELBOX_ERROR_KIND(ProcessStartError, Error);
// The network transfer failed: connection, TLS, time-out, stall.
KEELBOX_ERROR_KIND(TransportError, Error);
// An archive member was refused or the archive is damaged.
KEELBOX_ERROR_KIND(ExtractionError, Error);

// An answer with an error status. Its text reads, for example,
// "404 Client Error: Not Found for url: https://core.cloud.example.com/v1/license/pip".
class HTTPStatusError : public Error {
 public:
  HTTPStatusError(long status, std::string reason, std::string url);
  const char* kind() const noexcept override { return "HTTPStatusError"; }
  long status() const noexcept { return status_; }
  const std::string& reason() const noexcept { return reason_; }
  const std::string& url() const noexcept { return url_; }

 private:
  long status_;
  std::string reason_;
  std::string url_;
};

// One failing field of a record: its path (for example {"profile", "token_id"})
// and the reason.
struct FieldError {
  std::vector<std::string> path;
  std::string reason;
};

// A record did not validate. Lists every failing field.
class ValidationError : public Error {
 public:
  ValidationError(std::string record, std::vector<FieldError> errors);
  const char* kind() const noexcept override { return "ValidationError"; }
  const std::vector<FieldError>& errors() const noexcept { return errors_; }

 private:
  std::vector<FieldError> errors_;
};

// The kind named in the diagnostic of an unexpected failure: the kind of one
// of the tool's own errors, else the name a Python program gives a failure of
// the same nature ("MemoryError", "FileNotFoundError", "OSError",
// "ValueError", "JSONDecodeError", ...), else "RuntimeError".
std::string failure_kind(const std::exception& e);

}  // namespace keelbox

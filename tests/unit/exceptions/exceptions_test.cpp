#include "keelbox/exceptions/exceptions.hpp"

#include <gtest/gtest.h>

#include <any>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <functional>
#include <ios>
#include <map>
#include <new>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace keelbox {
namespace {

// A refused connection as the system reports it (Windows: a Winsock code).
#ifdef _WIN32
constexpr int kConnectionRefused = 10061;  // WSAECONNREFUSED
#else
constexpr int kConnectionRefused = ECONNREFUSED;
#endif

// The kind of whatever `body` throws.
std::string kind_of(const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& e) {
    return failure_kind(e);
  }
  return "nothing thrown";
}

std::filesystem::filesystem_error fs_error(int err) {
  return std::filesystem::filesystem_error("op", "/p",
                                           std::error_code(err, std::generic_category()));
}

// The unexpected-failure line names each failure by its nature, in the words
// a Python program would use, so that a reader is not misled.
TEST(FailureKind, NamesEachFailureByItsNature) {
  const struct {
    const char* what;
    std::function<void()> body;
    const char* kind;
  } cases[] = {
      {"own error", [] { throw TransportError("x"); }, "TransportError"},
      {"HTTP status", [] { throw HTTPStatusError(503, "Busy", "u"); }, "HTTPStatusError"},
      {"user error", [] { throw KeelboxException("x"); }, "KeelboxException"},
      {"uv error", [] { throw KeelboxUVException("x"); }, "KeelboxUVException"},
      {"no memory", [] { throw std::bad_alloc(); }, "MemoryError"},
      {"too long", [] { std::string().reserve(std::string().max_size() + 1); }, "MemoryError"},
      {"missing file", [] { throw fs_error(ENOENT); }, "FileNotFoundError"},
      {"refused", [] { throw fs_error(EACCES); }, "PermissionError"},
      {"exists", [] { throw fs_error(EEXIST); }, "FileExistsError"},
      {"a folder", [] { throw fs_error(EISDIR); }, "IsADirectoryError"},
      {"full disk", [] { throw fs_error(ENOSPC); }, "OSError"},
      {"system", [] { throw std::system_error(kConnectionRefused, std::system_category()); },
       "ConnectionRefusedError"},
      {"stream", [] { throw std::ios_base::failure("x"); }, "OSError"},
      {"map key", [] { std::map<int, int>().at(1); }, "LookupError"},
      {"index", [] { std::vector<int>().at(0); }, "LookupError"},
      {"number text", [] { (void)std::stoi("x"); }, "ValueError"},
      {"overflow", [] { throw std::overflow_error("x"); }, "OverflowError"},
      {"JSON text", [] { nlohmann::json j = nlohmann::json::parse("{"); }, "JSONDecodeError"},
      {"JSON type", [] { (void)nlohmann::json(1).get<std::string>(); }, "TypeError"},
      {"JSON key", [] { (void)nlohmann::json::object().at("k"); }, "LookupError"},
      {"variant", [] { (void)std::get<int>(std::variant<int, char>('c')); }, "TypeError"},
      {"any", [] { (void)std::any_cast<int>(std::any()); }, "TypeError"},
      {"other", [] { throw std::runtime_error("x"); }, "RuntimeError"},
  };
  for (const auto& c : cases) EXPECT_EQ(kind_of(c.body), c.kind) << c.what;
}

#ifdef _WIN32
// Windows reports its own codes (Win32 and Winsock) in the system category;
// they are named by their meaning, not by the errno that shares the number
// (5 is "access denied" there, EIO here; 3 is a missing path, ESRCH here).
TEST(FailureKind, WindowsCodesAreNamedByTheirMeaning) {
  const struct {
    int code;
    const char* kind;
  } cases[] = {
      {2, "FileNotFoundError"},        {3, "FileNotFoundError"},
      {5, "PermissionError"},          {80, "FileExistsError"},
      {183, "FileExistsError"},        {109, "BrokenPipeError"},
      {267, "NotADirectoryError"},     {10061, "ConnectionRefusedError"},
      {10054, "ConnectionResetError"}, {10053, "ConnectionAbortedError"},
      {10060, "TimeoutError"},         {87, "OSError"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(failure_kind(std::system_error(c.code, std::system_category())), c.kind) << c.code;
  }
}
#endif

}  // namespace
}  // namespace keelbox

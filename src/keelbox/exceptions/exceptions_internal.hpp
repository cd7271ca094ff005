#pragma once
// The system's own error codes that the C++ library does not give a meaning,
// named by each system (exceptions_posix.cpp, exceptions_win32.cpp).
#include <system_error>

namespace keelbox {

// The failure kind of a system error code the C++ library cannot read
// through its portable meaning; nullptr for every other code.
const char* native_error_kind(const std::error_code& code) noexcept;

}  // namespace keelbox

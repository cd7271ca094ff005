// The system's error codes on POSIX systems: errno values, every one of which
// the C++ library reads through its portable meaning.
#include "keelbox/exceptions/exceptions_internal.hpp"

namespace keelbox {

const char* native_error_kind(const std::error_code&) noexcept { return nullptr; }

}  // namespace keelbox

// The system's error codes on Windows: Win32 codes, which the C++ library
// reads through their portable meaning, and Winsock's, which it does not.
#include <winerror.h>

#include "keelbox/exceptions/exceptions_internal.hpp"

namespace keelbox {

const char* native_error_kind(const std::error_code& code) noexcept {
  // The C++ library gives Win32 codes their meaning, but not Winsock's.
  if (code.category() == std::system_category()) {
    switch (code.value()) {
      case WSAECONNREFUSED: return "ConnectionRefusedError";
      case WSAECONNRESET: return "ConnectionResetError";
      case WSAECONNABORTED: return "ConnectionAbortedError";
      case WSAETIMEDOUT: return "TimeoutError";
      case WSAEWOULDBLOCK:
      case WSAEALREADY:
      case WSAEINPROGRESS: return "BlockingIOError";
      case WSAESHUTDOWN: return "BrokenPipeError";
      case WSAEINTR: return "InterruptedError";
      case WSAEACCES: return "PermissionError";
      default: break;
    }
  }
  return nullptr;
}

}  // namespace keelbox

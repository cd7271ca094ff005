#pragma once
// Writing to file descriptors.
#include <string_view>

namespace keelbox {

// Writes all of `data` to `fd`: a write cut short goes on with the rest, one
// interrupted by a signal is repeated, and a non-blocking descriptor that is
// full is waited for. Returns 0, or the errno of the write that failed.
// Async-signal-safe (it calls only write and poll), so signal handlers use it
// too.
int write_all(int fd, std::string_view data) noexcept;

}  // namespace keelbox

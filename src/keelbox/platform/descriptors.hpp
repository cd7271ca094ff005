#pragma once
// How many files this process may hold open at once.
#include <cstddef>

namespace keelbox {

// The number of descriptors (files, sockets, pipes) the process may have
// open at once: the soft RLIMIT_NOFILE on POSIX (SIZE_MAX when unlimited or
// unknown); on Windows the C runtime's fixed limit of 8192 descriptors
// (sockets are not counted against it).
std::size_t open_descriptor_limit() noexcept;

}  // namespace keelbox

#include <sys/resource.h>

#include <cstdint>

#include "keelbox/platform/descriptors.hpp"

namespace keelbox {

std::size_t open_descriptor_limit() noexcept {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  return limit.rlim_cur > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace keelbox

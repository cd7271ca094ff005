#include "keelbox/platform/descriptors.hpp"

namespace keelbox {

std::size_t open_descriptor_limit() noexcept { return 8192; }

}  // namespace keelbox

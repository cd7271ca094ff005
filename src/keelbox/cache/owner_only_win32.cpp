// Narrowing the cache's files to their owner on Windows (owner_only.hpp):
// files there have no mode bits for others to clear.
#include "keelbox/cache/owner_only.hpp"

namespace keelbox::cache_detail {

void restrict_existing_files(const std::filesystem::path&) {}

}  // namespace keelbox::cache_detail

// Narrowing the cache's files to their owner on POSIX systems (owner_only.hpp):
// their mode bits for group and others are cleared.
#include <sys/stat.h>
#include <unistd.h>

#include "keelbox/cache/owner_only.hpp"

namespace keelbox::cache_detail {
namespace {

namespace fs = std::filesystem;

// Narrows a file of ours that others may read (written by an earlier release)
// to owner-only.
void restrict_existing_file(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  if (st.st_uid != ::geteuid() || (st.st_mode & 077) == 0) return;
  ::chmod(path.c_str(), st.st_mode & 0700);
}

fs::path companion(const fs::path& path, const char* suffix) {
  fs::path p = path;
  p += suffix;
  return p;
}

}  // namespace

void restrict_existing_files(const fs::path& database) {
  for (const fs::path& p : {database, companion(database, "-wal"), companion(database, "-shm")}) {
    restrict_existing_file(p);
  }
}

}  // namespace keelbox::cache_detail

// Removing a folder tree through folder descriptors (remove_tree_posix.hpp).
#include "keelbox/platform/remove_tree_posix.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include "keelbox/platform/folder_entries_posix.hpp"
#endif

#include <cerrno>
#include <cstddef>

namespace keelbox {

namespace {

// Deeper than any folder the extraction writes or keeps, with room to spare.
constexpr int MAX_REMOVED_DEPTH = 256;

// `folder`: whether the listing says `name` is a folder (then the attempt
// to unlink it is spared).
bool remove_at(int parent, const char* name, int depth, bool folder = false) noexcept {
  if (!folder) {
    if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR && errno != EPERM) return false;
  }
  if (depth > MAX_REMOVED_DEPTH) return false;
  const int dir = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return errno == ENOENT;
#ifdef __linux__
  // Removing names while reading the folder may skip some: read it again
  // until it is empty (or nothing more goes).
  for (int pass = 0; pass < 8; ++pass) {
    bool removed_any = false;
    bool left_any = false;
    ::lseek(dir, 0, SEEK_SET);
    for_each_folder_entry<2048>(dir, [&](const char* n, unsigned char type) {
      if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) return;
      if (remove_at(dir, n, depth + 1, type == DT_DIR)) {
        removed_any = true;
      } else {
        left_any = true;
      }
    });
    if (!removed_any || left_any) break;
  }
#endif
  ::close(dir);
  return ::unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

}  // namespace

bool remove_tree_at(int parent, const char* name) noexcept { return remove_at(parent, name, 0); }

}  // namespace keelbox

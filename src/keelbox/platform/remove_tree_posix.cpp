// Removing a folder tree through folder descriptors (remove_tree_posix.hpp).
#include "keelbox/platform/remove_tree_posix.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include "keelbox/platform/folder_entries_posix.hpp"
#endif

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "keelbox/platform/helper_thread_posix.hpp"
#include "keelbox/platform/io.hpp"

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

#ifdef __linux__
// A folder below the tree's top, removed with everything in it by one of
// the threads.
struct Branch {
  int parent;  // held open by the caller until both threads are done
  std::string name;
  int depth;
};

// The tree's folders level by level from its top, each level's files
// removed on the way, until a level has enough folders to share out (or the
// tree ends, or a few levels gave too few). `opened` holds the folders the
// returned branches are in.
std::vector<Branch> branches_of(int parent, const char* name, std::vector<FileDescriptor>& opened) {
  constexpr std::size_t ENOUGH = 32;
  constexpr int MAX_LEVELS = 8;
  std::vector<Branch> level{{parent, name, 0}};
  std::vector<FileDescriptor> level_opened;
  for (int depth = 0; depth < MAX_LEVELS && !level.empty() && level.size() < ENOUGH; ++depth) {
    std::vector<Branch> next;
    std::vector<FileDescriptor> next_opened;
    for (const Branch& branch : level) {
      FileDescriptor dir(::openat(branch.parent, branch.name.c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!dir) continue;  // not a folder (or gone): the final sweep sees to it
      std::vector<std::pair<std::string, unsigned char>> entries;
      for_each_folder_entry<8192>(dir.get(), [&](const char* n, unsigned char type) {
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) return;
        entries.emplace_back(n, type);
      });
      for (auto& [n, type] : entries) {
        if (type != DT_DIR) {
          if (::unlinkat(dir.get(), n.c_str(), 0) == 0 || errno == ENOENT) continue;
          if (errno != EISDIR && errno != EPERM) continue;
        }
        next.push_back({dir.get(), std::move(n), branch.depth + 1});
      }
      next_opened.push_back(std::move(dir));
    }
    level = std::move(next);
    level_opened = std::move(next_opened);  // the folders of the level before are done with
  }
  opened = std::move(level_opened);
  return level;
}

// Removes the branches from `next` on, one at a time, until none is left.
void remove_branches(const std::vector<Branch>& branches, std::atomic<std::size_t>& next) noexcept {
  for (std::size_t i = next++; i < branches.size(); i = next++) {
    remove_at(branches[i].parent, branches[i].name.c_str(), branches[i].depth, true);
  }
}
#endif

}  // namespace

bool remove_tree_at(int parent, const char* name) noexcept { return remove_at(parent, name, 0); }

bool remove_tree_at_in_parallel(int parent, const char* name) noexcept {
#ifdef __linux__
  if (std::thread::hardware_concurrency() >= 2) {
    try {
      std::vector<FileDescriptor> opened;
      const std::vector<Branch> branches = branches_of(parent, name, opened);
      std::atomic<std::size_t> next{0};
      std::thread helper;
      if (branches.size() > 1) {
        helper = start_helper_thread([&branches, &next] { remove_branches(branches, next); });
      }
      remove_branches(branches, next);
      if (helper.joinable()) helper.join();
    } catch (...) {
      // Out of memory while sharing out: what is left goes below.
    }
  }
#endif
  // What the branches were in, and anything that could not be shared out.
  return remove_at(parent, name, 0);
}

}  // namespace keelbox

// Removing a folder tree on Windows without following links
// (remove_tree_win32.hpp). The C++ library cannot be used here: on Windows
// it cannot tell a link from what it names, and would empty a folder outside
// through a link; and it allocates, which a handler that holds the main
// thread still (perhaps inside the allocator) must not.
#include "keelbox/platform/remove_tree_win32.hpp"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cwchar>

namespace keelbox {

namespace {

// Deeper than any folder the extraction writes or keeps, with room to spare.
constexpr int MAX_REMOVED_DEPTH = 256;
// The longest path Windows has.
constexpr std::size_t PATH_CAPACITY = 32768;

struct Scratch {
  wchar_t path[PATH_CAPACITY];    // the name being removed, built up in place
  wchar_t folder[PATH_CAPACITY];  // final_path_into() of its folder
  wchar_t item[PATH_CAPACITY];    // final_path_into() of the name
};

bool is_plain_folder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The full path of what `path` opens, links on its way followed
// ("\\?\C:\..."), into `out`; its length, 0 when it cannot be opened or does
// not fit.
std::size_t final_path_into(const wchar_t* path, wchar_t* out) {
  HANDLE handle = ::CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  const DWORD length = ::GetFinalPathNameByHandleW(handle, out, DWORD{PATH_CAPACITY}, 0);
  ::CloseHandle(handle);
  return length < PATH_CAPACITY ? length : 0;
}

// Whether the file at scratch.path (its name starting at `name_at`, after a
// separator) is reached through a link that the system follows even when
// asked not to: wine shows a Unix symbolic link to a file as that file
// itself (no reparse point), and removing it removes the file it names,
// wherever that is. Such a name opens as something else than itself.
bool opens_elsewhere(Scratch& scratch, std::size_t name_at) {
  const std::size_t item = final_path_into(scratch.path, scratch.item);
  scratch.path[name_at - 1] = L'\0';
  const std::size_t folder = final_path_into(scratch.path, scratch.folder);
  scratch.path[name_at - 1] = L'\\';
  if (folder == 0 || item == 0) return true;
  const wchar_t* name = scratch.path + name_at;
  return item != folder + 1 + std::wcslen(name) ||
         std::wmemcmp(scratch.item, scratch.folder, folder) != 0 || scratch.item[folder] != L'\\' ||
         std::wcscmp(scratch.item + folder + 1, name) != 0;
}

// Removes scratch.path, `length` characters long, whose name starts at `name_at`.
bool remove_at(Scratch& scratch, std::size_t length, std::size_t name_at, int depth) {
  wchar_t* const path = scratch.path;
  const DWORD attributes = ::GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  bool ok = true;
  if (is_plain_folder(attributes) && depth <= MAX_REMOVED_DEPTH && length + 3 < PATH_CAPACITY) {
    path[length] = L'\\';
    path[length + 1] = L'*';
    path[length + 2] = L'\0';
    WIN32_FIND_DATAW found;
    HANDLE listing = ::FindFirstFileW(path, &found);
    path[length] = L'\0';
    if (listing != INVALID_HANDLE_VALUE) {
      do {
        const wchar_t* name = found.cFileName;
        if (std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0) continue;
        const std::size_t name_length = std::wcslen(name);
        if (length + 1 + name_length >= PATH_CAPACITY) {
          ok = false;
          continue;
        }
        path[length] = L'\\';
        std::wmemcpy(path + length + 1, name, name_length + 1);
        ok = remove_at(scratch, length + 1 + name_length, length + 1, depth + 1) && ok;
        path[length] = L'\0';
      } while (::FindNextFileW(listing, &found));
      ::FindClose(listing);
    }
  }
  // A link that cannot be removed as a link stays (as does the folder it is in).
  if (!(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
      (name_at == 0 || opens_elsewhere(scratch, name_at))) {
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    ::SetFileAttributesW(path, attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  }
  const BOOL removed =
      (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(path) : ::DeleteFileW(path);
  return removed && ok;
}

// Storage for two removals at once (the run's own and the console control
// handler's, which may have held the run's still in the middle of one),
// taken without waiting: a lock the held thread owns would never be let go.
constexpr int SCRATCHES = 2;
Scratch g_scratch[SCRATCHES];
std::atomic<bool> g_in_use[SCRATCHES];

}  // namespace

bool remove_tree(const wchar_t* path) noexcept {
  const std::size_t length = std::wcslen(path);
  if (length == 0 || length >= PATH_CAPACITY) return false;
  int which = 0;
  for (bool expected = false; which < SCRATCHES; ++which, expected = false)
    if (g_in_use[which].compare_exchange_strong(expected, true)) break;
  if (which == SCRATCHES) return false;
  Scratch& scratch = g_scratch[which];
  std::wmemcpy(scratch.path, path, length + 1);
  // Where the last name starts, after its separator (0: none).
  std::size_t name_at = length;
  while (name_at > 0 && path[name_at - 1] != L'\\' && path[name_at - 1] != L'/') --name_at;
  if (name_at > 0) scratch.path[name_at - 1] = L'\\';
  const bool removed = remove_at(scratch, length, name_at, 0);
  g_in_use[which].store(false);
  return removed;
}

}  // namespace keelbox

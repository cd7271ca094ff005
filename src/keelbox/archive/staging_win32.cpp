// Preparing and exchanging the folder beside on Windows (staging.hpp): by
// wide path, under a lock on a byte of a lock file in the parent, the old
// folder stepping aside for the new one; links are never followed, and
// never followed when folders are removed either (remove_tree_win32.hpp).
#include <windows.h>

#include <cstdio>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "keelbox/archive/staging.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/remove_tree_win32.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/process/interrupt.hpp"
#include "keelbox/process/interrupt_win32.hpp"

namespace keelbox::archive_detail {
namespace {

namespace fs = std::filesystem;

std::string windows_reason(DWORD code) {
  std::string text = std::system_category().message(static_cast<int>(code));
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

std::string last_reason() { return windows_reason(::GetLastError()); }

// Attributes of `path` itself (a link not followed); INVALID_FILE_ATTRIBUTES when not there.
DWORD attributes_of(const fs::path& path) { return ::GetFileAttributesW(path.c_str()); }

bool is_plain_folder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The names in `folder`.
std::vector<fs::path> names_in(const fs::path& folder) {
  std::vector<fs::path> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename());
  }
  return names;
}

class Keeper {
 public:
  explicit Keeper(const fs::path& destination) : destination_(destination) {}

  // Everything below `from` recreated below `to`: folders anew, files as
  // hard links (a copy where a link cannot be made), links as links.
  void copy(const fs::path& from, const fs::path& to, const fs::path& shown, int depth) {
    if (depth > MAX_KEPT_DEPTH) {
      fail(shown, "folders nested more than " + std::to_string(MAX_KEPT_DEPTH) + " deep");
    }
    for (const fs::path& name : names_in(from)) {
      const fs::path item = shown / name;
      const fs::path source = from / name;
      const fs::path target = to / name;
      const DWORD attributes = attributes_of(source);
      if (attributes == INVALID_FILE_ATTRIBUTES) fail(item, last_reason());
      if (is_plain_folder(attributes)) {
        if (!::CreateDirectoryW(target.c_str(), nullptr)) fail(item, last_reason());
        copy(source, target, item, depth + 1);
      } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // The link itself, not what it names.
        if (!::CopyFileExW(source.c_str(), target.c_str(), nullptr, nullptr, nullptr,
                           COPY_FILE_FAIL_IF_EXISTS | COPY_FILE_COPY_SYMLINK)) {
          fail(item, last_reason());
        }
      } else if (!::CreateHardLinkW(target.c_str(), source.c_str(), nullptr) &&
                 !::CopyFileW(source.c_str(), target.c_str(), TRUE)) {
        fail(item, last_reason());
      }
    }
  }

 private:
  [[noreturn]] void fail(const fs::path& item, const std::string& why) const {
    throw ExtractionError("Could not keep '" + path_to_utf8(item) + "' of the previous folder " +
                          path_to_utf8(destination_) + ": " + why);
  }

  fs::path destination_;
};

}  // namespace

// Ctrl-C, Ctrl-Break or the console's closing removes the folder beside
// (remove_on_interrupt): the run's own leftover goes with it.
struct Staging::Lock {
  HANDLE handle;  // the lock file's, locked
};

// Closing the handle releases the lock.
void Staging::LockCloser::operator()(Lock* lock) const noexcept {
  ::CloseHandle(lock->handle);
  delete lock;
}

std::optional<unsigned> Staging::look_at_destination(const fs::path& absolute) const {
  const std::string shown = path_to_utf8(destination_);
  const DWORD attributes = attributes_of(absolute);
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (!exists && ::GetLastError() != ERROR_FILE_NOT_FOUND &&
      ::GetLastError() != ERROR_PATH_NOT_FOUND) {
    throw ExtractionError("Cannot unpack into " + shown + ": " + last_reason());
  }
  if (exists && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    throw ExtractionError("Cannot unpack into " + shown + ": it is not a folder");
  }
  if (!exists) return std::nullopt;
  return 0u;  // no modes to keep
}

std::unique_ptr<Staging::Lock, Staging::LockCloser> Staging::take_lock() const {
  // Folders cannot be locked on Windows: a byte of a lock file in the parent can.
  const fs::path lock_file = parent_ / ".keelbox-unpack.lock";
  HANDLE lock = ::CreateFileW(lock_file.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (lock == INVALID_HANDLE_VALUE) {
    throw ExtractionError("Cannot lock " + path_to_utf8(parent_) + ": " + last_reason());
  }
  std::unique_ptr<Lock, LockCloser> held(new Lock{lock});
  OVERLAPPED whole{};
  bool locked = false;
  {
    const WritingPaused waiting;  // an ending run need not wait for this one
    locked = ::LockFileEx(lock, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole) != FALSE;
  }
  if (!locked) {
    const std::string why = last_reason();
    held.reset();
    throw ExtractionError("Cannot lock " + path_to_utf8(parent_) + ": " + why);
  }
  return held;
}

void Staging::remove_leftovers() {
  for (const fs::path& name : names_in(parent_)) {
    if (path_to_utf8(name).rfind(STAGING_PREFIX, 0) == 0) remove_tree((parent_ / name).c_str());
  }
}

void Staging::prepare(const std::optional<unsigned>& folder_mode) {
  try {
    std::random_device random;
    fs::path beside;
    for (int attempt = 0;; ++attempt) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "%08x", random());
      beside = parent_ / path_from_utf8(STAGING_PREFIX + std::string(suffix));
      if (::CreateDirectoryW(beside.c_str(), nullptr)) break;
      if (::GetLastError() != ERROR_ALREADY_EXISTS || attempt > 100) {
        throw ExtractionError("Cannot create a folder in " + path_to_utf8(parent_) + ": " +
                              last_reason());
      }
    }
    path_ = beside;
    folder_slot_ = remove_on_interrupt(path_.c_str());
    if (folder_mode)
      Keeper(destination_).copy(parent_ / path_from_utf8(name_), path_, fs::path(), 0);
  } catch (...) {
    // No destructor runs for a constructor that throws (the lock is
    // released with its owner).
    if (!path_.empty()) remove_tree(path_.c_str());
    forget_removal_on_interrupt(folder_slot_);
    throw;
  }
}

Staging::~Staging() {
  if (path_.empty()) return;
  remove_tree(path_.c_str());  // what is left: nothing to report it to
  forget_removal_on_interrupt(folder_slot_);
  folder_slot_ = -1;  // the slot may be someone else's now
}

// No exchange of two folders on Windows: the old folder steps aside (to a
// name the next run removes as a leftover), the new one takes its name, and
// should that fail the old one comes back.
// The folder beside starts as a copy of the previous one (prepare()).
fs::path Staging::previous() const { return {}; }

bool Staging::keep_previous(const std::function<void(std::string_view place)>& /*kept*/) {
  return !folder_mode_;  // copied in prepare(): nothing is kept here
}

void Staging::install() {
  const fs::path target = parent_ / path_from_utf8(name_);
  const fs::path old = fs::path(path_) += L"-old";
  // An interrupt meanwhile waits until the folders have changed places:
  // then it removes the old contents, never the new destination.
  if (!hold_removal_on_interrupt(folder_slot_)) {
    throw ExtractionError("Cannot put the unpacked folder in place of " +
                          path_to_utf8(destination_) + ": the run is ending");
  }
  struct Resume {
    int slot;
    ~Resume() { resume_removal_on_interrupt(slot); }
  } resume{folder_slot_};
  const bool had_old = attributes_of(target) != INVALID_FILE_ATTRIBUTES;
  if (had_old && !::MoveFileExW(target.c_str(), old.c_str(), MOVEFILE_WRITE_THROUGH)) {
    throw ExtractionError("Cannot put the unpacked folder in place of " +
                          path_to_utf8(destination_) + ": " + last_reason());
  }
  if (!::MoveFileExW(path_.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
    const std::string why = last_reason();
    if (had_old) ::MoveFileExW(old.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
    throw ExtractionError("Cannot put the unpacked folder in place of " +
                          path_to_utf8(destination_) + ": " + why);
  }
  installed_ = true;
  path_ = old;  // removed on leaving
  move_removal_on_interrupt(folder_slot_, path_.c_str());
}

}  // namespace keelbox::archive_detail

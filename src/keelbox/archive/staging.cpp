// The steps of preparing the folder beside that are the same on every system
// (staging.hpp); each system's own are in staging_posix.cpp and
// staging_win32.cpp.
#include "keelbox/archive/staging.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include "keelbox/archive/placer.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox::archive_detail {

namespace fs = std::filesystem;

Staging::Staging(const fs::path& destination) : destination_(destination) {
  const std::string shown = path_to_utf8(destination);
  std::error_code ec;
  const fs::path absolute = fs::absolute(destination, ec);
  if (ec) throw ExtractionError("Cannot locate " + shown + ": " + ec.message());
  // A name the system cannot hold would fail only when the unpacked folder
  // takes it, after all the work.
  for (const fs::path& part : absolute) {
    const std::string name = path_to_utf8(part);
    if (Placer::name_length(name) > Placer::NAME_LIMIT) {
      throw ExtractionError("Cannot unpack into " + shown + ": the folder name '" + name + "' is " +
                            std::to_string(Placer::name_length(name)) + Placer::NAME_UNIT +
                            " long, more than the " + std::to_string(Placer::NAME_LIMIT) +
                            " the system allows");
    }
  }
  const std::optional<unsigned> folder_mode = look_at_destination(absolute);
  folder_mode_ = folder_mode;
  const bool exists = folder_mode.has_value();
  // The real folder (a link to it followed), so that the exchange happens there.
  const fs::path real = exists ? fs::canonical(absolute, ec) : fs::weakly_canonical(absolute, ec);
  if (ec) throw ExtractionError("Cannot locate " + shown + ": " + ec.message());
  name_ = path_to_utf8(real.filename());
  if (name_.empty() || name_ == "." || name_ == "..") {
    throw ExtractionError("Cannot unpack into " + shown + ": it has no folder name");
  }
  fs::create_directories(real.parent_path(), ec);
  if (ec)
    throw ExtractionError("Cannot create " + path_to_utf8(real.parent_path()) + ": " +
                          ec.message());
  parent_ = fs::canonical(real.parent_path(), ec);
  if (ec)
    throw ExtractionError("Cannot locate " + path_to_utf8(real.parent_path()) + ": " +
                          ec.message());

  lock();
  prepare(folder_mode);
}

namespace {
// This process's holds of the parent folders' locks, and the turns taken on them.
std::mutex& held_locks_mutex() {
  static std::mutex mutex;
  return mutex;
}
}  // namespace

void Staging::lock() {
  static std::map<fs::path, std::weak_ptr<Lock>> held;
  const std::lock_guard<std::mutex> turn(held_locks_mutex());
  std::weak_ptr<Lock>& hold = held[parent_];
  lock_ = hold.lock();
  if (lock_) return;
  // Let go under the same turn, so that the next unpacking of this process
  // never finds the lock still held by its own predecessor.
  lock_ = std::shared_ptr<Lock>(take_lock().release(), [](Lock* lock) {
    const std::lock_guard<std::mutex> let_go(held_locks_mutex());
    LockCloser()(lock);
  });
  hold = lock_;
  // Leftovers of runs that ended without cleaning up: under the lock, no
  // other run is using one.
  remove_leftovers();
}

}  // namespace keelbox::archive_detail

#pragma once
// The folder an archive is unpacked into, prepared beside the real one and
// put in its place in one step.
//
// An archive is never unpacked into the destination folder itself: it is
// unpacked into a folder beside it (".keelbox-unpack-XXXXXX" in the same
// parent), then the destination's current contents that the archive did not
// write are kept there (folders recreated, everything else hard linked, so
// files not in the archive stay as they are), and then it is exchanged with
// the destination by one rename. On POSIX systems the folder beside starts
// empty: what the archive writes costs what it costs in a new folder, and
// only the previous entries it did not write are linked in afterwards, by
// folder descriptors (both trees read by two threads where the machine has
// two cores, the links made by one; the old folder is removed by two threads
// likewise, before the run ends); the placer meets the previous folder's
// links and files on a member's way as if they were there already
// (placer.hpp). On
// Windows the folder beside starts as a copy of the destination's contents.
// Readers and other runs therefore see either the old folder or the new one,
// never a folder mixed from two runs or half unpacked; when the unpacking
// fails, the old folder stays untouched. Runs unpacking into the same parent
// folder take turns (an exclusive lock while preparing, unpacking and
// exchanging), so the last one to finish wins; a run that has to wait says
// so. On POSIX systems the lock is the file ".keelbox-unpack.lock" in the
// parent, made by the run that takes it (owner-only, never through a link)
// and removed by it before it lets go: nothing another user can open, so no
// other user can keep a run waiting, and a lock file another user made is
// refused, not adopted. A link at the destination (or on its way) that
// another user made is not followed either: in a shared folder it could send
// the user's files anywhere the user may write.
//
// The folder beside is removed in every case the process survives, and also
// when SIGINT, SIGTERM or SIGHUP ends the run on POSIX systems, or Ctrl-C,
// Ctrl-Break or the console's closing on Windows (the interrupt handler
// removes it, and on POSIX systems the lock file, before the process ends;
// interrupt_posix.hpp, interrupt_win32.hpp). A run ended otherwise (SIGKILL,
// a crash, the process ended from outside) leaves it
// behind; the next run into the same parent removes such leftovers of the
// user's first (while it holds the lock, no other run can be using one).
//
// The lock belongs to an open file, not to the process, and one process
// must not wait for itself: the unpackings of one run that go on at once
// (archives unpacked while they download) share its turn. The first to
// start takes the lock, the others join it, and the last to finish lets it
// go; an archive is never unpacked twice at once into one destination.
// Everything here works through folder descriptors, so names deeper than the
// system's path limit are copied too. Windows has neither folder descriptors
// nor an exchange of two folders by one rename, nor locks on folders: there
// the lock is a byte range of the file ".keelbox-unpack.lock" in the parent
// (left there, hidden), the old folder steps aside just before the new one
// takes its name, and links are never followed when folders are copied or
// removed (a link to a folder is removed as a link).
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace keelbox::archive_detail {

// The folder beside is "<STAGING_PREFIX>XXXXXX"; names that start so in the
// parent folder are leftovers of earlier runs.
inline constexpr const char* STAGING_PREFIX = ".keelbox-unpack-";
// Folders copied from the previous contents hold two descriptors per level.
// The extraction writes no folder deeper, so that what one run unpacks, the
// next can keep.
inline constexpr int MAX_KEPT_DEPTH = 200;

class Staging {
 public:
  // `destination` as given (for messages). Creates the parent folder when
  // missing, takes the lock, removes leftovers and prepares the folder beside.
  explicit Staging(const std::filesystem::path& destination);
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;
  ~Staging();  // removes the folder beside (the old contents after install())

  // The folder to unpack into: absolute, free of links.
  const std::filesystem::path& path() const { return path_; }

  // The previous folder the unpacked one is laid over, when it starts empty
  // (POSIX systems); empty otherwise.
  std::filesystem::path previous() const;

  // Whether a folder stood at the destination: its contents the archive does
  // not write are kept. Otherwise the folder put in place holds nothing but
  // what was unpacked.
  bool replaces_folder() const { return folder_mode_.has_value(); }

  // Keeps the previous contents the archive did not write (after unpacking,
  // before the folders get their times). `kept`, when given, is told the
  // place of every entry kept ("a/b/name", "/" between names). Returns
  // whether it was: false where the previous contents were copied before
  // the unpacking (Windows), unseen here.
  bool keep_previous(const std::function<void(std::string_view place)>& kept = nullptr);

  // Puts the prepared folder in the destination's place.
  void install();

 private:
  // Each system's own steps (staging_posix.cpp, staging_win32.cpp).
  // What stands at the destination: nothing, or a folder (then its mode, 0
  // where the system has none); anything else is refused.
  std::optional<unsigned> look_at_destination(const std::filesystem::path& absolute) const;
  // Takes the lock on the parent folder, or joins this process's hold of
  // it; the first to take it removes the leftovers (staging.cpp).
  void lock();
  // The lock on the parent folder (waiting for another run, said once).
  struct Lock;
  struct LockCloser {
    void operator()(Lock* lock) const noexcept;
  };
  std::unique_ptr<Lock, LockCloser> take_lock() const;
  // Removes what runs that ended without cleaning up left in the parent.
  void remove_leftovers();
  // Makes the folder beside (on Windows a copy of the destination's contents
  // when it exists, with `folder_mode`); removed again when that fails.
  void prepare(const std::optional<unsigned>& folder_mode);

  std::filesystem::path destination_;    // as given
  std::filesystem::path parent_;         // absolute, free of links
  std::string name_;                     // the destination's name in `parent_`
  std::shared_ptr<Lock> lock_;           // held while this object lives
  std::filesystem::path path_;           // the folder beside
  int folder_slot_ = -1;                 // the folder beside, removed on an interrupt
  std::optional<unsigned> folder_mode_;  // the previous folder's mode, when there is one
  bool installed_ = false;
};

}  // namespace keelbox::archive_detail

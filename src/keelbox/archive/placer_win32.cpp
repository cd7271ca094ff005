// The placer on Windows (placer.hpp). Windows has no descriptor-relative
// calls: every member is placed by its path, found by resolve() with every
// link on disk followed and judged inside before anything is written. Links
// are read from their reparse data; a junction or any other reparse point on
// the way refuses the member, as it cannot be judged.
#include <archive_entry.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <system_error>
#include <tuple>
#include <utility>

#include "keelbox/archive/placer.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/process/interrupt_win32.hpp"

namespace keelbox::archive_detail {
namespace {

namespace fs = std::filesystem;

// The text of a Windows error.
std::string windows_error_text(DWORD code) {
  std::string text = std::system_category().message(static_cast<int>(code));
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

// What a name on disk is, links not followed. A reparse point other than a
// symbolic link (a junction, a mount point, a file of a cloud service) leads
// somewhere this code cannot judge: an error.
struct OnDisk {
  enum Kind { Missing, Directory, File, Link } kind = Missing;
  std::string target;     // a link's target as stored
  bool absolute = false;  // the target is absolute (with a drive, or from the root)
  std::string error;
};

// The layout of a symbolic link's reparse data (REPARSE_DATA_BUFFER).
struct SymlinkReparseData {
  DWORD tag;
  WORD data_length;
  WORD reserved;
  WORD substitute_offset;
  WORD substitute_length;
  WORD print_offset;
  WORD print_length;
  DWORD flags;  // 1: relative
};

OnDisk look_at(const fs::path& path) {
  OnDisk out;
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = ::GetLastError();
    // Only a name that is not there (or lies below a file) is certain not to be a link.
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND && code != ERROR_DIRECTORY) {
      out.error = windows_error_text(code);
    }
    return out;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    out.kind = attributes & FILE_ATTRIBUTE_DIRECTORY ? OnDisk::Directory : OnDisk::File;
    return out;
  }
  HANDLE handle = ::CreateFileW(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    out.error = windows_error_text(::GetLastError());
    return out;
  }
  std::vector<DWORD> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE / sizeof(DWORD));
  DWORD got = 0;
  const BOOL ok =
      ::DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                        static_cast<DWORD>(buffer.size() * sizeof(DWORD)), &got, nullptr);
  const DWORD code = ::GetLastError();
  ::CloseHandle(handle);
  if (!ok) {
    out.error = windows_error_text(code);
    return out;
  }
  SymlinkReparseData header{};
  if (got < sizeof header) {
    out.error = "unreadable reparse point";
    return out;
  }
  std::memcpy(&header, buffer.data(), sizeof header);
  if (header.tag != IO_REPARSE_TAG_SYMLINK) {
    out.error = "a junction or another reparse point that is not a symbolic link";
    return out;
  }
  const std::size_t start = sizeof header + header.substitute_offset;
  if (start + header.substitute_length > got) {
    out.error = "unreadable reparse point";
    return out;
  }
  std::wstring target(header.substitute_length / sizeof(wchar_t), L'\0');
  std::memcpy(target.data(), reinterpret_cast<const char*>(buffer.data()) + start,
              header.substitute_length);
  out.kind = OnDisk::Link;
  out.target = from_wide(target);
  out.absolute = (header.flags & 1) == 0;
  return out;
}

// A file by its identity on disk: volume and file index (the file of any of
// its names).
using FileId = std::tuple<DWORD, DWORD, DWORD>;

std::optional<FileId> id_of(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info)) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// The identity of what stands at `path`, a link not followed.
std::optional<FileId> id_of(const fs::path& path) {
  HANDLE file = ::CreateFileW(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<FileId> id = id_of(file);
  ::CloseHandle(file);
  return id;
}

[[noreturn]] void cannot_windows(const std::string& member, const std::string& what, DWORD error) {
  cannot_text(member, what, windows_error_text(error));
}

// Where MemberData::write() puts a file's data on Windows.
struct WindowsOutput : Output {
  explicit WindowsOutput(HANDLE file) : handle(file) {}
  HANDLE handle;
  std::string seek(std::uint64_t offset) const override {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(handle, at, nullptr, FILE_BEGIN)
               ? std::string()
               : windows_error_text(::GetLastError());
  }
  std::string write(const char* data, std::size_t size) const override {
    while (size > 0) {
      const DWORD piece = size > 1u << 30 ? DWORD{1u << 30} : static_cast<DWORD>(size);
      DWORD put = 0;
      if (!::WriteFile(handle, data, piece, &put, nullptr))
        return windows_error_text(::GetLastError());
      if (put == 0) return windows_error_text(ERROR_DISK_FULL);
      data += put;
      size -= put;
    }
    return {};
  }
  std::string extend(std::uint64_t size) const override {
    std::string error = seek(size);
    if (error.empty() && !::SetEndOfFile(handle)) error = windows_error_text(::GetLastError());
    return error;
  }
};

// The member's time of last change as Windows counts it.
std::optional<FILETIME> time_of(archive_entry* entry) {
  if (!archive_entry_mtime_is_set(entry)) return std::nullopt;
  // 100-nanosecond steps since 1601-01-01; times before that are not kept.
  constexpr std::int64_t EPOCH_OFFSET = 116444736000000000;
  const std::int64_t seconds = archive_entry_mtime(entry);
  if (seconds < -EPOCH_OFFSET / 10000000 || seconds > (INT64_MAX - EPOCH_OFFSET) / 10000000 - 1)
    return std::nullopt;
  const std::int64_t steps =
      seconds * 10000000 + archive_entry_mtime_nsec(entry) / 100 + EPOCH_OFFSET;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(steps) & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(steps) >> 32);
  return time;
}

}  // namespace

const std::size_t Placer::NAME_LIMIT = 255;
const char* const Placer::NAME_UNIT = " UTF-16 units";
std::size_t Placer::name_length(const std::string& name) { return to_wide(name).size(); }

// The modes of the archive: Windows has none to apply.
unsigned Placer::file_mode(unsigned) { return 0; }

NameLook look_at_name(const fs::path& path, bool) {
  const OnDisk there = look_at(path);
  NameLook out;
  out.error = there.error;
  out.link = there.kind == OnDisk::Link;
  out.target = there.target;
  // An absolute target starts at its drive (and so lies outside).
  if (out.link && there.absolute) out.restart = path_from_utf8(there.target).root_path();
  return out;
}

bool non_folder_at(const fs::path& path) {
  const OnDisk there = look_at(path);
  return there.kind == OnDisk::File || there.kind == OnDisk::Link;
}

class Placer::Impl {
 public:
  Impl(const fs::path& root, Progress& progress) : root_(root), progress_(progress) {}

  // Every member takes the way of a name with a link on it.
  bool place_directly(Member&, MemberData&, const Judge&) { return false; }

  // The folder beside the destination is the tool's own (staging.hpp), so
  // nothing else changes it meanwhile. Modes are not applied (Windows files
  // have none); files, folders and links inherit the folder's permissions.
  void place_resolved(const Member& m, MemberData& data, const std::string& relative) {
    const std::vector<std::string> physical = split(relative);
    const std::string shown = join(physical, physical.size());
    fs::path location = root_;
    for (std::size_t i = 0; i + 1 < physical.size(); ++i) {
      location /= path_from_utf8(physical[i]);
      if (!::CreateDirectoryW(location.c_str(), nullptr) &&
          ::GetLastError() != ERROR_ALREADY_EXISTS) {
        cannot_windows(m.name, "Can't create '" + join(physical, i + 1) + "'", ::GetLastError());
      }
      progress_.wrote = true;
    }
    location /= path_from_utf8(physical.back());

    const OnDisk there = look_at(location);
    if (!there.error.empty()) cannot_text(m.name, "Can't create '" + shown + "'", there.error);
    if (there.kind == OnDisk::Directory) {
      if (m.kind == Kind::Directory) {  // an existing folder stays
        progress_.wrote = true;
        data.skip();
        remember_folder_time(data.entry(), shown);
        return;
      }
      if (!::RemoveDirectoryW(location.c_str())) {
        cannot_windows(m.name, "Can't replace the folder '" + shown + "'", ::GetLastError());
      }
    } else if (there.kind != OnDisk::Missing) {
      // A link to a folder is removed as a folder, any other as a file.
      const DWORD attributes = ::GetFileAttributesW(location.c_str());
      const bool folder_link =
          attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
      if (!(folder_link ? ::RemoveDirectoryW(location.c_str()) : ::DeleteFileW(location.c_str()))) {
        cannot_windows(m.name, "Can't replace '" + shown + "'", ::GetLastError());
      }
    }

    switch (m.kind) {
      case Kind::File: {
        // Shared for deletion only: the Ctrl-C handler, holding this thread
        // still mid-write, removes the file with its folder.
        // Windows removes no file that is still open: the Ctrl-C handler
        // closes this one before it removes the folder beside.
        HANDLE out = INVALID_HANDLE_VALUE;
        {
          FileOpening opening;
          out =
              ::CreateFileW(location.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
          if (out != INVALID_HANDLE_VALUE) close_on_interrupt(out);
        }
        if (out == INVALID_HANDLE_VALUE)
          cannot_windows(m.name, "Can't create '" + shown + "'", ::GetLastError());
        progress_.wrote = true;
        progress_.written += m.bytes;
        struct Closer {
          HANDLE handle;
          ~Closer() {
            ::CloseHandle(handle);
            keep_from_interrupt(handle);
          }
        } closer{out};
        const std::optional<FileId> id = id_of(out);
        if (!id) cannot_windows(m.name, "Can't create '" + shown + "'", ::GetLastError());
        written_.insert(*id);
        data.write(m, WindowsOutput{out});
        const std::optional<FILETIME> time = time_of(data.entry());
        if (time && !::SetFileTime(out, nullptr, nullptr, &*time)) {
          cannot_windows(m.name, "Can't set the time", ::GetLastError());
        }
        closer.handle = INVALID_HANDLE_VALUE;
        const BOOL closed = ::CloseHandle(out);
        keep_from_interrupt(out);
        if (!closed) cannot_windows(m.name, "Write failed", ::GetLastError());
        return;
      }
      case Kind::Directory:
        if (!::CreateDirectoryW(location.c_str(), nullptr)) {
          cannot_windows(m.name, "Can't create '" + shown + "'", ::GetLastError());
        }
        progress_.wrote = true;
        data.skip();
        remember_folder_time(data.entry(), shown);
        return;
      case Kind::Symlink: place_symlink(m, location, shown); return;
      case Kind::Hardlink: {
        // A hard link is a name and no more: data stored with it would be
        // written into the file it names. Its target is a file this run
        // created (judged before).
        const fs::path target = root_ / path_from_utf8(m.link_text);
        if (!::CreateHardLinkW(location.c_str(), target.c_str(), nullptr)) {
          cannot_windows(m.name, "Can't create '" + shown + "'", ::GetLastError());
        }
        progress_.wrote = true;
        return;
      }
    }
  }

  Found hardlink_target(const std::string& relative) {
    const fs::path target = root_ / path_from_utf8(relative);
    const OnDisk there = look_at(target);
    if (there.kind == OnDisk::Missing && there.error.empty()) return Found::Nothing;
    if (there.kind != OnDisk::File) return Found::Other;
    const std::optional<FileId> id = id_of(target);
    return id && written_.count(*id) != 0 ? Found::WrittenFile : Found::Other;
  }

  // Folders get the times of their members last: writing into a folder
  // changes its time. A folder replaced since is left as it is.
  void finish() {
    for (const auto& [path, time] : folder_times_) {
      HANDLE folder = ::CreateFileW(
          (root_ / path_from_utf8(path)).c_str(), FILE_WRITE_ATTRIBUTES,
          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (folder == INVALID_HANDLE_VALUE) continue;
      ::SetFileTime(folder, nullptr, nullptr, &time);
      ::CloseHandle(folder);
    }
    folder_times_.clear();
  }

 private:
  // Windows makes symbolic links only for users with the right to create
  // them (or in developer mode). Without it, a link to a file already
  // unpacked becomes a copy of that file (its content lies inside the
  // destination, judged like the link); any other link cannot be made and
  // ends the extraction with the system's reason.
  void place_symlink(const Member& m, const fs::path& location, const std::string& shown) {
    std::string text = m.link_text;
    std::replace(text.begin(), text.end(), '/', '\\');
    const Resolved target = resolve(location.parent_path(), split(m.link_text), true);
    const DWORD attributes =
        target.error.empty() ? ::GetFileAttributesW(target.path.c_str()) : INVALID_FILE_ATTRIBUTES;
    const bool folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    DWORD flags =
        SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
    // A link is made only when it is there afterwards: some emulations of
    // Windows report success and make none.
    const auto made = [&] {
      if (!::CreateSymbolicLinkW(location.c_str(), to_wide(text).c_str(), flags)) return false;
      if (look_at(location).kind == OnDisk::Link) return true;
      ::SetLastError(ERROR_NOT_SUPPORTED);
      return false;
    };
    if (made()) {
      progress_.wrote = true;
      return;
    }
    DWORD error = ::GetLastError();
    if (error == ERROR_INVALID_PARAMETER) {  // a Windows without the flag for unprivileged links
      flags &= ~DWORD{SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE};
      if (made()) {
        progress_.wrote = true;
        return;
      }
      error = ::GetLastError();
    }
    const bool file = attributes != INVALID_FILE_ATTRIBUTES && !folder;
    if ((error == ERROR_PRIVILEGE_NOT_HELD || error == ERROR_NOT_SUPPORTED) && file &&
        inside(target.path, root_)) {
      if (!::CopyFileW(target.path.c_str(), location.c_str(), TRUE)) {
        cannot_windows(m.name, "Can't create '" + shown + "' as a copy of its link target",
                       ::GetLastError());
      }
      progress_.wrote = true;
      // A copy of a file this run wrote may be a hard link's target, as the
      // link would be where links are made (the target found through it).
      const std::optional<FileId> source = id_of(target.path);
      if (source && written_.count(*source) != 0) {
        if (const std::optional<FileId> copy = id_of(location)) written_.insert(*copy);
      }
      return;
    }
    cannot_windows(m.name, "Can't create the symbolic link '" + shown + "'", error);
  }

  void remember_folder_time(archive_entry* entry, const std::string& path) {
    if (const std::optional<FILETIME> time = time_of(entry))
      folder_times_.emplace_back(path, *time);
  }

  fs::path root_;  // absolute, links resolved
  Progress& progress_;
  std::vector<std::pair<std::string, FILETIME>> folder_times_;
  std::set<FileId> written_;  // the files created
};

Placer::Placer(const fs::path& root, const fs::path& /*previous*/, Progress& progress)
    : impl_(std::make_unique<Impl>(root, progress)) {}
Placer::~Placer() = default;
void Placer::next_member() {}
bool Placer::place_directly(Member& m, MemberData& data, const Judge& judge) {
  return impl_->place_directly(m, data, judge);
}
void Placer::place_resolved(const Member& m, MemberData& data, const std::string& relative) {
  impl_->place_resolved(m, data, relative);
}
Placer::Found Placer::hardlink_target(const std::string& relative) {
  return impl_->hardlink_target(relative);
}
void Placer::finish() { impl_->finish(); }

}  // namespace keelbox::archive_detail

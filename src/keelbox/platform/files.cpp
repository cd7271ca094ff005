#include "keelbox/platform/files.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox {
namespace {

std::string errno_text(int err, const std::filesystem::path& path) {
  return "'" + path_to_utf8(path) + "': " + std::strerror(err);
}

[[noreturn]] void refuse_kind(FileKind kind, const std::filesystem::path& path) {
  if (kind == FileKind::Directory) throw FileSystemError("Cannot read " + errno_text(EISDIR, path));
  const char* what = "not a regular file";
  switch (kind) {
    case FileKind::Fifo: what = "a FIFO"; break;
    case FileKind::Socket: what = "a socket"; break;
    case FileKind::CharacterDevice: what = "a character device"; break;
    case FileKind::BlockDevice: what = "a block device"; break;
    default: break;
  }
  throw FileSystemError("Cannot read '" + path_to_utf8(path) + "': it is " + what +
                        ", not a regular file");
}

void check_size(std::size_t size, std::size_t max_bytes, const std::filesystem::path& path) {
  if (size > max_bytes) {
    throw FileSystemError("Cannot read '" + path_to_utf8(path) + "': larger than " +
                          std::to_string(max_bytes / 1024) + " KiB");
  }
}

#ifdef _WIN32

std::error_code last_error() {
  return {static_cast<int>(::GetLastError()), std::system_category()};
}

// The system's text without the line end FormatMessage puts after it.
std::string text_of(const std::error_code& error) {
  std::string text = error.message();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

// A handle closed with its owner.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (*this) ::CloseHandle(handle_);
  }
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

 private:
  HANDLE handle_;
};

// Security attributes of a file only the current user may use: a protected
// DACL (no entries inherited from the folder) allowing the user full control.
class OwnerOnly {
 public:
  OwnerOnly() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) {
      error_ = last_error();
      return;
    }
    const Handle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    user_.resize(size / sizeof(DWORD) + 1);
    if (!::GetTokenInformation(token.get(), TokenUser, user_.data(), size, &size)) {
      error_ = last_error();
      return;
    }
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid);
    acl_.resize(acl_size / sizeof(DWORD) + 1);
    auto* acl = reinterpret_cast<PACL>(acl_.data());
    if (!::InitializeAcl(acl, acl_size, ACL_REVISION) ||
        !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
        !::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      error_ = last_error();
      return;
    }
    attributes_ = {sizeof(SECURITY_ATTRIBUTES), &descriptor_, FALSE};
  }
  OwnerOnly(const OwnerOnly&) = delete;
  OwnerOnly& operator=(const OwnerOnly&) = delete;

  const std::error_code& error() const { return error_; }
  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

 private:
  std::vector<DWORD> user_;  // DWORDs: the structures need their alignment
  std::vector<DWORD> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  std::error_code error_;
};

// A new owner-only file open for writing, or the reason.
HANDLE create_new_private(const std::filesystem::path& path, std::error_code& error) {
  OwnerOnly security;
  if (security.error()) {
    error = security.error();
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                security.attributes(), CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    error = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS
                ? std::make_error_code(std::errc::file_exists)
                : std::error_code(static_cast<int>(code), std::system_category());
  }
  return handle;
}

FileKind kind_of_handle(HANDLE handle) {
  switch (::GetFileType(handle)) {
    case FILE_TYPE_DISK: return FileKind::Regular;
    case FILE_TYPE_CHAR: return FileKind::CharacterDevice;
    case FILE_TYPE_PIPE: return FileKind::Fifo;
    default: return FileKind::Other;
  }
}

#endif

}  // namespace

#ifdef _WIN32

std::error_code create_private_file(const std::filesystem::path& path, bool) {
  std::error_code error;
  const Handle file(create_new_private(path, error));
  return error;
}

PrivateTemporaryFile create_private_temporary_file(const std::filesystem::path& folder,
                                                   const std::string& prefix) {
  PrivateTemporaryFile out;
  out.path = folder / path_from_utf8(prefix + "XXXXXX");
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%06x", static_cast<unsigned>(random() & 0xFFFFFF));
    const std::filesystem::path name = folder / path_from_utf8(prefix + suffix);
    std::error_code error;
    HANDLE handle = create_new_private(name, error);
    if (error == std::errc::file_exists) continue;
    if (error) {
      out.error = error;
      return out;
    }
    const int fd =
        ::_open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
      out.error = {errno, std::generic_category()};
      ::CloseHandle(handle);
      ::DeleteFileW(name.c_str());
      return out;
    }
    out.fd = FileDescriptor(fd);
    out.path = name;
    return out;
  }
  out.error = std::make_error_code(std::errc::file_exists);
  return out;
}

std::error_code replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return last_error();
  return {};
}

void flush_folder(const std::filesystem::path&) {}

std::error_code remove_file(const std::filesystem::path& path) {
  if (::DeleteFileW(path.c_str())) return {};
  const DWORD code = ::GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return {};
  return {static_cast<int>(code), std::system_category()};
}

FileKind file_kind(const std::filesystem::path& path, std::error_code& error) {
  error.clear();
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return FileKind::Missing;
    error = {static_cast<int>(code), std::system_category()};
    return FileKind::Unknown;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::Directory;
  // No access asked for: opening tells the kind without reading anything.
  const Handle handle(::CreateFileW(path.c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) {
    error = last_error();
    return FileKind::Unknown;
  }
  return kind_of_handle(handle.get());
}

std::string read_regular_file(const std::filesystem::path& path, std::size_t max_bytes) {
  std::error_code error;
  const FileKind kind = file_kind(path, error);
  if (error) throw FileSystemError("Cannot read '" + path_to_utf8(path) + "': " + text_of(error));
  if (kind == FileKind::Missing) throw FileSystemError("Cannot read " + errno_text(ENOENT, path));
  if (kind != FileKind::Regular) refuse_kind(kind, path);
  const Handle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file)
    throw FileSystemError("Cannot read '" + path_to_utf8(path) + "': " + text_of(last_error()));
  // Swapped for something else since the check.
  if (const FileKind now = kind_of_handle(file.get()); now != FileKind::Regular)
    refuse_kind(now, path);
  std::string text;
  char buffer[8192];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
      throw FileSystemError("Cannot read '" + path_to_utf8(path) + "': " + text_of(last_error()));
    }
    if (got == 0) break;
    text.append(buffer, got);
    check_size(text.size(), max_bytes, path);
  }
  return text;
}

bool is_link(const std::filesystem::path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool can_read(const std::filesystem::path& path) {
  const Handle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return static_cast<bool>(file);
}

#else

std::error_code create_private_file(const std::filesystem::path& path, bool through_link) {
  const int flags = through_link ? O_WRONLY | O_CREAT | O_CLOEXEC
                                 : O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
  const int fd = ::open(path.c_str(), flags, 0600);
  if (fd < 0) return {errno, std::generic_category()};
  ::close(fd);
  return {};
}

PrivateTemporaryFile create_private_temporary_file(const std::filesystem::path& folder,
                                                   const std::string& prefix) {
  PrivateTemporaryFile out;
  std::string name = (folder / (prefix + "XXXXXX")).string();
  out.fd = FileDescriptor(::mkstemp(name.data()));
  out.path = name;
  if (!out.fd) {
    out.error = {errno, std::generic_category()};
    return out;
  }
  ::fchmod(out.fd.get(), 0600);
  return out;
}

std::error_code replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return {errno, std::generic_category()};
  return {};
}

void flush_folder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

std::error_code remove_file(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return {errno, std::generic_category()};
  return {};
}

namespace {
FileKind kind_of_mode(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::Regular;
  if (S_ISDIR(mode)) return FileKind::Directory;
  if (S_ISFIFO(mode)) return FileKind::Fifo;
  if (S_ISSOCK(mode)) return FileKind::Socket;
  if (S_ISCHR(mode)) return FileKind::CharacterDevice;
  if (S_ISBLK(mode)) return FileKind::BlockDevice;
  return FileKind::Other;
}

// Closes a descriptor when it goes out of scope.
struct Descriptor {
  int fd = -1;
  explicit Descriptor(int value) : fd(value) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};
}  // namespace

FileKind file_kind(const std::filesystem::path& path, std::error_code& error) {
  error.clear();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return FileKind::Missing;
    error = {errno, std::generic_category()};
    return FileKind::Unknown;
  }
  return kind_of_mode(st.st_mode);
}

std::string read_regular_file(const std::filesystem::path& path, std::size_t max_bytes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw FileSystemError("Cannot read " + errno_text(errno, path));
  if (!S_ISREG(st.st_mode)) refuse_kind(kind_of_mode(st.st_mode), path);
  // Non-blocking, in case the file was swapped for a FIFO since the check.
  Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (file.fd < 0) throw FileSystemError("Cannot read " + errno_text(errno, path));
  if (::fstat(file.fd, &st) != 0) throw FileSystemError("Cannot read " + errno_text(errno, path));
  if (!S_ISREG(st.st_mode)) refuse_kind(kind_of_mode(st.st_mode), path);
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(file.fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FileSystemError("Cannot read " + errno_text(errno, path));
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    check_size(text.size(), max_bytes, path);
  }
  return text;
}

bool is_link(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec));
}

bool can_read(const std::filesystem::path& path) { return ::access(path.c_str(), R_OK) == 0; }

#endif

std::error_code close_file(FileDescriptor& fd) {
  if (close_descriptor(fd.release()) != 0) return {errno, std::generic_category()};
  return {};
}

std::error_code flush_to_disk(int fd) {
#ifdef _WIN32
  const int failed = ::_commit(fd);
#else
  const int failed = ::fsync(fd);
#endif
  if (failed != 0) return {errno, std::generic_category()};
  return {};
}

}  // namespace keelbox

// Small helpers shared by the Windows test programs: UTF-16 <-> UTF-8 at the
// system boundary and whole-file reads and appends. Windows only.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace standin {

inline std::string utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

inline std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// The variable's value, or nothing when it is not set.
inline std::optional<std::wstring> env(const wchar_t* name) {
  SetLastError(ERROR_SUCCESS);
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::wstring();
  }
  std::wstring value(size, L'\0');
  const DWORD n = GetEnvironmentVariableW(name, value.data(), size);
  value.resize(n);
  return value;
}

// Writes all bytes to a standard handle (no text-mode translation).
inline void put(DWORD which, const std::string& text) {
  const HANDLE h = GetStdHandle(which);
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD wrote = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 20));
    if (!WriteFile(h, text.data() + done, chunk, &wrote, nullptr) || wrote == 0) return;
    done += wrote;
  }
}

inline std::optional<std::string> read_file(const std::wstring& path) {
  const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string out;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  CloseHandle(h);
  return out;
}

// Replaces the file's content (write to a sibling, then move over it).
inline bool write_file(const std::wstring& path, const std::string& content) {
  const std::wstring temp = path + L".new";
  const HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD wrote = 0;
  const bool ok =
      WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &wrote, nullptr) &&
      wrote == content.size();
  CloseHandle(h);
  return ok && MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

inline bool append_file(const std::wstring& path, const std::string& content) {
  const HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD wrote = 0;
  const bool ok =
      WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &wrote, nullptr) &&
      wrote == content.size();
  CloseHandle(h);
  return ok;
}

}  // namespace standin

#include "keelbox/platform/folders.hpp"

#ifdef _WIN32
#include <windows.h>
// The GUID of the known folder defined here rather than taken from libuuid.
#include <initguid.h>
#include <knownfolders.h>
#include <shlobj.h>
#endif

namespace keelbox {

std::filesystem::path known_local_app_data_folder() {
#ifdef _WIN32
  PWSTR text = nullptr;
  std::filesystem::path folder;
  if (::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &text) == S_OK)
    folder = text;
  ::CoTaskMemFree(text);  // also when the call failed
  return folder;
#else
  return {};
#endif
}

}  // namespace keelbox

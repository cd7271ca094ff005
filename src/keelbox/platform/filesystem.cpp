#include "keelbox/platform/filesystem.hpp"

namespace keelbox {

bool runs_on_windows() {
#ifdef _WIN32
  return true;
#else
  return false;
#endif
}

bool is_path_separator(char c) { return c == '/' || (runs_on_windows() && c == '\\'); }

char preferred_path_separator() { return runs_on_windows() ? '\\' : '/'; }

std::size_t drive_prefix_length(std::string_view path) {
  return runs_on_windows() && path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

}  // namespace keelbox

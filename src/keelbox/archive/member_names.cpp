#include "keelbox/archive/member_names.hpp"

#include <array>
#include <cstdio>

namespace keelbox {
namespace {

bool is_separator(char c, bool windows) { return c == '/' || (windows && c == '\\'); }

std::vector<std::string> components(std::string_view path, bool windows) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !is_separator(path[end], windows)) ++end;
    if (end > start && path.substr(start, end - start) != ".")
      parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// "C:" and what follows it: a drive, absolute or relative to that drive's
// current folder, never a name below the destination.
bool has_drive(std::string_view path) {
  return path.size() >= 2 && path[1] == ':' && upper(path[0]) >= 'A' && upper(path[0]) <= 'Z';
}

// The names of devices Windows finds in every folder, with any extension.
bool is_device_name(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  std::string name;
  for (char c : base) name += upper(c);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"}) {
    if (name == device) return true;
  }
  if (name.size() < 4 || (name.compare(0, 3, "COM") != 0 && name.compare(0, 3, "LPT") != 0))
    return false;
  const std::string_view digit = std::string_view(name).substr(3);
  // 0 to 9, and the superscripts ¹ ² ³ (UTF-8), which Windows reads as digits here.
  return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" ||
         digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

MemberName split(std::string_view text, bool windows, bool link) {
  MemberName out;
  if (!link) {
    while (!text.empty() && is_separator(text.front(), windows)) text.remove_prefix(1);
  } else if (!text.empty() && is_separator(text.front(), windows)) {
    out.refusal = "absolute link target";
    return out;
  }
  if (windows && has_drive(text)) {
    out.refusal = link ? "absolute link target" : "it names a drive, an absolute path on Windows";
    return out;
  }
  out.parts = components(text, windows);
  if (windows) {
    for (const std::string& part : out.parts) {
      std::string problem = windows_component_problem(part);
      if (!problem.empty()) {
        out.refusal = (link ? "its link target has the name '" : "its path has the name '") + part +
                      "', " + problem;
        break;
      }
    }
  }
  return out;
}

}  // namespace

std::string windows_component_problem(std::string_view component) {
  if (component == "." || component == "..") return {};
  for (char c : component) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == ':') return "and ':' names a data stream of a file on Windows";
    if (byte < 0x20 || std::string_view("<>\"|?*").find(c) != std::string_view::npos) {
      char shown[8];
      if (byte < 0x20) {
        std::snprintf(shown, sizeof shown, "\\x%02x", byte);
      } else {
        std::snprintf(shown, sizeof shown, "%c", c);
      }
      return std::string("and Windows allows no '") + shown + "' in names";
    }
  }
  if (component.back() == '.' || component.back() == ' ') {
    return "and Windows drops dots and blanks at the end of a name";
  }
  if (is_device_name(component)) return "a device name on Windows";
  return {};
}

MemberName split_member_name(std::string_view name, bool windows) {
  return split(name, windows, false);
}

MemberName split_link_target(std::string_view target, bool windows) {
  return split(target, windows, true);
}

}  // namespace keelbox

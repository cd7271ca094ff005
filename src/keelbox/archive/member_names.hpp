#pragma once
// The names an archive member may have, taken apart. Windows reads more into
// a name than POSIX systems do: "\\" separates folders, "C:" names a drive,
// "a:b" an alternate data stream, "NUL" or "com1.txt" a device, trailing dots
// and blanks are dropped ("a." is "a"), and some characters are not allowed.
// Such a name could write somewhere else than it says, or alias another
// member past the checks, so it is refused. The rules of a system are chosen
// by `windows`, so that both sets can be tested anywhere.
#include <string>
#include <string_view>
#include <vector>

namespace keelbox {

struct MemberName {
  std::vector<std::string> parts;  // the components, empty ones and "." dropped
  std::string refusal;             // why the name cannot be unpacked; empty when it can
};

// A member name: leading separators ("/", and "\\" on Windows) stripped; a
// name still absolute afterwards (a drive on Windows) is refused, and on
// Windows so is a component with a meaning of its own there.
MemberName split_member_name(std::string_view name, bool windows);

// A link target's components; `refusal` tells an absolute target (a leading
// separator, a drive on Windows) or, on Windows, a component with a meaning
// of its own there. ".." stays, for the caller to resolve.
MemberName split_link_target(std::string_view target, bool windows);

// Why Windows would not take `component` as the plain name it looks like
// (a device name, a stream, a trailing dot or blank, a character it does not
// allow); empty when it would. "." and ".." are plain.
std::string windows_component_problem(std::string_view component);

}  // namespace keelbox

#include "keelbox/text/semver.hpp"

#include <algorithm>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox::semver {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_char(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}
bool all_digits(std::string_view s) {
  for (char c : s) {
    if (!is_digit(c)) return false;
  }
  return true;
}

// A numeric part: one or more digits, no leading zero unless it is "0".
bool is_number(std::string_view s) {
  return !s.empty() && all_digits(s) && !(s.size() > 1 && s[0] == '0');
}

std::vector<std::string_view> split_dots(std::string_view s) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t dot = s.find('.', start);
    if (dot == std::string_view::npos) {
      parts.push_back(s.substr(start));
      return parts;
    }
    parts.push_back(s.substr(start, dot - start));
    start = dot + 1;
  }
}

// Digit strings without leading zeros: the longer one is larger.
int compare_numbers(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int compare_identifiers(const std::string& a, const std::string& b) {
  bool an = all_digits(a);
  bool bn = all_digits(b);
  if (an && bn) return compare_numbers(a, b);
  if (an) return -1;  // numeric identifiers rank below alphanumeric ones
  if (bn) return 1;
  int c = a.compare(b);  // ASCII order
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

[[noreturn]] void invalid(std::string_view text) {
  throw InvalidVersionError(std::string(text) + " is not valid SemVer string");
}

}  // namespace

Version parse(std::string_view text) {
  std::string_view rest = text;
  Version v;

  std::size_t plus = rest.find('+');
  if (plus != std::string_view::npos) {
    std::string_view build = rest.substr(plus + 1);
    for (std::string_view id : split_dots(build)) {
      if (id.empty()) invalid(text);
      for (char c : id) {
        if (!is_ident_char(c)) invalid(text);
      }
    }
    v.build = std::string(build);
    rest = rest.substr(0, plus);
  }

  std::size_t dash = rest.find('-');
  if (dash != std::string_view::npos) {
    for (std::string_view id : split_dots(rest.substr(dash + 1))) {
      if (id.empty()) invalid(text);
      for (char c : id) {
        if (!is_ident_char(c)) invalid(text);
      }
      if (all_digits(id) && !is_number(id)) invalid(text);  // leading zero
      v.prerelease.emplace_back(id);
    }
    rest = rest.substr(0, dash);
  }

  std::vector<std::string_view> core = split_dots(rest);
  if (core.size() != 3) invalid(text);
  for (std::string_view part : core) {
    if (!is_number(part)) invalid(text);
  }
  v.major = std::string(core[0]);
  v.minor = std::string(core[1]);
  v.patch = std::string(core[2]);
  return v;
}

bool is_valid(std::string_view text) noexcept {
  try {
    parse(text);
    return true;
  } catch (...) {
    return false;
  }
}

int compare(const Version& a, const Version& b) noexcept {
  if (int c = compare_numbers(a.major, b.major)) return c;
  if (int c = compare_numbers(a.minor, b.minor)) return c;
  if (int c = compare_numbers(a.patch, b.patch)) return c;
  // A version with a pre-release part ranks below the same version without.
  if (a.prerelease.empty() || b.prerelease.empty()) {
    if (a.prerelease.empty() && b.prerelease.empty()) return 0;
    return a.prerelease.empty() ? 1 : -1;
  }
  std::size_t n = std::min(a.prerelease.size(), b.prerelease.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (int c = compare_identifiers(a.prerelease[i], b.prerelease[i])) return c;
  }
  if (a.prerelease.size() == b.prerelease.size()) return 0;
  return a.prerelease.size() < b.prerelease.size() ? -1 : 1;
}

int compare(std::string_view a, std::string_view b) {
  Version va = parse(a);
  Version vb = parse(b);
  return compare(va, vb);
}

}  // namespace keelbox::semver

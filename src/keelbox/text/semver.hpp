#pragma once
// Semantic Versioning 2.0.0: parsing and precedence.
//
// A small module of our own: no Debian package offers a C++ library for
// Semantic Versioning, and the rules are short. Only the full form
// MAJOR.MINOR.PATCH[-PRERELEASE][+BUILD] is accepted, numbers without leading
// zeros and without a leading "v" ("1.0", "2024.1", "v1.0.0" and "1.0.0rc1" are
// refused). Numeric parts of any length are compared exactly (they are kept as
// digit strings, so no overflow).
#include <string>
#include <string_view>
#include <vector>

namespace keelbox::semver {

struct Version {
  std::string major;  // digit strings without leading zeros
  std::string minor;
  std::string patch;
  std::vector<std::string> prerelease;  // identifiers, empty when none
  std::string build;                    // ignored by precedence, empty when none
};

// Parses `text`; throws keelbox::InvalidVersionError when it is not a valid
// Semantic Version.
Version parse(std::string_view text);

// True when `text` parses.
bool is_valid(std::string_view text) noexcept;

// Precedence: negative when a ranks below b, zero when equal (the build part is
// ignored), positive when above.
int compare(const Version& a, const Version& b) noexcept;

// Parses both (a first) and compares them; throws InvalidVersionError.
int compare(std::string_view a, std::string_view b);

}  // namespace keelbox::semver

#pragma once
// Unicode's case properties and its full case mappings without locale or
// context conditions, from tables that tools/gen_case_tables.py writes at
// build time out of Unicode's data files (case_tables_data.cpp in the build
// tree). The text module's own; other modules use strings.hpp.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace keelbox::case_tables {

// The code points first, first + stride, ... up to first + span map to
// themselves + delta. Runs are sorted and do not interleave.
struct Run {
  std::uint32_t first : 21;
  std::uint32_t span : 8;
  std::uint32_t stride : 2;
  std::int32_t delta;
};

// The longest full mapping, in code points.
inline constexpr std::size_t kMaxMapped = 3;

// A code point whose full mapping is other text than its simple mapping
// (unused places hold 0).
struct Special {
  char32_t code_point;
  char32_t text[kMaxMapped];
};

struct Mapping {
  std::span<const Run> runs;          // sorted by first
  std::span<const Special> specials;  // sorted by code point
};

// Property bits of `properties`.
enum PropertyBit : std::uint32_t { kCased = 1, kCaseIgnorable = 2, kWhiteSpace = 4 };

// Generated data. `properties` holds (code point << 3 | bits) for every code
// point where the bits change, from 0 on; `lower`, `title` and `upper` are
// the full mappings (title: as a word's first character is title-cased, so a
// combining mark keeps its form).
extern const std::string_view unicode_version;  // of the data files, "15.0.0"
extern const std::span<const std::uint32_t> properties;
extern const Mapping lower;
extern const Mapping title;
extern const Mapping upper;

// The property bits of `c` (0 beyond U+10FFFF).
std::uint32_t property_bits(char32_t c);

// `c`'s full mapping in `out`, and its length; 0 when `c` maps to itself.
std::size_t mapped(char32_t c, const Mapping& mapping, char32_t (&out)[kMaxMapped]);

// `c` (a Unicode scalar value) appended to `out` as UTF-8.
void append_utf8(std::string& out, char32_t c);

}  // namespace keelbox::case_tables

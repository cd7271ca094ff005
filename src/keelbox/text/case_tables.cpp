#include "keelbox/text/case_tables.hpp"

namespace keelbox::case_tables {
namespace {

// The index of the last of `count` items whose key(i) is at most `value`, or
// `count` when there is none (keys ascending). Written out rather than with
// std::upper_bound: the comparison of every code point in unit_text runs
// this millions of times, in unoptimised builds too.
template <class Key>
std::size_t last_at_most(std::size_t count, std::uint32_t value, Key key) {
  std::size_t low = 0;  // items before low are at most value
  std::size_t high = count;
  while (low < high) {
    const std::size_t middle = (low + high) / 2;
    if (key(middle) <= value) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low == 0 ? count : low - 1;
}

}  // namespace

std::uint32_t property_bits(char32_t c) {
  if (c > 0x10FFFF) return 0;
  // The last change at or before c; the table starts at code point 0.
  const std::uint32_t* data = properties.data();
  return data[last_at_most(properties.size(), std::uint32_t{c} << 3 | 7U,
                           [data](std::size_t i) { return data[i]; })] &
         7U;
}

std::size_t mapped(char32_t c, const Mapping& mapping, char32_t (&out)[kMaxMapped]) {
  const Special* specials = mapping.specials.data();
  const std::size_t special = last_at_most(
      mapping.specials.size(), c, [specials](std::size_t i) { return specials[i].code_point; });
  if (special != mapping.specials.size() && specials[special].code_point == c) {
    std::size_t length = 0;
    for (char32_t m : specials[special].text) {
      if (m != 0) out[length++] = m;
    }
    return length;
  }
  const Run* runs = mapping.runs.data();
  const std::size_t run =
      last_at_most(mapping.runs.size(), c, [runs](std::size_t i) { return runs[i].first; });
  if (run == mapping.runs.size()) return 0;
  const Run& r = runs[run];
  const std::uint32_t offset = c - r.first;
  if (offset > r.span || offset % r.stride != 0) return 0;
  out[0] = static_cast<char32_t>(static_cast<std::int32_t>(c) + r.delta);
  return 1;
}

void append_utf8(std::string& out, char32_t c) {
  char bytes[4];
  std::size_t length = 0;
  const auto byte = [&](std::uint32_t value) { bytes[length++] = static_cast<char>(value & 0xFF); };
  if (c < 0x80) {
    byte(c);
  } else if (c < 0x800) {
    byte(0xC0 | c >> 6);
    byte(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    byte(0xE0 | c >> 12);
    byte(0x80 | (c >> 6 & 0x3F));
    byte(0x80 | (c & 0x3F));
  } else {
    byte(0xF0 | c >> 18);
    byte(0x80 | (c >> 12 & 0x3F));
    byte(0x80 | (c >> 6 & 0x3F));
    byte(0x80 | (c & 0x3F));
  }
  out.append(bytes, length);
}

}  // namespace keelbox::case_tables

// The table backend of case_mapping.hpp: Unicode's data through
// case_tables.hpp, ill-formed UTF-8 taken by its maximal subparts.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "keelbox/text/case_mapping.hpp"
#include "keelbox/text/case_tables.hpp"

namespace keelbox::unicode {
namespace {

// The code point that starts at text[i], with i moved past it. An ill-formed
// sequence yields -1 and its maximal subpart is skipped: a lead byte and the
// continuation bytes that can follow it, or else one byte.
std::int32_t next_code_point(std::string_view text, std::size_t& i) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned lead = bytes[i++];
  if (lead < 0x80) return static_cast<std::int32_t>(lead);
  std::size_t trail = 0;
  unsigned low = 0x80;  // the range of the first continuation byte
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    if (lead == 0xE0) low = 0xA0;   // no overlong form
    if (lead == 0xED) high = 0x9F;  // no surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    if (lead == 0xF0) low = 0x90;   // no overlong form
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return -1;
  }
  std::uint32_t c = lead & (0x3FU >> trail);
  for (; trail > 0; --trail) {
    if (i == text.size() || bytes[i] < low || bytes[i] > high) return -1;
    c = c << 6 | (bytes[i++] & 0x3FU);
    low = 0x80;
    high = 0xBF;
  }
  return static_cast<std::int32_t>(c);
}

std::vector<CodePoint> decode(std::string_view text) {
  std::vector<CodePoint> out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const std::int32_t c = next_code_point(text, i);
    out.push_back({c, text.substr(start, i - start)});
  }
  return out;
}

bool has(std::int32_t c, std::uint32_t bit) {
  return c >= 0 && (case_tables::property_bits(static_cast<char32_t>(c)) & bit) != 0;
}

// A mapped text: `length` code points, none when a code point stays as it is.
struct Mapped {
  char32_t code_points[case_tables::kMaxMapped] = {};
  std::size_t length = 0;
};

Mapped map(std::int32_t c, const case_tables::Mapping& mapping) {
  Mapped m;
  if (c >= 0) m.length = case_tables::mapped(static_cast<char32_t>(c), mapping, m.code_points);
  return m;
}

void append(std::string& out, const Mapped& m) {
  for (std::size_t i = 0; i < m.length; ++i) case_tables::append_utf8(out, m.code_points[i]);
}

void append(std::string& out, const CodePoint& cp, const case_tables::Mapping& mapping) {
  const Mapped m = map(cp.c, mapping);
  if (m.length == 0) {
    out.append(cp.bytes);
  } else {
    append(out, m);
  }
}

struct TableProps {
  static bool is_cased(std::int32_t c) { return has(c, case_tables::kCased); }
  static bool is_case_ignorable(std::int32_t c) { return has(c, case_tables::kCaseIgnorable); }
  static void append_title(std::string& out, const CodePoint& cp) {
    append(out, cp, case_tables::title);
  }
  static void append_lower(std::string& out, const CodePoint& cp) {
    append(out, cp, case_tables::lower);
  }
};

// A text rewritten piece by piece: the stretches between replaced pieces are
// copied in one go.
class Rewrite {
 public:
  explicit Rewrite(std::string_view text) : text_(text) { out_.reserve(text.size()); }

  // `piece` (a part of the text after the last one replaced) as `m`.
  void replace(std::string_view piece, const Mapped& m) {
    const auto start = static_cast<std::size_t>(piece.data() - text_.data());
    out_.append(text_.substr(copied_, start - copied_));
    append(out_, m);
    copied_ = start + piece.size();
  }

  std::string finish() {
    out_.append(text_.substr(copied_));
    return std::move(out_);
  }

 private:
  std::string_view text_;
  std::string out_;
  std::size_t copied_ = 0;  // the text before this offset is in out_
};

// White space as Python's str.strip() counts it: White_Space and the ASCII
// separators 0x1C to 0x1F.
bool is_space(std::int32_t c) {
  return (c >= 0x1C && c <= 0x1F) || has(c, case_tables::kWhiteSpace);
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (next_code_point(text, i) < 0) return false;
  }
  return true;
}

std::string trim(std::string_view text) {
  const std::vector<CodePoint> cps = decode(text);
  std::size_t begin = 0;
  std::size_t end = cps.size();
  while (begin < end && is_space(cps[begin].c)) ++begin;
  while (end > begin && is_space(cps[end - 1].c)) --end;
  if (begin == end) return {};
  const char* first = cps[begin].bytes.data();
  const char* last = cps[end - 1].bytes.data() + cps[end - 1].bytes.size();
  return std::string(first, last);
}

// Ill-formed sequences each become U+FFFD; a capital sigma that ends a word
// becomes the final small sigma.
std::string lower(std::string_view text) {
  const std::vector<CodePoint> cps = decode(text);
  Rewrite out(text);
  for (std::size_t i = 0; i < cps.size(); ++i) {
    Mapped m;
    if (cps[i].c < 0) {
      m.code_points[m.length++] = 0xFFFD;
    } else if (cps[i].c == kCapitalSigma && is_final_sigma<TableProps>(cps, i)) {
      m.code_points[m.length++] = kFinalSigma;
    } else {
      m = map(cps[i].c, case_tables::lower);
    }
    if (m.length != 0) out.replace(cps[i].bytes, m);
  }
  return out.finish();
}

// Ill-formed sequences are kept as they are.
std::string upper(std::string_view text) {
  Rewrite out(text);
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const Mapped m = map(next_code_point(text, i), case_tables::upper);
    if (m.length != 0) out.replace(text.substr(start, i - start), m);
  }
  return out.finish();
}

std::string title_runs(std::string_view text) { return title_case_runs<TableProps>(decode(text)); }

std::string_view version() { return case_tables::unicode_version; }

}  // namespace

const Backend table_backend{
    upper, lower, title_runs, trim, is_valid_utf8, case_tables::property_bits, version};

}  // namespace keelbox::unicode

#pragma once
// The Unicode work behind strings.hpp, done with tables generated at build
// time from Unicode's data files (case_tables.hpp). The text module's own;
// other modules use strings.hpp.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox::unicode {

// What strings.hpp promises of unicode_upper, unicode_lower, title_case_runs,
// trim_unicode and is_valid_utf8.
struct Backend {
  std::string (*upper)(std::string_view text);
  std::string (*lower)(std::string_view text);
  std::string (*title_case_runs)(std::string_view text);
  std::string (*trim)(std::string_view text);
  bool (*is_valid_utf8)(std::string_view text);
  // The case_tables::PropertyBit bits of a code point: Cased, Case_Ignorable,
  // White_Space.
  std::uint32_t (*properties)(char32_t c);
  // The Unicode version of the data files ("15.0.0").
  std::string_view (*unicode_version)();
};

extern const Backend table_backend;

// One code point of a decoded text, with the bytes it was decoded from.
struct CodePoint {
  std::int32_t c;  // negative for an ill-formed sequence (its maximal subpart)
  std::string_view bytes;
};

// Two algorithms over a backend's `Props`:
// is_cased(c), is_case_ignorable(c) (false for a negative c), and
// append_title(out, cp), append_lower(out, cp) (full mappings as UTF-8).

// A capital sigma at position i lower-cases to the final form when a cased
// letter comes before it and none after it (case-ignorable characters skipped).
template <class Props>
bool is_final_sigma(const std::vector<CodePoint>& cps, std::size_t i) {
  std::size_t j = i;
  while (j > 0 && Props::is_case_ignorable(cps[j - 1].c)) --j;
  if (j == 0 || !Props::is_cased(cps[j - 1].c)) return false;
  std::size_t k = i + 1;
  while (k < cps.size() && Props::is_case_ignorable(cps[k].c)) ++k;
  return !(k < cps.size() && Props::is_cased(cps[k].c));
}

inline constexpr std::int32_t kCapitalSigma = 0x03A3;
inline constexpr char32_t kFinalSigma = 0x03C2;  // GREEK SMALL LETTER FINAL SIGMA
inline constexpr std::string_view kFinalSigmaUtf8 = "\xCF\x82";

// Each run of cased characters: its first title-cased, the others lower-cased
// (a capital sigma to the final form where it ends a word); every other
// character, and every ill-formed sequence, kept as it is.
template <class Props>
std::string title_case_runs(const std::vector<CodePoint>& cps) {
  std::string out;
  bool previous_is_cased = false;
  for (std::size_t i = 0; i < cps.size(); ++i) {
    const CodePoint& cp = cps[i];
    const bool cased = Props::is_cased(cp.c);
    if (!cased) {
      out.append(cp.bytes);
    } else if (!previous_is_cased) {
      Props::append_title(out, cp);
    } else if (cp.c == kCapitalSigma && is_final_sigma<Props>(cps, i)) {
      out += kFinalSigmaUtf8;
    } else {
      Props::append_lower(out, cp);
    }
    previous_is_cased = cased;
  }
  return out;
}

}  // namespace keelbox::unicode

#include "keelbox/text/strings.hpp"

// Case mappings are ICU's full (multi-character) mappings with a locale that
// has no special casing rules, so "ß" upper-cases to "SS" whatever the user's
// locale.
#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {
namespace {

bool is_ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool is_unicode_space(UChar32 c) {
  if (c < 0) return false;  // an invalid sequence is not white space
  if (c >= 0x1C && c <= 0x1F) return true;
  return u_hasBinaryProperty(c, UCHAR_WHITE_SPACE);
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_ascii_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_scheme_char(char c) {
  return is_ascii_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

bool ends_authority(char c) { return c == '/' || c == '?' || c == '#' || is_ascii_space(c); }

[[noreturn]] void case_mapping_failed(UErrorCode status) {
  throw RuntimeError(std::string("case mapping: ") + u_errorName(status));
}

// The text `call(dest, capacity, status)` writes, asked first for its length
// (ICU's preflighting: capacity 0 answers U_BUFFER_OVERFLOW_ERROR and the
// length).
template <class Char, class Call>
std::basic_string<Char> preflighted(Call call) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = call(nullptr, 0, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) case_mapping_failed(status);
  std::basic_string<Char> out(static_cast<std::size_t>(length), Char{});
  if (length == 0) return out;
  status = U_ZERO_ERROR;
  length = call(out.data(), length, &status);
  if (U_FAILURE(status)) case_mapping_failed(status);
  out.resize(static_cast<std::size_t>(length));
  return out;
}

// No language-specific casing (Turkish dotted i, Greek accent removal).
constexpr const char* kCaseLocale = "en";

enum class Mapping { Lower, Title };

// The full case mapping of one code point, as UTF-8.
std::string map_code_point(UChar32 c, Mapping kind) {
  UChar src[2];
  int32_t src_len = 0;
  U16_APPEND_UNSAFE(src, src_len, c);
  UChar dest[16];
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = kind == Mapping::Lower
                  ? u_strToLower(dest, 16, src, src_len, kCaseLocale, &status)
                  : u_strToTitle(dest, 16, src, src_len, nullptr, kCaseLocale, &status);
  if (U_FAILURE(status)) throw RuntimeError(std::string("case mapping: ") + u_errorName(status));
  char out[64];
  int32_t out_len = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(out, sizeof out, &out_len, dest, n, &status);
  if (U_FAILURE(status)) throw RuntimeError(std::string("case mapping: ") + u_errorName(status));
  return std::string(out, static_cast<std::size_t>(out_len));
}

struct CodePoint {
  UChar32 c;  // negative for a byte that is not well-formed UTF-8
  std::string_view bytes;
};

std::vector<CodePoint> decode(std::string_view text) {
  std::vector<CodePoint> out;
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    out.push_back({c, text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start))});
  }
  return out;
}

bool is_cased(UChar32 c) { return c >= 0 && u_hasBinaryProperty(c, UCHAR_CASED); }
bool is_case_ignorable(UChar32 c) { return c >= 0 && u_hasBinaryProperty(c, UCHAR_CASE_IGNORABLE); }

// A capital sigma at position i lower-cases to the final form when a cased
// letter comes before it and none after it (case-ignorable characters skipped).
bool is_final_sigma(const std::vector<CodePoint>& cps, std::size_t i) {
  std::size_t j = i;
  while (j > 0 && is_case_ignorable(cps[j - 1].c)) --j;
  if (j == 0 || !is_cased(cps[j - 1].c)) return false;
  std::size_t k = i + 1;
  while (k < cps.size() && is_case_ignorable(cps[k].c)) ++k;
  return !(k < cps.size() && is_cased(cps[k].c));
}

}  // namespace

std::string_view trim_ascii(std::string_view text) {
  while (!text.empty() && is_ascii_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_ascii_space(text.back())) text.remove_suffix(1);
  return text;
}

bool is_valid_utf8(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::string trim_unicode(std::string_view text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (!is_unicode_space(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t prev = end;
    UChar32 c;
// ICU's macro casts in the old style.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
    U8_PREV(s, begin, prev, c);
#pragma GCC diagnostic pop
    if (!is_unicode_space(c)) break;
    end = prev;
  }
  return std::string(text.substr(static_cast<std::size_t>(begin),
                                 static_cast<std::size_t>(end - begin)));
}

std::string unicode_lower(std::string_view text) {
  // As UTF-16 with every ill-formed UTF-8 sequence replaced by U+FFFD, lower-
  // cased by the root locale's rules (final sigma included), back to UTF-8.
  const std::u16string wide = preflighted<char16_t>([&](UChar* dest, int32_t capacity, UErrorCode* status) {
    int32_t length = 0;
    u_strFromUTF8WithSub(dest, capacity, &length, text.data(), static_cast<int32_t>(text.size()), 0xFFFD,
                         nullptr, status);
    return length;
  });
  const std::u16string lowered = preflighted<char16_t>([&](UChar* dest, int32_t capacity, UErrorCode* status) {
    return u_strToLower(dest, capacity, wide.data(), static_cast<int32_t>(wide.size()), "", status);
  });
  return preflighted<char>([&](char* dest, int32_t capacity, UErrorCode* status) {
    int32_t length = 0;
    u_strToUTF8(dest, capacity, &length, lowered.data(), static_cast<int32_t>(lowered.size()), status);
    return length;
  });
}

std::string unicode_upper(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCaseMap, decltype(&ucasemap_close)> map(ucasemap_open(kCaseLocale, 0, &status),
                                                           &ucasemap_close);
  if (U_FAILURE(status)) throw RuntimeError(std::string("case mapping: ") + u_errorName(status));
  std::string out(text.size() * 3 + 4, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    status = U_ZERO_ERROR;
    int32_t n = ucasemap_utf8ToUpper(map.get(), out.data(), static_cast<int32_t>(out.size()),
                                     text.data(), static_cast<int32_t>(text.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<std::size_t>(n) + 1, '\0');
      continue;
    }
    if (U_FAILURE(status)) throw RuntimeError(std::string("case mapping: ") + u_errorName(status));
    out.resize(static_cast<std::size_t>(n));
    return out;
  }
  throw RuntimeError("case mapping: buffer overflow");
}

std::string title_case_runs(std::string_view text) {
  std::vector<CodePoint> cps = decode(text);
  std::string out;
  out.reserve(text.size());
  bool previous_is_cased = false;
  for (std::size_t i = 0; i < cps.size(); ++i) {
    const CodePoint& cp = cps[i];
    bool cased = is_cased(cp.c);
    if (!cased) {
      out.append(cp.bytes);
    } else if (!previous_is_cased) {
      out += map_code_point(cp.c, Mapping::Title);
    } else if (cp.c == 0x03A3 && is_final_sigma(cps, i)) {
      out += "\xCF\x82";  // U+03C2 GREEK SMALL LETTER FINAL SIGMA
    } else {
      out += map_code_point(cp.c, Mapping::Lower);
    }
    previous_is_cased = cased;
  }
  return out;
}

std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (std::size_t hit = text.find(from); hit != std::string_view::npos;
       hit = text.find(from, pos)) {
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower(c);
  return out;
}

bool iequals_ascii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string mask_url_credentials(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0;  // text before this offset is in `out`
  for (std::size_t sep = text.find("://"); sep != std::string_view::npos;
       sep = text.find("://", sep + 3)) {
    std::size_t scheme = sep;
    while (scheme > copied && is_scheme_char(text[scheme - 1])) --scheme;
    while (scheme < sep && !is_ascii_alpha(text[scheme])) ++scheme;  // a scheme begins with a letter
    if (scheme == sep) continue;
    const std::size_t start = sep + 3;
    std::size_t end = start;
    while (end < text.size() && !ends_authority(text[end])) ++end;
    const std::string_view authority = text.substr(start, end - start);
    const std::size_t at = authority.rfind('@');
    if (at == std::string_view::npos) continue;
    const std::string_view userinfo = authority.substr(0, at);
    const std::size_t colon = userinfo.find(':');
    out.append(text.substr(copied, start - copied));
    if (colon == std::string_view::npos) {
      out += "****";
    } else {
      out.append(userinfo.substr(0, colon));
      out += ":****";
    }
    copied = start + at;  // from the "@" on
    sep = copied;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace keelbox

#include "keelbox/text/strings.hpp"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cstdint>

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
    U8_PREV(s, begin, prev, c);
    if (!is_unicode_space(c)) break;
    end = prev;
  }
  return std::string(text.substr(static_cast<std::size_t>(begin),
                                 static_cast<std::size_t>(end - begin)));
}

std::string unicode_lower(std::string_view text) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  u.toLower(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
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

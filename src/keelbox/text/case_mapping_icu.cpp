// The ICU backend of case_mapping.hpp. Case mappings are ICU's full
// (multi-character) mappings with a locale that has no special casing rules,
// so "ß" upper-cases to "SS" whatever the user's locale.
#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/text/case_mapping.hpp"
#include "keelbox/text/case_tables.hpp"

namespace keelbox::unicode {
namespace {

bool is_unicode_space(UChar32 c) {
  if (c < 0) return false;  // an invalid sequence is not white space
  if (c >= 0x1C && c <= 0x1F) return true;
  return u_hasBinaryProperty(c, UCHAR_WHITE_SPACE);
}

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
  if (U_FAILURE(status)) case_mapping_failed(status);
  char out[64];
  int32_t out_len = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(out, sizeof out, &out_len, dest, n, &status);
  if (U_FAILURE(status)) case_mapping_failed(status);
  return std::string(out, static_cast<std::size_t>(out_len));
}

std::vector<CodePoint> decode(std::string_view text) {
  std::vector<CodePoint> out;
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    out.push_back(
        {c, text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start))});
  }
  return out;
}

struct IcuProps {
  static bool is_cased(UChar32 c) { return c >= 0 && u_hasBinaryProperty(c, UCHAR_CASED); }
  static bool is_case_ignorable(UChar32 c) {
    return c >= 0 && u_hasBinaryProperty(c, UCHAR_CASE_IGNORABLE);
  }
  static void append_title(std::string& out, const CodePoint& cp) {
    out += map_code_point(cp.c, Mapping::Title);
  }
  static void append_lower(std::string& out, const CodePoint& cp) {
    out += map_code_point(cp.c, Mapping::Lower);
  }
};

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

std::string trim(std::string_view text) {
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
  return std::string(
      text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}

std::string lower(std::string_view text) {
  // As UTF-16 with every ill-formed UTF-8 sequence replaced by U+FFFD, lower-
  // cased by the root locale's rules (final sigma included), back to UTF-8.
  const std::u16string wide =
      preflighted<char16_t>([&](UChar* dest, int32_t capacity, UErrorCode* status) {
        int32_t length = 0;
        u_strFromUTF8WithSub(dest, capacity, &length, text.data(),
                             static_cast<int32_t>(text.size()), 0xFFFD, nullptr, status);
        return length;
      });
  const std::u16string lowered = preflighted<char16_t>([&](UChar* dest, int32_t capacity,
                                                           UErrorCode* status) {
    return u_strToLower(dest, capacity, wide.data(), static_cast<int32_t>(wide.size()), "", status);
  });
  return preflighted<char>([&](char* dest, int32_t capacity, UErrorCode* status) {
    int32_t length = 0;
    u_strToUTF8(dest, capacity, &length, lowered.data(), static_cast<int32_t>(lowered.size()),
                status);
    return length;
  });
}

std::string upper(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCaseMap, decltype(&ucasemap_close)> map(ucasemap_open(kCaseLocale, 0, &status),
                                                           &ucasemap_close);
  if (U_FAILURE(status)) case_mapping_failed(status);
  std::string out(text.size() * 3 + 4, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    status = U_ZERO_ERROR;
    int32_t n = ucasemap_utf8ToUpper(map.get(), out.data(), static_cast<int32_t>(out.size()),
                                     text.data(), static_cast<int32_t>(text.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<std::size_t>(n) + 1, '\0');
      continue;
    }
    if (U_FAILURE(status)) case_mapping_failed(status);
    out.resize(static_cast<std::size_t>(n));
    return out;
  }
  throw RuntimeError("case mapping: buffer overflow");
}

std::string title_runs(std::string_view text) { return title_case_runs<IcuProps>(decode(text)); }

std::uint32_t properties(char32_t c) {
  const auto code_point = static_cast<UChar32>(c);
  return (u_hasBinaryProperty(code_point, UCHAR_CASED) ? case_tables::kCased : 0U) |
         (u_hasBinaryProperty(code_point, UCHAR_CASE_IGNORABLE) ? case_tables::kCaseIgnorable
                                                                : 0U) |
         (u_hasBinaryProperty(code_point, UCHAR_WHITE_SPACE) ? case_tables::kWhiteSpace : 0U);
}

std::string_view version() { return U_UNICODE_VERSION; }

}  // namespace

const Backend icu_backend{upper, lower, title_runs, trim, is_valid_utf8, properties, version};

}  // namespace keelbox::unicode

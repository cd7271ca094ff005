// Name resolution: what a typed name denotes among the account's modules, and
// the display names of module codes.
//
// Case mappings are ICU's full (multi-character) mappings with a locale that
// has no special casing rules, so "ß" upper-cases to "SS" whatever the user's
// locale. Title-casing is done character by character rather than with ICU's
// word-based titlecasing: a run of cased letters (the Unicode Cased property)
// starts with a titlecased letter and goes on in lower case, and every other
// character ends the run unchanged, so that "3D" stays "3D".
#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <map>
#include <memory>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/modules/catalogue.hpp"

namespace keelbox {
namespace {

// No language-specific casing (Turkish dotted i, Greek accent removal).
constexpr const char* kCaseLocale = "en";

std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    std::size_t hit = text.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::string utf8_to_upper(std::string_view text) {
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

}  // namespace

std::string _normalize_name_for_module(std::string_view name) {
  std::string result = utf8_to_upper(name);
  for (char& ch : result) {
    if (ch == '-' || ch == ' ') ch = '_';
  }
  if (!std::string_view(result).starts_with("ENT_")) result.insert(0, "ENT_");
  return result;
}

std::optional<std::string> str_to_module(std::string_view name,
                                         const std::vector<KeelboxEntitlement>& entitlements) {
  const std::string normalized = _normalize_name_for_module(name);
  for (const KeelboxEntitlement& e : entitlements) {
    if (e.code == normalized) return e.code;
  }
  return std::nullopt;
}

std::optional<std::string> str_to_package(std::string_view name,
                                          const std::vector<KeelboxEntitlement>& entitlements) {
  for (const KeelboxEntitlement& e : entitlements) {
    for (const std::string& package : e.packages) {
      if (package == name) return std::string(name);
    }
  }
  return std::nullopt;
}

ClassifiedNames install_names_to_modules_and_packages(
    const std::vector<std::string>& names, const std::vector<KeelboxEntitlement>& entitled_modules) {
  ClassifiedNames result;
  for (const std::string& name : names) {
    if (std::optional<std::string> code = str_to_module(name, entitled_modules)) {
      result.module_codes.push_back(std::move(*code));
    } else if (std::optional<std::string> package = str_to_package(name, entitled_modules)) {
      result.package_names.push_back(std::move(*package));
    } else {
      result.error_names.push_back(name);
    }
  }
  return result;
}

std::vector<std::string> list_of_module_codes_to_list_of_package_names(
    const std::vector<std::string>& module_codes,
    const std::vector<KeelboxEntitlement>& entitled_modules) {
  std::map<std::string, const std::vector<std::string>*> packages_of;
  for (const KeelboxEntitlement& e : entitled_modules) packages_of[e.code] = &e.packages;
  std::vector<std::string> result;
  for (const std::string& code : module_codes) {
    auto it = packages_of.find(code);
    if (it == packages_of.end()) continue;
    result.insert(result.end(), it->second->begin(), it->second->end());
  }
  return result;
}

std::string _module_code_to_name(std::string_view code) {
  std::string name = replace_all(code, "ENT_", "");
  name = replace_all(name, "FREE", "");
  for (char& ch : name) {
    if (ch == '_') ch = ' ';
  }
  return title_case_runs(name);
}

}  // namespace keelbox

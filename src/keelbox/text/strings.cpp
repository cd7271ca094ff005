#include "keelbox/text/strings.hpp"

#include <string>

#include "keelbox/text/case_mapping.hpp"

namespace keelbox {
namespace {

bool is_ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_ascii_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_scheme_char(char c) {
  return is_ascii_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

bool ends_authority(char c) { return c == '/' || c == '?' || c == '#' || is_ascii_space(c); }

// Tables generated from Unicode's data files.
const unicode::Backend& backend = unicode::table_backend;

}  // namespace

std::string_view trim_ascii(std::string_view text) {
  while (!text.empty() && is_ascii_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_ascii_space(text.back())) text.remove_suffix(1);
  return text;
}

bool is_valid_utf8(std::string_view text) { return backend.is_valid_utf8(text); }

std::string trim_unicode(std::string_view text) { return backend.trim(text); }

std::string unicode_lower(std::string_view text) { return backend.lower(text); }

std::string unicode_upper(std::string_view text) { return backend.upper(text); }

std::string title_case_runs(std::string_view text) { return backend.title_case_runs(text); }

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
    while (scheme < sep && !is_ascii_alpha(text[scheme]))
      ++scheme;  // a scheme begins with a letter
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

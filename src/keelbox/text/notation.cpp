#include "keelbox/text/notation.hpp"

#include <cstdint>

namespace keelbox {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex_escape(std::string& out, const char* prefix, unsigned value) {
  out += prefix;
  out += kHex[(value >> 4) & 0xF];
  out += kHex[value & 0xF];
}

// Length of the valid UTF-8 sequence at `s[i]`, or 0 when it is not valid.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i, std::uint32_t& cp) {
  auto b = static_cast<unsigned char>(s[i]);
  std::size_t len;
  std::uint32_t min;
  if (b < 0x80) {
    cp = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    len = 2, cp = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, cp = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, cp = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

std::string visible(std::string_view text, bool keep_line_feeds) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t cp = 0;
    std::size_t len = utf8_sequence_length(text, i, cp);
    if (len == 0) {  // not UTF-8: kept, unless it is a C1 control as a byte
      const auto byte = static_cast<unsigned char>(text[i]);
      if (byte <= 0x9F) {
        append_hex_escape(out, "\\x", byte);
      } else {
        out += text[i];
      }
      ++i;
      continue;
    }
    if (cp == '\n' && keep_line_feeds) {
      out += '\n';
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if ((cp < 0x20 && cp != '\t') || (cp >= 0x7F && cp <= 0x9F)) {
      append_hex_escape(out, "\\x", cp);
    } else {
      out.append(text.substr(i, len));
    }
    i += len;
  }
  return out;
}

std::string join(const std::vector<std::string>& items, const char* open, const char* close,
                 bool lone_comma) {
  std::string out = open;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += quote_text(items[i]);
  }
  if (lone_comma && items.size() == 1) out += ",";
  out += close;
  return out;
}

}  // namespace

std::string quote_text(std::string_view item) {
  const bool has_single = item.find('\'') != std::string_view::npos;
  const bool has_double = item.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out(1, quote);
  for (std::size_t i = 0; i < item.size();) {
    std::uint32_t cp = 0;
    std::size_t len = utf8_sequence_length(item, i, cp);
    if (len == 0) {  // not UTF-8: shown as the escaped byte it stands for
      out += "\\udc";
      append_hex_escape(out, "", static_cast<unsigned char>(item[i]));
      ++i;
      continue;
    }
    if (cp == '\\') {
      out += "\\\\";
    } else if (cp == static_cast<std::uint32_t>(quote)) {
      out += '\\';
      out += quote;
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
      append_hex_escape(out, "\\x", cp);
    } else {
      out.append(item.substr(i, len));
    }
    i += len;
  }
  out += quote;
  return out;
}

std::string show_controls(std::string_view text) { return visible(text, false); }

std::string show_controls_keep_lines(std::string_view text) { return visible(text, true); }

std::string list_notation(const std::vector<std::string>& items) {
  return join(items, "[", "]", false);
}

std::string tuple_notation(const std::vector<std::string>& items) {
  return join(items, "(", ")", true);
}

}  // namespace keelbox

#include "keelbox/text/base64.hpp"

#include <cstdint>

namespace keelbox::text {

std::string base64_encode(std::string_view data) {
  static constexpr char ALPHABET[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  auto byte = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(data[at]));
  };
  for (; i + 3 <= data.size(); i += 3) {
    const std::uint32_t group = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
    out += ALPHABET[group >> 18];
    out += ALPHABET[(group >> 12) & 63];
    out += ALPHABET[(group >> 6) & 63];
    out += ALPHABET[group & 63];
  }
  const std::size_t rest = data.size() - i;
  if (rest > 0) {
    const std::uint32_t group = (byte(i) << 16) | (rest == 2 ? byte(i + 1) << 8 : 0);
    out += ALPHABET[group >> 18];
    out += ALPHABET[(group >> 12) & 63];
    out += rest == 2 ? ALPHABET[(group >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace keelbox::text

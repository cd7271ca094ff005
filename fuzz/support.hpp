#pragma once
// Shared pieces of the fuzz harnesses: reporting a broken property, and the
// input as text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace keelbox::fuzz {

// A property of the parser does not hold: print it and abort, which libFuzzer
// reports as a crash and saves the input.
[[noreturn]] inline void broken(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz property broken: %.*s\n", static_cast<int>(what.size()), what.data());
  if (!detail.empty()) {
    std::fprintf(stderr, "  detail: %.*s\n", static_cast<int>(detail.size()), detail.data());
  }
  std::abort();
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace keelbox::fuzz

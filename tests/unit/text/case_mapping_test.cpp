// The table backend against ICU, the reference: every Unicode scalar value
// alone and in the contexts that decide title runs and the final sigma,
// chosen strings, and random bytes. ICU is not built for Windows.
#ifndef _WIN32
#include "keelbox/text/case_mapping.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "keelbox/text/case_tables.hpp"

namespace keelbox::unicode {
namespace {

using Call = std::string (*const Backend::*)(std::string_view);

struct Function {
  const char* name;
  Call call;
};

std::string utf8(char32_t c) {
  std::string out;
  case_tables::append_utf8(out, c);
  return out;
}

std::string hex(std::string_view bytes) {
  std::string out;
  char buffer[4];
  for (char b : bytes) {
    std::snprintf(buffer, sizeof buffer, "%02X ", static_cast<unsigned char>(b));
    out += buffer;
  }
  return out;
}

std::vector<char32_t> scalar_values() {
  std::vector<char32_t> out;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c < 0xD800 || c > 0xDFFF) out.push_back(c);  // surrogates are no scalar values
  }
  return out;
}

// The code points ICU gives any of the properties in `bits`.
std::vector<char32_t> with_property(std::uint32_t bits) {
  static const std::vector<std::pair<char32_t, std::uint32_t>> having_any = [] {
    std::vector<std::pair<char32_t, std::uint32_t>> out;
    for (char32_t c : scalar_values()) {
      if (const std::uint32_t found = icu_backend.properties(c); found != 0)
        out.emplace_back(c, found);
    }
    return out;
  }();
  std::vector<char32_t> out;
  for (const auto& [c, found] : having_any) {
    if ((found & bits) != 0) out.push_back(c);
  }
  return out;
}

// `functions` give the same answers in both backends for the code points,
// each appended to a text by `context` (with others around it), many of them
// in one text; after a difference the code points of that text one by one,
// so that the failure names them.
template <class Context>
void expect_in_context_alike(const std::vector<char32_t>& code_points, Context context,
                             std::initializer_list<Function> functions) {
  constexpr std::size_t kPerText = 0x1000;
  int reported = 0;
  for (std::size_t first = 0; first < code_points.size() && reported < 10; first += kPerText) {
    const std::size_t last = std::min(first + kPerText, code_points.size());
    std::string text;
    for (std::size_t i = first; i < last; ++i) context(text, code_points[i]);
    bool alike = true;
    for (const Function& f : functions)
      alike = alike && (icu_backend.*f.call)(text) == (table_backend.*f.call)(text);
    for (std::size_t i = first; !alike && i < last && reported < 10; ++i) {
      std::string one;
      context(one, code_points[i]);
      for (const Function& f : functions) {
        const std::string expected = (icu_backend.*f.call)(one);
        const std::string actual = (table_backend.*f.call)(one);
        if (expected == actual) continue;
        ++reported;
        ADD_FAILURE() << f.name << " of " << hex(one) << ": ICU " << hex(expected) << ", tables "
                      << hex(actual);
      }
    }
  }
}

constexpr Function kUpper{"upper", &Backend::upper};
constexpr Function kLower{"lower", &Backend::lower};
constexpr Function kTitle{"title_case_runs", &Backend::title_case_runs};

// Every function gives the same answer for `text` in both backends.
void expect_alike(std::string_view text) {
  for (const Function& f : {kUpper, kLower, kTitle, Function{"trim", &Backend::trim}}) {
    EXPECT_EQ((icu_backend.*f.call)(text), (table_backend.*f.call)(text))
        << f.name << " of " << hex(text);
  }
  EXPECT_EQ(icu_backend.is_valid_utf8(text), table_backend.is_valid_utf8(text)) << hex(text);
}

TEST(CaseMapping, TablesAreOfIcusUnicodeVersion) {
  const std::string icu(icu_backend.unicode_version());
  const std::string tables(table_backend.unicode_version());
  EXPECT_EQ(tables.substr(0, icu.size() + 1), icu + ".")
      << "ICU " << icu << ", data files " << tables;
}

TEST(CaseMapping, EveryCodePointHasTheSameProperties) {
  int reported = 0;
  for (char32_t c = 0; c <= 0x10FFFF && reported < 10; ++c) {
    const std::uint32_t expected = icu_backend.properties(c);
    const std::uint32_t actual = table_backend.properties(c);
    if (expected == actual) continue;
    ++reported;
    ADD_FAILURE() << "properties of U+" << std::hex << static_cast<std::uint32_t>(c) << ": ICU "
                  << expected << ", tables " << actual;
  }
}

TEST(CaseMapping, EveryScalarValueMapsAlike) {
  expect_in_context_alike(scalar_values(), case_tables::append_utf8, {kUpper, kLower});
}

// The properties being alike (above), title-casing a run differs from
// lower-casing only in its first character: the mapping of each cased
// character where it starts a run, and within one, remain to compare.
TEST(CaseMapping, EveryCasedCharacterStartsAndContinuesRunsAlike) {
  const std::vector<char32_t> cased = with_property(case_tables::kCased);
  expect_in_context_alike(cased,
                          [](std::string& text, char32_t c) {
                            text += '.';
                            case_tables::append_utf8(text, c);
                          },
                          {kTitle});
  expect_in_context_alike(cased,
                          [](std::string& text, char32_t c) {
                            text += 'A';
                            case_tables::append_utf8(text, c);
                          },
                          {kTitle});
}

// Whether a capital sigma ends a word depends on the characters around it
// being cased, case-ignorable or neither. ICU's lower-casing reads that from
// its case data, not through the properties compared above: each character
// with either property is compared in contexts that tell the three apart
// (characters with neither, in the chosen and random texts below).
TEST(CaseMapping, EveryCasedOrIgnorableCharacterDecidesTheFinalSigmaAlike) {
  expect_in_context_alike(with_property(case_tables::kCased | case_tables::kCaseIgnorable),
                          [](std::string& text, char32_t c) {
                            const std::string s = utf8(c);
                            text += "." + s + "\xCE\xA3.A\xCE\xA3" + s + ".A" + s + "\xCE\xA3.";
                          },
                          {kLower});
}

TEST(CaseMapping, ChosenTextsMapAlike) {
  const char* const texts[] = {
      "",
      "zvk tracer app",
      "ZVK TRACER APP",
      "3D MESH",
      "x_y-z",
      "ab12cd",
      "\xC7\x86"
      "A \xC7\x84x",
      "stra\xC3\x9F"
      "e STRASSE \xEF\xAC\x80",
      "\xC5\x89 \xC7\xB0 \xCE\x90",  // multi-character mappings
      "\xC4\xB0stanbul \xC4\xB1I",   // dotted and dotless i
      "\xCE\x9F\xCE\xA3",
      "\xCE\xA3",
      "\xCE\xA3\xCE\xA3",
      " \xCE\xA3 ",
      "A\xCE\xA3"
      "B",  // sigma contexts
      "A\xCE\xA3'",
      "A'\xCE\xA3",
      "A\xCE\xA3'B",
      "A\xCC\x81\xCE\xA3\xCC\x81",
      "A\xCE\xA3"
      "1",
      "1\xCE\xA3",
      "A\xCD\x85\xCE\xA3",
      "\xCD\x85\xCE\xA3",
      "A\xCE\xA3\xCD\x85"
      "b",  // U+0345, cased and ignorable
      "e\xCC\x81t\xC3\xA9",
      "\xCC\x81"
      "a",
      "A\xE2\x80\x8B"
      "b",                                       // combining marks, ZWSP
      "\xE1\xBE\xB3 \xE1\xBE\xBC \xE1\xBE\x80",  // Greek with iota
      "\xF0\x90\x90\xA8\xF0\x90\x90\x80",        // Deseret, beyond the BMP
      "A\xFF"
      "B",
      "\xCE\xA3\xFF",
      "A\xFF\xCE\xA3",
      "\xE2\x82",
      "a\xC3",
      "\xC0\xAF",
      "\xED\xA0\x80",
      "\xF4\x90\x80\x80",
      "\xF0\x9F\x98",
      "\x80\x80",
      "\xE2\x80\xA8 x \xC2\xA0",
      "\x1C x \x1F",
      " \xFF ",
      "\xE2\xE2\x80\xA8",
      "\xF0\xE2\x80\xA8",
  };
  for (const char* text : texts) expect_alike(text);
}

TEST(CaseMapping, RandomBytesAreAlike) {
  // Pieces that make well-formed, cut and ill-formed sequences when joined.
  const std::vector<std::string> pieces = {
      "a",
      "Z",
      " ",
      ".",
      "'",
      "1",
      "\xCE\xA3",
      "\xC3\x9F",
      "\xCD\x85",
      "\xCC\x81",
      "\xE2\x80\xA8",
      "\xC2\xA0",
      "\xF0\x90\x90\x80",
      "\x80",
      "\xBF",
      "\xC0",
      "\xC2",
      "\xE0",
      "\xE0\xA0",
      "\xED",
      "\xED\xA0",
      "\xEF",
      "\xF0",
      "\xF0\x90",
      "\xF4",
      "\xF4\x90",
      "\xF5",
      "\xFF",
      "\x1D",
  };
  std::mt19937 random(20240601);
  std::uniform_int_distribution<std::size_t> length(0, 8);
  std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
  for (int i = 0; i < 5000; ++i) {
    std::string text;
    for (std::size_t n = length(random); n > 0; --n) text += pieces[piece(random)];
    expect_alike(text);
  }
}

}  // namespace
}  // namespace keelbox::unicode
#endif

#include "text/unicode.hpp"

#include <gtest/gtest.h>

#include <cstdint>

#include "text/unicode_tables.hpp"

namespace torrelm::text {
namespace {

// The generated tables keep the shape the lookups rely on: rising, and digits in whole runs of
// ten (every script's 0 to 9 is one block in Unicode).
TEST(UnicodeTables, RiseAndHoldWholeRunsOfDigits) {
  char32_t last = 0;
  for (const tables::Range& run : tables::kDecimalDigits) {
    EXPECT_TRUE(run.first > last || last == 0);
    EXPECT_EQ((run.last - run.first + 1) % 10, 0u) << static_cast<std::uint32_t>(run.first);
    last = run.last;
  }
  for (std::size_t i = 1; i < tables::kSpaces.size(); ++i) {
    EXPECT_LT(tables::kSpaces[i - 1], tables::kSpaces[i]);
  }
  for (std::size_t i = 0; i < tables::kBaseLetters.size(); ++i) {
    const tables::Folded& entry = tables::kBaseLetters[i];
    if (i > 0) {
      EXPECT_LT(tables::kBaseLetters[i - 1].letter, entry.letter);
    }
    EXPECT_NE(entry.letter, entry.base);
    EXPECT_EQ(base_letter(entry.base), entry.base)  // bare already
        << static_cast<std::uint32_t>(entry.letter);
    EXPECT_GE(entry.letter, 0xC0u);  // base_letter's shortcut
  }
}

TEST(Unicode, ClassifiesAndFoldsAcrossScripts) {
  struct Case {
    char32_t ch;
    bool digit;
    bool space;
    char32_t base;
  };
  // Every letter and decimal digit is checked against unicodedata by the Python tests
  // (test_unicode_tables.py); these are the edges around them and the spaces.
  const Case cases[] = {
      {U'/', false, false, U'/'},
      {U':', false, false, U':'},
      {U'\u066A', false, false, U'\u066A'},
      {U'\u00B2', false, false, U'\u00B2'},  // superscript two: a digit, not a decimal
      {U' ', false, true, U' '},
      {U'\t', false, true, U'\t'},
      {U'\x1F', false, true, U'\x1F'},
      {U'\u00A0', false, true, U'\u00A0'},
      {U'\u3000', false, true, U'\u3000'},
      {U'\u200B', false, false, U'\u200B'},  // zero width
      {U'ǖ', false, false, U'u'},            // two marks
      {U'ǿ', false, false, U'o'},            // ø with an accent: both go
      {U'æ', false, false, U'æ'},
      {U'ǆ', false, false, U'ǆ'},  // folds to two letters
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<std::uint32_t>(c.ch));
    EXPECT_EQ(is_decimal_digit(c.ch), c.digit);
    EXPECT_EQ(is_space(c.ch), c.space);
    EXPECT_EQ(base_letter(c.ch), c.base);
  }
  EXPECT_TRUE(has_accent(U"pokémon"));
  EXPECT_FALSE(has_accent(U"pokemon æ"));
}

TEST(Unicode, CollapsesSpacesAsPythonSplitsThem) {
  struct Case {
    std::string text;
    std::string want;
  };
  const Case cases[] = {
      {"", ""},
      {"funny cats", "funny cats"},
      {"how to tie  tie", "how to tie tie"},
      {" funny cats ", "funny cats"},
      {"   ", ""},
      {"a\t\nb\x1f"
       "c",
       "a b c"},
      {"a\xC2\xA0\xE3\x80\x80 b", "a b"},  // no-break and ideographic spaces
      {"a\xE2\x80\xAF"
       "b",
       "a b"},                                                             // narrow no-break space
      {"caf\xC3\xA9 \xC2\xABx\xC2\xBB", "caf\xC3\xA9 \xC2\xABx\xC2\xBB"},  // é, « and »
      {"a\xE2\x80\x8B"
       "b",
       "a\xE2\x80\x8B"
       "b"},  // a zero width space is no whitespace
  };
  for (const Case& c : cases) EXPECT_EQ(collapse_spaces(c.text), c.want) << c.text;
}

}  // namespace
}  // namespace torrelm::text

// Character data taken from Python's unicodedata by tools/gen_unicode_tables.py, which writes
// unicode_tables.cpp; text/unicode.hpp answers questions with it.
#pragma once

#include <span>

namespace torrelm::text::tables {

// Code points first to last, both included.
struct Range {
  char32_t first;
  char32_t last;
};

// A letter with an accent (or a stroke) and the letter without it, case kept.
struct Folded {
  char32_t letter;
  char32_t base;
};

extern const char kUnicodeVersion[];
// General category Nd, in rising order: every script's 0 to 9 (Arabic-Indic ٠..٩, Devanagari
// ०..९, full-width ０..９, ...).
extern const std::span<const Range> kDecimalDigits;
// What Python's str.isspace() is true of, rising.
extern const std::span<const char32_t> kSpaces;
// By rising letter.
extern const std::span<const Folded> kBaseLetters;

}  // namespace torrelm::text::tables

// Unicode character classes and folds the core needs, as the package's Python sees them (the
// data comes from unicodedata through tools/gen_unicode_tables.py).
#pragma once

#include <string>
#include <string_view>

namespace torrelm::text {

// Whether `ch` is a decimal digit of any script (general category Nd).
bool is_decimal_digit(char32_t ch) noexcept;

// Whether `ch` is whitespace as Python's str.split() takes it (any Unicode space, tab, line or
// paragraph break, and the separators U+001C..U+001F).
bool is_space(char32_t ch) noexcept;

// `ch` without its accent or stroke, case kept, as the fold-accents folding makes it (é, è, ê
// and ë give e, É gives E, ł gives l, が gives か), or `ch` itself when it has none. Letters
// that fold to more than one (ǆ) or to none are their own base.
char32_t base_letter(char32_t ch) noexcept;

// Whether `text` (code points) has a letter with an accent, that is one base_letter changes.
bool has_accent(std::u32string_view text) noexcept;

// `utf8` with the whitespace at either end taken off and every run of it inside made one space,
// as " ".join(text.split()) in Python. Assumes well-formed UTF-8.
std::string collapse_spaces(std::string_view utf8);

}  // namespace torrelm::text

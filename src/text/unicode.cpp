#include "text/unicode.hpp"

#include <algorithm>

#include "text/unicode_tables.hpp"
#include "text/utf8.hpp"

namespace torrelm::text {

bool is_decimal_digit(char32_t ch) noexcept {
  if (ch < 0x80) return ch >= U'0' && ch <= U'9';
  const auto& digits = tables::kDecimalDigits;
  const auto after =
      std::upper_bound(digits.begin(), digits.end(), ch,
                       [](char32_t c, const tables::Range& r) { return c < r.first; });
  return after != digits.begin() && ch <= std::prev(after)->last;
}

bool is_space(char32_t ch) noexcept {
  if (ch < 0x80) return ch == U' ' || (ch >= U'\t' && ch <= U'\r') || (ch >= 0x1C && ch <= 0x1F);
  return std::binary_search(tables::kSpaces.begin(), tables::kSpaces.end(), ch);
}

char32_t base_letter(char32_t ch) noexcept {
  if (ch < 0xC0) return ch;  // no letter below À has an accent
  const auto& letters = tables::kBaseLetters;
  const auto at =
      std::lower_bound(letters.begin(), letters.end(), ch,
                       [](const tables::Folded& f, char32_t c) { return f.letter < c; });
  return at != letters.end() && at->letter == ch ? at->base : ch;
}

bool has_accent(std::u32string_view text) noexcept {
  return std::any_of(text.begin(), text.end(), [](char32_t ch) { return base_letter(ch) != ch; });
}

std::string collapse_spaces(std::string_view utf8) {
  // Most texts have nothing to change: no space at either end, none doubled, and no byte that
  // could begin any other kind of whitespace (C2, E1, E2 and E3 lead those above ASCII).
  bool changes = !utf8.empty() && (utf8.front() == ' ' || utf8.back() == ' ');
  for (std::size_t i = 0; i < utf8.size() && !changes; ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    changes = (byte >= '\t' && byte <= '\r') || (byte >= 0x1C && byte <= 0x1F) || byte == 0xC2 ||
              (byte >= 0xE1 && byte <= 0xE3) ||
              (byte == ' ' && i + 1 < utf8.size() && utf8[i + 1] == ' ');
  }
  if (!changes) return std::string(utf8);
  std::string out;
  out.reserve(utf8.size());
  bool gap = false;
  for (const char32_t ch : decode_utf8(utf8)) {
    if (is_space(ch)) {
      gap = !out.empty();
      continue;
    }
    if (gap) out += ' ';
    gap = false;
    append_utf8(out, ch);
  }
  return out;
}

}  // namespace torrelm::text

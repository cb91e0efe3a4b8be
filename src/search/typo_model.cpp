#include "search/typo_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "text/unicode.hpp"

namespace torrelm::search {
namespace {

// Whether `base` (a base letter) is a vowel: ä, é and ô are vowels as a, e and o are.
constexpr bool vowel(char32_t base) noexcept {
  if (base >= U'A' && base <= U'Z') base += U'a' - U'A';
  return base == U'a' || base == U'e' || base == U'i' || base == U'o' || base == U'u';
}

// Whether text[i] repeats a letter beside it: typing it once more or once less is a small slip.
bool repeats(std::u32string_view text, std::size_t i) noexcept {
  return (i > 0 && text[i - 1] == text[i]) || (i + 1 < text.size() && text[i + 1] == text[i]);
}

std::u32string base_letters(std::u32string_view text) {
  std::u32string out(text);
  for (char32_t& ch : out) ch = text::base_letter(ch);
  return out;
}

}  // namespace

double TypoModel::cheapest() const noexcept {
  return static_cast<double>(std::min({doubled, swap, vowel, accent, other})) / kCostUnits;
}

const TypoModel& default_typo_model() noexcept {
  static const TypoModel kModel{
      .per_edit = 7.0, .doubled = 50, .swap = 60, .vowel = 60, .accent = 30, .other = kCostUnits};
  return kModel;
}

double typo_cost(std::u32string_view typed, std::u32string_view meant, const TypoModel& model,
                 std::size_t band) {
  const std::size_t n = typed.size();
  const std::size_t m = meant.size();
  band = std::min(band, std::max(n, m));
  if ((n > m ? n - m : m - n) > band) band = n > m ? n - m : m - n;
  const std::u32string typed_bases = base_letters(typed);
  const std::u32string meant_bases = base_letters(meant);
  // Three rows (i - 2, i - 1, i) of the table, each cell beyond the band of the diagonal
  // unreachable: memory grows with the meant text alone, time with it times the band.
  constexpr std::uint64_t kFar = std::numeric_limits<std::uint64_t>::max() / 4;
  std::vector<std::uint64_t> rows(3 * (m + 1), kFar);
  const auto row = [&](std::size_t i) { return rows.data() + (i % 3) * (m + 1); };
  // An extra letter in what was typed, or one left out of it.
  const auto extra = [&](std::size_t i) -> std::uint64_t {
    return repeats(typed, i) ? model.doubled : model.other;
  };
  const auto missing = [&](std::size_t j) -> std::uint64_t {
    return repeats(meant, j) ? model.doubled : model.other;
  };
  const auto substitute = [&](std::size_t i, std::size_t j) -> std::uint64_t {
    if (typed[i] == meant[j]) return 0;
    const char32_t a = typed_bases[i];
    const char32_t b = meant_bases[j];
    return a == b ? model.accent : vowel(a) && vowel(b) ? model.vowel : model.other;
  };
  std::uint64_t* first = row(0);
  first[0] = 0;
  for (std::size_t j = 1; j <= std::min(m, band); ++j) first[j] = first[j - 1] + missing(j - 1);
  for (std::size_t i = 1; i <= n; ++i) {
    std::uint64_t* here = row(i);
    const std::uint64_t* up = row(i - 1);
    const std::uint64_t* two_up = row(i - 2 + 3);
    const std::size_t lo = i > band ? i - band : 0;
    const std::size_t hi = std::min(m, i + band);
    // The row's cells left of the band, and the one that held row i - 3's edge, lie beyond it.
    std::fill(here, here + m + 1, kFar);
    if (lo == 0) here[0] = up[0] + extra(i - 1);
    for (std::size_t j = std::max<std::size_t>(lo, 1); j <= hi; ++j) {
      std::uint64_t best = std::min({up[j] + extra(i - 1), here[j - 1] + missing(j - 1),
                                     up[j - 1] + substitute(i - 1, j - 1)});
      if (i > 1 && j > 1 && typed[i - 1] == meant[j - 2] && typed[i - 2] == meant[j - 1]) {
        best = std::min(best, two_up[j - 2] + model.swap);
      }
      here[j] = best;
    }
  }
  // One division of the whole sum: equal sums give the same double.
  return static_cast<double>(row(n)[m]) / kCostUnits;
}

double likelihood(std::uint64_t count, double cost, const TypoModel& model) noexcept {
  return std::log1p(static_cast<double>(count)) - model.per_edit * cost;
}

}  // namespace torrelm::search

#include "search/typo_model.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace torrelm::search {
namespace {

constexpr bool vowel(char32_t ch) noexcept {
  if (ch >= U'A' && ch <= U'Z') ch += U'a' - U'A';
  return ch == U'a' || ch == U'e' || ch == U'i' || ch == U'o' || ch == U'u';
}

// Whether text[i] repeats a letter beside it: typing it once more or once less is a small slip.
bool repeats(std::u32string_view text, std::size_t i) noexcept {
  return (i > 0 && text[i - 1] == text[i]) || (i + 1 < text.size() && text[i + 1] == text[i]);
}

}  // namespace

const TypoModel& default_typo_model() noexcept {
  static const TypoModel kModel{7.0, 0.5, 0.6, 0.6, 1.0};
  return kModel;
}

double typo_cost(std::u32string_view typed, std::u32string_view meant, const TypoModel& model) {
  const std::size_t n = typed.size();
  const std::size_t m = meant.size();
  const std::size_t width = m + 1;
  std::vector<double> d((n + 1) * width);
  const auto at = [&](std::size_t i, std::size_t j) -> double& { return d[i * width + j]; };
  // An extra letter in what was typed, or one left out of it.
  const auto extra = [&](std::size_t i) { return repeats(typed, i) ? model.doubled : model.other; };
  const auto missing = [&](std::size_t j) {
    return repeats(meant, j) ? model.doubled : model.other;
  };
  for (std::size_t i = 1; i <= n; ++i) at(i, 0) = at(i - 1, 0) + extra(i - 1);
  for (std::size_t j = 1; j <= m; ++j) at(0, j) = at(0, j - 1) + missing(j - 1);
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      const char32_t a = typed[i - 1];
      const char32_t b = meant[j - 1];
      const double substitute = a == b ? 0.0 : vowel(a) && vowel(b) ? model.vowel : model.other;
      double best = std::min({at(i - 1, j) + extra(i - 1), at(i, j - 1) + missing(j - 1),
                              at(i - 1, j - 1) + substitute});
      if (i > 1 && j > 1 && a == meant[j - 2] && typed[i - 2] == b) {
        best = std::min(best, at(i - 2, j - 2) + model.swap);
      }
      at(i, j) = best;
    }
  }
  return at(n, m);
}

double likelihood(std::uint64_t count, double cost, const TypoModel& model) noexcept {
  return std::log1p(static_cast<double>(count)) - model.per_edit * cost;
}

}  // namespace torrelm::search

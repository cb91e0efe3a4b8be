// How likely a typed text is to be a slip for an indexed term: the score that orders suggestions
// and typo-tolerant completions when order is "likely".
//
//   score = ln(1 + count) - per_edit * cost(typed, term)
//
// A term searched e^per_edit times as often is worth one more edit. cost() is the optimal string
// alignment distance with weighted edits: slips that people make often cost less than one edit
// (a letter doubled or undoubled, two neighbouring letters swapped, one vowel for another);
// every other insertion, deletion or substitution costs one. The weights were chosen on public
// misspellings (docs/performance.md says how); a cheaper substitution for neighbouring keys was
// tried and gained nothing there. The walk still finds its candidates within max_dist unit
// edits: the model only orders them.
#pragma once

#include <cstdint>
#include <string_view>

namespace torrelm::search {

struct TypoModel {
  double per_edit;     // score units (natural log of counts) one unit of cost takes off
  double doubled;      // a letter typed twice, or once where it is doubled
  double swap;         // two neighbouring letters in the wrong order
  double vowel;        // one vowel for another
  double other = 1.0;  // any other insertion, deletion or substitution
};

// The weights the package uses.
const TypoModel& default_typo_model() noexcept;

// The weighted distance from `typed` to `meant` (code points), as above. Quadratic in the
// lengths: meant for the few candidates a walk returns.
double typo_cost(std::u32string_view typed, std::u32string_view meant, const TypoModel& model);

// ln(1 + count) - per_edit * cost.
double likelihood(std::uint64_t count, double cost, const TypoModel& model) noexcept;

}  // namespace torrelm::search

// How likely a typed text is to be a slip for an indexed term: the score that orders suggestions
// and typo-tolerant completions when order is "likely".
//
//   score = ln(1 + count) - per_edit * cost(typed, term)
//
// A term searched e^per_edit times as often is worth one more edit. cost() is the optimal string
// alignment distance with weighted edits: slips that people make often cost less than one edit
// (a letter doubled or undoubled, two neighbouring letters swapped, one vowel for another, a
// letter for its twin with another accent or none); every other insertion, deletion or
// substitution costs one. Twins and vowels are told by base letters (text/unicode.hpp): `é` for
// `e`, `ł` for `l` and `è` for `é` are accent slips, `ö` for `a` a vowel slip. The weights of
// the first three were chosen on public misspellings (docs/performance.md says how); a cheaper
// substitution for neighbouring keys was tried and gained nothing there. The accent weight is
// below them all: people leave accents out on purpose, and docs/guide.md says how it was chosen.
// The walk still finds its candidates within max_dist unit edits: the model only orders them.
//
// Weights are whole numbers of kCostUnits to an edit and costs add up in them, so alignments of
// equal weight cost the same double whatever order their edits were added in.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

namespace torrelm::search {

inline constexpr std::uint32_t kCostUnits = 100;  // to one edit

struct TypoModel {
  double per_edit;                   // score units (natural log of counts) one edit takes off
  std::uint32_t doubled;             // a letter typed twice, or once where it is doubled
  std::uint32_t swap;                // two neighbouring letters in the wrong order
  std::uint32_t vowel;               // one vowel for another
  std::uint32_t accent;              // a letter for its twin with another accent or none
  std::uint32_t other = kCostUnits;  // any other insertion, deletion or substitution

  // The smallest weight, in edits: the least that any one unit edit costs.
  double cheapest() const noexcept;
};

// The weights the package uses.
const TypoModel& default_typo_model() noexcept;

// The weighted distance from `typed` to `meant` (code points), as above, in edits, over
// alignments that never stray more than `band` code points from the diagonal: exact when the
// texts lie within `band` times the cheapest weight of each other (an alignment that strays
// farther costs more than that), as the candidates of a walk within so many unit edits do. Time
// grows with the length times the band, memory with the length.
double typo_cost(std::u32string_view typed, std::u32string_view meant, const TypoModel& model,
                 std::size_t band = std::numeric_limits<std::size_t>::max());

// ln(1 + count) - per_edit * cost.
double likelihood(std::uint64_t count, double cost, const TypoModel& model) noexcept;

}  // namespace torrelm::search

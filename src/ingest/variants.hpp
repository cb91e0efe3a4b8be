// Variant merging: which terms of a click log are slips for a term searched far more often.
//
// A term is taken for a variant of another when all of these hold:
//   - the two are one edit apart: a code point inserted, deleted or replaced, or two neighbouring
//     ones swapped;
//   - the edit touches no digit (`iphone 12` and `iphone 13` are two things people look for);
//   - the variant is at least kShortest code points long (short words one edit apart are most
//     often two real words);
//   - the other term is searched at least `ratio` times as often;
//   - at least half of the variant's clicks went to videos that the other term's clicks went to
//     as well: people who typed the slip wanted what the others found.
// The last test is what keeps real words apart: `thorough` and `through` are one edit apart and
// a hundred times apart in frequency, but lead to different videos. A variant folds into the most
// searched term that qualifies, and only into a term that is no variant itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/cancel.hpp"

namespace torrelm::ingest {

inline constexpr std::size_t kShortest = 5;
inline constexpr double kDefaultRatio = 10.0;
inline constexpr std::uint32_t kNoVariant = 0xFFFF'FFFFu;

// What the test needs of each term: its text (UTF-8), how often it was searched, and its videos
// as (position, clicks) pairs in order of position.
struct TermsToMerge {
  std::span<const std::string_view> texts;
  std::span<const std::uint64_t> counts;
  std::span<const std::size_t> video_begins;  // one more than there are terms
  std::span<const std::pair<std::uint32_t, std::uint64_t>> videos;
};

// For each term, the term it is a variant of, or kNoVariant. Counts its steps on `cancel`.
std::vector<std::uint32_t> find_variants(const TermsToMerge& terms, double ratio,
                                         Cancel cancel = {});

// Whether `a` and `b` (code points) are exactly one edit apart, as above, and the edit touches
// no ASCII digit.
bool one_edit_apart(std::u32string_view a, std::u32string_view b) noexcept;

}  // namespace torrelm::ingest

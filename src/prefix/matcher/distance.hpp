// Which distance a walk measures.
#pragma once

#include <cstdint>

namespace torrelm::prefix {

// How far apart two texts are: Levenshtein's insertions, deletions and substitutions, or those
// and swaps of two neighbouring characters (optimal string alignment: no part of the text is
// edited twice, so "ca" -> "abc" takes three edits). A swap is what fast typing does most.
enum class Distance : std::uint8_t { Levenshtein, Osa };

}  // namespace torrelm::prefix

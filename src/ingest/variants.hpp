// Variant merging: which terms of a click log are slips for a term searched far more often, and
// which are the same word typed with and without its accents.
//
// A term is taken for a variant of another when all of these hold:
//   - the two are one edit apart: a code point inserted, deleted or replaced, or two neighbouring
//     ones swapped;
//   - the variant is at least kShortest code points long (short words one edit apart are most
//     often two real words);
//   - the other term is searched at least `ratio` times as often;
//   - the edit touches no decimal digit of any script (`iphone 12` and `iphone 13`, `١٢` and
//     `١٣`, are two things people look for), unless the other term is searched at least
//     kFarMore times as often (`soap 20224` for `soap 2024`);
//   - at least half of the variant's clicks went to videos that the other term's clicks went to
//     as well: people who typed the slip wanted what the others found. When the other term is
//     searched at least kFarMore times as often, it is enough that at most kFewClicks of the
//     variant's clicks went elsewhere: a slip's one or two clicks land wherever its own results
//     led, and say nothing of what was meant.
// The videos test is what keeps real words apart: `thorough` and `through` are one edit apart and
// eighty times apart in frequency, but `thorough` gathers clicks of its own on its own videos.
// A variant folds into the most searched term that qualifies, and only into a term that is no
// variant itself, among the kMostCompared most searched terms of each text one edit shorter
// (deletion key) it shares with them.
//
// Accent twins are spellings that differ only in accents (base_letter in text/unicode.hpp):
// `pokemon` and `pokémon`, `lodz` and `łódź`. A bare spelling (no letter with an accent) merges
// with the most searched of its accented twins, into the one of the two that is searched more
// (the accented one among equals), when
//   - the bare one is searched less than kBareOwnWord times as often as the accented one (else
//     the accented one is more likely a word of its own: `el` and `él`, `resume` and `résumé`);
//   - at least half of the less searched one's clicks went to videos the other's went to as
//     well, or at most kFewClicks went elsewhere: `fur` and German `für` are twins by their
//     letters, and their clicks tell them apart.
// Two accented spellings never merge with each other (`cześć` and `część` are two words), nor
// do terms of the same letters in another case.
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
inline constexpr double kFarMore = 50.0;
inline constexpr std::uint64_t kFewClicks = 2;
inline constexpr double kBareOwnWord = 10.0;
inline constexpr std::uint32_t kNoVariant = 0xFFFF'FFFFu;
// A term is compared with at most this many terms of each of its deletion keys, the most searched
// ones. Real slips share a key with a handful of terms; a log where tens of thousands share one
// (a word with every emoji after it) would otherwise compare each of them with all the others.
// A term that did not qualify among the 32 most searched candidates of a key is hardly the one
// people meant.
inline constexpr std::size_t kMostCompared = 32;

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

// How two texts (code points) differ: by more or less than one edit, by one edit that touches no
// decimal digit, or by one that touches one (on either side).
enum class OneEdit : std::uint8_t { No, Plain, Digit };
OneEdit one_edit(std::u32string_view a, std::u32string_view b) noexcept;

// `into` (as find_variants gives it) with the accent twins among the terms that are no variant
// merged as above: the less searched twin, and every variant of it, goes into the other. Counts
// its steps on `cancel`.
void merge_accent_twins(const TermsToMerge& terms, std::vector<std::uint32_t>& into,
                        Cancel cancel = {});

}  // namespace torrelm::ingest

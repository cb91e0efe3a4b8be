// Which parts of an answer match what was typed, so that a search box can mark them: for each
// typed word, the code points of the term it was matched with (as typed, or corrected).
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace torrelm::search {

// Half-open [begin, end) code point ranges, sorted and disjoint.
using Ranges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// The ranges of `term` that match `typed`, read from `offset` on (where a later word of the term
// starts, for an answer found by its word start). With `prefix`, `typed` is the start of what is
// meant and the rest of the term is not matched; otherwise the whole term is. Where the text does
// not start with what was typed, the words are matched by the alignment of fewest edits (a swap
// of neighbours counting one): each typed word marks the span of the term's code points aligned
// with its own. Quadratic in the lengths where an edit is needed: meant for the few answers shown.
Ranges highlight(std::u32string_view typed, std::u32string_view term, std::size_t offset,
                 bool prefix);

// `ranges` of `from` carried over to `to`, another spelling of it (the spelling a term is shown
// in, where folding made several one): as they are where both have the same length, else through
// the alignment of fewest edits between them, letters compared without case.
Ranges carry_over(const Ranges& ranges, std::u32string_view from, std::u32string_view to);

}  // namespace torrelm::search

// Video ranking: the videos that best match a typed term or prefix.
//
// The nodes within the bound (terminal ones, prefix ones too, or prefix ones only when no
// terminal node matched) are weighted by exactness: 1.0 at distance 0, else (1 - d/n) * 0.05 for a
// term of n characters (nodes at d >= n are skipped), times 0.85 for a node that does not end a
// term. Each video scores the weighted sum of its counts over the weighted sum of the nodes'
// total counts; videos under 0.01 are dropped, the best `limit` kept, highest score first.
// Order among equal scores is not defined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/cancel.hpp"
#include "prefix/matcher/distance.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::ranking {

// Which nodes take part; the values are those the module passes along.
enum class PrefixNodes : std::uint8_t {
  Exclude = 0,   // nodes that end a term only
  Include = 1,   // every node within the bound
  Fallback = 2,  // terminal nodes, or all nodes when no terminal node is within the bound
};

struct RankedVideo {
  std::uint32_t position;  // in the id table selected by the index's id_mode
  double score;
};

// Ranked videos whose positions lie inside the id table, best first. An index with no nodes at
// all ranks nothing; other inconsistencies met on the way are InternalFaults. Walks and sums count
// their steps on `cancel`; a node set past the matchers' result budget throws std::bad_alloc.
// Nodes are chosen within `distance` (swaps of neighbours as one edit with Distance::Osa).
std::vector<RankedVideo> rank_videos(const prefix::TrieView& trie, std::string_view term,
                                     std::size_t max_dist, std::optional<std::size_t> limit,
                                     PrefixNodes prefix_nodes, Cancel cancel = {},
                                     prefix::Distance distance = prefix::Distance::Levenshtein);

inline constexpr std::size_t kMaxIdText = 36;

// Writes the identifier at `position` as text into `out` (room for kMaxIdText characters) and
// returns its length: unsigned decimal for 4-byte ids, 8-4-4-4-12 lowercase hex for 16-byte ids.
// The position must lie inside the table.
std::size_t id_text(const prefix::TrieView& trie, std::uint32_t position, char* out);
std::string id_text(const prefix::TrieView& trie, std::uint32_t position);

}  // namespace torrelm::ranking

// Fuzzy matching over a Trie: every node whose spelled prefix lies within a Levenshtein distance
// (insertions, deletions and substitutions of code points, each costing 1; no transposition, no
// case folding) of the whole query.
//
// The walk is depth first from the root, children in stored order, a node before its
// descendants. A child labelled U+0000 is skipped with its subtree. A subtree is abandoned as soon
// as no cell of its edit-distance row (the distances from the prefix to every query prefix) is
// within the bound, since extending the prefix can never bring the distance back down.
//
// Bounds above 65535 act as 65535. An index with no nodes at all matches nothing. Any other
// inconsistency met on the way (a node id or child position past the end of an array) is an
// InternalFault; nothing is returned then.
//
// An index whose nodes are listed more than once (shared children, cycles) is walked as the tree
// it unfolds to, one result per path, which may never end: every walk counts its steps on
// `cancel` (Cancelled stops it), and a result that would outgrow result_budget() throws
// std::bad_alloc before it takes that memory. So do the rows of a very long query at a very large
// bound, past a budget proportional to the query.
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

namespace torrelm::prefix {

struct MatchResult {
  std::string term;  // UTF-8: the labels from the root (exclusive) down to `node`
  NodeId node;
  std::uint32_t distance;

  friend bool operator==(const MatchResult&, const MatchResult&) = default;
};

struct NodeMatch {
  NodeId node;
  std::uint16_t distance;

  friend bool operator==(const NodeMatch&, const NodeMatch&) = default;
};

// The terms (terminal nodes) within `max_dist` of `term` (UTF-8), in walk order. With a limit,
// the walk stops at the limit-th match; a limit of 0 gives nothing.
std::vector<MatchResult> fuzzy_match(const TrieView& trie, std::string_view term,
                                     std::size_t max_dist, std::optional<std::size_t> limit,
                                     Cancel cancel = {});

// The nodes within `max_dist` of `term`, in walk order: only terminal nodes when `terminal_only`,
// else every node, prefix nodes included. The walk still passes through nodes it does not report.
std::vector<NodeMatch> fuzzy_match_nodes(const TrieView& trie, std::string_view term,
                                         std::size_t max_dist, bool terminal_only,
                                         Cancel cancel = {});
// The same for a query already decoded into code points, for callers that walk more than once,
// and with swaps of neighbours as one edit when `distance` says so.
std::vector<NodeMatch> fuzzy_match_nodes(const TrieView& trie, const std::u32string& query,
                                         std::size_t max_dist, bool terminal_only,
                                         Cancel cancel = {},
                                         Distance distance = Distance::Levenshtein);

// The bytes a query's result may take (counting what the module makes of it): several times the
// index's own size and at least a few hundred MiB. A tree index never comes near it; only an
// index that lists nodes many times can.
std::size_t result_budget(const TrieView& trie) noexcept;

namespace detail {
// Which row computation a walk uses; the results are the same. Automatic picks the bit-parallel
// rows when the query fits a machine word and the bound is small.
enum class RowKind { Automatic, BitParallel, Banded };
std::vector<MatchResult> fuzzy_match(const TrieView& trie, std::string_view term,
                                     std::size_t max_dist, std::optional<std::size_t> limit,
                                     RowKind rows, Cancel cancel = {});
std::vector<NodeMatch> fuzzy_match_nodes(const TrieView& trie, std::string_view term,
                                         std::size_t max_dist, bool terminal_only, RowKind rows,
                                         Cancel cancel = {},
                                         Distance distance = Distance::Levenshtein);
}  // namespace detail

}  // namespace torrelm::prefix

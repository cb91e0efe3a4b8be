// Whether a Trie is a well-formed index: the check a reader runs on an index it did not build
// before queries may run on it.
//
// A Trie that passes is a tree over consistent arrays, so fuzzy_match, fuzzy_match_nodes and
// rank_videos answer it without InternalFault and in time bounded by its size:
//   - node_shifts, is_terminal and the payload table have one entry per node (child_labels);
//   - the child lists cover child_transitions end to end: the first starts at 0, every start is
//     at most the next node's start, which is at most the length of child_transitions (even for
//     an empty list);
//   - the nodes form a tree rooted at node 0: every other node is listed in exactly one child
//     list, under a parent with a smaller id, and node 0 in none;
//   - labels are Unicode scalar values, and U+0000 only on the root;
//   - terminal flags are 0 or 1, id_mode is Uuid or Int32;
//   - every payload slot's positions lie inside the id table that id_mode selects, and it has as
//     many counts as positions;
//   - a slot's counts add up to at most its total, or, where the total stopped at 2**32-1, its
//     positions are distinct: no video's share of a node's searches is above 1.
// An index with no nodes at all passes (it matches nothing).
//
// Runs in time and memory linear in the size of the index. The error names the first problem met
// (in the order above) with its array and node id or position. Counts its steps on `cancel`.
#pragma once

#include <string>

#include "common/cancel.hpp"
#include "common/expected.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::store {

struct ValidationError {
  std::string message;
};

Expected<bool, ValidationError> validate(const prefix::TrieView& trie, Cancel cancel = {});

}  // namespace torrelm::store

#include "prefix/matcher/walk.hpp"

namespace torrelm::prefix::detail {

bool reaches_depth(const TrieView& trie, std::size_t target) {
  const std::size_t n = trie.node_count();
  if (trie.node_shifts.size() != n) return true;
  // Visiting more than this means shared or cyclic structure: leave it to the walk.
  const std::size_t budget = 2 * (n + trie.child_transitions.size()) + 16;
  std::size_t spent = 0;
  std::vector<std::uint32_t> seen(n, 0xFFFF'FFFFu);  // last level at which a node was queued
  std::vector<NodeId> level{0};
  std::vector<NodeId> next;
  for (std::size_t depth = 0; !level.empty(); ++depth) {
    if (depth >= target) return true;
    if (depth > n) return true;  // deeper than any simple path: a cycle
    next.clear();
    for (const NodeId node : level) {
      const ChildRange range = {trie.node_shifts[node], node + std::size_t{1} < n
                                                            ? trie.node_shifts[node + 1]
                                                            : trie.child_transitions.size()};
      if (!range.empty() && range.end > trie.child_transitions.size()) return true;
      for (std::size_t p = range.begin; p < range.end; ++p) {
        const NodeId child = trie.child_transitions[p];
        if (++spent > budget) return true;
        if (child >= n) return true;
        if (trie.child_labels[child] == U'\0') continue;
        if (seen[child] == depth + 1) continue;
        seen[child] = static_cast<std::uint32_t>(depth + 1);
        next.push_back(child);
      }
    }
    level.swap(next);
  }
  return false;
}

}  // namespace torrelm::prefix::detail

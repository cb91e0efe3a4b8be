#include "prefix/matcher/walk_table.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "common/fault.hpp"
#include "common/huge_pages.hpp"
#include "prefix/matcher/edit_row.hpp"

namespace torrelm::prefix {

std::optional<WalkTable> WalkTable::of(const TrieView& trie, Cancel& cancel) {
  const std::size_t n = trie.node_count();
  if (n == 0 || trie.node_shifts.size() != n || trie.is_terminal.size() != n ||
      n > std::numeric_limits<std::uint32_t>::max()) {
    return std::nullopt;
  }
  const std::size_t edges = trie.child_transitions.size();
  WalkTable table;
  std::vector<Node>& nodes = table.node_store_;
  std::vector<NodeId>& ids = table.id_store_;
  nodes.reserve(n + 1);
  ids.reserve(n);
  prefer_huge_pages(nodes.data(), nodes.capacity() * sizeof(Node));
  prefer_huge_pages(ids.data(), ids.capacity() * sizeof(NodeId));
  std::vector<std::uint8_t> seen(n, 0);
  seen[0] = 1;
  nodes.push_back({0, 0, 0});
  ids.push_back(0);
  // Breadth first, each level's lists in the order of their parents: a depth-first walk then
  // reads every level forward, however far it jumps between levels.
  for (std::size_t at = 0; at < nodes.size(); ++at) {
    const NodeId node = ids[at];
    const std::size_t begin = trie.node_shifts[node];
    const std::size_t end = node + std::size_t{1} < n ? trie.node_shifts[node + 1] : edges;
    const auto first = static_cast<std::uint32_t>(nodes.size());
    if (begin < end) {
      if (end > edges) return std::nullopt;
      cancel.step(end - begin);
      for (std::size_t p = begin; p < end; ++p) {
        const NodeId child = trie.child_transitions[p];
        if (child >= n) return std::nullopt;
        const char32_t label = trie.child_labels[child];
        if (label == U'\0') continue;
        if (label >= (1u << Node::kLabelBits) || seen[child] != 0) return std::nullopt;
        seen[child] = 1;
        const std::uint32_t terminal = trie.is_terminal[child] != 0 ? 1u << 31 : 0;
        nodes.push_back({static_cast<std::uint32_t>(label) | terminal, 0, 0});
        ids.push_back(child);
      }
    }
    nodes[at].first = first;
  }
  const auto size = static_cast<std::uint32_t>(nodes.size());
  nodes.push_back({0, size, 0});
  // Children come after their parent, so one backward pass sees every subtree before its root.
  for (std::size_t r = size; r-- > 0;) {
    Node& record = nodes[r];
    std::uint32_t height = 0;
    std::uint32_t below = 0;
    for (std::uint32_t c = record.first; c < nodes[r + 1].first; ++c) {
      if (c > record.first && nodes[c - 1].label() >= nodes[c].label()) table.sorted_ = false;
      height = std::max(height, std::min(nodes[c].height() + 1, Node::kTallest));
      below |= detail::char_bit(nodes[c].label()) | nodes[c].below;
    }
    record.word |= height << Node::kLabelBits;
    record.below = below;
  }
  // No shrink_to_fit: it would copy the table into pages without the hint, and room never
  // written (for hidden nodes) takes no memory.
  table.nodes_ = nodes;
  table.ids_ = ids;
  return table;
}

std::optional<WalkTable> WalkTable::over(std::span<const Node> nodes, std::span<const NodeId> ids,
                                         bool sorted) {
  if (ids.empty() || nodes.size() != ids.size() + 1) return std::nullopt;
  WalkTable table;
  table.nodes_ = nodes;
  table.ids_ = ids;
  table.sorted_ = sorted;
  return table;
}

bool WalkTable::is_table_of(const TrieView& trie, Cancel& cancel) const {
  const std::size_t n = trie.node_count();
  const std::size_t size = ids_.size();
  if (n == 0 || trie.node_shifts.size() != n || trie.is_terminal.size() != n || size == 0 ||
      nodes_.size() != size + 1 || ids_[0] != 0) {
    return false;
  }
  // The label and terminal flag of a record's word; the height is checked apart.
  constexpr std::uint32_t kNoHeight = ~(Node::kTallest << Node::kLabelBits);
  const std::size_t edges = trie.child_transitions.size();
  std::vector<std::uint8_t> seen(n, 0);
  seen[0] = 1;
  // The records of() would push, in its order, compared as they come.
  std::size_t next = 1;
  for (std::size_t at = 0; at < size; ++at) {
    const NodeId node = ids_[at];
    if (nodes_[at].first != next) return false;
    const std::size_t begin = trie.node_shifts[node];
    const std::size_t end = node + std::size_t{1} < n ? trie.node_shifts[node + 1] : edges;
    if (begin >= end) continue;
    if (end > edges) return false;
    cancel.step(end - begin);
    for (std::size_t p = begin; p < end; ++p) {
      const NodeId child = trie.child_transitions[p];
      if (child >= n) return false;
      const char32_t label = trie.child_labels[child];
      if (label == U'\0') continue;
      if (label >= (1u << Node::kLabelBits) || seen[child] != 0) return false;
      seen[child] = 1;
      const std::uint32_t terminal = trie.is_terminal[child] != 0 ? 1u << 31 : 0;
      if (next >= size || ids_[next] != child ||
          (nodes_[next].word & kNoHeight) != (static_cast<std::uint32_t>(label) | terminal)) {
        return false;
      }
      ++next;
    }
  }
  const Node& last = nodes_[size];
  if (next != size || last.first != size || last.word != 0 || last.below != 0 ||
      (nodes_[0].word & kNoHeight) != 0) {
    return false;
  }
  bool sorted = true;
  for (std::size_t r = size; r-- > 0;) {
    std::uint32_t height = 0;
    std::uint32_t below = 0;
    for (std::uint32_t c = nodes_[r].first; c < nodes_[r + 1].first; ++c) {
      if (c > nodes_[r].first && nodes_[c - 1].label() >= nodes_[c].label()) sorted = false;
      height = std::max(height, std::min(nodes_[c].height() + 1, Node::kTallest));
      below |= detail::char_bit(nodes_[c].label()) | nodes_[c].below;
    }
    if (nodes_[r].height() != height || nodes_[r].below != below) return false;
  }
  return sorted == sorted_;
}

void WalkTable::bad_list(std::uint32_t r) const {
  throw InternalFault("walk table record " + std::to_string(r) + " lists children at [" +
                          std::to_string(nodes_[r].first) + ", " +
                          std::to_string(nodes_[r + 1].first) + ") of " +
                          std::to_string(ids_.size()) + " records",
                      SourceLocation::current());
}

void WalkTable::bad_id(std::uint32_t r) const {
  throw InternalFault("walk table record " + std::to_string(r) + " names node " +
                          std::to_string(ids_[r]) + ", past the index",
                      SourceLocation::current());
}

}  // namespace torrelm::prefix

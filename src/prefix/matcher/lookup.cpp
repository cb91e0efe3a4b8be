#include "prefix/matcher/lookup.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_set>

#include "prefix/matcher/walk_table.hpp"
#include "text/utf8.hpp"

namespace torrelm::prefix {

namespace {

bool has_no_nodes(const TrieView& trie) noexcept {
  return trie.node_shifts.empty() && trie.child_labels.empty();
}

}  // namespace

std::optional<NodeId> find_term(const TrieView& trie, std::string_view term) {
  return find_term(trie, text::decode_utf8(term));
}

std::optional<NodeId> find_term(const TrieView& trie, const std::u32string& query) {
  if (has_no_nodes(trie)) return std::nullopt;
  // U+0000 labels hide their nodes, so no path spells a term containing one.
  if (query.empty() || query.find(U'\0') != std::u32string::npos) return std::nullopt;
  if (trie.walk_table != nullptr && trie.walk_table->sorted()) {
    // No two siblings alike: one child at most per level, found by binary search.
    const WalkTable& table = *trie.walk_table;
    const auto nodes = table.nodes();
    std::uint32_t at = 0;
    for (const char32_t ch : query) {
      const auto [first, last] = table.children_of(at);
      if (first >= last) return std::nullopt;
      const auto end = nodes.begin() + last;
      const auto found = std::lower_bound(
          nodes.begin() + first, end, ch,
          [](const WalkTable::Node& node, char32_t c) { return node.label() < c; });
      if (found == end || found->label() != ch) return std::nullopt;
      at = static_cast<std::uint32_t>(found - nodes.begin());
    }
    if (!nodes[at].terminal()) return std::nullopt;
    return table.id_of(at, trie.node_count());
  }

  struct Level {
    std::size_t position;
    std::size_t end;
    NodeId node;
  };
  // Level d scans the children of a node spelling the first d characters: siblings sharing a
  // label are tried in stored order, the next one only once the subtree of the first holds no
  // match, as the walk would meet them.
  std::vector<Level> stack;
  // (node, depth) pairs whose subtree was searched in vain. A tree never meets one again; an index
  // with shared or cyclic child lists would, as often as there are paths to it, so skipping them
  // keeps the search within query length times child entries.
  std::unordered_set<std::uint64_t> searched;
  const auto key = [](NodeId node, std::size_t depth) {
    return (static_cast<std::uint64_t>(depth) << 32) | node;
  };
  const ChildRange root = trie.children(0);
  stack.push_back({root.begin, root.end, 0});
  while (!stack.empty()) {
    Level& level = stack.back();
    const std::size_t depth = stack.size() - 1;
    const char32_t want = query[depth];
    const bool last = depth + 1 == query.size();
    bool descended = false;
    while (level.position < level.end) {
      const NodeId child = trie.child(level.position++);
      if (trie.label(child) != want) continue;
      if (last) {
        if (trie.terminal(child)) return child;
        continue;
      }
      if (searched.contains(key(child, depth + 1))) continue;
      const ChildRange below = trie.children(child);
      if (below.empty()) continue;
      stack.push_back({below.begin, below.end, child});  // `level` dangles from here on
      descended = true;
      break;
    }
    if (descended) continue;
    if (depth > 0) searched.insert(key(stack.back().node, depth));
    stack.pop_back();
  }
  return std::nullopt;
}

TermWalk::TermWalk(const TrieView& trie)
    : trie_(trie), step_limit_(trie.node_count() + trie.child_transitions.size()) {
  if (has_no_nodes(trie)) return;
  const ChildRange root = trie.children(0);
  stack_.push_back({root.begin, root.end, 0});
}

std::optional<NodeId> TermWalk::next(Cancel& cancel) {
  const TrieView& trie = trie_;
  while (!stack_.empty()) {
    Level& level = stack_.back();
    if (level.position >= level.end) {
      stack_.pop_back();
      continue;
    }
    cancel.step();  // before the walk moves on, so that a Cancelled walk can go on later
    const NodeId child = trie.child(level.position++);
    const char32_t label = trie.label(child);
    if (label == U'\0') continue;
    if (++steps_ > step_limit_) {
      throw InternalFault("the index is not a tree: walking its terms took more than " +
                              std::to_string(step_limit_) +
                              " steps, one for each node and child entry",
                          SourceLocation::current());
    }
    text_.resize(level.text_size);
    text::append_utf8(text_, label);
    const ChildRange below = trie.children(child);
    if (!below.empty()) {
      stack_.push_back({below.begin, below.end, text_.size()});  // `level` dangles from here on
    }
    if (trie.terminal(child)) return child;
  }
  return std::nullopt;
}

std::size_t count_terms(const TrieView& trie, Cancel cancel) {
  TermWalk walk(trie);
  std::size_t count = 0;
  while (walk.next(cancel)) ++count;
  return count;
}

}  // namespace torrelm::prefix

#include "search/blocked.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "common/fault.hpp"
#include "prefix/matcher/lookup.hpp"
#include "prefix/matcher/walk_table.hpp"
#include "search/search.hpp"

namespace torrelm::search {

using prefix::NodeId;

namespace {

// Sets bit `at`; returns whether it was set already.
bool set_bit(std::vector<std::uint64_t>& bits, std::size_t at) {
  std::uint64_t& word = bits[at >> 6];
  const std::uint64_t mask = std::uint64_t{1} << (at & 63);
  const bool was = (word & mask) != 0;
  word |= mask;
  return was;
}

}  // namespace

Blocked::Blocked(const prefix::TrieView& trie, const Counts& counts, std::span<const NodeId> nodes,
                 Cancel& cancel) {
  const std::size_t n = trie.node_count();
  const std::size_t words = (n + 63) / 64;
  node_terms_.assign(words, 0);
  for (const NodeId node : nodes) {
    // The root ends no term a query can return, whatever its flag says.
    if (node == 0 || node >= n || !trie.terminal(node)) continue;
    if (!set_bit(node_terms_, node)) ++size_;
  }
  if (size_ == 0) {
    node_terms_.clear();
    return;
  }
  // Children come after their parent in a tree, so one pass from the last node up sees every
  // child's count before its parent's, as count_terms() does; it takes the same children (later
  // ids, no hidden subtree), so that a node whose subtree lost nothing keeps its stored count.
  node_lowered_.assign(words, 0);
  const auto taken = [&](NodeId node, NodeId child) {
    return child > node && child < n && trie.label(child) != U'\0';
  };
  for (std::size_t i = n; i-- > 0;) {
    const auto node = static_cast<NodeId>(i);
    const prefix::ChildRange range = trie.children(node);
    cancel.step(1 + (range.empty() ? 0 : range.end - range.begin));
    bool touched = term(node);
    for (std::size_t p = range.begin; p < range.end && !touched; ++p) {
      const NodeId child = trie.child(p);
      touched = taken(node, child) && bit(node_lowered_, child);
    }
    if (!touched) continue;
    Count largest = term(node) ? 0 : checked_at(counts.own, node);
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const NodeId child = trie.child(p);
      if (taken(node, child))
        largest = std::max(largest, best(child, checked_at(counts.best, child)));
    }
    if (largest != checked_at(counts.best, node)) {
      set_bit(node_lowered_, node);
      node_best_.emplace(node, largest);
    }
  }
  if (trie.walk_table == nullptr) return;
  const std::span<const NodeId> ids = trie.walk_table->ids();
  record_terms_.assign((ids.size() + 63) / 64, 0);
  record_lowered_.assign(record_terms_.size(), 0);
  for (std::size_t r = 0; r < ids.size(); ++r) {
    cancel.step();
    const NodeId node = ids[r];
    if (term(node)) set_bit(record_terms_, r);
    if (bit(node_lowered_, node)) {
      set_bit(record_lowered_, r);
      record_best_.emplace(static_cast<std::uint32_t>(r), node_best_.at(node));
    }
  }
}

std::vector<NodeId> terms_with_words(const prefix::TrieView& trie,
                                     std::span<const std::string> words, Cancel& cancel) {
  std::vector<NodeId> out;
  if (words.empty()) return out;
  // Single words are looked up as each term is split; those of several words, rarer, are found
  // between spaces added at both ends.
  std::unordered_set<std::string_view> single;
  std::vector<std::string> phrases;
  for (const std::string& word : words) {
    if (word.find(' ') == std::string::npos) {
      single.insert(word);
    } else {
      phrases.push_back(" " + word + " ");
    }
  }
  prefix::TermWalk walk(trie);
  std::string padded;
  while (const std::optional<NodeId> node = walk.next(cancel)) {
    const std::string_view term = walk.term();
    cancel.step(1 + term.size() / 64);
    bool hit = false;
    for (std::size_t begin = 0; !hit;) {
      const std::size_t end = term.find(' ', begin);
      hit = single.contains(term.substr(begin, end == std::string_view::npos ? end : end - begin));
      if (end == std::string_view::npos) break;
      begin = end + 1;
    }
    if (!hit && !phrases.empty()) {
      padded.assign(" ").append(term).append(" ");
      hit = std::any_of(phrases.begin(), phrases.end(), [&](const std::string& phrase) {
        return padded.find(phrase) != std::string::npos;
      });
    }
    if (hit) out.push_back(*node);
  }
  return out;
}

}  // namespace torrelm::search

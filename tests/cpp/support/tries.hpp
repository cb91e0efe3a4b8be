// Tries for tests: laid out from a node list, or from random words, plus slow and obviously right
// references to check the matchers against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "prefix/matcher/matcher.hpp"
#include "prefix/trie/trie.hpp"
#include "text/utf8.hpp"

namespace torrelm::test {

using prefix::NodeId;
using prefix::Trie;

struct Node {
  NodeId parent;
  char32_t label;
  bool terminal = false;
};

// Nodes 1.. in the given order (node 0, the root, is implicit); children listed in id order.
inline Trie make_trie(const std::vector<Node>& nodes) {
  const std::size_t n = nodes.size() + 1;
  std::vector<std::vector<NodeId>> children(n);
  Trie trie;
  trie.child_labels = {U'\0'};
  trie.is_terminal = {0};
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    children[nodes[i].parent].push_back(static_cast<NodeId>(i + 1));
    trie.child_labels.push_back(nodes[i].label);
    trie.is_terminal.push_back(nodes[i].terminal);
  }
  for (const auto& list : children) {
    trie.node_shifts.push_back(static_cast<std::uint32_t>(trie.child_transitions.size()));
    trie.child_transitions.insert(trie.child_transitions.end(), list.begin(), list.end());
  }
  for (std::size_t i = 0; i < n; ++i) trie.payloads.push_absent();
  return trie;
}

// Inserts `words` in order, sharing prefixes with the first matching child.
inline std::vector<Node> word_nodes(const std::vector<std::u32string>& words) {
  std::vector<Node> nodes;
  for (const auto& word : words) {
    NodeId at = 0;
    for (const char32_t ch : word) {
      NodeId found = 0;
      for (std::size_t i = 0; i < nodes.size() && found == 0; ++i) {
        if (nodes[i].parent == at && nodes[i].label == ch) found = static_cast<NodeId>(i + 1);
      }
      if (found == 0) {
        nodes.push_back({at, ch});
        found = static_cast<NodeId>(nodes.size());
      }
      at = found;
    }
    if (at != 0) nodes[at - 1].terminal = true;
  }
  return nodes;
}

// A chain of `levels` nodes labelled 'a', each listing its child twice: 2**levels paths from a
// few dozen nodes, as an inconsistent index may hold. The last node ends a term, and so does
// every other one with `every_level_terminal`.
inline Trie doubled_chain(std::size_t levels, bool every_level_terminal) {
  Trie trie;
  trie.child_labels = {U'\0'};
  trie.is_terminal = {0};
  for (std::size_t i = 0; i < levels; ++i) {
    trie.node_shifts.push_back(static_cast<std::uint32_t>(trie.child_transitions.size()));
    trie.child_transitions.insert(trie.child_transitions.end(), 2, static_cast<NodeId>(i + 1));
    trie.child_labels.push_back(U'a');
    trie.is_terminal.push_back(every_level_terminal || i + 1 == levels);
  }
  trie.node_shifts.push_back(static_cast<std::uint32_t>(trie.child_transitions.size()));
  for (std::size_t i = 0; i <= levels; ++i) trie.payloads.push_absent();
  return trie;
}

inline std::string utf8(const std::u32string& text) {
  std::string out;
  for (const char32_t ch : text) text::append_utf8(out, ch);
  return out;
}

inline std::uint32_t levenshtein(const std::u32string& a, const std::u32string& b) {
  std::vector<std::uint32_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = static_cast<std::uint32_t>(j);
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::uint32_t diagonal = row[0];
    row[0] = static_cast<std::uint32_t>(i);
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::uint32_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// Levenshtein with a swap of two neighbours as one edit, no part edited twice.
inline std::uint32_t osa(const std::u32string& a, const std::u32string& b) {
  std::vector<std::vector<std::uint32_t>> d(a.size() + 1, std::vector<std::uint32_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) {
    for (std::size_t j = 0; j <= b.size(); ++j) {
      if (i == 0 || j == 0) {
        d[i][j] = static_cast<std::uint32_t>(i + j);
        continue;
      }
      d[i][j] =
          std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// Every node reachable without passing a U+0000 label, with its spelled prefix, in pre-order.
struct Spelled {
  NodeId node;
  std::u32string prefix;
};
inline std::vector<Spelled> spell_all(const Trie& trie) {
  std::vector<Spelled> out;
  const auto visit = [&](auto&& self, NodeId node, const std::u32string& prefix) -> void {
    const prefix::ChildRange range = trie.children(node);
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const NodeId child = trie.child(p);
      if (trie.label(child) == U'\0') continue;
      const std::u32string spelled = prefix + trie.label(child);
      out.push_back({child, spelled});
      self(self, child, spelled);
    }
  };
  visit(visit, 0, U"");
  return out;
}

// The walk as first written: full rows of 16-bit cells, recursion, pruning on the row minimum;
// with `swaps`, a swap of two neighbours is one edit.
inline std::vector<prefix::NodeMatch> reference_nodes(const Trie& trie, const std::u32string& query,
                                                      std::uint16_t k, bool terminal_only,
                                                      bool swaps = false) {
  const std::size_t m = query.size();
  std::vector<std::vector<std::uint16_t>> rows(m + k + 2, std::vector<std::uint16_t>(m + 1));
  for (std::size_t j = 0; j <= m; ++j) rows[0][j] = static_cast<std::uint16_t>(j);
  std::vector<prefix::NodeMatch> out;
  std::vector<char32_t> path(m + k + 2, U'\0');
  const auto dfs = [&](auto&& self, NodeId node, std::size_t d) -> void {
    const prefix::ChildRange range = trie.children(node);
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const NodeId child = trie.child(p);
      const char32_t ch = trie.label(child);
      if (ch == U'\0') continue;
      auto& next = rows[d + 1];
      const auto& prev = rows[d];
      next[0] = static_cast<std::uint16_t>(d + 1);
      std::uint16_t minimum = next[0];
      for (std::size_t j = 1; j <= m; ++j) {
        next[j] = std::min({static_cast<std::uint16_t>(next[j - 1] + 1),
                            static_cast<std::uint16_t>(prev[j] + 1),
                            static_cast<std::uint16_t>(prev[j - 1] + (query[j - 1] != ch))});
        if (swaps && d > 0 && j > 1 && query[j - 2] == ch && query[j - 1] == path[d]) {
          next[j] = std::min(next[j], static_cast<std::uint16_t>(rows[d - 1][j - 2] + 1));
        }
        minimum = std::min(minimum, next[j]);
      }
      if (minimum > k) continue;
      path[d + 1] = ch;
      if (next[m] <= k && (!terminal_only || trie.terminal(child))) out.push_back({child, next[m]});
      self(self, child, d + 1);
    }
  };
  dfs(dfs, 0, 0);
  return out;
}

}  // namespace torrelm::test

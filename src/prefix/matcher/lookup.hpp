// Exact lookup and enumeration of the terms of a Trie, in the order of the matchers' walk (depth
// first from the root, children in stored order, a term before the longer terms it prefixes; a
// child labelled U+0000 hidden with its subtree; the root itself never a term).
//
// Both agree with fuzzy_match on every tree: find_term(t) is the first node fuzzy_match(t, 0)
// reports, and TermWalk yields the terms of fuzzy_match("", 65535) in the same order, except that
// it also yields terms longer than 65535 characters, which that bound cuts off.
//
// Neither can run away on an inconsistent index: every read by id is guarded (InternalFault), a
// lookup visits each (node, depth) pair at most once, and a TermWalk that takes more steps than
// the index has nodes and child entries together throws InternalFault, since a tree walk visits
// every node at most once and only shared or cyclic child lists can take it further.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/cancel.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::prefix {

// The node that ends `term` (UTF-8), or nullopt when no path spells it down to a terminal node.
// Where siblings share a label, the first of them in stored order whose subtree ends the term
// wins, as in the walk. The empty term is never found.
std::optional<NodeId> find_term(const TrieView& trie, std::string_view term);
// The same for a term already decoded into code points. With a walk table whose lists are sorted
// (no two siblings alike), it searches the table.
std::optional<NodeId> find_term(const TrieView& trie, const std::u32string& query);

// Terms one at a time, in walk order. Holds a pointer to `trie`, which must outlive it; each
// next() costs the steps up to the following term, not a pass over the index.
class TermWalk {
 public:
  explicit TermWalk(const TrieView& trie);

  // The next term's node, or nullopt once the walk is over (and on every call after that).
  // Counts its steps on `cancel`. After Cancelled the walk can go on where it stopped; after any
  // other exception it must not be continued.
  std::optional<NodeId> next(Cancel& cancel);

  // The UTF-8 text of the node last returned by next().
  const std::string& term() const noexcept { return text_; }

 private:
  struct Level {
    std::size_t position;
    std::size_t end;
    std::size_t text_size;  // bytes of text_ spelled by the levels above
  };

  TrieView trie_;
  std::vector<Level> stack_;
  std::string text_;
  std::size_t steps_ = 0;
  std::size_t step_limit_;
};

// The number of terms a TermWalk yields, by running one: the same count and the same faults as
// iterating. Counts its steps on `cancel`.
std::size_t count_terms(const TrieView& trie, Cancel cancel = {});

}  // namespace torrelm::prefix

// Terms a site has pulled from what its search box offers, without rebuilding the index: the
// searches pass them by where they would collect them, and are led by the largest count of a term
// still offered below each node, so that they stop where they would on an index built without
// them. Made once per block list, in one pass over the nodes; the index itself is left as it is
// and shared.
//
// A blocked term only lowers the counts above it: the nodes whose largest count below changes are
// its ancestors (those it was the largest of), found and kept aside, each behind a bit; every
// other node reads its counts as stored. Queries ask two bits of each node they look at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/cancel.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::search {

struct Counts;

class Blocked {
 public:
  using Count = std::uint64_t;

  // The terms ending at `nodes` left out of `trie`, whose search counts are `counts`; where the
  // trie carries its walk table, the same by record (CompletionRecords' order) too. Nodes that end
  // no term, or lie outside the index, are ignored. Counts a step per node and child.
  Blocked(const prefix::TrieView& trie, const Counts& counts, std::span<const prefix::NodeId> nodes,
          Cancel& cancel);

  Blocked(Blocked&&) noexcept = default;
  Blocked& operator=(Blocked&&) noexcept = default;
  Blocked(const Blocked&) = delete;
  Blocked& operator=(const Blocked&) = delete;

  // How many terms are left out.
  std::size_t size() const noexcept { return size_; }

  // Whether the term ending at `node` is left out.
  bool term(prefix::NodeId node) const noexcept { return bit(node_terms_, node); }
  // The largest count of a term still offered below `node` (itself included), given `stored`,
  // its count as the index keeps it.
  Count best(prefix::NodeId node, Count stored) const {
    return bit(node_lowered_, node) ? node_best_.at(node) : stored;
  }
  // The same for record `r` of the walk table.
  bool record_term(std::uint32_t r) const noexcept { return bit(record_terms_, r); }
  Count record_best(std::uint32_t r, Count stored) const {
    return bit(record_lowered_, r) ? record_best_.at(r) : stored;
  }

 private:
  static bool bit(const std::vector<std::uint64_t>& bits, std::size_t at) noexcept {
    const std::size_t word = at >> 6;
    return word < bits.size() && ((bits[word] >> (at & 63)) & 1) != 0;
  }

  std::size_t size_ = 0;
  std::vector<std::uint64_t> node_terms_;
  std::vector<std::uint64_t> node_lowered_;
  std::unordered_map<prefix::NodeId, Count> node_best_;
  std::vector<std::uint64_t> record_terms_;
  std::vector<std::uint64_t> record_lowered_;
  std::unordered_map<std::uint32_t, Count> record_best_;
};

// The nodes of the terms of `trie` that hold one of `words` as whole words: `words` (UTF-8, none
// empty) each matched between spaces or the ends of a term, so that "cat" takes "cat videos" and
// "my cat" but not "cats", and "cat videos" takes "funny cat videos". One walk over every term.
std::vector<prefix::NodeId> terms_with_words(const prefix::TrieView& trie,
                                             std::span<const std::string> words, Cancel& cancel);

}  // namespace torrelm::search

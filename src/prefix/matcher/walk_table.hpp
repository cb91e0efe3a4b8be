// WalkTable: the nodes of a tree-shaped index rearranged for the fuzzy walk, built once per index
// and kept beside it.
//
// The stored arrays number nodes breadth first, so a depth-first walk that goes one level down
// reads a node's child range, then the children's ids, then their labels, each in another part
// of memory. Here every child list is one run of 12-byte records (label, flags, where its own
// children are), numbered breadth first as the builders number nodes, so that a walk reads each
// level forward; the node ids, needed only for matches, lie apart. Hidden children (label U+0000)
// are left out with their subtrees.
//
// Each record also keeps the height of its subtree (the deepest node below it, in levels) and the
// set of characters below it, which bound from below the distance of everything under it: the
// walk drops a subtree whose nodes are all too short, or lack too many of the query's remaining
// characters, to come within the bound of the whole query.
//
// Only a tree gets a table: an index that lists a node twice, has a label above U+1FFFFF or any
// inconsistency is walked on its own arrays, as before.
//
// A table is made once per index file and kept in it, so that every process that maps the file
// shares one copy. A table read from a file nobody checked may hold anything: the walks take no
// child list from it that does not lie after its parent and within the table (children_of()),
// so that a damaged one gives wrong answers or a fault, never a read out of bounds or a walk
// without end.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/cancel.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::prefix {

class WalkTable {
 public:
  struct Node {
    std::uint32_t word;   // label in the low 21 bits, then the height, then the terminal flag
    std::uint32_t first;  // the record of the first child; the next record's `first` ends them
    std::uint32_t below;  // the characters of the subtree below, as detail::char_bit()s

    static constexpr std::uint32_t kLabelBits = 21;
    static constexpr std::uint32_t kHeightBits = 10;
    // A height this large or larger says nothing.
    static constexpr std::uint32_t kTallest = (1u << kHeightBits) - 1;

    // The parts of a `word`, for whatever keeps one.
    static constexpr char32_t label_of(std::uint32_t word) noexcept {
      return word & ((1u << kLabelBits) - 1);
    }
    static constexpr bool terminal_of(std::uint32_t word) noexcept { return (word >> 31) != 0; }

    char32_t label() const noexcept { return label_of(word); }
    std::uint32_t height() const noexcept { return (word >> kLabelBits) & kTallest; }
    bool terminal() const noexcept { return terminal_of(word); }
  };
  static_assert(sizeof(Node) == 12);

  // The table of `trie`, or nullopt when it is no tree (see above). Counts a step per node.
  static std::optional<WalkTable> of(const TrieView& trie, Cancel& cancel);
  // A table kept elsewhere (a file), read where it lies: `nodes` must hold one more record than
  // `ids` (nullopt otherwise). Whether it is the table of an index is is_table_of()'s to say.
  static std::optional<WalkTable> over(std::span<const Node> nodes, std::span<const NodeId> ids,
                                       bool sorted);
  // Whether this is exactly what of(trie) makes, record for record. Counts a step per node.
  bool is_table_of(const TrieView& trie, Cancel& cancel) const;

  WalkTable() = default;
  WalkTable(WalkTable&&) noexcept = default;
  WalkTable& operator=(WalkTable&&) noexcept = default;
  WalkTable(const WalkTable&) = delete;
  WalkTable& operator=(const WalkTable&) = delete;

  // Record 0 is the root; one more record closes the last list.
  std::span<const Node> nodes() const noexcept { return nodes_; }
  // The node of each record in the stored arrays.
  std::span<const NodeId> ids() const noexcept { return ids_; }
  // Whether every child list is sorted by label with no two alike, as the builders make them.
  bool sorted() const noexcept { return sorted_; }
  // The records of the children of record `r` (< ids().size()), as [first, end): checked to lie
  // after `r` and within the table, else an InternalFault.
  std::pair<std::uint32_t, std::uint32_t> children_of(std::uint32_t r) const {
    const std::uint32_t first = nodes_[r].first;
    const std::uint32_t end = nodes_[r + 1].first;
    if (first < end && (first <= r || end > ids_.size())) bad_list(r);
    return {first, end};
  }
  // The node of record `r`, checked to be one of the index's `node_count` nodes.
  NodeId id_of(std::uint32_t r, std::size_t node_count) const {
    const NodeId id = ids_[r];
    if (id >= node_count) bad_id(r);
    return id;
  }
  // Heap bytes held: none for a table read where it lies.
  std::size_t memory_bytes() const noexcept {
    return node_store_.capacity() * sizeof(Node) + id_store_.capacity() * sizeof(NodeId);
  }

  [[noreturn]] void bad_list(std::uint32_t r) const;
  [[noreturn]] void bad_id(std::uint32_t r) const;

 private:
  // The spans read the stores or the file; moving keeps them valid (a vector's buffer moves
  // with it).
  std::span<const Node> nodes_;
  std::span<const NodeId> ids_;
  std::vector<Node> node_store_;
  std::vector<NodeId> id_store_;
  bool sorted_ = true;
};

// A table made on first use, by whichever thread needs it first; an index that is no tree makes
// none and keeps its own walk.
class LazyWalkTable {
 public:
  const WalkTable* get(const TrieView& trie, Cancel& cancel) {
    std::call_once(once_, [&] { table_ = WalkTable::of(trie, cancel); });
    return table_ ? &*table_ : nullptr;
  }
  // Takes `table` as the table, unless one was made already.
  void keep(WalkTable&& table) {
    std::call_once(once_, [&] { table_ = std::move(table); });
  }
  // `trie` with its table attached.
  TrieView attach(TrieView trie, Cancel& cancel) {
    trie.walk_table = get(trie, cancel);
    return trie;
  }

 private:
  std::once_flag once_;
  std::optional<WalkTable> table_;
};

}  // namespace torrelm::prefix

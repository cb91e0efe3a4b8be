// Trie: the whole immutable index of one PrefixSearch, a prefix tree over the characters of the
// indexed terms stored as flat per-node arrays.
//
// Node 0 is the root. child_labels[c] is the character on the edge from c's parent into c (the
// label belongs to the child; U+0000 means "no label" and hides the node and its subtree from
// queries). Child lists are stored in compressed-row form:
//
//   node_shifts:        [0, 2, 3, 3]          N = 4 entries, no closing entry
//   child_transitions:  [1, 2 | 3 | ]         node 3, the last, runs to the end of the array
//   children(0) = {1, 2}, children(1) = {3}, children(2) = {}, children(3) = {}
//
// Children keep their stored order and are never looked up by label; siblings may share a label.
// A start that is not below the end gives an empty list. Nothing here checks that the arrays agree
// with one another: every read by node id or position is guarded, and a failed guard is an
// InternalFault.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/cancel.hpp"
#include "common/fault.hpp"
#include "payload/payload_table.hpp"

namespace torrelm::prefix {

using NodeId = std::uint32_t;
using VideoUuid = std::array<std::uint8_t, 16>;

// Which identifier table is in use; the values are those of the stored format.
enum class IdMode : std::uint8_t { Uuid = 0, Int32 = 1 };

// Positions [begin, end) of one node's child list in child_transitions; empty when end <= begin.
struct ChildRange {
  std::size_t begin;
  std::size_t end;
  bool empty() const noexcept { return end <= begin; }
};

// The reads every form of an index shares, over its node arrays (Derived's members).
template <class Derived>
struct TrieReads {
  std::size_t node_count() const noexcept { return self().child_labels.size(); }

  // Child list of node n (guarded on node_shifts). Read entries with child().
  ChildRange children(NodeId n, SourceLocation where = SourceLocation::current()) const {
    const Derived& t = self();
    const std::size_t begin = checked_at(t.node_shifts, n, where);
    const std::size_t next = std::size_t{n} + 1;
    const std::size_t end =
        next < t.node_shifts.size() ? t.node_shifts[next] : t.child_transitions.size();
    return {begin, end};
  }
  NodeId child(std::size_t position, SourceLocation where = SourceLocation::current()) const {
    return checked_at(self().child_transitions, position, where);
  }
  char32_t label(NodeId n, SourceLocation where = SourceLocation::current()) const {
    return checked_at(self().child_labels, n, where);
  }
  bool terminal(NodeId n, SourceLocation where = SourceLocation::current()) const {
    return checked_at(self().is_terminal, n, where) != 0;
  }

  friend bool operator==(const TrieReads&, const TrieReads&) = default;

 private:
  const Derived& self() const noexcept { return static_cast<const Derived&>(*this); }
};

class WalkTable;

// An index's arrays wherever they lie: in a Trie's vectors or in a mapped file. Queries, checks
// and writers read an index through this, so that owned and mapped storage run the same code. It
// does not keep its arrays alive.
struct TrieView : TrieReads<TrieView> {
  std::span<const std::uint32_t> node_shifts;
  std::span<const char32_t> child_labels;
  std::span<const NodeId> child_transitions;
  payload::PayloadTableView payloads;
  std::span<const VideoUuid> video_uuids;
  std::span<const std::uint32_t> video_int_ids;
  IdMode id_mode = IdMode::Uuid;
  std::span<const std::uint8_t> is_terminal;
  // The same nodes rearranged for the fuzzy walk, when their owner made them (see WalkTable);
  // queries walk the arrays above without it.
  const WalkTable* walk_table = nullptr;

  // Bytes the arrays take.
  std::size_t memory_bytes() const noexcept;
};

// Whether two views hold the same index (not whether they share storage).
bool operator==(const TrieView& a, const TrieView& b);

// The index in arrays of its own: what builders and decoders make.
struct Trie : TrieReads<Trie> {
  std::vector<std::uint32_t> node_shifts;
  std::vector<char32_t> child_labels;
  std::vector<NodeId> child_transitions;
  payload::PayloadTable payloads;
  std::vector<VideoUuid> video_uuids;
  std::vector<std::uint32_t> video_int_ids;
  IdMode id_mode = IdMode::Uuid;
  std::vector<std::uint8_t> is_terminal;

  TrieView view() const noexcept {
    TrieView v;
    v.node_shifts = node_shifts;
    v.child_labels = child_labels;
    v.child_transitions = child_transitions;
    v.payloads = payloads.view();
    v.video_uuids = video_uuids;
    v.video_int_ids = video_int_ids;
    v.id_mode = id_mode;
    v.is_terminal = is_terminal;
    return v;
  }
  // A Trie reads as its view wherever one is taken.
  operator TrieView() const noexcept { return view(); }  // NOLINT(google-explicit-constructor)

  // An owned copy of the arrays `view` reads.
  static Trie copy_of(const TrieView& view);

  // Gives every node its own videos merged with those of its whole subtree, cut to the
  // `video_top_n` largest counts at every level. Run once, by the builder, before the index is
  // handed out. A child range running past child_transitions is an InternalFault. Counts its
  // steps on `cancel`.
  void propagate(std::uint32_t video_top_n, Cancel cancel = {});

  // Heap bytes held, for memory reports.
  std::size_t memory_bytes() const noexcept;

  friend bool operator==(const Trie&, const Trie&) = default;
};

}  // namespace torrelm::prefix

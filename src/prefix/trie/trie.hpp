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

struct Trie {
  std::vector<std::uint32_t> node_shifts;
  std::vector<char32_t> child_labels;
  std::vector<NodeId> child_transitions;
  payload::PayloadTable payloads;
  std::vector<VideoUuid> video_uuids;
  std::vector<std::uint32_t> video_int_ids;
  IdMode id_mode = IdMode::Uuid;
  std::vector<std::uint8_t> is_terminal;

  std::size_t node_count() const noexcept { return child_labels.size(); }

  // Child list of node n (guarded on node_shifts). Read entries with child().
  ChildRange children(NodeId n, SourceLocation where = SourceLocation::current()) const {
    const std::size_t begin = checked_at(node_shifts, n, where);
    const std::size_t next = std::size_t{n} + 1;
    const std::size_t end =
        next < node_shifts.size() ? node_shifts[next] : child_transitions.size();
    return {begin, end};
  }
  NodeId child(std::size_t position, SourceLocation where = SourceLocation::current()) const {
    return checked_at(child_transitions, position, where);
  }
  char32_t label(NodeId n, SourceLocation where = SourceLocation::current()) const {
    return checked_at(child_labels, n, where);
  }
  bool terminal(NodeId n, SourceLocation where = SourceLocation::current()) const {
    return checked_at(is_terminal, n, where) != 0;
  }

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

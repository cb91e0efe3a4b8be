#include "store/validate.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "payload/payload.hpp"

namespace torrelm::store {
namespace {

using prefix::NodeId;
using prefix::TrieView;

Unexpected<ValidationError> problem(std::string message) {
  return Unexpected{ValidationError{std::move(message)}};
}

std::string hex(char32_t ch) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(ch));
  return text;
}

std::string count_problem(const char* array, std::size_t has, std::size_t nodes) {
  return std::string(array) + " has " + std::to_string(has) + " entries but there are " +
         std::to_string(nodes) + " nodes (child_labels)";
}

// Every list's start is at most the next one's, and none runs past child_transitions: then every
// position a list covers can be read, and the lists do not overlap.
std::optional<std::string> check_lists(const TrieView& trie, Cancel& cancel) {
  const std::size_t n = trie.node_count();
  const std::size_t length = trie.child_transitions.size();
  for (std::size_t node = 0; node < n; ++node) {
    cancel.step();
    const std::size_t start = trie.node_shifts[node];
    const std::size_t next = node + 1 < n ? trie.node_shifts[node + 1] : length;
    if (start > length) {
      return "node_shifts node " + std::to_string(node) + ": child list starts at " +
             std::to_string(start) + ", past the end of child_transitions (" +
             std::to_string(length) + " entries)";
    }
    if (start > next) {
      return "node_shifts node " + std::to_string(node) + ": child list starts at " +
             std::to_string(start) + ", after the next node's start " + std::to_string(next);
    }
  }
  // Entries before the first list would belong to no node.
  if (n != 0 && trie.node_shifts[0] != 0) {
    return "node_shifts node 0: child lists start at " + std::to_string(trie.node_shifts[0]) +
           ", not 0: the entries before belong to no node";
  }
  if (n == 0 && length != 0) {
    return "child_transitions has " + std::to_string(length) + " entries but there are no nodes";
  }
  return std::nullopt;
}

// Each node but the root has exactly one parent, with a smaller id: then every node is reachable
// from the root along exactly one path, and a walk visits each once.
std::optional<std::string> check_tree(const TrieView& trie, Cancel& cancel) {
  const std::size_t n = trie.node_count();
  constexpr NodeId kNone = 0xFFFF'FFFFu;
  std::vector<NodeId> parent(n, kNone);
  for (std::size_t node = 0; node < n; ++node) {
    const prefix::ChildRange list = trie.children(static_cast<NodeId>(node));
    cancel.step(1 + (list.empty() ? 0 : list.end - list.begin));
    for (std::size_t p = list.begin; p < list.end; ++p) {
      const NodeId child = trie.child_transitions[p];
      // Worded only when a check fails: the checks run once per edge of a large index.
      const auto at = [p] { return "child_transitions position " + std::to_string(p) + ": "; };
      if (child >= n) {
        return at() + "node " + std::to_string(child) + " listed under node " +
               std::to_string(node) + " does not exist (" + std::to_string(n) + " nodes)";
      }
      if (child == 0) {
        return at() + "node 0, the root, is listed as a child of node " + std::to_string(node);
      }
      if (parent[child] != kNone) {
        return at() + "node " + std::to_string(child) + " is listed under node " +
               std::to_string(node) + " but already under node " + std::to_string(parent[child]);
      }
      if (child <= node) {
        return at() + "node " + std::to_string(child) + " is listed under node " +
               std::to_string(node) + ", which does not come before it";
      }
      parent[child] = static_cast<NodeId>(node);
    }
  }
  for (std::size_t node = 1; node < n; ++node) {
    if (parent[node] == kNone) return "node " + std::to_string(node) + " is in no child list";
  }
  return std::nullopt;
}

std::optional<std::string> check_nodes(const TrieView& trie, Cancel& cancel) {
  for (std::size_t node = 0; node < trie.node_count(); ++node) {
    cancel.step();
    const char32_t label = trie.child_labels[node];
    if (label > 0x10FFFF || (label >= 0xD800 && label <= 0xDFFF)) {
      return "child_labels node " + std::to_string(node) + ": " + hex(label) +
             " is not a Unicode scalar value";
    }
    if (label == U'\0' && node != 0) {
      return "child_labels node " + std::to_string(node) +
             ": U+0000 labels a node other than "
             "the root";
    }
    if (trie.is_terminal[node] > 1) {
      return "is_terminal node " + std::to_string(node) + ": flag " +
             std::to_string(trie.is_terminal[node]) + " is neither 0 nor 1";
    }
  }
  return std::nullopt;
}

std::optional<std::string> check_payloads(const TrieView& trie, Cancel& cancel) {
  if (trie.id_mode != prefix::IdMode::Uuid && trie.id_mode != prefix::IdMode::Int32) {
    return "id_mode " + std::to_string(static_cast<unsigned>(trie.id_mode)) +
           " is neither Uuid (0) nor Int32 (1)";
  }
  const bool ints = trie.id_mode == prefix::IdMode::Int32;
  const std::size_t known = ints ? trie.video_int_ids.size() : trie.video_uuids.size();
  const char* table = ints ? "video_int_ids" : "video_uuids";
  // Most indexes pass: one pass over the positions of all slots end to end (which the reader
  // checked to be exactly the slots' ranges) tells, and only a failure looks for its slot.
  const payload::PayloadTableView& table_view = trie.payloads;
  if (table_view.parallel && table_view.video_counts.size() == table_view.video_ids.size()) {
    std::uint32_t largest = 0;
    const std::span<const std::uint32_t> ids = table_view.video_ids;
    for (std::size_t i = 0; i < ids.size(); ++i) largest = std::max(largest, ids[i]);
    cancel.step(ids.size() / 16);
    if (ids.empty() || largest < known) return std::nullopt;
  }
  std::optional<std::string> found;
  std::size_t node = 0;
  trie.payloads.for_each([&](bool present, const payload::PayloadView& slot) {
    const std::size_t here = node++;
    if (found || !present) return;
    cancel.step(1 + slot.video_ids.size());
    if (slot.video_counts.size() != slot.video_ids.size()) {
      found = "payloads node " + std::to_string(here) + ": " +
              std::to_string(slot.video_counts.size()) + " counts for " +
              std::to_string(slot.video_ids.size()) + " positions";
      return;
    }
    for (std::size_t i = 0; i < slot.video_ids.size(); ++i) {
      if (slot.video_ids[i] >= known) {
        found = "payloads node " + std::to_string(here) + " entry " + std::to_string(i) +
                ": position " + std::to_string(slot.video_ids[i]) + " is past " + table + " (" +
                std::to_string(known) + " entries)";
        return;
      }
    }
  });
  return found;
}

// No video is clicked under a node more often than the node was searched: its counts add up to
// at most its total. videos() answers each video's share of the totals of the nodes it matches,
// which is then never above 1. A total stops at 2**32-1 where the counts below it, each stopped
// there too, may add up to more: there, each video is listed once.
std::optional<std::string> check_shares(const TrieView& trie, Cancel& cancel) {
  std::optional<std::string> found;
  std::size_t node = 0;
  std::vector<std::uint32_t> positions;
  trie.payloads.for_each([&](bool present, const payload::PayloadView& slot) {
    const std::size_t here = node++;
    if (found || !present) return;
    cancel.step(1 + slot.video_counts.size() / 8);
    std::uint64_t sum = 0;
    for (const std::uint32_t count : slot.video_counts) sum += count;
    if (sum <= slot.total_count) return;
    if (slot.total_count != payload::kCountMax) {
      found = "payloads node " + std::to_string(here) + ": its video counts add up to " +
              std::to_string(sum) + ", more than its total count " +
              std::to_string(slot.total_count);
      return;
    }
    positions.assign(slot.video_ids.begin(), slot.video_ids.end());
    std::sort(positions.begin(), positions.end());
    if (std::adjacent_find(positions.begin(), positions.end()) != positions.end()) {
      found = "payloads node " + std::to_string(here) + ": a video is listed twice";
    }
  });
  return found;
}

}  // namespace

Expected<bool, ValidationError> validate(const TrieView& trie, Cancel cancel) {
  const std::size_t n = trie.node_count();
  if (trie.node_shifts.size() != n)
    return problem(count_problem("node_shifts", trie.node_shifts.size(), n));
  if (trie.is_terminal.size() != n)
    return problem(count_problem("is_terminal", trie.is_terminal.size(), n));
  if (trie.payloads.size() != n) return problem(count_problem("payloads", trie.payloads.size(), n));
  for (const auto check : {check_lists, check_tree, check_nodes, check_payloads, check_shares}) {
    if (auto found = check(trie, cancel)) return problem(std::move(*found));
  }
  return true;
}

}  // namespace torrelm::store

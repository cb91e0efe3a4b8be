#include "prefix/trie/trie.hpp"

#include <algorithm>

namespace torrelm::prefix {

std::size_t Trie::memory_bytes() const noexcept {
  return node_shifts.capacity() * sizeof(std::uint32_t) +
         child_labels.capacity() * sizeof(char32_t) +
         child_transitions.capacity() * sizeof(NodeId) + payloads.memory_bytes() +
         video_uuids.capacity() * sizeof(VideoUuid) +
         video_int_ids.capacity() * sizeof(std::uint32_t) + is_terminal.capacity();
}

std::size_t TrieView::memory_bytes() const noexcept {
  return node_shifts.size_bytes() + child_labels.size_bytes() + child_transitions.size_bytes() +
         payloads.memory_bytes() + video_uuids.size_bytes() + video_int_ids.size_bytes() +
         is_terminal.size_bytes();
}

bool operator==(const TrieView& a, const TrieView& b) {
  return a.id_mode == b.id_mode && std::ranges::equal(a.node_shifts, b.node_shifts) &&
         std::ranges::equal(a.child_labels, b.child_labels) &&
         std::ranges::equal(a.child_transitions, b.child_transitions) &&
         std::ranges::equal(a.video_uuids, b.video_uuids) &&
         std::ranges::equal(a.video_int_ids, b.video_int_ids) &&
         std::ranges::equal(a.is_terminal, b.is_terminal) && a.payloads == b.payloads;
}

Trie Trie::copy_of(const TrieView& view) {
  Trie trie;
  trie.node_shifts.assign(view.node_shifts.begin(), view.node_shifts.end());
  trie.child_labels.assign(view.child_labels.begin(), view.child_labels.end());
  trie.child_transitions.assign(view.child_transitions.begin(), view.child_transitions.end());
  const payload::PayloadTableView& table = view.payloads;
  trie.payloads.reserve(table.size(), table.present_count(), table.entry_count(),
                        table.video_counts.size());
  table.for_each([&](bool present, const payload::PayloadView& slot) {
    if (present) {
      trie.payloads.push(slot.total_count, slot.video_ids, slot.video_counts);
    } else {
      trie.payloads.push_absent();
    }
  });
  trie.video_uuids.assign(view.video_uuids.begin(), view.video_uuids.end());
  trie.video_int_ids.assign(view.video_int_ids.begin(), view.video_int_ids.end());
  trie.id_mode = view.id_mode;
  trie.is_terminal.assign(view.is_terminal.begin(), view.is_terminal.end());
  return trie;
}

}  // namespace torrelm::prefix

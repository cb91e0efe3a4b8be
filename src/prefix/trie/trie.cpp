#include "prefix/trie/trie.hpp"

namespace torrelm::prefix {

std::size_t Trie::memory_bytes() const noexcept {
  return node_shifts.capacity() * sizeof(std::uint32_t) +
         child_labels.capacity() * sizeof(char32_t) +
         child_transitions.capacity() * sizeof(NodeId) + payloads.memory_bytes() +
         video_uuids.capacity() * sizeof(VideoUuid) +
         video_int_ids.capacity() * sizeof(std::uint32_t) + is_terminal.capacity();
}

}  // namespace torrelm::prefix

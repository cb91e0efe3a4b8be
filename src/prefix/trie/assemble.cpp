#include "prefix/trie/assemble.hpp"

#include <algorithm>
#include <cstring>

namespace torrelm::prefix {

std::optional<std::string> shape_error(std::size_t node_shifts_len, std::size_t labels_len,
                                       std::size_t payloads_len,
                                       std::span<const NodeId> child_transitions) {
  const std::string n = std::to_string(labels_len);
  if (node_shifts_len != labels_len) {
    return "node_shifts len " + std::to_string(node_shifts_len) + " != child_labels len " + n;
  }
  if (payloads_len != labels_len) {
    return "payloads len " + std::to_string(payloads_len) + " != child_labels len " + n;
  }
  for (std::size_t k = 0; k < child_transitions.size(); ++k) {
    if (child_transitions[k] >= labels_len) {
      return "child_transitions[" + std::to_string(k) +
             "] = " + std::to_string(child_transitions[k]) + " out of range [0.." + n + ")";
    }
  }
  return std::nullopt;
}

Expected<VideoTable, std::string> video_table(std::span<const std::uint8_t> bytes,
                                              std::span<const std::size_t> entry_lengths) {
  const auto all_of_length = [&](std::size_t want) {
    return std::all_of(entry_lengths.begin(), entry_lengths.end(),
                       [want](std::size_t length) { return length == want; });
  };
  VideoTable table;
  if (all_of_length(16)) {
    table.id_mode = IdMode::Uuid;
    table.video_uuids.resize(entry_lengths.size());
    const std::size_t size = std::min(bytes.size(), table.video_uuids.size() * sizeof(VideoUuid));
    if (size != 0) std::memcpy(table.video_uuids.data(), bytes.data(), size);
  } else if (all_of_length(4)) {
    table.id_mode = IdMode::Int32;
    table.video_int_ids.resize(entry_lengths.size());
    for (std::size_t k = 0; k < entry_lengths.size() && 4 * k + 4 <= bytes.size(); ++k) {
      const std::uint8_t* b = bytes.data() + 4 * k;
      table.video_int_ids[k] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 |
                               std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
    }
  } else {
    return Unexpected{
        std::string("video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)")};
  }
  return table;
}

}  // namespace torrelm::prefix

// The checks and conversions of building an index from flat arrays that need no Python objects.
// Each returns the exact message the caller reports as ValueError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/expected.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::prefix {

// Lengths and child ids, checked in this order: node_shifts against the label count N, payloads
// against N, then every child id below N. nullopt when all hold.
std::optional<std::string> shape_error(std::size_t node_shifts_len, std::size_t labels_len,
                                       std::size_t payloads_len,
                                       std::span<const NodeId> child_transitions);

struct VideoTable {
  IdMode id_mode = IdMode::Uuid;
  std::vector<VideoUuid> video_uuids;
  std::vector<std::uint32_t> video_int_ids;
};

// The identifier table from video_index entries, given as their concatenated bytes and the
// length of each entry: all 16 bytes (or none at all) gives Uuid, all 4 bytes gives Int32 with
// each entry read little-endian; anything else is refused.
Expected<VideoTable, std::string> video_table(std::span<const std::uint8_t> bytes,
                                              std::span<const std::size_t> entry_lengths);

}  // namespace torrelm::prefix

// Random well-formed tries for the store's tests: words over a small alphabet laid out by the
// support helpers, with random payloads and id tables of either kind.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "support/tries.hpp"

namespace torrelm::test {

inline Trie random_trie(std::mt19937& rng, prefix::IdMode mode, std::size_t words = 12) {
  // Mostly a few letters, so that words share prefixes; now and then a character beyond the BMP.
  const std::u32string alphabet = U"abcé\U0001F600";
  std::uniform_int_distribution<std::size_t> length(0, 6);
  std::uniform_int_distribution<std::size_t> letter(0, alphabet.size() - 1);
  std::vector<std::u32string> list;
  const std::size_t count = std::uniform_int_distribution<std::size_t>(0, words)(rng);
  for (std::size_t i = 0; i < count; ++i) {
    std::u32string word;
    for (std::size_t j = length(rng); j > 0; --j) word += alphabet[letter(rng)];
    list.push_back(word);
  }
  Trie trie = make_trie(word_nodes(list));
  const std::size_t videos = std::uniform_int_distribution<std::size_t>(0, 5)(rng);
  trie.id_mode = mode;
  for (std::size_t v = 0; v < videos; ++v) {
    if (mode == prefix::IdMode::Int32) {
      trie.video_int_ids.push_back(static_cast<std::uint32_t>(rng()));
    } else {
      prefix::VideoUuid uuid;
      for (auto& byte : uuid) byte = static_cast<std::uint8_t>(rng());
      trie.video_uuids.push_back(uuid);
    }
  }
  trie.payloads = {};
  for (std::size_t node = 0; node < trie.node_count(); ++node) {
    if (videos == 0 || rng() % 3 == 0) {
      trie.payloads.push_absent();
      continue;
    }
    // A node's total counts its searches, at least the clicks of its videos.
    payload::Payload slot{static_cast<std::uint32_t>(rng() % 1000), {}, {}};
    for (std::size_t i = rng() % 4; i > 0; --i) {
      slot.video_ids.push_back(static_cast<std::uint32_t>(rng() % videos));
      slot.video_counts.push_back(static_cast<std::uint32_t>(1 + rng() % 100));
      slot.total_count += slot.video_counts.back();
    }
    trie.payloads.push(slot);
  }
  return trie;
}

// The slots of a payload table as owned values, to edit and push back.
inline std::vector<std::optional<payload::Payload>> slots_of(const payload::PayloadTable& table) {
  std::vector<std::optional<payload::Payload>> slots;
  for (std::size_t i = 0; i < table.size(); ++i) slots.push_back(table.payload(i));
  return slots;
}

inline payload::PayloadTable table_of(const std::vector<std::optional<payload::Payload>>& slots) {
  payload::PayloadTable table;
  for (const auto& slot : slots) table.push(slot);
  return table;
}

}  // namespace torrelm::test

// Payload: the video information of one trie node, and the rule by which two payloads merge.
#pragma once

#include <cstdint>
#include <vector>

namespace torrelm::payload {

inline constexpr std::uint32_t kCountMax = 0xFFFF'FFFFu;

// Sums of counts never wrap: they stop at the largest 32-bit count.
constexpr std::uint32_t saturating_add(std::uint32_t a, std::uint64_t b) noexcept {
  const std::uint64_t sum = a + b;
  return sum > kCountMax ? kCountMax : static_cast<std::uint32_t>(sum);
}

struct Payload {
  std::uint32_t total_count = 0;
  std::vector<std::uint32_t> video_ids;     // positions in the trie's video id table
  std::vector<std::uint32_t> video_counts;  // parallel to video_ids

  // Makes this payload the merge of itself and `other`: total counts add up (saturating), every
  // position appears once with the sum of its counts (saturating at 2**32-1; zero sums stay), and
  // entries are ordered by count, largest first, ties in no defined order. Never shortens.
  // Requires video_ids and video_counts of both payloads to have equal lengths.
  void merge_from(const Payload& other);

  friend bool operator==(const Payload&, const Payload&) = default;
};

}  // namespace torrelm::payload

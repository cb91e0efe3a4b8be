#include "payload/payload.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace torrelm::payload {

void Payload::merge_from(const Payload& other) {
  total_count = saturating_add(total_count, other.total_count);

  std::unordered_map<std::uint32_t, std::uint64_t> sums;
  sums.reserve(video_ids.size() + other.video_ids.size());
  for (const Payload* side : {static_cast<const Payload*>(this), &other}) {
    for (std::size_t i = 0; i < side->video_ids.size(); ++i) {
      sums[side->video_ids[i]] += side->video_counts[i];
    }
  }

  std::vector<std::pair<std::uint32_t, std::uint64_t>> merged(sums.begin(), sums.end());
  std::sort(merged.begin(), merged.end(),
            [](const auto& a, const auto& b) { return a.second > b.second; });

  video_ids.resize(merged.size());
  video_counts.resize(merged.size());
  for (std::size_t i = 0; i < merged.size(); ++i) {
    video_ids[i] = merged[i].first;
    video_counts[i] = saturating_add(0, merged[i].second);
  }
}

}  // namespace torrelm::payload

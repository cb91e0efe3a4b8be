#include "payload/payload.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace torrelm::payload {
namespace {

// Order among equal counts is not defined, so compare as position -> count plus the ordering.
std::map<std::uint32_t, std::uint32_t> as_map(const Payload& p) {
  std::map<std::uint32_t, std::uint32_t> out;
  for (std::size_t i = 0; i < p.video_ids.size(); ++i) {
    EXPECT_TRUE(out.emplace(p.video_ids[i], p.video_counts[i]).second)
        << "position " << p.video_ids[i] << " appears twice";
  }
  return out;
}

TEST(PayloadMergeFrom, CombinesPositionsAndOrdersByCount) {
  struct Case {
    const char* name;
    Payload receiver;
    Payload other;
    std::uint32_t want_total;
    std::map<std::uint32_t, std::uint32_t> want;
  };
  const Case cases[] = {
      {"two empty payloads", {3, {}, {}}, {4, {}, {}}, 7, {}},
      {"into an empty payload", {0, {}, {}}, {9, {2, 1, 2}, {1, 5, 3}}, 9, {{2, 4}, {1, 5}}},
      {"position on both sides", {1, {7, 8}, {2, 1}}, {1, {8}, {4}}, 2, {{7, 2}, {8, 5}}},
      {"duplicates within the receiver", {0, {5, 5}, {1, 1}}, {}, 0, {{5, 2}}},
      {"zero counts stay", {0, {1, 2}, {0, 3}}, {}, 0, {{1, 0}, {2, 3}}},
      {"equal counts", {0, {5, 7}, {3, 3}}, {}, 0, {{5, 3}, {7, 3}}},
      {"total saturates", {4'000'000'000u, {}, {}}, {1'000'000'000u, {}, {}}, kCountMax, {}},
      {"merged count saturates",
       {0, {1}, {4'000'000'000u}},
       {0, {1}, {1'000'000'000u}},
       0,
       {{1, kCountMax}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Payload got = c.receiver;
    const Payload other_before = c.other;
    got.merge_from(c.other);
    EXPECT_EQ(got.total_count, c.want_total);
    EXPECT_EQ(as_map(got), c.want);
    EXPECT_TRUE(std::is_sorted(got.video_counts.rbegin(), got.video_counts.rend()));
    EXPECT_EQ(c.other, other_before);
  }
}

}  // namespace
}  // namespace torrelm::payload

#include "ranking/score_map.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <random>

namespace torrelm::ranking::detail {
namespace {

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

TEST(SaturatingAdd, StopsAtTheLargestSize) {
  struct Case {
    std::size_t a, b, want;
  };
  const Case cases[] = {
      {0, 0, 0},
      {3, 4, 7},
      {kMax - 4, 4, kMax},
      {kMax - 4, 5, kMax},
      {kMax, kMax, kMax},
      // What a 32-bit sum of payload lengths over shared nodes wrapped to.
      {std::size_t{0xFFFF'FFF0u}, 0x20,
       std::size_t{0xFFFF'FFF0u} + 0x20 < 0x20 ? kMax : std::size_t{0xFFFF'FFF0u} + 0x20},
  };
  for (const Case& c : cases) EXPECT_EQ(saturating_add(c.a, c.b), c.want);
}

TEST(ScoreMap, GrowsPastAnyHint) {
  struct Case {
    const char* name;
    std::size_t hint;
    std::size_t distinct;
  };
  const Case cases[] = {
      {"a hint of nothing", 0, 50'000},
      {"a saturated hint starts capped", kMax, 100'000},
      {"an exact hint", 1000, 1000},
      {"a hint far above the positions", 1 << 20, 10},
  };
  std::mt19937 random(11);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScoreMap scores(c.hint);
    EXPECT_LE(scores.slot_count(), 2 * ScoreMap::kLargestStart);
    std::map<std::uint32_t, double> want;
    for (std::size_t round = 0; round < 3; ++round) {
      for (std::size_t i = 0; i < c.distinct; ++i) {
        const auto position = static_cast<std::uint32_t>(i * 2654435761u);
        const double weighted = static_cast<double>(random() % 100);
        scores.add(position, weighted);
        want[position] += weighted;
      }
    }
    ASSERT_EQ(scores.entries().size(), want.size());
    for (const auto& entry : scores.entries()) EXPECT_EQ(entry.weighted, want[entry.position]);
    EXPECT_LE(2 * scores.entries().size(), scores.slot_count()) << "never more than half full";
  }
}

}  // namespace
}  // namespace torrelm::ranking::detail

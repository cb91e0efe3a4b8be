#include "prefix/trie/assemble.hpp"

#include <gtest/gtest.h>

namespace torrelm::prefix {
namespace {

TEST(ShapeError, ReportsTheFirstProblemInOrder) {
  struct Case {
    const char* name;
    std::size_t shifts, labels, payloads;
    std::vector<NodeId> transitions;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"consistent", 3, 3, 3, {1, 2}, std::nullopt},
      {"all empty", 0, 0, 0, {}, std::nullopt},
      {"node_shifts first", 2, 3, 4, {9}, "node_shifts len 2 != child_labels len 3"},
      {"then payloads", 3, 3, 4, {9}, "payloads len 4 != child_labels len 3"},
      {"first child out of range",
       3,
       3,
       3,
       {0, 5, 7},
       "child_transitions[1] = 5 out of range [0..3)"},
      {"no nodes", 0, 0, 0, {0}, "child_transitions[0] = 0 out of range [0..0)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(shape_error(c.shifts, c.labels, c.payloads, c.transitions), c.want);
  }
}

TEST(VideoTable, PicksTheModeFromEntryLengths) {
  const std::string refused =
      "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)";
  std::vector<std::uint8_t> sixteen(32);
  for (std::size_t i = 0; i < sixteen.size(); ++i) sixteen[i] = static_cast<std::uint8_t>(i);

  const auto empty = video_table({}, {});
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->id_mode, IdMode::Uuid);
  EXPECT_TRUE(empty->video_uuids.empty() && empty->video_int_ids.empty());

  const std::vector<std::uint8_t> ints = {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  const auto int32 = video_table(ints, std::vector<std::size_t>{4, 4});
  ASSERT_TRUE(int32);
  EXPECT_EQ(int32->id_mode, IdMode::Int32);
  EXPECT_EQ(int32->video_int_ids, (std::vector<std::uint32_t>{1, 4294967295u}));
  EXPECT_TRUE(int32->video_uuids.empty());

  const auto uuid = video_table(sixteen, std::vector<std::size_t>{16, 16});
  ASSERT_TRUE(uuid);
  EXPECT_EQ(uuid->id_mode, IdMode::Uuid);
  ASSERT_EQ(uuid->video_uuids.size(), 2u);
  EXPECT_EQ(uuid->video_uuids[1][0], 16);
  EXPECT_EQ(uuid->video_uuids[1][15], 31);

  const std::vector<std::uint8_t> mixed(20);
  EXPECT_EQ(video_table(mixed, std::vector<std::size_t>{16, 4}).error(), refused);
  EXPECT_EQ(video_table(std::vector<std::uint8_t>(5), std::vector<std::size_t>{5}).error(),
            refused);
}

}  // namespace
}  // namespace torrelm::prefix

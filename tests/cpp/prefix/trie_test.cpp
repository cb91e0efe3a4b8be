#include "prefix/trie/trie.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace torrelm::prefix {
namespace {

std::vector<NodeId> children_of(const Trie& trie, NodeId n) {
  std::vector<NodeId> out;
  const ChildRange range = trie.children(n);
  for (std::size_t p = range.begin; p < range.end; ++p) out.push_back(trie.child(p));
  return out;
}

TEST(TrieChildren, FollowsCompressedRows) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> shifts;
    std::vector<NodeId> transitions;
    std::vector<std::vector<NodeId>> want;
  };
  const Case cases[] = {
      {"last node runs to the end", {0, 2, 2}, {1, 2}, {{1, 2}, {}, {}}},
      {"self child", {0, 1}, {1, 1}, {{1}, {1}}},
      {"decreasing offsets give no children", {0, 3, 1}, {1, 2, 2}, {{1, 2, 2}, {}, {2, 2}}},
      {"duplicate siblings kept in order", {0, 3, 3, 3}, {2, 1, 2}, {{2, 1, 2}, {}, {}, {}}},
      {"single root", {0}, {}, {{}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Trie trie;
    trie.node_shifts = c.shifts;
    trie.child_transitions = c.transitions;
    for (NodeId n = 0; n < c.want.size(); ++n) EXPECT_EQ(children_of(trie, n), c.want[n]);
  }
}

TEST(TrieGuards, ReadsPastTheEndAreInternalFaults) {
  Trie trie;
  trie.node_shifts = {0, 5};
  trie.child_transitions = {1, 1};
  trie.child_labels = {0, U'a'};
  trie.is_terminal = {0, 1};
  const auto message = [](auto&& read) -> std::string {
    try {
      read();
    } catch (const InternalFault& fault) {
      return fault.what();
    }
    return "no fault";
  };
  EXPECT_EQ(message([&] { trie.children(2); }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(message([&] { trie.child(trie.children(0).end); }),
            "index out of bounds: the len is 2 but the index is 5");
  EXPECT_EQ(message([&] { trie.label(7); }),
            "index out of bounds: the len is 2 but the index is 7");
  EXPECT_EQ(message([&] { trie.payloads.at(0); }),
            "index out of bounds: the len is 0 but the index is 0");
  EXPECT_EQ(message([] { Trie{}.children(0); }),
            "index out of bounds: the len is 0 but the index is 0");
}

TEST(PayloadTable, KeepsAbsentEmptyAndUnevenSlotsApart) {
  using payload::Payload;
  const std::vector<std::optional<Payload>> slots = {
      Payload{3, {1, 2}, {5}}, Payload{3, {1, 2}, {5, 6}}, std::nullopt, Payload{0, {}, {}},
      Payload{7, {4}, {}},     Payload{1, {}, {9, 9}},     std::nullopt, Payload{2, {8}, {1}},
  };
  payload::PayloadTable table;
  for (const auto& slot : slots) table.push(slot);
  ASSERT_EQ(table.size(), slots.size());
  for (std::size_t i = 0; i < slots.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(table.payload(i), slots[i]);
  }
}

}  // namespace
}  // namespace torrelm::prefix

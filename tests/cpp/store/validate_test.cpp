#include "store/validate.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>

#include "format/index_codec.hpp"
#include "ranking/ranking.hpp"
#include "store/random_trie.hpp"
#include "support/tries.hpp"

namespace torrelm::store {
namespace {

using prefix::Trie;
using test::make_trie;

std::string outcome(const Trie& trie) {
  const auto got = validate(trie);
  return got ? "ok" : got.error().message;
}

// root -a-> 1 -b-> 3, root -c-> 2; payloads on 1 and 3, two Int32 ids.
Trie small_trie() {
  Trie trie = make_trie({{0, U'a', true}, {0, U'c', true}, {1, U'b', true}});
  trie.id_mode = prefix::IdMode::Int32;
  trie.video_int_ids = {10, 20};
  trie.payloads = test::table_of({std::nullopt, payload::Payload{5, {0, 1}, {3, 2}}, std::nullopt,
                                  payload::Payload{1, {1}, {1}}});
  return trie;
}

// A slow and obviously right verdict on the shape alone: the walk from the root by recursion
// reaches every node exactly once, each list lies inside child_transitions, every label is a
// scalar value and not U+0000 below the root, and the per-node arrays all have one entry per node.
bool reference_valid(const Trie& trie) {
  const std::size_t n = trie.child_labels.size();
  if (trie.node_shifts.size() != n || trie.is_terminal.size() != n || trie.payloads.size() != n) {
    return false;
  }
  if (n == 0) return trie.child_transitions.empty();
  std::vector<int> visits(n, 0);
  std::size_t listed = 0;
  bool ok = true;
  const auto visit = [&](auto&& self, std::size_t node) -> void {
    if (!ok) return;
    if (++visits[node] > 1) {
      ok = false;
      return;
    }
    const std::size_t begin = trie.node_shifts[node];
    const std::size_t end =
        node + 1 < n ? trie.node_shifts[node + 1] : trie.child_transitions.size();
    if (begin > end || end > trie.child_transitions.size()) {
      ok = false;
      return;
    }
    for (std::size_t p = begin; p < end && ok; ++p) {
      ++listed;
      const std::size_t child = trie.child_transitions[p];
      if (child >= n || child <= node) {
        ok = false;
        return;
      }
      self(self, child);
    }
  };
  visit(visit, 0);
  if (!ok || listed != trie.child_transitions.size()) return false;
  for (std::size_t node = 0; node < n; ++node) {
    const char32_t label = trie.child_labels[node];
    if (visits[node] != 1 || trie.is_terminal[node] > 1 || label > 0x10FFFF ||
        (label >= 0xD800 && label <= 0xDFFF) || (label == 0 && node != 0)) {
      return false;
    }
    const auto slot = trie.payloads.payload(node);
    if (!slot) continue;
    if (slot->video_counts.size() != slot->video_ids.size()) return false;
    const std::size_t known =
        trie.id_mode == prefix::IdMode::Int32 ? trie.video_int_ids.size() : trie.video_uuids.size();
    for (const auto position : slot->video_ids) {
      if (position >= known) return false;
    }
    // No video's share of the node's searches above 1.
    std::uint64_t sum = 0;
    for (const auto count : slot->video_counts) sum += count;
    const std::set<std::uint32_t> distinct(slot->video_ids.begin(), slot->video_ids.end());
    if (sum > slot->total_count &&
        (slot->total_count != payload::kCountMax || distinct.size() != slot->video_ids.size())) {
      return false;
    }
  }
  return trie.id_mode == prefix::IdMode::Int32 || trie.id_mode == prefix::IdMode::Uuid;
}

TEST(Validate, NamesTheFirstProblemOfEachBrokenTrie) {
  struct Case {
    const char* name;
    std::function<void(Trie&)> breaks;
    std::string want;
  };
  const auto slots = [](Trie& trie, auto&& edit) {
    auto list = test::slots_of(trie.payloads);
    edit(list);
    trie.payloads = test::table_of(list);
  };
  const Case cases[] = {
      {"as built", [](Trie&) {}, "ok"},
      {"node_shifts short", [](Trie& t) { t.node_shifts.pop_back(); },
       "node_shifts has 3 entries but there are 4 nodes (child_labels)"},
      {"is_terminal long", [](Trie& t) { t.is_terminal.push_back(0); },
       "is_terminal has 5 entries but there are 4 nodes (child_labels)"},
      {"payloads short", [&](Trie& t) { slots(t, [](auto& list) { list.pop_back(); }); },
       "payloads has 3 entries but there are 4 nodes (child_labels)"},
      {"start after the next start",
       [](Trie& t) {
         t.node_shifts = {0, 3, 2, 3};
       },
       "node_shifts node 1: child list starts at 3, after the next node's start 2"},
      {"entries before the first list",
       [](Trie& t) {
         t.node_shifts = {1, 3, 3, 3};
       },
       "node_shifts node 0: child lists start at 1, not 0: the entries before belong to no node"},
      {"last start past the end", [](Trie& t) { t.node_shifts[3] = 4; },
       "node_shifts node 3: child list starts at 4, past the end of child_transitions (3 "
       "entries)"},
      {"child past the nodes", [](Trie& t) { t.child_transitions[2] = 4; },
       "child_transitions position 2: node 4 listed under node 1 does not exist (4 nodes)"},
      {"root listed", [](Trie& t) { t.child_transitions[2] = 0; },
       "child_transitions position 2: node 0, the root, is listed as a child of node 1"},
      {"child listed twice by one parent", [](Trie& t) { t.child_transitions[1] = 1; },
       "child_transitions position 1: node 1 is listed under node 0 but already under node 0"},
      {"shared child",
       [](Trie& t) {
         t.child_transitions = {1, 2, 3, 3};
         t.node_shifts = {0, 2, 3, 4};
       },
       "child_transitions position 3: node 3 is listed under node 2 but already under node 1"},
      {"child numbered before its parent",
       [](Trie& t) {
         // root lists 1 and 3, node 3 lists 2.
         t.child_transitions = {1, 3, 2};
         t.node_shifts = {0, 2, 2, 2};
       },
       "child_transitions position 2: node 2 is listed under node 3, which does not come before "
       "it"},
      {"node in no list",
       [](Trie& t) {
         t.child_transitions = {1, 2};
         t.node_shifts = {0, 2, 2, 2};
       },
       "node 3 is in no child list"},
      {"surrogate label", [](Trie& t) { t.child_labels[2] = 0xDC00; },
       "child_labels node 2: U+DC00 is not a Unicode scalar value"},
      {"label past Unicode", [](Trie& t) { t.child_labels[0] = 0x110000; },
       "child_labels node 0: U+110000 is not a Unicode scalar value"},
      {"U+0000 below the root", [](Trie& t) { t.child_labels[3] = U'\0'; },
       "child_labels node 3: U+0000 labels a node other than the root"},
      {"terminal flag 2", [](Trie& t) { t.is_terminal[1] = 2; },
       "is_terminal node 1: flag 2 is neither 0 nor 1"},
      {"unknown id mode", [](Trie& t) { t.id_mode = static_cast<prefix::IdMode>(7); },
       "id_mode 7 is neither Uuid (0) nor Int32 (1)"},
      {"position past the int ids",
       [&](Trie& t) { slots(t, [](auto& list) { list[3]->video_ids[0] = 2; }); },
       "payloads node 3 entry 0: position 2 is past video_int_ids (2 entries)"},
      {"positions checked against the uuid table",
       [](Trie& t) { t.id_mode = prefix::IdMode::Uuid; },
       "payloads node 1 entry 0: position 0 is past video_uuids (0 entries)"},
      {"uneven counts",
       [&](Trie& t) { slots(t, [](auto& list) { list[1]->video_counts.pop_back(); }); },
       "payloads node 1: 1 counts for 2 positions"},
      {"counts past the total",
       [&](Trie& t) { slots(t, [](auto& list) { list[1]->video_counts[0] = 4; }); },
       "payloads node 1: its video counts add up to 6, more than its total count 5"},
      {"a saturated total over saturated counts",
       [&](Trie& t) {
         slots(t, [](auto& list) {
           list[1] = payload::Payload{payload::kCountMax, {0, 1}, {payload::kCountMax, 7}};
         });
       },
       "ok"},
      {"... of one video twice",
       [&](Trie& t) {
         slots(t, [](auto& list) {
           list[1] = payload::Payload{payload::kCountMax, {1, 1}, {payload::kCountMax, 7}};
         });
       },
       "payloads node 1: a video is listed twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Trie trie = small_trie();
    c.breaks(trie);
    EXPECT_EQ(outcome(trie), c.want);
    EXPECT_EQ(reference_valid(trie), c.want == "ok");
  }
}

TEST(Validate, RefusesTheStoredIndexWhoseRootListsItselfTwice) {
  const std::vector<std::uint8_t> bytes = {0x01, 0x00, 0x01, 0x61, 0x02, 0x00, 0x00,
                                           0x01, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01};
  const auto trie = format::decode(bytes);
  ASSERT_TRUE(trie);
  EXPECT_EQ(trie->child_transitions, (std::vector<prefix::NodeId>{0, 0}));
  EXPECT_EQ(outcome(*trie),
            "child_transitions position 0: node 0, the root, is listed as a child of node 0");
}

TEST(Validate, PassesTriesFromTheHelpersAndRandomOnes) {
  EXPECT_EQ(outcome(Trie{}), "ok");
  EXPECT_EQ(outcome(make_trie({})), "ok");
  EXPECT_EQ(outcome(make_trie(test::word_nodes({U"tea", U"ten", U"to", U"inn"}))), "ok");
  std::mt19937 rng(11);
  for (int i = 0; i < 300; ++i) {
    const Trie trie =
        test::random_trie(rng, i % 2 == 0 ? prefix::IdMode::Int32 : prefix::IdMode::Uuid);
    ASSERT_EQ(outcome(trie), "ok");
    Trie propagated = trie;  // every node given a payload, cut to the top videos
    propagated.propagate(2);
    ASSERT_EQ(outcome(propagated), "ok");
  }
}

// One random change to one array of the index.
void mutate(Trie& trie, std::mt19937& rng) {
  const auto pick = [&](std::size_t size) {
    return static_cast<std::size_t>(rng() % std::max<std::size_t>(size, 1));
  };
  const auto value = [&](std::size_t around) {
    return static_cast<std::uint32_t>(rng() % 4 == 0 ? rng() : rng() % (around + 2));
  };
  const std::size_t n = trie.node_count();
  switch (rng() % 9) {
    case 0:
      if (!trie.node_shifts.empty())
        trie.node_shifts[pick(n)] = value(trie.child_transitions.size());
      break;
    case 1:
      if (!trie.child_transitions.empty()) {
        trie.child_transitions[pick(trie.child_transitions.size())] = value(n);
      }
      break;
    case 2:
      if (rng() % 2 == 0 && !trie.child_transitions.empty()) {
        trie.child_transitions.pop_back();
      } else {
        trie.child_transitions.push_back(value(n));
      }
      break;
    case 3:
      if (n != 0)
        trie.child_labels[pick(n)] =
            rng() % 2 == 0 ? U'\0' : static_cast<char32_t>(0xD800 + rng() % 0x400);
      break;
    case 4:
      if (n != 0) trie.is_terminal[pick(n)] = static_cast<std::uint8_t>(rng() % 3);
      break;
    case 5: {
      auto list = test::slots_of(trie.payloads);
      if (list.empty()) break;
      auto& slot = list[pick(list.size())];
      if (!slot) slot = payload::Payload{1, {}, {}};
      if (rng() % 2 == 0) {
        slot->video_ids.push_back(value(4));
      } else {
        slot->video_counts.push_back(1);
      }
      trie.payloads = test::table_of(list);
      break;
    }
    case 6:
      trie.id_mode =
          trie.id_mode == prefix::IdMode::Int32 ? prefix::IdMode::Uuid : prefix::IdMode::Int32;
      break;
    case 7:
      if (!trie.video_int_ids.empty()) trie.video_int_ids.pop_back();
      if (!trie.video_uuids.empty()) trie.video_uuids.pop_back();
      break;
    default:
      // Two lists swapped whole: same entries, another shape.
      if (n >= 2) std::swap(trie.node_shifts[pick(n)], trie.node_shifts[pick(n)]);
      break;
  }
}

TEST(Validate, MutantsThatPassAnswerQueriesWithoutThrowing) {
  std::mt19937 rng(5);
  const char* queries[] = {"",
                           "a",
                           "ab",
                           "é",
                           "cab",
                           "\xF0\x9F\x98\x80"
                           "b"};
  std::size_t passed = 0;
  std::size_t refused = 0;
  for (int round = 0; round < 2000; ++round) {
    Trie trie =
        test::random_trie(rng, round % 2 == 0 ? prefix::IdMode::Int32 : prefix::IdMode::Uuid);
    for (std::size_t changes = 1 + rng() % 3; changes > 0; --changes) mutate(trie, rng);
    const bool valid = validate(trie).has_value();
    ASSERT_EQ(valid, reference_valid(trie)) << "round " << round;
    if (!valid) {
      ++refused;
      continue;
    }
    ++passed;
    for (const char* query : queries) {
      for (std::size_t k = 0; k <= 2; ++k) {
        EXPECT_NO_THROW(prefix::fuzzy_match(trie, query, k, std::nullopt)) << "round " << round;
        EXPECT_NO_THROW(prefix::fuzzy_match_nodes(trie, query, k, false)) << "round " << round;
        EXPECT_NO_THROW(ranking::rank_videos(trie, query, k, 3, ranking::PrefixNodes::Fallback))
            << "round " << round;
      }
    }
  }
  // Both verdicts must have come up often for the property to say anything.
  EXPECT_GT(passed, 100u);
  EXPECT_GT(refused, 100u);
}

}  // namespace
}  // namespace torrelm::store

#include "prefix/matcher/matcher.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "prefix/matcher/edit_row.hpp"
#include "prefix/matcher/walk_table.hpp"
#include "support/tries.hpp"

namespace torrelm::prefix {
namespace {

using detail::RowKind;
using test::make_trie;
using test::utf8;
using test::word_nodes;

constexpr RowKind kKinds[] = {RowKind::Automatic, RowKind::BitParallel, RowKind::Banded};

std::vector<std::pair<std::string, std::uint32_t>> terms(const std::vector<MatchResult>& results) {
  std::vector<std::pair<std::string, std::uint32_t>> out;
  for (const auto& r : results) out.emplace_back(r.term, r.distance);
  return out;
}

Trie words(const std::vector<std::u32string>& list) { return make_trie(word_nodes(list)); }

TEST(FuzzyMatch, FollowsTheWalkOrder) {
  const Trie trie = words({U"car", U"cart", U"cat", U"ba", U"b\U0001F600"});
  using Terms = std::vector<std::pair<std::string, std::uint32_t>>;
  struct Case {
    const char* name;
    std::u32string query;
    std::size_t max_dist;
    std::optional<std::size_t> limit;
    Terms want;
  };
  const Case cases[] = {
      {"a node before its descendants", U"car", 1, {}, {{"car", 0}, {"cart", 1}, {"cat", 1}}},
      {"not sorted by distance", U"cat", 1, {}, {{"car", 1}, {"cart", 1}, {"cat", 0}}},
      {"exact only", U"cart", 0, {}, {{"cart", 0}}},
      {"no transposition", U"ab", 1, {}, {}},
      {"empty query reports terms up to the bound", U"", 2, {}, {{"ba", 2}, {"b\U0001F600", 2}}},
      {"non-BMP labels", U"b\U0001F600", 0, {}, {{"b\U0001F600", 0}}},
      {"limit stops the walk", U"car", 1, 2, {{"car", 0}, {"cart", 1}}},
      {"limit zero gives nothing", U"car", 1, 0, {}},
      {"huge bounds act as 65535",
       U"x",
       std::size_t(-1),
       {},
       {{"car", 3}, {"cart", 4}, {"cat", 3}, {"ba", 2}, {"b\U0001F600", 2}}},
  };
  for (const Case& c : cases) {
    for (const RowKind kind : kKinds) {
      SCOPED_TRACE(std::string(c.name) + " / rows " + std::to_string(static_cast<int>(kind)));
      EXPECT_EQ(terms(detail::fuzzy_match(trie, utf8(c.query), c.max_dist, c.limit, kind)), c.want);
    }
  }
}

TEST(FuzzyMatch, SkipsUnlabelledNodesAndKeepsDuplicateSiblings) {
  // root -> a (terminal), a (terminal), \0 (terminal) -> a (terminal)
  const Trie trie =
      make_trie({{0, U'a', true}, {0, U'a', true}, {0, U'\0', true}, {3, U'a', true}});
  const auto got = fuzzy_match(trie, "a", 1, {});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].node, 1u);
  EXPECT_EQ(got[1].node, 2u);
  EXPECT_TRUE(fuzzy_match_nodes(trie, "", 3, false).size() == 2);
}

TEST(FuzzyMatch, EmptyAndBrokenIndexes) {
  for (const RowKind kind : kKinds) {
    EXPECT_TRUE(detail::fuzzy_match(Trie{}, "a", 1, {}, kind).empty());
    EXPECT_TRUE(detail::fuzzy_match_nodes(Trie{}, "a", 1, false, kind).empty());
  }
  Trie no_root_shift;
  no_root_shift.child_labels = {U'\0'};
  EXPECT_THROW(fuzzy_match(no_root_shift, "a", 1, {}), InternalFault);

  Trie past_the_end = words({U"ab"});
  past_the_end.node_shifts[1] = 7;
  try {
    fuzzy_match(past_the_end, "ab", 1, {});
    FAIL() << "no fault";
  } catch (const InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "index out of bounds: the len is 2 but the index is 2");
  }
  Trie short_terminal = words({U"ab"});
  short_terminal.is_terminal.resize(1);
  EXPECT_THROW(fuzzy_match(short_terminal, "a", 0, {}), InternalFault);
  EXPECT_TRUE(fuzzy_match(short_terminal, "zz", 0, {}).empty())
      << "is_terminal read only on a match";
}

TEST(FuzzyMatch, DeepChainsAndLongQueries) {
  std::vector<test::Node> chain;
  for (NodeId i = 0; i < 200'000; ++i) chain.push_back({i, U'a', i % 1000 == 999});
  const Trie trie = make_trie(chain);
  EXPECT_EQ(fuzzy_match(trie, "aaa", std::size_t(-1), 3).back().term.size(), 3000u);
  EXPECT_EQ(fuzzy_match_nodes(trie, "a", 70'000, true).size(), 65u);  // bound 65535

  const Trie small = words({U"abc"});
  const std::string million(1'000'000, 'a');
  EXPECT_TRUE(fuzzy_match(small, million, 1, {}).empty());
  EXPECT_TRUE(fuzzy_match(small, million, 70'000, {}).empty());
  EXPECT_EQ(fuzzy_match(trie, std::string(3000, 'a'), 2, {}).size(), 1u);
}

TEST(FuzzyMatch, SelfChildIsBoundedByTheQuery) {
  Trie loop = words({U"a"});
  loop.child_transitions = {1, 1};  // node 1 lists itself
  const auto got = fuzzy_match(loop, "aaaa", 1, {});
  EXPECT_EQ(terms(got), (std::vector<std::pair<std::string, std::uint32_t>>{
                            {"aaa", 1}, {"aaaa", 0}, {"aaaaa", 1}}));
}

// Random tries over a small alphabet with non-BMP and Cyrillic letters (three of which share their
// low byte), duplicate siblings and unlabelled nodes, walked on their arrays and on their walk
// table, against the full-row walk and against Levenshtein over every spelled term.
TEST(FuzzyMatch, AgreesWithReferences) {
  std::mt19937 random(7);
  const std::u32string alphabet = U"abc\u0436\U0001F600\u0136\U0001F636";
  const auto random_word = [&](std::size_t length) {
    std::u32string w;
    for (std::size_t i = 0; i < length; ++i) w.push_back(alphabet[random() % alphabet.size()]);
    return w;
  };
  for (int round = 0; round < 100; ++round) {
    std::vector<std::u32string> list;
    for (int i = 0; i < 40; ++i) list.push_back(random_word(random() % 7));
    const std::u32string long_word = random_word(60 + random() % 8);
    list.push_back(long_word);
    std::vector<test::Node> nodes = word_nodes(list);
    for (int extra = 0; extra < 4; ++extra) {  // a duplicate sibling or an unlabelled node
      const NodeId parent = static_cast<NodeId>(random() % (nodes.size() + 1));
      const char32_t label = random() % 3 == 0 ? U'\0' : alphabet[random() % alphabet.size()];
      nodes.push_back({parent, label, true});
      nodes.push_back({static_cast<NodeId>(nodes.size()), U'a', true});
    }
    const Trie owned = make_trie(nodes);
    Cancel cancel;
    const auto table = WalkTable::of(owned, cancel);
    ASSERT_TRUE(table.has_value());
    TrieView with_table = owned.view();
    with_table.walk_table = &*table;
    const auto spelled = test::spell_all(owned);

    std::vector<std::u32string> queries = {random_word(random() % 6), U"", long_word};
    for (std::size_t cut : {62u, 63u, 64u, 65u, 66u}) {
      std::u32string q = long_word.substr(0, std::min<std::size_t>(cut, long_word.size()));
      while (q.size() < cut) q += random_word(1);
      if (random() % 2) q[random() % q.size()] = alphabet[random() % alphabet.size()];
      queries.push_back(q);
    }
    for (const auto& query : queries) {
      const std::uint16_t k = static_cast<std::uint16_t>(random() % 4);
      SCOPED_TRACE("round " + std::to_string(round) + " query " + utf8(query) + " k " +
                   std::to_string(k));
      for (const TrieView& trie : {owned.view(), with_table}) {
        for (const bool terminal_only : {true, false}) {
          for (const bool swaps : {false, true}) {
            const auto want = test::reference_nodes(owned, query, k, terminal_only, swaps);
            for (const RowKind kind : kKinds) {
              EXPECT_EQ(detail::fuzzy_match_nodes(trie, utf8(query), k, terminal_only, kind, {},
                                                  swaps ? Distance::Osa : Distance::Levenshtein),
                        want)
                  << "swaps " << swaps;
            }
          }
        }
        const auto want_terms = test::reference_nodes(owned, query, k, true);
        for (const RowKind kind : kKinds) {
          const auto got = detail::fuzzy_match(trie, utf8(query), k, {}, kind);
          ASSERT_EQ(got.size(), want_terms.size());
          for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].node, want_terms[i].node);
            EXPECT_EQ(got[i].distance, want_terms[i].distance);
          }
        }
      }
      std::map<NodeId, std::uint32_t> brute;
      std::map<NodeId, std::uint32_t> brute_swaps;
      for (const auto& s : spelled) {
        const std::uint32_t d = test::levenshtein(s.prefix, query);
        if (d <= k && owned.terminal(s.node)) brute[s.node] = d;
        const std::uint32_t o = test::osa(s.prefix, query);
        if (o <= k && owned.terminal(s.node)) brute_swaps[s.node] = o;
      }
      std::map<NodeId, std::uint32_t> found_swaps;
      for (const auto& r : fuzzy_match_nodes(with_table, query, k, true, {}, Distance::Osa)) {
        found_swaps[r.node] = r.distance;
      }
      EXPECT_EQ(found_swaps, brute_swaps);
      std::map<NodeId, std::uint32_t> found;
      for (const auto& r : fuzzy_match(with_table, utf8(query), k, {})) {
        found[r.node] = r.distance;
        EXPECT_EQ(r.term, utf8(std::find_if(spelled.begin(), spelled.end(), [&](const auto& s) {
                                 return s.node == r.node;
                               })->prefix));
      }
      EXPECT_EQ(found, brute);
    }
  }
}

// Sorted tries with long child lists, where a walk that has no edit to spare picks the children
// it needs by binary search instead of reading the whole list: the same nodes as the reference.
TEST(FuzzyMatch, PickedChildrenAgreeWithReferences) {
  std::mt19937 random(11);
  const std::u32string alphabet = U"abcdefghijkl\u0436\u0439";
  for (int round = 0; round < 30; ++round) {
    std::vector<std::u32string> list;
    for (int i = 0; i < 300; ++i) {
      std::u32string w;
      for (std::size_t n = 1 + random() % 6; n > 0; --n) {
        w.push_back(alphabet[random() % alphabet.size()]);
      }
      list.push_back(w);
    }
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    const Trie owned = words(list);
    Cancel cancel;
    const auto table = WalkTable::of(owned, cancel);
    ASSERT_TRUE(table.has_value());
    ASSERT_TRUE(table->sorted());
    TrieView trie = owned.view();
    trie.walk_table = &*table;
    for (int q = 0; q < 20; ++q) {
      std::u32string query = list[random() % list.size()];
      if (random() % 2) query[random() % query.size()] = alphabet[random() % alphabet.size()];
      if (random() % 3 == 0) query.push_back(alphabet[random() % alphabet.size()]);
      const auto k = static_cast<std::size_t>(q % 4);  // exact lookups included
      SCOPED_TRACE("round " + std::to_string(round) + " query " + utf8(query) + " k " +
                   std::to_string(k));
      for (const bool terminal_only : {true, false}) {
        EXPECT_EQ(fuzzy_match_nodes(trie, utf8(query), k, terminal_only),
                  test::reference_nodes(owned, query, k, terminal_only));
        EXPECT_EQ(fuzzy_match_nodes(trie, query, k, terminal_only, {}, Distance::Osa),
                  test::reference_nodes(owned, query, k, terminal_only, true));
      }
      const auto want = test::reference_nodes(owned, query, k, true);
      const auto got = fuzzy_match(trie, utf8(query), k, {});
      ASSERT_EQ(got.size(), want.size());
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].node, want[i].node);
        EXPECT_EQ(got[i].distance, want[i].distance);
      }
    }
  }
}

// Only a tree gets a walk table: a node listed twice or a label past 21 bits leaves the index to
// its arrays. Hidden subtrees are left out, and every record knows its subtree's height.
TEST(WalkTable, TreesOnly) {
  Cancel cancel;
  const Trie tree = words({U"car", U"cart", U"cat", U"b"});
  const auto table = WalkTable::of(tree, cancel);
  ASSERT_TRUE(table.has_value());
  // root, c, b, a, r, t, t: each list one run, breadth first, plus the closing record.
  std::u32string labels;
  for (std::size_t r = 1; r + 1 < table->nodes().size(); ++r) {
    labels.push_back(table->nodes()[r].label());
  }
  EXPECT_EQ(labels, U"cbartt");
  EXPECT_EQ(table->nodes()[0].height(), 4u);  // "cart"
  EXPECT_EQ(table->nodes()[1].height(), 3u);
  EXPECT_EQ(table->nodes()[2].height(), 0u);
  EXPECT_TRUE(table->nodes()[2].terminal());
  EXPECT_FALSE(table->nodes()[1].terminal());
  using detail::char_bit;
  EXPECT_EQ(table->nodes()[0].below,
            char_bit(U'c') | char_bit(U'b') | char_bit(U'a') | char_bit(U'r') | char_bit(U't'));
  EXPECT_EQ(table->nodes()[1].below, char_bit(U'a') | char_bit(U'r') | char_bit(U't'));
  EXPECT_EQ(table->nodes()[2].below, 0u);

  Trie shared = tree;
  shared.child_transitions.back() = shared.child_transitions.front();  // a node listed twice
  EXPECT_FALSE(WalkTable::of(shared, cancel).has_value());
  Trie wide = tree;
  wide.child_labels.back() = 0x20'0000;
  EXPECT_FALSE(WalkTable::of(wide, cancel).has_value());
  Trie broken = tree;
  broken.child_transitions.back() = static_cast<NodeId>(broken.node_count());
  EXPECT_FALSE(WalkTable::of(broken, cancel).has_value());

  Trie hidden = tree;
  hidden.child_labels[1] = U'\0';  // the subtree of "c"
  const auto without = WalkTable::of(hidden, cancel);
  ASSERT_TRUE(without.has_value());
  EXPECT_EQ(without->nodes().size(), 3u);  // root, b, closing record
}

// A hook that says stop on its `stop_at`-th call.
struct CountingHook {
  std::size_t calls = 0;
  std::size_t stop_at;
  Cancel cancel() {
    return Cancel(
        [](void* self) noexcept {
          auto* hook = static_cast<CountingHook*>(self);
          return ++hook->calls >= hook->stop_at;
        },
        this);
  }
};

TEST(FuzzyMatch, EndlessWalksStopWhenTheHookSaysSo) {
  const Trie trie = test::doubled_chain(64, false);
  const std::string query(64, 'a');
  for (const RowKind kind : kKinds) {
    SCOPED_TRACE(static_cast<int>(kind));
    CountingHook terms{0, 3};
    EXPECT_THROW(detail::fuzzy_match(trie, query + "b", 0, {}, kind, terms.cancel()), Cancelled);
    EXPECT_EQ(terms.calls, 3u);
    CountingHook nodes{0, 2};
    EXPECT_THROW(detail::fuzzy_match_nodes(trie, query, 1, false, kind, nodes.cancel()), Cancelled);
  }
  CountingHook never{0, std::size_t(-1)};
  EXPECT_EQ(fuzzy_match(test::doubled_chain(8, true), "aaaaaaaa", 0, {}, never.cancel()).size(),
            256u)
      << "one result per path";
}

TEST(FuzzyMatch, ResultsPastTheBudgetFailBeforeTakingTheMemory) {
  const Trie trie = test::doubled_chain(40, true);
  const std::string query(40, 'a');
  for (const RowKind kind : kKinds) {
    SCOPED_TRACE(static_cast<int>(kind));
    EXPECT_THROW(detail::fuzzy_match(trie, query, 0, {}, kind), std::bad_alloc);
    EXPECT_THROW(detail::fuzzy_match_nodes(trie, query, 2, false, kind), std::bad_alloc);
  }
  EXPECT_EQ(fuzzy_match(trie, query, 0, 5).size(), 5u) << "a limit stops the walk first";
  EXPECT_GE(result_budget(trie), std::size_t{256} << 20);
}

TEST(FuzzyMatch, WideRowsStayWithinABudgetOfTheQuery) {
  // 20,000 characters at the largest bound against a 20,000-deep term would keep 20,001 cells
  // for every level: fail early instead.
  std::vector<test::Node> chain;
  for (NodeId i = 0; i < 20'000; ++i) chain.push_back({i, i % 2 ? U'b' : U'a', i == 19'999});
  const Trie trie = make_trie(chain);
  std::string query;
  for (int i = 0; i < 10'000; ++i) query += "ba";
  EXPECT_THROW(fuzzy_match(trie, query, 65535, {}), std::bad_alloc);
  const auto near = fuzzy_match(trie, query, 2, {});
  ASSERT_EQ(near.size(), 1u) << "a narrow band over the same path fits";
  EXPECT_EQ(near[0].distance, 2u);
}

}  // namespace
}  // namespace torrelm::prefix

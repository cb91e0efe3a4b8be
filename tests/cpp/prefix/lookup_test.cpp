#include "prefix/matcher/lookup.hpp"

#include <gtest/gtest.h>

#include <random>

#include "support/tries.hpp"

namespace torrelm::prefix {
namespace {

using test::make_trie;
using test::utf8;

std::vector<NodeId> walk_nodes(const Trie& trie, Cancel cancel = {}) {
  TermWalk walk(trie);
  std::vector<NodeId> nodes;
  while (const auto node = walk.next(cancel)) nodes.push_back(*node);
  return nodes;
}

// Random trees over three letters, so that siblings often share a label, with unlabelled nodes
// and terminal flags anywhere (the root's included, which must not count).
Trie random_tree(std::mt19937& random, std::size_t nodes) {
  const std::u32string alphabet = U"ab\U0001F600";
  std::vector<test::Node> list;
  for (std::size_t i = 0; i < nodes; ++i) {
    const auto parent = static_cast<NodeId>(random() % (list.size() + 1));
    const char32_t label = random() % 8 == 0 ? U'\0' : alphabet[random() % alphabet.size()];
    list.push_back({parent, label, random() % 2 == 0});
  }
  Trie trie = make_trie(list);
  trie.is_terminal[0] = static_cast<std::uint8_t>(random() % 2);
  return trie;
}

TEST(FindTerm, FollowsTheWalkThroughDuplicateSiblings) {
  // root -> a(1) -> b(4, not terminal)
  //      -> a(2) -> b(5, terminal) -> c(7, terminal)
  //      -> \0(3, terminal) -> a(6, terminal)
  //      -> a(8, terminal), x(9, terminal)
  const Trie trie = make_trie({{0, U'a'},
                               {0, U'a'},
                               {0, U'\0', true},
                               {1, U'b'},
                               {2, U'b', true},
                               {3, U'a', true},
                               {5, U'c', true},
                               {0, U'a', true},
                               {0, U'\U0001F600', true}});
  struct Case {
    const char* name;
    std::string term;
    std::optional<NodeId> want;
  };
  const Case cases[] = {
      {"first terminal duplicate, not the first duplicate", "a", 8},
      {"a dead end under the first 'a' sends the search to the second", "ab", 5},
      {"below the second duplicate", "abc", 7},
      {"past every path", "abcd", std::nullopt},
      {"a prefix that is no term", "b", std::nullopt},
      {"the root is no term", "", std::nullopt},
      {"unlabelled nodes are hidden", std::string("\0a", 2), std::nullopt},
      {"nor matched by a U+0000 in the term", std::string("\0", 1), std::nullopt},
      {"four-byte characters", "\xF0\x9F\x98\x80", 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(find_term(trie, c.term), c.want);
  }
  EXPECT_EQ(find_term(Trie{}, "a"), std::nullopt);
}

// Every spelled prefix and some strings no path spells, against the first result of the exact
// walk; the term walk against the whole walk at the largest bound, node for node and term for term.
TEST(TermLookup, AgreeWithTheMatcherOnRandomTrees) {
  std::mt19937 random(3);
  for (int round = 0; round < 200; ++round) {
    const Trie trie = random_tree(random, 1 + random() % 60);
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<std::string> queries = {"", "abab", "ba", "\xF0\x9F\x98\x80"};
    for (const auto& spelled : test::spell_all(trie)) {
      queries.push_back(utf8(spelled.prefix));
      queries.push_back(utf8(spelled.prefix + U'b'));
    }
    for (const std::string& query : queries) {
      const auto matches = fuzzy_match(trie, query, 0, {});
      const std::optional<NodeId> want =
          matches.empty() ? std::nullopt : std::optional<NodeId>(matches.front().node);
      EXPECT_EQ(find_term(trie, query), want) << query;
    }

    const auto everything = fuzzy_match(trie, "", 65535, {});
    TermWalk walk(trie);
    Cancel cancel;
    for (const MatchResult& match : everything) {
      ASSERT_EQ(walk.next(cancel), match.node);
      EXPECT_EQ(walk.term(), match.term);
    }
    EXPECT_EQ(walk.next(cancel), std::nullopt);
    EXPECT_EQ(walk.next(cancel), std::nullopt) << "an ended walk stays ended";
    EXPECT_EQ(count_terms(trie), everything.size());
  }
  EXPECT_EQ(count_terms(Trie{}), 0u);
}

TEST(TermLookup, InconsistentIndexesFaultOrEndInsteadOfRunningAway) {
  Trie self_listing;  // the root, labelled 'a' and terminal, lists itself twice
  self_listing.node_shifts = {0};
  self_listing.child_labels = {U'a'};
  self_listing.child_transitions = {0, 0};
  self_listing.is_terminal = {1};
  self_listing.payloads.push_absent();
  EXPECT_EQ(find_term(self_listing, std::string(10'000, 'a')), 0u);
  EXPECT_EQ(find_term(self_listing, "ab"), std::nullopt);
  EXPECT_THROW(walk_nodes(self_listing), InternalFault);
  EXPECT_THROW(count_terms(self_listing), InternalFault);

  // 2**64 paths to the one terminal node at depth 64 and none to depth 63 or 65 ends: a lookup
  // that tried each path would never return.
  const Trie shared = test::doubled_chain(64, false);
  EXPECT_EQ(find_term(shared, std::string(64, 'a')), 64u);
  EXPECT_EQ(find_term(shared, std::string(63, 'a') + "b"), std::nullopt);
  EXPECT_EQ(find_term(shared, std::string(65, 'a')), std::nullopt);
  EXPECT_THROW(count_terms(shared), InternalFault);

  Trie child_out_of_range = make_trie({{0, U'a', true}});
  child_out_of_range.child_transitions = {5};
  EXPECT_THROW(find_term(child_out_of_range, "a"), InternalFault);
  EXPECT_THROW(count_terms(child_out_of_range), InternalFault);
  Trie no_root_shift;
  no_root_shift.child_labels = {U'\0'};
  EXPECT_THROW(find_term(no_root_shift, "a"), InternalFault);
  EXPECT_THROW(TermWalk{no_root_shift}, InternalFault);
}

TEST(TermLookup, CountingStopsWhenTheHookSaysSo) {
  std::vector<test::Node> chain;
  for (NodeId i = 0; i < 50'000; ++i) chain.push_back({i, U'a', true});
  const Trie trie = make_trie(chain);
  EXPECT_EQ(count_terms(trie), 50'000u) << "deep chains need no recursion";
  struct Hook {
    std::size_t calls = 0;
    static bool stop_on_third(void* self) noexcept {
      return ++static_cast<Hook*>(self)->calls >= 3;
    }
  } hook;
  EXPECT_THROW(count_terms(trie, Cancel(&Hook::stop_on_third, &hook)), Cancelled);
  EXPECT_EQ(hook.calls, 3u);
}

}  // namespace
}  // namespace torrelm::prefix

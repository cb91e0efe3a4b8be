#include "ingest/layout.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "ingest/reference.hpp"
#include "support/tries.hpp"

namespace torrelm::ingest {
namespace {

Layout laid_out(const std::vector<std::string>& sorted) {
  const std::vector<std::string_view> views(sorted.begin(), sorted.end());
  Cancel cancel;
  auto layout = lay_out(views, cancel);
  EXPECT_TRUE(layout.has_value());
  return layout ? std::move(*layout) : Layout{};
}

void expect_reference_layout(const std::set<std::u32string>& terms) {
  std::vector<std::string> sorted;
  for (const auto& term : terms) sorted.push_back(test::utf8(term));
  std::sort(sorted.begin(), sorted.end());  // by bytes, as the table sorts
  const Layout got = laid_out(sorted);
  const test::ReferenceShape want = test::reference_shape(terms);
  EXPECT_EQ(got.node_shifts, want.trie.node_shifts);
  EXPECT_EQ(got.child_labels, want.trie.child_labels);
  EXPECT_EQ(got.child_transitions, want.trie.child_transitions);
  EXPECT_EQ(got.is_terminal, want.trie.is_terminal);
  // Term-ending nodes in id order spell the terms of these ranks.
  std::vector<std::uint32_t> ranks;
  for (const auto& [spelled, node] : want.node_of) {
    if (!terms.contains(spelled)) continue;
    const auto rank = std::find(sorted.begin(), sorted.end(), test::utf8(spelled)) - sorted.begin();
    ranks.resize(std::max<std::size_t>(ranks.size(), node + 1), ~0u);
    ranks[node] = static_cast<std::uint32_t>(rank);
  }
  std::erase(ranks, ~0u);
  const std::vector<std::string_view> views(sorted.begin(), sorted.end());
  Cancel cancel;
  EXPECT_EQ(terminal_order(views, cancel), ranks);
}

TEST(LayOut, MatchesTheReferenceOnWorkedTermSets) {
  struct Case {
    const char* name;
    std::set<std::u32string> terms;
  };
  const Case cases[] = {
      {"no terms: the root alone", {}},
      {"one character", {U"a"}},
      {"terms that prefix others", {U"a", U"ab", U"abc", U"b"}},
      {"siblings under a deep parent", {U"cab", U"cat", U"car", U"co"}},
      {"a shared lead byte is not a shared character", {U"\u00e8a", U"\u00e9a", U"\u00e9"}},
      {"astral after the last plane-0 character", {U"\uffff", U"\U00010000x", U"\U0010FFFF"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_reference_layout(c.terms);
  }
}

TEST(LayOut, MatchesTheReferenceOnRandomTermSets) {
  for (const unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    std::set<std::u32string> terms;
    const std::size_t letters = 2 + seed % 11;
    for (int i = 0; i < 300; ++i) terms.insert(test::random_term(rng, letters, 1 + seed % 9));
    expect_reference_layout(terms);
  }
}

TEST(LayOut, AMillionCharacterTermIsOneChain) {
  // Linear work: a quadratic layout would take hours here, not milliseconds.
  std::u32string term;
  for (std::size_t i = 0; i < 1'000'000; ++i)
    term += test::kAlphabet[i % std::size(test::kAlphabet)];
  const std::string bytes = test::utf8(term);
  // Its first half, itself, and a fork at its last character, in sorted order.
  const std::vector<std::string> sorted = {test::utf8(term.substr(0, 500'000)), bytes,
                                           test::utf8(term.substr(0, 999'999) + U'\U0010FFFF')};
  const Layout got = laid_out(sorted);
  ASSERT_EQ(got.child_labels.size(), 1'000'002u);
  EXPECT_EQ(got.child_labels[0], U'\0');
  for (std::size_t d = 1; d < 1'000'000; ++d) {
    ASSERT_EQ(got.child_labels[d], term[d - 1]) << d;
    ASSERT_EQ(got.node_shifts[d - 1], d - 1) << d;  // one child each along the chain
  }
  // Depth 1,000,000 holds the two last characters, both below node 999,999.
  EXPECT_EQ(got.child_labels[1'000'000], term.back());
  EXPECT_EQ(got.child_labels[1'000'001], U'\U0010FFFF');
  EXPECT_EQ(got.node_shifts[999'999], 999'999u);
  EXPECT_EQ(got.node_shifts[1'000'000], 1'000'001u);
  EXPECT_EQ(std::count(got.is_terminal.begin(), got.is_terminal.end(), 1), 3);
  EXPECT_EQ(got.is_terminal[500'000], 1);
  const std::vector<std::string_view> views(sorted.begin(), sorted.end());
  Cancel cancel;
  EXPECT_EQ(terminal_order(views, cancel), (std::vector<std::uint32_t>{0, 1, 2}));
}

TEST(LayOut, StopsWhenTheHookSaysSo) {
  const std::string term(100'000, 'a');
  const std::string_view terms[] = {term};
  std::size_t calls = 0;
  Cancel cancel([](void* count) noexcept { return ++*static_cast<std::size_t*>(count) > 0; },
                &calls);
  EXPECT_THROW((void)lay_out(terms, cancel), Cancelled);
  EXPECT_EQ(calls, 1u);
}

}  // namespace
}  // namespace torrelm::ingest

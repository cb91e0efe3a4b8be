#include "ranking/ranking.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <unordered_map>

#include "support/tries.hpp"

namespace torrelm::ranking {
namespace {

using payload::Payload;
using prefix::Trie;
using test::make_trie;
using test::word_nodes;

// A trie of `words` whose terminal nodes carry the given payloads, propagated.
Trie with_payloads(const std::vector<std::pair<std::u32string, Payload>>& terms,
                   std::vector<std::uint32_t> int_ids, std::uint32_t top_n = 10) {
  std::vector<std::u32string> words;
  for (const auto& [word, payload] : terms) words.push_back(word);
  Trie trie = make_trie(word_nodes(words));
  std::vector<std::optional<Payload>> slots(trie.node_count());
  for (const auto& [word, payload] : terms) {
    const auto found = prefix::fuzzy_match(trie, test::utf8(word), 0, {});
    slots[found.at(0).node] = payload;
  }
  trie.payloads = {};
  for (const auto& slot : slots) trie.payloads.push(slot);
  trie.id_mode = prefix::IdMode::Int32;
  trie.video_int_ids = std::move(int_ids);
  trie.propagate(top_n);
  return trie;
}

using Ranked = std::vector<std::pair<std::string, double>>;
Ranked rank(const Trie& trie, std::string_view term, std::size_t max_dist,
            std::optional<std::size_t> limit, PrefixNodes nodes) {
  Ranked out;
  for (const auto& video : rank_videos(trie, term, max_dist, limit, nodes)) {
    out.emplace_back(id_text(trie, video.position), video.score);
  }
  return out;
}

void expect_near(const Ranked& got, const Ranked& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].first, want[i].first) << i;
    EXPECT_NEAR(got[i].second, want[i].second, 1e-12) << i;
  }
}

TEST(RankVideos, WorkedExample) {
  const Trie trie =
      with_payloads({{U"cat", {10, {0, 1}, {6, 4}}}, {U"cap", {5, {1}, {5}}}}, {100, 200});
  const double near = (1.0 - 1.0 / 3.0) * 0.05;
  const double total = 10 + near * 5;
  expect_near(rank(trie, "cat", 1, {}, PrefixNodes::Exclude),
              {{"100", 6 / total}, {"200", (4 + near * 5) / total}});
}

TEST(RankVideos, FallsBackToPrefixNodesOnlyWithoutTerminalMatches) {
  const Trie trie = with_payloads({{U"catalog", {10, {0}, {10}}}}, {7});
  const double near = (1.0 - 1.0 / 3.0) * 0.05 * 0.85;
  // cat (d 0, prefix: 0.85), ca and cata (d 1)
  const double total = 0.85 * 10 + 2 * near * 10;
  expect_near(rank(trie, "cat", 1, {}, PrefixNodes::Fallback),
              {{"7", (0.85 * 10 + 2 * near * 10) / total}});
  EXPECT_TRUE(rank(trie, "cat", 1, {}, PrefixNodes::Exclude).empty());
  EXPECT_EQ(rank(trie, "cat", 1, {}, PrefixNodes::Include).size(), 1u);
  EXPECT_EQ(rank(trie, "catalog", 1, {}, PrefixNodes::Fallback).size(), 1u);
}

TEST(RankVideos, ThresholdLimitAndEdges) {
  // One term: shares are count / 100.
  const Trie trie =
      with_payloads({{U"ab", {100, {0, 1, 2, 3, 4}, {60, 30, 1, 0, 5}}}}, {10, 11, 12, 13});
  struct Case {
    const char* name;
    std::string term;
    std::size_t max_dist;
    std::optional<std::size_t> limit;
    Ranked want;
  };
  const Case cases[] = {
      {"a share of exactly 0.01 stays, 0 goes, position 4 is past the table",
       "ab",
       0,
       {},
       {{"10", 0.6}, {"11", 0.3}, {"12", 0.01}}},
      {"limit keeps the best", "ab", 0, 2, {{"10", 0.6}, {"11", 0.3}}},
      {"limit zero gives nothing", "ab", 0, 0, {}},
      {"limit at the candidate count", "ab", 0, 4, {{"10", 0.6}, {"11", 0.3}, {"12", 0.01}}},
      {"empty term: every node is at d >= n", "", 3, {}, {}},
      {"one character at distance 1 counts for nothing", "x", 1, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_near(rank(trie, c.term, c.max_dist, c.limit, PrefixNodes::Include), c.want);
  }
}

TEST(RankVideos, DropsPositionsPastTheTableBeforeTheCut) {
  const Trie trie = with_payloads({{U"ab", {100, {5, 6, 0}, {50, 40, 10}}}}, {1});
  for (const std::size_t limit : {1, 2, 3}) {
    SCOPED_TRACE(limit);
    expect_near(rank(trie, "ab", 0, limit, PrefixNodes::Exclude), {{"1", 0.1}});
  }
}

TEST(RankVideos, TotalsOfZeroAndScoresAboveOne) {
  const Trie zero = with_payloads({{U"ab", {0, {0}, {5}}}}, {1});
  EXPECT_TRUE(rank(zero, "ab", 0, {}, PrefixNodes::Exclude).empty());
  const Trie over = with_payloads({{U"ab", {1, {0}, {5}}}}, {1});
  expect_near(rank(over, "ab", 0, {}, PrefixNodes::Exclude), {{"1", 5.0}});
  EXPECT_TRUE(rank_videos(Trie{}, "ab", 1, {}, PrefixNodes::Fallback).empty());
}

TEST(IdText, RendersBothTables) {
  Trie trie;
  trie.id_mode = prefix::IdMode::Int32;
  trie.video_int_ids = {0, 4294967295u, 1000};
  EXPECT_EQ(id_text(trie, 0), "0");
  EXPECT_EQ(id_text(trie, 1), "4294967295");
  EXPECT_EQ(id_text(trie, 2), "1000");
  trie.id_mode = prefix::IdMode::Uuid;
  trie.video_uuids.resize(1);
  for (std::uint8_t i = 0; i < 16; ++i) trie.video_uuids[0][i] = i;
  EXPECT_EQ(id_text(trie, 0), "00010203-0405-0607-0809-0a0b0c0d0e0f");
}

// The ranking as first written: a node-based map, a full sort, strings at the end.
Ranked reference(const Trie& trie, const std::u32string& term, std::size_t k,
                 std::optional<std::size_t> limit, PrefixNodes mode) {
  auto nodes = prefix::fuzzy_match_nodes(
      trie, test::utf8(term), k, mode == PrefixNodes::Exclude || mode == PrefixNodes::Fallback);
  if (nodes.empty() && mode == PrefixNodes::Fallback) {
    nodes = prefix::fuzzy_match_nodes(trie, test::utf8(term), k, false);
  }
  const double n = static_cast<double>(term.size());
  double total = 0;
  std::unordered_map<std::uint32_t, double> scores;
  for (const auto& match : nodes) {
    double w = match.distance == 0 ? 1.0 : (n == 0 ? 0.0 : (1.0 - match.distance / n) * 0.05);
    if (match.distance != 0 && w <= 0) continue;
    if (!trie.terminal(match.node)) w *= 0.85;
    const auto p = trie.payloads.payload(match.node);
    if (!p) continue;
    total += w * p->total_count;
    for (std::size_t i = 0; i < p->video_ids.size(); ++i)
      scores[p->video_ids[i]] += w * p->video_counts[i];
  }
  Ranked out;
  if (total <= 0) return out;
  std::vector<std::pair<std::uint32_t, double>> all;
  for (const auto& [position, weighted] : scores) {
    if (weighted / total >= 0.01 && position < trie.video_int_ids.size()) {
      all.emplace_back(position, weighted / total);
    }
  }
  std::sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.second > b.second; });
  if (limit && *limit < all.size()) all.resize(*limit);
  for (const auto& [position, score] : all) out.emplace_back(id_text(trie, position), score);
  return out;
}

TEST(RankVideos, AgreesWithTheReference) {
  std::mt19937 random(3);
  const std::u32string alphabet = U"abc\u0436";
  for (int round = 0; round < 60; ++round) {
    std::vector<std::pair<std::u32string, Payload>> terms;
    for (int i = 0; i < 40; ++i) {
      std::u32string word;
      for (std::size_t l = 1 + random() % 6; l-- > 0;) word.push_back(alphabet[random() % 4]);
      Payload p{static_cast<std::uint32_t>(random() % 2000), {}, {}};
      for (std::size_t v = 1 + random() % 5; v-- > 0;) {
        p.video_ids.push_back(random() % 50);
        p.video_counts.push_back(random() % 1000);
      }
      terms.emplace_back(word, p);
    }
    std::vector<std::uint32_t> ids(45);  // a few positions fall past the table
    for (auto& id : ids) id = random();
    const Trie trie = with_payloads(terms, ids, 1 + random() % 12);
    for (int q = 0; q < 10; ++q) {
      std::u32string term;
      for (std::size_t l = random() % 5; l-- > 0;) term.push_back(alphabet[random() % 4]);
      const std::size_t k = random() % 3;
      const std::optional<std::size_t> limit =
          random() % 2 ? std::optional<std::size_t>(random() % 6) : std::nullopt;
      const auto mode = static_cast<PrefixNodes>(random() % 3);
      const Ranked got = rank(trie, test::utf8(term), k, limit, mode);
      const Ranked want = reference(trie, term, k, limit, mode);
      // Equal scores may come in any order (and straddle the cut differently): compare scores
      // in order, and ids wherever the score is unique.
      ASSERT_EQ(got.size(), want.size());
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(got[i].second, want[i].second, 1e-12);
        const auto same = [&](const auto& r) { return std::abs(r.second - got[i].second) < 1e-12; };
        if (std::count_if(want.begin(), want.end(), same) == 1) {
          EXPECT_EQ(got[i].first, want[i].first);
        }
      }
    }
  }
}

}  // namespace
}  // namespace torrelm::ranking

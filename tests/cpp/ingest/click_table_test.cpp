#include "ingest/click_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "ingest/reference.hpp"
#include "payload/payload.hpp"
#include "store/external_ids.hpp"
#include "support/tries.hpp"

namespace torrelm::ingest {
namespace {

using payload::kCountMax;
using payload::Payload;
using prefix::IdMode;
using prefix::Trie;
using prefix::VideoUuid;
using Video = std::variant<std::uint32_t, VideoUuid>;

constexpr VideoUuid kUuid{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                          0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

Expected<bool, RowError> add(ClickTable& table, std::string_view term, const Video& video,
                             std::uint64_t count) {
  return std::visit([&](const auto& id) { return table.add(term, id, count); }, video);
}

// One call on a table: a row, or a total for the row just added.
struct Call {
  std::string term;
  Video video = 0u;
  std::uint64_t count = 1;
  std::optional<std::uint64_t> total = std::nullopt;  // set_total instead of add
};

// The message of every refused call, in order.
std::vector<std::string> refusals(ClickTable& table, const std::vector<Call>& calls) {
  std::vector<std::string> out;
  for (const Call& call : calls) {
    const auto done = call.total ? table.set_total(call.term, *call.total)
                                 : add(table, call.term, call.video, call.count);
    if (!done) out.push_back(done.error().message);
  }
  return out;
}

Trie built(ClickTable& table, std::uint32_t top_n) {
  auto built = table.build(top_n);
  EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().message);
  if (built && built->external_ids) ADD_FAILURE() << "an id table for ids the index holds itself";
  return built ? std::move(built->trie) : Trie{};
}

// The rows as the reference reads them: sums per (term, position) kept exactly, positions by first
// appearance, then the reference layout, payloads pushed slot by slot, and propagation.
struct ReferenceRow {
  std::u32string term;
  Video video;
  std::uint64_t count;
  std::optional<std::uint64_t> total;
};

Trie reference_trie(const std::vector<ReferenceRow>& rows, IdMode mode, std::uint32_t top_n) {
  std::map<std::u32string, std::map<std::uint32_t, std::uint64_t>> sums;
  std::map<std::u32string, std::uint64_t> totals;
  std::vector<Video> videos;
  Trie trie;
  trie.id_mode = mode;
  for (const ReferenceRow& row : rows) {
    auto found = std::find(videos.begin(), videos.end(), row.video);
    if (found == videos.end()) {
      videos.push_back(row.video);
      found = videos.end() - 1;
      if (mode == IdMode::Int32) {
        trie.video_int_ids.push_back(std::get<std::uint32_t>(row.video));
      } else {
        trie.video_uuids.push_back(std::get<VideoUuid>(row.video));
      }
    }
    sums[row.term][static_cast<std::uint32_t>(found - videos.begin())] += row.count;
    if (row.total) totals[row.term] = *row.total;
  }
  std::set<std::u32string> terms;
  for (const auto& entry : sums) terms.insert(entry.first);
  test::ReferenceShape shape = test::reference_shape(terms);
  std::vector<std::optional<Payload>> slots(shape.node_of.size());
  for (const auto& [term, by_position] : sums) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> entries;  // (sum, position)
    std::uint64_t sum = 0;
    for (const auto& [position, count] : by_position) {
      entries.push_back({count, position});
      sum += count;
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    Payload slot;
    const auto given = totals.find(term);
    slot.total_count = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(given != totals.end() ? given->second : sum, kCountMax));
    for (const auto& [count, position] : entries) {
      slot.video_ids.push_back(position);
      slot.video_counts.push_back(
          static_cast<std::uint32_t>(std::min<std::uint64_t>(count, kCountMax)));
    }
    slots[shape.node_of.at(term)] = slot;
  }
  trie.node_shifts = std::move(shape.trie.node_shifts);
  trie.child_labels = std::move(shape.trie.child_labels);
  trie.child_transitions = std::move(shape.trie.child_transitions);
  trie.is_terminal = std::move(shape.trie.is_terminal);
  for (const auto& slot : slots) trie.payloads.push(slot);
  trie.propagate(top_n);
  return trie;
}

Video random_video(std::mt19937& rng, IdMode mode, std::size_t pool) {
  const auto pick =
      static_cast<std::uint32_t>(std::uniform_int_distribution<std::size_t>(0, pool - 1)(rng));
  if (mode == IdMode::Int32) return pick * 0x9E37'79B9u;  // 0 and large ids alike
  VideoUuid uuid = kUuid;
  uuid[15] = static_cast<std::uint8_t>(pick);
  uuid[3] = static_cast<std::uint8_t>(pick >> 8);
  return uuid;
}

class ClickTableRandom : public testing::TestWithParam<std::tuple<unsigned, IdMode>> {};

TEST_P(ClickTableRandom, BuildsWhatTheReferenceBuilds) {
  const auto [seed, mode] = GetParam();
  std::mt19937 rng(seed);
  // Few counts, so that sums tie; some past 2**32, so that they saturate in different orders.
  const std::uint64_t counts[] = {0, 1, 1, 2, 3, 3, 7, kCountMax, std::uint64_t{kCountMax} + 4};
  std::vector<std::u32string> pool;
  // Half the terms extend an earlier one: long shared prefixes, terms that prefix others.
  for (int i = 0; i < 60; ++i) {
    std::u32string term = test::random_term(rng, 2 + seed % 11, 1 + seed % 7);
    if (i > 0 && rng() % 2 == 0) term = pool[rng() % pool.size()] + term;
    pool.push_back(term);
  }
  std::vector<ReferenceRow> rows;
  for (int i = 0; i < 400; ++i) {
    const std::u32string& term = pool[std::uniform_int_distribution<std::size_t>(0, 59)(rng)];
    rows.push_back(
        {term, random_video(rng, mode, 3 + seed * 5),
         counts[std::uniform_int_distribution<std::size_t>(0, std::size(counts) - 1)(rng)],
         std::nullopt});
  }
  // Totals for a third of the terms, on each of their rows: at their sum (which must pass), above
  // it, or far past 2**32.
  std::map<std::u32string, std::uint64_t> sums;
  for (const auto& row : rows) sums[row.term] += row.count;
  std::map<std::u32string, std::uint64_t> totals;
  for (const auto& [term, sum] : sums) {
    const auto kind = rng() % 6;
    const std::uint64_t saturated_sum = std::min<std::uint64_t>(sum, kCountMax);
    if (kind == 0) totals[term] = saturated_sum;
    if (kind == 1) totals[term] = saturated_sum + 10;
    if (kind == 2) totals[term] = std::uint64_t{1} << 40;
  }
  for (auto& row : rows) {
    if (const auto total = totals.find(row.term); total != totals.end()) row.total = total->second;
  }

  for (const std::uint32_t top_n : {0u, 1u, 2u, 5u, 1000u}) {
    SCOPED_TRACE(top_n);
    ClickTable table(mode);
    for (const auto& row : rows) {
      ASSERT_TRUE(add(table, test::utf8(row.term), row.video, row.count));
      if (row.total) {
        ASSERT_TRUE(table.set_total(test::utf8(row.term), *row.total));
      }
    }
    EXPECT_EQ(built(table, top_n), reference_trie(rows, mode, top_n));
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ClickTableRandom,
                         testing::Combine(testing::Values(1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u),
                                          testing::Values(IdMode::Int32, IdMode::Uuid)));

TEST(ClickTable, RefusesRowsAndTotalsNamingTheRow) {
  struct Case {
    const char* name;
    IdMode mode;
    std::vector<Call> calls;
    std::vector<std::string> want;
  };
  const std::string nul("a\0b", 3);
  const Case cases[] = {
      {"empty term", IdMode::Int32, {{""}}, {"row 0: term '': an empty term cannot be indexed"}},
      {"U+0000, after a good row",
       IdMode::Int32,
       {{"cat"}, {nul}},
       {"row 1: term 'a\\0b': a term cannot contain the character U+0000"}},
      {"quotes, backslashes and controls are escaped",
       IdMode::Int32,
       {{std::string("it's\\\t\x01\0", 8)}},
       {"row 0: term 'it\\'s\\\\\\t\\x01\\0': a term cannot contain the character U+0000"}},
      {"a byte that starts nothing",
       IdMode::Int32,
       {{"ab\xff"}},
       {"row 0: term is not valid UTF-8 (byte 0xff at offset 2)"}},
      {"a stray continuation byte",
       IdMode::Int32,
       {{"\x80"}},
       {"row 0: term is not valid UTF-8 (byte 0x80 at offset 0)"}},
      {"a sequence cut by the end",
       IdMode::Int32,
       {{"a\xe2\x82"}},
       {"row 0: term is not valid UTF-8 (byte 0xe2 at offset 1)"}},
      {"a sequence cut by ASCII",
       IdMode::Int32,
       {{"\xe2\x82z"}},
       {"row 0: term is not valid UTF-8 (byte 0xe2 at offset 0)"}},
      {"overlong forms",
       IdMode::Int32,
       {{"\xc0\xaf"}, {"\xe0\x80\xaf"}, {"\xf0\x80\x80\xaf"}},
       {"row 0: term is not valid UTF-8 (byte 0xc0 at offset 0)",
        "row 1: term is not valid UTF-8 (byte 0xe0 at offset 0)",
        "row 2: term is not valid UTF-8 (byte 0xf0 at offset 0)"}},
      {"a surrogate and a value past U+10FFFF",
       IdMode::Int32,
       {{"\xed\xa0\x80"}, {"\xf4\x90\x80\x80"}, {"\xf5\x80\x80\x80"}},
       {"row 0: term is not valid UTF-8 (byte 0xed at offset 0)",
        "row 1: term is not valid UTF-8 (byte 0xf4 at offset 0)",
        "row 2: term is not valid UTF-8 (byte 0xf5 at offset 0)"}},
      {"bad bytes after a run of ASCII",
       IdMode::Int32,
       {{"abcdefgh\xff"}, {"abcdefg\xc3"}, {"abcdefghijklmnop\xc3\xa9\x80"}},
       {"row 0: term is not valid UTF-8 (byte 0xff at offset 8)",
        "row 1: term is not valid UTF-8 (byte 0xc3 at offset 7)",
        "row 2: term is not valid UTF-8 (byte 0x80 at offset 18)"}},
      {"the largest characters of each length pass",
       IdMode::Int32,
       {{"\x7f\xdf\xbf\xef\xbf\xbf\xf4\x8f\xbf\xbf"}, {"\xed\x9f\xbf\xee\x80\x80"}},
       {}},
      {"a 16-byte video in an integer table",
       IdMode::Int32,
       {{"cat", 7u}, {"cat", kUuid}},
       {"row 1: video 00112233-4455-6677-8899-aabbccddeeff: this index holds integer ids and "
        "cannot mix in 16-byte ids; use one kind of identifier for every video"}},
      {"an integer video in a 16-byte table",
       IdMode::Uuid,
       {{"cat", 42u}},
       {"row 0: video 42: this index holds 16-byte ids and cannot mix in integer ids; use one "
        "kind of identifier for every video"}},
      {"the term is checked before the video",
       IdMode::Uuid,
       {{"", 42u}},
       {"row 0: term '': an empty term cannot be indexed"}},
      {"refused rows use up their numbers",
       IdMode::Int32,
       {{""}, {"ok"}, {""}, {"ok", 1u, 1, 5}, {""}},
       {"row 0: term '': an empty term cannot be indexed",
        "row 2: term '': an empty term cannot be indexed",
        "row 3: term '': an empty term cannot be indexed"}},
      {"a different total on a later row",
       IdMode::Int32,
       {{"cat"}, {"cat", 0u, 1, 5}, {"cat"}, {"cat", 0u, 1, 5}, {"cat"}, {"cat", 0u, 1, 6}},
       {"row 2: term 'cat': total_count 6 differs from the total_count 5 given before"}},
      {"a total for a term without rows",
       IdMode::Int32,
       {{"dog", 0u, 1, 3}, {"cat"}, {"dog", 0u, 1, 3}, {"", 0u, 1, 3}, {"\xff", 0u, 1, 3}},
       {"term 'dog': a total_count was given for a term that has no rows",
        "row 0: term 'dog': a total_count was given for a term that has no rows",
        "row 0: term '': an empty term cannot be indexed",
        "row 0: term is not valid UTF-8 (byte 0xff at offset 0)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClickTable table(c.mode);
    EXPECT_EQ(refusals(table, c.calls), c.want);
  }
}

TEST(ClickTable, RefusedRowsLeaveNoTrace) {
  const std::vector<Call> good = {{"cat", 5u, 2}, {"car", 9u, 1}, {"cat", 9u, 4}};
  // New terms and new videos on refused rows: neither may take an id or a position.
  const std::vector<Call> bad = {{"", 77u}, {"d\xff", 78u}, {std::string("e\0", 2), 79u}};
  ClickTable plain(IdMode::Int32);
  ClickTable mixed(IdMode::Int32);
  EXPECT_TRUE(refusals(plain, good).empty());
  for (const Call& call : bad) {
    EXPECT_FALSE(add(mixed, call.term, call.video, call.count));
  }
  EXPECT_FALSE(mixed.add("fox", kUuid, 1));
  EXPECT_FALSE(mixed.set_total("fox", 3));
  EXPECT_TRUE(refusals(mixed, good).empty());
  // A video first seen on a refused row takes its position only when a row keeps it.
  EXPECT_TRUE(plain.add("cat", 78u, 1));
  EXPECT_TRUE(mixed.add("cat", 78u, 1));
  EXPECT_EQ(mixed.rows(), plain.rows() + 4);
  EXPECT_EQ(mixed.terms(), plain.terms());
  EXPECT_EQ(mixed.videos(), plain.videos());
  EXPECT_EQ(mixed.pairs(), plain.pairs());
  EXPECT_EQ(built(mixed, 10), built(plain, 10));
}

TEST(ClickTable, CountsRowsTermsVideosAndPairs) {
  ClickTable table(IdMode::Uuid);
  VideoUuid other = kUuid;
  other[0] = 1;
  const std::vector<Call> calls = {
      {"cat", kUuid}, {"cat", kUuid},       {"cat", other},           {"car", other},
      {"", kUuid},    {"car", other, 1, 3}, {"\u00e9t\u00e9", kUuid}, {"car", 4u},
  };
  EXPECT_EQ(refusals(table, calls).size(), 2u);
  EXPECT_EQ(table.rows(), 7u);  // every add, refused or not; totals are no rows
  EXPECT_EQ(table.terms(), 3u);
  EXPECT_EQ(table.videos(), 2u);
  EXPECT_EQ(table.pairs(), 4u);
  EXPECT_GT(table.memory_bytes(), 0u);
  const std::size_t before = table.memory_bytes();
  const Trie trie = built(table, 10);
  EXPECT_EQ(trie.video_uuids, (std::vector<VideoUuid>{kUuid, other}));
  EXPECT_EQ(trie.id_mode, IdMode::Uuid);
  // Built: empty again, and of the same kind.
  EXPECT_EQ(table.rows(), 0u);
  EXPECT_EQ(table.terms(), 0u);
  EXPECT_EQ(table.videos(), 0u);
  EXPECT_EQ(table.pairs(), 0u);
  EXPECT_LT(table.memory_bytes(), before);
  EXPECT_EQ(table.kind(), VideoKind::Uuid);
  EXPECT_TRUE(table.add("dog", kUuid, 1));
}

TEST(ClickTable, OrdersPayloadsByTrueSums) {
  struct Case {
    const char* name;
    std::vector<Call> calls;  // all on the term "t", a leaf
    Payload want;
  };
  const std::uint64_t big = std::uint64_t{1} << 32;
  const Case cases[] = {
      {"largest first, the lower position among equal counts",
       {{"t", 10u, 3}, {"t", 20u, 7}, {"t", 30u, 3}, {"t", 20u, 0}},
       {13, {1, 0, 2}, {7, 3, 3}}},
      {"counts of a pair add up over rows",
       {{"t", 10u, 2}, {"t", 20u, 3}, {"t", 10u, 2}},
       {7, {0, 1}, {4, 3}}},
      {"saturated sums keep the order of their true sums",
       {{"t", 10u, big + 1}, {"t", 20u, big + 3}, {"t", 30u, kCountMax}},
       {kCountMax, {1, 0, 2}, {kCountMax, kCountMax, kCountMax}}},
      {"a given total replaces the sum",
       {{"t", 10u, 2}, {"t", 10u, 1, 9}, {"t", 20u, 1}},
       {9, {0, 1}, {2, 1}}},
      {"a total past 2**32-1 saturates",
       {{"t", 10u, 2}, {"t", 10u, 1, big * 5}},
       {kCountMax, {0}, {2}}},
      {"zero counts are kept", {{"t", 10u, 0}}, {0, {0}, {0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClickTable table(IdMode::Int32);
    ASSERT_TRUE(refusals(table, c.calls).empty());
    const Trie trie = built(table, 10);
    ASSERT_EQ(trie.node_count(), 2u);
    EXPECT_EQ(trie.payloads.payload(1), c.want);
  }
}

TEST(ClickTable, RefusesTotalsBelowTheirCountsAtBuild) {
  struct Case {
    const char* name;
    std::vector<Call> calls;
    std::string want;  // empty: builds
  };
  const std::uint64_t big = std::uint64_t{1} << 32;
  const Case cases[] = {
      {"below the sum",
       {{"dog", 1u, 1}, {"cat", 1u, 60}, {"cat", 2u, 40}, {"cat", 2u, 1, 5}},
       "term 'cat': total_count 5 is below the sum of its video counts, 100"},
      {"below the saturated sum",
       {{"cat", 1u, kCountMax}, {"cat", 2u, 5}, {"cat", 2u, 1, kCountMax - 1}},
       "term 'cat': total_count 4294967294 is below the sum of its video counts, 4294967295"},
      {"of several, the first term added",
       {{"zebra", 1u, 9}, {"zebra", 1u, 1, 8}, {"ant", 1u, 9}, {"ant", 1u, 1, 7}},
       "term 'zebra': total_count 8 is below the sum of its video counts, 9"},
      {"at the sum", {{"cat", 1u, 60}, {"cat", 1u, 1, 60}}, ""},
      {"both past 2**32-1", {{"cat", 1u, big * 2}, {"cat", 1u, 1, big}}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClickTable table(IdMode::Int32);
    ASSERT_TRUE(refusals(table, c.calls).empty());
    const auto trie = table.build(10);
    EXPECT_EQ(trie ? "" : trie.error().message, c.want);
    EXPECT_EQ(table.terms(), 0u);
  }
}

TEST(ClickTable, BuildsAMillionCharacterTerm) {
  // Interning, checking, sorting and laying out are linear in the characters: a quadratic step
  // would take hours here.
  std::u32string term;
  for (std::size_t i = 0; i < 1'000'000; ++i)
    term += test::kAlphabet[i % std::size(test::kAlphabet)];
  const std::string bytes = test::utf8(term);
  const std::string fork = test::utf8(term.substr(0, 999'999) + U'z');
  // A prefix of nine bytes: its first eight tie with the long terms' when sorted.
  const std::string head = test::utf8(term.substr(0, 6));
  ClickTable table(IdMode::Int32);
  ASSERT_TRUE(table.add(bytes, 1u, 3));
  ASSERT_TRUE(table.add(bytes, 2u, 5));
  ASSERT_TRUE(table.add(fork, 1u, 1));
  ASSERT_TRUE(table.add(head, 2u, 1));
  EXPECT_EQ(table.terms(), 3u);
  const Trie trie = built(table, 2);
  EXPECT_EQ(trie.node_count(), 1'000'002u);
  EXPECT_EQ(trie.payloads.payload(0), (Payload{10, {1, 0}, {6, 4}}));
}

TEST(ClickTable, StopsWhenTheHookSaysSoAndIsLeftEmpty) {
  ClickTable table(IdMode::Int32);
  for (std::uint32_t i = 0; i < 10'000; ++i) ASSERT_TRUE(table.add("t" + std::to_string(i), i, 1));
  std::size_t calls = 0;
  const Cancel cancel([](void* count) noexcept { return ++*static_cast<std::size_t*>(count) > 1; },
                      &calls);
  EXPECT_THROW((void)table.build(10, cancel), Cancelled);
  EXPECT_EQ(calls, 2u);
  EXPECT_EQ(table.terms(), 0u);
  EXPECT_EQ(table.rows(), 0u);
}

TEST(ClickTable, ReportsEachStageAsItStartsAndEnds) {
  ClickTable table(IdMode::Int32);
  ASSERT_TRUE(table.add("ab", 1u, 1));
  ASSERT_TRUE(table.add("b", 1u, 1));
  std::vector<std::string> seen;
  const Progress progress = [&](std::string_view stage, std::uint64_t done, std::uint64_t total) {
    seen.push_back(std::string(stage) + " " + std::to_string(done) + "/" + std::to_string(total));
  };
  ASSERT_TRUE(table.build(10, {}, progress));
  EXPECT_EQ(seen, (std::vector<std::string>{"sort 0/2", "sort 2/2", "layout 0/2", "layout 2/2",
                                            "payloads 0/2", "payloads 2/2", "propagate 0/4",
                                            "propagate 4/4"}));
}

// ---- The site's own ids: 64-bit integers and strings ----

// A video as a site names it.
using SiteId = std::variant<std::int64_t, std::uint64_t, std::string, VideoUuid>;

struct SiteRow {
  std::string term;
  SiteId video;
  std::uint64_t count = 1;
};

Expected<bool, RowError> add_site(ClickTable& table, const SiteRow& row) {
  return std::visit(
      [&](const auto& id) -> Expected<bool, RowError> {
        using Id = std::decay_t<decltype(id)>;
        if constexpr (std::is_same_v<Id, std::int64_t>) {
          return table.add_signed(row.term, id, row.count);
        } else if constexpr (std::is_same_v<Id, std::uint64_t>) {
          return table.add_unsigned(row.term, id, row.count);
        } else if constexpr (std::is_same_v<Id, std::string>) {
          return table.add_text(row.term, id, row.count);
        } else {
          return table.add(row.term, id, row.count);
        }
      },
      row.video);
}

SiteId as_kind(const SiteId& id, store::ExternalKind kind);

// The rows with each video replaced by its position of first appearance, and the videos in that
// order: an index of the positions must rank exactly as one of the site's ids. Integers are one
// id whichever type gives them (as uint64: no table holds both -1 and 2**64-1).
std::vector<SiteId> by_position(const std::vector<SiteRow>& rows, ClickTable& positions) {
  std::vector<SiteId> order;
  for (const SiteRow& row : rows) {
    const SiteId key = as_kind(row.video, store::ExternalKind::Unsigned);
    auto at = std::find(order.begin(), order.end(), key);
    if (at == order.end()) at = order.insert(order.end(), key);
    EXPECT_TRUE(positions.add(row.term, static_cast<std::uint32_t>(at - order.begin()), row.count));
  }
  return order;
}

// The ids a table section holds, as site ids of its kind.
std::vector<SiteId> ids_in(const std::vector<std::uint8_t>& section, store::ExternalKind& kind) {
  // ExternalIds reads in place from 8-byte aligned memory.
  std::vector<std::uint64_t> aligned((section.size() + 7) / 8);
  std::memcpy(aligned.data(), section.data(), section.size());
  auto ids = store::ExternalIds::read(
      {reinterpret_cast<const std::uint8_t*>(aligned.data()), section.size()}, true);
  EXPECT_TRUE(ids) << (ids ? "" : ids.error().message);
  std::vector<SiteId> out;
  if (!ids) return out;
  kind = ids->kind();
  for (std::size_t i = 0; i < ids->size(); ++i) {
    switch (kind) {
      case store::ExternalKind::Text:
        out.emplace_back(std::string(ids->text(i)));
        break;
      case store::ExternalKind::Signed:
        out.emplace_back(ids->signed_value(i));
        break;
      case store::ExternalKind::Unsigned:
        out.emplace_back(ids->unsigned_value(i));
        break;
    }
  }
  return out;
}

// `id` as the table of `kind` holds it: integers of either type compare by value.
SiteId as_kind(const SiteId& id, store::ExternalKind kind) {
  if (kind == store::ExternalKind::Signed && std::holds_alternative<std::uint64_t>(id)) {
    return static_cast<std::int64_t>(std::get<std::uint64_t>(id));
  }
  if (kind == store::ExternalKind::Unsigned && std::holds_alternative<std::int64_t>(id)) {
    return static_cast<std::uint64_t>(std::get<std::int64_t>(id));
  }
  return id;
}

TEST(ClickTable, SiteIdsGoToATableInPositionOrderBesideAnIndexOfPositions) {
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  constexpr std::int64_t kLow = std::numeric_limits<std::int64_t>::min();
  struct Case {
    const char* name;
    VideoKind kind;
    std::vector<SiteRow> rows;
    store::ExternalKind want;
  };
  const Case cases[] = {
      {"one id past 2**32-1",
       VideoKind::Int,
       {{"cat", std::uint64_t{7}, 3},
        {"car", std::uint64_t{1} << 32, 5},
        {"cat", std::uint64_t{9}}},
       store::ExternalKind::Signed},
      {"negative ids",
       VideoKind::Int,
       {{"cat", std::int64_t{-1}, 2}, {"cab", kLow, 2}, {"cat", std::int64_t{5}, 4}},
       store::ExternalKind::Signed},
      {"ids above 2**63-1",
       VideoKind::Int,
       {{"cat", kTop, 1}, {"cart", std::uint64_t{3}, 8}, {"cat", std::uint64_t{1} << 63, 1}},
       store::ExternalKind::Unsigned},
      {"largest signed id, given either way",
       VideoKind::Int,
       {{"a", std::int64_t{std::numeric_limits<std::int64_t>::max()}, 1},
        {"b", std::uint64_t{std::numeric_limits<std::int64_t>::max()}, 2}},
       store::ExternalKind::Signed},
      {"a wide id after many small ones, one of them again",
       VideoKind::Int,
       {{"dog", std::uint64_t{4}, 6},
        {"do", std::uint64_t{4}, 1},
        {"dot", std::uint64_t{0}, 1},
        {"dog", std::int64_t{-7}, 9},
        {"do", std::uint64_t{0}, 2}},
       store::ExternalKind::Signed},
      {"strings",
       VideoKind::Text,
       {{"cat", std::string("dQw4w9WgXcQ"), 4},
        {"cat", std::string("h\xc3\xa9llo"), 4},
        {"car", std::string(""), 1},
        {"car", std::string("dQw4w9WgXcQ"), 2},
        {"cab", std::string("a\0b", 3), 7}},
       store::ExternalKind::Text},
      {"strings that spell numbers stay strings",
       VideoKind::Text,
       {{"cat", std::string("17"), 1}, {"cat", std::string("017"), 2}},
       store::ExternalKind::Text},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClickTable table(c.kind), positions(VideoKind::Int);
    for (const SiteRow& row : c.rows) ASSERT_TRUE(add_site(table, row));
    const std::vector<SiteId> order = by_position(c.rows, positions);
    EXPECT_EQ(table.videos(), order.size());
    auto built = table.build(2);
    ASSERT_TRUE(built) << built.error().message;
    const Trie want = ::torrelm::ingest::built(positions, 2);
    EXPECT_TRUE(built->trie == want);
    ASSERT_TRUE(built->external_ids);
    store::ExternalKind kind{};
    const std::vector<SiteId> ids = ids_in(*built->external_ids, kind);
    EXPECT_EQ(kind, c.want);
    std::vector<SiteId> expected;
    for (const SiteId& id : order) expected.push_back(as_kind(id, c.want));
    EXPECT_EQ(ids, expected);
  }
}

TEST(ClickTable, IntegersWithinFourBytesStayTheIndexsOwnIds) {
  // Whichever call gives them, ids in 0..2**32-1 make the index that 4-byte ids make.
  const std::vector<SiteRow> rows = {{"cat", std::int64_t{17}, 3},
                                     {"car", std::uint64_t{0xFFFF'FFFF}, 5},
                                     {"cat", std::uint64_t{0}, 2},
                                     {"cart", std::int64_t{17}, 1}};
  ClickTable table(VideoKind::Int), direct(VideoKind::Int);
  for (const SiteRow& row : rows) {
    ASSERT_TRUE(add_site(table, row));
    const auto value = std::visit(
        [](const auto& id) -> std::uint32_t {
          if constexpr (std::is_integral_v<std::decay_t<decltype(id)>>) {
            return static_cast<std::uint32_t>(id);
          } else {
            return 0;
          }
        },
        row.video);
    ASSERT_TRUE(direct.add(row.term, value, row.count));
  }
  EXPECT_EQ(table.videos(), 3u);
  auto from_wide = table.build(4);
  ASSERT_TRUE(from_wide);
  EXPECT_FALSE(from_wide->external_ids);
  EXPECT_EQ(from_wide->trie.video_int_ids, (std::vector<std::uint32_t>{17, 0xFFFF'FFFF, 0}));
  EXPECT_TRUE(from_wide->trie == built(direct, 4));
}

TEST(ClickTable, RefusesSiteIdsOfAnotherKindOrSignNamingTheRow) {
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    const char* name;
    VideoKind kind;
    std::vector<SiteRow> rows;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"a string in an integer table",
       VideoKind::Int,
       {{"cat", std::int64_t{-2}}, {"cat", std::string("x")}},
       {"row 1: video 'x': this index holds integer ids and cannot mix in string ids; use one "
        "kind of identifier for every video"}},
      {"an integer in a string table",
       VideoKind::Text,
       {{"cat", std::string("x")}, {"cat", kTop}},
       {"row 1: video 18446744073709551615: this index holds string ids and cannot mix in "
        "integer ids; use one kind of identifier for every video"}},
      {"a 16-byte id in a string table",
       VideoKind::Text,
       {{"cat", kUuid}},
       {"row 0: video 00112233-4455-6677-8899-aabbccddeeff: this index holds string ids and "
        "cannot mix in 16-byte ids; use one kind of identifier for every video"}},
      {"a string in a 16-byte table",
       VideoKind::Uuid,
       {{"cat", std::string("it's")}},
       {"row 0: video 'it\\'s': this index holds 16-byte ids and cannot mix in string ids; use "
        "one kind of identifier for every video"}},
      {"above 2**63-1 after negatives",
       VideoKind::Int,
       {{"cat", std::int64_t{-5}}, {"cat", std::int64_t{-6}}, {"cat", std::uint64_t{1} << 63}},
       {"row 2: video 9223372036854775808: ids above 2**63-1 and below 0 cannot share one index "
        "(an earlier row holds -5)"}},
      {"negative after above 2**63-1, small ids between",
       VideoKind::Int,
       {{"cat", kTop}, {"cat", std::uint64_t{3}}, {"cat", std::int64_t{-1}}},
       {"row 2: video -1: ids above 2**63-1 and below 0 cannot share one index (an earlier row "
        "holds 18446744073709551615)"}},
      {"a string id that is not UTF-8",
       VideoKind::Text,
       {{"cat", std::string("ok")}, {"cat", std::string("bad\xff")}},
       {"row 1: video id is not valid UTF-8 (byte 0xff at offset 3)"}},
      {"the term is checked first",
       VideoKind::Text,
       {{"", std::int64_t{1}}},
       {"row 0: term '': an empty term cannot be indexed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClickTable table(c.kind);
    std::vector<std::string> seen;
    std::vector<SiteRow> kept;
    for (const SiteRow& row : c.rows) {
      const auto added = add_site(table, row);
      if (added) {
        kept.push_back(row);
      } else {
        seen.push_back(added.error().message);
      }
    }
    EXPECT_EQ(seen, c.want);
    // A refused row leaves no trace: the table builds what the rows it took build.
    ClickTable again(c.kind);
    for (const SiteRow& row : kept) ASSERT_TRUE(add_site(again, row));
    EXPECT_EQ(table.videos(), again.videos());
    auto mine = table.build(3);
    auto theirs = again.build(3);
    ASSERT_TRUE(mine && theirs);
    EXPECT_TRUE(mine->trie == theirs->trie);
    EXPECT_EQ(mine->external_ids, theirs->external_ids);
  }
}

}  // namespace
}  // namespace torrelm::ingest

namespace torrelm::ingest {
namespace {

// Merging by normalised term gives the index of the rows as if they had been written normalised,
// with each merged term's most counted spelling reported beside it.
TEST(ClickTable, MergesTermsThatNormaliseAlike) {
  struct Row {
    std::string term;
    std::uint32_t video;
    std::uint64_t count;
  };
  const auto lower = [](std::string_view term) {
    std::string out(term);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  const std::vector<Row> rows = {{"Cat", 7, 2}, {"cat", 7, 3}, {"CAT", 9, 5},
                                 {"dog", 9, 1}, {"Dog", 7, 1}, {"cow", 1, 4}};
  ClickTable merged(IdMode::Int32), expected(IdMode::Int32);
  for (const Row& row : rows) {
    ASSERT_TRUE(merged.add(row.term, row.video, row.count));
    ASSERT_TRUE(expected.add(lower(row.term), row.video, row.count));
  }
  std::vector<std::string> normalized;
  for (const std::string_view term : merged.term_texts()) normalized.push_back(lower(term));
  ASSERT_TRUE(merged.merge_terms(normalized));
  EXPECT_EQ(merged.terms(), 3u);
  auto got = merged.build(10);
  auto want = expected.build(10);
  ASSERT_TRUE(got && want);
  EXPECT_EQ(got->trie, want->trie);
  // "CAT" has 5 clicks against 3 and 2; "Dog" and "dog" tie at 1: code point order picks "Dog".
  const std::vector<std::pair<std::string, std::string>> spellings = {{"cat", "CAT"},
                                                                      {"dog", "Dog"}};
  auto reported = got->spellings;
  std::sort(reported.begin(), reported.end());
  EXPECT_EQ(reported, spellings);
}

TEST(ClickTable, RefusesANormalisedTermThatCannotBeIndexedAndKeepsItsRows) {
  ClickTable table(IdMode::Int32);
  ASSERT_TRUE(table.add("a", 1, 1));
  ASSERT_TRUE(table.add("b", 1, 1));
  ASSERT_TRUE(table.add("c", 2, 3));
  const std::vector<std::string> refusing = {"a", std::string("b\0", 2), "c"};
  const auto refused = table.merge_terms(refusing);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message.rfind("term 'b' normalises to what cannot be indexed: ", 0),
            0u);
  EXPECT_EQ(table.terms(), 3u);
  // A term normalised to nothing is left out with its clicks.
  const std::vector<std::string> emptied = {"a", "", ""};
  const auto dropped = table.merge_terms(emptied);
  ASSERT_TRUE(dropped);
  EXPECT_EQ(dropped->terms, 2u);
  EXPECT_EQ(dropped->clicks, 4u);
  EXPECT_EQ(table.terms(), 1u);
}

}  // namespace
}  // namespace torrelm::ingest

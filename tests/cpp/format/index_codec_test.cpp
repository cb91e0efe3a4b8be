#include "format/index_codec.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "support/tries.hpp"

namespace torrelm::format {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The two-node example: root and é, both payloads (300, [0], [300]), Int32 ids [7].
const Bytes kExample = {0x02, 0x00, 0x01, 0x02, 0x00, 0xC3, 0xA9, 0x01, 0x01, 0x02,
                        0x01, 0xFB, 0x2C, 0x01, 0x01, 0x00, 0x01, 0xFB, 0x2C, 0x01,
                        0x01, 0xFB, 0x2C, 0x01, 0x01, 0x00, 0x01, 0xFB, 0x2C, 0x01,
                        0x00, 0x01, 0x07, 0x01, 0x02, 0x00, 0x01};

prefix::Trie example_trie() {
  prefix::Trie trie;
  trie.node_shifts = {0, 1};
  trie.child_labels = {U'\0', U'\u00e9'};
  trie.child_transitions = {1};
  trie.payloads.push(payload::Payload{300, {0}, {300}});
  trie.payloads.push(payload::Payload{300, {0}, {300}});
  trie.video_int_ids = {7};
  trie.id_mode = prefix::IdMode::Int32;
  trie.is_terminal = {0, 1};
  return trie;
}

std::string outcome(const Bytes& bytes) {
  const auto got = decode(bytes);
  return got ? "ok" : to_string(got.error());
}

TEST(IndexCodec, WritesAndReadsTheExamples) {
  EXPECT_EQ(encode(example_trie()), kExample);
  const auto read = decode(kExample);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, example_trie());

  const Bytes empty(8, 0);
  EXPECT_EQ(encode(prefix::Trie{}), empty);
  ASSERT_TRUE(decode(empty));
  EXPECT_EQ(*decode(empty), prefix::Trie{});

  Bytes trailing = kExample;
  trailing.insert(trailing.end(), {0xFF, 0xFE, 0x00});
  EXPECT_EQ(*decode(trailing), example_trie());
}

TEST(IndexCodec, ReportsEveryDecodeError) {
  // A prefix of six empty sequences, then the field under test.
  const auto after = [](std::size_t fields, Bytes rest) {
    Bytes out(fields, 0x00);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
  };
  struct Case {
    const char* name;
    Bytes bytes;
    std::string want;
  };
  const Case cases[] = {
      {"empty input", {}, "UnexpectedEnd { additional: 1 }"},
      {"count cut after 0xFC", {0xFC}, "UnexpectedEnd { additional: 4 }"},
      {"count cut inside 0xFB", {0xFB, 0x01}, "UnexpectedEnd { additional: 1 }"},
      // Counts wider than the index width fail as such; where they fit, storage is reserved only
      // for what the input could hold, and the read fails at the first missing element.
      {"count of 2**60 on a short input",
       {0xFD, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x05},
       sizeof(std::size_t) == 4 ? "OutsideUsizeRange(1152921504606846976)"
                                : "UnexpectedEnd { additional: 1 }"},
      {"count of 2**32",
       {0xFD, 0, 0, 0, 0, 1, 0, 0, 0},
       sizeof(std::size_t) == 4 ? "OutsideUsizeRange(4294967296)"
                                : "UnexpectedEnd { additional: 1 }"},
      {"count of 2**32 - 1 in 0xFD form",
       {0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0},
       "UnexpectedEnd { additional: 1 }"},
      {"u32 with 0xFD",
       {0x01, 0xFD, 1, 0, 0, 0, 0, 0, 0, 0},
       "InvalidIntegerType { expected: U32, found: U64 }"},
      {"u32 with 0xFE", {0x01, 0xFE}, "InvalidIntegerType { expected: U32, found: U128 }"},
      {"u32 with 0xFF", {0x01, 0xFF}, "InvalidIntegerType { expected: U32, found: Reserved }"},
      {"count with 0xFE", {0xFE}, "InvalidIntegerType { expected: Usize, found: U128 }"},
      {"overlong nul", after(1, {0x01, 0xC0, 0x80}), "InvalidCharEncoding([192, 0, 0, 0])"},
      {"surrogate", after(1, {0x01, 0xED, 0xA0, 0x80}), "InvalidCharEncoding([237, 160, 128, 0])"},
      {"above U+10FFFF", after(1, {0x01, 0xF4, 0x90, 0x80, 0x80}),
       "InvalidCharEncoding([244, 144, 128, 128])"},
      {"bad continuation", after(1, {0x01, 0xC3, 0x41}), "InvalidCharEncoding([195, 65, 0, 0])"},
      {"character cut", after(1, {0x01, 0xE2, 0x82}), "UnexpectedEnd { additional: 1 }"},
      {"payload tag 2", after(3, {0x01, 0x02}),
       "UnexpectedVariant { type_name: \"Optional<Payload>\", allowed: Range { min: 0, max: 1 }, "
       "found: 2 }"},
      {"uuid cut", after(4, {0x01, 1, 2, 3}), "UnexpectedEnd { additional: 13 }"},
      {"uuid with nothing left", after(4, {0x01}), "UnexpectedEnd { additional: 16 }"},
      {"id_mode 2", after(6, {0x02}),
       "UnexpectedVariant { type_name: \"IdMode\", allowed: Range { min: 0, max: 1 }, found: 2 }"},
      {"id_mode missing", after(6, {}), "UnexpectedEnd { additional: 1 }"},
      {"boolean 2", after(7, {0x01, 0x02}), "InvalidBooleanValue(2)"},
      {"id_mode in a long form", after(6, {0xFB, 0x01, 0x00, 0x00}), "ok"},
      {"count in a long form", after(7, {0xFB, 0x01, 0x00, 0x01}), "ok"},
      {"count with 0xFD below 2**32", after(7, {0xFD, 1, 0, 0, 0, 0, 0, 0, 0, 0x01}), "ok"},
      {"uneven payload, lengths and child ids",
       {0x03, 0, 0, 0, 0x00, 0x01, 0x09, 0x01, 0x01, 0x09, 0x02, 0x05, 0x06, 0x01, 0x05, 0, 0, 0,
        0},
       "ok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome(c.bytes), c.want);
  }
}

TEST(IndexCodec, RoundTripsRandomIndexes) {
  std::mt19937 random(9);
  for (int round = 0; round < 200; ++round) {
    prefix::Trie trie;
    const std::size_t n = random() % 20;
    const auto any = [&] {
      const std::uint32_t widths[] = {0xFA, 0xFB, 0xFFFF, 0x10000, 0xFFFFFFFF};
      return static_cast<std::uint32_t>(random() % (std::uint64_t{widths[random() % 5]} + 1));
    };
    for (std::size_t i = 0; i < n; ++i) {
      trie.node_shifts.push_back(any());
      const char32_t labels[] = {U'\0', U'a', U'\u00e9', U'\u0436', U'\u20ac', U'\U0001F600'};
      trie.child_labels.push_back(labels[random() % 6]);
      trie.child_transitions.push_back(any());
      trie.is_terminal.push_back(random() % 2);
      if (random() % 3 == 0) {
        trie.payloads.push_absent();
      } else {
        payload::Payload p{any(), {}, {}};
        for (std::size_t k = random() % 4; k-- > 0;) p.video_ids.push_back(any());
        for (std::size_t k = random() % 4; k-- > 0;) p.video_counts.push_back(any());
        trie.payloads.push(p);
      }
    }
    if (random() % 2) {
      trie.id_mode = prefix::IdMode::Int32;
      for (std::size_t k = random() % 5; k-- > 0;) trie.video_int_ids.push_back(any());
    } else {
      trie.video_uuids.resize(random() % 3);
      for (auto& uuid : trie.video_uuids) {
        for (auto& b : uuid) b = static_cast<std::uint8_t>(random());
      }
    }
    const Bytes bytes = encode(trie);
    ASSERT_EQ(bytes.size(), encoded_size(trie));
    const auto back = decode(bytes);
    ASSERT_TRUE(back) << to_string(back.error());
    EXPECT_EQ(*back, trie);
    EXPECT_EQ(encode(*back), bytes);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
      EXPECT_FALSE(decode(std::span(bytes).first(cut))) << "a cut at " << cut << " still decodes";
    }
  }
}

// An index of `n` payload slots, slot i given by `slot(i)`, and nothing else: the other fields cost
// as much memory as their bytes or four times that, whatever they hold.
prefix::Trie slots_only(std::size_t n,
                        const std::function<std::optional<payload::Payload>(std::size_t)>& slot) {
  prefix::Trie trie;
  for (std::size_t i = 0; i < n; ++i) trie.payloads.push(slot(i));
  return trie;
}

// `k` entries of one byte each (small positions and counts are the densest case).
payload::Payload small_entries(std::size_t k, std::size_t counts) {
  return {1, std::vector<std::uint32_t>(k, 1), std::vector<std::uint32_t>(counts, 2)};
}

TEST(IndexCodec, HoldsAtMostFourBytesForEachByteRead) {
  using payload::Payload;
  using Slot = std::optional<Payload>;
  struct Case {
    const char* name;
    prefix::Trie trie;
    double most_per_byte;  // memory of the decoded index over its encoded size
  };
  std::mt19937 random(5);
  const auto any_slot = [&](std::size_t) {
    const Slot kinds[] = {std::nullopt, Payload{}, small_entries(random() % 8, random() % 8),
                          Payload{70'000, {300, 70'000}, {1, 2}}};
    return kinds[random() % 4];
  };
  const Case cases[] = {
      // A byte for each slot: the presence bitmap and its ranks take two bits.
      {"absent slots", slots_only(400'000, [](std::size_t) { return Slot(); }), 0.5},
      {"present slots without entries", slots_only(100'000, [](std::size_t) { return Payload{}; }),
       4},
      {"one slot of many entries",
       slots_only(1, [](std::size_t) { return small_entries(200'000, 200'000); }), 4},
      {"many slots of a few entries",
       slots_only(50'000, [](std::size_t i) { return small_entries(i % 5, i % 5); }), 4},
      {"more positions than counts",
       slots_only(50'000, [](std::size_t i) { return small_entries(2, i % 2); }), 4},
      // The table sized from the first slots would be far too large for the rest: it is trimmed.
      {"entries first, then absent slots",
       slots_only(400'000,
                  [](std::size_t i) { return i < 2'000 ? Slot(small_entries(50, 50)) : Slot(); }),
       4},
      // The table sized from the first slots would be far too small: it grows.
      {"absent slots, then entries",
       slots_only(400'000,
                  [](std::size_t i) { return i < 300'000 ? Slot() : Slot(small_entries(5, 5)); }),
       4},
      {"a random mix", slots_only(200'000, any_slot), 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = encode(c.trie);
    const auto back = decode(bytes);
    ASSERT_TRUE(back) << to_string(back.error());
    EXPECT_EQ(*back, c.trie);
    EXPECT_LE(static_cast<double>(back->memory_bytes()),
              c.most_per_byte * static_cast<double>(bytes.size()) + 256)
        << bytes.size() << " bytes read";
  }
}

// A hook that asks to stop at its first call, and counts its calls.
bool stop_now(void* calls) noexcept {
  ++*static_cast<int*>(calls);
  return true;
}

TEST(IndexCodec, StopsInAnyLongSequenceWhenAsked) {
  constexpr std::size_t kLong = 2 * Cancel::kInterval;
  struct Case {
    const char* name;
    std::function<void(prefix::Trie&)> fill;
    bool stops;
  };
  const Case cases[] = {
      // Fewer steps than the hook's interval: it is never asked.
      {"a small index", [](prefix::Trie& t) { t = example_trie(); }, false},
      {"node_shifts", [](prefix::Trie& t) { t.node_shifts.resize(kLong); }, true},
      {"child_labels", [](prefix::Trie& t) { t.child_labels.resize(kLong, U'a'); }, true},
      {"child_transitions", [](prefix::Trie& t) { t.child_transitions.resize(kLong); }, true},
      {"payload slots",
       [](prefix::Trie& t) {
         for (std::size_t i = 0; i < kLong; ++i) t.payloads.push_absent();
       },
       true},
      {"the positions of one slot",
       [](prefix::Trie& t) {
         t.payloads.push(payload::Payload{1, std::vector<std::uint32_t>(kLong), {}});
       },
       true},
      {"the counts of one slot",
       [](prefix::Trie& t) {
         t.payloads.push(payload::Payload{1, {}, std::vector<std::uint32_t>(kLong)});
       },
       true},
      {"video_uuids", [](prefix::Trie& t) { t.video_uuids.resize(kLong); }, true},
      {"video_int_ids", [](prefix::Trie& t) { t.video_int_ids.resize(kLong); }, true},
      {"is_terminal", [](prefix::Trie& t) { t.is_terminal.resize(kLong); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prefix::Trie trie;
    c.fill(trie);
    const Bytes bytes = encode(trie);
    int calls = 0;
    if (c.stops) {
      EXPECT_THROW(decode(bytes, Cancel(stop_now, &calls)), Cancelled);
      EXPECT_EQ(calls, 1);
    } else {
      const auto back = decode(bytes, Cancel(stop_now, &calls));
      ASSERT_TRUE(back);
      EXPECT_EQ(*back, trie);
      EXPECT_EQ(calls, 0);
    }
  }
}

}  // namespace
}  // namespace torrelm::format

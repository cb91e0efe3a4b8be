// One deterministic workload over every part of the core, reduced to a digest: the 32-bit ARM
// build must give exactly the digest of the 64-bit build.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>

#include "format/index_codec.hpp"
#include "ranking/ranking.hpp"
#include "support/tries.hpp"

namespace torrelm {
namespace {

class Digest {
 public:
  void add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) value_ = (value_ ^ bytes[i]) * 0x100000001B3ull;
  }
  void add(std::uint64_t v) { add(&v, sizeof v); }  // fixed width on every platform
  void add(const std::string& s) { add(s.size()), add(s.data(), s.size()); }
  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_ = 0xCBF29CE484222325ull;
};

TEST(Platform, SameResultsOnEveryWordSize) {
  std::mt19937 random(2026);
  const std::u32string alphabet = U"abcde\u00e9\u0436\U0001F600";
  std::vector<std::u32string> words;
  for (int i = 0; i < 600; ++i) {
    std::u32string w;
    for (std::size_t l = 1 + random() % 9; l-- > 0;)
      w.push_back(alphabet[random() % alphabet.size()]);
    words.push_back(w);
  }
  prefix::Trie trie = test::make_trie(test::word_nodes(words));
  trie.payloads = {};
  for (std::size_t n = 0; n < trie.node_count(); ++n) {
    if (!trie.is_terminal[n]) {
      trie.payloads.push_absent();
      continue;
    }
    payload::Payload p{static_cast<std::uint32_t>(random() % 100000), {}, {}};
    for (std::size_t k = 1 + random() % 5; k-- > 0;) {
      p.video_ids.push_back(random() % 300);
      p.video_counts.push_back(random() % 100000);
    }
    trie.payloads.push(p);
  }
  trie.id_mode = prefix::IdMode::Int32;
  for (std::uint32_t v = 0; v < 280; ++v) trie.video_int_ids.push_back(v * 2654435761u);
  trie.propagate(7);

  Digest digest;
  const auto bytes = format::encode(trie);
  digest.add(bytes.data(), bytes.size());
  for (int q = 0; q < 200; ++q) {
    const std::string term = test::utf8(words[random() % words.size()].substr(0, 1 + q % 6));
    const std::size_t k = q % 3;
    for (const auto& m : prefix::fuzzy_match(trie, term, k, {})) {
      digest.add(m.term), digest.add(m.node), digest.add(m.distance);
    }
    for (const auto mode : {ranking::PrefixNodes::Fallback, ranking::PrefixNodes::Include}) {
      for (const auto& v : ranking::rank_videos(trie, term, k, 10, mode)) {
        digest.add(ranking::id_text(trie, v.position));
        digest.add(std::bit_cast<std::uint64_t>(v.score));
      }
    }
  }
  // Recorded from the x86-64 build.
  EXPECT_EQ(digest.value(), 5420026060836270821ull) << digest.value();
}

}  // namespace
}  // namespace torrelm

// Any bytes either fail to decode with a DecodeError, or give an index that encodes to bytes that
// decode to the same index, and on which every query either answers or throws InternalFault.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "format/index_codec.hpp"
#include "prefix/matcher/matcher.hpp"
#include "ranking/ranking.hpp"

namespace {

using namespace torrelm;

template <class Query>
void tolerate_faults(Query&& query) {
  try {
    query();
  } catch (const InternalFault&) {
    // The documented outcome for an inconsistent index.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto trie = format::decode(std::span(data, size));
  if (!trie) {
    (void)format::to_string(trie.error());
    return 0;
  }
  const auto bytes = format::encode(*trie);
  if (bytes.size() != format::encoded_size(*trie)) std::abort();
  const auto again = format::decode(bytes);
  if (!again || !(*again == *trie) || format::encode(*again) != bytes) std::abort();

  // In a cyclic index every path is a distinct match, so the work grows as (children per node) to
  // the power of the deepest row, m + max_dist + 1: short queries with small bounds keep it small.
  if (trie->child_transitions.size() > 64) return 0;
  struct Query {
    const char* term;
    std::size_t max_dist;
  };
  for (const Query q :
       {Query{"", 0}, Query{"", 2}, Query{"a", 1}, Query{"\xc3\xa9", 0}, Query{"ab", 0}}) {
    // A cycle within a huge bound spells terms of every length up to the bound: quadratic text.
    if (q.max_dist <= 2)
      tolerate_faults([&] { prefix::fuzzy_match(*trie, q.term, q.max_dist, {}); });
    tolerate_faults([&] { prefix::fuzzy_match(*trie, q.term, q.max_dist, 1); });
    tolerate_faults([&] { prefix::fuzzy_match_nodes(*trie, q.term, q.max_dist, false); });
    for (const auto mode : {ranking::PrefixNodes::Exclude, ranking::PrefixNodes::Include,
                            ranking::PrefixNodes::Fallback}) {
      tolerate_faults([&] {
        for (const auto& video : ranking::rank_videos(*trie, q.term, q.max_dist, 3, mode)) {
          (void)ranking::id_text(*trie, video.position);
        }
      });
    }
  }
  return 0;
}

#include <limits>

#include "prefix/matcher/walk.hpp"

namespace torrelm::prefix {

namespace {

// What one matched node costs its caller besides the NodeMatch: the ranking keeps a weighted
// payload view per node.
constexpr std::size_t kNodeResultBytes = 64;
constexpr std::size_t kCharged = 1024;

[[gnu::noinline]] void charge(detail::ResultBudget& budget) {
  budget.spend(kCharged * (sizeof(NodeMatch) + kNodeResultBytes));
}

std::vector<NodeMatch> match_nodes(const TrieView& trie, const std::u32string& query,
                                   std::size_t max_dist, bool terminal_only, detail::RowKind kind,
                                   Cancel& cancel, Distance measure) {
  using namespace detail;
  std::vector<NodeMatch> results;
  ResultBudget budget(trie);
  with_rows(
      trie, query, max_dist, kind,
      [&](auto& rows) {
        walk(trie, rows, cancel, [&](NodeId child, char32_t, const auto&, std::uint32_t distance) {
          if (distance != kNoMatch && (!terminal_only || trie.terminal(child))) {
            results.push_back({child, static_cast<std::uint16_t>(distance)});
            // Charged in groups, away from the walk's hot path.
            if (results.size() % kCharged == 0) charge(budget);
          }
          return false;
        });
      },
      measure);
  return results;
}

}  // namespace

std::vector<NodeMatch> detail::fuzzy_match_nodes(const TrieView& trie, std::string_view term,
                                                 std::size_t max_dist, bool terminal_only,
                                                 RowKind kind, Cancel cancel, Distance distance) {
  return match_nodes(trie, text::decode_utf8(term), max_dist, terminal_only, kind, cancel,
                     distance);
}

std::vector<NodeMatch> fuzzy_match_nodes(const TrieView& trie, std::string_view term,
                                         std::size_t max_dist, bool terminal_only, Cancel cancel) {
  return fuzzy_match_nodes(trie, text::decode_utf8(term), max_dist, terminal_only, cancel);
}

std::vector<NodeMatch> fuzzy_match_nodes(const TrieView& trie, const std::u32string& query,
                                         std::size_t max_dist, bool terminal_only, Cancel cancel,
                                         Distance distance) {
  return match_nodes(trie, query, max_dist, terminal_only, detail::RowKind::Automatic, cancel,
                     distance);
}

std::size_t result_budget(const TrieView& trie) noexcept {
  constexpr std::size_t kLargest = std::numeric_limits<std::size_t>::max() / 4;
  constexpr std::size_t kFloor = std::size_t{256} << 20;
  constexpr std::size_t kTimesIndex = 8;
  const std::size_t index = trie.memory_bytes();
  return std::max(kFloor, index > kLargest / kTimesIndex ? kLargest : index * kTimesIndex);
}

}  // namespace torrelm::prefix

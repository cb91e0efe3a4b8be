#include "ranking/ranking.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>

#include "common/fault.hpp"
#include "prefix/matcher/matcher.hpp"
#include "ranking/score_map.hpp"
#include "text/utf8.hpp"

namespace torrelm::ranking {
namespace {

constexpr double kNearWeight = 0.05;
constexpr double kPrefixFactor = 0.85;
constexpr double kThreshold = 0.01;

std::vector<prefix::NodeMatch> select_nodes(const prefix::TrieView& trie,
                                            const std::u32string& term, std::size_t max_dist,
                                            PrefixNodes prefix_nodes, Cancel cancel,
                                            prefix::Distance distance) {
  if (prefix_nodes == PrefixNodes::Include) {
    return prefix::fuzzy_match_nodes(trie, term, max_dist, false, cancel, distance);
  }
  auto nodes = prefix::fuzzy_match_nodes(trie, term, max_dist, true, cancel, distance);
  if (nodes.empty() && prefix_nodes == PrefixNodes::Fallback) {
    nodes = prefix::fuzzy_match_nodes(trie, term, max_dist, false, cancel, distance);
  }
  return nodes;
}

std::size_t table_size(const prefix::TrieView& trie) {
  return trie.id_mode == prefix::IdMode::Int32 ? trie.video_int_ids.size()
                                               : trie.video_uuids.size();
}

}  // namespace

std::vector<RankedVideo> rank_videos(const prefix::TrieView& trie, std::string_view term,
                                     std::size_t max_dist, std::optional<std::size_t> limit,
                                     PrefixNodes prefix_nodes, Cancel cancel,
                                     prefix::Distance distance) {
  std::vector<RankedVideo> ranked;
  const std::u32string query = text::decode_utf8(term);  // once, for up to two walks and n
  const auto nodes = select_nodes(trie, query, max_dist, prefix_nodes, cancel, distance);
  const auto n = static_cast<double>(query.size());

  struct Weighted {
    payload::PayloadView payload;
    double weight;
  };
  std::vector<Weighted> contributing;
  contributing.reserve(nodes.size());
  std::size_t entries = 0;
  for (const prefix::NodeMatch& match : nodes) {
    double weight = 1.0;
    if (match.distance != 0) {
      weight = n == 0.0 ? 0.0 : (1.0 - match.distance / n) * kNearWeight;
      if (weight <= 0.0) continue;
    }
    if (!trie.terminal(match.node)) weight *= kPrefixFactor;
    const auto payload = trie.payloads.at(match.node);
    if (!payload) continue;
    contributing.push_back({*payload, weight});
    entries = detail::saturating_add(entries, payload->video_ids.size());
  }

  double total = 0.0;
  detail::ScoreMap scores(entries);
  for (const Weighted& node : contributing) {
    total += node.weight * node.payload.total_count;
    const auto& ids = node.payload.video_ids;
    const auto& counts = node.payload.video_counts;
    cancel.step(1 + ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
      scores.add(ids[i], node.weight * checked_at(counts, i));
    }
  }
  if (total <= 0.0) return ranked;

  // Positions past the id table name no video: they go before the cut, so that they never take
  // the place of one that does.
  const std::size_t known = table_size(trie);
  for (const detail::ScoreMap::Entry& entry : scores.entries()) {
    const double score = entry.weighted / total;
    if (score >= kThreshold && entry.position < known) ranked.push_back({entry.position, score});
  }
  // Equal scores may come in any order; the lower position first makes answers repeatable.
  const auto better = [](const RankedVideo& a, const RankedVideo& b) {
    return a.score != b.score ? a.score > b.score : a.position < b.position;
  };
  if (limit && *limit < ranked.size()) {
    std::nth_element(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(*limit),
                     ranked.end(), better);
    ranked.resize(*limit);
  }
  std::sort(ranked.begin(), ranked.end(), better);
  return ranked;
}

std::size_t id_text(const prefix::TrieView& trie, std::uint32_t position, char* out) {
  if (trie.id_mode == prefix::IdMode::Int32) {
    std::uint32_t value = checked_at(trie.video_int_ids, position);
    char digits[10];
    std::size_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
    return count;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  const prefix::VideoUuid& bytes = checked_at(trie.video_uuids, position);
  std::size_t at = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[at++] = '-';
    out[at++] = kHex[bytes[i] >> 4];
    out[at++] = kHex[bytes[i] & 0xF];
  }
  return at;
}

std::string id_text(const prefix::TrieView& trie, std::uint32_t position) {
  char buffer[kMaxIdText];
  return std::string(buffer, id_text(trie, position, buffer));
}

}  // namespace torrelm::ranking

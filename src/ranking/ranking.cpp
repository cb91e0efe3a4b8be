#include "ranking/ranking.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>

#include "common/fault.hpp"
#include "prefix/matcher/matcher.hpp"
#include "text/utf8.hpp"

namespace torrelm::ranking {
namespace {

constexpr double kNearWeight = 0.05;
constexpr double kPrefixFactor = 0.85;
constexpr double kThreshold = 0.01;

// Weighted counts per video position: open addressing over indexes into a dense entry list, sized
// once from the number of payload entries that will be added, so it never grows or rehashes.
class ScoreMap {
 public:
  struct Entry {
    std::uint32_t position;
    double weighted;
  };

  explicit ScoreMap(std::size_t entries)
      : bits_(table_bits(entries)), slots_(std::size_t{1} << bits_) {
    entries_.reserve(entries);
  }

  void add(std::uint32_t position, double weighted) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = (position * std::uint64_t{0x9E3779B97F4A7C15}) >> (64 - bits_);
    while (true) {
      const std::uint32_t slot = slots_[at];
      if (slot == 0) {
        entries_.push_back({position, weighted});
        slots_[at] = static_cast<std::uint32_t>(entries_.size());
        return;
      }
      Entry& entry = entries_[slot - 1];
      if (entry.position == position) {
        entry.weighted += weighted;
        return;
      }
      at = (at + 1) & mask;
    }
  }

  const std::vector<Entry>& entries() const noexcept { return entries_; }

 private:
  // At most half full, so probes stay short and always end; a table that large cannot exist
  // on the platform (32-bit) is an allocation failure rather than a wrapped-around size.
  static unsigned table_bits(std::size_t entries) {
    if (entries > std::numeric_limits<std::size_t>::max() / 4) throw std::bad_alloc();
    return static_cast<unsigned>(std::bit_width(std::max<std::size_t>(entries * 2, 16) - 1));
  }

  unsigned bits_;
  std::vector<std::uint32_t> slots_;  // 1 + index into entries_, 0 when free
  std::vector<Entry> entries_;
};

std::vector<prefix::NodeMatch> select_nodes(const prefix::Trie& trie, const std::u32string& term,
                                            std::size_t max_dist, PrefixNodes prefix_nodes) {
  if (prefix_nodes == PrefixNodes::Include) {
    return prefix::fuzzy_match_nodes(trie, term, max_dist, false);
  }
  auto nodes = prefix::fuzzy_match_nodes(trie, term, max_dist, true);
  if (nodes.empty() && prefix_nodes == PrefixNodes::Fallback) {
    nodes = prefix::fuzzy_match_nodes(trie, term, max_dist, false);
  }
  return nodes;
}

std::size_t table_size(const prefix::Trie& trie) {
  return trie.id_mode == prefix::IdMode::Int32 ? trie.video_int_ids.size()
                                               : trie.video_uuids.size();
}

}  // namespace

std::vector<RankedVideo> rank_videos(const prefix::Trie& trie, std::string_view term,
                                     std::size_t max_dist, std::optional<std::size_t> limit,
                                     PrefixNodes prefix_nodes) {
  std::vector<RankedVideo> ranked;
  const std::u32string query = text::decode_utf8(term);  // once, for up to two walks and n
  const auto nodes = select_nodes(trie, query, max_dist, prefix_nodes);
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
    entries += payload->video_ids.size();
  }

  double total = 0.0;
  ScoreMap scores(entries);
  for (const Weighted& node : contributing) {
    total += node.weight * node.payload.total_count;
    const auto& ids = node.payload.video_ids;
    const auto& counts = node.payload.video_counts;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      scores.add(ids[i], node.weight * checked_at(counts, i));
    }
  }
  if (total <= 0.0) return ranked;

  for (const ScoreMap::Entry& entry : scores.entries()) {
    const double score = entry.weighted / total;
    if (score >= kThreshold) ranked.push_back({entry.position, score});
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
  // Positions past the id table are dropped only now, after the cut.
  const std::size_t known = table_size(trie);
  std::erase_if(ranked, [known](const RankedVideo& video) { return video.position >= known; });
  return ranked;
}

std::size_t id_text(const prefix::Trie& trie, std::uint32_t position, char* out) {
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

std::string id_text(const prefix::Trie& trie, std::uint32_t position) {
  char buffer[kMaxIdText];
  return std::string(buffer, id_text(trie, position, buffer));
}

}  // namespace torrelm::ranking

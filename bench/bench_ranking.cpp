// Cost of the video ranking apart from the walk: for every query of a file, times the node walk
// alone and the whole ranking, and counts the payload entries the ranking sums. Prints the mean
// of each and the ranking's cost per summed entry. Release builds only.
//
//   torrelm_bench_ranking INDEX_FILE QUERY_FILE MAX_DIST include|absent|exclude
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "format/index_codec.hpp"
#include "prefix/matcher/matcher.hpp"
#include "ranking/ranking.hpp"

namespace {

using torrelm::ranking::PrefixNodes;
using Clock = std::chrono::steady_clock;

// The payload entries that the ranking sums for `term`: those of the nodes it keeps.
std::size_t summed_entries(const torrelm::prefix::Trie& trie, const std::string& term,
                           std::size_t max_dist, PrefixNodes mode) {
  auto nodes =
      torrelm::prefix::fuzzy_match_nodes(trie, term, max_dist, mode != PrefixNodes::Include);
  if (nodes.empty() && mode == PrefixNodes::Fallback) {
    nodes = torrelm::prefix::fuzzy_match_nodes(trie, term, max_dist, false);
  }
  std::size_t n = 0;
  for (const char ch : term) n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
  std::size_t entries = 0;
  for (const auto& match : nodes) {
    if (match.distance != 0 && match.distance >= n) continue;
    if (const auto payload = trie.payloads.at(match.node)) entries += payload->video_ids.size();
  }
  return entries;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s INDEX_FILE QUERY_FILE MAX_DIST include|absent|exclude\n",
                 argv[0]);
    return 2;
  }
  std::ifstream index_file(argv[1], std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(index_file)), {});
  const auto trie = torrelm::format::decode(bytes);
  if (!trie) {
    std::fprintf(stderr, "decode error: %s\n", to_string(trie.error()).c_str());
    return 1;
  }
  std::vector<std::string> queries;
  std::ifstream query_file(argv[2]);
  for (std::string line; std::getline(query_file, line);) queries.push_back(line);
  const std::size_t max_dist = std::stoul(argv[3]);
  const std::string mode_name = argv[4];
  const PrefixNodes mode = mode_name == "include"   ? PrefixNodes::Include
                           : mode_name == "exclude" ? PrefixNodes::Exclude
                                                    : PrefixNodes::Fallback;

  double walk = 0, rank = 0;
  std::size_t entries = 0;
  for (int round = 0; round < 3; ++round) {  // best of three rounds
    double round_walk = 0, round_rank = 0;
    for (const auto& q : queries) {
      const auto start = Clock::now();
      auto nodes =
          torrelm::prefix::fuzzy_match_nodes(*trie, q, max_dist, mode != PrefixNodes::Include);
      if (nodes.empty() && mode == PrefixNodes::Fallback) {
        nodes = torrelm::prefix::fuzzy_match_nodes(*trie, q, max_dist, false);
      }
      const auto middle = Clock::now();
      const auto ranked = torrelm::ranking::rank_videos(*trie, q, max_dist, 10, mode);
      const auto end = Clock::now();
      round_walk += std::chrono::duration<double>(middle - start).count();
      round_rank += std::chrono::duration<double>(end - middle).count();
    }
    walk = round == 0 ? round_walk : std::min(walk, round_walk);
    rank = round == 0 ? round_rank : std::min(rank, round_rank);
  }
  for (const auto& q : queries) entries += summed_entries(*trie, q, max_dist, mode);
  const double count = static_cast<double>(queries.size());
  std::printf("queries %zu walk_us %.2f ranking_us %.2f entries %.1f ns_per_entry %.2f\n",
              queries.size(), walk / count * 1e6, rank / count * 1e6, entries / count,
              (rank - walk) * 1e9 / static_cast<double>(std::max<std::size_t>(entries, 1)));
  return 0;
}

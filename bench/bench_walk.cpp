// The fuzzy walk on its own, under Google Benchmark: for each word list given and each bound,
// fuzzy_match over the same seeded queries (dictionary words with 0, 1 or 2 random edits, one in
// three each), walked on the index's arrays and on its walk table. Counters per query: the nodes
// the walk computes a row for (`nodes`), what a plain walk over every child within the bound
// visits (`plain_nodes`: the same on the arrays), and the time per node of each.
//
//   torrelm_bench_walk [--queries=N] WORD_LIST... [benchmark options]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "ingest/layout.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/matcher/walk.hpp"
#include "prefix/matcher/walk_table.hpp"
#include "text/utf8.hpp"

namespace {

using torrelm::Cancel;
using namespace torrelm::prefix;

struct Vocabulary {
  std::string name;
  Trie trie;
  WalkTable table;
  std::vector<std::string> queries;
};

std::vector<std::string> read_words(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> words;
  for (std::string line; std::getline(in, line);) {
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
    if (line.find('\0') == std::string::npos && torrelm::text::valid_utf8(line)) {
      words.push_back(line);
    }
  }
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

// Words with 0, 1 or 2 random edits (insertion, deletion, substitution of a code point), the
// letters drawn from those of the word list.
std::vector<std::string> make_queries(const std::vector<std::string>& words, std::size_t count) {
  std::mt19937_64 rng(2026);
  std::vector<char32_t> letters;
  for (std::size_t i = 0; i < 5000 && i < words.size(); ++i) {
    for (const char32_t ch : torrelm::text::decode_utf8(words[rng() % words.size()])) {
      letters.push_back(ch);
    }
  }
  std::sort(letters.begin(), letters.end());
  letters.erase(std::unique(letters.begin(), letters.end()), letters.end());
  std::vector<std::string> queries;
  for (std::size_t i = 0; i < count; ++i) {
    std::u32string word = torrelm::text::decode_utf8(words[rng() % words.size()]);
    for (std::size_t e = 0; e < i % 3; ++e) {
      const auto kind = rng() % 3;
      const std::size_t at = rng() % (word.size() + (kind == 0));
      const char32_t letter = letters[rng() % letters.size()];
      if (kind == 0) {
        word.insert(word.begin() + static_cast<std::ptrdiff_t>(at), letter);
      } else if (kind == 1 && word.size() > 1) {
        word.erase(word.begin() + static_cast<std::ptrdiff_t>(at));
      } else {
        word[std::min(at, word.size() - 1)] = letter;
      }
    }
    std::string text;
    for (const char32_t ch : word) torrelm::text::append_utf8(text, ch);
    queries.push_back(std::move(text));
  }
  return queries;
}

std::unique_ptr<Vocabulary> load(const std::string& path, std::size_t query_count) {
  const std::vector<std::string> words = read_words(path);
  std::vector<std::string_view> terms(words.begin(), words.end());
  Cancel cancel;
  auto layout = torrelm::ingest::lay_out(terms, cancel);
  if (!layout) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), layout.error().c_str());
    return nullptr;
  }
  auto vocabulary = std::make_unique<Vocabulary>();
  vocabulary->name = path.substr(path.find_last_of('/') + 1);
  Trie& trie = vocabulary->trie;
  trie.node_shifts = std::move(layout->node_shifts);
  trie.child_labels = std::move(layout->child_labels);
  trie.child_transitions = std::move(layout->child_transitions);
  trie.is_terminal = std::move(layout->is_terminal);
  auto table = WalkTable::of(trie.view(), cancel);
  if (!table) {
    std::fprintf(stderr, "%s: no walk table\n", path.c_str());
    return nullptr;
  }
  vocabulary->table = std::move(*table);
  vocabulary->queries = make_queries(words, query_count);
  return vocabulary;
}

// Counts the rows a walk computes.
template <class Rows>
struct Counted {
  Rows& rows;
  std::size_t& count;
  bool advance(std::uint32_t d, char32_t ch) {
    ++count;
    return rows.advance(d, ch);
  }
  // Only where the rows bound subtrees, as the walk asks.
  static constexpr bool kBounds = requires(const Rows& r) { r.reaches(0u, 0u, 0u); };
  bool reaches(std::uint32_t d, std::uint32_t height,
               std::uint32_t below) const noexcept requires kBounds {
    return rows.reaches(d, height, below);
  }
  std::uint64_t wanted(std::uint32_t d) const noexcept requires kBounds { return rows.wanted(d); }
  char32_t query_char(std::size_t i) const noexcept requires kBounds { return rows.query_char(i); }
  std::uint32_t final_distance(std::uint32_t d) const noexcept { return rows.final_distance(d); }
  std::size_t step_cost() const noexcept { return rows.step_cost(); }
};

std::size_t nodes_visited(const TrieView& trie, const std::string& query, std::size_t k) {
  std::size_t count = 0;
  Cancel cancel;
  detail::with_rows(
      trie, torrelm::text::decode_utf8(query), k, detail::RowKind::Automatic, [&](auto& rows) {
        Counted<std::remove_reference_t<decltype(rows)>> counted{rows, count};
        detail::walk(trie, counted, cancel,
                     [](NodeId, char32_t, const auto&, std::uint32_t) { return false; });
      });
  return count;
}

void fuzzy(benchmark::State& state, const Vocabulary* vocabulary, std::size_t k, bool table) {
  TrieView trie = vocabulary->trie.view();
  const TrieView plain = trie;
  if (table) trie.walk_table = &vocabulary->table;
  std::size_t nodes = 0;
  std::size_t plain_nodes = 0;
  for (const std::string& query : vocabulary->queries) {
    nodes += nodes_visited(trie, query, k);
    plain_nodes += nodes_visited(plain, query, k);
  }
  std::size_t results = 0;
  for (auto _ : state) {
    for (const std::string& query : vocabulary->queries) {
      const auto found = fuzzy_match(trie, query, k, std::nullopt);
      results += found.size();
      benchmark::DoNotOptimize(found.data());
    }
  }
  const double queries = static_cast<double>(vocabulary->queries.size());
  using benchmark::Counter;
  state.counters["queries"] = queries;
  state.counters["nodes"] = static_cast<double>(nodes) / queries;
  state.counters["plain_nodes"] = static_cast<double>(plain_nodes) / queries;
  // Seconds per query per node, shown as ns.
  state.counters["ns_per_node"] =
      Counter(static_cast<double>(nodes) * static_cast<double>(state.iterations()),
              Counter::kIsRate | Counter::kInvert);
  state.counters["ns_per_plain_node"] =
      Counter(static_cast<double>(plain_nodes) * static_cast<double>(state.iterations()),
              Counter::kIsRate | Counter::kInvert);
  state.counters["per_query"] = Counter(queries * static_cast<double>(state.iterations()),
                                        Counter::kIsRate | Counter::kInvert);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::size_t query_count = 1000;
  std::vector<std::unique_ptr<Vocabulary>> vocabularies;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--queries=")) {
      query_count = std::stoul(std::string(arg.substr(10)));
    } else if (auto vocabulary = load(argv[i], query_count)) {
      vocabularies.push_back(std::move(vocabulary));
    } else {
      return 1;
    }
  }
  if (vocabularies.empty()) {
    std::fprintf(stderr, "usage: %s [--queries=N] WORD_LIST... [benchmark options]\n", argv[0]);
    return 2;
  }
  for (const auto& vocabulary : vocabularies) {
    for (const std::size_t k : {0, 1, 2, 3}) {
      for (const bool table : {false, true}) {
        const std::string name = "fuzzy_match/" + vocabulary->name +
                                 "/max_dist:" + std::to_string(k) + (table ? "/table" : "/arrays");
        benchmark::RegisterBenchmark(name.c_str(), fuzzy, vocabulary.get(), k, table)
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

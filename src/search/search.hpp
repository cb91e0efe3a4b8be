// The queries of a search box, best first: completions of a typed prefix and suggestions for a
// possibly misspelt word, ranked by how often each term was searched and, where edits are
// allowed, by how likely the typo is (Order::Likely, typo_model.hpp) or by distance first.
//
// A term's count is how often it was searched, in 64 bits, as the builders counted it (its given
// total, else the sum of its rows). An index that does not carry those counts (one made by
// _torrelm, or a file from before they were kept) derives them: propagation gave every node the
// total of its whole subtree, so a term's own is its node's total less its children's (0 where
// the subtree's total stopped at 2**32-1 and no longer tells). Ties between equal counts go to the
// term that comes first in code point order, a term before the longer ones it prefixes: the trie
// order of every index the builders make.
//
// complete() never collects the terms below a prefix: a best-first search over the subtree, led
// by the largest count below each node (count_terms), stops at the limit-th term. suggest() in
// the distance order walks with growing bounds and stops once a bound's matches fill the limit;
// in the likely order it walks once at max_dist. Each walk keeps only the best it still needs
// and passes by subtrees whose counts cannot beat them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/cancel.hpp"
#include "prefix/matcher/distance.hpp"
#include "prefix/matcher/walk_table.hpp"
#include "prefix/trie/trie.hpp"
#include "search/blocked.hpp"

namespace torrelm::search {

using Count = std::uint64_t;

struct Found {
  std::string term;  // UTF-8, as spelled by the trie
  prefix::NodeId node;
  Count count;
  std::uint32_t distance;
  // What ordered it first, before count and text: the likelihood (Order::Likely with edits),
  // else minus the distance. Lets answers from two searches be merged in the same order.
  double score = 0.0;
  // Where what was typed starts in `term`: 0, or the start of the later word it was found by.
  std::uint32_t offset = 0;
  friend bool operator==(const Found& a, const Found& b) {
    return a.term == b.term && a.node == b.node && a.count == b.count && a.distance == b.distance;
  }
};

// The count of the term ending at `node` (0 for a node that ends none) as the totals tell it.
Count term_count(const prefix::TrieView& trie, prefix::NodeId node);

// Every node's own term count and the largest term count in its subtree, itself included and
// hidden (U+0000) subtrees left out: what the searches below are led by. Kept by the builder
// (`exact`), derived from the totals once per index (count_terms), or read where a container file
// keeps them. The spans read either the vectors or the file; moving keeps them valid (a vector's
// buffer moves with it), copying would not.
struct Counts {
  std::span<const Count> own;
  std::span<const Count> best;
  std::vector<Count> own_store;
  std::vector<Count> best_store;
  bool exact = false;  // the builder's own counts, not derived from saturated totals

  Counts() = default;
  Counts(Counts&&) noexcept = default;
  Counts& operator=(Counts&&) noexcept = default;
  Counts(const Counts&) = delete;
  Counts& operator=(const Counts&) = delete;
};

// The Counts of `trie`. Reads the index as the tree a checked one is (children after their
// parent); a child listed before its parent is left out of `best`, so that no shape of index
// makes this run long. Counts its steps on `cancel`.
Counts count_terms(const prefix::TrieView& trie, Cancel cancel = {});

// The Counts of `trie` whose terms were counted `own` times (by node id, 0 where a node ends no
// term), as a builder counted them. Reads the index as count_terms does.
Counts counts_of(const prefix::TrieView& trie, std::vector<Count> own, Cancel cancel = {});

// The first node at which `counts` disagree with `trie`, if any: derived counts must be
// count_terms(trie); exact ones must end only terms and add up, with everything below each
// node, to the node's total wherever that total did not stop at 2**32-1; and every best count
// must be the largest below. Reads the index as count_terms does.
std::optional<prefix::NodeId> disagreement(const prefix::TrieView& trie, const Counts& counts,
                                           Cancel cancel = {});

// The counts beside the walk table's records, in its order: each record holds the label, the
// terminal flag, where its children are, and both counts, so that opening a node in complete()
// reads one run of memory instead of five arrays by node id. 24 bytes a node, made once per index
// and kept in its file, where every process that maps it shares them. Records read from a file
// nobody checked give no child list that does not lie after its parent and within them
// (children_of()).
class CompletionRecords {
 public:
  struct Record {
    std::uint32_t word;   // as WalkTable::Node::word
    std::uint32_t first;  // as WalkTable::Node::first
    Count best;
    Count own;
  };
  static_assert(sizeof(Record) == 24);
  // `table` is the walk table of the index `counts` were counted on. Counts a step per node.
  CompletionRecords(const prefix::WalkTable& table, const Counts& counts, Cancel& cancel);
  // Records kept elsewhere (a file), read where they lie: one more than the records of `table`,
  // and a rank each or none (nullopt otherwise). Whether they are the records of an index is
  // describe()'s to say.
  static std::optional<CompletionRecords> over(std::span<const Record> records,
                                               std::span<const std::uint32_t> ranks,
                                               const prefix::WalkTable& table);
  // Whether these are exactly the records made from `table` and `counts`.
  bool describe(const prefix::WalkTable& table, const Counts& counts, Cancel& cancel) const;

  CompletionRecords(CompletionRecords&&) noexcept = default;
  CompletionRecords& operator=(CompletionRecords&&) noexcept = default;
  CompletionRecords(const CompletionRecords&) = delete;
  CompletionRecords& operator=(const CompletionRecords&) = delete;

  const Record& at(std::size_t r) const noexcept { return records_[r]; }
  std::span<const Record> records() const noexcept { return records_; }
  // The records of the children of record `r`, as [first, end), checked as
  // WalkTable::children_of() checks them.
  std::pair<std::uint32_t, std::uint32_t> children_of(std::uint32_t r) const;
  // Each record's place in depth-first order, which is the code point order of the texts, when
  // every child list is sorted by label with no two alike (as the builders make them); else
  // empty.
  std::span<const std::uint32_t> ranks() const noexcept { return ranks_; }
  // Heap bytes held: none for records read where they lie.
  std::size_t memory_bytes() const noexcept {
    return record_store_.capacity() * sizeof(Record) +
           rank_store_.capacity() * sizeof(std::uint32_t);
  }

 private:
  CompletionRecords() = default;
  void rank(Cancel& cancel);

  std::span<const Record> records_;  // one more closes the last list
  std::span<const std::uint32_t> ranks_;
  std::vector<Record> record_store_;
  std::vector<std::uint32_t> rank_store_;
};

// The edits max_dist="auto" allows a text of `length` code points: none while a typo would
// change too much of it, more as it grows (thresholds measured in bench/bench_budget.py). A
// prefix being typed (`completing`) gets one edit at most: on a click log, one edit puts the
// query meant among the first three as often as two, at a quarter of the time
// (bench/bench_typeahead.py).
std::size_t typo_budget(std::size_t length, bool completing = false) noexcept;

// The edits max_dist="auto" allows a text: one word is allowed its typo_budget() (the text being
// typed when `completing`); in a text of several (separated by U+0020), each word one edit from 3
// code points (2 when the text is complete), none below, and the whole text at most kMostEdits
// (kMostWhileTyping when `completing`). word_rows.hpp says how edits are charged to words, and a
// space missing or added to the whole alone.
struct WordBudget {
  static constexpr std::size_t kMostEdits = 3;
  static constexpr std::size_t kMostWhileTyping = 2;
  std::vector<std::uint8_t> words;
  std::size_t total = 0;
  // Whether the words' budgets say more than `total` alone: a text of more than one word.
  bool per_word() const noexcept { return words.size() > 1; }
};
WordBudget word_budget(std::u32string_view text, bool completing);

// How the answers of a query with edits are ordered: by likelihood (a term's count against the
// cost of the typo, see typo_model.hpp), or by distance first, then count.
enum class Order : std::uint8_t { Likely, Distance };

// The `limit` terms that start with a prefix within `max_dist` edits of `prefix`, best first by
// (distance, larger count, code point order); a term below several such prefixes takes the
// smallest distance. `counts` is count_terms(trie). With no edits, `records` (made from the
// walk table `trie` carries and these counts) speed the search up.
// `distance` says what an edit is (Distance::Osa: a swap of neighbours is one too). With
// Order::Likely and edits, best first by the likelihood of the typo that the term's prefix
// within the bound makes of `prefix`, with the term's count; then as above.
// A `stop` code point other than U+0000 ends what may match `prefix`: the prefixes within the
// bound are those that do not hold it (a term below one may). `words`, for a text of several
// words, bounds each of them too (the prefix being its last), max_dist the whole.
// `blocked`, when given, leaves its terms out: the answer is the one an index without them gives,
// the next best terms taking their places.
std::vector<Found> complete(const prefix::TrieView& trie, const Counts& counts,
                            std::string_view prefix, std::size_t max_dist, std::size_t limit,
                            Cancel cancel = {}, const CompletionRecords* records = nullptr,
                            prefix::Distance distance = prefix::Distance::Levenshtein,
                            Order order = Order::Distance, char32_t stop = U'\0',
                            const WordBudget* words = nullptr, const Blocked* blocked = nullptr);

// The `limit` terms within `max_dist` edits of `text`, best first by (distance, larger count,
// code point order): the first `limit` of fuzzy_match(text, max_dist) sorted so. `counts` is
// count_terms(trie): subtrees that cannot give a better term are passed by.
// With Order::Likely, the `limit` likeliest terms within `max_dist` edits instead: by score,
// then as above. Where `text` is itself a term, it was most likely typed as meant: the answer is
// then only the terms whose score exceeds its own by more than kTypedMargin (e^5, some 150 times
// as likely), then it; on English words drawn by frequency that replaces 0.015 % of them
// (bench/bench_quality.py), and the walk passes by nearly everything. `words`, for a text of
// several words, bounds each of them too. `blocked`, when given, leaves its terms out of the
// answer, the next best taking their places; a blocked term typed in full still sets the margin
// (it is what was typed), and is left out itself.
inline constexpr double kTypedMargin = 5.0;
std::vector<Found> suggest(const prefix::TrieView& trie, const Counts& counts,
                           std::string_view text, std::size_t max_dist, std::size_t limit,
                           Cancel cancel = {},
                           prefix::Distance distance = prefix::Distance::Levenshtein,
                           Order order = Order::Distance, const WordBudget* words = nullptr,
                           const Blocked* blocked = nullptr);

// `found`, best first, less each term that lies within one edit (a swap of neighbours counting
// one) of a better one searched at least kSlipRatio times as often, when it has kShortestSlip
// code points or more: a slip that the build did not fold away, left out of what a search box
// shows. Keeps the first `limit` of the rest.
inline constexpr std::uint64_t kSlipRatio = 50;
inline constexpr std::size_t kShortestSlip = 5;
std::vector<Found> without_slips(std::vector<Found> found, std::size_t limit);

}  // namespace torrelm::search

#include "search/search.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <queue>
#include <unordered_set>

#include "prefix/matcher/lookup.hpp"
#include "prefix/matcher/walk.hpp"
#include "search/typo_model.hpp"
#include "search/word_rows.hpp"
#include "text/utf8.hpp"

namespace torrelm::search {

using prefix::NodeId;
using prefix::TrieView;

namespace {

std::uint32_t total_of(const TrieView& trie, NodeId node) {
  const auto payload = trie.payloads.at(node);
  return payload ? payload->total_count : 0;
}

// Better first: smaller distance, larger count, then code point order (which UTF-8 keeps).
bool better(const Found& a, const Found& b) {
  if (a.distance != b.distance) return a.distance < b.distance;
  if (a.count != b.count) return a.count > b.count;
  return a.term < b.term;
}

// One entry of the best-first search: a term to report, or a node whose subtree is still to be
// opened, led by the largest count below it. A node's entry is never worse than any entry its
// subtree gives (the same start, so the same distance and penalty; a count no larger, a text it
// prefixes), so entries leave the queue in the order of the answer. `priority` is what orders
// them first: minus the distance, or the likelihood of the start's typo with the key's count.
struct Entry {
  double priority;
  double penalty;  // per_edit times the typo cost of the entry's start
  std::uint32_t distance;
  Count key;  // the term's count, or the largest count below the node
  bool is_term;
  NodeId node;
  std::string text;
};

struct Worse {
  bool operator()(const Entry& a, const Entry& b) const {
    if (a.priority != b.priority) return a.priority < b.priority;
    if (a.distance != b.distance) return a.distance > b.distance;
    if (a.key != b.key) return a.key < b.key;
    if (a.text != b.text) return a.text > b.text;
    return a.is_term < b.is_term;  // a node before its own term: either order is right
  }
};

// The typo cost of `typed` for `meant`, which lie `distance` unit edits apart: no alignment that
// strays farther from the diagonal than `distance` over the cheapest weight can cost less.
double modelled_cost(const std::u32string& typed, const std::u32string& meant,
                     std::uint32_t distance, const TypoModel& model) {
  const auto cheapest = static_cast<std::size_t>(std::lround(model.cheapest() * kCostUnits));
  return typo_cost(typed, meant, model, distance * kCostUnits / std::max<std::size_t>(cheapest, 1));
}

// The UTF-8 text of a node the walk is at: the labels above it, then its own.
std::string spell(const std::vector<prefix::detail::Cursor>& above, char32_t label) {
  std::string spelled;
  for (std::size_t level = 1; level < above.size(); ++level) {
    text::append_utf8(spelled, above[level].label);
  }
  text::append_utf8(spelled, label);
  return spelled;
}

struct Start {
  NodeId node;
  std::uint32_t distance;
  std::string text;
  double penalty = 0.0;  // per_edit times the typo cost of the start's text, when ordering so
};

// The nodes that spell `query` exactly (siblings may share a label).
std::vector<Start> exact_starts(const TrieView& trie, const std::u32string& query,
                                std::string_view text, Cancel& cancel) {
  std::vector<NodeId> current = {0};
  std::vector<NodeId> next;
  for (const char32_t ch : query) {
    next.clear();
    for (const NodeId node : current) {
      const prefix::ChildRange range = trie.children(node);
      cancel.step(1 + (range.empty() ? 0 : range.end - range.begin));
      for (std::size_t p = range.begin; p < range.end; ++p) {
        const NodeId child = trie.child(p);
        if (ch != U'\0' && trie.label(child) == ch) next.push_back(child);
      }
    }
    current.swap(next);
    if (current.empty()) break;
  }
  std::vector<Start> starts;
  for (const NodeId node : current) starts.push_back({node, 0, std::string(text)});
  return starts;
}

// The nodes within `max_dist` of `query`, with their distances and texts; the root too when the
// whole query is within the bound of the empty prefix.
// What a walk for likely completions may pass by: a subtree none of whose terms can score `floor`
// or more, no term counting more than its largest count and each unit edit costing at least
// `unit`. No floor (-infinity) passes by nothing.
struct LikelyCut {
  const Counts* counts = nullptr;
  double floor = -std::numeric_limits<double>::infinity();
  double unit = 0.0;
  const Blocked* blocked = nullptr;
  bool passes(NodeId node, std::uint32_t edits) const {
    if (counts == nullptr) return false;
    Count best = checked_at(counts->best, node);
    if (blocked != nullptr) best = blocked->best(node, best);
    return std::log1p(static_cast<double>(best)) - unit * edits < floor;
  }
};

// The largest count below `node` of a term that `blocked` (when given) leaves in.
Count best_below(const Counts& counts, NodeId node, const Blocked* blocked) {
  const Count best = checked_at(counts.best, node);
  return blocked == nullptr ? best : blocked->best(node, best);
}

// Whether `node` ends a term that the queries may answer.
bool answers(const TrieView& trie, NodeId node, const Blocked* blocked) {
  return trie.terminal(node) && (blocked == nullptr || !blocked->term(node));
}

// Runs `body(rows)` with the rows of `query` within `max_dist`, and within the budget of each word
// where `words` has several.
template <class Body>
void with_budget_rows(const TrieView& trie, const std::u32string& query, std::size_t max_dist,
                      const WordBudget* words, prefix::Distance measure, Body&& body) {
  if (words == nullptr || !words->per_word() || max_dist == 0) {
    prefix::detail::with_rows(trie, query, max_dist, prefix::detail::RowKind::Automatic, body,
                              measure);
    return;
  }
  if (trie.node_shifts.empty() && trie.child_labels.empty()) return;
  const auto cap = static_cast<std::uint32_t>(max_dist);
  if (query.size() <= WordBitRows<>::kMaxText) {
    const auto run = [&]<std::uint32_t Words, std::uint32_t Totals>() {
      WordBitRows<Words, Totals> rows(query, words->words, cap, measure);
      body(rows);
    };
    // The budgets max_dist="auto" gives: one edit a word, up to three in all.
    const auto [levels_of_words, levels_in_all] = WordBitRows<>::levels(words->words, cap);
    if (levels_of_words == 2 && levels_in_all == 2) {
      run.template operator()<2, 2>();
    } else if (levels_of_words == 2 && levels_in_all == 3) {
      run.template operator()<2, 3>();
    } else if (levels_of_words == 2 && levels_in_all == 4) {
      run.template operator()<2, 4>();
    } else {
      run.template operator()<0, 0>();
    }
    return;
  }
  WordRows rows(query, words->words, static_cast<std::uint32_t>(max_dist), measure);
  body(rows);
}

std::vector<Start> fuzzy_starts(const TrieView& trie, const std::u32string& query,
                                std::size_t max_dist, Cancel& cancel, prefix::Distance measure,
                                char32_t stop, const LikelyCut& cut = {},
                                const WordBudget* words = nullptr) {
  std::vector<Start> starts;
  prefix::detail::ResultBudget budget(trie);
  with_budget_rows(trie, query, max_dist, words, measure, [&](auto& rows) {
    // The root, when the whole query is within the bound of the empty prefix.
    const std::uint32_t whole = rows.final_distance(0);
    if (whole != prefix::detail::kNoMatch) starts.push_back({0, whole, {}});
    prefix::detail::walk(
        trie, rows, cancel,
        [&](NodeId child, char32_t label, const std::vector<prefix::detail::Cursor>& above,
            std::uint32_t distance) {
          using prefix::detail::Visit;
          if (stop != U'\0' && label == stop) return Visit::Skip;
          // No start below comes nearer than the least cell of the child's row.
          if (cut.passes(child, rows.least(static_cast<std::uint32_t>(above.size())))) {
            return Visit::Skip;
          }
          if (distance == prefix::detail::kNoMatch || cut.passes(child, distance)) {
            return Visit::Descend;
          }
          std::string spelled = spell(above, label);
          budget.spend(sizeof(Start) + spelled.size());
          starts.push_back({child, distance, std::move(spelled)});
          return Visit::Descend;
        });
  });
  return starts;
}

}  // namespace

std::size_t typo_budget(std::size_t length, bool completing) noexcept {
  constexpr std::size_t kOneEditFrom = 4;
  constexpr std::size_t kTwoEditsFrom = 7;
  if (completing) return length >= kOneEditFrom ? 1 : 0;
  return length >= kTwoEditsFrom ? 2 : length >= kOneEditFrom ? 1 : 0;
}

WordBudget word_budget(std::u32string_view text, bool completing) {
  if (text.find(U' ') == std::u32string_view::npos) {
    const std::size_t edits = typo_budget(text.size(), completing);
    return {{static_cast<std::uint8_t>(edits)}, edits};
  }
  // Each word of a text of several is matched in the context of the others, which keeps a slip
  // in a short word from reaching far: one edit from three code points puts the query meant first
  // after three slips in three words 90 % of the time, against 72 % from four; two edits in one
  // word of a longer text found no more and cost half as much again; a text being typed is held
  // to two in all, which finds as much once typeahead's corrections take the rest, in two thirds
  // of the time (bench/bench_typeahead.py).
  const std::size_t one_edit_from = completing ? 3 : 2;
  WordBudget budget;
  std::size_t sum = 0;
  std::size_t begin = 0;
  for (std::size_t end = 0; end <= text.size(); ++end) {
    if (end < text.size() && text[end] != U' ') continue;
    const std::size_t edits = end - begin >= one_edit_from ? 1 : 0;
    budget.words.push_back(static_cast<std::uint8_t>(edits));
    sum += edits;
    begin = end + 1;
  }
  budget.total = std::min(sum, completing ? WordBudget::kMostWhileTyping : WordBudget::kMostEdits);
  return budget;
}

Count term_count(const TrieView& trie, NodeId node) {
  if (!trie.terminal(node)) return 0;
  const std::uint64_t total = total_of(trie, node);
  std::uint64_t below = 0;
  const prefix::ChildRange range = trie.children(node);
  for (std::size_t p = range.begin; p < range.end; ++p) below += total_of(trie, trie.child(p));
  return below <= total ? total - below : 0;
}

namespace {

// The largest of `own` below `node` (itself included), from its children's, which come after
// it in a tree. A hidden subtree is never searched: its counts must not lead the search or raise
// its cut.
Count largest_below(const TrieView& trie, NodeId node, Count own, std::span<const Count> best) {
  Count largest = own;
  const prefix::ChildRange range = trie.children(node);
  for (std::size_t p = range.begin; p < range.end; ++p) {
    const NodeId child = trie.child(p);
    if (child > node && child < best.size() && trie.label(child) != U'\0') {
      largest = std::max(largest, best[child]);
    }
  }
  return largest;
}

std::size_t children_of(const TrieView& trie, NodeId node) {
  const prefix::ChildRange range = trie.children(node);
  return range.empty() ? 0 : range.end - range.begin;
}

}  // namespace

Counts counts_of(const TrieView& trie, std::vector<Count> own, Cancel cancel) {
  const std::size_t n = trie.node_count();
  if (own.size() != n) {
    throw InternalFault(
        std::to_string(own.size()) + " term counts for " + std::to_string(n) + " nodes",
        SourceLocation::current());
  }
  Counts counts;
  counts.own_store = std::move(own);
  counts.best_store.assign(n, 0);
  for (std::size_t i = n; i-- > 0;) {
    const auto node = static_cast<NodeId>(i);
    cancel.step(1 + children_of(trie, node));
    counts.best_store[i] = largest_below(trie, node, counts.own_store[i], counts.best_store);
  }
  counts.own = counts.own_store;
  counts.best = counts.best_store;
  counts.exact = true;
  return counts;
}

Counts count_terms(const TrieView& trie, Cancel cancel) {
  std::vector<Count> own(trie.node_count());
  for (std::size_t i = 0; i < own.size(); ++i) {
    const auto node = static_cast<NodeId>(i);
    cancel.step(1 + children_of(trie, node));
    own[i] = term_count(trie, node);
  }
  Counts counts = counts_of(trie, std::move(own), cancel);
  counts.exact = false;
  return counts;
}

std::optional<NodeId> disagreement(const TrieView& trie, const Counts& counts, Cancel cancel) {
  const std::size_t n = trie.node_count();
  if (counts.own.size() != n || counts.best.size() != n) return NodeId{0};
  constexpr Count kMost = ~Count{0};
  constexpr Count kTotalMost = std::numeric_limits<std::uint32_t>::max();
  // Everything counted at and below each node, saturated, for the exact counts' sums.
  std::vector<Count> below(counts.exact ? n : 0);
  std::optional<NodeId> first;
  for (std::size_t i = n; i-- > 0;) {
    const auto node = static_cast<NodeId>(i);
    cancel.step(1 + children_of(trie, node));
    const Count own = counts.own[i];
    bool agrees = counts.best[i] == largest_below(trie, node, own, counts.best);
    if (!counts.exact) {
      agrees = agrees && own == term_count(trie, node);
    } else {
      Count sum = own;
      const prefix::ChildRange range = trie.children(node);
      for (std::size_t p = range.begin; p < range.end; ++p) {
        const NodeId child = trie.child(p);
        const Count add = child > node && child < n ? below[child] : 0;
        sum = sum + add < sum ? kMost : sum + add;
      }
      below[i] = sum;
      agrees = agrees && (own == 0 || trie.terminal(node)) &&
               std::min(sum, kTotalMost) == total_of(trie, node);
    }
    if (!agrees) first = node;
  }
  return first;
}

namespace {

// The index as complete() reads it: by node id over the stored arrays and the counts.
// A blocked term is no term to it, and the counts that lead it are those of the terms left.
struct StoredNodes {
  const TrieView& trie;
  const Counts& counts;
  const Blocked* blocked = nullptr;
  Count best(NodeId node) const { return best_below(counts, node, blocked); }
  Count own(NodeId node) const { return checked_at(counts.own, node); }
  bool terminal(NodeId node) const { return node != 0 && answers(trie, node, blocked); }
  NodeId id(NodeId node) const { return node; }
  std::size_t node_count() const { return trie.node_count(); }
  // Calls each(child, label) for the labelled children of `node`; returns how many it looked at.
  template <class Each>
  std::size_t children(NodeId node, Each&& each) const {
    const prefix::ChildRange range = trie.children(node);
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const NodeId child = trie.child(p);
      const char32_t label = trie.label(child);
      if (label != U'\0') each(child, label);
    }
    return range.empty() ? 0 : range.end - range.begin;
  }
};

// The same over CompletionRecords, by record: one run of records holds all a node needs.
struct RecordNodes {
  const CompletionRecords& records;
  const prefix::WalkTable& table;
  std::size_t nodes;  // of the index
  const Blocked* blocked = nullptr;
  Count best(std::uint32_t r) const {
    const Count best = records.at(r).best;
    return blocked == nullptr ? best : blocked->record_best(r, best);
  }
  Count own(std::uint32_t r) const { return records.at(r).own; }
  bool terminal(std::uint32_t r) const {
    return prefix::WalkTable::Node::terminal_of(records.at(r).word) &&
           (blocked == nullptr || !blocked->record_term(r));
  }
  NodeId id(std::uint32_t r) const { return table.id_of(r, nodes); }
  std::size_t node_count() const { return table.ids().size(); }
  template <class Each>
  std::size_t children(std::uint32_t r, Each&& each) const {
    const auto [first, end] = records.children_of(r);
    if (first >= end) return 0;
    for (std::uint32_t c = first; c < end; ++c) {
      each(c, prefix::WalkTable::Node::label_of(records.at(c).word));
    }
    return end - first;
  }
};

// The records that spell `query` exactly, from the root's.
std::vector<Start> exact_record_starts(const RecordNodes& nodes, const std::u32string& query,
                                       std::string_view text, Cancel& cancel) {
  std::vector<std::uint32_t> current = {0};
  std::vector<std::uint32_t> next;
  for (const char32_t ch : query) {
    next.clear();
    for (const std::uint32_t r : current) {
      cancel.step(1 + nodes.children(r, [&](std::uint32_t child, char32_t label) {
        if (label == ch) next.push_back(child);
      }));
    }
    current.swap(next);
    if (current.empty()) break;
  }
  std::vector<Start> starts;
  for (const std::uint32_t r : current) starts.push_back({r, 0, std::string(text)});
  return starts;
}

// How best_first() keeps its entries: with their texts, compared as texts. `likely` orders them
// by likelihood, else by distance.
struct TextEntries {
  using Entry = search::Entry;
  using Worse = search::Worse;
  bool likely = false;
  double priority(double penalty, std::uint32_t distance, Count key) const {
    return likely ? std::log1p(static_cast<double>(key)) - penalty : -static_cast<double>(distance);
  }
  Entry start(Start& start, Count key) {
    return {priority(start.penalty, start.distance, key),
            start.penalty,
            start.distance,
            key,
            false,
            start.node,
            std::move(start.text)};
  }
  Entry child(const Entry& parent, NodeId child, char32_t label, Count key) {
    std::string spelled = parent.text;
    text::append_utf8(spelled, label);
    return {priority(parent.penalty, parent.distance, key),
            parent.penalty,
            parent.distance,
            key,
            false,
            child,
            std::move(spelled)};
  }
  Entry term(const Entry& node, Count count) {
    return {priority(node.penalty, node.distance, count),
            node.penalty,
            node.distance,
            count,
            true,
            node.node,
            node.text};
  }
  std::string text(Entry& entry) { return std::move(entry.text); }
};

// Or, where every child list is sorted by label with no two alike and `rank` numbers the nodes
// in depth-first order, by that rank: depth-first order is the code point order of the texts.
// Entries are then small and plain, and only the answers are spelled, from links that each
// queued entry leaves (its parent's link and its label).
class RankedEntries {
 public:
  struct Entry {
    Count key;
    std::uint32_t rank;
    std::uint32_t node;
    std::uint32_t link;
    std::uint32_t distance;
    bool is_term;
  };
  struct Worse {
    bool operator()(const Entry& a, const Entry& b) const {
      if (a.distance != b.distance) return a.distance > b.distance;
      if (a.key != b.key) return a.key < b.key;
      if (a.rank != b.rank) return a.rank > b.rank;
      return a.is_term < b.is_term;  // a node before its own term: either order is right
    }
  };
  RankedEntries(std::span<const std::uint32_t> rank, std::string_view prefix)
      : rank_(rank), prefix_(prefix) {}
  Entry start(Start& start, Count key) {
    return {key, rank_[start.node], start.node, kNone, start.distance, false};
  }
  Entry child(const Entry& parent, NodeId child, char32_t label, Count key) {
    links_.push_back({parent.link, label});
    return {
        key,  rank_[child], child, static_cast<std::uint32_t>(links_.size() - 1), parent.distance,
        false};
  }
  Entry term(const Entry& node, Count count) {
    Entry entry = node;
    entry.key = count;
    entry.is_term = true;
    return entry;
  }
  std::string text(const Entry& entry) {
    labels_.clear();
    for (std::uint32_t at = entry.link; at != kNone; at = links_[at].parent) {
      labels_.push_back(links_[at].label);
    }
    std::string spelled(prefix_);
    for (auto it = labels_.rbegin(); it != labels_.rend(); ++it) text::append_utf8(spelled, *it);
    return spelled;
  }

 private:
  static constexpr std::uint32_t kNone = 0xFFFF'FFFFu;
  struct Link {
    std::uint32_t parent;
    char32_t label;
  };
  std::span<const std::uint32_t> rank_;
  std::string_view prefix_;
  std::vector<Link> links_;
  std::u32string labels_;
};

template <class Nodes, class Entries>
std::vector<Found> best_first(const Nodes& nodes, Entries& entries, std::vector<Start> starts,
                              std::size_t limit, Cancel& cancel) {
  using Queued = typename Entries::Entry;
  std::vector<Found> out;
  std::priority_queue<Queued, std::vector<Queued>, typename Entries::Worse> queue;
  for (Start& start : starts) queue.push(entries.start(start, nodes.best(start.node)));
  // Several starts can share a subtree: a node opened once has given all its terms at its
  // smallest distance, and a term is reported once.
  const bool shared = starts.size() > 1;
  // From one start, the queue holds disjoint subtrees and terms, each entry standing for a term
  // of its key's count (a node's largest count below is one of its children's or its own, so
  // opening a node keeps its key standing). `floor` is the limit-th largest key that ever stood:
  // that many terms count more than anything below it, so an entry under it is never queued.
  // Several starts may share subtrees, and counts that break the rule (an index read unchecked)
  // show when no child carries the opened node's key: both turn the cut off.
  std::vector<Count> standing;  // the limit largest keys, smallest on top
  bool cutting = !shared;
  const auto stand = [&](Count key) {
    if (standing.size() < limit) {
      standing.push_back(key);
      std::push_heap(standing.begin(), standing.end(), std::greater<>());
    } else if (key > standing.front()) {
      std::pop_heap(standing.begin(), standing.end(), std::greater<>());
      standing.back() = key;
      std::push_heap(standing.begin(), standing.end(), std::greater<>());
    }
  };
  const auto floor = [&] {
    return cutting && standing.size() == limit ? standing.front() : Count{0};
  };
  if (cutting && !starts.empty()) stand(nodes.best(starts.front().node));
  std::unordered_set<NodeId> opened;
  std::unordered_set<NodeId> reported;
  std::size_t opens = 0;
  const std::size_t limit_of_opens = nodes.node_count();
  while (!queue.empty() && out.size() < limit) {
    // Taken out of the queue, not copied: pop() compares only the entries that stay.
    Queued entry = std::move(const_cast<Queued&>(queue.top()));
    queue.pop();
    cancel.step();
    if (entry.is_term) {
      if (shared && !reported.insert(entry.node).second) continue;
      double score = -static_cast<double>(entry.distance);
      if constexpr (requires { entry.priority; }) score = entry.priority;
      out.push_back({entries.text(entry), nodes.id(entry.node), entry.key, entry.distance, score});
      continue;
    }
    if (shared && !opened.insert(entry.node).second) continue;
    // A tree opens each node once from each start; more means nodes listed under several
    // parents or in a cycle (an index read unchecked), where the search might never end.
    if (++opens > limit_of_opens) {
      throw InternalFault("the index is not a tree: a node is listed under more than one parent",
                          SourceLocation::current());
    }
    const bool terminal = nodes.terminal(entry.node);
    if (cutting) {
      // The opened node's key stays standing through one entry that carries it.
      bool carried = false;
      const auto arrive = [&](Count key) {
        if (!carried && key == entry.key) {
          carried = true;
        } else {
          stand(key);
        }
      };
      if (terminal) arrive(nodes.own(entry.node));
      const std::size_t looked =
          nodes.children(entry.node, [&](NodeId child, char32_t) { arrive(nodes.best(child)); });
      cutting = carried || (!terminal && looked == 0 && entry.key == 0);
    }
    const Count least = floor();
    if (terminal) {
      const Count own = nodes.own(entry.node);
      if (own >= least) queue.push(entries.term(entry, own));
    }
    cancel.step(nodes.children(entry.node, [&](NodeId child, char32_t label) {
      const Count best = nodes.best(child);
      if (best >= least) queue.push(entries.child(entry, child, label, best));
    }));
  }
  return out;
}

}  // namespace

std::vector<Found> complete(const TrieView& trie, const Counts& counts, std::string_view prefix,
                            std::size_t max_dist, std::size_t limit, Cancel cancel,
                            const CompletionRecords* records, prefix::Distance distance,
                            Order order, char32_t stop, const WordBudget* words,
                            const Blocked* blocked) {
  if (limit == 0 || trie.node_count() == 0) return {};
  const std::u32string query = text::decode_utf8(prefix);
  if (stop != U'\0' && query.find(stop) != std::u32string::npos) return {};
  if (max_dist == 0 && records != nullptr && trie.walk_table != nullptr) {
    const RecordNodes nodes{*records, *trie.walk_table, trie.node_count(), blocked};
    std::vector<Start> starts = exact_record_starts(nodes, query, prefix, cancel);
    if (!records->ranks().empty()) {
      RankedEntries entries(records->ranks(), prefix);
      return best_first(nodes, entries, std::move(starts), limit, cancel);
    }
    TextEntries entries;
    return best_first(nodes, entries, std::move(starts), limit, cancel);
  }
  const bool likely = order == Order::Likely && max_dist > 0;
  LikelyCut cut;
  if (likely) {
    // The completions that start with the text itself are answers too, at no typo cost: once
    // they fill the limit, the last of them is a floor that passes most of the trie by.
    const std::vector<Found> exact = complete(trie, counts, prefix, 0, limit, cancel, records,
                                              distance, order, stop, nullptr, blocked);
    if (exact.size() == limit) {
      const TypoModel& model = default_typo_model();
      cut = {&counts, std::log1p(static_cast<double>(exact.back().count)),
             model.per_edit * model.cheapest() * (distance == prefix::Distance::Osa ? 1.0 : 0.5),
             blocked};
    }
  }
  std::vector<Start> starts =
      max_dist == 0 ? exact_starts(trie, query, prefix, cancel)
                    : fuzzy_starts(trie, query, max_dist, cancel, distance, stop, cut, words);
  TextEntries entries;
  entries.likely = likely;
  if (entries.likely) {
    const TypoModel& model = default_typo_model();
    for (Start& start : starts) {
      cancel.step();
      const std::u32string meant = text::decode_utf8(start.text);
      start.penalty = model.per_edit * modelled_cost(query, meant, start.distance, model);
    }
  }
  return best_first(StoredNodes{trie, counts, blocked}, entries, std::move(starts), limit, cancel);
}

CompletionRecords::CompletionRecords(const prefix::WalkTable& table, const Counts& counts,
                                     Cancel& cancel) {
  const auto nodes = table.nodes();
  const auto ids = table.ids();
  record_store_.reserve(nodes.size());
  for (std::size_t r = 0; r < ids.size(); ++r) {
    cancel.step();
    const NodeId node = ids[r];
    record_store_.push_back({nodes[r].word, nodes[r].first, checked_at(counts.best, node),
                             checked_at(counts.own, node)});
  }
  record_store_.push_back({0, nodes.back().first, 0, 0});
  records_ = record_store_;
  rank(cancel);
}

namespace {

// Calls each(record, rank) in depth-first order, the ranks counting up from 0, if every child
// list of `records` (whose lists lie after their parents, as a checked walk table's do) is sorted
// by label with no two alike; returns whether it did.
template <class Each>
bool depth_first(std::span<const CompletionRecords::Record> records, Cancel& cancel, Each&& each) {
  const std::size_t size = records.size() - 1;
  const auto label = [&](std::uint32_t r) {
    return prefix::WalkTable::Node::label_of(records[r].word);
  };
  for (std::size_t r = 0; r < size; ++r) {
    for (std::uint32_t c = records[r].first + 1; c < records[r + 1].first; ++c) {
      if (label(c - 1) >= label(c)) return false;
    }
  }
  std::vector<std::uint32_t> open{0};  // the next to number on top
  std::uint32_t next = 0;
  while (!open.empty()) {
    const std::uint32_t r = open.back();
    open.pop_back();
    cancel.step();
    if (!each(r, next++)) return false;
    for (std::uint32_t c = records[r + 1].first; c > records[r].first; --c) open.push_back(c - 1);
  }
  return true;
}

}  // namespace

void CompletionRecords::rank(Cancel& cancel) {
  std::vector<std::uint32_t> ranks(records_.size() - 1, 0);
  if (!depth_first(records_, cancel, [&](std::uint32_t r, std::uint32_t rank) {
        ranks[r] = rank;
        return true;
      })) {
    return;
  }
  rank_store_ = std::move(ranks);
  ranks_ = rank_store_;
}

std::optional<CompletionRecords> CompletionRecords::over(std::span<const Record> records,
                                                         std::span<const std::uint32_t> ranks,
                                                         const prefix::WalkTable& table) {
  if (records.size() != table.nodes().size() ||
      (!ranks.empty() && ranks.size() != table.ids().size())) {
    return std::nullopt;
  }
  CompletionRecords kept;
  kept.records_ = records;
  kept.ranks_ = ranks;
  return kept;
}

bool CompletionRecords::describe(const prefix::WalkTable& table, const Counts& counts,
                                 Cancel& cancel) const {
  const auto nodes = table.nodes();
  const auto ids = table.ids();
  if (records_.size() != nodes.size()) return false;
  for (std::size_t r = 0; r < ids.size(); ++r) {
    cancel.step();
    const Record& record = records_[r];
    const NodeId node = ids[r];
    if (record.word != nodes[r].word || record.first != nodes[r].first ||
        record.best != checked_at(counts.best, node) ||
        record.own != checked_at(counts.own, node)) {
      return false;
    }
  }
  const Record& last = records_.back();
  if (last.word != 0 || last.first != nodes.back().first || last.best != 0 || last.own != 0) {
    return false;
  }
  bool ranked = true;
  const bool sorted = depth_first(records_, cancel, [&](std::uint32_t r, std::uint32_t rank) {
    ranked = !ranks_.empty() && ranks_[r] == rank;
    return ranked;
  });
  return sorted ? ranked : ranks_.empty();
}

std::pair<std::uint32_t, std::uint32_t> CompletionRecords::children_of(std::uint32_t r) const {
  const std::uint32_t first = records_[r].first;
  const std::uint32_t end = records_[r + 1].first;
  if (first < end && (first <= r || end >= records_.size())) {
    throw InternalFault("completion record " + std::to_string(r) + " lists children at [" +
                            std::to_string(first) + ", " + std::to_string(end) + ") of " +
                            std::to_string(records_.size() - 1) + " records",
                        SourceLocation::current());
  }
  return {first, end};
}

namespace {

// suggest() in the order of likelihood: one walk within the bound, keeping the `limit` likeliest
// terms, worst on top. No term below a node scores more than its largest count less the cheapest
// cost of the least edits any of them can be from the query, and no term more than its count
// less the cheapest cost of its own edits: both pass by what cannot beat the worst kept before
// its text is spelled or its cost computed. Only terms that score above `floor` are kept, and what
// cannot is passed by alike.
std::vector<Found> suggest_likely(const TrieView& trie, const Counts& counts,
                                  const std::u32string& query, std::size_t bound, std::size_t limit,
                                  Cancel& cancel, prefix::Distance measure, const WordBudget* words,
                                  double floor, const Blocked* blocked) {
  const TypoModel& model = default_typo_model();
  // Each unit edit costs at least the cheapest weight; a Levenshtein distance may count a swap
  // as two edits where the model charges one.
  const double cheapest = model.cheapest() * (measure == prefix::Distance::Osa ? 1.0 : 0.5);
  // With a floor, the text is a term, which the floor leaves out: every term kept is an edit
  // away at least.
  const std::uint32_t fewest = std::isfinite(floor) ? 1 : 0;
  double counted_bar = std::numeric_limits<double>::quiet_NaN();
  double least_count = 0.0;
  struct Scored {
    double score;
    Found found;
  };
  const auto worse_kept = [](const Scored& a, const Scored& b) {
    if (a.score != b.score) return a.score > b.score;
    return better(a.found, b.found);
  };
  std::vector<Scored> kept;
  prefix::detail::ResultBudget budget(trie);
  std::u32string meant;
  with_budget_rows(trie, query, bound, words, measure, [&](auto& rows) {
    prefix::detail::walk(
        trie, rows, cancel,
        [&](NodeId child, char32_t label, const std::vector<prefix::detail::Cursor>& above,
            std::uint32_t distance) {
          using prefix::detail::Visit;
          const bool full = kept.size() == limit;
          // No term below comes nearer than the least cell of the child's row, nor counts
          // more than its largest count.
          const double most = likelihood(
              best_below(counts, child, blocked),
              cheapest * std::max(fewest, rows.least(static_cast<std::uint32_t>(above.size()))),
              model);
          if (most <= floor || (full && most < kept.front().score)) return Visit::Skip;
          if (distance == prefix::detail::kNoMatch || !answers(trie, child, blocked)) {
            return Visit::Descend;
          }
          const Count count = checked_at(counts.own, child);
          const double at_most = likelihood(count, cheapest * distance, model);
          if (at_most <= floor || (full && at_most < kept.front().score)) return Visit::Descend;
          meant.clear();
          for (std::size_t level = 1; level < above.size(); ++level) {
            meant.push_back(above[level].label);
          }
          meant.push_back(label);
          Scored scored{likelihood(count, modelled_cost(query, meant, distance, model), model),
                        Found{{}, child, count, distance}};
          if (scored.score <= floor || (full && scored.score < kept.front().score)) {
            return Visit::Descend;
          }
          for (const char32_t ch : meant) text::append_utf8(scored.found.term, ch);
          if (full) {
            if (!worse_kept(scored, kept.front())) return Visit::Descend;
            std::pop_heap(kept.begin(), kept.end(), worse_kept);
            kept.pop_back();
          }
          budget.spend(sizeof(Scored) + scored.found.term.size());
          kept.push_back(std::move(scored));
          std::push_heap(kept.begin(), kept.end(), worse_kept);
          return Visit::Descend;
        },
        // No term below scores more than its largest count at the fewest edits: a subtree that
        // cannot beat the floor or the worst kept is passed by on its count alone, compared with
        // the least count that could (a little under it, so that rounding never loses one).
        [&](NodeId child) {
          const double bar = kept.size() < limit ? floor : std::max(floor, kept.front().score);
          if (bar != counted_bar) {
            counted_bar = bar;
            least_count = std::expm1(bar + model.per_edit * cheapest * fewest) * (1 - 1e-9) - 1;
          }
          return !(static_cast<double>(best_below(counts, child, blocked)) < least_count);
        });
  });
  std::sort_heap(kept.begin(), kept.end(), worse_kept);
  std::vector<Found> out;
  out.reserve(kept.size());
  for (Scored& scored : kept) out.push_back(std::move(scored.found));
  return out;
}

}  // namespace

std::vector<Found> suggest(const TrieView& trie, const Counts& counts, std::string_view text,
                           std::size_t max_dist, std::size_t limit, Cancel cancel,
                           prefix::Distance measure, Order order, const WordBudget* words,
                           const Blocked* blocked) {
  std::vector<Found> out;
  if (limit == 0) return out;
  if (order == Order::Likely) {
    const std::u32string query = text::decode_utf8(text);
    const std::size_t bound = std::min(max_dist, prefix::detail::kLargestBound);
    const std::optional<NodeId> typed = prefix::find_term(trie, query);
    if (!typed || *typed >= counts.own.size()) {
      return suggest_likely(trie, counts, query, bound, limit, cancel, measure, words,
                            -std::numeric_limits<double>::infinity(), blocked);
    }
    // A term typed as it is was most likely meant so: it comes first unless another is likelier
    // by more than kTypedMargin, and the walk looks for those alone, which a count bound that
    // high passes by nearly all of the index for.
    const TypoModel& model = default_typo_model();
    const Count own = counts.own[*typed];
    const double typed_score = likelihood(own, 0.0, model);
    out = suggest_likely(trie, counts, query, bound, limit, cancel, measure, words,
                         typed_score + kTypedMargin, blocked);
    if (out.size() < limit && (blocked == nullptr || !blocked->term(*typed))) {
      out.push_back({std::string(text), *typed, own, 0, typed_score});
    }
    return out;
  }
  const std::u32string query = text::decode_utf8(text);
  const std::size_t bound = std::min(max_dist, prefix::detail::kLargestBound);
  prefix::detail::ResultBudget budget(trie);
  // Walks with growing bounds, each keeping the `need` best of the terms farther than the last
  // walk's bound and within its own, worst on top, and stops once they fill the limit: a term
  // it passes by is farther still, so worse than all. Bounds grow by one while small, where most
  // answers lie, then fourfold, and go straight to `bound` once within a quarter of it: all the
  // walks together cost little more than the last (whose cost grows with its bound), where one
  // walk per distance would cost the cube of a long query's length.
  const auto next_bound = [bound](std::size_t d) {
    if (d < 3) return d + 1;
    return 4 * d > bound / 4 ? bound : 4 * d;
  };
  const auto worse_kept = [](const Found& a, const Found& b) { return better(a, b); };
  std::vector<Found> kept;
  std::size_t done = 0;  // every term within this many edits is in `out`
  for (std::size_t d = 0; out.size() < limit; d = next_bound(d)) {
    const std::size_t need = limit - out.size();
    const std::size_t nearest = d == 0 ? 0 : done + 1;  // the smallest distance still to find
    kept.clear();
    with_budget_rows(trie, query, d, words, measure, [&](auto& rows) {
      prefix::detail::walk(
          trie, rows, cancel,
          [&](NodeId child, char32_t label, const std::vector<prefix::detail::Cursor>& above,
              std::uint32_t distance) {
            using prefix::detail::Visit;
            if (kept.size() == need && kept.front().distance == nearest) {
              // No term below is nearer than the worst kept, and every one spells the child's
              // text and more: none beats it when the child's largest count is below its count,
              // or equal with a later text.
              const Found& worst = kept.front();
              const Count most = best_below(counts, child, blocked);
              if (most < worst.count) return Visit::Skip;
              if (most == worst.count && spell(above, label) > worst.term) return Visit::Skip;
            }
            if (distance > d || distance < nearest || !answers(trie, child, blocked)) {
              return Visit::Descend;
            }
            Found found{{}, child, checked_at(counts.own, child), distance};
            // A smaller count at no smaller distance loses before the term is spelled.
            if (kept.size() == need && found.distance >= kept.front().distance &&
                found.count < kept.front().count) {
              return Visit::Descend;
            }
            found.term = spell(above, label);
            if (kept.size() == need) {
              if (!better(found, kept.front())) return Visit::Descend;
              std::pop_heap(kept.begin(), kept.end(), worse_kept);
              kept.pop_back();
            }
            budget.spend(sizeof(Found) + found.term.size());
            kept.push_back(std::move(found));
            std::push_heap(kept.begin(), kept.end(), worse_kept);
            return Visit::Descend;
          });
    });
    std::sort_heap(kept.begin(), kept.end(), worse_kept);
    std::move(kept.begin(), kept.end(), std::back_inserter(out));
    done = d;
    if (d == bound) break;
  }
  return out;
}

namespace {

// Whether a and b are at most one edit apart, a swap of neighbours counting one.
bool within_one_edit(std::u32string_view a, std::u32string_view b) {
  if (a.size() > b.size()) std::swap(a, b);
  if (b.size() - a.size() > 1) return false;
  std::size_t p = 0;
  while (p < a.size() && a[p] == b[p]) ++p;
  std::size_t s = 0;
  while (s < a.size() - p && a[a.size() - 1 - s] == b[b.size() - 1 - s]) ++s;
  const std::u32string_view x = a.substr(p, a.size() - p - s);
  const std::u32string_view y = b.substr(p, b.size() - p - s);
  return (x.size() <= 1 && y.size() <= 1) ||
         (x.size() == 2 && y.size() == 2 && x[0] == y[1] && x[1] == y[0]);
}

}  // namespace

std::vector<Found> without_slips(std::vector<Found> found, std::size_t limit) {
  std::vector<std::u32string> texts;
  texts.reserve(found.size());
  for (const Found& f : found) texts.push_back(text::decode_utf8(f.term));
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < found.size() && kept.size() < limit; ++i) {
    bool slip = false;
    if (texts[i].size() >= kShortestSlip) {
      for (std::size_t j = 0; j < found.size() && !slip; ++j) {
        slip = j != i && found[j].count > 0 && found[j].count / kSlipRatio >= found[i].count &&
               within_one_edit(texts[i], texts[j]);
      }
    }
    if (!slip) kept.push_back(i);
  }
  std::vector<Found> out;
  out.reserve(kept.size());
  for (const std::size_t i : kept) out.push_back(std::move(found[i]));
  return out;
}

}  // namespace torrelm::search

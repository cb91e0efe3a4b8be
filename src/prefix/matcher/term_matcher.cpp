#include <algorithm>

#include "prefix/matcher/lookup.hpp"
#include "prefix/matcher/walk.hpp"

namespace torrelm::prefix {

namespace {

// Results are charged to the budget in groups, away from the walk's hot path.
constexpr std::size_t kCharged = 1024;

// Charges the last kCharged results: besides the MatchResult and its text, the module makes a
// tuple, a str and an int of each.
[[gnu::noinline]] void charge(detail::ResultBudget& budget,
                              const std::vector<MatchResult>& results) {
  constexpr std::size_t kPythonBytes = 160;
  std::size_t bytes = 0;
  for (std::size_t i = results.size() - kCharged; i < results.size(); ++i) {
    bytes += sizeof(MatchResult) + kPythonBytes + results[i].term.size();
  }
  budget.spend(bytes);
}

// Within no edits only the nodes that spell the query itself match: the walk follows the
// children labelled with the query's next character alone, computing no rows. Same results in
// the same order as the walk (siblings may share a label, so there may be several).
std::vector<MatchResult> exact_matches(const TrieView& trie, const std::u32string& query,
                                       std::optional<std::size_t> limit, Cancel& cancel) {
  std::vector<MatchResult> results;
  if (query.empty() || (trie.node_shifts.empty() && trie.child_labels.empty())) return results;
  std::string spelled;  // every match spells the query
  for (const char32_t ch : query) text::append_utf8(spelled, ch);
  if (trie.walk_table != nullptr && trie.walk_table->sorted()) {
    // No two siblings alike: the one term find_term() finds is the only match.
    if (const auto node = find_term(trie, query)) results.push_back({std::move(spelled), *node, 0});
    return results;
  }
  detail::ResultBudget budget(trie);
  struct Open {
    NodeId node;
    std::size_t depth;
  };
  std::vector<Open> open{{0, 0}};  // the next to expand on top
  while (!open.empty()) {
    const Open at = open.back();
    open.pop_back();
    const ChildRange range = trie.children(at.node);
    cancel.step(1 + (range.empty() ? 0 : range.end - range.begin));
    const char32_t want = query[at.depth];
    const bool last = at.depth + 1 == query.size();
    const std::size_t before = open.size();
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const NodeId child = trie.child(p);
      const char32_t label = trie.label(child);
      if (label == U'\0' || label != want) continue;
      if (!last) {
        open.push_back({child, at.depth + 1});
      } else if (trie.terminal(child)) {
        results.push_back({spelled, child, 0});
        if (results.size() % kCharged == 0) charge(budget, results);
        if (limit && results.size() >= *limit) return results;
      }
    }
    std::reverse(open.begin() + static_cast<std::ptrdiff_t>(before), open.end());
  }
  return results;
}

}  // namespace

std::vector<MatchResult> detail::fuzzy_match(const TrieView& trie, std::string_view term,
                                             std::size_t max_dist, std::optional<std::size_t> limit,
                                             RowKind kind, Cancel cancel) {
  std::vector<MatchResult> results;
  if (limit == std::size_t{0}) return results;
  const std::u32string query = text::decode_utf8(term);
  if (max_dist == 0 && kind == RowKind::Automatic) return exact_matches(trie, query, limit, cancel);
  ResultBudget budget(trie);
  with_rows(trie, query, max_dist, kind, [&](auto& rows) {
    walk(trie, rows, cancel,
         [&](NodeId child, char32_t label, const std::vector<Cursor>& above,
             std::uint32_t distance) {
           if (distance == kNoMatch || !trie.terminal(child)) return false;
           std::string spelled;
           spelled.reserve(above.size());
           for (std::size_t level = 1; level < above.size(); ++level) {
             text::append_utf8(spelled, above[level].label);
           }
           text::append_utf8(spelled, label);
           results.push_back({std::move(spelled), child, distance});
           if (results.size() % kCharged == 0) charge(budget, results);
           return limit && results.size() >= *limit;
         });
  });
  return results;
}

std::vector<MatchResult> fuzzy_match(const TrieView& trie, std::string_view term,
                                     std::size_t max_dist, std::optional<std::size_t> limit,
                                     Cancel cancel) {
  return detail::fuzzy_match(trie, term, max_dist, limit, detail::RowKind::Automatic, cancel);
}

}  // namespace torrelm::prefix

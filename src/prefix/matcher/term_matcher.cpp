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

}  // namespace

std::vector<MatchResult> detail::fuzzy_match(const TrieView& trie, std::string_view term,
                                             std::size_t max_dist, std::optional<std::size_t> limit,
                                             RowKind kind, Cancel cancel) {
  std::vector<MatchResult> results;
  if (limit == std::size_t{0}) return results;
  const std::u32string query = text::decode_utf8(term);
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

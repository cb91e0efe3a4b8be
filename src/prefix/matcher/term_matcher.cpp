#include "prefix/matcher/walk.hpp"

namespace torrelm::prefix {

std::vector<MatchResult> detail::fuzzy_match(const Trie& trie, std::string_view term,
                                             std::size_t max_dist, std::optional<std::size_t> limit,
                                             RowKind kind, Cancel cancel) {
  // Besides the MatchResult and its text, the module makes a tuple, a str and an int of it.
  constexpr std::size_t kPythonBytes = 160;
  std::vector<MatchResult> results;
  if (limit == std::size_t{0}) return results;
  const std::u32string query = text::decode_utf8(term);
  ResultBudget budget(trie);
  with_rows(trie, query, max_dist, kind, [&](auto& rows) {
    walk(trie, rows, cancel,
         [&](NodeId child, char32_t label, const std::vector<Cursor>& above,
             std::uint32_t distance) {
           if (distance == kNoMatch || !trie.terminal(child)) return false;
           budget.spend(sizeof(MatchResult) + kPythonBytes + 4 * above.size());
           std::string spelled;
           spelled.reserve(above.size());
           for (std::size_t level = 1; level < above.size(); ++level) {
             text::append_utf8(spelled, above[level].label);
           }
           text::append_utf8(spelled, label);
           results.push_back({std::move(spelled), child, distance});
           return limit && results.size() >= *limit;
         });
  });
  return results;
}

std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term, std::size_t max_dist,
                                     std::optional<std::size_t> limit, Cancel cancel) {
  return detail::fuzzy_match(trie, term, max_dist, limit, detail::RowKind::Automatic, cancel);
}

}  // namespace torrelm::prefix

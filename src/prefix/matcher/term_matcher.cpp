#include "prefix/matcher/walk.hpp"

namespace torrelm::prefix {

std::vector<MatchResult> detail::fuzzy_match(const Trie& trie, std::string_view term,
                                             std::size_t max_dist, std::optional<std::size_t> limit,
                                             RowKind kind) {
  std::vector<MatchResult> results;
  if (limit == std::size_t{0}) return results;
  const std::u32string query = text::decode_utf8(term);
  with_rows(trie, query, max_dist, kind, [&](auto& rows) {
    walk(trie, rows,
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
           return limit && results.size() >= *limit;
         });
  });
  return results;
}

std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term, std::size_t max_dist,
                                     std::optional<std::size_t> limit) {
  return detail::fuzzy_match(trie, term, max_dist, limit, detail::RowKind::Automatic);
}

}  // namespace torrelm::prefix

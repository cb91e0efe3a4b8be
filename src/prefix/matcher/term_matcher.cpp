#include "prefix/matcher/walk.hpp"

namespace torrelm::prefix {

std::vector<MatchResult> detail::fuzzy_match(const Trie& trie, std::string_view term,
                                             std::size_t max_dist, std::optional<std::size_t> limit,
                                             RowKind kind) {
  std::vector<MatchResult> results;
  if (limit == std::size_t{0}) return results;
  const std::u32string query = text::decode_utf8(term);
  std::u32string path;  // labels from the root down to the node being examined
  with_rows(trie, query, max_dist, kind, [&](auto& rows) {
    walk(trie, rows,
         [&](NodeId child, char32_t label, std::uint32_t depth, std::uint32_t distance) {
           path.resize(depth - 1);
           path.push_back(label);
           if (distance == kNoMatch || !trie.terminal(child)) return false;
           std::string spelled;
           spelled.reserve(path.size());
           for (const char32_t ch : path) text::append_utf8(spelled, ch);
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

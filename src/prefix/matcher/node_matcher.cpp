#include "prefix/matcher/walk.hpp"

namespace torrelm::prefix {

std::vector<NodeMatch> detail::fuzzy_match_nodes(const Trie& trie, std::string_view term,
                                                 std::size_t max_dist, bool terminal_only,
                                                 RowKind kind) {
  std::vector<NodeMatch> results;
  const std::u32string query = text::decode_utf8(term);
  with_rows(trie, query, max_dist, kind, [&](auto& rows) {
    walk(trie, rows, [&](NodeId child, char32_t, const auto&, std::uint32_t distance) {
      if (distance != kNoMatch && (!terminal_only || trie.terminal(child))) {
        results.push_back({child, static_cast<std::uint16_t>(distance)});
      }
      return false;
    });
  });
  return results;
}

std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::string_view term,
                                         std::size_t max_dist, bool terminal_only) {
  return detail::fuzzy_match_nodes(trie, term, max_dist, terminal_only, detail::RowKind::Automatic);
}

}  // namespace torrelm::prefix

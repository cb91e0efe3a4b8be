#include "prefix/matcher/walk.hpp"

namespace torrelm::prefix {

namespace {

std::vector<NodeMatch> match_nodes(const Trie& trie, const std::u32string& query,
                                   std::size_t max_dist, bool terminal_only, detail::RowKind kind) {
  using namespace detail;
  std::vector<NodeMatch> results;
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

}  // namespace

std::vector<NodeMatch> detail::fuzzy_match_nodes(const Trie& trie, std::string_view term,
                                                 std::size_t max_dist, bool terminal_only,
                                                 RowKind kind) {
  return match_nodes(trie, text::decode_utf8(term), max_dist, terminal_only, kind);
}

std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::string_view term,
                                         std::size_t max_dist, bool terminal_only) {
  return fuzzy_match_nodes(trie, text::decode_utf8(term), max_dist, terminal_only);
}

std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, const std::u32string& query,
                                         std::size_t max_dist, bool terminal_only) {
  return match_nodes(trie, query, max_dist, terminal_only, detail::RowKind::Automatic);
}

}  // namespace torrelm::prefix

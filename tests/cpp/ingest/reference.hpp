// A slow, obviously right breadth-first layout for the builder's tests: every prefix of every term
// collected in a set ordered by (length, prefix) and numbered in that order.
#pragma once

#include <cstddef>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "prefix/trie/trie.hpp"

namespace torrelm::test {

struct ReferenceShape {
  prefix::Trie trie;  // every array but the payloads and the id table
  std::map<std::u32string, prefix::NodeId> node_of;  // every prefix, the empty one included
};

inline ReferenceShape reference_shape(const std::set<std::u32string>& terms) {
  std::set<std::pair<std::size_t, std::u32string>> prefixes{{0, U""}};
  for (const auto& term : terms) {
    for (std::size_t d = 1; d <= term.size(); ++d) prefixes.insert({d, term.substr(0, d)});
  }
  ReferenceShape out;
  for (const auto& entry : prefixes) {
    out.node_of.emplace(entry.second, static_cast<prefix::NodeId>(out.node_of.size()));
  }
  std::vector<std::vector<prefix::NodeId>> children(prefixes.size());
  prefix::Trie& trie = out.trie;
  for (const auto& [depth, spelled] : prefixes) {
    trie.child_labels.push_back(depth == 0 ? U'\0' : spelled.back());
    trie.is_terminal.push_back(terms.contains(spelled) ? 1 : 0);
    if (depth > 0) {
      children[out.node_of.at(spelled.substr(0, depth - 1))].push_back(out.node_of.at(spelled));
    }
  }
  for (const auto& list : children) {
    trie.node_shifts.push_back(static_cast<std::uint32_t>(trie.child_transitions.size()));
    trie.child_transitions.insert(trie.child_transitions.end(), list.begin(), list.end());
  }
  return out;
}

// Characters that make the layout's byte handling matter: one to four UTF-8 bytes, neighbours
// that share a lead byte (U+00E8, U+00E9), the edges of each length.
inline constexpr char32_t kAlphabet[] = {U'a',      U'b',          U'\x7f',       U'\u00e8',
                                         U'\u00e9', U'\u07ff',     U'\u0800',     U'\u20ac',
                                         U'\uffff', U'\U00010000', U'\U0001F600', U'\U0010FFFF'};

// A term of 1 to `longest` characters drawn from the first `letters` of kAlphabet: few letters give
// many shared prefixes and terms that are prefixes of others.
inline std::u32string random_term(std::mt19937& rng, std::size_t letters, std::size_t longest) {
  std::uniform_int_distribution<std::size_t> length(1, longest);
  std::uniform_int_distribution<std::size_t> letter(0, letters - 1);
  std::u32string term(length(rng), U'\0');
  for (char32_t& ch : term) ch = kAlphabet[letter(rng)];
  return term;
}

}  // namespace torrelm::test

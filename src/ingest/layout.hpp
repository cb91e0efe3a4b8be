// The breadth-first shape of the trie over a sorted list of distinct terms.
//
// Numbering nodes breadth first, the nodes of each depth in the order of the prefixes they spell,
// is numbering the distinct prefixes of each length in sorted order. In sorted order a term shares
// with the term before it a prefix whose nodes exist already and adds one node at every depth past
// that prefix. So the nodes of one depth are handed out in term order, each term's new nodes hang
// below the node that the latest term reaching the shared depth numbered, and the work is linear in
// the characters: no prefix is ever copied or compared twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/cancel.hpp"
#include "common/expected.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::ingest {

struct Layout {
  std::vector<std::uint32_t> node_shifts;
  std::vector<char32_t> child_labels;
  std::vector<prefix::NodeId> child_transitions;
  std::vector<std::uint8_t> is_terminal;
};

// The layout of `terms` (a term's rank is its place here): non-empty, valid UTF-8 without U+0000,
// distinct, sorted by their bytes (which is code point order). Node 0 is the root, labelled
// U+0000. Fails with a message when the nodes would not fit 32-bit node ids. Counts a step per
// byte on `cancel`.
Expected<Layout, std::string> lay_out(std::span<const std::string_view> terms, Cancel& cancel);

// The ranks of the same `terms` in the order of their term-ending nodes: by length in characters,
// then by rank, since each depth numbers its nodes in term order. Lets payloads be laid out in node
// order before the layout itself. Counts a step per byte on `cancel`.
std::vector<std::uint32_t> terminal_order(std::span<const std::string_view> terms, Cancel& cancel);

}  // namespace torrelm::ingest

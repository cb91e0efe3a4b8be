// The spellings of an index whose terms were normalised (case folded, accents removed): for each
// term that merged several spellings, the one searched most, which completions and suggestions
// show instead of the folded term. One section of a container, read where it lies:
//
//   offset 0            count (u64)
//   offset 8            count node ids (u32, rising), then zero bytes up to a multiple of 8
//   then                the spellings in the same order, as an id table of kind Text
//                       (store/external_ids.hpp)
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/cancel.hpp"
#include "common/expected.hpp"
#include "prefix/trie/trie.hpp"
#include "store/external_ids.hpp"

namespace torrelm::store {

class Spellings {
 public:
  // Reads a section where it lies (aligned for 8 bytes). Always checks the lengths; when
  // `thorough`, also that the nodes rise and that every spelling is UTF-8.
  static Expected<Spellings, ExternalIdError> read(std::span<const std::uint8_t> section,
                                                   bool thorough, Cancel cancel = {});

  // The spelling of `node`'s term, or nullopt when it has none of its own.
  std::optional<std::string_view> of(prefix::NodeId node) const;
  std::size_t size() const noexcept { return nodes_.size(); }
  std::span<const std::uint8_t> section() const noexcept { return section_; }
  std::span<const prefix::NodeId> nodes() const noexcept { return nodes_; }

 private:
  std::span<const std::uint8_t> section_;
  std::span<const prefix::NodeId> nodes_;
  ExternalIds texts_;
};

// The section of (node, spelling) pairs, in any order.
std::vector<std::uint8_t> spellings_section(
    std::vector<std::pair<prefix::NodeId, std::string>> pairs);

// Whether every node of `spellings` ends a term of `trie`. The error names the first that does not.
Expected<bool, ExternalIdError> check_spelled_nodes(const Spellings& spellings,
                                                    const prefix::TrieView& trie);

}  // namespace torrelm::store

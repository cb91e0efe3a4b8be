// PayloadTable: the optional Payload of every node of an index, kept in flat arrays.
//
// A vector per node would cost more than the data it holds, so a finished index keeps all video
// positions in one array and all counts in another, each slot owning a contiguous range:
//
//   slot:         0        1        2 (absent)  3
//   ids_end_:     2        3        3           5
//   video_ids_:  [p0 p1 | p2 | | p3 p4]
//
// Counts normally run parallel to positions and share their ranges. A decoded index may give a
// slot more or fewer counts than positions; only then does counts_end_ hold ranges of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <source_location>
#include <span>
#include <vector>

#include "payload/payload.hpp"

namespace torrelm::payload {

struct PayloadView {
  std::uint32_t total_count;
  std::span<const std::uint32_t> video_ids;
  std::span<const std::uint32_t> video_counts;
};

class PayloadTable {
 public:
  std::size_t size() const noexcept { return present_.size(); }
  std::size_t entry_count() const noexcept { return video_ids_.size(); }

  // Slot `node`, or nullopt when that slot is absent. A node past the end is an internal fault.
  std::optional<PayloadView> at(std::size_t node,
                                std::source_location where = std::source_location::current()) const;
  std::optional<Payload> payload(std::size_t node) const;  // owning copy of at(node)

  void reserve(std::size_t slots, std::size_t entries);
  void push_absent();
  void push(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
            std::span<const std::uint32_t> video_counts);
  void push(const std::optional<Payload>& slot);

  // Heap bytes held, for memory reports.
  std::size_t memory_bytes() const noexcept;

  friend bool operator==(const PayloadTable&, const PayloadTable&) = default;

 private:
  std::vector<std::uint32_t> total_count_;
  std::vector<std::uint8_t> present_;
  std::vector<std::size_t> ids_end_;
  bool parallel_ = true;                 // every slot has as many counts as positions
  std::vector<std::size_t> counts_end_;  // used once a slot is not parallel
  std::vector<std::uint32_t> video_ids_;
  std::vector<std::uint32_t> video_counts_;
};

}  // namespace torrelm::payload

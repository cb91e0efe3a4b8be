// PayloadTable: the optional Payload of every node of an index, kept in flat arrays.
//
// A vector per node would cost more than the data it holds, so a finished index keeps all video
// positions in one array and all counts in another, each present slot owning a contiguous range:
//
//   slot:          0        1        2 (absent)  3
//   presence bit:  1        1        0           1
//   present slot:  0        1                    2
//   ids_end_:      2        3                    5
//   video_ids_:   [p0 p1 | p2 | p3 p4]
//
// Most nodes of an index hold no payload of their own, and a stored index may consist of little
// else, so an absent slot costs two bits: its presence bit and its share of the 64-bit rank kept
// with every word of 64 bits (the number of present slots before that word). at() finds a slot's
// place among the present ones from its word alone, with one population count, or without a look
// at the bitmap when every slot is present, as after propagation. Totals and range ends are kept
// for present slots only.
//
// Counts normally run parallel to positions and share their ranges. A decoded index may give a
// slot more or fewer counts than positions; only then does counts_end_ hold ranges of its own.
// Range ends take 4 bytes each until the entries outgrow 32-bit offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "common/fault.hpp"
#include "payload/payload.hpp"

namespace torrelm::payload {

struct PayloadView {
  std::uint32_t total_count;
  std::span<const std::uint32_t> video_ids;
  std::span<const std::uint32_t> video_counts;
};

// Ascending offsets, 32 bits wide while they fit and 64 bits from the first one that does not.
class Offsets {
 public:
  std::size_t size() const noexcept { return wide_ ? wide_values_.size() : narrow_.size(); }
  std::size_t operator[](std::size_t i) const noexcept {
    return wide_ ? static_cast<std::size_t>(wide_values_[i]) : narrow_[i];
  }
  void reserve(std::size_t n) { wide_ ? wide_values_.reserve(n) : narrow_.reserve(n); }
  void shrink_to_fit() {
    narrow_.shrink_to_fit();
    wide_values_.shrink_to_fit();
  }
  void push_back(std::size_t value) {
    if (!wide_ && value > std::numeric_limits<std::uint32_t>::max()) {
      wide_ = true;
      // The room reserved for the narrow offsets was meant for the wide ones as well.
      wide_values_.reserve(narrow_.capacity());
      wide_values_.assign(narrow_.begin(), narrow_.end());
      narrow_ = {};
    }
    if (wide_) {
      wide_values_.push_back(value);
    } else {
      narrow_.push_back(static_cast<std::uint32_t>(value));
    }
  }
  std::size_t memory_bytes() const noexcept {
    return narrow_.capacity() * sizeof(std::uint32_t) +
           wide_values_.capacity() * sizeof(std::uint64_t);
  }
  friend bool operator==(const Offsets&, const Offsets&) = default;

 private:
  bool wide_ = false;
  std::vector<std::uint32_t> narrow_;
  std::vector<std::uint64_t> wide_values_;
};

class PayloadTable {
 public:
  std::size_t size() const noexcept { return size_; }
  std::size_t present_count() const noexcept { return total_count_.size(); }
  std::size_t entry_count() const noexcept { return video_ids_.size(); }
  // Every slot's positions, and counts, end to end in slot order.
  std::span<const std::uint32_t> all_video_ids() const noexcept { return video_ids_; }
  std::span<const std::uint32_t> all_video_counts() const noexcept { return video_counts_; }

  // Slot `node`, or nullopt when that slot is absent. A node past the end is an internal fault.
  std::optional<PayloadView> at(std::size_t node,
                                SourceLocation where = SourceLocation::current()) const;
  std::optional<Payload> payload(std::size_t node) const;  // owning copy of at(node)

  // Calls each(present, view) for every slot in order; an absent slot has an empty view.
  template <class Each>
  void for_each(Each&& each) const {
    std::size_t present = 0;
    std::size_t ids_begin = 0;
    std::size_t counts_begin = 0;
    for (std::size_t node = 0; node < size_; ++node) {
      if ((words_[node / kWordBits].bits >> (node % kWordBits) & 1) == 0) {
        each(false, PayloadView{0, {}, {}});
        continue;
      }
      const std::size_t ids_end = ids_end_[present];
      const std::size_t counts_end = parallel_ ? ids_end : counts_end_[present];
      each(true, PayloadView{total_count_[present], ids(ids_begin, ids_end),
                             counts(counts_begin, counts_end)});
      ids_begin = ids_end;
      counts_begin = counts_end;
      ++present;
    }
  }

  // A table of lengths.size() slots, all present: slot i has totals[i] and the next lengths[i]
  // entries of `ids` and of `counts` (which must hold exactly as many entries as the lengths add
  // up to). Takes the arrays over instead of copying them.
  static PayloadTable all_present(std::vector<std::uint32_t> totals,
                                  std::span<const std::size_t> lengths,
                                  std::vector<std::uint32_t> ids,
                                  std::vector<std::uint32_t> counts);

  // Room for `slots` slots, all present, holding `entries` positions and as many counts.
  void reserve(std::size_t slots, std::size_t entries);
  // Room for `slots` slots of which `present` are present, holding `ids` positions and `counts`
  // counts in all.
  void reserve(std::size_t slots, std::size_t present, std::size_t ids, std::size_t counts);
  // Gives back whatever room is not in use.
  void shrink_to_fit();

  void push_absent();
  void push(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
            std::span<const std::uint32_t> video_counts);
  void push(const std::optional<Payload>& slot);

  // A present slot filled in place, for readers that learn its lengths as they go:
  // open_slot, then add_ids and add_counts (each returns room for n more entries), close_slot.
  void open_slot(std::uint32_t total_count);
  std::span<std::uint32_t> add_ids(std::size_t n);
  std::span<std::uint32_t> add_counts(std::size_t n);
  void close_slot();

  // Heap bytes held, for memory reports.
  std::size_t memory_bytes() const noexcept;

  friend bool operator==(const PayloadTable&, const PayloadTable&) = default;

 private:
  static constexpr std::size_t kWordBits = 64;

  // 64 slots' presence bits and the number of present slots before the first of them.
  struct PresenceWord {
    std::uint64_t bits = 0;
    std::uint64_t rank = 0;
    friend bool operator==(const PresenceWord&, const PresenceWord&) = default;
  };

  void push_presence(bool present);

  std::span<const std::uint32_t> ids(std::size_t begin, std::size_t end) const noexcept {
    return std::span(video_ids_).subspan(begin, end - begin);
  }
  std::span<const std::uint32_t> counts(std::size_t begin, std::size_t end) const noexcept {
    return std::span(video_counts_).subspan(begin, end - begin);
  }

  std::size_t size_ = 0;
  std::vector<PresenceWord> words_;
  // Indexed by present slot, 0 for the first present one.
  std::vector<std::uint32_t> total_count_;
  Offsets ids_end_;
  bool parallel_ = true;  // every slot has as many counts as positions
  Offsets counts_end_;    // used once a slot is not parallel
  std::vector<std::uint32_t> video_ids_;
  std::vector<std::uint32_t> video_counts_;
};

}  // namespace torrelm::payload

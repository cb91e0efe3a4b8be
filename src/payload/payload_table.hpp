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
#include <utility>
#include <vector>

#include "common/fault.hpp"
#include "payload/payload.hpp"

namespace torrelm::payload {

struct PayloadView {
  std::uint32_t total_count;
  std::span<const std::uint32_t> video_ids;
  std::span<const std::uint32_t> video_counts;
};

inline constexpr std::size_t kSlotsPerWord = 64;

// 64 slots' presence bits (slot i in bit i mod 64) and the number of present slots before the
// first of them. Stored files hold these words as they lie in memory.
struct PresenceWord {
  std::uint64_t bits = 0;
  std::uint64_t rank = 0;
  friend bool operator==(const PresenceWord&, const PresenceWord&) = default;
};

// Ascending offsets as they lie in memory: 4 bytes each, or 8 when `wide`.
struct OffsetsView {
  bool wide = false;
  std::span<const std::uint32_t> narrow;
  std::span<const std::uint64_t> wide_values;
  std::size_t size() const noexcept { return wide ? wide_values.size() : narrow.size(); }
  std::size_t operator[](std::size_t i) const noexcept {
    return wide ? static_cast<std::size_t>(wide_values[i]) : narrow[i];
  }
};

// The arrays of a payload table, wherever they lie: in a PayloadTable's vectors or in a file
// mapped into memory. Everything that reads payloads reads them through here.
//
// A view over a table that passed the file checks or validation is consistent; one that did not
// (a file opened without checks) may not be, so at() still checks every range it hands out, a
// few comparisons against a fault instead of a read outside the arrays.
struct PayloadTableView {
  std::size_t slots = 0;
  std::span<const PresenceWord> words;
  std::span<const std::uint32_t> total_count;  // by present slot
  OffsetsView ids_end;
  bool parallel = true;  // counts share the ranges of positions; counts_end is unused
  OffsetsView counts_end;
  std::span<const std::uint32_t> video_ids;
  std::span<const std::uint32_t> video_counts;

  std::size_t size() const noexcept { return slots; }
  std::size_t present_count() const noexcept { return total_count.size(); }
  std::size_t entry_count() const noexcept { return video_ids.size(); }
  std::span<const std::uint32_t> all_video_ids() const noexcept { return video_ids; }
  std::span<const std::uint32_t> all_video_counts() const noexcept { return video_counts; }

  // Slot `node`, or nullopt when that slot is absent. A node past the end, or a range that does
  // not lie inside its array, is an internal fault.
  std::optional<PayloadView> at(std::size_t node,
                                SourceLocation where = SourceLocation::current()) const;

  // Calls each(present, view) for every slot in order; an absent slot has an empty view. Each
  // slot is read through at(), so that a table read unchecked (ranges that fall, ends past their
  // arrays) is an internal fault here too, never a read outside the arrays.
  template <class Each>
  void for_each(Each&& each, SourceLocation where = SourceLocation::current()) const {
    for (std::size_t node = 0; node < slots; ++node) {
      const std::optional<PayloadView> slot = at(node, where);
      if (slot) {
        each(true, *slot);
      } else {
        each(false, PayloadView{0, {}, {}});
      }
    }
  }

  // Bytes the arrays take.
  std::size_t memory_bytes() const noexcept;
};

// Whether two tables hold the same slots (not whether they share storage).
bool operator==(const PayloadTableView& a, const PayloadTableView& b);

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
  OffsetsView view() const noexcept { return {wide_, narrow_, wide_values_}; }
  friend bool operator==(const Offsets&, const Offsets&) = default;

 private:
  bool wide_ = false;
  std::vector<std::uint32_t> narrow_;
  std::vector<std::uint64_t> wide_values_;
};

class PayloadTable {
 public:
  PayloadTableView view() const noexcept {
    return {size_,      words_,       total_count_, ids_end_.view(), parallel_, counts_end_.view(),
            video_ids_, video_counts_};
  }
  std::size_t size() const noexcept { return size_; }
  std::size_t present_count() const noexcept { return total_count_.size(); }
  std::size_t entry_count() const noexcept { return video_ids_.size(); }
  // Every slot's positions, and counts, end to end in slot order.
  std::span<const std::uint32_t> all_video_ids() const noexcept { return video_ids_; }
  std::span<const std::uint32_t> all_video_counts() const noexcept { return video_counts_; }

  // Slot `node`, or nullopt when that slot is absent. A node past the end is an internal fault.
  std::optional<PayloadView> at(std::size_t node,
                                SourceLocation where = SourceLocation::current()) const {
    return view().at(node, where);
  }
  std::optional<Payload> payload(std::size_t node) const;  // owning copy of at(node)

  template <class Each>
  void for_each(Each&& each) const {
    view().for_each(std::forward<Each>(each));
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
  static constexpr std::size_t kWordBits = kSlotsPerWord;

  void push_presence(bool present);

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

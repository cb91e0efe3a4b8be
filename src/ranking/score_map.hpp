// The score map of the video ranking: weighted counts per video position.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

namespace torrelm::ranking::detail {

// a + b, stopping at the largest size_t: a count of expected entries is only a hint, and where
// size_t is 32 bits wide a sum over shared payloads would otherwise wrap to a tiny one.
constexpr std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
  return b > std::numeric_limits<std::size_t>::max() - a ? std::numeric_limits<std::size_t>::max()
                                                         : a + b;
}

// Weighted counts per video position: open addressing over indexes into a dense entry list. It
// starts at the size the expected entries suggest, capped, and doubles whenever it is half full:
// the expected count is only a hint (payloads listed many times repeat the same positions).
class ScoreMap {
 public:
  struct Entry {
    std::uint32_t position;
    double weighted;
  };

  // Room for this many distinct positions before the first growth.
  static constexpr std::size_t kLargestStart = std::size_t{1} << 16;

  explicit ScoreMap(std::size_t expected) {
    const std::size_t start = std::min(expected, kLargestStart);
    resize_slots(std::bit_width(std::max<std::size_t>(start * 2, 16) - 1));
    entries_.reserve(start);
  }

  void add(std::uint32_t position, double weighted) {
    std::size_t at = home(position);
    while (true) {
      const std::uint32_t slot = slots_[at];
      if (slot == 0) break;
      Entry& entry = entries_[slot - 1];
      if (entry.position == position) {
        entry.weighted += weighted;
        return;
      }
      at = (at + 1) & mask_;
    }
    if (entries_.size() + 1 > slots_.size() / 2) {
      grow();
      at = free_slot(position);
    }
    entries_.push_back({position, weighted});
    slots_[at] = static_cast<std::uint32_t>(entries_.size());
  }

  const std::vector<Entry>& entries() const noexcept { return entries_; }
  std::size_t slot_count() const noexcept { return slots_.size(); }

 private:
  std::size_t home(std::uint32_t position) const noexcept {
    return static_cast<std::size_t>((position * std::uint64_t{0x9E3779B97F4A7C15}) >> (64 - bits_));
  }
  std::size_t free_slot(std::uint32_t position) const noexcept {
    std::size_t at = home(position);
    while (slots_[at] != 0) at = (at + 1) & mask_;
    return at;
  }
  void resize_slots(unsigned bits) {
    // Distinct positions are 32-bit, so 2**33 slots always suffice; a table that large cannot
    // exist on a 32-bit platform, where that is an allocation failure, not a wrapped size.
    if (bits >= std::numeric_limits<std::size_t>::digits - 1) throw std::bad_alloc();
    bits_ = bits;
    slots_.assign(std::size_t{1} << bits_, 0);
    mask_ = slots_.size() - 1;
  }
  void grow() {
    resize_slots(bits_ + 1);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      slots_[free_slot(entries_[i].position)] = static_cast<std::uint32_t>(i + 1);
    }
  }

  unsigned bits_ = 0;
  std::size_t mask_ = 0;
  std::vector<std::uint32_t> slots_;  // 1 + index into entries_, 0 when free
  std::vector<Entry> entries_;
};

}  // namespace torrelm::ranking::detail

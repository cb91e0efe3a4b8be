// The open-addressing maps behind ClickTable, and the hashes that feed them.
//
// A click log repeats a few distinct terms and videos over many rows, so every row is a handful of
// lookups and the maps decide the speed of the whole table. Both maps probe linearly in one flat
// array of small slots, grow by doubling before they are 7/10 full, and never erase.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace torrelm::ingest {

// An allocator for large tables read at random: on Linux it asks for huge pages before the table
// is first written, so that lookups spread over hundreds of megabytes do not each miss the TLB.
// Elsewhere, or where the system says no, it is the plain allocator.
template <class T>
struct TableAllocator {
  using value_type = T;
  TableAllocator() = default;
  template <class U>
  TableAllocator(const TableAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    T* p = std::allocator<T>().allocate(n);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + kHuge - 1) & ~std::uintptr_t{kHuge - 1};
    const std::uintptr_t end = begin + n * sizeof(T);
    if (end > first + kHuge) {
      (void)madvise(reinterpret_cast<void*>(first), (end - first) & ~std::uintptr_t{kHuge - 1},
                    MADV_HUGEPAGE);
    }
#endif
    return p;
  }
  void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>().deallocate(p, n); }
  friend bool operator==(const TableAllocator&, const TableAllocator&) = default;
};

// A hash of `bytes`, eight of them per multiply: terms run from a few bytes to megabytes.
inline std::uint64_t hash_bytes(std::string_view bytes) noexcept {
  constexpr std::uint64_t kOdd = 0x9E37'79B9'7F4A'7C15;
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  std::uint64_t h = kOdd ^ left;
  for (; left >= 8; left -= 8, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * kOdd;
    h ^= h >> 29;
  }
  std::uint64_t tail = 0;
  if (left != 0) std::memcpy(&tail, p, left);
  h = (h ^ tail) * 0xBF58'476D'1CE4'E5B9;
  h ^= h >> 31;
  h *= 0x94D0'49BB'1331'11EB;
  return h ^ (h >> 29);
}

// A bijection on 32-bit values that spreads neighbouring ids over the whole range: equal hashes
// mean equal ids, so a map keyed by it never compares the ids themselves.
constexpr std::uint32_t mix32(std::uint32_t x) noexcept {
  x ^= x >> 16;
  x *= 0x85EB'CA6Bu;
  x ^= x >> 13;
  x *= 0xC2B2'AE35u;
  return x ^ (x >> 16);
}

// Dense ids (0, 1, 2, ... in order of insertion) of keys kept by the caller, found by a 32-bit
// hash of the key. A slot holds the hash, the id plus one (0: empty) and a reference of the
// caller's choosing (where the key is kept), so that a key is read only when the hashes agree, from
// where the slot points, and growing never reads a key at all.
class IdMap {
 public:
  static constexpr std::uint32_t kAbsent = 0xFFFF'FFFF;

  struct Slot {
    std::uint64_t ref;
    std::uint32_t hash;
    std::uint32_t id_plus_one;
  };

  // Where `hash` was found (with its id and reference) or would go (id kAbsent).
  struct Probe {
    std::size_t slot;
    std::uint32_t id;
    std::uint64_t ref;
  };

  // Makes room for one more id, so that the slot of a following find() can be filled.
  void reserve_one() {
    if ((size_ + 1) * 10 > slots_.size() * 7) grow();
  }

  // The id whose key hashes to `hash` and for which same(ref, id) holds. Requires reserve_one()
  // first when the result may be put().
  template <class Same>
  Probe find(std::uint32_t hash, Same&& same) const {
    if (slots_.empty()) return {0, kAbsent, 0};
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const Slot& held = slots_[slot];
      if (held.id_plus_one == 0) return {slot, kAbsent, 0};
      if (held.hash == hash && same(held.ref, held.id_plus_one - 1)) {
        return {slot, held.id_plus_one - 1, held.ref};
      }
    }
  }

  // Fills the empty slot that find() reported for `hash`.
  void put(const Probe& probe, std::uint32_t hash, std::uint32_t id, std::uint64_t ref) {
    slots_[probe.slot] = {ref, hash, id + 1};
    ++size_;
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t memory_bytes() const noexcept { return slots_.capacity() * sizeof(Slot); }

 private:
  void grow() {
    std::vector<Slot, TableAllocator<Slot>> old(slots_.empty() ? 16 : slots_.size() * 2,
                                                Slot{0, 0, 0});
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& held : old) {
      if (held.id_plus_one == 0) continue;
      std::size_t slot = held.hash & mask;
      while (slots_[slot].id_plus_one != 0) slot = (slot + 1) & mask;
      slots_[slot] = held;
    }
  }

  std::vector<Slot, TableAllocator<Slot>> slots_;
  std::size_t size_ = 0;
};

// Summed counts keyed by a 64-bit key (ClickTable's term id << 32 | video position). All ones is
// no key: no term id reaches 2**32-1.
class SumMap {
 public:
  struct Slot {
    std::uint64_t key;
    std::uint64_t sum;
  };
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

  // Adds `count` to the sum of `key` (0 when absent), stopping at 2**64-1. True when `key` is new.
  bool add(std::uint64_t key, std::uint64_t count) {
    if ((size_ + 1) * 10 > slots_.size() * 7) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = spread(key) & mask;; slot = (slot + 1) & mask) {
      Slot& held = slots_[slot];
      if (held.key == key) {
        held.sum = held.sum + count < held.sum ? ~std::uint64_t{0} : held.sum + count;
        return false;
      }
      if (held.key == kEmpty) {
        held = {key, count};
        ++size_;
        return true;
      }
    }
  }

  // Calls each(key, sum) for every key, in no particular order.
  template <class Each>
  void for_each(Each&& each) const {
    for (const Slot& held : slots_) {
      if (held.key != kEmpty) each(held.key, held.sum);
    }
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t memory_bytes() const noexcept { return slots_.capacity() * sizeof(Slot); }

 private:
  static std::size_t spread(std::uint64_t key) noexcept {
    key ^= key >> 33;
    key *= 0xFF51'AFD7'ED55'8CCD;
    key ^= key >> 33;
    return static_cast<std::size_t>(key);
  }

  void grow() {
    std::vector<Slot, TableAllocator<Slot>> old(slots_.empty() ? 16 : slots_.size() * 2,
                                                Slot{kEmpty, 0});
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& held : old) {
      if (held.key == kEmpty) continue;
      std::size_t slot = spread(held.key) & mask;
      while (slots_[slot].key != kEmpty) slot = (slot + 1) & mask;
      slots_[slot] = held;
    }
  }

  std::vector<Slot, TableAllocator<Slot>> slots_;
  std::size_t size_ = 0;
};

}  // namespace torrelm::ingest

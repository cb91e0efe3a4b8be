// Edit-distance rows for the trie walk. Row d holds, for every query prefix of j code points
// (j = 0 .. m), the distance to the d-character prefix the walk stands on; row d + 1 follows
// from row d and the next label by
//   cell 0 = d + 1,  cell j = min(left + 1, up + 1, diagonal + (query[j-1] != label)).
// Both kinds keep one row per depth of the current path and know only whether a cell is within
// the bound k: cells above k are all alike to the walk.
//
// With Distance::Osa (optimal string alignment) a swap of two neighbouring characters is one
// edit: cell j of row d + 1 may also come from cell j - 2 of row d - 1 plus one, when the label
// at depth d + 1 is query[j-2] and the one at depth d is query[j-1]. The rows of the current
// path's ancestors are all kept, so the walk needs nothing else. A row whose minimum exceeds k
// still ends the path: a swap from row d - 1 passes a cell of row d within its cost.
//
// BitParallelRows (m <= 64): level e of a row is a word whose bit j-1 says "cell j <= e", for
// e = 0 .. k, so a row costs k + 1 word operations whatever m is; its minimum is within the
// bound exactly when level k is not empty (or cell 0, which the words leave out, is).
//
// BandedRows (any m): only cells within k of the diagonal (|j - d| <= k) can be within the
// bound, so a row keeps those alone, clamped at k + 1.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "prefix/matcher/distance.hpp"

namespace torrelm::prefix::detail {

inline constexpr std::uint32_t kNoMatch = 0xFFFF'FFFFu;

// The bit that stands for `ch` in a 32-bit set of characters: its low five bits, so that Latin
// and Cyrillic small letters each get bits of their own.
constexpr std::uint32_t char_bit(char32_t ch) noexcept { return 1u << (ch & 31); }

// For every code point of the query, the word of the positions where it occurs. ASCII and each
// other code point of the query whose low byte no other one shares are read with one load; the
// rest go through a small hash table.
class CharMasks {
 public:
  explicit CharMasks(const std::u32string& query) {
    for (const char32_t ch : query) wide_ |= ch >= kAscii;
    if (wide_) {
      for (std::size_t i = 0; i < kDirect; ++i) direct_[i].key = ~static_cast<char32_t>(i);
    }
    for (std::size_t j = 0; j < query.size(); ++j) *slot(query[j]) |= std::uint64_t{1} << j;
  }
  std::uint64_t operator[](char32_t ch) const noexcept {
    if (ch < kAscii) return ascii_[ch];
    if (!wide_) return 0;
    const Direct& direct = direct_[ch % kDirect];
    if (direct.key == ch) return direct.mask;
    return shared_ ? probe(ch) : 0;
  }

 private:
  static constexpr std::size_t kAscii = 128;
  static constexpr std::size_t kDirect = 256;  // keyed by the low byte; no key has its slot's ~
  static constexpr std::size_t kSlots = 128;   // at most 64 distinct code points: half full
  struct Direct {
    char32_t key;
    std::uint64_t mask;
  };
  static std::size_t hash(char32_t ch) noexcept { return (ch * 0x9E3779B1u) >> 25; }
  std::uint64_t probe(char32_t ch) const noexcept {
    for (std::size_t i = hash(ch);; i = (i + 1) % kSlots) {
      if (keys_[i] == ch) return masks_[i];
      if (keys_[i] == 0) return 0;
    }
  }
  std::uint64_t* slot(char32_t ch) {
    if (ch < kAscii) return &ascii_[ch];
    Direct& direct = direct_[ch % kDirect];
    if (direct.key == ch) return &direct.mask;
    if (direct.key == ~static_cast<char32_t>(ch % kDirect)) {
      direct = {ch, 0};
      return &direct.mask;
    }
    shared_ = true;
    std::size_t i = hash(ch);
    while (keys_[i] != 0 && keys_[i] != ch) i = (i + 1) % kSlots;
    keys_[i] = ch;
    return &masks_[i];
  }
  bool wide_ = false;    // some code point is not ASCII
  bool shared_ = false;  // some code point is in the hash table
  std::array<std::uint64_t, kAscii> ascii_{};
  std::array<Direct, kDirect> direct_;
  std::array<char32_t, kSlots> keys_{};
  std::array<std::uint64_t, kSlots> masks_{};
};

// Fixed >= 0 fixes the bound at compile time, so that the small bounds of everyday queries get
// fully unrolled levels; Fixed < 0 takes it at run time. Osa adds swaps of neighbours.
template <int Fixed = -1, bool Osa = false>
class BitParallelRows {
 public:
  static constexpr std::size_t kMaxQuery = 64;

  BitParallelRows(const std::u32string& query, std::uint32_t k)
      : masks_(query),
        query_(query),
        m_(static_cast<std::uint32_t>(query.size())),
        k_(Fixed >= 0 ? static_cast<std::uint32_t>(Fixed) : k),
        width_(m_ == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << m_) - 1),
        rows_(Fixed >= 0 ? 0 : (std::size_t{m_} + k + 2) * (std::size_t{k} + 1)),
        labels_(Osa && Fixed < 0 ? std::size_t{m_} + k + 2 : 0) {
    // The walk never goes deeper than m + k + 1: every cell of a deeper row exceeds k.
    for (std::uint32_t e = 0; e <= k; ++e) {
      data()[e] = (e >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << e) - 1) & width_;
    }
    for (std::size_t j = 0; j < query.size(); ++j) {
      const auto bit = static_cast<std::uint8_t>(query[j] & 31);
      std::uint32_t i = 0;
      while (i < distinct_ && bits_[i] != bit) ++i;
      if (i == distinct_) {
        bits_[distinct_++] = bit;
        positions_[i] = 0;
      }
      positions_[i] |= std::uint64_t{1} << j;
      all_bits_ |= char_bit(query[j]);
    }
  }

  // Work of one advance, in the walk's steps: a word a level, so that a large bound still looks
  // at its Cancel every few milliseconds.
  std::size_t step_cost() const noexcept { return 1 + bound() / 8; }

  // Computes row d + 1 for label `ch`; false when its minimum exceeds k.
  bool advance(std::uint32_t d, char32_t ch) {
    const std::size_t levels = std::size_t{bound()} + 1;
    std::uint64_t* next = data() + (std::size_t{d} + 1) * levels;
    const std::uint64_t match = masks_[ch];
    step(data() + std::size_t{d} * levels, d, match, next);
    if constexpr (Osa) {
      label_masks()[d + 1] = match;
      if (d > 0) swap(data() + (std::size_t{d} - 1) * levels, d, match, next);
    }
    return next[bound()] != 0 || d + 1 <= bound();
  }

  // Where row d has no edit to spare (no cell within k - 1, cell 0 included), a child survives
  // only by matching the query: the positions i whose character lets it (bit i). Else all ones.
  std::uint64_t wanted(std::uint32_t d) const noexcept {
    const std::uint32_t k = bound();
    const std::uint64_t* row = data() + std::size_t{d} * (std::size_t{k} + 1);
    if (k > 0 && (d + 1 <= k || row[k - 1] != 0)) return ~std::uint64_t{0};
    return ((row[k] << 1) | std::uint64_t{d <= k}) & width_;
  }
  char32_t query_char(std::size_t i) const noexcept { return query_[i]; }

  // The smallest cell of row d (k + 1 when none is within k): no node below the one of row d
  // comes nearer the query than this.
  std::uint32_t least(std::uint32_t d) const noexcept {
    const std::uint32_t k = bound();
    const std::uint64_t* row = data() + std::size_t{d} * (std::size_t{k} + 1);
    for (std::uint32_t e = 0; e <= k; ++e) {
      if (row[e] != 0 || d <= e) return e;
    }
    return k + 1;
  }

  // Cell m of row d when within k, else kNoMatch.
  std::uint32_t final_distance(std::uint32_t d) const noexcept {
    const std::uint32_t k = bound();
    if (m_ == 0) return d <= k ? d : kNoMatch;
    const std::uint64_t* row = data() + std::size_t{d} * (std::size_t{k} + 1);
    const std::uint64_t last = std::uint64_t{1} << (m_ - 1);
    if ((row[k] & last) == 0) return kNoMatch;
    std::uint32_t e = 0;
    while ((row[e] & last) == 0) ++e;
    return e;
  }

  // Whether some node below the one of row d can come within k of the whole query, when those
  // nodes lie at most `height` levels lower and spell only characters of the set `below` (of
  // char_bit()s). A cell j within e leaves the query's characters from j on for at most k - e
  // edits: each one missing from `below` costs one, and so does each beyond `height`.
  bool reaches(std::uint32_t d, std::uint32_t height, std::uint32_t below) const noexcept {
    const std::uint32_t k = bound();
    const std::int64_t from = std::int64_t{m_} - height - k;  // the length bound within 0
    const std::uint64_t* row = data() + std::size_t{d} * (std::size_t{k} + 1);
    // Nothing missing is the common case near the root: the lengths alone bound it. (The loop
    // below gives the same answer then, but this shortcut measured 5 to 10 % faster walks.)
    if ((below & all_bits_) == all_bits_) {
      if (d <= k && from + d <= 0) return true;  // cell 0, which is d
      for (std::uint32_t e = 0; e <= k; ++e) {
        const std::int64_t bit = from + e - 1;  // cell j is bit j - 1
        if (bit <= 0 ? row[e] != 0 : bit < 64 && (row[e] >> bit) != 0) return true;
      }
      return false;
    }
    // The query positions whose character is missing below.
    std::uint64_t present = 0;
    for (std::uint32_t i = 0; i < distinct_; ++i) {
      present |= positions_[i] & (std::uint64_t{0} - ((below >> bits_[i]) & 1));
    }
    std::uint64_t missing = ~present & width_;
    // Level e = k - r may keep at most r missing characters after its cell: the cell must lie past
    // the (r + 1)-th last missing position. r grows as e falls, so the missing positions are
    // taken off from the last one by one. With swaps too: an alignment that passes this row by,
    // swapping query[j-1..j] (0-based) with this node's label and the next, costs at least
    // cell j + 1 of this row (where query[j] meets this label), and leaves only the characters
    // after it to the nodes below, as the bound assumes.
    for (std::uint32_t r = 0; r <= k; ++r) {
      const std::uint32_t e = k - r;
      std::int64_t after = 0;  // cells from here on leave at most r missing characters
      if (missing != 0) {
        const int last = 63 - std::countl_zero(missing);
        after = last + 1;
        missing &= ~(std::uint64_t{1} << last);
      }
      const std::int64_t lo = std::max(after, from + e);  // the smallest cell j that may do
      if (e == d && lo <= 0) return true;                 // cell 0, which is d
      const std::int64_t bit = lo - 1;                    // cell j is bit j - 1
      if (bit <= 0 ? row[e] != 0 : bit < 64 && (row[e] >> bit) != 0) return true;
    }
    return false;
  }

 private:
  std::uint32_t bound() const noexcept {
    if constexpr (Fixed >= 0) return static_cast<std::uint32_t>(Fixed);
    return k_;
  }
  // Row d + 1 from row d (`prev`) and the positions of the label in the query.
  void step(const std::uint64_t* prev, std::uint32_t d, std::uint64_t match,
            std::uint64_t* next) const noexcept {
    const std::uint32_t k = bound();
    // z(e, d): cell 0 of row d (which is d) is within e.
    std::uint64_t below = ((prev[0] << 1) | (d == 0)) & match & width_;
    next[0] = below;
    for (std::uint32_t e = 1; e <= k; ++e) {
      const std::uint64_t lower = prev[e - 1];
      const std::uint64_t z_lower = d <= e - 1;
      const std::uint64_t z_lower_next = d + 1 <= e - 1;
      const std::uint64_t row = (((prev[e] << 1) | (d <= e)) & match)  // diagonal, equal labels
                                | (lower << 1) | z_lower               // substitution
                                | lower                                // up
                                | (below << 1) | z_lower_next;         // left
      below = row & width_;
      next[e] = below;
    }
  }
  // Row d + 1 takes the swaps from row d - 1 (`above`): cell j within e when cell j - 2 of row
  // d - 1 is within e - 1, the label is query[j-2] and row d's label is query[j-1].
  void swap(const std::uint64_t* above, std::uint32_t d, std::uint64_t match,
            std::uint64_t* next) const noexcept {
    const std::uint32_t k = bound();
    const std::uint64_t pair = (match << 1) & label_masks()[d];
    if (pair == 0) return;
    for (std::uint32_t e = 1; e <= k; ++e) {
      const std::uint64_t swapped = ((above[e - 1] << 2) | (std::uint64_t{d <= e} << 1)) & pair;
      // What a swap added to level e - 1 holds at level e too, and one cell to its right.
      next[e] |= (swapped | next[e - 1] | (next[e - 1] << 1)) & width_;
    }
  }
  // A fixed bound keeps its rows in place, so that a query allocates none.
  static constexpr std::size_t kFixedWords =
      Fixed >= 0 ? (kMaxQuery + Fixed + 2) * (static_cast<std::size_t>(Fixed) + 1) : 1;
  static constexpr std::size_t kFixedLabels = Osa && Fixed >= 0 ? kMaxQuery + Fixed + 2 : 1;
  std::uint64_t* data() noexcept { return Fixed >= 0 ? fixed_.data() : rows_.data(); }
  const std::uint64_t* data() const noexcept { return Fixed >= 0 ? fixed_.data() : rows_.data(); }
  // The match word of each depth's label on the current path, for the swaps.
  std::uint64_t* label_masks() noexcept {
    return Fixed >= 0 ? fixed_labels_.data() : labels_.data();
  }
  const std::uint64_t* label_masks() const noexcept {
    return Fixed >= 0 ? fixed_labels_.data() : labels_.data();
  }

  CharMasks masks_;
  const std::u32string& query_;
  // The query's character bits (see char_bit) and the positions of each.
  std::uint32_t distinct_ = 0;
  std::uint32_t all_bits_ = 0;
  std::array<std::uint8_t, 32> bits_;
  std::array<std::uint64_t, 32> positions_;
  std::uint32_t m_;
  std::uint32_t k_;
  std::uint64_t width_;
  std::vector<std::uint64_t> rows_;               // k + 1 words per depth, root row first
  std::array<std::uint64_t, kFixedWords> fixed_;  // the same for a fixed bound
  std::vector<std::uint64_t> labels_;
  std::array<std::uint64_t, kFixedLabels> fixed_labels_;
};

class BandedRows {
 public:
  // The rows of one path may take this many cells per query position (at least kFloorCells):
  // a long query at a large bound against a deep index would otherwise hold gigabytes of rows.
  // Past it, advance() throws std::bad_alloc.
  static constexpr std::size_t kCellsPerPosition = 1024;
  static constexpr std::size_t kFloorCells = std::size_t{16} << 20;

  BandedRows(const std::u32string& query, std::uint32_t k,
             Distance distance = Distance::Levenshtein)
      : query_(query),
        m_(query.size()),
        k_(k),
        cell_budget_(std::max(kFloorCells, m_ > SIZE_MAX / kCellsPerPosition - 1
                                               ? SIZE_MAX
                                               : (m_ + 1) * kCellsPerPosition)),
        step_cost_(1 + (std::min<std::size_t>(m_, 2 * std::size_t{k}) + 1) / 32),
        osa_(distance == Distance::Osa),
        offsets_{0},
        labels_{U'\0'} {
    const std::size_t hi = std::min<std::size_t>(m_, k_);
    for (std::size_t j = 0; j <= hi; ++j) cells_.push_back(static_cast<std::uint32_t>(j));
  }

  std::size_t step_cost() const noexcept { return step_cost_; }

  bool advance(std::uint32_t d, char32_t ch) {
    const std::size_t next_depth = std::size_t{d} + 1;
    const std::size_t lo = first(next_depth);
    const std::size_t hi = last(next_depth);
    if (lo > hi) return false;  // every cell is beyond the diagonal band
    if (offsets_.size() < next_depth + 1) offsets_.resize(next_depth + 1);
    if (osa_) {
      if (labels_.size() < next_depth + 1) labels_.resize(next_depth + 1);
      labels_[next_depth] = ch;
    }
    const std::size_t plo = first(d);
    const std::size_t phi = last(d);
    const std::size_t prev_at = offsets_[d];
    const std::size_t next_at = prev_at + (phi + 1 - plo);
    offsets_[next_depth] = next_at;
    const std::size_t needed = next_at + (hi + 1 - lo);
    if (needed > cell_budget_) throw std::bad_alloc();
    if (cells_.size() < needed) {
      // Grow geometrically, but never past the budget.
      if (needed > cells_.capacity()) {
        cells_.reserve(std::min(cell_budget_, std::max(needed, 2 * cells_.capacity())));
      }
      cells_.resize(needed);
    }
    const std::uint32_t* prev = cells_.data() + prev_at;
    std::uint32_t* next = cells_.data() + next_at;
    // Swaps come from row d - 1 (cell j - 2) where this label and row d's are query[j-2] and
    // query[j-1].
    const bool swaps = osa_ && d > 0;
    const std::uint32_t* above = swaps ? cells_.data() + offsets_[d - 1] : nullptr;
    const std::size_t alo = swaps ? first(d - 1) : 0;
    const std::size_t ahi = swaps ? last(d - 1) : 0;

    const std::uint32_t beyond = k_ + 1;
    std::uint32_t minimum = beyond;
    std::uint32_t left = beyond;
    for (std::size_t j = lo; j <= hi; ++j) {
      std::uint32_t cell = beyond;
      if (j == 0) {
        cell = static_cast<std::uint32_t>(std::min<std::size_t>(next_depth, beyond));
      } else {
        if (j - 1 >= plo && j - 1 <= phi) {
          cell = std::min(cell, prev[j - 1 - plo] + (query_[j - 1] != ch ? 1u : 0u));
        }
        if (j >= plo && j <= phi) cell = std::min(cell, prev[j - plo] + 1);
        if (swaps && j >= 2 && j - 2 >= alo && j - 2 <= ahi && query_[j - 2] == ch &&
            query_[j - 1] == labels_[d]) {
          cell = std::min(cell, above[j - 2 - alo] + 1);
        }
        cell = std::min({cell, left + 1, beyond});
      }
      next[j - lo] = cell;
      left = cell;
      minimum = std::min(minimum, cell);
    }
    return minimum <= k_;
  }

  // As BitParallelRows::least.
  std::uint32_t least(std::uint32_t d) const noexcept {
    const std::size_t lo = first(d);
    const std::size_t hi = last(d);
    if (lo > hi) return k_ + 1;
    const auto band = cells_.begin() + static_cast<std::ptrdiff_t>(offsets_[d]);
    return *std::min_element(band, band + static_cast<std::ptrdiff_t>(hi + 1 - lo));
  }

  std::uint32_t final_distance(std::uint32_t d) const noexcept {
    const std::size_t lo = first(d);
    if (m_ < lo || m_ > last(d)) return kNoMatch;
    const std::uint32_t cell = cells_[offsets_[d] + (m_ - lo)];
    return cell <= k_ ? cell : kNoMatch;
  }

 private:
  std::size_t first(std::size_t d) const noexcept { return d > k_ ? d - k_ : 0; }
  std::size_t last(std::size_t d) const noexcept { return std::min<std::size_t>(m_, d + k_); }

  const std::u32string& query_;
  std::size_t m_;
  std::uint32_t k_;
  std::size_t cell_budget_;
  std::size_t step_cost_;
  bool osa_;
  std::vector<std::size_t> offsets_;  // start of each depth's band in cells_
  std::vector<char32_t> labels_;      // each depth's label on the current path, for swaps
  std::vector<std::uint32_t> cells_;
};

}  // namespace torrelm::prefix::detail

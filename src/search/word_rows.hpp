// Edit rows for a text of several words, each word with a budget of its own and the whole text
// with a cap: what max_dist="auto" allows a query such as "funy cat vidoes", where one slip in
// each long word is likely and a slip in a three-letter word is not.
//
// The distance is the optimal string alignment distance (or Levenshtein's) between the text and
// a term, each edit charged to a word of the text:
//   - a letter of the text replaced, left out or swapped with its neighbour: that letter's word;
//   - a letter missing from the text: the word the text had reached (the word before a space,
//     until the space is passed; the first word before anything);
//   - a space missing, extra or replaced: the cap alone, since "funnycat" for "funny cat" or
//     "funny catvideos" for "funny cat videos" is one slip whatever the words' lengths.
// A term is within the budget when some alignment charges no word more than its budget and the
// whole text no more than the cap; its distance is the fewest edits of such an alignment.
//
// Cell j of row d holds, for each number of edits e charged to the word the text's first j
// characters have reached, the fewest edits in all of an alignment of the term's first d
// characters with them (kNone where none is within the budget). Fewer edits in the word and fewer
// in all are both better for every alignment that follows, so the cell keeps the fewest in all
// for each e, and a row is exact. Only cells within the cap of the diagonal can hold anything.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "prefix/matcher/distance.hpp"
#include "prefix/matcher/edit_row.hpp"

namespace torrelm::search {

// WordRows keeps the cells as bytes, for texts of any length.
class WordRows {
 public:
  // The most edits one word may take, and so the width of a cell.
  static constexpr std::uint32_t kMostPerWord = 2;

  // `budgets` holds one budget per word of `text` (words are separated by U+0020), each at most
  // kMostPerWord; `cap` bounds the whole text.
  WordRows(const std::u32string& text, std::span<const std::uint8_t> budgets, std::uint32_t cap,
           prefix::Distance distance)
      : text_(text),
        m_(text.size()),
        cap_(std::min<std::uint32_t>(cap, kMostTotal)),
        osa_(distance == prefix::Distance::Osa) {
    budget_.resize(m_ + 1);
    std::size_t word = 0;
    for (std::size_t j = 0; j <= m_; ++j) {
      if (j > 0 && text_[j - 1] == U' ') ++word;
      budget_[j] = word < budgets.size() ? std::min<std::uint8_t>(budgets[word], kMostPerWord) : 0;
    }
    labels_.push_back(U'\0');
    grow(0);
    std::uint8_t* row = at(0, 0);
    row[0] = 0;
    for (std::size_t j = 1; j <= std::min<std::size_t>(m_, cap_); ++j) leave_out(0, j);
  }

  std::size_t step_cost() const noexcept { return 1 + (2 * std::size_t{cap_} + 1) / 8; }

  // Computes row d + 1 for the term's next character `ch`; false when no cell is within budget.
  bool advance(std::uint32_t d, char32_t ch) {
    const std::size_t next = std::size_t{d} + 1;
    grow(next);
    labels_.resize(next + 1);
    labels_[next] = ch;
    const std::size_t lo = next > cap_ ? next - cap_ : 0;
    const std::size_t hi = std::min(m_, next + cap_);
    bool any = false;
    for (std::size_t j = lo; j <= hi; ++j) {
      std::uint8_t* cell = at(next, j);
      std::fill(cell, cell + kWidth, kNone);
      const std::uint8_t* above = at(d, j);
      // The term's character is missing from the text; a missing space costs the cap alone.
      for (std::uint32_t e = 0; e < kWidth; ++e) {
        if (above[e] != kNone) put(cell, j, ch == U' ' ? e : e + 1, above[e] + 1);
      }
      if (j > 0) {
        const char32_t typed = text_[j - 1];
        const std::uint8_t* diagonal = at(d, j - 1);
        if (typed == U' ') {
          // The text passes into its next word: nothing is charged to it yet.
          put(cell, j, 0, least_of(diagonal) + (ch == U' ' ? 0 : 1));
        } else {
          const std::uint32_t cost = typed == ch ? 0 : 1;
          for (std::uint32_t e = 0; e < kWidth; ++e) {
            if (diagonal[e] != kNone) put(cell, j, e + cost, diagonal[e] + cost);
          }
          if (osa_ && d > 0 && j > 1 && ch == text_[j - 2] && labels_[d] == typed && typed != ch &&
              ch != U' ') {
            const std::uint8_t* swapped = at(d - 1, j - 2);
            for (std::uint32_t e = 0; e < kWidth; ++e) {
              if (swapped[e] != kNone) put(cell, j, e + 1, swapped[e] + 1);
            }
          }
        }
        leave_out(next, j);
      }
      any = any || least_of(cell) != kNone;
    }
    return any;
  }

  // The fewest edits in any cell of row d: no term below comes nearer.
  std::uint32_t least(std::uint32_t d) const noexcept {
    const std::size_t lo = d > cap_ ? d - cap_ : 0;
    const std::size_t hi = std::min<std::size_t>(m_, std::size_t{d} + cap_);
    std::uint32_t best = kNone;
    for (std::size_t j = lo; j <= hi; ++j) best = std::min<std::uint32_t>(best, least_of(at(d, j)));
    return best == kNone ? cap_ + 1 : best;
  }

  // The distance of the term ending at depth d from the whole text, kNoMatch beyond the budget.
  std::uint32_t final_distance(std::uint32_t d) const noexcept {
    if (d > m_ + cap_ || (m_ > cap_ && d < m_ - cap_)) return prefix::detail::kNoMatch;
    const std::uint8_t best = least_of(at(d, m_));
    return best == kNone ? prefix::detail::kNoMatch : best;
  }

 private:
  static constexpr std::uint32_t kWidth = kMostPerWord + 1;
  static constexpr std::uint8_t kNone = 0xFF;
  static constexpr std::uint32_t kMostTotal = 64;

  std::uint8_t* at(std::size_t d, std::size_t j) noexcept {
    return cells_.data() + (d * (m_ + 1) + j) * kWidth;
  }
  const std::uint8_t* at(std::size_t d, std::size_t j) const noexcept {
    return cells_.data() + (d * (m_ + 1) + j) * kWidth;
  }
  static std::uint8_t least_of(const std::uint8_t* cell) noexcept {
    return std::min({cell[0], cell[1], cell[2]});
  }
  // Rows are made as deep as the walk goes, every cell empty: a row's band never moves, so a cell
  // outside it is never written and stays so.
  void grow(std::size_t d) {
    const std::size_t need = (d + 1) * (m_ + 1) * kWidth;
    if (cells_.size() < need) cells_.resize(need, kNone);
  }
  void put(std::uint8_t* cell, std::size_t j, std::uint32_t word_edits, std::uint32_t edits) {
    if (word_edits <= budget_[j] && edits <= cap_) {
      cell[word_edits] = std::min(cell[word_edits], static_cast<std::uint8_t>(edits));
    }
  }
  // Cell j of row d from cell j - 1 of the same row: the text's character j - 1 left out of the
  // term (a space left out passes into the next word, at a cost to the cap alone).
  void leave_out(std::size_t d, std::size_t j) {
    const std::uint8_t* left = at(d, j - 1);
    std::uint8_t* cell = at(d, j);
    if (text_[j - 1] == U' ') {
      const std::uint8_t least = least_of(left);
      if (least != kNone) put(cell, j, 0, least + 1u);
      return;
    }
    for (std::uint32_t e = 0; e < kWidth; ++e) {
      if (left[e] != kNone) put(cell, j, e + 1, left[e] + 1u);
    }
  }

  std::u32string text_;
  std::size_t m_;
  std::uint32_t cap_;
  bool osa_;
  std::vector<std::uint8_t> budget_;  // by cell: the budget of the word it has reached
  std::vector<std::uint8_t> cells_;   // row by row, (m + 1) cells of kWidth each
  std::vector<char32_t> labels_;      // the term's character at each depth of the current path
};

// The same rows for texts of at most 63 code points, a bit a cell: word (w, t) of a row has bit j
// set when cell j holds an alignment with at most w edits charged to its word and at most t in
// all, so that a row costs a few word operations for each (w, t) whatever the text's length.
// `Words` and `Totals`, where not 0, fix the levels at compile time (levels(): the largest budget
// of a word and the cap, each plus one), so that the levels of everyday texts are unrolled.
template <std::uint32_t Words = 0, std::uint32_t Totals = 0>
class WordBitRows {
 public:
  static constexpr std::size_t kMaxText = 63;

  WordBitRows(const std::u32string& text, std::span<const std::uint8_t> budgets, std::uint32_t cap,
              prefix::Distance distance)
      : masks_(text),
        m_(text.size()),
        width_((std::uint64_t{2} << text.size()) - 1),
        last_(std::uint64_t{1} << text.size()),
        osa_(distance == prefix::Distance::Osa) {
    std::tie(words_, totals_) = levels(budgets, cap);
    // Bit j stands for cell j, whose character is the text's j - 1: the masks move up one.
    spaces_ = masks_[U' '] << 1 & width_;
    letters_ = width_ & ~spaces_ & ~std::uint64_t{1};
    std::size_t word = 0;
    for (std::size_t j = 0; j <= text.size(); ++j) {
      if (j > 0 && text[j - 1] == U' ') ++word;
      const std::uint32_t budget =
          std::min<std::uint32_t>(word < budgets.size() ? budgets[word] : 0, kMostPerWord);
      for (std::uint32_t w = 0; w <= budget; ++w) allowed_[w] |= std::uint64_t{1} << j;
    }
    labels_.push_back(U'\0');
    grow(0);
    std::uint64_t* row = row_of(0);
    for (std::uint32_t t = 0; t < totals(); ++t) {
      for (std::uint32_t w = 0; w < words(); ++w) {
        // Cell 0 holds the empty alignment; the others, the text's characters left out.
        at(row, w, t) = allowance(row, w, t, 1 | left_out(row, w, t));
      }
    }
  }

  // The levels of edits a word and of edits in all that rows of these budgets keep.
  static std::pair<std::uint32_t, std::uint32_t> levels(std::span<const std::uint8_t> budgets,
                                                        std::uint32_t cap) noexcept {
    std::uint32_t words = 1;
    for (const std::uint8_t budget : budgets) {
      words = std::max<std::uint32_t>(words, std::min<std::uint32_t>(budget, kMostPerWord) + 1);
    }
    return {words, std::min<std::uint32_t>(cap, kMostTotal) + 1};
  }

  std::size_t step_cost() const noexcept { return 1 + words() * totals() / 8; }

  bool advance(std::uint32_t d, char32_t ch) {
    const std::size_t next = std::size_t{d} + 1;
    grow(next);
    if (labels_.size() <= next) labels_.resize(next + 1);
    labels_[next] = ch;
    const std::uint64_t* above = row_of(d);
    std::uint64_t* row = row_of(next);
    const bool space = ch == U' ';
    const std::uint64_t match = masks_[ch] << 1 & letters_;
    const std::uint64_t other = letters_ & ~match;
    std::uint64_t swaps = 0;
    const std::uint64_t* before = nullptr;
    if (osa_ && d > 0 && !space && labels_[d] != U' ' && labels_[d] != ch) {
      swaps = (match << 1) & (masks_[labels_[d]] << 1) & letters_;
      before = row_of(d - 1);
    }
    const std::uint32_t top = words() - 1;
    for (std::uint32_t t = 0; t < totals(); ++t) {
      for (std::uint32_t w = 0; w < words(); ++w) {
        // The text's next character against the term's, matched; a space of the text passes
        // into the next word, whatever its own took, at a cost to the whole if not matched.
        std::uint64_t cell = at(above, w, t) << 1 & match;
        if (space) cell |= at(above, top, t) << 1 & spaces_;
        if (t > 0) {
          if (space) {
            cell |= at(above, w, t - 1);  // missing from the text: a space costs the whole alone
          } else {
            cell |= at(above, top, t - 1) << 1 & spaces_;  // a space of the text replaced
          }
          if (w > 0) {
            const std::uint64_t cheaper = at(above, w - 1, t - 1);
            if (!space) cell |= cheaper;   // a letter missing from the text
            cell |= cheaper << 1 & other;  // a letter of the text replaced
            if (swaps != 0) cell |= at(before, w - 1, t - 1) << 2 & swaps;
          }
        }
        at(row, w, t) = allowance(row, w, t, cell | left_out(row, w, t));
      }
    }
    return at(row, top, totals() - 1) != 0;
  }

  // Whether the node of row d or one at most `height` levels below it can come within the budget
  // of the whole text: a cell j within t edits leaves the text's characters from j on to at most
  // `height` more characters of the term and the edits still to spare, one each.
  bool reaches(std::uint32_t d, std::uint32_t height, std::uint32_t) const noexcept {
    const std::uint64_t* row = row_of(d);
    for (std::uint32_t t = 0; t < totals(); ++t) {
      const std::int64_t from = static_cast<std::int64_t>(m_) - height - (totals() - 1 - t);
      const std::uint64_t cells = at(row, words() - 1, t);
      if (from <= 0 ? cells != 0 : (cells >> from) != 0) return true;
    }
    return false;
  }

  // The fewest edits in any cell of row d: no term below comes nearer.
  std::uint32_t least(std::uint32_t d) const noexcept {
    const std::uint64_t* row = row_of(d);
    for (std::uint32_t t = 0; t < totals(); ++t) {
      if (at(row, words() - 1, t) != 0) return t;
    }
    return totals();
  }

  std::uint32_t final_distance(std::uint32_t d) const noexcept {
    const std::uint64_t* row = row_of(d);
    for (std::uint32_t t = 0; t < totals(); ++t) {
      if ((at(row, words() - 1, t) & last_) != 0) return t;
    }
    return prefix::detail::kNoMatch;
  }

 private:
  static constexpr std::uint32_t kMostPerWord = WordRows::kMostPerWord;
  static constexpr std::uint32_t kMostTotal = 15;

  std::uint32_t words() const noexcept { return Words != 0 ? Words : words_; }
  std::uint32_t totals() const noexcept { return Totals != 0 ? Totals : totals_; }
  std::size_t row_size() const noexcept { return std::size_t{words()} * totals(); }
  std::uint64_t* row_of(std::size_t d) noexcept { return rows_.data() + d * row_size(); }
  const std::uint64_t* row_of(std::size_t d) const noexcept {
    return rows_.data() + d * row_size();
  }
  std::uint64_t& at(std::uint64_t* row, std::uint32_t w, std::uint32_t t) const noexcept {
    return row[t * words() + w];
  }
  std::uint64_t at(const std::uint64_t* row, std::uint32_t w, std::uint32_t t) const noexcept {
    return row[t * words() + w];
  }
  void grow(std::size_t d) {
    const std::size_t need = (d + 1) * row_size();
    if (rows_.size() < need) rows_.resize(need, 0);
  }
  // The text's characters left out, from the cell before in the same row (whose lower levels are
  // done): a letter at a cost to its word, a space passing into the next word.
  std::uint64_t left_out(const std::uint64_t* row, std::uint32_t w,
                         std::uint32_t t) const noexcept {
    if (t == 0) return 0;
    std::uint64_t cell = at(row, words() - 1, t - 1) << 1 & spaces_;
    if (w > 0) cell |= at(row, w - 1, t - 1) << 1 & letters_;
    return cell;
  }
  // `cell` kept where its word may take w edits; elsewhere what the word may take is all it gets.
  std::uint64_t allowance(const std::uint64_t* row, std::uint32_t w, std::uint32_t t,
                          std::uint64_t cell) const noexcept {
    if (w == 0) return cell & allowed_[0];
    return (cell & allowed_[w]) | (at(row, w - 1, t) & ~allowed_[w]);
  }

  prefix::detail::CharMasks masks_;
  std::size_t m_;
  std::uint64_t width_;
  std::uint64_t last_;  // cell m, the whole text
  bool osa_;
  std::uint32_t words_ = 1;   // levels of edits charged to a word: the largest budget, and one
  std::uint32_t totals_ = 1;  // levels of edits in all: the cap, and one
  std::uint64_t spaces_ = 0;
  std::uint64_t letters_ = 0;
  std::array<std::uint64_t, kMostPerWord + 1> allowed_{};
  std::vector<std::uint64_t> rows_;  // depth by depth, row_size() words each
  std::vector<char32_t> labels_;     // the term's character at each depth of the current path
};

}  // namespace torrelm::search

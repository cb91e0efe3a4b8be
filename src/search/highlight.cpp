#include "search/highlight.hpp"

#include <algorithm>
#include <limits>

namespace torrelm::search {
namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Sorted, with overlapping or touching ranges joined.
Ranges joined(Ranges ranges) {
  std::sort(ranges.begin(), ranges.end());
  Ranges out;
  for (const auto& range : ranges) {
    if (range.first >= range.second) continue;
    if (!out.empty() && range.first <= out.back().second) {
      out.back().second = std::max(out.back().second, range.second);
    } else {
      out.push_back(range);
    }
  }
  return out;
}

// The table of fewest edits between a[0, i) and b[0, j), a swap of neighbours counting one.
struct Table {
  std::size_t width;
  std::vector<std::uint32_t> cells;
  std::uint32_t at(std::size_t i, std::size_t j) const { return cells[i * width + j]; }
};

template <class Same>
Table edits(std::u32string_view a, std::u32string_view b, Same&& same) {
  Table table{b.size() + 1, std::vector<std::uint32_t>((a.size() + 1) * (b.size() + 1))};
  const auto cell = [&](std::size_t i, std::size_t j) -> std::uint32_t& {
    return table.cells[i * table.width + j];
  };
  for (std::size_t i = 0; i <= a.size(); ++i) cell(i, 0) = static_cast<std::uint32_t>(i);
  for (std::size_t j = 0; j <= b.size(); ++j) cell(0, j) = static_cast<std::uint32_t>(j);
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::uint32_t best = std::min({cell(i - 1, j) + 1, cell(i, j - 1) + 1,
                                     cell(i - 1, j - 1) + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1])) {
        best = std::min(best, cell(i - 2, j - 2) + 1);
      }
      cell(i, j) = best;
    }
  }
  return table;
}

// Walks back from (i, j) along an alignment of fewest edits, calling pair(i, j) for each step's
// cell (from the end to the start) and aligned(x, y) for each code point a[x] put against b[y].
template <class Same, class Pair, class Aligned>
void trace(const Table& table, std::u32string_view a, std::u32string_view b, std::size_t i,
           std::size_t j, Same&& same, Pair&& pair, Aligned&& aligned) {
  pair(i, j);
  while (i > 0 || j > 0) {
    const std::uint32_t here = table.at(i, j);
    if (i > 0 && j > 0 && table.at(i - 1, j - 1) + (same(a[i - 1], b[j - 1]) ? 0 : 1) == here) {
      aligned(i - 1, j - 1);
      --i;
      --j;
    } else if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]) &&
               table.at(i - 2, j - 2) + 1 == here) {
      aligned(i - 1, j - 2);
      aligned(i - 2, j - 1);
      i -= 2;
      j -= 2;
    } else if (i > 0 && table.at(i - 1, j) + 1 == here) {
      --i;
    } else {
      --j;
    }
    pair(i, j);
  }
}

bool identical(char32_t a, char32_t b) { return a == b; }

bool alike(char32_t a, char32_t b) {
  const auto lower = [](char32_t c) { return c >= U'A' && c <= U'Z' ? c + (U'a' - U'A') : c; };
  return lower(a) == lower(b);
}

}  // namespace

Ranges highlight(std::u32string_view typed, std::u32string_view term, std::size_t offset,
                 bool prefix) {
  offset = std::min(offset, term.size());
  const std::u32string_view rest = term.substr(offset);
  // Each typed word's first and last code point, by position in `typed`.
  std::vector<std::pair<std::size_t, std::size_t>> words;
  for (std::size_t begin = 0, end = 0; end <= typed.size(); ++end) {
    if (end < typed.size() && typed[end] != U' ') continue;
    if (end > begin) words.emplace_back(begin, end);
    begin = end + 1;
  }
  Ranges ranges;
  const bool as_typed = prefix ? rest.starts_with(typed) : rest == typed;
  if (as_typed) {
    for (const auto& [begin, end] : words) {
      ranges.emplace_back(static_cast<std::uint32_t>(offset + begin),
                          static_cast<std::uint32_t>(offset + end));
    }
    return joined(std::move(ranges));
  }
  const Table table = edits(typed, rest, identical);
  std::size_t end = rest.size();
  if (prefix) {  // where the typed text ends in the term: the longest of the nearest prefixes
    for (std::size_t j = 0; j <= rest.size(); ++j) {
      if (table.at(typed.size(), j) <= table.at(typed.size(), end)) end = j;
    }
  }
  std::vector<std::uint32_t> against(typed.size(), kNone);
  trace(
      table, typed, rest, typed.size(), end, identical, [](std::size_t, std::size_t) {},
      [&](std::size_t x, std::size_t y) { against[x] = static_cast<std::uint32_t>(y); });
  for (const auto& [begin, stop] : words) {
    std::uint32_t low = kNone;
    std::uint32_t high = 0;
    for (std::size_t x = begin; x < stop; ++x) {
      if (against[x] == kNone) continue;
      low = std::min(low, against[x]);
      high = std::max(high, against[x] + 1);
    }
    if (low != kNone) {
      ranges.emplace_back(static_cast<std::uint32_t>(offset + low),
                          static_cast<std::uint32_t>(offset + high));
    }
  }
  return joined(std::move(ranges));
}

Ranges carry_over(const Ranges& ranges, std::u32string_view from, std::u32string_view to) {
  if (from.size() == to.size() || ranges.empty()) return ranges;
  const Table table = edits(from, to, alike);
  // For each position between code points of `from`, the first and the last position of `to`
  // the alignment puts beside it: a range starts after what `to` adds before it and ends before
  // what `to` adds after it.
  std::vector<std::uint32_t> first(from.size() + 1, kNone);
  std::vector<std::uint32_t> last(from.size() + 1, 0);
  trace(
      table, from, to, from.size(), to.size(), alike,
      [&](std::size_t i, std::size_t j) {
        first[i] = std::min(first[i], static_cast<std::uint32_t>(j));
        last[i] = std::max(last[i], static_cast<std::uint32_t>(j));
      },
      [](std::size_t, std::size_t) {});
  Ranges out;
  for (const auto& [begin, end] : ranges) {
    if (end > from.size()) continue;
    out.emplace_back(last[begin], first[end]);
  }
  return joined(std::move(out));
}

}  // namespace torrelm::search

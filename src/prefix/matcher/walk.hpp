// The bounded depth-first walk shared by both matchers. An explicit stack of child-list cursors
// replaces recursion, so no index shape can exhaust the native stack; rows are kept per depth by
// the row kind and grow only as deep as the walk goes.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "prefix/matcher/edit_row.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/matcher/walk_table.hpp"
#include "text/utf8.hpp"

namespace torrelm::prefix::detail {

inline constexpr std::size_t kLargestBound = 0xFFFF;

// What walk() takes for "every child is worth a look".
struct Everything {
  bool operator()(NodeId) const noexcept { return true; }
};

// One level of the walk: the child list being enumerated and the label of its owner.
struct Cursor {
  std::size_t begin;
  std::size_t position;
  std::size_t end;
  char32_t label;       // U+0000 for the root
  bool picked = false;  // table walks: begin .. end index the records picked, not the records
};

// What on_match may answer instead of a bool: go on below the child, leave its subtree out, or
// stop the walk.
enum class Visit { Descend, Skip, Stop };

// Whether the walk goes below a child, from what on_match answered.
template <class Verdict>
bool descends(Verdict verdict, bool& stop) {
  if constexpr (std::is_same_v<Verdict, Visit>) {
    stop = verdict == Visit::Stop;
    return verdict == Visit::Descend;
  } else {
    stop = verdict;
    return !verdict;
  }
}

// When the row of the node whose children `cursor` lists has no edit to spare, only children
// labelled with certain query characters survive: in a sorted list of some length they are found
// by binary search, appended to `picked`, and the cursor runs over them instead.
template <class Rows>
void pick(const WalkTable::Node* nodes, const Rows& rows, std::uint32_t d,
          std::vector<std::uint32_t>& picked, Cursor& cursor) {
  constexpr std::size_t kLongList = 8;  // shorter lists are as quickly read whole
  if (cursor.end - cursor.begin < kLongList) return;
  std::uint64_t wanted = rows.wanted(d);
  if (wanted == ~std::uint64_t{0}) return;
  std::array<char32_t, 64> labels;
  std::size_t count = 0;
  for (; wanted != 0; wanted &= wanted - 1) {
    labels[count++] = rows.query_char(static_cast<std::size_t>(std::countr_zero(wanted)));
  }
  std::sort(labels.begin(), labels.begin() + static_cast<std::ptrdiff_t>(count));
  const std::size_t begin = picked.size();
  const WalkTable::Node* from = nodes + cursor.begin;
  const WalkTable::Node* to = nodes + cursor.end;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && labels[i] == labels[i - 1]) continue;
    from = std::lower_bound(from, to, labels[i], [](const WalkTable::Node& node, char32_t label) {
      return node.label() < label;
    });
    if (from == to) break;
    if (from->label() == labels[i]) {
      picked.push_back(static_cast<std::uint32_t>(from - nodes));
      __builtin_prefetch(nodes + from->first);  // the walk goes down there next
    }
  }
  cursor = {begin, begin, picked.size(), cursor.label, true};
}

// walk() over the nodes of a WalkTable: the same calls in the same order, less the subtrees whose
// nodes are all too short to match, where on_match would only have been told "no match".
// (Measured and left out: testing the children of a list 64 at a time without branching, then
// advancing the survivors alone, was slower, since it computes every survivor's row twice; and
// prefetching the children of a list on entering it gained nothing.)
// `node_count` is the index's, whose nodes the matches name.
template <class Rows, class OnMatch, class Worth = Everything>
void walk_table(const WalkTable& table, std::size_t node_count, Rows& rows, Cancel& cancel,
                OnMatch&& on_match, Worth&& worth = {}) {
  const WalkTable::Node* nodes = table.nodes().data();
  std::vector<Cursor> stack;
  std::vector<std::uint32_t> picked;  // the records of picked lists, deepest last
  std::size_t steps = 0;
  const auto [root_first, root_end] = table.children_of(0);
  stack.push_back({root_first, root_first, root_end, U'\0'});
  while (!stack.empty()) {
    Cursor& cursor = stack.back();
    const auto depth = static_cast<std::uint32_t>(stack.size() - 1);
    const std::size_t end = cursor.end;
    std::size_t position = cursor.position;
    bool descended = false;
    while (position < end) {
      const std::size_t at = cursor.picked ? picked[position++] : position++;
      const WalkTable::Node record = nodes[at];
      const char32_t label = record.label();
      if (!rows.advance(depth, label)) continue;
      if constexpr (!std::is_same_v<std::decay_t<Worth>, Everything>) {
        if (!worth(table.id_of(static_cast<std::uint32_t>(at), node_count))) continue;
      }
      if constexpr (requires { rows.reaches(depth, 0u, 0u); }) {
        constexpr std::uint32_t kUnknown = 1u << 30;  // deeper than any query reaches
        const std::uint32_t height = record.height();
        if (!rows.reaches(depth + 1, height < WalkTable::Node::kTallest ? height : kUnknown,
                          record.below)) {
          continue;
        }
      }
      cursor.position = position;
      bool stop = false;
      const bool below =
          descends(on_match(table.id_of(static_cast<std::uint32_t>(at), node_count), label,
                            std::as_const(stack), rows.final_distance(depth + 1)),
                   stop);
      if (stop) return;
      if (!below) continue;
      const auto [first, last] = table.children_of(static_cast<std::uint32_t>(at));
      if (first < last) {
        Cursor next{first, first, last, label};
        if constexpr (requires { rows.wanted(0u); }) {
          if (table.sorted()) pick(nodes, rows, depth + 1, picked, next);
        }
        stack.push_back(next);  // `cursor` dangles from here on
        descended = true;
        break;
      }
    }
    if (descended) continue;
    steps += (stack.back().end - stack.back().begin + 1) * rows.step_cost();
    if (stack.back().picked) picked.resize(stack.back().begin);
    stack.pop_back();
    if (steps >= Cancel::kInterval) {
      steps = 0;
      cancel.check();
    }
  }
}

// Calls on_match(child, label, stack, distance) for every node within the bound, in walk order,
// with `stack` the levels above the child (root first) and `distance` the cell m of the child's
// row (kNoMatch when above the bound: some other cell is within it, so the walk goes on below
// the child). on_match returns true to stop the walk, or a Visit.
// `worth(child)`, where given, may pass a child and its subtree by before the rest of its row is
// looked at.
template <class Rows, class OnMatch, class Worth = Everything>
void walk(const TrieView& trie, Rows& rows, Cancel& cancel, OnMatch&& on_match,
          Worth&& worth = {}) {
  if (trie.walk_table != nullptr) {
    walk_table(*trie.walk_table, trie.node_count(), rows, cancel, on_match, worth);
    return;
  }
  std::vector<Cursor> stack;
  std::size_t steps = 0;
  const ChildRange root = trie.children(0);
  stack.push_back({root.begin, root.begin, root.end, U'\0'});
  while (!stack.empty()) {
    // Siblings that get pruned are the common case: run through them in registers.
    Cursor& cursor = stack.back();
    const auto depth = static_cast<std::uint32_t>(stack.size() - 1);
    const std::size_t end = cursor.end;
    std::size_t position = cursor.position;
    bool descended = false;
    while (position < end) {
      const NodeId child = trie.child(position++);
      const char32_t label = trie.label(child);
      if (label == U'\0' || !rows.advance(depth, label)) continue;
      if constexpr (!std::is_same_v<std::decay_t<Worth>, Everything>) {
        if (!worth(child)) continue;
      }
      cursor.position = position;
      bool stop = false;
      const bool down = descends(
          on_match(child, label, std::as_const(stack), rows.final_distance(depth + 1)), stop);
      if (stop) return;
      if (!down) continue;
      const ChildRange below = trie.children(child);
      if (!below.empty()) {
        stack.push_back(
            {below.begin, below.begin, below.end, label});  // `cursor` dangles from here on
        descended = true;
        break;
      }
    }
    if (descended) continue;
    // Counted once per finished child list, which leaves the loops above as they were: every
    // path ends within m + k + 1 levels, so a walk that never ends finishes lists without end.
    steps += (stack.back().end - stack.back().begin + 1) * rows.step_cost();
    stack.pop_back();
    if (steps >= Cancel::kInterval) {
      steps = 0;
      cancel.check();
    }
  }
}

// Charges result bytes against result_budget(); std::bad_alloc once they would exceed it.
class ResultBudget {
 public:
  explicit ResultBudget(const TrieView& trie) noexcept : left_(result_budget(trie)) {}
  void spend(std::size_t bytes) {
    if (bytes > left_) throw std::bad_alloc();
    left_ -= bytes;
  }

 private:
  std::size_t left_;
};

// Whether a node whose label is not U+0000 lies at depth `target` or deeper, by levels with each
// node counted once per level. Answers true whenever it cannot tell cheaply (a cycle, a large
// shared structure, an inconsistent index): the walk then finds out by itself.
bool reaches_depth(const TrieView& trie, std::size_t target);

// Runs `body(rows)` with the row kind suited to the query, or returns false without running it
// when nothing can be within the bound: an index with no nodes at all, or a query longer than
// any path of the index plus the bound.
template <class Body>
bool with_rows(const TrieView& trie, const std::u32string& query, std::size_t max_dist,
               RowKind kind, Body&& body, Distance distance = Distance::Levenshtein) {
  if (trie.node_shifts.empty() && trie.child_labels.empty()) return false;
  const auto k = static_cast<std::uint32_t>(std::min(max_dist, kLargestBound));
  const std::size_t m = query.size();
  if (kind == RowKind::Automatic) {
    kind = m <= BitParallelRows<>::kMaxQuery && k <= 32 ? RowKind::BitParallel : RowKind::Banded;
  }
  // Within no edits there is no swap to pay for: both distances are the same walk.
  if (k == 0) distance = Distance::Levenshtein;
  if (kind == RowKind::BitParallel && m <= BitParallelRows<>::kMaxQuery && k <= 64) {
    const auto run = [&]<int Fixed, bool Osa>() {
      BitParallelRows<Fixed, Osa> rows(query, k);
      body(rows);
    };
    const auto run_bound = [&]<bool Osa>() {
      switch (k) {
        case 0:
          run.template operator()<0, false>();
          break;
        case 1:
          run.template operator()<1, Osa>();
          break;
        case 2:
          run.template operator()<2, Osa>();
          break;
        case 3:
          run.template operator()<3, Osa>();
          break;
        default:
          run.template operator()<-1, Osa>();
          break;
      }
    };
    if (distance == Distance::Osa) {
      run_bound.template operator()<true>();
    } else {
      run_bound.template operator()<false>();
    }
    return true;
  }
  // A wide band costs much per visited node: first make sure some path is long enough for the
  // whole query to come within the bound.
  constexpr std::size_t kWideBand = 256;
  if (std::min<std::size_t>(m + 1, 2 * std::size_t{k} + 1) > kWideBand && m > k &&
      !reaches_depth(trie, m - k)) {
    return false;
  }
  BandedRows rows(query, k, distance);
  body(rows);
  return true;
}

}  // namespace torrelm::prefix::detail

// Payload propagation. The result is exactly that of merging, for every node from the last id down
// to the root, a copy of each listed child's payload into the node's own with Payload::merge_from
// and cutting the node to `video_top_n` entries. A chain of merge_from calls only adds counts per
// position (saturating sums are associative) and sorts once at the end, so all of a node's
// sources are combined in one pass instead of re-hashing the receiver once per child.
#include <algorithm>
#include <new>
#include <span>

#include "prefix/trie/trie.hpp"

namespace torrelm::prefix {
namespace {

using payload::PayloadView;
using payload::saturating_add;

enum class State : std::uint8_t {
  Own,         // not processed yet: holds its own build payload (absent reads as empty)
  InputOrder,  // processed, never merged: input order and duplicates kept
  ByCount,     // processed: distinct positions ordered by count, largest first
};

struct Entry {
  std::uint32_t position;
  std::uint64_t sum;
};

class Propagation {
 public:
  Propagation(const Trie& trie, std::uint32_t video_top_n, Cancel& cancel)
      : trie_(trie),
        top_n_(video_top_n),
        state_(trie.node_count(), State::Own),
        begin_(trie.node_count()),
        length_(trie.node_count()),
        total_(trie.node_count()),
        cancel_(cancel) {}

  payload::PayloadTable run() {
    const std::size_t n = trie_.node_count();
    reserve_results();
    for (std::size_t c = n; c-- > 0;) process(static_cast<NodeId>(c));

    // The nodes' entries were appended last node first. Reversing the arrays, then each node's
    // run back, puts them in node order where they lie, so the table takes them over without a
    // second copy of every entry.
    std::reverse(ids_.begin(), ids_.end());
    std::reverse(counts_.begin(), counts_.end());
    std::size_t at = 0;
    for (std::size_t c = 0; c < n; ++c) {
      const auto from = static_cast<std::ptrdiff_t>(at);
      const auto to = static_cast<std::ptrdiff_t>(at + length_[c]);
      std::reverse(ids_.begin() + from, ids_.begin() + to);
      std::reverse(counts_.begin() + from, counts_.begin() + to);
      at += length_[c];
      if (c % Cancel::kInterval == 0) cancel_.step(Cancel::kInterval);
    }
    return payload::PayloadTable::all_present(std::move(total_), length_, std::move(ids_),
                                              std::move(counts_));
  }

 private:
  // Room for every node's cut payload, so that the result arrays never move while they grow
  // (a move copies them and touches their pages twice). A node keeps at most top_n entries and
  // at most as many as its subtree holds: summed bottom up, that bounds the result exactly for
  // a tree (a child numbered before its parent is left out, and the arrays then grow as needed).
  void reserve_results() {
    const std::size_t n = trie_.node_count();
    std::vector<std::size_t> below(n);
    std::size_t room = 0;
    for (std::size_t c = n; c-- > 0;) {
      const auto own = trie_.payloads.at(c);
      std::size_t held = own ? own->video_ids.size() : 0;
      const ChildRange range = trie_.children(static_cast<NodeId>(c));
      for (std::size_t p = range.begin; p < range.end && held < top_n_; ++p) {
        const NodeId d = trie_.child(p);
        if (d > c && d < n) held += below[d];
      }
      below[c] = std::min<std::size_t>(held, top_n_);
      room += below[c];
      if (c % Cancel::kInterval == 0) cancel_.step(Cancel::kInterval);
    }
    if (room > ids_.max_size() / 2) return;
    try {
      ids_.reserve(room);
      counts_.reserve(room);
    } catch (const std::bad_alloc&) {
      ids_ = {};
      counts_ = {};
    }
  }

  // The payload that node d holds while node c is being processed.
  PayloadView current(NodeId d) const {
    if (checked_at(state_, d) != State::Own) {
      return {total_[d], std::span(ids_).subspan(begin_[d], length_[d]),
              std::span(counts_).subspan(begin_[d], length_[d])};
    }
    const auto own = trie_.payloads.at(d);
    return own ? *own : PayloadView{0, {}, {}};
  }

  void process(NodeId c) {
    const PayloadView own = current(c);
    std::uint32_t total = own.total_count;
    bool merged = false;
    sources_.clear();
    if (!own.video_ids.empty()) sources_.push_back(own);
    bool only_by_count = own.video_ids.size() <= 1;  // form of sources_.front() when alone

    const ChildRange range = trie_.children(c);
    cancel_.step();
    for (std::size_t p = range.begin; p < range.end; ++p) {
      cancel_.step();
      const NodeId d = trie_.child(p);
      if (d == c) continue;  // its slot is taken out while it is processed
      merged = true;
      const PayloadView child = current(d);
      total = saturating_add(total, child.total_count);
      if (child.video_ids.empty()) continue;
      if (sources_.empty())
        only_by_count = child.video_ids.size() <= 1 || state_[d] == State::ByCount;
      sources_.push_back(child);
    }

    begin_[c] = ids_.size();
    total_[c] = total;
    if (!merged) {
      const std::size_t keep = std::min<std::size_t>(own.video_ids.size(), top_n_);
      ids_.insert(ids_.end(), own.video_ids.begin(), own.video_ids.begin() + keep);
      counts_.insert(counts_.end(), own.video_counts.begin(), own.video_counts.begin() + keep);
      state_[c] = keep <= 1 ? State::ByCount : State::InputOrder;
    } else if (sources_.size() == 1 && only_by_count) {
      // One already ordered, distinct source: merging it would give it back unchanged.
      // It may live in ids_ itself, which can move as it grows: copy it out first.
      const PayloadView& only = sources_.front();
      const std::size_t keep = std::min<std::size_t>(only.video_ids.size(), top_n_);
      keys_.clear();
      for (std::size_t i = 0; i < keep; ++i) {
        keys_.push_back(std::uint64_t{only.video_ids[i]} << 32 | checked_at(only.video_counts, i));
      }
      for (const std::uint64_t key : keys_) {
        ids_.push_back(static_cast<std::uint32_t>(key >> 32));
        counts_.push_back(static_cast<std::uint32_t>(key));
      }
      state_[c] = State::ByCount;
    } else {
      combine();
      state_[c] = State::ByCount;
    }
    length_[c] = ids_.size() - begin_[c];
  }

  // Sums the counts of every source per position and appends the top_n largest sums. Sources are
  // folded in batches into `entries_` (distinct positions with their sums, by position), so a
  // child listed many times costs no more memory than its distinct positions and one batch.
  void combine() {
    entries_.clear();
    keys_.clear();
    for (const PayloadView& source : sources_) {
      for (std::size_t i = 0; i < source.video_ids.size(); ++i) {
        keys_.push_back(std::uint64_t{source.video_ids[i]} << 32 |
                        checked_at(source.video_counts, i));
        // A batch as large as what is already folded keeps the folding linear overall.
        if (keys_.size() >= std::max(kBatch, entries_.size())) fold();
      }
      cancel_.step(1 + source.video_ids.size());
    }
    fold();
    // Sums are compared in full (64 bits), before the stored count saturates. Equal sums may
    // come in any order; taking the lower position first keeps every build of the same input
    // identical.
    const auto by_sum = [](const Entry& a, const Entry& b) {
      return a.sum != b.sum ? a.sum > b.sum : a.position < b.position;
    };
    auto keep_end = entries_.end();
    if (entries_.size() > top_n_) {
      keep_end = entries_.begin() + top_n_;
      std::nth_element(entries_.begin(), keep_end, entries_.end(), by_sum);
    }
    std::sort(entries_.begin(), keep_end, by_sum);
    for (auto it = entries_.begin(); it != keep_end; ++it) {
      ids_.push_back(it->position);
      counts_.push_back(saturating_add(0, it->sum));
    }
  }

  // Adds the pending keys to entries_, both kept in position order.
  void fold() {
    if (keys_.empty()) return;
    std::sort(keys_.begin(), keys_.end());
    folded_.clear();
    auto old = entries_.begin();
    for (const std::uint64_t key : keys_) {
      const auto position = static_cast<std::uint32_t>(key >> 32);
      const std::uint64_t count = key & 0xFFFF'FFFFu;
      while (old != entries_.end() && old->position < position) folded_.push_back(*old++);
      if (!folded_.empty() && folded_.back().position == position) {
        folded_.back().sum += count;
      } else if (old != entries_.end() && old->position == position) {
        folded_.push_back({position, old->sum + count});
        ++old;
      } else {
        folded_.push_back({position, count});
      }
    }
    folded_.insert(folded_.end(), old, entries_.end());
    entries_.swap(folded_);
    keys_.clear();
  }

  static constexpr std::size_t kBatch = 4096;

  const Trie& trie_;
  const std::uint32_t top_n_;
  std::vector<State> state_;
  std::vector<std::size_t> begin_;  // processed nodes: their range in ids_ / counts_
  std::vector<std::size_t> length_;
  std::vector<std::uint32_t> total_;
  std::vector<std::uint32_t> ids_;  // results, appended in processing order
  std::vector<std::uint32_t> counts_;
  std::vector<PayloadView> sources_;  // scratch, reused for every node
  std::vector<std::uint64_t> keys_;   // entries not folded yet
  std::vector<Entry> entries_;
  std::vector<Entry> folded_;
  Cancel& cancel_;
};

}  // namespace

void Trie::propagate(std::uint32_t video_top_n, Cancel cancel) {
  payloads = Propagation(*this, video_top_n, cancel).run();
}

}  // namespace torrelm::prefix

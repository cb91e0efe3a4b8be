#include "payload/payload_table.hpp"

#include <algorithm>
#include <string>

#include "common/fault.hpp"
#include "common/huge_pages.hpp"

namespace torrelm::payload {
namespace {

// The number of bits set in `bits`. Portable builds target processors without a population count
// instruction, where std::popcount becomes a library call; these few shifts and one multiply stay
// inline, in the hot path of at().
int ones(std::uint64_t bits) noexcept {
  bits -= (bits >> 1) & 0x5555'5555'5555'5555;
  bits = (bits & 0x3333'3333'3333'3333) + ((bits >> 2) & 0x3333'3333'3333'3333);
  bits = (bits + (bits >> 4)) & 0x0F0F'0F0F'0F0F'0F0F;
  return static_cast<int>((bits * 0x0101'0101'0101'0101) >> 56);
}

}  // namespace

std::optional<PayloadView> PayloadTableView::at(std::size_t node, SourceLocation where) const {
  if (node >= slots) throw_out_of_bounds(slots, node, where);
  // Propagation gives every node a payload, so in a built index the slot is its own place among
  // the present ones: its ranges are loaded at once, not after a look at the bitmap.
  std::size_t present = node;
  if (total_count.size() != slots) {
    const PresenceWord& word = checked_at(words, node / kSlotsPerWord, where);
    const std::uint64_t bit = std::uint64_t{1} << (node % kSlotsPerWord);
    if ((word.bits & bit) == 0) return std::nullopt;
    present =
        static_cast<std::size_t>(word.rank) + static_cast<std::size_t>(ones(word.bits & (bit - 1)));
  }
  const OffsetsView& counts_ends = parallel ? ids_end : counts_end;
  const std::uint32_t total = checked_at(total_count, present, where);
  const std::size_t ids_stop = checked_at(ids_end, present, where);
  const std::size_t counts_stop = checked_at(counts_ends, present, where);
  const std::size_t ids_begin = present == 0 ? 0 : ids_end[present - 1];
  const std::size_t counts_begin = present == 0 ? 0 : counts_ends[present - 1];
  if (ids_begin > ids_stop || ids_stop > video_ids.size() || counts_begin > counts_stop ||
      counts_stop > video_counts.size()) {
    throw InternalFault("payload slot " + std::to_string(node) + " has ranges outside its arrays",
                        where);
  }
  return PayloadView{total, video_ids.subspan(ids_begin, ids_stop - ids_begin),
                     video_counts.subspan(counts_begin, counts_stop - counts_begin)};
}

std::size_t PayloadTableView::memory_bytes() const noexcept {
  const auto offsets = [](const OffsetsView& o) {
    return o.narrow.size_bytes() + o.wide_values.size_bytes();
  };
  return words.size_bytes() + total_count.size_bytes() + offsets(ids_end) +
         (parallel ? 0 : offsets(counts_end)) + video_ids.size_bytes() + video_counts.size_bytes();
}

bool operator==(const PayloadTableView& a, const PayloadTableView& b) {
  if (a.size() != b.size() || a.present_count() != b.present_count() ||
      a.entry_count() != b.entry_count()) {
    return false;
  }
  bool same = true;
  std::size_t slot = 0;
  a.for_each([&](bool present, const PayloadView& view) {
    if (!same) return;
    const auto other = b.at(slot++);
    if (present != other.has_value()) {
      same = false;
    } else if (present) {
      same = view.total_count == other->total_count &&
             std::ranges::equal(view.video_ids, other->video_ids) &&
             std::ranges::equal(view.video_counts, other->video_counts);
    }
  });
  return same;
}

std::optional<Payload> PayloadTable::payload(std::size_t node) const {
  const auto view = at(node);
  if (!view) return std::nullopt;
  return Payload{view->total_count,
                 {view->video_ids.begin(), view->video_ids.end()},
                 {view->video_counts.begin(), view->video_counts.end()}};
}

PayloadTable PayloadTable::all_present(std::vector<std::uint32_t> totals,
                                       std::span<const std::size_t> lengths,
                                       std::vector<std::uint32_t> ids,
                                       std::vector<std::uint32_t> counts) {
  PayloadTable table;
  table.size_ = lengths.size();
  table.words_.resize((lengths.size() + kWordBits - 1) / kWordBits);
  for (std::size_t w = 0; w < table.words_.size(); ++w) {
    const std::size_t in_word = std::min(kWordBits, lengths.size() - w * kWordBits);
    table.words_[w] = {in_word == kWordBits ? ~std::uint64_t{0} : (std::uint64_t{1} << in_word) - 1,
                       w * kWordBits};
  }
  table.ids_end_.reserve(lengths.size());
  std::size_t end = 0;
  for (const std::size_t length : lengths) table.ids_end_.push_back(end += length);
  if (end != ids.size() || end != counts.size() || totals.size() != lengths.size()) {
    throw InternalFault("payload arrays disagree with their lengths", SourceLocation::current());
  }
  table.total_count_ = std::move(totals);
  table.video_ids_ = std::move(ids);
  table.video_counts_ = std::move(counts);
  return table;
}

void PayloadTable::reserve(std::size_t slots, std::size_t entries) {
  reserve(slots, slots, entries, entries);
}

void PayloadTable::reserve(std::size_t slots, std::size_t present, std::size_t ids,
                           std::size_t counts) {
  words_.reserve((slots + kWordBits - 1) / kWordBits);
  total_count_.reserve(present);
  ids_end_.reserve(present);
  if (!parallel_) counts_end_.reserve(present);
  video_ids_.reserve(ids);
  video_counts_.reserve(counts);
  for (const auto* entries : {&total_count_, &video_ids_, &video_counts_}) {
    prefer_huge_pages(entries->data(), entries->capacity() * sizeof(std::uint32_t));
  }
}

void PayloadTable::shrink_to_fit() {
  words_.shrink_to_fit();
  total_count_.shrink_to_fit();
  ids_end_.shrink_to_fit();
  counts_end_.shrink_to_fit();
  video_ids_.shrink_to_fit();
  video_counts_.shrink_to_fit();
}

void PayloadTable::push_presence(bool present) {
  const std::size_t bit = size_ % kWordBits;
  // Every earlier slot is complete, so the present ones among them are those with a total.
  if (bit == 0) words_.push_back({0, total_count_.size()});
  if (present) words_.back().bits |= std::uint64_t{1} << bit;
  ++size_;
}

void PayloadTable::push_absent() { push_presence(false); }

void PayloadTable::open_slot(std::uint32_t total_count) {
  push_presence(true);
  total_count_.push_back(total_count);
}

std::span<std::uint32_t> PayloadTable::add_ids(std::size_t n) {
  video_ids_.resize(video_ids_.size() + n);
  return std::span(video_ids_).last(n);
}

std::span<std::uint32_t> PayloadTable::add_counts(std::size_t n) {
  video_counts_.resize(video_counts_.size() + n);
  return std::span(video_counts_).last(n);
}

void PayloadTable::close_slot() {
  if (parallel_ && video_ids_.size() != video_counts_.size()) {
    parallel_ = false;
    // As many ends as there is room for present slots, whatever the reservation was.
    counts_end_.reserve(total_count_.capacity());
    // Every earlier slot was parallel: its counts ended where its positions did.
    for (std::size_t i = 0; i < ids_end_.size(); ++i) counts_end_.push_back(ids_end_[i]);
  }
  ids_end_.push_back(video_ids_.size());
  if (!parallel_) counts_end_.push_back(video_counts_.size());
}

void PayloadTable::push(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
                        std::span<const std::uint32_t> video_counts) {
  open_slot(total_count);
  const auto ids = add_ids(video_ids.size());
  std::copy(video_ids.begin(), video_ids.end(), ids.begin());
  const auto counts = add_counts(video_counts.size());
  std::copy(video_counts.begin(), video_counts.end(), counts.begin());
  close_slot();
}

void PayloadTable::push(const std::optional<Payload>& slot) {
  if (slot) {
    push(slot->total_count, slot->video_ids, slot->video_counts);
  } else {
    push_absent();
  }
}

std::size_t PayloadTable::memory_bytes() const noexcept {
  return words_.capacity() * sizeof(PresenceWord) +
         total_count_.capacity() * sizeof(std::uint32_t) + ids_end_.memory_bytes() +
         counts_end_.memory_bytes() +
         (video_ids_.capacity() + video_counts_.capacity()) * sizeof(std::uint32_t);
}

}  // namespace torrelm::payload

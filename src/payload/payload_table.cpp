#include "payload/payload_table.hpp"

#include <algorithm>

#include "common/fault.hpp"

namespace torrelm::payload {

std::optional<PayloadView> PayloadTable::at(std::size_t node, SourceLocation where) const {
  if (node >= present_.size()) throw_out_of_bounds(present_.size(), node, where);
  if (!present_[node]) return std::nullopt;
  const Offsets& counts_end = parallel_ ? ids_end_ : counts_end_;
  const std::size_t ids_begin = node == 0 ? 0 : ids_end_[node - 1];
  const std::size_t counts_begin = node == 0 ? 0 : counts_end[node - 1];
  return PayloadView{total_count_[node], ids(ids_begin, ids_end_[node]),
                     counts(counts_begin, counts_end[node])};
}

std::optional<Payload> PayloadTable::payload(std::size_t node) const {
  const auto view = at(node);
  if (!view) return std::nullopt;
  return Payload{view->total_count,
                 {view->video_ids.begin(), view->video_ids.end()},
                 {view->video_counts.begin(), view->video_counts.end()}};
}

void PayloadTable::reserve(std::size_t slots, std::size_t entries) {
  total_count_.reserve(slots);
  present_.reserve(slots);
  ids_end_.reserve(slots);
  video_ids_.reserve(entries);
  video_counts_.reserve(entries);
}

void PayloadTable::push_absent() {
  total_count_.push_back(0);
  present_.push_back(0);
  ids_end_.push_back(video_ids_.size());
  if (!parallel_) counts_end_.push_back(video_counts_.size());
}

void PayloadTable::open_slot(std::uint32_t total_count) {
  total_count_.push_back(total_count);
  present_.push_back(1);
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
  return total_count_.capacity() * sizeof(std::uint32_t) + present_.capacity() +
         ids_end_.memory_bytes() + counts_end_.memory_bytes() +
         (video_ids_.capacity() + video_counts_.capacity()) * sizeof(std::uint32_t);
}

}  // namespace torrelm::payload

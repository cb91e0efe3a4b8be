#include "payload/payload_table.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace torrelm::payload {
namespace {

using Slots = std::vector<std::optional<Payload>>;

// `n` slots, slot i given by `slot(i)`.
Slots make_slots(std::size_t n, const std::function<std::optional<Payload>(std::size_t)>& slot) {
  Slots out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(slot(i));
  return out;
}

// Slot i with i % 3 + 1 positions and as many counts, all told apart by their values.
Payload entries(std::size_t i) {
  const auto v = static_cast<std::uint32_t>(i);
  Payload p{v + 1, {}, {}};
  for (std::uint32_t k = 0; k <= v % 3; ++k) {
    p.video_ids.push_back(v * 4 + k);
    p.video_counts.push_back(v * 4 + k + 1000);
  }
  return p;
}

std::string message(const std::function<void()>& body) {
  try {
    body();
  } catch (const InternalFault& fault) {
    return fault.what();
  }
  return "no fault";
}

PayloadTable pushed(const Slots& slots) {
  PayloadTable table;
  for (const auto& slot : slots) table.push(slot);
  return table;
}

// Shapes around the 64-slot words of the presence bitmap: edges of words, runs that span several,
// the table where every slot is present (at() takes a shortcut there) and ones where not all are.
struct Shape {
  const char* name;
  Slots slots;
};

std::vector<Shape> shapes() {
  using Slot = std::optional<Payload>;
  const auto absent = [](std::size_t) { return Slot(); };
  const auto empty = [](std::size_t) { return Slot(Payload{}); };
  const auto all_but_the_last = [](std::size_t i) { return i == 64 ? Slot() : Slot(entries(i)); };
  const auto word_edges = [](std::size_t i) {
    return i % 64 == 0 || i % 64 == 63 ? Slot(entries(i)) : Slot();
  };
  const auto odd = [](std::size_t i) { return i % 2 ? Slot(entries(i)) : Slot(); };
  const auto thousandth = [](std::size_t i) { return i == 1000 ? Slot(entries(i)) : Slot(); };
  const auto uneven_later = [](std::size_t i) {
    if (i % 5 == 0) return Slot();
    Payload p = entries(i);
    if (i >= 70 && i % 2) p.video_counts.pop_back();
    if (i >= 70 && i % 4 == 0) p.video_counts.push_back(7);
    return Slot(p);
  };
  return {
      {"no slots", {}},
      {"all absent over three words", make_slots(130, absent)},
      {"all present, no entries", make_slots(130, empty)},
      {"all present with entries", make_slots(129, entries)},
      {"all present but the last", make_slots(65, all_but_the_last)},
      {"present at the edges of words", make_slots(200, word_edges)},
      {"alternating", make_slots(150, odd)},
      {"one present slot after a thousand absent", make_slots(1001, thousandth)},
      {"uneven counts from the middle on", make_slots(150, uneven_later)},
  };
}

TEST(PayloadTable, ReadsBackEverySlotOfEveryShape) {
  for (const Shape& shape : shapes()) {
    SCOPED_TRACE(shape.name);
    const Slots& slots = shape.slots;
    const PayloadTable table = pushed(slots);
    ASSERT_EQ(table.size(), slots.size());
    std::size_t present = 0;
    std::size_t entries_held = 0;
    for (std::size_t i = 0; i < slots.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(table.payload(i), slots[i]);
      present += slots[i].has_value();
      entries_held += slots[i] ? slots[i]->video_ids.size() : 0;
    }
    EXPECT_EQ(table.present_count(), present);
    EXPECT_EQ(table.entry_count(), entries_held);

    Slots walked;
    table.for_each([&](bool is_present, const PayloadView& view) {
      if (!is_present) {
        EXPECT_EQ(view.video_ids.size() + view.video_counts.size(), 0u);
        walked.emplace_back();
        return;
      }
      walked.push_back(Payload{view.total_count,
                               {view.video_ids.begin(), view.video_ids.end()},
                               {view.video_counts.begin(), view.video_counts.end()}});
    });
    EXPECT_EQ(walked, slots);

    const std::string past = std::to_string(slots.size());
    EXPECT_EQ(message([&] { table.at(slots.size()); }),
              "index out of bounds: the len is " + past + " but the index is " + past);
  }
}

TEST(PayloadTable, EqualsWhateverWayItWasFilled) {
  for (const Shape& shape : shapes()) {
    SCOPED_TRACE(shape.name);
    const PayloadTable table = pushed(shape.slots);

    // Reserved up front and filled in place, as a reader does, then trimmed.
    PayloadTable in_place;
    in_place.reserve(shape.slots.size(), 3, 5, 7);
    for (const auto& slot : shape.slots) {
      if (!slot) {
        in_place.push_absent();
        continue;
      }
      in_place.open_slot(slot->total_count);
      std::ranges::copy(slot->video_ids, in_place.add_ids(slot->video_ids.size()).begin());
      std::ranges::copy(slot->video_counts, in_place.add_counts(slot->video_counts.size()).begin());
      in_place.close_slot();
    }
    EXPECT_EQ(in_place, table);
    in_place.shrink_to_fit();
    EXPECT_EQ(in_place, table);

    // An absent slot is not an empty one.
    for (const std::size_t flip :
         {std::size_t{0}, shape.slots.size() / 2, shape.slots.size() - 1}) {
      if (flip >= shape.slots.size()) continue;
      Slots other = shape.slots;
      other[flip] = other[flip] ? std::nullopt : std::optional(Payload{});
      EXPECT_NE(pushed(other), table) << "slot " << flip << " flipped";
    }
  }
}

TEST(PayloadTable, TakesTwoBitsForAnAbsentSlot) {
  // The layout's own cost, once trimmed: 16 bytes for each word of 64 slots, 4 for a present
  // slot's total and 4 for its end (4 more once counts are uneven), 4 for each entry.
  for (const Shape& shape : shapes()) {
    SCOPED_TRACE(shape.name);
    PayloadTable table = pushed(shape.slots);
    table.shrink_to_fit();
    std::size_t present = 0;
    std::size_t entries_held = 0;
    for (const auto& slot : shape.slots) {
      if (!slot) continue;
      ++present;
      entries_held += slot->video_ids.size() + slot->video_counts.size();
    }
    const std::size_t words = (shape.slots.size() + 63) / 64;
    EXPECT_LE(table.memory_bytes(), 16 * words + 12 * present + 4 * entries_held);
  }
}

}  // namespace
}  // namespace torrelm::payload

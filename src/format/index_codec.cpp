#include "format/index_codec.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "common/huge_pages.hpp"
#include "format/byte_reader.hpp"
#include "format/byte_writer.hpp"

namespace torrelm::format {
namespace {

// Not a name of any one language's optional type: what the message calls the payload slot.
constexpr const char* kPayloadSlotName = "Optional<Payload>";

template <class Numbers>
std::uint64_t values_size(const Numbers& values) {
  std::uint64_t size = 0;
  for (const auto v : values) size += varint_size(v);
  return size;
}

// The same for 32-bit values, in 32-bit lanes that the compiler can run side by side: no value
// takes the 9-byte form. Summed in blocks whose total cannot overflow 32 bits.
std::uint64_t values_size(std::span<const std::uint32_t> values) {
  constexpr std::size_t kBlock = std::size_t{1} << 24;  // at most 5 bytes each
  std::uint64_t size = 0;
  for (std::size_t begin = 0; begin < values.size(); begin += kBlock) {
    const std::size_t end = std::min(values.size(), begin + kBlock);
    std::uint32_t block = 0;
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint32_t v = values[i];
      block += 1 + 2 * std::uint32_t{v >= 0xFB} + 2 * std::uint32_t{v > 0xFFFF};
    }
    size += block;
  }
  return size;
}

// A sequence of varints: its count, then the values.
template <class Numbers>
std::uint64_t varints_size(const Numbers& values) {
  return varint_size(values.size()) + values_size(values);
}

template <class Numbers>
void write_varints(ByteWriter& out, const Numbers& values) {
  out.varint(values.size());
  for (const auto v : values) out.varint(v);
}

// Storage to reserve for `count` elements of at least `smallest` bytes each.
std::size_t room(std::size_t count, const ByteReader& in, std::size_t smallest) {
  return std::min(count, in.remaining() / smallest);
}

// Reads `count` u32 varints into `out`, which has room for min(count, bytes left) of them: every
// element takes at least one byte, so a longer count fails at the first element past the input.
// A long sequence is read in runs, each counted on `cancel`, so that it can be stopped.
bool read_u32s(ByteReader& in, std::size_t count, std::span<std::uint32_t> out, Cancel& cancel) {
  for (std::size_t done = 0; done < out.size();) {
    const std::size_t run = std::min(out.size() - done, Cancel::kInterval);
    cancel.step(run);
    if (!in.u32s(out.subspan(done, run))) return false;
    done += run;
  }
  std::uint32_t past = 0;
  return count == out.size() || in.u32(past);
}

bool read_u32s(ByteReader& in, std::vector<std::uint32_t>& out, Cancel& cancel) {
  std::size_t count = 0;
  if (!in.count(count)) return false;
  const std::size_t size = room(count, in, 1);
  out.reserve(size);
  prefer_huge_pages(out.data(), size * sizeof(std::uint32_t));
  out.resize(size);
  return read_u32s(in, count, out, cancel);
}

// What a table holding `held` items once `done` of the `total` units of its input are read (slots,
// or bytes) will hold at the end. The slots of a stored index look alike from first to last, so a
// table grows about in step with its input; a sixteenth more covers the drift, and beyond that the
// arrays double as usual. Never more than `most` items more, all the rest could hold.
std::size_t expected(std::size_t held, std::size_t done, std::size_t total, std::size_t most) {
  const double scale =
      static_cast<double>(total - done) / static_cast<double>(done) * (17.0 / 16.0);
  return held + static_cast<std::size_t>(
                    std::min(static_cast<double>(held) * scale, static_cast<double>(most)));
}

bool read_payloads(ByteReader& in, payload::PayloadTable& table, Cancel& cancel) {
  std::size_t count = 0;
  if (!in.count(count)) return false;
  // Nothing but the presence bits is reserved before the slots show what they hold: an index of
  // absent slots must not pay for the entries that other indexes would have. Growing by doubling
  // alone would copy the whole table over and over, so each time the bytes read double from a
  // 64th of the input on, the table is sized for what the rest of the input is likely to hold.
  const std::size_t slots = room(count, in, 1);
  table.reserve(slots, 0, 0, 0);
  const std::size_t start = in.remaining();
  std::size_t next_look = start / 64;
  for (std::size_t i = 0; i < count; ++i) {
    cancel.step();
    if (const std::size_t read = start - in.remaining(); read > next_look) {
      // Present slots are judged by the share of the slots read, which the count gives exactly
      // (a slot near the root holds more entries than a deep one, so its bytes would misjudge
      // them); entries by the share of the bytes read.
      const std::size_t ahead = in.remaining();
      table.reserve(slots,
                    expected(table.present_count(), i, count, std::min(count - i, ahead / 4)),
                    expected(table.entry_count(), read, start, ahead),
                    expected(table.all_video_counts().size(), read, start, ahead));
      next_look = read > start / 2 ? start : 2 * read;
    }
    bool present = false;
    if (!in.option_tag(present, kPayloadSlotName)) return false;
    if (!present) {
      table.push_absent();
      continue;
    }
    std::uint32_t total = 0;
    std::size_t ids = 0;
    if (!in.u32(total) || !in.count(ids)) return false;
    table.open_slot(total);
    if (!read_u32s(in, ids, table.add_ids(room(ids, in, 1)), cancel)) return false;
    std::size_t counts = 0;
    if (!in.count(counts) ||
        !read_u32s(in, counts, table.add_counts(room(counts, in, 1)), cancel)) {
      return false;
    }
    table.close_slot();
  }
  // An exactly sized table takes at most 4 bytes for each byte it was read from (a one-byte varint
  // becomes a 4-byte entry). Spare room within that is kept: giving it back would copy the table,
  // and its untouched pages cost no memory.
  if (table.memory_bytes() > std::uint64_t{4} * (start - in.remaining()) + 64)
    table.shrink_to_fit();
  return true;
}

}  // namespace

std::uint64_t encoded_size(const prefix::TrieView& trie) {
  // Counted in 64 bits: on a 32-bit platform the stored form of a large index can outgrow size_t.
  std::uint64_t size = varints_size(trie.node_shifts);
  size += varint_size(trie.child_labels.size());
  for (const char32_t ch : trie.child_labels) size += scalar_size(ch);
  size += varints_size(trie.child_transitions);
  size += varint_size(trie.payloads.size());
  trie.payloads.for_each([&](bool present, const payload::PayloadView& slot) {
    size += 1;
    if (present) {
      size += varint_size(slot.total_count) + varint_size(slot.video_ids.size()) +
              varint_size(slot.video_counts.size());
    }
  });
  // The entries of all slots lie end to end: one long loop sizes them all.
  size +=
      values_size(trie.payloads.all_video_ids()) + values_size(trie.payloads.all_video_counts());
  size += varint_size(trie.video_uuids.size()) + 16 * trie.video_uuids.size();
  size += varints_size(trie.video_int_ids);
  size += varint_size(static_cast<std::uint8_t>(trie.id_mode));
  size += varint_size(trie.is_terminal.size()) + trie.is_terminal.size();
  return size;
}

void encode(const prefix::TrieView& trie, std::span<std::uint8_t> out) {
  ByteWriter w(out.data(), out.size());
  write_varints(w, trie.node_shifts);
  w.varint(trie.child_labels.size());
  for (const char32_t ch : trie.child_labels) w.scalar(ch);
  write_varints(w, trie.child_transitions);
  w.varint(trie.payloads.size());
  trie.payloads.for_each([&](bool present, const payload::PayloadView& slot) {
    w.byte(present ? 1 : 0);
    if (present) {
      w.varint(slot.total_count);
      write_varints(w, slot.video_ids);
      write_varints(w, slot.video_counts);
    }
  });
  w.varint(trie.video_uuids.size());
  for (const auto& uuid : trie.video_uuids) w.bytes(uuid.data(), uuid.size());
  write_varints(w, trie.video_int_ids);
  w.varint(static_cast<std::uint8_t>(trie.id_mode));
  w.varint(trie.is_terminal.size());
  // Booleans are written as they are held: the writer keeps whatever the index contains.
  w.bytes(trie.is_terminal.data(), trie.is_terminal.size());
}

std::vector<std::uint8_t> encode(const prefix::TrieView& trie) {
  const std::uint64_t size = encoded_size(trie);
  if (size > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
  std::vector<std::uint8_t> out(static_cast<std::size_t>(size));
  encode(trie, out);
  return out;
}

Expected<prefix::Trie, DecodeError> decode(std::span<const std::uint8_t> bytes, Cancel cancel) {
  std::size_t unread = 0;
  return decode(bytes, cancel, unread);
}

Expected<prefix::Trie, DecodeError> decode(std::span<const std::uint8_t> bytes, Cancel cancel,
                                           std::size_t& unread) {
  ByteReader in(bytes);
  prefix::Trie trie;
  const auto failed = [&] { return Unexpected{in.error()}; };

  if (!read_u32s(in, trie.node_shifts, cancel)) return failed();

  std::size_t count = 0;
  if (!in.count(count)) return failed();
  const std::size_t labels = room(count, in, 1);
  trie.child_labels.reserve(labels);
  prefer_huge_pages(trie.child_labels.data(), labels * sizeof(char32_t));
  trie.child_labels.resize(labels);
  for (char32_t& ch : trie.child_labels) {
    cancel.step();
    if (!in.ascii(ch) && !in.scalar(ch)) return failed();
  }
  char32_t past = 0;
  if (count != trie.child_labels.size() && !in.scalar(past)) return failed();

  if (!read_u32s(in, trie.child_transitions, cancel) || !read_payloads(in, trie.payloads, cancel)) {
    return failed();
  }

  if (!in.count(count)) return failed();
  trie.video_uuids.reserve(room(count, in, 16));
  for (std::size_t i = 0; i < count; ++i) {
    cancel.step();
    prefix::VideoUuid uuid;
    if (!in.array16(uuid.data())) return failed();
    trie.video_uuids.push_back(uuid);
  }

  if (!read_u32s(in, trie.video_int_ids, cancel)) return failed();

  std::uint32_t mode = 0;
  if (!in.u32(mode)) return failed();
  if (mode > 1) return Unexpected{DecodeError::unexpected_variant("IdMode", mode)};
  trie.id_mode = static_cast<prefix::IdMode>(mode);

  if (!in.count(count)) return failed();
  trie.is_terminal.resize(room(count, in, 1));
  for (std::uint8_t& flag : trie.is_terminal) {
    cancel.step();
    if (!in.boolean(flag)) return failed();
  }
  std::uint8_t past_flag = 0;
  if (count != trie.is_terminal.size() && !in.boolean(past_flag)) return failed();
  unread = in.remaining();
  return trie;
}

}  // namespace torrelm::format

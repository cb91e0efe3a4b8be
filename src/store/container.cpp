#include "store/container.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

// Header-only: nothing to link, and the cross builds need no library built for their target.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace torrelm::store {
namespace {

using prefix::Trie;
using prefix::TrieView;

constexpr std::array<std::uint8_t, 8> kMagic = {'T', 'O', 'R', 'R', 'E', 'L', 'M', 0x1A};
constexpr std::uint32_t kByteOrderMark = 0x0102'0304;
constexpr std::uint32_t kSwappedMark = 0x0403'0201;
constexpr std::size_t kHeaderSize = 40;
constexpr std::size_t kEntrySize = 40;
constexpr std::size_t kChecksumAt = 32;  // the header checksum covers the bytes before it
constexpr std::uint64_t kAlignment = 64;

// Header flags.
constexpr std::uint32_t kIntIds = 1;  // id_mode is Int32
// Section flags.
constexpr std::uint32_t kWide = 1;     // range ends of 8 bytes, not 4
constexpr std::uint32_t kDerived = 2;  // search counts derived from saturated totals
constexpr std::uint32_t kSorted = 4;   // walk table whose child lists are all sorted by label

enum Kind : std::uint32_t {
  kNodeShifts = 1,
  kChildLabels,
  kChildTransitions,
  kPresence,
  kTotals,
  kIdsEnd,
  kCountsEnd,
  kIds,
  kCounts,
  kIntIdTable,
  kUuidTable,
  kTerminal,
  kMetadata,
  kExternalIds,
  kSpellings,
  kTermCounts32,
  kBestCounts32,
  kTermCounts,
  kBestCounts,
  kWordStarts,
  kWalkNodes,
  kWalkIds,
  kCompletionRecords,
  kCompletionRanks,
  kKindEnd
};

constexpr const char* kNames[] = {"",
                                  "node_shifts",
                                  "child_labels",
                                  "child_transitions",
                                  "payload_presence",
                                  "payload_totals",
                                  "payload_ids_end",
                                  "payload_counts_end",
                                  "payload_ids",
                                  "payload_counts",
                                  "video_int_ids",
                                  "video_uuids",
                                  "is_terminal",
                                  "metadata",
                                  "external_ids",
                                  "spellings",
                                  "term_counts",
                                  "best_counts",
                                  "term_counts_64",
                                  "best_counts_64",
                                  "word_starts",
                                  "walk_nodes",
                                  "walk_ids",
                                  "completion_records",
                                  "completion_ranks"};

std::string name(std::uint32_t kind) {
  return kind > 0 && kind < kKindEnd ? kNames[kind] : "of kind " + std::to_string(kind);
}

// Bytes per element of a known kind; ranges ends take 8 when wide.
std::size_t element_size(std::uint32_t kind, std::uint32_t flags) {
  switch (kind) {
    case kPresence:
    case kUuidTable:
      return 16;
    case kTermCounts:
    case kBestCounts:
      return 8;
    case kWalkNodes:
      return 12;
    case kCompletionRecords:
      return 24;
    case kIdsEnd:
    case kCountsEnd:
      return (flags & kWide) != 0 ? 8 : 4;
    case kTerminal:
    case kMetadata:
    case kExternalIds:
    case kSpellings:
    case kWordStarts:
      return 1;
    default:
      return 4;
  }
}

std::uint64_t align(std::uint64_t offset) {
  return (offset + kAlignment - 1) / kAlignment * kAlignment;
}

template <class T>
std::span<const std::uint8_t> bytes_of(std::span<const T> values) {
  return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
}
template <class T>
std::span<const std::uint8_t> bytes_of(const std::vector<T>& values) {
  return bytes_of(std::span<const T>(values));
}

// Range ends stored 4 bytes wide while the last one fits, as the table holds them.
struct Ends {
  std::vector<std::uint32_t> narrow;
  std::vector<std::uint64_t> wide;
  bool is_wide() const noexcept { return !wide.empty(); }
  std::span<const std::uint8_t> bytes() const {
    return is_wide() ? bytes_of(wide) : bytes_of(narrow);
  }
  static Ends of(const std::vector<std::uint64_t>& values) {
    Ends ends;
    if (!values.empty() && values.back() > std::numeric_limits<std::uint32_t>::max()) {
      ends.wide = values;
    } else {
      ends.narrow.assign(values.begin(), values.end());
    }
    return ends;
  }
};

struct Section {
  std::uint32_t kind;
  std::uint32_t flags;
  std::span<const std::uint8_t> data;
};

// Everything the writer puts down, with the payload table's arrays rebuilt from its slots: the
// presence words with their ranks, the totals and the range ends.
struct Plan {
  std::vector<std::uint64_t> presence;  // bits, rank, for each word of 64 slots
  std::vector<std::uint32_t> totals;
  Ends ids_end;
  Ends counts_end;
  bool parallel = true;
  std::vector<Section> sections;

  std::uint64_t table_end() const { return kHeaderSize + kEntrySize * sections.size(); }
  std::uint64_t size() const {
    std::uint64_t end = table_end();
    for (const Section& s : sections) end = align(end) + s.data.size();
    return end;
  }
};

Plan plan(const TrieView& trie, const ContainerExtras& extras) {
  Plan p;
  const payload::PayloadTableView& table = trie.payloads;
  std::vector<std::uint64_t> ids_end;
  std::vector<std::uint64_t> counts_end;
  std::uint64_t ids = 0;
  std::uint64_t counts = 0;
  std::size_t slot = 0;
  p.presence.reserve((table.size() + 63) / 64 * 2);
  table.for_each([&](bool present, const payload::PayloadView& view) {
    if (slot % 64 == 0) p.presence.insert(p.presence.end(), {0, p.totals.size()});
    if (present) {
      p.presence[p.presence.size() - 2] |= std::uint64_t{1} << (slot % 64);
      p.totals.push_back(view.total_count);
      ids_end.push_back(ids += view.video_ids.size());
      counts_end.push_back(counts += view.video_counts.size());
      p.parallel = p.parallel && view.video_ids.size() == view.video_counts.size();
    }
    ++slot;
  });
  p.ids_end = Ends::of(ids_end);
  if (!p.parallel) p.counts_end = Ends::of(counts_end);

  const auto add = [&](std::uint32_t kind, std::span<const std::uint8_t> data,
                       std::uint32_t flags = 0) {
    p.sections.push_back({kind, flags, data});
  };
  add(kNodeShifts, bytes_of(trie.node_shifts));
  add(kChildLabels, bytes_of(trie.child_labels));
  add(kChildTransitions, bytes_of(trie.child_transitions));
  add(kPresence, bytes_of(p.presence));
  add(kTotals, bytes_of(p.totals));
  add(kIdsEnd, p.ids_end.bytes(), p.ids_end.is_wide() ? kWide : 0);
  if (!p.parallel) add(kCountsEnd, p.counts_end.bytes(), p.counts_end.is_wide() ? kWide : 0);
  add(kIds, bytes_of(table.all_video_ids()));
  add(kCounts, bytes_of(table.all_video_counts()));
  // The table the id mode selects always; the other only when it holds something.
  const bool ints = trie.id_mode == prefix::IdMode::Int32;
  if (ints || !trie.video_int_ids.empty()) add(kIntIdTable, bytes_of(trie.video_int_ids));
  if (!ints || !trie.video_uuids.empty()) add(kUuidTable, bytes_of(trie.video_uuids));
  add(kTerminal, bytes_of(trie.is_terminal));
  const auto text = [](const std::string& s) {
    return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  };
  if (!extras.metadata.empty()) add(kMetadata, text(extras.metadata));
  if (!extras.external_ids.empty()) add(kExternalIds, text(extras.external_ids));
  if (!extras.spellings.empty()) add(kSpellings, text(extras.spellings));
  if (!extras.term_counts_32.empty()) add(kTermCounts32, text(extras.term_counts_32));
  if (!extras.best_counts_32.empty()) add(kBestCounts32, text(extras.best_counts_32));
  const std::uint32_t derived = extras.counts_derived ? kDerived : 0;
  if (!extras.term_counts.empty()) add(kTermCounts, text(extras.term_counts), derived);
  if (!extras.best_counts.empty()) add(kBestCounts, text(extras.best_counts), derived);
  if (!extras.word_starts.empty()) add(kWordStarts, text(extras.word_starts));
  if (!extras.walk_nodes.empty()) {
    add(kWalkNodes, text(extras.walk_nodes), extras.walk_sorted ? kSorted : 0);
    add(kWalkIds, text(extras.walk_ids));
  }
  if (!extras.completion_records.empty()) {
    add(kCompletionRecords, text(extras.completion_records));
    if (!extras.completion_ranks.empty()) add(kCompletionRanks, text(extras.completion_ranks));
  }
  return p;
}

template <class T>
void put(std::span<std::uint8_t> out, std::size_t at, T value) {
  std::memcpy(out.data() + at, &value, sizeof value);
}

template <class T>
T get(std::span<const std::uint8_t> in, std::uint64_t at) {
  T value;
  std::memcpy(&value, in.data() + at, sizeof value);
  return value;
}

// The header's checksum: its first kChecksumAt bytes, then the section table.
std::uint64_t header_checksum(std::span<const std::uint8_t> bytes, std::size_t table_end) {
  return container_checksum(bytes.subspan(kHeaderSize, table_end - kHeaderSize),
                            container_checksum(bytes.first(kChecksumAt)));
}

struct Entry {
  std::uint32_t kind;
  std::uint32_t flags;
  std::uint64_t offset;
  std::uint64_t length;
  std::uint64_t checksum;
};

Unexpected<ContainerError> refuse(std::string message) {
  return Unexpected{ContainerError{std::move(message)}};
}

std::string where(const Entry& e) {
  return "section " + name(e.kind) + " (offset " + std::to_string(e.offset) + ", " +
         std::to_string(e.length) + " bytes): ";
}

// Hashes in runs, so that a large section can be stopped.
std::uint64_t checksum_counted(std::span<const std::uint8_t> data, Cancel& cancel) {
  constexpr std::size_t kRun = std::size_t{1} << 16;
  if (data.size() <= kRun) return container_checksum(data);
  XXH3_state_t state;
  XXH3_INITSTATE(&state);
  XXH3_64bits_reset(&state);
  for (std::size_t done = 0; done < data.size(); done += kRun) {
    cancel.step(kRun / 64);  // asks every 256 KiB
    const std::size_t run = std::min(kRun, data.size() - done);
    XXH3_64bits_update(&state, data.data() + done, run);
  }
  return XXH3_64bits_digest(&state);
}

// A section's bytes as the elements they hold, where they lie. The reader has checked that the
// section starts at a multiple of 64 from a start aligned for any element.
template <class T>
std::span<const T> elements(std::span<const std::uint8_t> data) {
  return {reinterpret_cast<const T*>(data.data()), data.size() / sizeof(T)};
}

payload::OffsetsView ends_of(const Entry& e, std::span<const std::uint8_t> data) {
  if ((e.flags & kWide) != 0) return {true, {}, elements<std::uint64_t>(data)};
  return {false, elements<std::uint32_t>(data), {}};
}

// The payload table's arrays where they lie. Refuses arrays whose lengths disagree, always (a few
// comparisons), and when `thorough`, ranks and range ends that do not add up (a pass over them).
Expected<payload::PayloadTableView, ContainerError> read_payloads(
    std::uint64_t slots, const Entry* entries[], std::span<const std::uint8_t> bytes, bool thorough,
    Cancel& cancel) {
  const auto data = [&](std::uint32_t kind) {
    const Entry& e = *entries[kind];
    return bytes.subspan(static_cast<std::size_t>(e.offset), static_cast<std::size_t>(e.length));
  };
  payload::PayloadTableView table;
  table.slots = static_cast<std::size_t>(slots);
  table.words = elements<payload::PresenceWord>(data(kPresence));
  table.total_count = elements<std::uint32_t>(data(kTotals));
  table.ids_end = ends_of(*entries[kIdsEnd], data(kIdsEnd));
  table.video_ids = elements<std::uint32_t>(data(kIds));
  table.video_counts = elements<std::uint32_t>(data(kCounts));
  table.parallel = entries[kCountsEnd] == nullptr;
  if (!table.parallel) table.counts_end = ends_of(*entries[kCountsEnd], data(kCountsEnd));

  const Entry& presence_entry = *entries[kPresence];
  const std::uint64_t words = slots / 64 + (slots % 64 != 0 ? 1 : 0);
  if (table.words.size() != words) {
    return refuse(where(presence_entry) + std::to_string(table.words.size()) + " words for " +
                  std::to_string(slots) + " payload slots (" + std::to_string(words) + " needed)");
  }
  const std::size_t present = table.total_count.size();
  const auto ends_problem = [&](std::uint32_t kind, const payload::OffsetsView& ends,
                                std::size_t length) -> std::optional<std::string> {
    const Entry& e = *entries[kind];
    if (ends.size() != present) {
      return where(e) + std::to_string(ends.size()) + " range ends for " + std::to_string(present) +
             " present slots (" + name(kTotals) + ")";
    }
    if (!thorough) return std::nullopt;
    // Ends must rise to exactly the length of the array they divide.
    std::uint64_t last = 0;
    for (std::size_t i = 0; i < ends.size(); ++i) {
      cancel.step();
      if (ends[i] < last || ends[i] > length) {
        return where(e) + "range end " + std::to_string(i) + " is " + std::to_string(ends[i]) +
               ", outside " + std::to_string(last) + ".." + std::to_string(length);
      }
      last = ends[i];
    }
    if (last != length) {
      return where(e) + "the ranges end at " + std::to_string(last) + " but the array holds " +
             std::to_string(length);
    }
    return std::nullopt;
  };
  if (auto problem = ends_problem(kIdsEnd, table.ids_end, table.video_ids.size()))
    return refuse(*problem);
  if (!table.parallel) {
    if (auto problem = ends_problem(kCountsEnd, table.counts_end, table.video_counts.size()))
      return refuse(*problem);
  } else if (table.video_counts.size() != table.video_ids.size()) {
    return refuse(where(*entries[kCounts]) + std::to_string(table.video_counts.size()) +
                  " counts for " + std::to_string(table.video_ids.size()) +
                  " positions and no section payload_counts_end");
  }
  if (!thorough) return table;

  std::uint64_t counted = 0;
  for (std::uint64_t w = 0; w < words; ++w) {
    cancel.step();
    const payload::PresenceWord& word = table.words[static_cast<std::size_t>(w)];
    if (word.rank != counted) {
      return refuse(where(presence_entry) + "word " + std::to_string(w) + " has rank " +
                    std::to_string(word.rank) + " but " + std::to_string(counted) +
                    " present slots come before it");
    }
    const std::uint64_t in_word = std::min<std::uint64_t>(64, slots - 64 * w);
    if (in_word < 64 && (word.bits >> in_word) != 0) {
      return refuse(where(presence_entry) + "word " + std::to_string(w) +
                    " marks slots past the last one");
    }
    for (std::uint64_t b = word.bits; b != 0; b &= b - 1) ++counted;
  }
  if (counted != present) {
    return refuse(where(*entries[kTotals]) + std::to_string(present) + " totals for " +
                  std::to_string(counted) + " present slots");
  }
  return table;
}

}  // namespace

bool looks_like_container(std::span<const std::uint8_t> bytes) noexcept {
  return bytes.size() >= kMagic.size() && std::equal(kMagic.begin(), kMagic.end(), bytes.begin());
}

std::uint64_t container_checksum(std::span<const std::uint8_t> bytes, std::uint64_t seed) {
  return XXH3_64bits_withSeed(bytes.data(), bytes.size(), seed);
}

std::uint64_t container_size(const TrieView& trie, const ContainerExtras& extras) {
  // The same plan as the writer's, so that the two never disagree; the payload arrays it derives
  // hold a few numbers per slot, little next to the entries it only points to.
  return plan(trie, extras).size();
}

void write_container(const TrieView& trie, const ContainerExtras& extras,
                     std::span<std::uint8_t> out) {
  const Plan p = plan(trie, extras);
  if (p.size() != out.size()) {
    throw InternalFault("container of " + std::to_string(p.size()) + " bytes written into " +
                            std::to_string(out.size()),
                        SourceLocation::current());
  }
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  std::copy(kMagic.begin(), kMagic.end(), out.begin());
  put(out, 8, kFormatMajor);
  put(out, 10, kFormatMinor);
  put(out, 12, kByteOrderMark);
  put(out, 16, trie.id_mode == prefix::IdMode::Int32 ? kIntIds : std::uint32_t{0});
  put(out, 20, static_cast<std::uint32_t>(p.sections.size()));
  put(out, 24, static_cast<std::uint64_t>(trie.payloads.size()));
  std::uint64_t end = p.table_end();
  for (std::size_t i = 0; i < p.sections.size(); ++i) {
    const Section& s = p.sections[i];
    const std::uint64_t offset = align(end);
    const std::size_t entry = kHeaderSize + i * kEntrySize;
    put(out, entry, s.kind);
    put(out, entry + 4, s.flags);
    put(out, entry + 8, offset);
    put(out, entry + 16, static_cast<std::uint64_t>(s.data.size()));
    put(out, entry + 24, container_checksum(s.data));
    if (!s.data.empty()) std::memcpy(out.data() + offset, s.data.data(), s.data.size());
    end = offset + s.data.size();
  }
  put(out, kChecksumAt, header_checksum(out, static_cast<std::size_t>(p.table_end())));
}

Expected<ContainedView, ContainerError> read_container_view(std::span<const std::uint8_t> bytes,
                                                            bool checksums, bool arrays,
                                                            Cancel cancel) {
  if (reinterpret_cast<std::uintptr_t>(bytes.data()) % alignof(std::uint64_t) != 0) {
    throw InternalFault("a container is read in place from an address aligned for 8 bytes",
                        SourceLocation::current());
  }
  const std::string file_has = " but the file has " + std::to_string(bytes.size()) + " bytes";
  const std::size_t seen = std::min(bytes.size(), kMagic.size());
  if (!std::equal(kMagic.begin(), kMagic.begin() + static_cast<std::ptrdiff_t>(seen),
                  bytes.begin())) {
    return refuse("not an index file (bad magic)");
  }
  if (bytes.size() < kHeaderSize) {
    return refuse("truncated: the header ends at byte " + std::to_string(kHeaderSize) + file_has);
  }
  // The mark first: on the other byte order every later number reads reversed.
  const auto mark = get<std::uint32_t>(bytes, 12);
  if (mark == kSwappedMark) {
    return refuse(
        "index file written on a machine of the other byte order (mark 04030201): this reader "
        "needs one written with its own");
  }
  if (mark != kByteOrderMark) return refuse("not an index file (bad byte-order mark)");
  const auto major = get<std::uint16_t>(bytes, 8);
  const auto minor = get<std::uint16_t>(bytes, 10);
  const std::string version = std::to_string(major) + "." + std::to_string(minor);
  const std::string ours = " than this reader (" + std::to_string(kFormatMajor) + ".x)";
  if (major > kFormatMajor)
    return refuse("index file format " + version + " is newer" + ours + ": upgrade torrelm");
  if (major < kFormatMajor) return refuse("index file format " + version + " is older" + ours);

  const auto flags = get<std::uint32_t>(bytes, 16);
  const auto count = get<std::uint32_t>(bytes, 20);
  const auto slots = get<std::uint64_t>(bytes, 24);
  const std::uint64_t table_end = kHeaderSize + std::uint64_t{kEntrySize} * count;
  if (table_end > bytes.size()) {
    return refuse("truncated: the section table ends at byte " + std::to_string(table_end) +
                  file_has);
  }
  if (checksums && get<std::uint64_t>(bytes, kChecksumAt) !=
                       header_checksum(bytes, static_cast<std::size_t>(table_end))) {
    return refuse("header (offset 0, " + std::to_string(table_end) + " bytes): checksum mismatch");
  }

  std::vector<Entry> table(count);
  const Entry* known[kKindEnd] = {};
  std::uint64_t end = table_end;
  for (std::uint32_t i = 0; i < count; ++i) {
    cancel.step();
    const std::size_t at = kHeaderSize + std::size_t{i} * kEntrySize;
    Entry& e = table[i];
    e = {get<std::uint32_t>(bytes, at), get<std::uint32_t>(bytes, at + 4),
         get<std::uint64_t>(bytes, at + 8), get<std::uint64_t>(bytes, at + 16),
         get<std::uint64_t>(bytes, at + 24)};
    if (e.offset % kAlignment != 0)
      return refuse(where(e) + "misaligned: sections start at multiples of 64");
    if (e.offset < end) {
      return refuse(
          where(e) + "overlaps " +
          (i == 0 ? std::string("the section table") : "section " + name(table[i - 1].kind)));
    }
    if (e.length > bytes.size() || e.offset > bytes.size() - e.length) {
      return refuse("truncated: section " + name(e.kind) + " ends at byte " +
                    std::to_string(e.offset + e.length) + file_has);
    }
    // Padding is zero, so that no byte of the file goes unchecked.
    for (std::uint64_t b = end; b < e.offset; ++b) {
      if (bytes[static_cast<std::size_t>(b)] != 0) {
        return refuse("padding before " + where(e) + "byte " + std::to_string(b) + " is not zero");
      }
    }
    if (e.kind > 0 && e.kind < kKindEnd) {
      if (known[e.kind] != nullptr) return refuse(where(e) + "appears twice");
      if (e.length % element_size(e.kind, e.flags) != 0) {
        return refuse(where(e) + "length is not a multiple of " +
                      std::to_string(element_size(e.kind, e.flags)) + " bytes");
      }
      known[e.kind] = &e;
    }
    end = e.offset + e.length;
  }
  if (end != bytes.size()) {
    return refuse(std::to_string(bytes.size() - end) +
                  " bytes after the last section, which ends at byte " + std::to_string(end));
  }
  const auto data = [&](const Entry& e) {
    return bytes.subspan(static_cast<std::size_t>(e.offset), static_cast<std::size_t>(e.length));
  };
  if (checksums) {
    for (const Entry& e : table) {
      if (checksum_counted(data(e), cancel) != e.checksum)
        return refuse(where(e) + "checksum mismatch");
    }
  }
  const bool ints = (flags & kIntIds) != 0;
  for (const std::uint32_t kind :
       {kNodeShifts, kChildLabels, kChildTransitions, kPresence, kTotals, kIdsEnd, kIds, kCounts,
        ints ? kIntIdTable : kUuidTable, kTerminal}) {
    if (known[kind] == nullptr) return refuse("section " + name(kind) + " is missing");
  }
  ContainedView out;
  TrieView& trie = out.trie;
  const auto section = [&](std::uint32_t kind) {
    return known[kind] == nullptr ? std::span<const std::uint8_t>() : data(*known[kind]);
  };
  trie.node_shifts = elements<std::uint32_t>(section(kNodeShifts));
  trie.child_labels = elements<char32_t>(section(kChildLabels));
  trie.child_transitions = elements<prefix::NodeId>(section(kChildTransitions));
  auto payloads = read_payloads(slots, known, bytes, arrays, cancel);
  if (!payloads) return refuse(payloads.error().message);
  trie.payloads = *payloads;
  trie.video_int_ids = elements<std::uint32_t>(section(kIntIdTable));
  trie.video_uuids = elements<prefix::VideoUuid>(section(kUuidTable));
  trie.id_mode = ints ? prefix::IdMode::Int32 : prefix::IdMode::Uuid;
  trie.is_terminal = elements<std::uint8_t>(section(kTerminal));
  out.metadata = section(kMetadata);
  out.external_ids = section(kExternalIds);
  out.spellings = section(kSpellings);
  out.word_starts = section(kWordStarts);
  out.term_counts_32 = elements<std::uint32_t>(section(kTermCounts32));
  out.best_counts_32 = elements<std::uint32_t>(section(kBestCounts32));
  out.term_counts = elements<std::uint64_t>(section(kTermCounts));
  out.best_counts = elements<std::uint64_t>(section(kBestCounts));
  out.walk_nodes = section(kWalkNodes);
  out.walk_ids = elements<std::uint32_t>(section(kWalkIds));
  out.walk_sorted = known[kWalkNodes] != nullptr && (known[kWalkNodes]->flags & kSorted) != 0;
  out.completion_records = section(kCompletionRecords);
  out.completion_ranks = elements<std::uint32_t>(section(kCompletionRanks));
  // Both sections say whether they were derived; a file that disagrees with itself is taken
  // at its more cautious word.
  for (const std::uint32_t kind : {kTermCounts, kBestCounts}) {
    if (known[kind] != nullptr && (known[kind]->flags & kDerived) != 0) out.counts_derived = true;
  }
  return out;
}

Expected<Contained, ContainerError> read_container(std::span<const std::uint8_t> bytes,
                                                   bool verify_checksums, Cancel cancel) {
  // Read in place from an aligned copy when the bytes are not aligned themselves.
  std::vector<std::uint64_t> aligned;
  if (reinterpret_cast<std::uintptr_t>(bytes.data()) % alignof(std::uint64_t) != 0) {
    aligned.resize(bytes.size() / sizeof(std::uint64_t) + 1);
    std::memcpy(aligned.data(), bytes.data(), bytes.size());
    bytes = {reinterpret_cast<const std::uint8_t*>(aligned.data()), bytes.size()};
  }
  auto view = read_container_view(bytes, verify_checksums, true, cancel);
  if (!view) return Unexpected{std::move(view.error())};
  const auto text = [](std::span<const std::uint8_t> s) { return std::string(s.begin(), s.end()); };
  return Contained{
      Trie::copy_of(view->trie),
      {text(view->metadata), text(view->external_ids), text(view->spellings),
       text(bytes_of(view->term_counts_32)), text(bytes_of(view->best_counts_32)),
       text(bytes_of(view->term_counts)), text(bytes_of(view->best_counts)), view->counts_derived,
       text(view->word_starts), text(view->walk_nodes), text(bytes_of(view->walk_ids)),
       view->walk_sorted, text(view->completion_records), text(bytes_of(view->completion_ranks))}};
}

}  // namespace torrelm::store

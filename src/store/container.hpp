// The container file of a whole index: a checked header, a table of sections, then each of the
// index's arrays in its in-memory form, every section 64-byte aligned and checksummed (XXH3-64).
// docs/format.md draws the bytes.
//
//   offset 0   magic "TORRELM\x1a", format version (major u16, minor u16), byte-order mark,
//              flags (id mode), section count, payload slot count, header checksum
//   offset 40  section table: kind, flags, offset, length, checksum for each section
//   then       the sections, in table order, zero bytes between them, the file ending with the last
//
// Numbers are written in the byte order of the machine that wrote them, so that a later reader can
// use the sections where they lie; the byte-order mark lets a reader on the other order refuse
// them. A reader takes any minor version of its own major one (sections of kinds it does not know
// are skipped) and refuses a newer major version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/cancel.hpp"
#include "common/expected.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::store {

inline constexpr std::uint16_t kFormatMajor = 1;
inline constexpr std::uint16_t kFormatMinor = 3;

// What a container carries besides the index, passed through unread.
struct ContainerExtras {
  std::string metadata;        // UTF-8 JSON text (build time, row count, video_top_n, version)
  std::string external_ids;    // opaque bytes
  std::string spellings = {};  // opaque bytes
  // The search counts of every node (search::Counts) as version 1.1 wrote them: u32 each,
  // derived from the saturated totals, in native byte order. Read, no longer written.
  std::string term_counts_32 = {};
  std::string best_counts_32 = {};
  // The search counts of every node, u64 each, in native byte order: the builder's own, or
  // derived from the saturated totals when `counts_derived`.
  std::string term_counts = {};
  std::string best_counts = {};
  bool counts_derived = false;
  // The container of the word-start index: a whole container file of its own.
  std::string word_starts = {};
  // What the queries walk, made once from the arrays and kept so that every process that maps
  // the file shares it: the walk table's records (12 bytes each) and their nodes (u32 each),
  // whether every child list is sorted, and the completion records (24 bytes each) with their
  // depth-first ranks (u32 each, none when the lists are not sorted). Native byte order.
  std::string walk_nodes = {};
  std::string walk_ids = {};
  bool walk_sorted = false;
  std::string completion_records = {};
  std::string completion_ranks = {};
  friend bool operator==(const ContainerExtras&, const ContainerExtras&) = default;
};

struct Contained {
  prefix::Trie trie;
  ContainerExtras extras;
};

// A container read in place: views into the bytes it was read from, which must outlive it.
struct ContainedView {
  prefix::TrieView trie;
  std::span<const std::uint8_t> metadata;
  std::span<const std::uint8_t> external_ids;
  std::span<const std::uint8_t> spellings;
  std::span<const std::uint32_t> term_counts_32;
  std::span<const std::uint32_t> best_counts_32;
  std::span<const std::uint64_t> term_counts;
  std::span<const std::uint64_t> best_counts;
  bool counts_derived = false;
  std::span<const std::uint8_t> word_starts;
  std::span<const std::uint8_t> walk_nodes;
  std::span<const std::uint32_t> walk_ids;
  bool walk_sorted = false;
  std::span<const std::uint8_t> completion_records;
  std::span<const std::uint32_t> completion_ranks;
};

struct ContainerError {
  std::string message;
};

// Whether `bytes` start with the container's magic number. A stored index of the older form could
// begin with the same eight bytes (84 node shifts, the first 79), but none that a builder makes
// does: its first node shift is 0.
bool looks_like_container(std::span<const std::uint8_t> bytes) noexcept;

// The checksum of sections and header: XXH3-64 of `bytes`, seeded.
std::uint64_t container_checksum(std::span<const std::uint8_t> bytes, std::uint64_t seed = 0);

// The exact length of the container of `trie` with `extras`.
std::uint64_t container_size(const prefix::TrieView& trie, const ContainerExtras& extras);

// Writes the container into `out`, which holds exactly container_size(trie, extras) bytes (a
// different size is an InternalFault). Never fails otherwise.
void write_container(const prefix::TrieView& trie, const ContainerExtras& extras,
                     std::span<std::uint8_t> out);

// Reads a container in place: its sections become the arrays of the view, no byte is copied.
// `bytes` must start at an address aligned for 8 bytes (as a mapped file or any allocation is);
// another start is an InternalFault. Refuses, naming the first problem with its section and byte
// offset: a wrong magic number, byte order or major version, a truncated header, table or
// section, a misaligned, overlapping or ill-sized section, nonzero padding, bytes after the last
// section, a missing section, and payload arrays of lengths that disagree. With `checksums` it
// checks those of the header and every section; with `arrays`, the presence ranks and range ends
// of the payload arrays (without, their views must not be walked with for_each). With neither it
// reads only the header, the section table and the padding, at the same cost for any size. Checks
// the layout only, not the index's consistency: that is validate()'s. Counts its work on `cancel`,
// and throws Cancelled when its hook says stop.
Expected<ContainedView, ContainerError> read_container_view(std::span<const std::uint8_t> bytes,
                                                            bool checksums, bool arrays,
                                                            Cancel cancel = {});

// Reads a container into an owned Trie, with the checks of read_container_view (the checksums
// only when `verify_checksums`), from bytes aligned or not.
Expected<Contained, ContainerError> read_container(std::span<const std::uint8_t> bytes,
                                                   bool verify_checksums, Cancel cancel = {});

}  // namespace torrelm::store

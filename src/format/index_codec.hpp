// The stored form of a whole index: the eight fields of Trie in declaration order, with no header,
// version or checksum, integers as variable-length little-endian varints:
//
//   node_shifts        count, u32 varints
//   child_labels       count, UTF-8 characters
//   child_transitions  count, u32 varints
//   payloads           count, per slot a tag (0 absent, 1 present) and when present
//                      total_count, count + video_ids, count + video_counts
//   video_uuids        count, 16 raw bytes each
//   video_int_ids      count, u32 varints
//   id_mode            u32 varint, 0 (Uuid) or 1 (Int32)
//   is_terminal        count, one byte 0 or 1 each
//
// Varints: 0..250 in one byte, else a marker 0xFB / 0xFC / 0xFD and 2 / 4 / 8 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/cancel.hpp"
#include "common/expected.hpp"
#include "format/decode_error.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::format {

// The exact length of the stored form of `trie` (64 bits wide on every platform).
std::uint64_t encoded_size(const prefix::TrieView& trie);

// Writes the stored form into `out`, which holds exactly encoded_size(trie) bytes. Never fails.
void encode(const prefix::TrieView& trie, std::span<std::uint8_t> out);
std::vector<std::uint8_t> encode(const prefix::TrieView& trie);

// Reads an index from the start of `bytes`; whatever follows its last field is ignored. Checks the
// encoding only, never the index's consistency. Storage reserved for a sequence never exceeds
// what the rest of the input could hold, so a short input declaring a huge count fails at its
// first missing element instead of asking for memory it does not describe. The index read holds
// at most about four bytes of memory for each byte of input (a one-byte varint becomes a 4-byte
// value), whatever its shape. Counts every node, slot and element on `cancel`, and throws
// Cancelled when its hook says stop.
Expected<prefix::Trie, DecodeError> decode(std::span<const std::uint8_t> bytes, Cancel cancel = {});

// As decode(), and sets `unread` to the number of bytes left after the stored index, which
// decode() ignores.
Expected<prefix::Trie, DecodeError> decode(std::span<const std::uint8_t> bytes, Cancel cancel,
                                           std::size_t& unread);

}  // namespace torrelm::format

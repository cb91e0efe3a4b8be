// The table of a video site's own identifiers, kept beside an index whose videos it names.
//
// The index's Int32 id of a video is then its place in this table. The table is one section of a
// container file, read where it lies:
//
//   offset 0   kind (u32): 1 = UTF-8 text, 2 = signed 64-bit integers, 3 = unsigned 64-bit integers
//   offset 4   0 (u32)
//   offset 8   count (u64)
//   offset 16  text:     count ends (u64), the end of each id in the text that follows, then the
//                        text of every id end to end
//              integers: count values (i64 or u64)
//
// Numbers are in the byte order of the container that holds the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/cancel.hpp"
#include "common/expected.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::store {

enum class ExternalKind : std::uint32_t { Text = 1, Signed = 2, Unsigned = 3 };

struct ExternalIdError {
  std::string message;
};

class ExternalIds {
 public:
  // Reads a table where it lies (`section` starts at an address aligned for 8 bytes). Always
  // checks the kind, the count and the section's length; when `thorough`, also that the ends rise
  // inside the text and that every id is well-formed UTF-8 (a pass over the table).
  static Expected<ExternalIds, ExternalIdError> read(std::span<const std::uint8_t> section,
                                                     bool thorough, Cancel cancel = {});

  ExternalKind kind() const noexcept { return kind_; }
  std::span<const std::uint8_t> section() const noexcept { return section_; }
  std::size_t size() const noexcept { return count_; }

  // Id `i`, checked: an index past the table or a text range outside the text is an
  // InternalFault (an unchecked table can hold anything).
  std::string_view text(std::size_t i) const;
  std::int64_t signed_value(std::size_t i) const;
  std::uint64_t unsigned_value(std::size_t i) const;

 private:
  std::span<const std::uint8_t> section_;
  ExternalKind kind_ = ExternalKind::Text;
  std::size_t count_ = 0;
  std::span<const std::uint64_t> ends_;
  std::span<const char> text_;
  std::span<const std::int64_t> signed_;
  std::span<const std::uint64_t> unsigned_;
};

// Writes tables, one id at a time, in the layout above.
class ExternalIdWriter {
 public:
  explicit ExternalIdWriter(ExternalKind kind) : kind_(kind) {}
  void add_text(std::string_view id);
  void add_signed(std::int64_t id) { values_.push_back(static_cast<std::uint64_t>(id)); }
  void add_unsigned(std::uint64_t id) { values_.push_back(id); }
  std::size_t size() const noexcept {
    return kind_ == ExternalKind::Text ? ends_.size() : values_.size();
  }
  // The section's bytes.
  std::vector<std::uint8_t> finish() const;

 private:
  ExternalKind kind_;
  std::vector<std::uint64_t> ends_;
  std::string text_;
  std::vector<std::uint64_t> values_;
};

// Whether `ids` names every video of `trie`: its id mode is Int32 and every int id is a place in
// the table. The error names the first video that is not.
Expected<bool, ExternalIdError> check_names_every_video(const ExternalIds& ids,
                                                        const prefix::TrieView& trie,
                                                        Cancel cancel = {});

}  // namespace torrelm::store

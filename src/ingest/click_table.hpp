// ClickTable: (term, video, count) rows aggregated in native memory, then laid out as a Trie.
//
// Rows arrive one at a time from whatever reads the caller's columns (Arrow buffers, NumPy
// arrays, Python lists); nothing here knows where they came from. The table keeps each distinct
// term once (its UTF-8 bytes in one arena), each distinct video once (its position in the id table
// is the order of first appearance, as IndexBuilder numbers them), and one summed count per
// distinct (term, video) pair, so memory grows with the distinct data, not with the rows.
//
// Videos are named by integers (any from -2**63 to 2**64-1), by 16-byte values or by strings (a
// site's own ids, kept once in an arena of their own). An index holds 4-byte integer ids or
// 16-byte ids; the site's other ids go into a table beside it (store::ExternalIdWriter), in which
// the index's 4-byte id of a video is its position. So integers that all lie in 0..2**32-1 are the
// index's ids themselves, and any other integers or strings are numbered by position.
//
// build() sorts the terms, numbers the trie's nodes breadth first (the nodes of each depth in the
// order of the prefixes they spell, children of one parent side by side), gives every term-ending
// node its payload (videos by summed count, largest first by the full 64-bit sum, the lower
// position first among equal sums, counts saturated at 2**32-1; total = the term's given total or
// else the saturated sum, saturated too) and propagates payloads up the tree with Trie::propagate.
// Time is linear in the characters of the distinct terms, the sort aside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/cancel.hpp"
#include "common/expected.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::ingest {

// A refused row or term, with a message for the caller, e.g.
// "row 17: term '': an empty term cannot be indexed". Row numbers count from 0 over all rows
// added to one table.
struct RowError {
  std::string message;
};

// Called between stages of build() as progress(stage, done, total): "sort", "layout",
// "payloads", "propagate". May be empty.
using Progress =
    std::function<void(std::string_view stage, std::uint64_t done, std::uint64_t total)>;

// The kind of video id a table takes.
enum class VideoKind : std::uint8_t { Int, Uuid, Text };

// What build() makes: the index, and the site's ids when the index names its videos by position.
struct BuiltIndex {
  prefix::Trie trie;
  // A section in the layout of store::ExternalIds (native byte order): the ids by position, when
  // they are strings (kind Text) or integers not all in 0..2**32-1 (Signed, or Unsigned when one
  // lies above 2**63-1). Empty otherwise.
  std::optional<std::vector<std::uint8_t>> external_ids;
  // (term, spelling) for each term that merge_terms() gave a spelling other than itself.
  std::vector<std::pair<std::string, std::string>> spellings;
  // How often each node's term was searched (0 where a node ends none): its total when given,
  // else the sum of its counts, in 64 bits (saturated at 2**64-1) where the trie's stop at
  // 2**32-1.
  std::vector<std::uint64_t> term_counts;
  // The node that ends each term, by its id in term_texts() before the build.
  std::vector<prefix::NodeId> term_nodes = {};
};

// The index of distinct `terms` with their counts and no videos: each term-ending node's total is
// its count (saturated at 2**32-1), and BuiltIndex::term_counts keeps the counts whole. The terms
// are non-empty, valid UTF-8 without U+0000 and distinct (else a RowError naming one); any order.
// Counts its steps on `cancel`.
Expected<BuiltIndex, RowError> counted_terms_index(
    std::vector<std::pair<std::string, std::uint64_t>> terms, Cancel cancel = {});

// Why `term` (valid UTF-8) cannot be found from the start of each of its later words, or
// nullopt when it can: a word after the first holds U+001F, which the word-start index puts
// after each word start to name the term it starts.
std::optional<std::string> word_start_refusal(std::string_view term);

// A term is found from at most this many of its later words, each starting within its first
// kWordStartReach code points. Every word start keeps the rest of the term, so without a bound
// one term of L bytes and W words costs about L*W/2 bytes: a 20,000-character line pasted into a
// search box once made a 3 GB index. With it, a term costs at most kMostWordStarts times its own
// length. People start typing from the second, third or fourth word of a query, hardly from one
// that far in: 64 code points hold the first eight to twelve words of nearly every real query.
inline constexpr std::size_t kMostWordStarts = 8;
inline constexpr std::size_t kWordStartReach = 64;

// The byte offsets of the later words of `term` (valid UTF-8) it is found from: each word after
// a space that starts within the first kWordStartReach code points, the first kMostWordStarts
// of them.
std::vector<std::size_t> word_start_offsets(std::string_view term);

class ClickTable {
 public:
  // One kind of video id per table. A table that has been moved from can only be assigned to or
  // destroyed. IdMode::Int32 is VideoKind::Int and IdMode::Uuid is VideoKind::Uuid.
  explicit ClickTable(VideoKind kind);
  explicit ClickTable(prefix::IdMode ids);
  ~ClickTable();
  ClickTable(ClickTable&&) noexcept;
  ClickTable& operator=(ClickTable&&) noexcept;

  VideoKind kind() const noexcept;

  // Adds `count` clicks of `term` (UTF-8) on a video. A term that is empty, is not valid UTF-8
  // or contains U+0000 is refused; so is a video of another kind, an integer below 0 in a table
  // that holds one above 2**63-1 or the other way round (no 64-bit type holds both), and a string
  // id that is not valid UTF-8. Counts of one (term, video) pair add up (in 64 bits; saturated
  // when laid out). Each call is one row: the table numbers them from 0 and names the row in
  // messages. A refused row leaves the table as it was (its number is used up all the same, so
  // later messages keep naming the caller's rows).
  Expected<bool, RowError> add(std::string_view term, std::uint32_t video, std::uint64_t count);
  Expected<bool, RowError> add_signed(std::string_view term, std::int64_t video,
                                      std::uint64_t count);
  Expected<bool, RowError> add_unsigned(std::string_view term, std::uint64_t video,
                                        std::uint64_t count);
  Expected<bool, RowError> add(std::string_view term, const prefix::VideoUuid& video,
                               std::uint64_t count);
  Expected<bool, RowError> add_text(std::string_view term, std::string_view video,
                                    std::uint64_t count);

  // The total count of `term`, given on the row just added (messages name that row): the
  // denominator against which its videos are weighed. Every row of one term that gives a total
  // must give the same one; a term without rows is refused. Checked at build to be at least the
  // saturated sum of its counts; saturated at 2**32-1 when laid out.
  Expected<bool, RowError> set_total(std::string_view term, std::uint64_t total);

  // The distinct terms by id (views into the table, valid until it changes).
  std::vector<std::string_view> term_texts() const;

  // What merge_terms() left out: the terms that became empty, and their clicks.
  struct Dropped {
    std::uint64_t terms = 0;
    std::uint64_t clicks = 0;  // the sum of their counts, saturated at 2**64-1
  };

  // Merges the terms that normalise alike: term t (of term_texts()) becomes `normalized[t]`.
  // The counts of merged terms add up per video, and so do their totals (each spelling's given
  // total, or the sum of its counts); each merged term remembers its most counted spelling, its
  // whitespace trimmed and every run of it one space (spellings that differ only in whitespace
  // count as one, the first in code point order wins among equal counts; after an earlier merge,
  // a term stands for the spelling that one remembered), which build() reports where it differs
  // from the term. A term normalised to the
  // empty text is left out with its clicks. A normalised term that cannot be indexed (U+0000,
  // not UTF-8) is refused, naming the term it came from, and the table is left as it was. Videos
  // keep their positions.
  Expected<Dropped, RowError> merge_terms(std::span<const std::string> normalized,
                                          Cancel cancel = {});

  // Each term's count (by the id of term_texts()): its given total, else the sum of its counts,
  // saturated at 2**64-1.
  std::vector<std::uint64_t> term_counts() const;

  // Each term's videos, by term id: (position, summed count) pairs in order of position, the
  // k-th term's in [begins[k], begins[k + 1]).
  struct TermVideos {
    std::vector<std::size_t> begins;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> videos;
  };
  TermVideos term_videos(Cancel cancel = {}) const;

  std::uint64_t rows() const noexcept;        // rows added so far
  std::size_t terms() const noexcept;         // distinct terms
  std::size_t videos() const noexcept;        // distinct videos
  std::size_t pairs() const noexcept;         // distinct (term, video) pairs
  std::size_t memory_bytes() const noexcept;  // heap bytes held

  // The finished index, with the site's ids beside it when they are not its own. Fails (RowError
  // naming the term, its total and its sum) when a total is below the sum of its counts, or when
  // the terms spell more nodes than 32-bit ids can number. Counts its steps on `cancel`
  // (Cancelled is thrown when its hook says stop). Whatever the outcome, the table is left empty,
  // of the same id kind, and what it held is released as the build goes.
  Expected<BuiltIndex, RowError> build(std::uint32_t video_top_n, Cancel cancel = {},
                                       const Progress& progress = {});

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace torrelm::ingest

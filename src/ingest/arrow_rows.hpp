// Click rows read from Arrow record batches handed over through the Arrow C data interface, fed
// to a ClickTable without copying the columns.
//
// A record batch is a struct array ("+s") whose children are the columns. Four are used, found by
// name:
//
//   term    utf8 "u", large utf8 "U", string view "vu", or a dictionary of those with any
//           integer index type
//   video   any integer type (integer ids), fixed-size binary "w:16" (16-byte ids; also the
//           storage of the uuid extension type, whatever the metadata), or strings as the term
//           column takes them (string ids)
//   count   any integer type, not negative
//   totals  optional, any integer type, not negative: the term's total, given on its rows
//
// Other columns are ignored. Offsets (the struct's and each column's), validity bitmaps and
// variadic string-view buffers are honoured; offsets, view positions and dictionary indices are
// checked against what the interface lets us know of the buffers, so a malformed batch is an
// error, not a wild read. A null in a used column, or a null row, is refused.
//
// Messages name the row as the ClickTable numbers it (rows counted from 0 over everything added
// to the table), the column and the value: "row 7: column 'count': -3 is negative". Rows before
// the refused one stay added, as they would with one add() per row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/cancel.hpp"
#include "common/expected.hpp"
#include "ingest/arrow_c.hpp"
#include "ingest/click_table.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::ingest {

struct ColumnNames {
  std::string term = "term", video = "video", count = "count";
  std::string totals;  // empty: no totals column
};

namespace arrow_detail {
// How a column's buffers are laid out, and the loop that reads a run of its rows into a chunk of
// decoded rows; see arrow_rows.cpp.
enum class Layout : std::uint8_t;
struct Bound;
struct Window;
struct Chunk;
using Reader = void (*)(const Bound& column, std::int64_t first, Window& window, Chunk& chunk);

// One used column, resolved from the schema.
struct Column {
  std::int64_t index = -1;  // among the schema's children; -1: not used (no totals column)
  std::string name;
  Reader reader = nullptr;
  Layout layout{};  // the column's buffers (a dictionary's indices: integers)
  Layout values{};  // a dictionary's values
  bool dictionary = false;
};
}  // namespace arrow_detail

// Reads the batches of one schema. Column positions and types are resolved once, by open(); each
// add() then runs loops specialised for those types.
class BatchReader {
 public:
  // Checks the schema: a struct with the named columns, each of a type listed above. Errors name
  // the column and what was found, e.g. "no column 'video' among term, vid, count" or
  // "column 'count' has Arrow type 'g' (float64); expected an integer type". Borrows the schema
  // only for the call.
  static Expected<BatchReader, RowError> open(const ArrowSchema& schema, const ColumnNames& names);

  // The same for the schema of a stream (asked for with get_schema and released before
  // returning). A stream failure is "Arrow stream error: " and the stream's own text.
  static Expected<BatchReader, RowError> open(ArrowArrayStream& stream, const ColumnNames& names);

  // The kind of video id of the batches: a table of the same kind must receive them.
  VideoKind kind() const noexcept { return kind_; }

  // Adds every row of one batch (a struct array of the schema given to open()) to `table`:
  // table.add(term, video, count), then table.set_total(term, total) when there is a totals
  // column. Stops at the first refused row, whose error names it; the rows before it stay added.
  // A batch whose layout contradicts the schema (missing buffers, short columns, a table of the
  // other id kind) is refused before any row. Calls cancel.step() once per row (Cancelled may be
  // thrown). Borrows the batch: it is not released.
  Expected<bool, RowError> add(ClickTable& table, const ArrowArray& batch, Cancel& cancel) const;

 private:
  BatchReader() = default;

  std::int64_t columns_ = 0;  // in the schema, used or not
  VideoKind kind_ = VideoKind::Int;
  bool signed_ids_ = false;  // integer ids are read as int64 (else uint64)
  arrow_detail::Column term_, video_, count_, totals_;
};

// Reads a whole stream into `table`: pulls batches with get_next until the end, adds each with
// reader.add and releases it (also when it is refused or an exception leaves the loop), then calls
// after_batch(table.rows()) when it is set. A stream failure is reported as
// "Arrow stream error: " and the stream's get_last_error text. The stream itself is not released:
// its owner does that.
Expected<bool, RowError> add_stream(
    ClickTable& table, ArrowArrayStream& stream, const BatchReader& reader, Cancel& cancel,
    const std::function<void(std::uint64_t rows)>& after_batch = {});

}  // namespace torrelm::ingest

#include "ingest/arrow_rows.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

namespace torrelm::ingest {
namespace arrow_detail {

enum class Layout : std::uint8_t {
  Ints,       // validity, values
  Fixed16,    // validity, 16-byte values
  Utf8,       // validity, int32 offsets, data
  LargeUtf8,  // validity, int64 offsets, data
  View,       // validity, 16-byte views, variadic data buffers..., int64 sizes of those buffers
};

// Rows are decoded a chunk at a time, column by column, each column by a loop specialised for its
// type, and only then handed to the table: the type dispatch happens once per chunk and column,
// and the decoding loops stay free of calls.
inline constexpr std::size_t kChunkRows = 256;

struct Chunk {
  std::array<std::string_view, kChunkRows> terms;
  std::array<std::string_view, kChunkRows> text_ids;
  std::array<std::uint64_t, kChunkRows> int_ids;  // an int64 column's values as their bits
  std::array<prefix::VideoUuid, kChunkRows> uuids;
  std::array<std::uint64_t, kChunkRows> counts;
  std::array<std::uint64_t, kChunkRows> totals;
};

// Rows [0, rows) of the chunk being decoded are usable so far. A reader meeting a bad row cuts
// the window before it and says why; the readers that come later decode only what is left, so the
// reported problem is that of the first bad row, and of the first column in reading order there.
struct Window {
  std::size_t rows;
  std::string why;  // "column 'count': -3 is negative"; empty while nothing was cut

  void cut(std::size_t row, std::string text) {
    rows = row;
    why = std::move(text);
  }
};

// The strings of one array, a string column's own or a column's dictionary, by buffer position.
struct Texts {
  const std::uint8_t* validity = nullptr;  // a dictionary's (a column's own is in Bound)
  std::int64_t offset = 0;                 // a dictionary's: position of its value 0
  std::int64_t length = 0;                 // a dictionary's: number of values
  const void* positions = nullptr;         // int32 or int64 offsets, or 16-byte views
  const char* data = nullptr;              // utf8 and large utf8
  std::int64_t data_end = 0;               // no string may end past it (0: no data buffer)
  const void* const* buffers = nullptr;    // views: the variadic data buffers
  const std::int64_t* sizes = nullptr;     // views: their sizes in bytes
  std::int64_t n_buffers = 0;              // views: how many there are
};

// One used column of one batch.
struct Bound {
  std::string_view name;
  const std::uint8_t* validity = nullptr;  // null: no nulls
  std::int64_t offset = 0;       // buffer position of the batch's row 0 (the struct's offset too)
  const void* values = nullptr;  // integers, 16-byte ids or dictionary indices
  Texts texts;
};

}  // namespace arrow_detail

namespace {

using arrow_detail::Bound;
using arrow_detail::Chunk;
using arrow_detail::Column;
using arrow_detail::kChunkRows;
using arrow_detail::Layout;
using arrow_detail::Reader;
using arrow_detail::Texts;
using arrow_detail::Window;

// Buffer positions are kept below this, so that a position times the widest element (16 bytes),
// and the one after it, cannot overflow.
constexpr std::int64_t kMaxPosition = std::numeric_limits<std::int64_t>::max() / 16 - 1;

Unexpected<RowError> fail(std::string message) { return Unexpected{RowError{std::move(message)}}; }

std::string column_named(std::string_view name) { return "column '" + std::string(name) + "'"; }
std::string null_text(std::string_view name) { return column_named(name) + " is null"; }
std::string value_text(std::string_view name, const std::string& text) {
  return column_named(name) + ": " + text;
}

bool present(const std::uint8_t* validity, std::int64_t at) {
  return validity == nullptr || ((validity[at >> 3] >> (at & 7)) & 1) != 0;
}

// Buffers handed over need not be aligned: values are copied out, which compiles to a
// plain load.
template <class T>
T load(const void* values, std::int64_t at) {
  T value;
  std::memcpy(&value, static_cast<const char*>(values) + at * std::int64_t{sizeof(T)},
              sizeof value);
  return value;
}

// ---- Integer columns ----

template <class T>
void read_counts_into(const Bound& column, std::int64_t first, Window& window, std::uint64_t* out) {
  const std::size_t rows = window.rows;
  const std::int64_t base = column.offset + first;
  for (std::size_t j = 0; j < rows; ++j) {
    const std::int64_t at = base + static_cast<std::int64_t>(j);
    if (!present(column.validity, at)) return window.cut(j, null_text(column.name));
    const T value = load<T>(column.values, at);
    if constexpr (std::is_signed_v<T>) {
      if (value < 0) {
        return window.cut(j, value_text(column.name, std::to_string(value) + " is negative"));
      }
    }
    out[j] = static_cast<std::uint64_t>(value);
  }
}

template <class T>
void read_counts(const Bound& column, std::int64_t first, Window& window, Chunk& chunk) {
  read_counts_into<T>(column, first, window, chunk.counts.data());
}

template <class T>
void read_totals(const Bound& column, std::int64_t first, Window& window, Chunk& chunk) {
  read_counts_into<T>(column, first, window, chunk.totals.data());
}

template <class T>
void read_int_ids(const Bound& column, std::int64_t first, Window& window, Chunk& chunk) {
  const std::size_t rows = window.rows;
  const std::int64_t base = column.offset + first;
  for (std::size_t j = 0; j < rows; ++j) {
    const std::int64_t at = base + static_cast<std::int64_t>(j);
    if (!present(column.validity, at)) return window.cut(j, null_text(column.name));
    const T value = load<T>(column.values, at);
    if constexpr (std::is_signed_v<T>) {
      chunk.int_ids[j] = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
    } else {
      chunk.int_ids[j] = value;
    }
  }
}

void read_uuids(const Bound& column, std::int64_t first, Window& window, Chunk& chunk) {
  const std::size_t rows = window.rows;
  const std::int64_t base = column.offset + first;
  const auto* bytes = static_cast<const std::uint8_t*>(column.values);
  for (std::size_t j = 0; j < rows; ++j) {
    const std::int64_t at = base + static_cast<std::int64_t>(j);
    if (!present(column.validity, at)) return window.cut(j, null_text(column.name));
    std::memcpy(chunk.uuids[j].data(), bytes + at * 16, 16);
  }
}

// ---- String columns ----
// A term is found in two steps: Locate gives the buffer position of its string (the row's own,
// or the dictionary value its index names), Strings reads the string there. Both check what they
// read; the messages are built only when a check fails.

struct Plain {
  static bool locate(const Bound& column, std::int64_t at, std::int64_t& position,
                     std::string& why) {
    if (!present(column.validity, at)) {
      why = null_text(column.name);
      return false;
    }
    position = at;
    return true;
  }
};

template <class I>
struct Indexed {
  static bool locate(const Bound& column, std::int64_t at, std::int64_t& position,
                     std::string& why) {
    if (!present(column.validity, at)) {
      why = null_text(column.name);
      return false;
    }
    const I index = load<I>(column.values, at);
    bool inside = true;
    if constexpr (std::is_signed_v<I>) inside = index >= 0;
    inside = inside &&
             static_cast<std::uint64_t>(index) < static_cast<std::uint64_t>(column.texts.length);
    if (!inside) {
      why = value_text(column.name, "dictionary index " + std::to_string(index) +
                                        " is out of range (the dictionary has " +
                                        std::to_string(column.texts.length) + " values)");
      return false;
    }
    position = column.texts.offset + static_cast<std::int64_t>(index);
    if (!present(column.texts.validity, position)) {
      why = null_text(column.name);
      return false;
    }
    return true;
  }
};

// Offsets must not decrease; the data buffer's length is not part of the interface, so the last
// offset is trusted to be within it, except that an absent data buffer holds no bytes.
template <class O>
struct OffsetStrings {
  static bool get(const Bound& column, std::int64_t position, std::string_view& out,
                  std::string& why) {
    const Texts& texts = column.texts;
    const O start = load<O>(texts.positions, position);
    const O end = load<O>(texts.positions, position + 1);
    if (start < 0 || end < start || end > texts.data_end) {
      why = problem(column.name, start, end);
      return false;
    }
    out = std::string_view(texts.data + start, static_cast<std::size_t>(end - start));
    return true;
  }

  static std::string problem(std::string_view name, O start, O end) {
    if (start < 0) return value_text(name, "offset " + std::to_string(start) + " is negative");
    if (end < start) {
      return value_text(name, "offsets decrease (from " + std::to_string(start) + " to " +
                                  std::to_string(end) + ")");
    }
    return value_text(name, "offset " + std::to_string(end) + " is past the data (" +
                                (end > std::numeric_limits<std::ptrdiff_t>::max()
                                     ? std::string("beyond the address space")
                                     : std::string("there is no data buffer")) +
                                ")");
  }
};

// A view is 16 bytes: the int32 length, then either the string itself (up to 12 bytes) or its
// first 4 bytes, the int32 index of a variadic data buffer and the int32 offset in it.
struct ViewStrings {
  static bool get(const Bound& column, std::int64_t position, std::string_view& out,
                  std::string& why) {
    const Texts& texts = column.texts;
    const char* view = static_cast<const char*>(texts.positions) + position * 16;
    std::int32_t length = 0;
    std::memcpy(&length, view, 4);
    if (length >= 0 && length <= 12) {
      out = std::string_view(view + 4, static_cast<std::size_t>(length));
      return true;
    }
    std::int32_t buffer = 0;
    std::int32_t offset = 0;
    std::memcpy(&buffer, view + 8, 4);
    std::memcpy(&offset, view + 12, 4);
    if (length < 0 || buffer < 0 || buffer >= texts.n_buffers || offset < 0 ||
        std::int64_t{offset} + length > texts.sizes[buffer]) {
      why = problem(column, length, buffer, offset);
      return false;
    }
    out = std::string_view(static_cast<const char*>(texts.buffers[buffer]) + offset,
                           static_cast<std::size_t>(length));
    return true;
  }

  static std::string problem(const Bound& column, std::int32_t length, std::int32_t buffer,
                             std::int32_t offset) {
    const std::string_view name = column.name;
    if (length < 0) {
      return value_text(name, "string view length " + std::to_string(length) + " is negative");
    }
    if (buffer < 0 || buffer >= column.texts.n_buffers) {
      return value_text(name, "string view names data buffer " + std::to_string(buffer) + " of " +
                                  std::to_string(column.texts.n_buffers));
    }
    return value_text(name, "string view bytes " + std::to_string(offset) + " to " +
                                std::to_string(std::int64_t{offset} + length) +
                                " lie outside data buffer " + std::to_string(buffer) + " (" +
                                std::to_string(column.texts.sizes[buffer]) + " bytes)");
  }
};

// Reads the strings of a column into chunk.*kInto: terms, or string video ids.
template <class Locate, class Strings, std::array<std::string_view, kChunkRows> Chunk::*kInto>
void read_texts(const Bound& column, std::int64_t first, Window& window, Chunk& chunk) {
  const std::size_t rows = window.rows;
  const std::int64_t base = column.offset + first;
  std::string why;
  auto& into = chunk.*kInto;
  for (std::size_t j = 0; j < rows; ++j) {
    std::int64_t position = 0;
    if (!Locate::locate(column, base + static_cast<std::int64_t>(j), position, why) ||
        !Strings::get(column, position, into[j], why)) {
      return window.cut(j, std::move(why));
    }
  }
}

// ---- Rows into the table ----

using RowAdder = Expected<bool, RowError> (*)(ClickTable& table, const Chunk& chunk,
                                              std::size_t rows, Cancel& cancel);

// How a chunk's video ids are handed to the table.
enum class Ids : std::uint8_t { Unsigned, Signed, Uuid, Text };

template <Ids kIds, bool kTotals>
Expected<bool, RowError> add_rows(ClickTable& table, const Chunk& chunk, std::size_t rows,
                                  Cancel& cancel) {
  for (std::size_t j = 0; j < rows; ++j) {
    cancel.step();
    const std::string_view term = chunk.terms[j];
    auto added = [&] {
      if constexpr (kIds == Ids::Uuid) {
        return table.add(term, chunk.uuids[j], chunk.counts[j]);
      } else if constexpr (kIds == Ids::Text) {
        return table.add_text(term, chunk.text_ids[j], chunk.counts[j]);
      } else if constexpr (kIds == Ids::Signed) {
        return table.add_signed(term, static_cast<std::int64_t>(chunk.int_ids[j]), chunk.counts[j]);
      } else {
        return table.add_unsigned(term, chunk.int_ids[j], chunk.counts[j]);
      }
    }();
    if (!added) return added;
    if constexpr (kTotals) {
      auto given = table.set_total(term, chunk.totals[j]);
      if (!given) return given;
    }
  }
  return true;
}

template <Ids kIds>
RowAdder adder_of(bool totals) {
  return totals ? &add_rows<kIds, true> : &add_rows<kIds, false>;
}

RowAdder adder(Ids ids, bool totals) {
  switch (ids) {
    case Ids::Uuid:
      return adder_of<Ids::Uuid>(totals);
    case Ids::Text:
      return adder_of<Ids::Text>(totals);
    case Ids::Signed:
      return adder_of<Ids::Signed>(totals);
    default:
      return adder_of<Ids::Unsigned>(totals);
  }
}

std::string kind_text(VideoKind kind) {
  switch (kind) {
    case VideoKind::Int:
      return "integer ids";
    case VideoKind::Uuid:
      return "16-byte ids";
    default:
      return "string ids";
  }
}

// ---- Types from format strings ----

// Calls pick.operator()<T>() with the C++ type of an integer format ("c" int8 ... "L" uint64);
// null for any other format.
template <class Pick>
Reader by_int_type(std::string_view format, Pick pick) {
  if (format.size() != 1) return nullptr;
  switch (format[0]) {
    case 'c':
      return pick.template operator()<std::int8_t>();
    case 'C':
      return pick.template operator()<std::uint8_t>();
    case 's':
      return pick.template operator()<std::int16_t>();
    case 'S':
      return pick.template operator()<std::uint16_t>();
    case 'i':
      return pick.template operator()<std::int32_t>();
    case 'I':
      return pick.template operator()<std::uint32_t>();
    case 'l':
      return pick.template operator()<std::int64_t>();
    case 'L':
      return pick.template operator()<std::uint64_t>();
    default:
      return nullptr;
  }
}

bool text_layout(std::string_view format, Layout& layout) {
  if (format == "u") {
    layout = Layout::Utf8;
  } else if (format == "U") {
    layout = Layout::LargeUtf8;
  } else if (format == "vu") {
    layout = Layout::View;
  } else {
    return false;
  }
  return true;
}

template <class Locate, std::array<std::string_view, kChunkRows> Chunk::*kInto>
Reader text_reader(Layout layout) {
  switch (layout) {
    case Layout::Utf8:
      return &read_texts<Locate, OffsetStrings<std::int32_t>, kInto>;
    case Layout::LargeUtf8:
      return &read_texts<Locate, OffsetStrings<std::int64_t>, kInto>;
    case Layout::View:
      return &read_texts<Locate, ViewStrings, kInto>;
    default:
      return nullptr;
  }
}

std::string_view format_of(const ArrowSchema& schema) {
  return schema.format != nullptr ? schema.format : "";
}

// A format string as messages show it: quoted, with the type's name where it is a common one.
std::string describe(std::string_view format) {
  // clang-format off
  static constexpr std::pair<std::string_view, std::string_view> kExact[] = {
      {"n", "null"}, {"b", "boolean"}, {"c", "int8"}, {"C", "uint8"}, {"s", "int16"},
      {"S", "uint16"}, {"i", "int32"}, {"I", "uint32"}, {"l", "int64"}, {"L", "uint64"},
      {"e", "float16"}, {"f", "float32"}, {"g", "float64"}, {"z", "binary"},
      {"Z", "large binary"}, {"vz", "binary view"}, {"u", "utf8"}, {"U", "large utf8"},
      {"vu", "string view"}, {"tdD", "date32"}, {"tdm", "date64"}, {"+l", "list"},
      {"+L", "large list"}, {"+vl", "list view"}, {"+vL", "large list view"}, {"+s", "struct"},
      {"+m", "map"}, {"+r", "run-end encoded"},
  };
  // clang-format on
  static constexpr std::pair<std::string_view, std::string_view> kPrefixes[] = {
      {"w:", "fixed-size binary"}, {"d:", "decimal"},        {"+w:", "fixed-size list"},
      {"+ud:", "dense union"},     {"+us:", "sparse union"}, {"tt", "time"},
      {"ts", "timestamp"},         {"tD", "duration"},       {"ti", "interval"},
  };
  std::string_view name;
  for (const auto& [code, what] : kExact) {
    if (format == code) name = what;
  }
  for (const auto& [prefix, what] : kPrefixes) {
    if (name.empty() && format.starts_with(prefix)) name = what;
  }
  std::string text = "'" + std::string(format) + "'";
  if (!name.empty()) text += " (" + std::string(name) + ")";
  return text;
}

std::string describe(const ArrowSchema& schema) {
  std::string text = describe(format_of(schema));
  if (schema.dictionary != nullptr) {
    text += " with dictionary values " + describe(format_of(*schema.dictionary));
  }
  return text;
}

Unexpected<RowError> wrong_type(const ArrowSchema& schema, std::string_view name,
                                std::string_view expected) {
  return fail(column_named(name) + " has Arrow type " + describe(schema) + "; expected " +
              std::string(expected));
}

// The schema's child named `name`, which must be there exactly once.
Expected<std::int64_t, RowError> find_column(const ArrowSchema& schema, std::string_view name) {
  std::int64_t found = -1;
  std::int64_t times = 0;
  std::string names;
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    const ArrowSchema* child = schema.children[i];
    if (child == nullptr) return fail("the schema's column " + std::to_string(i) + " is missing");
    const std::string_view child_name = child->name != nullptr ? child->name : "";
    if (!names.empty()) names += ", ";
    names += child_name;
    if (child_name == name) {
      found = i;
      ++times;
    }
  }
  if (times == 1) return found;
  if (times > 1) {
    return fail(column_named(name) + " appears " + std::to_string(times) + " times among " + names);
  }
  if (schema.n_children == 0) {
    return fail("no column '" + std::string(name) + "': the batches have no columns");
  }
  return fail("no column '" + std::string(name) + "' among " + names);
}

constexpr std::string_view kIntegers = "an integer type";

// A column of strings, read into chunk.*kInto; its reader is null when the column holds
// something else.
template <std::array<std::string_view, kChunkRows> Chunk::*kInto>
Column text_column(const ArrowSchema& schema, std::int64_t index, std::string name) {
  const ArrowSchema& child = *schema.children[index];
  Column column{index, std::move(name), nullptr, Layout::Ints, Layout::Ints, false};
  if (child.dictionary == nullptr) {
    if (text_layout(format_of(child), column.layout)) {
      column.reader = text_reader<Plain, kInto>(column.layout);
    }
  } else if (child.dictionary->dictionary == nullptr &&
             text_layout(format_of(*child.dictionary), column.values)) {
    column.dictionary = true;
    column.reader = by_int_type(
        format_of(child), [&]<class I>() { return text_reader<Indexed<I>, kInto>(column.values); });
  }
  return column;
}

Expected<Column, RowError> term_column(const ArrowSchema& schema, std::int64_t index,
                                       std::string name) {
  Column column = text_column<&Chunk::terms>(schema, index, std::move(name));
  if (column.reader == nullptr) {
    return wrong_type(*schema.children[index], column.name,
                      "strings: utf8, large utf8 or string view, plain or dictionary-encoded");
  }
  return column;
}

template <template <class> class Read>
Expected<Column, RowError> int_column(const ArrowSchema& schema, std::int64_t index,
                                      std::string name) {
  const ArrowSchema& child = *schema.children[index];
  Column column{index, std::move(name), nullptr, Layout::Ints, Layout::Ints, false};
  if (child.dictionary == nullptr) {
    column.reader = by_int_type(format_of(child), []<class T>() { return Read<T>::kRead; });
  }
  if (column.reader == nullptr) return wrong_type(child, column.name, kIntegers);
  return column;
}

// Function templates cannot be template template arguments; these wrappers can.
template <class T>
struct CountReader {
  static constexpr Reader kRead = &read_counts<T>;
};
template <class T>
struct TotalReader {
  static constexpr Reader kRead = &read_totals<T>;
};

// ---- Binding a batch ----

std::string buffer_count_text(std::string_view name, std::int64_t got, std::int64_t want) {
  return column_named(name) + " has " + std::to_string(got) + " buffers; its type has " +
         std::to_string(want);
}

const std::uint8_t* validity_of(const ArrowArray& array) {
  // The bitmap may be absent when there are no nulls, and need not be read when the producer
  // says so (a null count of -1 means unknown).
  if (array.null_count == 0 || array.n_buffers < 1) return nullptr;
  return static_cast<const std::uint8_t*>(array.buffers[0]);
}

// The string buffers of `array` (a column, or a column's dictionary), which has `reach` positions
// to be read.
Expected<Texts, RowError> bind_texts(const ArrowArray& array, Layout layout, std::string_view name,
                                     std::int64_t reach) {
  Texts texts;
  if (layout == Layout::View) {
    if (array.n_buffers < 3) return fail(buffer_count_text(name, array.n_buffers, 3));
  } else if (array.n_buffers != 3) {
    return fail(buffer_count_text(name, array.n_buffers, 3));
  }
  if (array.buffers == nullptr) return fail(column_named(name) + " has no buffer list");
  if (reach == 0) return texts;
  texts.positions = array.buffers[1];
  if (texts.positions == nullptr) {
    return fail(column_named(name) +
                (layout == Layout::View ? " has no views buffer" : " has no offsets buffer"));
  }
  if (layout != Layout::View) {
    texts.data = static_cast<const char*>(array.buffers[2]);
    texts.data_end = texts.data != nullptr ? std::numeric_limits<std::ptrdiff_t>::max() : 0;
    return texts;
  }
  texts.n_buffers = array.n_buffers - 3;
  texts.buffers = array.buffers + 2;
  texts.sizes = static_cast<const std::int64_t*>(array.buffers[array.n_buffers - 1]);
  if (texts.n_buffers > 0 && texts.sizes == nullptr) {
    return fail(column_named(name) + " has no buffer sizes for its string views");
  }
  for (std::int64_t k = 0; k < texts.n_buffers; ++k) {
    if (texts.sizes[k] < 0 || (texts.sizes[k] > 0 && texts.buffers[k] == nullptr)) {
      return fail(column_named(name) + ": string view data buffer " + std::to_string(k) + " of " +
                  std::to_string(texts.sizes[k]) + " bytes is missing");
    }
  }
  return texts;
}

Expected<Bound, RowError> bind(const Column& column, const ArrowArray& batch) {
  const std::string_view name = column.name;
  const ArrowArray* array = batch.children[column.index];
  if (array == nullptr) return fail(column_named(name) + " is missing from the batch");
  // Row i of the batch is element batch.offset + i of each column.
  const std::int64_t need = batch.offset + batch.length;
  if (array->length < 0 || array->offset < 0) {
    return fail(column_named(name) + " has a negative length or offset");
  }
  if (array->length < need) {
    return fail(column_named(name) + " has " + std::to_string(array->length) +
                " rows; the batch needs " + std::to_string(need));
  }
  if (array->offset > kMaxPosition - need) {
    return fail(column_named(name) + " has too large an offset");
  }
  Bound bound;
  bound.name = name;
  bound.offset = array->offset + batch.offset;
  if (!column.dictionary && column.layout != Layout::Ints && column.layout != Layout::Fixed16) {
    auto texts = bind_texts(*array, column.layout, name, batch.length);
    if (!texts) return Unexpected{std::move(texts).error()};
    bound.texts = *texts;
    bound.validity = validity_of(*array);
    return bound;
  }
  if (array->n_buffers != 2) return fail(buffer_count_text(name, array->n_buffers, 2));
  if (array->buffers == nullptr) return fail(column_named(name) + " has no buffer list");
  bound.validity = validity_of(*array);
  if (batch.length == 0) return bound;
  bound.values = array->buffers[1];
  if (bound.values == nullptr) return fail(column_named(name) + " has no data buffer");
  if (!column.dictionary) return bound;

  const ArrowArray* values = array->dictionary;
  if (values == nullptr) return fail(column_named(name) + " has no dictionary");
  if (values->length < 0 || values->offset < 0 || values->offset > kMaxPosition - values->length) {
    return fail(column_named(name) + ": the dictionary has a bad length or offset");
  }
  auto texts = bind_texts(*values, column.values, name, values->length);
  if (!texts) return Unexpected{std::move(texts).error()};
  bound.texts = *texts;
  bound.texts.validity = validity_of(*values);
  bound.texts.offset = values->offset;
  bound.texts.length = values->length;
  return bound;
}

std::string stream_error(ArrowArrayStream& stream, int code) {
  const char* text = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
  if (text != nullptr && *text != '\0') return "Arrow stream error: " + std::string(text);
  return "Arrow stream error: " + std::generic_category().message(code) + " (code " +
         std::to_string(code) + ")";
}

}  // namespace

Expected<BatchReader, RowError> BatchReader::open(const ArrowSchema& schema,
                                                  const ColumnNames& names) {
  if (schema.release == nullptr) return fail("the schema has been released");
  if (format_of(schema) != "+s" || schema.dictionary != nullptr) {
    return fail("the batches have Arrow type " + describe(schema) +
                "; expected a struct ('+s') of columns");
  }
  if (schema.n_children < 0 || (schema.n_children > 0 && schema.children == nullptr)) {
    return fail("the schema's list of columns is malformed");
  }
  BatchReader reader;
  reader.columns_ = schema.n_children;

  auto term = find_column(schema, names.term);
  if (!term) return Unexpected{std::move(term).error()};
  auto term_plan = term_column(schema, *term, names.term);
  if (!term_plan) return Unexpected{std::move(term_plan).error()};
  reader.term_ = std::move(*term_plan);

  auto video = find_column(schema, names.video);
  if (!video) return Unexpected{std::move(video).error()};
  const ArrowSchema& video_schema = *schema.children[*video];
  if (video_schema.dictionary == nullptr && format_of(video_schema) == "w:16") {
    reader.video_ = Column{*video, names.video, &read_uuids, Layout::Fixed16, Layout::Ints, false};
    reader.kind_ = VideoKind::Uuid;
  } else if (Column texts = text_column<&Chunk::text_ids>(schema, *video, names.video);
             texts.reader != nullptr) {
    reader.video_ = std::move(texts);
    reader.kind_ = VideoKind::Text;
  } else {
    Column column{*video, names.video, nullptr, Layout::Ints, Layout::Ints, false};
    const std::string_view format = format_of(video_schema);
    if (video_schema.dictionary == nullptr) {
      column.reader = by_int_type(format, []<class T>() -> Reader { return &read_int_ids<T>; });
    }
    if (column.reader == nullptr) {
      return wrong_type(video_schema, names.video,
                        "an integer type, strings or 16-byte fixed-size binary");
    }
    reader.video_ = std::move(column);
    reader.kind_ = VideoKind::Int;
    // Unsigned columns hand their values over as they are; all others as int64.
    reader.signed_ids_ = format != "C" && format != "S" && format != "I" && format != "L";
  }

  auto count = find_column(schema, names.count);
  if (!count) return Unexpected{std::move(count).error()};
  auto count_plan = int_column<CountReader>(schema, *count, names.count);
  if (!count_plan) return Unexpected{std::move(count_plan).error()};
  reader.count_ = std::move(*count_plan);

  if (!names.totals.empty()) {
    auto totals = find_column(schema, names.totals);
    if (!totals) return Unexpected{std::move(totals).error()};
    auto totals_plan = int_column<TotalReader>(schema, *totals, names.totals);
    if (!totals_plan) return Unexpected{std::move(totals_plan).error()};
    reader.totals_ = std::move(*totals_plan);
  }
  return reader;
}

Expected<BatchReader, RowError> BatchReader::open(ArrowArrayStream& stream,
                                                  const ColumnNames& names) {
  if (stream.release == nullptr) return fail("the stream has been released");
  ArrowSchema schema{};
  const int code = stream.get_schema(&stream, &schema);
  if (code != 0) return fail(stream_error(stream, code));
  struct Release {
    ArrowSchema& schema;
    ~Release() {
      if (schema.release != nullptr) schema.release(&schema);
    }
  } release{schema};
  return open(schema, names);
}

Expected<bool, RowError> BatchReader::add(ClickTable& table, const ArrowArray& batch,
                                          Cancel& cancel) const {
  if (table.kind() != kind_) {
    return fail(column_named(video_.name) + " has " + kind_text(kind_) + "; the table takes " +
                kind_text(table.kind()));
  }
  if (batch.release == nullptr) return fail("the batch has been released");
  if (batch.length < 0 || batch.offset < 0 || batch.offset > kMaxPosition - batch.length) {
    return fail("the batch has a bad length or offset");
  }
  if (batch.n_children != columns_) {
    return fail("the batch has " + std::to_string(batch.n_children) + " columns; its schema has " +
                std::to_string(columns_));
  }
  if (batch.n_children > 0 && batch.children == nullptr) return fail("the batch has no columns");
  if (batch.n_buffers > 0 && batch.buffers == nullptr) return fail("the batch has no buffer list");
  const std::uint8_t* rows_validity = validity_of(batch);

  const bool has_totals = totals_.index >= 0;
  std::array<Bound, 4> bound;
  const Column* columns[4] = {&term_, &video_, &count_, &totals_};
  for (std::size_t c = 0; c < (has_totals ? 4u : 3u); ++c) {
    auto column = bind(*columns[c], batch);
    if (!column) return Unexpected{std::move(column).error()};
    bound[c] = *column;
  }
  const Ids ids = kind_ == VideoKind::Uuid   ? Ids::Uuid
                  : kind_ == VideoKind::Text ? Ids::Text
                  : signed_ids_              ? Ids::Signed
                                             : Ids::Unsigned;
  const RowAdder add_chunk = adder(ids, has_totals);

  Chunk chunk;
  for (std::int64_t first = 0; first < batch.length; first += std::int64_t{kChunkRows}) {
    Window window{static_cast<std::size_t>(
                      std::min<std::int64_t>(std::int64_t{kChunkRows}, batch.length - first)),
                  {}};
    if (rows_validity != nullptr) {
      for (std::size_t j = 0; j < window.rows; ++j) {
        if (!present(rows_validity, batch.offset + first + static_cast<std::int64_t>(j))) {
          window.cut(j, "the row is null");
          break;
        }
      }
    }
    for (std::size_t c = 0; c < (has_totals ? 4u : 3u); ++c) {
      columns[c]->reader(bound[c], first, window, chunk);
    }
    auto added = add_chunk(table, chunk, window.rows, cancel);
    if (!added) return added;
    if (!window.why.empty()) {
      return fail("row " + std::to_string(table.rows()) + ": " + window.why);
    }
  }
  return true;
}

Expected<bool, RowError> add_stream(ClickTable& table, ArrowArrayStream& stream,
                                    const BatchReader& reader, Cancel& cancel,
                                    const std::function<void(std::uint64_t rows)>& after_batch) {
  if (stream.release == nullptr) return fail("the stream has been released");
  for (;;) {
    ArrowArray batch{};
    const int code = stream.get_next(&stream, &batch);
    // A failed get_next produced no batch: there is nothing of it to release.
    if (code != 0) return fail(stream_error(stream, code));
    if (batch.release == nullptr) return true;
    // Released on every way out of this iteration, exceptions (Cancelled) included.
    struct Release {
      ArrowArray& batch;
      ~Release() {
        if (batch.release != nullptr) batch.release(&batch);
      }
    } release{batch};
    auto added = reader.add(table, batch, cancel);
    if (!added) return added;
    if (after_batch) after_batch(table.rows());
  }
}

}  // namespace torrelm::ingest

#include "ingest/arrow_rows.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

namespace torrelm::ingest {
namespace {

using prefix::IdMode;
using prefix::VideoUuid;
using Bytes = std::vector<std::uint8_t>;

// ---- Arrow arrays built by hand ----

void release_borrowed(ArrowArray* array) { array->release = nullptr; }
void release_borrowed_schema(ArrowSchema* schema) { schema->release = nullptr; }

// One array owned by the test (buffers, children, dictionary), exported through the C structs
// on demand. Always held by unique_ptr: the exported structs point into it.
struct TestArray {
  std::string format;
  std::string name;
  std::string metadata;
  std::int64_t length = 0;
  std::int64_t offset = 0;
  std::int64_t null_count = 0;
  std::vector<std::optional<Bytes>> buffers;  // nullopt: a null pointer
  std::vector<std::unique_ptr<TestArray>> children;
  std::unique_ptr<TestArray> dictionary;

  ArrowArray array{};
  ArrowSchema schema{};
  std::vector<const void*> buffer_pointers;
  std::vector<ArrowArray*> child_arrays;
  std::vector<ArrowSchema*> child_schemas;

  ArrowArray& arrow() {
    buffer_pointers.clear();
    for (const auto& buffer : buffers) {
      buffer_pointers.push_back(buffer ? static_cast<const void*>(buffer->data()) : nullptr);
    }
    child_arrays.clear();
    for (const auto& child : children) child_arrays.push_back(&child->arrow());
    array = ArrowArray{length,
                       null_count,
                       offset,
                       static_cast<std::int64_t>(buffers.size()),
                       static_cast<std::int64_t>(children.size()),
                       buffer_pointers.data(),
                       child_arrays.data(),
                       dictionary ? &dictionary->arrow() : nullptr,
                       &release_borrowed,
                       nullptr};
    return array;
  }

  ArrowSchema& arrow_schema() {
    child_schemas.clear();
    for (const auto& child : children) child_schemas.push_back(&child->arrow_schema());
    schema = ArrowSchema{format.c_str(),
                         name.c_str(),
                         metadata.empty() ? nullptr : metadata.data(),
                         ARROW_FLAG_NULLABLE,
                         static_cast<std::int64_t>(children.size()),
                         child_schemas.data(),
                         dictionary ? &dictionary->arrow_schema() : nullptr,
                         &release_borrowed_schema,
                         nullptr};
    return schema;
  }
};
using Owned = std::unique_ptr<TestArray>;

template <class T>
Bytes bytes_of(const std::vector<T>& values) {
  Bytes bytes(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

// A validity bitmap for the given presence flags; none when all are present.
std::optional<Bytes> bitmap(const std::vector<bool>& present, std::int64_t& null_count) {
  null_count = 0;
  Bytes bits((present.size() + 7) / 8, 0);
  for (std::size_t i = 0; i < present.size(); ++i) {
    if (present[i]) {
      bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] | 1u << (i % 8));
    } else {
      ++null_count;
    }
  }
  if (null_count == 0) return std::nullopt;
  return bits;
}

template <class V>
std::vector<bool> presence(const std::vector<std::optional<V>>& values) {
  std::vector<bool> present;
  for (const auto& value : values) present.push_back(value.has_value());
  return present;
}

Owned make(std::string format, std::size_t length) {
  auto array = std::make_unique<TestArray>();
  array->format = std::move(format);
  array->length = static_cast<std::int64_t>(length);
  return array;
}

template <class T>
const char* int_format() {
  constexpr bool kSigned = std::is_signed_v<T>;
  switch (sizeof(T)) {
    case 1:
      return kSigned ? "c" : "C";
    case 2:
      return kSigned ? "s" : "S";
    case 4:
      return kSigned ? "i" : "I";
    default:
      return kSigned ? "l" : "L";
  }
}

template <class T>
Owned ints(const std::vector<std::optional<T>>& values) {
  auto array = make(int_format<T>(), values.size());
  std::vector<T> raw;
  for (const auto& value : values) raw.push_back(value.value_or(T{}));
  array->buffers = {bitmap(presence(values), array->null_count), bytes_of(raw)};
  return array;
}

using Texts = std::vector<std::optional<std::string>>;

// Long strings of a view array go to variadic buffers of at most this many bytes, so that a few
// rows already need several buffers.
constexpr std::size_t kViewBufferBytes = 40;

// utf8 ("u"), large utf8 ("U") or string view ("vu") strings.
Owned strings(const Texts& values, const std::string& format) {
  auto array = make(format, values.size());
  const auto validity = bitmap(presence(values), array->null_count);
  if (format == "vu") {
    Bytes views;
    std::vector<Bytes> data;
    for (const auto& value : values) {
      const std::string text = value.value_or("");
      const auto length = static_cast<std::int32_t>(text.size());
      std::uint8_t view[16] = {};
      std::memcpy(view, &length, 4);
      if (text.size() <= 12) {
        std::memcpy(view + 4, text.data(), text.size());
      } else {
        if (data.empty() || data.back().size() + text.size() > kViewBufferBytes)
          data.emplace_back();
        const auto buffer = static_cast<std::int32_t>(data.size() - 1);
        const auto at = static_cast<std::int32_t>(data.back().size());
        std::memcpy(view + 4, text.data(), 4);
        std::memcpy(view + 8, &buffer, 4);
        std::memcpy(view + 12, &at, 4);
        data.back().insert(data.back().end(), text.begin(), text.end());
      }
      views.insert(views.end(), view, view + 16);
    }
    std::vector<std::int64_t> sizes;
    array->buffers = {validity, views};
    for (const Bytes& buffer : data) {
      sizes.push_back(static_cast<std::int64_t>(buffer.size()));
      array->buffers.emplace_back(buffer);
    }
    array->buffers.emplace_back(bytes_of(sizes));
    return array;
  }
  Bytes data;
  std::vector<std::int64_t> offsets = {0};
  for (const auto& value : values) {
    if (value) data.insert(data.end(), value->begin(), value->end());
    offsets.push_back(static_cast<std::int64_t>(data.size()));
  }
  if (format == "U") {
    array->buffers = {validity, bytes_of(offsets), data};
  } else {
    array->buffers = {validity, bytes_of(std::vector<std::int32_t>(offsets.begin(), offsets.end())),
                      data};
  }
  return array;
}

template <class I>
Owned dictionary_of(const std::vector<std::optional<I>>& indices, Owned values) {
  auto array = ints(indices);
  array->dictionary = std::move(values);
  return array;
}

// Dictionary-encoded strings: each distinct string once, behind a null and an unused value that
// the dictionary's own offset skips.
template <class I>
Owned dictionary_strings(const Texts& values, const std::string& value_format) {
  Texts distinct = {std::nullopt, "skipped"};
  std::map<std::string, I> index;
  std::vector<std::optional<I>> indices;
  for (const auto& value : values) {
    if (!value) {
      indices.emplace_back();
      continue;
    }
    auto [at, fresh] = index.try_emplace(*value, static_cast<I>(distinct.size() - 2));
    if (fresh) distinct.push_back(*value);
    indices.emplace_back(at->second);
  }
  auto dictionary = strings(distinct, value_format);
  dictionary->offset = 2;
  dictionary->length -= 2;
  return dictionary_of(indices, std::move(dictionary));
}

VideoUuid uuid_of(std::uint64_t id) {
  VideoUuid uuid{};
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    uuid[i] = static_cast<std::uint8_t>((id >> (8 * (i % 8))) ^ (i * 37));
  }
  return uuid;
}

Owned uuids(const std::vector<std::optional<std::uint64_t>>& ids) {
  auto array = make("w:16", ids.size());
  Bytes data;
  for (const auto& id : ids) {
    const VideoUuid uuid = uuid_of(id.value_or(0));
    data.insert(data.end(), uuid.begin(), uuid.end());
  }
  array->buffers = {bitmap(presence(ids), array->null_count), data};
  return array;
}

Owned batch(std::vector<std::pair<std::string, Owned>> columns) {
  auto array =
      make("+s", columns.empty() ? 0 : static_cast<std::size_t>(columns[0].second->length));
  array->buffers = {std::nullopt};
  for (auto& [name, column] : columns) {
    column->name = name;
    array->children.push_back(std::move(column));
  }
  return array;
}

// ---- Rows, their encodings, and the reference: the same rows added one by one ----

struct Row {
  std::string term;
  std::uint64_t video;
  std::uint64_t count;
  std::uint64_t total = 0;  // given only when the encoding has a totals column
};

using TextColumn = std::function<Owned(const Texts&)>;
using IntColumn = std::function<Owned(const std::vector<std::optional<std::uint64_t>>&)>;

template <class T>
IntColumn as() {
  return [](const std::vector<std::optional<std::uint64_t>>& values) {
    std::vector<std::optional<T>> typed;
    for (const auto& value : values) {
      typed.push_back(value ? std::optional<T>(static_cast<T>(*value)) : std::nullopt);
    }
    return ints(typed);
  };
}
TextColumn text_as(std::string format) {
  return [format](const Texts& values) { return strings(values, format); };
}
template <class I>
TextColumn dictionary_as(std::string format) {
  return [format](const Texts& values) { return dictionary_strings<I>(values, format); };
}

struct Encoding {
  std::string name;
  TextColumn term;
  IntColumn video;
  IntColumn count;
  IntColumn totals;  // empty: no totals column
  bool uuid = false;
};

// The rows as a batch whose struct starts `struct_offset` rows and whose columns start
// `column_offset` more rows into their buffers; every row skipped that way is null, so reading
// one is an error.
Owned encode(const std::vector<Row>& rows, const Encoding& encoding, std::size_t struct_offset = 0,
             std::size_t column_offset = 0) {
  const std::size_t skipped = struct_offset + column_offset;
  Texts terms(skipped);
  std::vector<std::optional<std::uint64_t>> videos(skipped), counts(skipped), totals(skipped);
  for (const Row& row : rows) {
    terms.emplace_back(row.term);
    videos.emplace_back(row.video);
    counts.emplace_back(row.count);
    totals.emplace_back(row.total);
  }
  std::vector<std::pair<std::string, Owned>> columns;
  columns.emplace_back("term", encoding.term(terms));
  columns.emplace_back("video", encoding.uuid ? uuids(videos) : encoding.video(videos));
  columns.emplace_back("count", encoding.count(counts));
  if (encoding.totals) columns.emplace_back("total", encoding.totals(totals));
  for (auto& [name, column] : columns) {
    column->offset = static_cast<std::int64_t>(column_offset);
    column->length -= static_cast<std::int64_t>(column_offset);
  }
  auto out = batch(std::move(columns));
  out->offset = static_cast<std::int64_t>(struct_offset);
  out->length -= static_cast<std::int64_t>(struct_offset);
  std::vector<bool> present(struct_offset, false);
  present.resize(struct_offset + rows.size(), true);
  out->buffers[0] = bitmap(present, out->null_count);
  return out;
}

ColumnNames names_of(const Encoding& encoding) {
  ColumnNames names;
  if (encoding.totals) names.totals = "total";
  return names;
}

Expected<bool, RowError> add_directly(ClickTable& table, const std::vector<Row>& rows, bool uuid,
                                      bool totals) {
  for (const Row& row : rows) {
    auto added = uuid ? table.add(row.term, uuid_of(row.video), row.count)
                      : table.add(row.term, static_cast<std::uint32_t>(row.video), row.count);
    if (!added) return added;
    if (totals) {
      auto given = table.set_total(row.term, row.total);
      if (!given) return given;
    }
  }
  return true;
}

prefix::Trie built(ClickTable& table) {
  auto built = table.build(/*video_top_n=*/8);
  if (!built) ADD_FAILURE() << built.error().message;
  if (built && built->external_ids) ADD_FAILURE() << "an id table for ids the index holds itself";
  return built ? std::move(built->trie) : prefix::Trie{};
}

// Reads `batch` into a fresh table and checks that it holds what adding `rows` directly gives.
void expect_same_as_direct(TestArray& batch, const std::vector<Row>& rows, const ColumnNames& names,
                           bool uuid) {
  auto reader = BatchReader::open(batch.arrow_schema(), names);
  ASSERT_TRUE(reader) << reader.error().message;
  ASSERT_EQ(reader->kind(), uuid ? VideoKind::Uuid : VideoKind::Int);
  const VideoKind mode = reader->kind();
  ClickTable read(mode), direct(mode);
  Cancel cancel;
  const auto added = reader->add(read, batch.arrow(), cancel);
  ASSERT_TRUE(added) << added.error().message;
  ASSERT_TRUE(add_directly(direct, rows, uuid, !names.totals.empty()));
  EXPECT_EQ(read.rows(), rows.size());
  EXPECT_EQ(read.pairs(), direct.pairs());
  EXPECT_TRUE(built(read) == built(direct));
}

// Each term's total: its summed counts plus one, given on every row of it.
void give_totals(std::vector<Row>& rows) {
  std::map<std::string, std::uint64_t> sums;
  for (const Row& row : rows) sums[row.term] += row.count;
  for (Row& row : rows) row.total = sums[row.term] + 1;
}

std::vector<Row> sample_rows() {
  std::vector<Row> rows = {
      {"cat", 7, 3},
      {"catalogue", 7, 1},
      {"cat", 9, 2},
      {"dog", 100, 5},
      {"exactly12byt", 3, 1},   // the longest string a view holds inline
      {"thirteen byte", 3, 2},  // the shortest it does not
      {"\xC3\xBC"
       "ber stra\xC3\x9F"
       "e",
       12, 4},
      {"a much longer term than one view data buffer holds", 1, 1},
      {"cat", 7, 4},
      {"x", 0, 1},
      {"dog", 127, 2},
      {"zebra crossing at night", 5, 6},
  };
  give_totals(rows);
  return rows;
}

std::vector<Encoding> every_encoding() {
  const std::vector<std::pair<std::string, TextColumn>> terms = {
      {"utf8", text_as("u")},
      {"large utf8", text_as("U")},
      {"string view", text_as("vu")},
      {"int8 dictionary of utf8", dictionary_as<std::int8_t>("u")},
      {"uint8 dictionary of large utf8", dictionary_as<std::uint8_t>("U")},
      {"int16 dictionary of views", dictionary_as<std::int16_t>("vu")},
      {"uint16 dictionary of utf8", dictionary_as<std::uint16_t>("u")},
      {"int32 dictionary of large utf8", dictionary_as<std::int32_t>("U")},
      {"uint32 dictionary of views", dictionary_as<std::uint32_t>("vu")},
      {"int64 dictionary of utf8", dictionary_as<std::int64_t>("u")},
      {"uint64 dictionary of views", dictionary_as<std::uint64_t>("vu")},
  };
  const std::vector<std::pair<std::string, IntColumn>> integers = {
      {"int8", as<std::int8_t>()},   {"uint8", as<std::uint8_t>()},
      {"int16", as<std::int16_t>()}, {"uint16", as<std::uint16_t>()},
      {"int32", as<std::int32_t>()}, {"uint32", as<std::uint32_t>()},
      {"int64", as<std::int64_t>()}, {"uint64", as<std::uint64_t>()},
  };
  // Every type of every column at least once, in rotating combinations.
  std::vector<Encoding> encodings;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const auto& [term_name, term] = terms[i];
    const bool uuid = i % 9 == 8;
    const auto& [video_name, video] = integers[i % 8];
    const auto& [count_name, count] = integers[(i + 3) % 8];
    const bool totals = i % 4 != 0;  // then every integer type once
    const auto& [total_name, total] = integers[totals ? i - i / 4 - 1 : 0];
    encodings.push_back({term_name + ", " + (uuid ? "16-byte" : video_name) + " ids, " +
                             count_name + " counts" + (totals ? ", " + total_name + " totals" : ""),
                         term, video, count, totals ? total : IntColumn{}, uuid});
  }
  return encodings;
}

TEST(ArrowRows, ReadsEveryAcceptedTypeAtEveryOffset) {
  const std::vector<Row> rows = sample_rows();
  for (const Encoding& encoding : every_encoding()) {
    for (const auto& [struct_offset, column_offset] :
         std::vector<std::pair<std::size_t, std::size_t>>{{0, 0}, {3, 0}, {0, 2}, {3, 2}}) {
      SCOPED_TRACE(encoding.name + ", struct offset " + std::to_string(struct_offset) +
                   ", column offset " + std::to_string(column_offset));
      auto data = encode(rows, encoding, struct_offset, column_offset);
      expect_same_as_direct(*data, rows, names_of(encoding), encoding.uuid);
    }
  }
}

TEST(ArrowRows, AgreesWithDirectAddsOnRandomBatches) {
  const std::vector<Encoding> encodings = every_encoding();
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    std::mt19937 random(seed);
    const auto pick = [&](std::size_t n) {
      return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    // At most 100 distinct terms, as many as the narrowest dictionary index can number.
    std::vector<std::string> terms(100);
    for (std::string& term : terms) {
      const std::size_t length = 1 + pick(seed % 2 == 0 ? 4 : 30);
      for (std::size_t i = 0; i < length; ++i) term += static_cast<char>('a' + pick(3));
    }
    std::vector<Row> rows(1 + pick(1500));
    for (Row& row : rows) {
      row.term = terms[pick(terms.size())];
      row.video = pick(100);
      row.count = pick(100);
    }
    give_totals(rows);
    Encoding encoding = encodings[pick(encodings.size())];
    // Sums of random counts outgrow the narrow types; those are read in the other tests.
    if (encoding.totals) encoding.totals = as<std::int64_t>();
    auto data = encode(rows, encoding, pick(300), pick(300));
    SCOPED_TRACE("seed " + std::to_string(seed) + ": " + encoding.name);
    expect_same_as_direct(*data, rows, names_of(encoding), encoding.uuid);
  }
}

TEST(ArrowRows, FindsColumnsByNameAmongOthers) {
  const std::vector<Row> rows = sample_rows();
  Texts terms;
  std::vector<std::optional<std::int32_t>> videos;
  std::vector<std::optional<std::uint64_t>> counts;
  for (const Row& row : rows) {
    terms.emplace_back(row.term);
    videos.emplace_back(static_cast<std::int32_t>(row.video));
    counts.emplace_back(row.count);
  }
  std::vector<std::pair<std::string, Owned>> columns;
  columns.emplace_back("n", ints(counts));
  columns.emplace_back("q", strings(terms, "u"));
  columns.emplace_back("score", make("g", rows.size()));  // unused, of a type not read
  columns.emplace_back("id", ints(videos));
  auto data = batch(std::move(columns));
  data->children[2]->buffers = {std::nullopt, std::nullopt};
  expect_same_as_direct(*data, rows, ColumnNames{"q", "id", "n", ""}, false);
}

TEST(ArrowRows, TakesSixteenByteIdsWhateverTheirMetadata) {
  const std::vector<Row> rows = sample_rows();
  Encoding encoding{"uuid", text_as("u"), {}, as<std::uint64_t>(), {}, true};
  auto data = encode(rows, encoding);
  data->children[1]->metadata =
      std::string("\1\0\0\0\x14\0\0\0ARROW:extension:name\x0a\0\0\0arrow.uuid", 42);
  expect_same_as_direct(*data, rows, ColumnNames{}, true);
}

// ---- Refusals ----

// Opens a reader on the batch's own schema, applies `spoil` to the batch, and adds it to a table
// that already holds `before` rows; returns the error message, or "ok".
std::string outcome(TestArray& data, const ColumnNames& names,
                    const std::function<void(TestArray&)>& spoil = {}, std::uint64_t before = 0,
                    std::uint64_t* rows_after = nullptr) {
  auto reader = BatchReader::open(data.arrow_schema(), names);
  if (!reader) return reader.error().message;
  if (spoil) spoil(data);
  ClickTable table(reader->kind());
  for (std::uint64_t i = 0; i < before; ++i) {
    if (reader->kind() == VideoKind::Uuid) {
      (void)table.add("earlier", uuid_of(i), 1);
    } else {
      (void)table.add("earlier", static_cast<std::uint32_t>(i), 1);
    }
  }
  Cancel cancel;
  const auto added = reader->add(table, data.arrow(), cancel);
  if (rows_after != nullptr) *rows_after = table.rows();
  return added ? "ok" : added.error().message;
}

Owned three_rows(Owned term, Owned video, Owned count, Owned totals = nullptr) {
  std::vector<std::pair<std::string, Owned>> columns;
  columns.emplace_back("term", std::move(term));
  columns.emplace_back("video", std::move(video));
  columns.emplace_back("count", std::move(count));
  if (totals) columns.emplace_back("total", std::move(totals));
  return batch(std::move(columns));
}

Owned good_terms(const std::string& format = "u") { return strings({"ab", "cd", "ef"}, format); }
Owned good_ids() { return ints<std::uint32_t>({1, 2, 3}); }
Owned good_counts() { return ints<std::uint64_t>({1, 2, 3}); }

template <class T>
void set_at(std::optional<Bytes>& buffer, std::size_t index, T value) {
  std::memcpy(buffer->data() + index * sizeof(T), &value, sizeof value);
}

TEST(ArrowRows, RefusesBadValuesNamingRowColumnAndValue) {
  const auto views = [] {
    // Row 1's view points into data buffer 0.
    return three_rows(strings({"ab", "a string longer than twelve", "ef"}, "vu"), good_ids(),
                      good_counts());
  };
  struct Case {
    const char* name;
    std::function<Owned()> build;
    std::function<void(TestArray&)> spoil;
    std::string want;
  };
  const Case cases[] = {
      {"negative int64 count",
       [] {
         return three_rows(good_terms(), good_ids(), ints<std::int64_t>({1, 2, -3}));
       },
       {},
       "row 2: column 'count': -3 is negative"},
      {"negative int8 count",
       [] {
         return three_rows(good_terms(), good_ids(), ints<std::int8_t>({1, -1, 3}));
       },
       {},
       "row 1: column 'count': -1 is negative"},
      {"negative total",
       [] {
         return three_rows(good_terms(), good_ids(), good_counts(), ints<std::int16_t>({-5, 9, 9}));
       },
       {},
       "row 0: column 'total': -5 is negative"},
      {"string id that is not UTF-8",
       [] {
         return three_rows(good_terms(), strings({"a", "b\xc0", "c"}, "u"), good_counts());
       },
       {},
       "row 1: video id is not valid UTF-8 (byte 0xc0 at offset 1)"},
      {"null string id",
       [] {
         return three_rows(good_terms(), strings({"a", "b", std::nullopt}, "U"), good_counts());
       },
       {},
       "row 2: column 'video' is null"},
      {"string id past its data",
       [] {
         return three_rows(good_terms(), strings({"a", "b", "c"}, "u"), good_counts());
       },
       [](TestArray& b) { set_at<std::int32_t>(b.children[1]->buffers[1], 1, -4); },
       "row 0: column 'video': offsets decrease (from 0 to -4)"},
      {"decreasing offsets", [] { return three_rows(good_terms(), good_ids(), good_counts()); },
       [](TestArray& b) { set_at<std::int32_t>(b.children[0]->buffers[1], 2, 1); },
       "row 1: column 'term': offsets decrease (from 2 to 1)"},
      {"negative large offset",
       [] { return three_rows(good_terms("U"), good_ids(), good_counts()); },
       [](TestArray& b) { set_at<std::int64_t>(b.children[0]->buffers[1], 0, -1); },
       "row 0: column 'term': offset -1 is negative"},
      {"offsets with no data buffer",
       [] { return three_rows(good_terms(), good_ids(), good_counts()); },
       [](TestArray& b) { b.children[0]->buffers[2] = std::nullopt; },
       "row 0: column 'term': offset 2 is past the data (there is no data buffer)"},
      {"negative view length", views,
       [](TestArray& b) { set_at<std::int32_t>(b.children[0]->buffers[1], 8, -2); },
       "row 2: column 'term': string view length -2 is negative"},
      {"view naming a buffer past the last", views,
       [](TestArray& b) { set_at<std::int32_t>(b.children[0]->buffers[1], 6, 1); },
       "row 1: column 'term': string view names data buffer 1 of 1"},
      {"view running past its buffer", views,
       [](TestArray& b) { set_at<std::int32_t>(b.children[0]->buffers[1], 7, 10); },
       "row 1: column 'term': string view bytes 10 to 37 lie outside data buffer 0 (27 bytes)"},
      {"dictionary index past the end",
       [] {
         return three_rows(dictionary_of<std::int32_t>({0, 2, 1}, strings({"ab", "cd"}, "u")),
                           good_ids(), good_counts());
       },
       {},
       "row 1: column 'term': dictionary index 2 is out of range (the dictionary has 2 values)"},
      {"negative dictionary index",
       [] {
         return three_rows(dictionary_of<std::int8_t>({0, 1, -1}, strings({"ab", "cd"}, "vu")),
                           good_ids(), good_counts());
       },
       {},
       "row 2: column 'term': dictionary index -1 is out of range (the dictionary has 2 values)"},
      {"first bad row wins over a later one in an earlier column",
       [] {
         return three_rows(strings({"ab", "cd", std::nullopt}, "u"), good_ids(),
                           ints<std::int16_t>({1, -4, 3}));
       },
       {},
       "row 1: column 'count': -4 is negative"},
      {"earlier column wins on the same row",
       [] {
         return three_rows(strings({"ab", std::nullopt, "ef"}, "u"), good_ids(),
                           ints<std::int16_t>({1, -4, 3}));
       },
       {},
       "row 1: column 'term' is null"},
      {"null row", [] { return three_rows(good_terms(), good_ids(), good_counts()); },
       [](TestArray& b) {
         b.buffers[0] = Bytes{0b101};
         b.null_count = 1;
       },
       "row 1: the row is null"},
      // The layout of the batch contradicting its schema: refused before any row.
      {"short column",
       [] {
         return three_rows(good_terms(), good_ids(), ints<std::uint8_t>({1, 2, 3}));
       },
       [](TestArray& b) { b.children[2]->length = 2; },
       "column 'count' has 2 rows; the batch needs 3"},
      {"short column once the struct's offset counts",
       [] { return three_rows(good_terms(), good_ids(), good_counts()); },
       [](TestArray& b) { b.offset = 1; }, "column 'term' has 3 rows; the batch needs 4"},
      {"negative column offset", [] { return three_rows(good_terms(), good_ids(), good_counts()); },
       [](TestArray& b) { b.children[1]->offset = -1; },
       "column 'video' has a negative length or offset"},
      {"extra buffer", [] { return three_rows(good_terms(), good_ids(), good_counts()); },
       [](TestArray& b) { b.children[1]->buffers.emplace_back(Bytes{}); },
       "column 'video' has 3 buffers; its type has 2"},
      {"no data buffer", [] { return three_rows(good_terms(), good_ids(), good_counts()); },
       [](TestArray& b) { b.children[2]->buffers[1] = std::nullopt; },
       "column 'count' has no data buffer"},
      {"no offsets buffer", [] { return three_rows(good_terms("U"), good_ids(), good_counts()); },
       [](TestArray& b) { b.children[0]->buffers[1] = std::nullopt; },
       "column 'term' has no offsets buffer"},
      {"no views buffer", views, [](TestArray& b) { b.children[0]->buffers[1] = std::nullopt; },
       "column 'term' has no views buffer"},
      {"no view buffer sizes", views,
       [](TestArray& b) { b.children[0]->buffers.back() = std::nullopt; },
       "column 'term' has no buffer sizes for its string views"},
      {"a view data buffer missing", views,
       [](TestArray& b) { b.children[0]->buffers[2] = std::nullopt; },
       "column 'term': string view data buffer 0 of 27 bytes is missing"},
      {"no dictionary",
       [] {
         return three_rows(dictionary_of<std::int32_t>({0, 1, 1}, strings({"ab", "cd"}, "u")),
                           good_ids(), good_counts());
       },
       [](TestArray& b) { b.children[0]->dictionary.reset(); }, "column 'term' has no dictionary"},
      {"a column fewer than the schema",
       [] { return three_rows(good_terms(), good_ids(), good_counts()); },
       [](TestArray& b) { b.children.pop_back(); }, "the batch has 2 columns; its schema has 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto data = c.build();
    ColumnNames names;
    if (data->children.size() == 4) names.totals = "total";
    EXPECT_EQ(outcome(*data, names, c.spoil), c.want);
  }

  auto ids16 = three_rows(good_terms(), uuids({1, 2, 3}), good_counts());
  auto reader = BatchReader::open(ids16->arrow_schema(), ColumnNames{});
  ASSERT_TRUE(reader);
  ClickTable table(IdMode::Int32);
  Cancel cancel;
  const auto added = reader->add(table, ids16->arrow(), cancel);
  ASSERT_FALSE(added);
  EXPECT_EQ(added.error().message, "column 'video' has 16-byte ids; the table takes integer ids");
  ClickTable uuid_table(IdMode::Uuid);
  ids16->arrow().release(&ids16->array);
  const auto released = reader->add(uuid_table, ids16->array, cancel);
  EXPECT_EQ(released ? "ok" : released.error().message, "the batch has been released");
}

// ---- The site's own ids ----

// A video id column and the ids it holds, one per row, as the table is given them one by one.
struct SiteIds {
  const char* name;
  std::function<Owned()> column;
  std::function<Expected<bool, RowError>(ClickTable&, std::string_view term, std::size_t row)> add;
  VideoKind kind;
};

template <class T>
SiteIds int_ids(const char* name, std::vector<T> values) {
  return {name,
          [=] {
            std::vector<std::optional<T>> column(values.begin(), values.end());
            return ints(column);
          },
          [=](ClickTable& table, std::string_view term, std::size_t row) {
            if constexpr (std::is_signed_v<T>) {
              return table.add_signed(term, values[row], 1 + row);
            } else {
              return table.add_unsigned(term, values[row], 1 + row);
            }
          },
          VideoKind::Int};
}

SiteIds text_ids(const char* name, std::vector<std::string> values,
                 const std::function<Owned(const Texts&)>& column) {
  return {name, [=] { return column(Texts(values.begin(), values.end())); },
          [=](ClickTable& table, std::string_view term, std::size_t row) {
            return table.add_text(term, values[row], 1 + row);
          },
          VideoKind::Text};
}

TEST(ArrowRows, ReadsSiteIdsOfEveryIntegerAndStringType) {
  constexpr std::int64_t kLow = std::numeric_limits<std::int64_t>::min();
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  const std::vector<std::string> slugs = {"dQw4w9WgXcQ",           "x",         "dQw4w9WgXcQ",
                                          "a slug longer than 12", "h\xc3\xa9", "x"};
  const auto as = [](const char* format) {
    return [format = std::string(format)](const Texts& v) { return strings(v, format); };
  };
  const SiteIds cases[] = {
      int_ids<std::int64_t>("int64 past 4 bytes", {1, 4294967296, 1, kLow, -1, 7}),
      int_ids<std::uint64_t>("uint64 above 2**63-1", {kTop, 5, 1ull << 63, 5, 0, 1}),
      int_ids<std::int32_t>("int32 negatives", {-1, 3, -1, 2147483647, -2147483648, 0}),
      int_ids<std::int8_t>("int8", {-128, 127, 0, 1, -1, 0}),
      int_ids<std::uint64_t>("uint64 within 4 bytes", {4294967295, 0, 4294967295, 1, 2, 3}),
      text_ids("utf8", slugs, as("u")),
      text_ids("large utf8", slugs, as("U")),
      text_ids("string view", slugs, as("vu")),
      text_ids("dictionary of utf8", slugs,
               [](const Texts& v) { return dictionary_strings<std::int32_t>(v, "u"); }),
      text_ids("dictionary of string views", slugs,
               [](const Texts& v) { return dictionary_strings<std::uint8_t>(v, "vu"); }),
  };
  const std::vector<std::string> terms = {"cat", "car", "cat", "dog", "cat", "do"};
  for (const SiteIds& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::optional<std::uint64_t>> counts;
    for (std::size_t i = 0; i < terms.size(); ++i) counts.emplace_back(1 + i);
    std::vector<std::pair<std::string, Owned>> columns;
    columns.emplace_back("term", strings(Texts(terms.begin(), terms.end()), "u"));
    columns.emplace_back("video", c.column());
    columns.emplace_back("count", ints(counts));
    auto data = batch(std::move(columns));
    data->offset = 1;  // the batch's rows start one into its columns
    data->length -= 1;
    auto reader = BatchReader::open(data->arrow_schema(), ColumnNames{});
    ASSERT_TRUE(reader) << reader.error().message;
    EXPECT_EQ(reader->kind(), c.kind);
    ClickTable read(c.kind), direct(c.kind);
    Cancel cancel;
    const auto added = reader->add(read, data->arrow(), cancel);
    ASSERT_TRUE(added) << added.error().message;
    for (std::size_t row = 1; row < terms.size(); ++row) {
      ASSERT_TRUE(c.add(direct, terms[row], row));
    }
    EXPECT_EQ(read.videos(), direct.videos());
    auto from_arrow = read.build(4);
    auto from_calls = direct.build(4);
    ASSERT_TRUE(from_arrow && from_calls);
    EXPECT_TRUE(from_arrow->trie == from_calls->trie);
    EXPECT_EQ(from_arrow->external_ids, from_calls->external_ids);
  }
}

TEST(ArrowRows, RefusesSiteIdsOfAnotherKindOrSignNamingTheRow) {
  const auto read_all = [](std::vector<Owned> batches) {
    auto reader = BatchReader::open(batches.front()->arrow_schema(), ColumnNames{});
    if (!reader) return reader.error().message;
    ClickTable table(reader->kind());
    Cancel cancel;
    for (Owned& data : batches) {
      // Each batch is read with the reader of its own schema, into the table of the first.
      auto own = BatchReader::open(data->arrow_schema(), ColumnNames{});
      if (!own) return own.error().message;
      const auto added = own->add(table, data->arrow(), cancel);
      if (!added) return added.error().message;
    }
    return std::string("ok");
  };
  const auto rows_of = [](Owned video) {
    return three_rows(good_terms(), std::move(video), good_counts());
  };
  const auto list = [](Owned a, Owned b) {
    std::vector<Owned> out;
    out.push_back(std::move(a));
    out.push_back(std::move(b));
    return out;
  };
  struct Case {
    const char* name;
    std::function<std::vector<Owned>()> batches;
    std::string want;
  };
  const Case cases[] = {
      {"strings after integers",
       [&] {
         return list(rows_of(ints<std::int64_t>({1, 2, 3})),
                     rows_of(strings({"a", "b", "c"}, "u")));
       },
       "column 'video' has string ids; the table takes integer ids"},
      {"integers after strings",
       [&] {
         return list(rows_of(strings({"a", "b", "c"}, "vu")), rows_of(good_ids()));
       },
       "column 'video' has integer ids; the table takes string ids"},
      {"16-byte ids after strings",
       [&] {
         return list(rows_of(strings({"a", "b", "c"}, "U")), rows_of(uuids({1, 2, 3})));
       },
       "column 'video' has 16-byte ids; the table takes string ids"},
      {"above 2**63-1 after negatives, in a later batch",
       [&] {
         return list(rows_of(ints<std::int64_t>({1, -2, 3})),
                     rows_of(ints<std::uint64_t>({4, 1ull << 63, 5})));
       },
       "row 4: video 9223372036854775808: ids above 2**63-1 and below 0 cannot share one index "
       "(an earlier row holds -2)"},
      {"negative after above 2**63-1",
       [&] {
         return list(rows_of(ints<std::uint64_t>({~0ull, 2, 3})),
                     rows_of(ints<std::int16_t>({4, 5, -6})));
       },
       "row 5: video -6: ids above 2**63-1 and below 0 cannot share one index (an earlier row "
       "holds 18446744073709551615)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(read_all(c.batches()), c.want);
  }
}

TEST(ArrowRows, RefusesNullsAtEveryPositionNamingTheTablesRow) {
  std::vector<Row> rows;
  for (std::uint64_t i = 0; i < 600; ++i)
    rows.push_back({"t" + std::to_string(i % 37), i, 1 + i % 5});
  give_totals(rows);
  struct NullCase {
    const char* name;
    Encoding encoding;
    // Makes the value of row `row` null: in the column `child`, or in its dictionary, or (-1) the
    // row itself.
    int child;
    bool in_dictionary;
    std::string want;
  };
  const Encoding plain{"", text_as("u"), as<std::uint32_t>(), as<std::int64_t>(),
                       as<std::uint8_t>()};
  Encoding views = plain;
  views.term = text_as("vu");
  Encoding dictionary = plain;
  dictionary.term = dictionary_as<std::int16_t>("U");
  Encoding sixteen = plain;
  sixteen.uuid = true;
  const NullCase cases[] = {
      {"utf8 term", plain, 0, false, "column 'term' is null"},
      {"view term", views, 0, false, "column 'term' is null"},
      {"dictionary index", dictionary, 0, false, "column 'term' is null"},
      {"dictionary value", dictionary, 0, true, "column 'term' is null"},
      {"4-byte id", plain, 1, false, "column 'video' is null"},
      {"16-byte id", sixteen, 1, false, "column 'video' is null"},
      {"count", plain, 2, false, "column 'count' is null"},
      {"total", plain, 3, false, "column 'total' is null"},
      {"row", plain, -1, false, "the row is null"},
  };
  for (const NullCase& column : cases) {
    for (const std::size_t row : std::initializer_list<std::size_t>{0, 1, 255, 256, 257, 599}) {
      for (const std::uint64_t before : std::initializer_list<std::uint64_t>{0, 5}) {
        SCOPED_TRACE(std::string(column.name) + " null at row " + std::to_string(row) + " after " +
                     std::to_string(before));
        auto data = encode(rows, column.encoding, 2, 1);
        TestArray& target =
            column.child < 0 ? *data : *data->children[static_cast<std::size_t>(column.child)];
        std::size_t position = row + (column.child < 0 ? 2 : 3);  // past the offsets
        TestArray* holder = &target;
        if (column.in_dictionary) {
          // Row `row` names dictionary value `position` (the dictionary's own offset is 2).
          std::int16_t index = 0;
          std::memcpy(&index, target.buffers[1]->data() + position * 2, 2);
          holder = target.dictionary.get();
          position = static_cast<std::size_t>(index) + 2;
        }
        std::vector<bool> present(static_cast<std::size_t>(holder->offset + holder->length) + 8,
                                  true);
        if (holder->buffers[0]) {
          for (std::size_t i = 0; i < present.size(); ++i) {
            present[i] = i / 8 < holder->buffers[0]->size() &&
                         ((*holder->buffers[0])[i / 8] >> (i % 8) & 1) != 0;
          }
        }
        present[position] = false;
        holder->buffers[0] = bitmap(present, holder->null_count);
        std::uint64_t rows_after = 0;
        // A dictionary value is shared by every row naming it: the first of them is refused.
        std::size_t first = row;
        if (column.in_dictionary) {
          for (std::size_t r = 0; r < rows.size(); ++r) {
            if (rows[r].term == rows[row].term) {
              first = r;
              break;
            }
          }
        }
        EXPECT_EQ(outcome(*data, names_of(column.encoding), {}, before, &rows_after),
                  "row " + std::to_string(before + first) + ": " + column.want);
        EXPECT_EQ(rows_after, before + first);  // the rows before it were added
      }
    }
  }
}

TEST(ArrowRows, PassesOnTheTablesRefusalsForTheSameRows) {
  std::vector<Row> rows = {{"ok", 1, 1}, {"also ok", 2, 2}, {"", 3, 3}, {"never", 4, 4}};
  Encoding encoding{"", text_as("vu"), as<std::int64_t>(), as<std::uint16_t>(), {}};
  auto data = encode(rows, encoding, 1, 1);
  ClickTable direct(IdMode::Int32);
  (void)direct.add("earlier", 9, 1);
  const auto want = add_directly(direct, rows, false, false);
  ASSERT_FALSE(want);
  std::uint64_t rows_after = 0;
  EXPECT_EQ(outcome(*data, ColumnNames{}, {}, 1, &rows_after), want.error().message);
  EXPECT_EQ(rows_after, direct.rows());
}

TEST(ArrowRows, RefusesSchemasNamingTheColumnAndItsType) {
  const auto named = [](std::vector<std::pair<std::string, std::string>> columns) {
    std::vector<std::pair<std::string, Owned>> children;
    for (auto& [name, format] : columns) children.emplace_back(name, make(format, 0));
    return batch(std::move(children));
  };
  const auto with_dictionary = [](Owned array, std::string format) {
    array->dictionary = make(std::move(format), 0);
    return array;
  };
  constexpr const char* kStrings =
      "expected strings: utf8, large utf8 or string view, plain or dictionary-encoded";
  struct Case {
    const char* name;
    std::function<Owned()> build;
    ColumnNames names;
    std::string want;
  };
  const Case cases[] = {
      {"missing video",
       [&] {
         return named({{"term", "u"}, {"vid", "i"}, {"count", "l"}});
       },
       {},
       "no column 'video' among term, vid, count"},
      {"no columns at all",
       [&] { return named({}); },
       {},
       "no column 'term': the batches have no columns"},
      {"missing totals",
       [&] {
         return named({{"term", "u"}, {"video", "i"}, {"count", "l"}});
       },
       {"term", "video", "count", "total"},
       "no column 'total' among term, video, count"},
      {"duplicate",
       [&] {
         return named({{"term", "u"}, {"video", "i"}, {"video", "l"}, {"count", "l"}});
       },
       {},
       "column 'video' appears 2 times among term, video, video, count"},
      {"float count",
       [&] {
         return named({{"term", "u"}, {"video", "i"}, {"count", "g"}});
       },
       {},
       "column 'count' has Arrow type 'g' (float64); expected an integer type"},
      {"timestamp totals",
       [&] {
         return named({{"term", "u"}, {"video", "i"}, {"count", "l"}, {"n", "tsu:UTC"}});
       },
       {"term", "video", "count", "n"},
       "column 'n' has Arrow type 'tsu:UTC' (timestamp); expected an integer type"},
      {"binary term",
       [&] {
         return named({{"term", "z"}, {"video", "i"}, {"count", "l"}});
       },
       {},
       std::string("column 'term' has Arrow type 'z' (binary); ") + kStrings},
      {"unknown type",
       [&] {
         return named({{"term", "?!"}, {"video", "i"}, {"count", "l"}});
       },
       {},
       std::string("column 'term' has Arrow type '?!'; ") + kStrings},
      {"dictionary of integers as terms",
       [&] {
         auto data = named({{"video", "i"}, {"count", "l"}});
         data->children.insert(data->children.begin(), with_dictionary(make("i", 0), "l"));
         data->children[0]->name = "term";
         return data;
       },
       {},
       std::string(
           "column 'term' has Arrow type 'i' (int32) with dictionary values 'l' (int64); ") +
           kStrings},
      {"dictionary with string indices",
       [&] {
         auto data = named({{"video", "i"}, {"count", "l"}});
         data->children.insert(data->children.begin(), with_dictionary(make("u", 0), "u"));
         data->children[0]->name = "term";
         return data;
       },
       {},
       std::string("column 'term' has Arrow type 'u' (utf8) with dictionary values 'u' (utf8); ") +
           kStrings},
      {"8-byte binary ids",
       [&] {
         return named({{"term", "u"}, {"video", "w:8"}, {"count", "l"}});
       },
       {},
       "column 'video' has Arrow type 'w:8' (fixed-size binary); expected an integer type, "
       "strings or 16-byte fixed-size binary"},
      {"dictionary-encoded counts",
       [&] {
         auto data = named({{"term", "u"}, {"video", "i"}});
         data->children.push_back(with_dictionary(make("i", 0), "l"));
         data->children[2]->name = "count";
         return data;
       },
       {},
       "column 'count' has Arrow type 'i' (int32) with dictionary values 'l' (int64); expected an "
       "integer type"},
      {"not a struct",
       [] { return make("i", 0); },
       {},
       "the batches have Arrow type 'i' (int32); expected a struct ('+s') of columns"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto data = c.build();
    const auto reader = BatchReader::open(data->arrow_schema(), c.names);
    EXPECT_EQ(reader ? "ok" : reader.error().message, c.want);
  }
  auto data = named({{"term", "u"}, {"video", "i"}, {"count", "l"}});
  ArrowSchema& schema = data->arrow_schema();
  schema.release(&schema);
  const auto reader = BatchReader::open(schema, ColumnNames{});
  EXPECT_EQ(reader ? "ok" : reader.error().message, "the schema has been released");
}

// ---- Streams ----

// A stream over batches owned by the test. Each batch handed out carries its own release
// callback, which counts its calls per batch; the schema handed out counts its releases too.
struct TestStream {
  Owned schema_source;
  std::vector<Owned> batches;
  std::size_t fail_at = std::numeric_limits<std::size_t>::max();  // get_next fails there
  std::string error = "disk on fire";
  int schema_code = 0;  // get_schema fails with it when not 0
  std::size_t next = 0;
  std::vector<int> released;
  int schema_released = 0;
  bool stream_released = false;
  ArrowArrayStream stream{};

  struct Handed {
    Owned batch;
    int* released;
  };

  explicit TestStream(std::vector<Owned> items) : batches(std::move(items)) {
    schema_source = std::move(batches.front());
    batches.erase(batches.begin());
    released.assign(batches.size(), 0);
    stream = ArrowArrayStream{&get_schema, &get_next, &get_last_error, &release, this};
  }

  static TestStream& of(ArrowArrayStream* s) { return *static_cast<TestStream*>(s->private_data); }
  static int get_schema(ArrowArrayStream* s, ArrowSchema* out) {
    TestStream& self = of(s);
    if (self.schema_code != 0) return self.schema_code;
    *out = self.schema_source->arrow_schema();
    out->private_data = &self;
    out->release = [](ArrowSchema* schema) {
      ++static_cast<TestStream*>(schema->private_data)->schema_released;
      schema->release = nullptr;
    };
    return 0;
  }
  static int get_next(ArrowArrayStream* s, ArrowArray* out) {
    TestStream& self = of(s);
    if (self.next == self.fail_at) return EIO;
    if (self.next == self.batches.size()) {
      out->release = nullptr;
      return 0;
    }
    auto* handed = new Handed{std::move(self.batches[self.next]), &self.released[self.next]};
    ++self.next;
    *out = handed->batch->arrow();
    out->private_data = handed;
    out->release = [](ArrowArray* array) {
      auto* owner = static_cast<Handed*>(array->private_data);
      ++*owner->released;
      delete owner;
      array->release = nullptr;
    };
    return 0;
  }
  static const char* get_last_error(ArrowArrayStream* s) {
    return of(s).error.empty() ? nullptr : of(s).error.c_str();
  }
  static void release(ArrowArrayStream* s) {
    of(s).stream_released = true;
    s->release = nullptr;
  }
};

TEST(ArrowRows, StreamsReleaseEveryBatchOnceWhateverHappens) {
  Encoding encoding{
      "", dictionary_as<std::uint8_t>("vu"), as<std::uint16_t>(), as<std::uint32_t>(), {}};
  const auto rows_of = [](std::size_t n, std::uint64_t first) {
    std::vector<Row> rows;
    for (std::uint64_t i = 0; i < n; ++i)
      rows.push_back({"term " + std::to_string((first + i) % 7), first + i, 1});
    return rows;
  };
  struct Case {
    const char* name;
    std::vector<std::size_t> sizes;  // rows per batch
    std::size_t fail_at;             // get_next fails before handing out this batch
    std::string error;               // its last error text
    std::size_t bad_batch;           // this batch's row 1 has a null count (past the end: none)
    std::string want;
    std::vector<std::uint64_t> progress;  // rows seen after each batch
  };
  const std::size_t never = std::numeric_limits<std::size_t>::max();
  const Case cases[] = {
      {"to the end, an empty batch included", {5, 0, 7}, never, "", never, "ok", {5, 5, 12}},
      {"no batches", {}, never, "", never, "ok", {}},
      {"get_next fails",
       {5, 4, 3},
       2,
       "disk on fire",
       never,
       "Arrow stream error: disk on fire",
       {5, 9}},
      {"get_next fails without a text",
       {5},
       0,
       "",
       never,
       "Arrow stream error: " + std::generic_category().message(EIO) + " (code 5)",
       {}},
      {"a refused row", {5, 4, 3}, never, "", 1, "row 6: column 'count' is null", {5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Owned> batches;
    batches.push_back(encode(rows_of(1, 0), encoding));
    std::vector<Row> all;
    for (std::size_t b = 0; b < c.sizes.size(); ++b) {
      const auto rows = rows_of(c.sizes[b], all.size());
      all.insert(all.end(), rows.begin(), rows.end());
      batches.push_back(encode(rows, encoding, b % 2, 1));
      if (b == c.bad_batch) {
        TestArray& count = *batches.back()->children[2];
        std::vector<bool> present(static_cast<std::size_t>(count.offset + count.length), true);
        present[static_cast<std::size_t>(count.offset + batches.back()->offset + 1)] = false;
        count.buffers[0] = bitmap(present, count.null_count);
      }
    }
    TestStream source(std::move(batches));
    source.fail_at = c.fail_at;
    source.error = c.error;

    auto reader = BatchReader::open(source.stream, ColumnNames{});
    ASSERT_TRUE(reader) << reader.error().message;
    EXPECT_EQ(source.schema_released, 1);
    ClickTable table(reader->kind());
    Cancel cancel;
    std::vector<std::uint64_t> progress;
    const auto added = add_stream(table, source.stream, *reader, cancel,
                                  [&](std::uint64_t rows) { progress.push_back(rows); });
    EXPECT_EQ(added ? "ok" : added.error().message, c.want);
    EXPECT_EQ(progress, c.progress);
    for (std::size_t b = 0; b < c.sizes.size(); ++b) {
      EXPECT_EQ(source.released[b], b < source.next ? 1 : 0) << "batch " << b;
    }
    EXPECT_FALSE(source.stream_released);
    if (added) {
      ClickTable direct(IdMode::Int32);
      ASSERT_TRUE(add_directly(direct, all, false, false));
      EXPECT_TRUE(built(table) == built(direct));
    }
    source.stream.release(&source.stream);
  }
}

TEST(ArrowRows, StreamReleasesTheBatchItWasReadingWhenCancelled) {
  Encoding encoding{"", text_as("u"), as<std::int32_t>(), as<std::int32_t>(), {}};
  std::vector<Row> rows;
  for (std::uint64_t i = 0; i < 5000; ++i) rows.push_back({"t" + std::to_string(i % 11), i, 1});
  std::vector<Owned> batches;
  batches.push_back(encode(rows, encoding));
  batches.push_back(encode(rows, encoding));
  batches.push_back(encode(rows, encoding));
  TestStream source(std::move(batches));
  auto reader = BatchReader::open(source.stream, ColumnNames{});
  ASSERT_TRUE(reader);
  ClickTable table(IdMode::Int32);
  Cancel cancel([](void*) noexcept { return true; }, nullptr);
  EXPECT_THROW((void)add_stream(table, source.stream, *reader, cancel), Cancelled);
  EXPECT_EQ(source.next, 1u);
  EXPECT_EQ(source.released, (std::vector<int>{1, 0}));
  EXPECT_EQ(table.rows(), Cancel::kInterval - 1);  // stopped at the step that asked the hook
  source.stream.release(&source.stream);
}

TEST(ArrowRows, StreamSchemaFailuresAreReported) {
  TestStream source([] {
    std::vector<Owned> items;
    items.push_back(encode({{"a", 1, 1}},
                           Encoding{"", text_as("u"), as<std::int8_t>(), as<std::int8_t>(), {}}));
    return items;
  }());
  source.schema_code = EINVAL;
  source.error = "no schema yet";
  const auto reader = BatchReader::open(source.stream, ColumnNames{});
  EXPECT_EQ(reader ? "ok" : reader.error().message, "Arrow stream error: no schema yet");
  EXPECT_EQ(source.schema_released, 0);
  source.stream.release(&source.stream);
  const auto after = BatchReader::open(source.stream, ColumnNames{});
  EXPECT_EQ(after ? "ok" : after.error().message, "the stream has been released");
}

}  // namespace
}  // namespace torrelm::ingest

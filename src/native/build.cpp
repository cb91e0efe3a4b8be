// torrelm._native.RowTable: click rows read into a native ClickTable from Arrow data (through
// the Arrow PyCapsule interface) or from Python columns, then built into an Index.
//
// Arrow batches are read with the interpreter lock released: the buffers belong to the exporter,
// not to Python objects. Python columns are read with the lock held, one value at a time, except
// integer columns that export a buffer (NumPy arrays, array.array), whose values are read in place.
#include "native/build.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "ingest/arrow_rows.hpp"
#include "ingest/click_table.hpp"
#include "ingest/variants.hpp"
#include "native/errors.hpp"
#include "native/index.hpp"
#include "prefix/matcher/lookup.hpp"
#include "search/search.hpp"
#include "store/mapped_file.hpp"
#include "store/spellings.hpp"

namespace torrelm::native {
namespace {

namespace nb = nanobind;
using ingest::ClickTable;
using ingest::RowError;

[[noreturn]] void raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw nb::python_error();
}

[[noreturn]] void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw nb::python_error();
}

template <class T>
T checked(Expected<T, RowError> result) {
  if (!result) raise_value_error(result.error().message);
  return std::move(*result);
}

using ingest::VideoKind;

// A kind of id as messages name it: one id of the kind, or ids of the kind.
std::string kind_name(VideoKind kind, bool one = false) {
  switch (kind) {
    case VideoKind::Int:
      return one ? "an integer id" : "integer ids";
    case VideoKind::Uuid:
      return one ? "a 16-byte id" : "16-byte ids";
    default:
      return one ? "a str id" : "str ids";
  }
}

// Owns what was moved out of a capsule and releases it once.
template <class Struct>
struct Owned {
  Struct value{};
  Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() {
    if (value.release != nullptr) value.release(&value);
  }
};

// The struct a capsule of the Arrow PyCapsule interface points to, moved out of it: the capsule's
// destructor then finds it released and leaves it to us, as the protocol asks of a consumer.
template <class Struct>
void move_out(nb::handle capsule, const char* name, Owned<Struct>& into) {
  auto* source = static_cast<Struct*>(PyCapsule_GetPointer(capsule.ptr(), name));
  if (source == nullptr) throw nb::python_error();  // not a capsule of that name: TypeError set
  if (source->release == nullptr) raise_value_error(std::string(name) + " was already consumed");
  into.value = *source;
  source->release = nullptr;
}

// A Python callable progress(stage, done, total), called with the lock taken for the call.
class ProgressCall {
 public:
  explicit ProgressCall(nb::handle callable) : callable_(nb::borrow(callable)) {}

  bool active() const noexcept { return callable_.is_valid() && !callable_.is_none(); }

  // With the lock held.
  void operator()(std::string_view stage, std::uint64_t done, std::uint64_t total) const {
    if (active()) callable_(nb::str(stage.data(), stage.size()), done, total);
  }
  // From work running without the lock. An exception of the callable stops the work: it is
  // kept as a python_error, which run_released carries back to the caller.
  void released(std::string_view stage, std::uint64_t done, std::uint64_t total) const {
    if (!active()) return;
    nb::gil_scoped_acquire locked;
    (*this)(stage, done, total);
  }

 private:
  nb::object callable_;
};

// A column of Python values: a buffer of integers read in place, or the items of a sequence.
class PyColumn {
 public:
  PyColumn(nb::handle values, std::string name) : name_(std::move(name)) {
    if (values.is_none()) return;
    if (PyUnicode_Check(values.ptr())) {
      raise_type_error("column '" + name_ + "' must be a sequence of values, not one str");
    }
    if (PyObject_CheckBuffer(values.ptr()) && !PyBytes_Check(values.ptr()) &&
        PyObject_GetBuffer(values.ptr(), &view_, PyBUF_RECORDS_RO) == 0) {
      buffered_ = true;
      if (!integer_format()) {
        PyBuffer_Release(&view_);
        buffered_ = false;
      } else if (view_.ndim != 1) {
        raise_value_error("column '" + name_ + "' must be one-dimensional");
      } else {
        length_ = static_cast<std::size_t>(view_.shape[0]);
        return;
      }
    }
    PyErr_Clear();  // no usable buffer: read it as a sequence
    items_ = nb::steal(PySequence_Fast(values.ptr(), ""));
    if (!items_.is_valid()) {
      PyErr_Clear();
      raise_type_error("column '" + name_ + "' must be a sequence or an array, not " +
                       Py_TYPE(values.ptr())->tp_name);
    }
    length_ = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items_.ptr()));
  }
  ~PyColumn() {
    if (buffered_) PyBuffer_Release(&view_);
  }
  PyColumn(const PyColumn&) = delete;
  PyColumn& operator=(const PyColumn&) = delete;

  bool present() const noexcept { return buffered_ || items_.is_valid(); }
  bool buffered() const noexcept { return buffered_; }
  std::size_t size() const noexcept { return length_; }
  const std::string& name() const noexcept { return name_; }

  PyObject* item(std::size_t i) const {
    return PySequence_Fast_GET_ITEM(items_.ptr(), static_cast<Py_ssize_t>(i));
  }

  // Value i of an integer buffer, or nullopt when it is negative (its text in `negative`).
  std::optional<std::uint64_t> unsigned_at(std::size_t i, std::string& negative) const {
    const Integer value = integer_at(i);
    if (value.negative) {
      negative = std::to_string(static_cast<std::int64_t>(value.bits));
      return std::nullopt;
    }
    return value.bits;
  }

  // Value i of an integer buffer: its 64 bits, and whether they are those of a negative int64.
  struct Integer {
    std::uint64_t bits;
    bool negative;
  };
  Integer integer_at(std::size_t i) const {
    const char* at =
        static_cast<const char*>(view_.buf) + static_cast<Py_ssize_t>(i) * view_.strides[0];
    const auto read = [&]<class T>(T) -> Integer {
      T value;
      std::memcpy(&value, at, sizeof value);
      if constexpr (std::is_signed_v<T>) {
        return {static_cast<std::uint64_t>(static_cast<std::int64_t>(value)), value < 0};
      } else {
        return {static_cast<std::uint64_t>(value), false};
      }
    };
    switch (code_) {
      case 'b':
        return read(static_cast<signed char>(0));
      case 'B':
        return read(static_cast<unsigned char>(0));
      case 'h':
        return read(short{});
      case 'H':
        return read(static_cast<unsigned short>(0));
      case 'i':
        return read(int{});
      case 'I':
        return read(0u);
      case 'l':
        return read(0l);
      case 'L':
        return read(0ul);
      case 'q':
        return read(0ll);
      default:
        return read(0ull);
    }
  }

 private:
  bool integer_format() {
    const char* format = view_.format == nullptr ? "B" : view_.format;
    if (*format == '@' || *format == '=' || *format == '<' || *format == '!') {
      // Standard sizes in non-native order are rare; only the native order is read in place.
      if (*format != '@' && *format != '=' &&
          !(*format == '<' && std::endian::native == std::endian::little)) {
        return false;
      }
      ++format;
    }
    if (std::strlen(format) != 1 || std::strchr("bBhHiIlLqQ", *format) == nullptr) return false;
    code_ = *format;
    return true;
  }

  std::string name_;
  Py_buffer view_{};
  bool buffered_ = false;
  char code_ = 'Q';
  nb::object items_;
  std::size_t length_ = 0;
};

std::string repr(PyObject* value) {
  nb::object text = nb::steal(PyObject_Repr(value));
  if (!text.is_valid()) {
    PyErr_Clear();
    return "<unprintable>";
  }
  std::string out = nb::cast<std::string>(text);
  if (out.size() > 80) out = out.substr(0, 77) + "...";
  return out;
}

class RowTable {
 public:
  std::uint64_t rows() const noexcept { return table_ ? table_->rows() : 0; }
  std::size_t terms() const noexcept { return table_ ? table_->terms() : 0; }
  std::size_t videos() const noexcept { return table_ ? table_->videos() : 0; }

  void add_arrow_stream(nb::handle capsule, const std::string& term, const std::string& video,
                        const std::string& count, const std::optional<std::string>& totals,
                        nb::handle progress) {
    guarded([&] {
      Owned<ArrowArrayStream> stream;
      move_out(capsule, "arrow_array_stream", stream);
      const ingest::BatchReader reader =
          checked(ingest::BatchReader::open(stream.value, names(term, video, count, totals)));
      ClickTable& table = table_for(reader.kind());
      const ProgressCall report(progress);
      checked(run_released([&](Cancel cancel) {
        return ingest::add_stream(table, stream.value, reader, cancel,
                                  [&](std::uint64_t rows) { report.released("read", rows, 0); });
      }));
    });
  }

  void add_arrow_array(nb::handle schema_capsule, nb::handle array_capsule, const std::string& term,
                       const std::string& video, const std::string& count,
                       const std::optional<std::string>& totals) {
    guarded([&] {
      const auto* schema = static_cast<const ArrowSchema*>(
          PyCapsule_GetPointer(schema_capsule.ptr(), "arrow_schema"));
      if (schema == nullptr) throw nb::python_error();
      Owned<ArrowArray> array;
      move_out(array_capsule, "arrow_array", array);
      const ingest::BatchReader reader =
          checked(ingest::BatchReader::open(*schema, names(term, video, count, totals)));
      ClickTable& table = table_for(reader.kind());
      checked(run_released([&](Cancel cancel) { return reader.add(table, array.value, cancel); }));
    });
  }

  void add_columns(nb::handle terms, nb::handle videos, nb::handle counts, nb::handle totals,
                   const std::string& term_name, const std::string& video_name,
                   const std::string& count_name, const std::string& totals_name) {
    guarded([&] {
      const PyColumn term_column(terms, term_name), video_column(videos, video_name),
          count_column(counts, count_name), total_column(totals, totals_name);
      const std::size_t n = term_column.size();
      for (const PyColumn* column : {&video_column, &count_column, &total_column}) {
        if (column->present() && column->size() != n) {
          raise_value_error("columns differ in length: '" + term_name + "' has " +
                            std::to_string(n) + " rows, '" + column->name() + "' " +
                            std::to_string(column->size()));
        }
      }
      if (term_column.buffered()) {
        raise_type_error("column '" + term_name + "' must hold str values, not numbers");
      }
      for (std::size_t i = 0; i < n; ++i) {
        if (i % Cancel::kInterval == Cancel::kInterval - 1 && PyErr_CheckSignals() != 0) {
          throw nb::python_error();
        }
        add_row(term_column, video_column, count_column, total_column, i);
      }
    });
  }

  nb::object build(std::uint32_t video_top_n, nb::handle progress, nb::handle normalize,
                   std::uint64_t min_count, std::optional<double> merge_ratio, bool word_starts,
                   const std::vector<std::string>& blocked_terms,
                   const std::vector<std::string>& blocked_words) {
    return guarded([&] {
      // No rows at all: the index of nothing, with the empty id table the array builder gives.
      ClickTable& table = table_for(table_ ? table_->kind() : VideoKind::Uuid);
      report_ = nb::dict();
      ClickTable::Dropped dropped, blocked;
      if (!normalize.is_none()) dropped = merge_normalized(table, normalize);
      nb::list merged;
      const Blocked block(blocked_terms, blocked_words);
      if (min_count > 0 || merge_ratio || !block.empty()) {
        Folded folded = checked(run_released([&](Cancel cancel) {
          return fold_and_drop(table, min_count, merge_ratio, block, cancel);
        }));
        dropped.terms += folded.dropped.terms;
        dropped.clicks = saturated_sum(dropped.clicks, folded.dropped.clicks);
        blocked = folded.blocked;
        for (auto& [variant, term, variant_count, term_count] : folded.pairs) {
          merged.append(nb::make_tuple(nb::str(variant.data(), variant.size()),
                                       nb::str(term.data(), term.size()), variant_count,
                                       term_count));
        }
      }
      report_["dropped_terms"] = dropped.terms;
      report_["dropped_clicks"] = dropped.clicks;
      report_["blocked_terms"] = blocked.terms;
      report_["blocked_clicks"] = blocked.clicks;
      report_["merged"] = merged;
      // The terms of several words, kept (as the table empties while it builds) for the
      // word-start index, which names them by their nodes in the finished index.
      std::vector<Worded> worded;
      if (word_starts) {
        const std::vector<std::string_view> texts = table.term_texts();
        const std::vector<std::uint64_t> counts = table.term_counts();
        for (std::size_t t = 0; t < texts.size(); ++t) {
          if (texts[t].find(' ') != std::string_view::npos) {
            if (auto refusal = ingest::word_start_refusal(texts[t])) raise_value_error(*refusal);
            worded.push_back({std::string(texts[t]), counts[t], static_cast<std::uint32_t>(t)});
          }
        }
      }
      const ProgressCall report(progress);
      ingest::Progress stages;
      if (report.active()) {
        stages = [&](std::string_view stage, std::uint64_t done, std::uint64_t total) {
          report.released(stage, done, total);
        };
      }
      auto built =
          run_released([&](Cancel cancel) { return table.build(video_top_n, cancel, stages); });
      ingest::BuiltIndex index = checked(std::move(built));
      search::Counts counts = run_released([&](Cancel cancel) {
        return search::counts_of(index.trie.view(), std::move(index.term_counts), cancel);
      });
      std::vector<std::pair<prefix::NodeId, std::string>> spelled;
      for (auto& [term, spelling] : index.spellings) {
        const auto node = prefix::find_term(index.trie, term);
        if (!node)
          throw InternalFault("a merged term is not in its index", SourceLocation::current());
        spelled.emplace_back(*node, std::move(spelling));
      }
      std::shared_ptr<Stored> stored = stored_of(std::move(index.trie));
      stored->exact_counts = true;
      std::call_once(stored->aids->once, [&] { stored->aids->counts = std::move(counts); });
      if (word_starts) {
        for (Worded& term : worded) term.node = checked_at(index.term_nodes, term.node);
        stored->word_starts =
            checked(run_released([&](Cancel cancel) { return word_start_index(worded, cancel); }));
      }
      if (index.external_ids) {
        attach_external_ids(*stored, store::FileBytes::copy_of(*index.external_ids));
      }
      if (!spelled.empty()) {
        attach_spellings(*stored,
                         store::FileBytes::copy_of(store::spellings_section(std::move(spelled))));
      }
      return wrap_index(std::shared_ptr<const Stored>(std::move(stored)));
    });
  }

 private:
  // Gives every distinct term to `normalize` (once each, with the lock held) and merges the
  // terms that come out alike.
  static ClickTable::Dropped merge_normalized(ClickTable& table, nb::handle normalize) {
    const std::vector<std::string_view> texts = table.term_texts();
    std::vector<std::string> normalized;
    normalized.reserve(texts.size());
    for (std::size_t t = 0; t < texts.size(); ++t) {
      if (t % Cancel::kInterval == Cancel::kInterval - 1 && PyErr_CheckSignals() != 0) {
        throw nb::python_error();
      }
      nb::object term = nb::steal(
          PyUnicode_DecodeUTF8(texts[t].data(), static_cast<Py_ssize_t>(texts[t].size()), nullptr));
      if (!term.is_valid()) throw nb::python_error();
      nb::object out = nb::steal(PyObject_CallOneArg(normalize.ptr(), term.ptr()));
      if (!out.is_valid()) throw nb::python_error();
      if (!PyUnicode_Check(out.ptr())) {
        PyErr_Format(PyExc_TypeError, "normalize(%R) returned %s, not str", term.ptr(),
                     Py_TYPE(out.ptr())->tp_name);
        throw nb::python_error();
      }
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(out.ptr(), &size);
      if (utf8 == nullptr) throw nb::python_error();
      normalized.emplace_back(utf8, static_cast<std::size_t>(size));
    }
    return checked(
        run_released([&](Cancel cancel) { return table.merge_terms(normalized, cancel); }));
  }

  // A term of several words: its text, its count, and its id in the table, then its node.
  struct Worded {
    std::string text;
    std::uint64_t count;
    std::uint32_t node;
  };

  // The index of every term of several words from the start of each of its words after the
  // first (within the bound of ingest::word_start_offsets): "cat videos" and "videos" for "funny
  // cat videos", each followed by U+001F and the term's node (word_start_tail), counted as often
  // as the term.
  static Expected<std::shared_ptr<Stored>, ingest::RowError> word_start_index(
      const std::vector<Worded>& worded, Cancel& cancel) {
    std::vector<std::pair<std::string, std::uint64_t>> starts;
    for (const auto& [term, count, node] : worded) {
      cancel.step(1 + term.size());
      const std::string tail = word_start_tail(node);
      for (const std::size_t at : ingest::word_start_offsets(term)) {
        starts.emplace_back(term.substr(at) + tail, count);
      }
    }
    // Distinct by their tails; their counts lead the search, and they need no videos.
    auto building = ingest::counted_terms_index(std::move(starts), cancel);
    if (!building) {
      return Unexpected{
          ingest::RowError{"the word-start index cannot be built: " + building.error().message}};
    }
    ingest::BuiltIndex& built = *building;
    search::Counts own = search::counts_of(built.trie.view(), std::move(built.term_counts), cancel);
    std::shared_ptr<Stored> stored = stored_of(std::move(built.trie));
    stored->exact_counts = true;
    std::call_once(stored->aids->once, [&] { stored->aids->counts = std::move(own); });
    return stored;
  }

  // (variant, term it folded into, the variant's count, the term's count)
  using MergedPair = std::tuple<std::string, std::string, std::uint64_t, std::uint64_t>;

  static std::uint64_t saturated_sum(std::uint64_t a, std::uint64_t b) noexcept {
    return a + b < a ? ~std::uint64_t{0} : a + b;
  }

  // The terms a build leaves out by name: whole terms, and every term holding one of the words
  // (between spaces). Both are folded as the terms are, so they are compared byte for byte.
  class Blocked {
   public:
    Blocked(const std::vector<std::string>& terms, const std::vector<std::string>& words)
        : terms_(terms.begin(), terms.end()), words_(words.begin(), words.end()) {}

    bool empty() const noexcept { return terms_.empty() && words_.empty(); }

    bool operator()(std::string_view term) const {
      if (terms_.contains(term)) return true;
      if (words_.empty()) return false;
      for (std::size_t begin = 0; begin <= term.size();) {
        const std::size_t end = std::min(term.find(' ', begin), term.size());
        if (words_.contains(term.substr(begin, end - begin))) return true;
        begin = end + 1;
      }
      return false;
    }

   private:
    // Views into the caller's strings, which outlive the build.
    std::unordered_set<std::string_view> terms_, words_;
  };

  // What fold_and_drop left out, for being rare or empty and for being blocked, and merged.
  struct Folded {
    ClickTable::Dropped dropped;
    ClickTable::Dropped blocked;
    std::vector<MergedPair> pairs;
  };

  // Folds the variants of terms searched `merge_ratio` times as often into them, and accent twins
  // together (see ingest/variants.hpp), then leaves out the blocked terms with every term folded
  // into them, and the terms counted fewer than `min_count` times, their variants' counts
  // included. A blocked term takes its slips before it goes, so that they do not stay behind to
  // offer what was blocked under another spelling; a blocked term that is itself a slip of
  // another goes alone, its clicks with it rather than into that term.
  static Expected<Folded, ingest::RowError> fold_and_drop(ClickTable& table,
                                                          std::uint64_t min_count,
                                                          std::optional<double> merge_ratio,
                                                          const Blocked& block, Cancel& cancel) {
    const std::vector<std::string_view> texts = table.term_texts();
    const std::vector<std::uint64_t> counts = table.term_counts();
    const std::size_t n = texts.size();
    std::vector<std::uint32_t> into(n, ingest::kNoVariant);
    std::optional<ClickTable::TermVideos> videos;
    if (merge_ratio || !block.empty()) videos = table.term_videos(cancel);
    if (merge_ratio) {
      const ingest::TermsToMerge terms{texts, counts, videos->begins, videos->videos};
      into = ingest::find_variants(terms, *merge_ratio, cancel);
      ingest::merge_accent_twins(terms, into, cancel);
    }
    std::vector<bool> blocked(n, false);
    if (!block.empty()) {
      for (std::size_t t = 0; t < n; ++t) {
        cancel.step(1 + texts[t].size());
        blocked[t] = block(texts[t]);
        if (blocked[t]) into[t] = ingest::kNoVariant;
      }
    }
    std::vector<std::uint64_t> grouped = counts;
    for (std::size_t t = 0; t < n; ++t) {
      if (into[t] == ingest::kNoVariant) continue;
      grouped[into[t]] = saturated_sum(grouped[into[t]], counts[t]);
    }
    std::vector<std::string> normalized(n);
    Folded out;
    for (std::size_t t = 0; t < n; ++t) {
      const std::size_t kept = into[t] == ingest::kNoVariant ? t : into[t];
      if (blocked[kept]) {
        // Counted as merge_terms counts what it leaves out: the clicks on the term's videos.
        ++out.blocked.terms;
        for (std::size_t v = videos->begins[t]; v < videos->begins[t + 1]; ++v) {
          out.blocked.clicks = saturated_sum(out.blocked.clicks, videos->videos[v].second);
        }
        continue;
      }
      if (grouped[kept] < min_count) continue;  // left out, with its variants
      normalized[t] = texts[kept];
      if (kept != t) out.pairs.emplace_back(texts[t], texts[kept], counts[t], counts[kept]);
    }
    std::sort(out.pairs.begin(), out.pairs.end(), [](const MergedPair& a, const MergedPair& b) {
      return std::get<2>(a) != std::get<2>(b) ? std::get<2>(a) > std::get<2>(b) : a < b;
    });
    auto dropped = table.merge_terms(normalized, cancel);
    if (!dropped) return Unexpected{std::move(dropped).error()};
    // merge_terms counts every term it left out; the blocked ones are reported on their own. A
    // sum that stopped at 2**64-1 leaves the rest unknown, and then as large as it can be.
    out.dropped.terms = dropped->terms - out.blocked.terms;
    out.dropped.clicks = dropped->clicks == ~std::uint64_t{0}
                             ? dropped->clicks
                             : dropped->clicks - std::min(dropped->clicks, out.blocked.clicks);
    return out;
  }

  static ingest::ColumnNames names(const std::string& term, const std::string& video,
                                   const std::string& count,
                                   const std::optional<std::string>& totals) {
    ingest::ColumnNames out;
    out.term = term;
    out.video = video;
    out.count = count;
    out.totals = totals.value_or("");
    return out;
  }

  // The table, made for the id kind of the first rows; rows of the other kind are refused.
  ClickTable& table_for(VideoKind kind) {
    if (!table_) {
      table_.emplace(kind);
    } else if (table_->kind() != kind && table_->rows() > 0) {
      raise_value_error("these rows hold " + kind_name(kind) + ", the rows before them " +
                        kind_name(table_->kind()) + "; use one kind of id for every video");
    } else if (table_->kind() != kind) {
      table_.emplace(kind);
    }
    return *table_;
  }

  std::string where(const PyColumn& column, std::uint64_t row) const {
    return "row " + std::to_string(row) + ": column '" + column.name() + "': ";
  }

  // A count or total: any integer (not bool) from 0 to 2**64-1.
  std::uint64_t count_at(const PyColumn& column, std::size_t i, std::uint64_t row) const {
    if (column.buffered()) {
      std::string negative;
      const auto value = column.unsigned_at(i, negative);
      if (!value) raise_value_error(where(column, row) + negative + " is negative");
      return *value;
    }
    PyObject* item = column.item(i);
    if (PyBool_Check(item) || !PyIndex_Check(item)) {
      raise_type_error(where(column, row) + "expected an int, not " + Py_TYPE(item)->tp_name);
    }
    nb::object number = nb::steal(PyNumber_Index(item));
    if (!number.is_valid()) throw nb::python_error();
    const unsigned long long value = PyLong_AsUnsignedLongLong(number.ptr());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      raise_value_error(where(column, row) + repr(number.ptr()) +
                        (PyObject_RichCompareBool(number.ptr(), nb::int_(0).ptr(), Py_LT) == 1
                             ? " is negative"
                             : " is too large (at most 2**64-1)"));
    }
    return value;
  }

  void add_row(const PyColumn& terms, const PyColumn& videos, const PyColumn& counts,
               const PyColumn& totals, std::size_t i) {
    const std::uint64_t row = rows();
    PyObject* term_item = terms.item(i);
    if (!PyUnicode_Check(term_item)) {
      raise_type_error(where(terms, row) + "expected str, not " + Py_TYPE(term_item)->tp_name);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(term_item, &size);
    if (utf8 == nullptr) {
      PyErr_Clear();
      raise_value_error(where(terms, row) + repr(term_item) +
                        ": a term cannot contain lone surrogates");
    }
    const std::string_view term(utf8, static_cast<std::size_t>(size));
    const std::uint64_t count = count_at(counts, i, row);
    Expected<bool, RowError> added = true;
    if (videos.buffered()) {
      const PyColumn::Integer video = videos.integer_at(i);
      ClickTable& table = table_for_row(VideoKind::Int, videos, row);
      added = video.negative ? table.add_signed(term, static_cast<std::int64_t>(video.bits), count)
                             : table.add_unsigned(term, video.bits, count);
    } else {
      added = add_video(term, videos, i, row, count);
    }
    checked(std::move(added));
    if (totals.present()) {
      PyObject* total_item = totals.buffered() ? nullptr : totals.item(i);
      if (total_item == nullptr || total_item != Py_None) {
        checked(table_->set_total(term, count_at(totals, i, row)));
      }
    }
  }

  // A video given as a Python value: an int from -2**63 to 2**64-1, a str, 16 bytes, or a
  // uuid.UUID.
  Expected<bool, RowError> add_video(std::string_view term, const PyColumn& videos, std::size_t i,
                                     std::uint64_t row, std::uint64_t count) {
    PyObject* item = videos.item(i);
    if (PyUnicode_Check(item)) {
      // A subclass is read for its characters alone: none of its methods decides what it is.
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
      if (utf8 == nullptr) {
        PyErr_Clear();
        raise_value_error(where(videos, row) + repr(item) +
                          ": an id cannot contain lone surrogates");
      }
      return table_for_row(VideoKind::Text, videos, row)
          .add_text(term, {utf8, static_cast<std::size_t>(size)}, count);
    }
    if (PyBytes_Check(item)) {
      if (PyBytes_GET_SIZE(item) != 16) {
        raise_value_error(where(videos, row) + repr(item) +
                          ": a bytes id must be exactly 16 bytes long, not " +
                          std::to_string(PyBytes_GET_SIZE(item)));
      }
      prefix::VideoUuid id;
      std::memcpy(id.data(), PyBytes_AS_STRING(item), id.size());
      return table_for_row(VideoKind::Uuid, videos, row).add(term, id, count);
    }
    if (!PyBool_Check(item) && PyIndex_Check(item)) {
      nb::object number = nb::steal(PyNumber_Index(item));
      if (!number.is_valid()) throw nb::python_error();
      int overflow = 0;
      const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
      if (value == -1 && PyErr_Occurred()) throw nb::python_error();
      if (overflow == 0) {
        return table_for_row(VideoKind::Int, videos, row).add_signed(term, value, count);
      }
      const unsigned long long wide = overflow > 0 ? PyLong_AsUnsignedLongLong(number.ptr()) : 0;
      if (overflow < 0 || (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        PyErr_Clear();
        raise_value_error(where(videos, row) + repr(number.ptr()) +
                          " is out of range for an id (-2**63 to 2**64-1)");
      }
      return table_for_row(VideoKind::Int, videos, row).add_unsigned(term, wide, count);
    }
    if (is_uuid(item)) {
      nb::object bytes = nb::steal(PyObject_GetAttrString(item, "bytes"));
      if (!bytes.is_valid()) throw nb::python_error();
      if (!PyBytes_Check(bytes.ptr()) || PyBytes_GET_SIZE(bytes.ptr()) != 16) {
        raise_value_error(where(videos, row) + repr(item) + ": not a 16-byte UUID");
      }
      prefix::VideoUuid id;
      std::memcpy(id.data(), PyBytes_AS_STRING(bytes.ptr()), id.size());
      return table_for_row(VideoKind::Uuid, videos, row).add(term, id, count);
    }
    raise_type_error(where(videos, row) + "expected an int, a str, a uuid.UUID or 16 bytes, not " +
                     Py_TYPE(item)->tp_name);
  }

  // table_for, with the mixed-kind refusal naming the row.
  ClickTable& table_for_row(VideoKind kind, const PyColumn& videos, std::uint64_t row) {
    if (table_ && table_->kind() != kind && table_->rows() > 0) {
      raise_value_error(where(videos, row) + "this row holds " + kind_name(kind, true) +
                        " where the rows before it hold " + kind_name(table_->kind()) +
                        "; use one kind of id for every video");
    }
    return table_for(kind);
  }

  static bool is_uuid(PyObject* item) {
    static nb::object uuid_type = nb::module_::import_("uuid").attr("UUID");
    const int is = PyObject_IsInstance(item, uuid_type.ptr());
    if (is < 0) throw nb::python_error();
    return is == 1;
  }

  std::optional<ClickTable> table_;
  nb::dict report_;  // what the last build() left out and merged
 public:
  nb::dict report() const { return report_; }
};

}  // namespace

void register_build(nb::module_& m) {
  nb::class_<RowTable>(m, "RowTable",
                       "Click rows gathered in native memory, then built into an Index; the "
                       "engine behind torrelm.build and IndexBuilder.")
      .def(nb::init<>())
      .def_prop_ro("rows", &RowTable::rows, "Rows added so far.")
      .def_prop_ro("terms", &RowTable::terms, "Distinct terms so far.")
      .def_prop_ro("videos", &RowTable::videos, "Distinct videos so far.")
      .def("add_arrow_stream", &RowTable::add_arrow_stream, nb::arg("stream"), nb::arg("term"),
           nb::arg("video"), nb::arg("count"), nb::arg("totals").none(), nb::arg("progress").none(),
           "Adds every row of an Arrow stream (the capsule of __arrow_c_stream__()).")
      .def("add_arrow_array", &RowTable::add_arrow_array, nb::arg("schema"), nb::arg("array"),
           nb::arg("term"), nb::arg("video"), nb::arg("count"), nb::arg("totals").none(),
           "Adds every row of an Arrow record batch (the capsules of __arrow_c_array__()).")
      .def("add_columns", &RowTable::add_columns, nb::arg("terms"), nb::arg("videos"),
           nb::arg("counts"), nb::arg("totals").none(), nb::arg("term_name") = "term",
           nb::arg("video_name") = "video", nb::arg("count_name") = "count",
           nb::arg("totals_name") = "totals",
           "Adds rows given as columns: sequences, or integer arrays read in place. A total of "
           "None gives no total for its row.")
      .def("build", &RowTable::build, nb::arg("video_top_n"), nb::arg("progress").none(),
           nb::arg("normalize").none() = nb::none(), nb::arg("min_count") = 0,
           nb::arg("merge_ratio").none() = nb::none(), nb::arg("word_starts") = false,
           nb::arg("blocked_terms") = std::vector<std::string>{},
           nb::arg("blocked_words") = std::vector<std::string>{},
           nb::sig("def build(self, video_top_n: int, progress: "
                   "collections.abc.Callable[[str, int, int], object] | None, "
                   "normalize: collections.abc.Callable[[str], str] | None = None, "
                   "min_count: int = 0, merge_ratio: float | None = None, "
                   "word_starts: bool = False, blocked_terms: collections.abc.Sequence[str] = "
                   "[], blocked_words: collections.abc.Sequence[str] = []) -> Index"),
           "The Index of every row added; the table is left empty. With normalize, the terms "
           "that normalise alike are merged first, each showing its most counted spelling (a "
           "term normalised to nothing is left out). With merge_ratio, the variants of terms "
           "searched that many times as often fold into them, and so do the spellings that "
           "differ only in accents; then the terms counted fewer "
           "than min_count times are left out with their clicks. The terms in blocked_terms, "
           "those holding a word (between spaces) of blocked_words, and the terms folded into "
           "them are left out too; both lists are compared with the normalised terms. With "
           "word_starts, complete() "
           "finds a term of several words from the start of each of them too (a word after "
           "the first cannot hold U+001F, which the word-start index keeps for itself).")
      .def_prop_ro("report", &RowTable::report,
                   nb::sig("def report(self) -> dict[str, typing.Any]"),
                   "What the last build left out (dropped_terms, dropped_clicks; "
                   "blocked_terms, blocked_clicks for the blocked ones) and merged "
                   "(merged: (variant, term, variant count, term count) tuples, most counted "
                   "first).");
}

}  // namespace torrelm::native

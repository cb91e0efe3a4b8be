// How a torrelm.Index is stored and restored: containers read in place (from bytes or from a
// file, copied or mapped), the older stored form, pickling, and the site's own ids and metadata.
// Everything from outside is checked by default: the container's layout and checksums, then the
// index itself (store::validate), so that what passes can neither hang nor fault a query.
#include <nanobind/stl/string.h>

#include <cerrno>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/huge_pages.hpp"
#include "format/index_codec.hpp"
#include "native/convert.hpp"
#include "native/errors.hpp"
#include "native/index.hpp"
#include "search/search.hpp"
#include "store/container.hpp"
#include "store/external_ids.hpp"
#include "store/mapped_file.hpp"
#include "store/validate.hpp"
#include "text/utf8.hpp"

namespace torrelm::native {
namespace {

constexpr const char* kFromBytes = "Index.from_bytes()";
constexpr const char* kFromPrefixSearch = "Index.from_prefix_search()";
constexpr const char* kSetState = "Index.__setstate__()";
constexpr const char* kWithExtras = "Index._with_extras()";

std::string text_of(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

// What reading found: the index, or the first problem, worded for ValueError.
using Read = Expected<std::shared_ptr<const Stored>, std::string>;

Read refused(std::string message) { return Unexpected{std::move(message)}; }

// How deep the metadata's JSON may nest: the builders write one level and a value or two below
// it, and a reader that recurses (json, the service's replies) must never run out of stack.
constexpr std::size_t kMetadataDepth = 32;

// Whether `text` is a JSON object nested at most kMetadataDepth deep, as far as its brackets
// tell (json.loads checks the rest with the lock held); the problem otherwise.
std::optional<std::string> metadata_shape(std::string_view text) {
  const std::size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos || text[start] != '{') {
    return "section metadata is not a JSON object";
  }
  std::size_t depth = 0;
  bool quoted = false;
  for (std::size_t i = start; i < text.size(); ++i) {
    const char ch = text[i];
    if (quoted) {
      if (ch == '\\') {
        ++i;
      } else if (ch == '"') {
        quoted = false;
      }
    } else if (ch == '"') {
      quoted = true;
    } else if (ch == '{' || ch == '[') {
      if (++depth > kMetadataDepth) {
        return "section metadata nests deeper than " + std::to_string(kMetadataDepth) +
               " levels, at byte " + std::to_string(i);
      }
    } else if ((ch == '}' || ch == ']') && depth > 0) {
      --depth;
    }
  }
  return std::nullopt;
}

// The metadata as a dict, or None when there is none. Metadata that is not UTF-8, not JSON, not
// an object or too deep to read (possible in an index read unchecked) is a ValueError naming the
// section, never a failure of the reader.
nb::object metadata_of(const Stored& stored) {
  const std::string& text = stored.metadata;
  if (text.empty()) return nb::none();
  if (!text::valid_utf8(text))
    throw nb::value_error("invalid index: section metadata is not UTF-8");
  if (auto shape = metadata_shape(text))
    throw nb::value_error(("invalid index: " + *shape).c_str());
  try {
    nb::object value =
        nb::module_::import_("json").attr("loads")(nb::str(text.data(), text.size()));
    if (PyDict_Check(value.ptr())) return value;
  } catch (const nb::python_error& error) {
    if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_RecursionError)) throw;
    throw nb::value_error(("invalid index: section metadata is not JSON: " +
                           nb::cast<std::string>(nb::str(error.value())))
                              .c_str());
  }
  throw nb::value_error("invalid index: section metadata is not a JSON object");
}

// Whether the word-start index `starts` belongs to `index` (both checked trees): each of its
// terms is a word start, U+001F and a node (word_start_tail) that ends a term of `index` of which
// the word start is a later word, to its end. A section taken from another index names nodes
// that end other terms, or none, and is refused rather than offering unrelated terms. Time linear
// in the sizes of both: each term of `starts` is compared with its own length of `index`'s term.
std::optional<std::string> check_word_starts(const Stored& index, const Stored& starts,
                                             Cancel& cancel) {
  const prefix::TrieView& trie = index.trie;
  const prefix::TrieView& words = starts.trie;
  std::vector<prefix::NodeId> parents(trie.node_count(), 0);
  for (std::size_t n = 0; n < trie.node_count(); ++n) {
    const prefix::ChildRange range = trie.children(static_cast<prefix::NodeId>(n));
    cancel.step(1 + (range.empty() ? 0 : range.end - range.begin));
    for (std::size_t p = range.begin; p < range.end; ++p) {
      parents[trie.child(p)] = static_cast<prefix::NodeId>(n);
    }
  }
  // Depth first over `starts`, the labels from the root to the node in `text`.
  std::u32string text;
  std::string alias;
  std::vector<std::pair<prefix::NodeId, std::size_t>> stack{{0, 0}};  // (node, its depth)
  while (!stack.empty()) {
    const auto [node, depth] = stack.back();
    stack.pop_back();
    cancel.step();
    text.resize(depth);
    if (node != 0) text.push_back(words.label(node));
    const prefix::ChildRange range = words.children(node);
    for (std::size_t p = range.end; p > range.begin; --p) {
      stack.emplace_back(words.child(p - 1), text.size());
    }
    if (!words.terminal(node)) continue;
    const auto wrong = [&](const char* what) {
      return "section word_starts: its term at node " + std::to_string(node) + " " + what;
    };
    alias.clear();
    for (const char32_t ch : text) text::append_utf8(alias, ch);
    const std::optional<prefix::NodeId> named = word_start_node(alias);
    if (!named) return wrong("names no term");
    if (*named >= trie.node_count() || !trie.terminal(*named)) {
      return wrong("names a node that ends no term of the index");
    }
    // The word start, compared backwards with the end of the named term.
    const std::size_t cut = text.rfind(U'\x1f');
    std::size_t at = cut;
    prefix::NodeId up = *named;
    for (; at > 0 && up != 0; --at, up = parents[up]) {
      cancel.step();
      if (trie.label(up) != text[at - 1]) break;
    }
    if (cut == 0 || at > 0 || up == 0 || trie.label(up) != U' ') {
      return wrong("is no later word of the term it names");
    }
  }
  return std::nullopt;
}

// The checks that need the whole index: its tree and, when it names videos by the site's ids,
// that the table names every video.
std::optional<std::string> check_index(const Stored& stored, Cancel cancel) {
  // Every index the builders make has a root, even one of no terms; bytes that decode to none
  // (a file of zeros) are not an index that was ever written.
  if (stored.trie.node_count() == 0) return "invalid index: it has no nodes, not even a root";
  if (auto valid = store::validate(stored.trie, cancel); !valid) {
    return "invalid index: " + valid.error().message;
  }
  if (stored.external) {
    auto named = store::check_names_every_video(*stored.external, stored.trie, cancel);
    if (!named) return "invalid index: " + named.error().message;
  }
  if (!stored.aids->counts.own.empty()) {
    // Counts kept in the file lead the searches: they must be the index's own.
    if (auto node = search::disagreement(stored.trie, stored.aids->counts, cancel)) {
      return "invalid index: the search counts disagree with the index at node " +
             std::to_string(*node);
    }
  }
  if (stored.kept_tables) {
    // Kept beside the arrays, they lead every walk: they must be what the arrays make.
    const prefix::WalkTable* table = stored.walk_table->get(stored.trie, cancel);
    if (table == nullptr || !table->is_table_of(stored.trie, cancel)) {
      return std::string("invalid index: the walk table disagrees with the index");
    }
    const auto& records = stored.aids->records;
    if (records && !records->describe(*table, stored.aids->counts, cancel)) {
      return std::string("invalid index: the completion records disagree with the index");
    }
  }
  if (stored.spellings) {
    auto spelled = store::check_spelled_nodes(*stored.spellings, stored.trie);
    if (!spelled) return "invalid index: " + spelled.error().message;
  }
  if (!text::valid_utf8(stored.metadata)) return "invalid index: section metadata is not UTF-8";
  if (!stored.metadata.empty()) {
    if (auto shape = metadata_shape(stored.metadata)) return "invalid index: " + *shape;
  }
  if (stored.word_starts) {
    if (auto problem = check_index(*stored.word_starts, cancel)) {
      constexpr std::string_view kPrefix = "invalid index: ";
      return "invalid index: section word_starts: " + problem->substr(kPrefix.size());
    }
    if (auto problem = check_word_starts(stored, *stored.word_starts, cancel)) {
      return "invalid index: " + *problem;
    }
  }
  return std::nullopt;
}

// The search counts a container keeps, if any: the 64-bit sections, else those of version 1.1,
// widened (always derived).
Expected<search::Counts, std::string> kept_counts(const store::ContainedView& view) {
  const std::size_t n = view.trie.node_count();
  const bool wide = !view.term_counts.empty() || !view.best_counts.empty();
  const std::size_t own = wide ? view.term_counts.size() : view.term_counts_32.size();
  const std::size_t best = wide ? view.best_counts.size() : view.best_counts_32.size();
  search::Counts counts;
  if (own == 0 && best == 0) return counts;
  if (own != n || best != n) {
    return Unexpected{std::string("sections ") +
                      (wide ? "term_counts_64 and best_counts_64" : "term_counts and best_counts") +
                      " hold " + std::to_string(own) + " and " + std::to_string(best) +
                      " counts for " + std::to_string(n) + " nodes"};
  }
  if (wide) {
    counts.own = view.term_counts;
    counts.best = view.best_counts;
    counts.exact = !view.counts_derived;
  } else {
    counts.own_store.assign(view.term_counts_32.begin(), view.term_counts_32.end());
    counts.best_store.assign(view.best_counts_32.begin(), view.best_counts_32.end());
    counts.own = counts.own_store;
    counts.best = counts.best_store;
  }
  return counts;
}

// Gives `stored` the walk table and completion records its container keeps, if any, where they
// lie. Only their sizes are checked here; check_index() compares them with the arrays, and the
// walks take no child list from them that does not lie within them.
std::optional<std::string> keep_tables(Stored& stored, const store::ContainedView& view) {
  using Node = prefix::WalkTable::Node;
  using Record = search::CompletionRecords::Record;
  if (view.walk_nodes.empty() && view.walk_ids.empty()) {
    if (view.completion_records.empty() && view.completion_ranks.empty()) return std::nullopt;
    return std::string("completion records are kept without a walk table");
  }
  const std::span<const Node> nodes(reinterpret_cast<const Node*>(view.walk_nodes.data()),
                                    view.walk_nodes.size() / sizeof(Node));
  auto table = prefix::WalkTable::over(nodes, view.walk_ids, view.walk_sorted);
  if (!table) {
    return "sections walk_nodes and walk_ids hold " + std::to_string(nodes.size()) + " and " +
           std::to_string(view.walk_ids.size()) + " records, not one more and as many";
  }
  if (!view.completion_records.empty() || !view.completion_ranks.empty()) {
    if (stored.aids->counts.own.empty()) {
      return std::string("completion records are kept without search counts");
    }
    const std::span<const Record> kept(
        reinterpret_cast<const Record*>(view.completion_records.data()),
        view.completion_records.size() / sizeof(Record));
    auto records = search::CompletionRecords::over(kept, view.completion_ranks, *table);
    if (!records) {
      return "sections completion_records and completion_ranks hold " +
             std::to_string(kept.size()) + " and " + std::to_string(view.completion_ranks.size()) +
             " entries for a walk table of " + std::to_string(nodes.size()) + " records";
    }
    SearchAids& aids = *stored.aids;
    std::call_once(aids.records_once, [&] { aids.records.emplace(std::move(*records)); });
  }
  stored.walk_table->keep(std::move(*table));
  stored.kept_tables = true;
  return std::nullopt;
}

// Reads the container in `bytes` (which `owner` keeps alive) into `stored`: the arrays where they
// lie, the site's ids, the spellings, the search counts, the metadata and the word-start index
// (a container within, read alike). Returns what is wrong with it, if anything.
std::optional<std::string> read_contained(Stored& stored, std::span<const std::uint8_t> bytes,
                                          std::shared_ptr<const void> owner, bool verify,
                                          Cancel& cancel, bool nested = false) {
  auto view = store::read_container_view(bytes, verify, verify, cancel);
  if (!view) return view.error().message;
  stored.trie = view->trie;
  if (!view->external_ids.empty()) {
    auto ids = store::ExternalIds::read(view->external_ids, verify, cancel);
    if (!ids) return ids.error().message;
    stored.external = *ids;
  }
  if (!view->spellings.empty()) {
    auto spellings = store::Spellings::read(view->spellings, verify, cancel);
    if (!spellings) return spellings.error().message;
    stored.spellings = *spellings;
  }
  auto counts = kept_counts(*view);
  if (!counts) return std::move(counts).error();
  if (!counts->own.empty()) {
    stored.exact_counts = counts->exact;
    std::call_once(stored.aids->once, [&] { stored.aids->counts = std::move(*counts); });
  }
  if (auto problem = keep_tables(stored, *view)) return problem;
  stored.metadata = text_of(view->metadata);
  if (!view->word_starts.empty()) {
    if (nested) return std::string("a word-start index holds another");
    auto starts = std::make_shared<Stored>();
    if (auto problem = read_contained(*starts, view->word_starts, owner, verify, cancel, true)) {
      return "section word_starts: " + *problem;
    }
    stored.word_starts = std::move(starts);
  }
  stored.owner = std::move(owner);
  return std::nullopt;
}

// An index from the bytes of `file`, in either stored form. A container is read where its bytes
// lie (which `file` keeps alive); the older form is decoded into arrays of its own. With
// `verify`, every check; without, only what reading the layout needs.
Read read_index(store::FileBytes file, bool verify, const std::string& path, Cancel cancel) {
  auto stored = std::make_shared<Stored>();
  if (!store::looks_like_container(file.bytes())) {
    std::size_t unread = 0;
    auto trie = format::decode(file.bytes(), cancel, unread);
    if (!trie) return refused("decode error: " + format::to_string(trie.error()));
    // What follows a whole index is not part of it: a file of zeros or of another program can
    // begin with what reads as a small index.
    if (verify && unread != 0) {
      return refused("invalid index: " + std::to_string(unread) +
                     " bytes follow the stored index, from byte offset " +
                     std::to_string(file.bytes().size() - unread));
    }
    auto owned = std::make_shared<const prefix::Trie>(std::move(*trie));
    stored->trie = owned->view();
    stored->owner = std::move(owned);
  } else {
    auto holder = std::make_shared<const store::FileBytes>(std::move(file));
    const bool mapped = holder->mapped();
    if (auto problem = read_contained(*stored, holder->bytes(), holder, verify, cancel)) {
      return refused("invalid index file: " + *problem);
    }
    if (mapped) stored->path = path;
  }
  if (verify) {
    if (auto problem = check_index(*stored, cancel)) return refused(std::move(*problem));
  }
  return std::shared_ptr<const Stored>(std::move(stored));
}

nb::object wrap_read(Read read, bool verify) {
  if (!read) throw nb::value_error(read.error().c_str());
  // The metadata's JSON is read with the lock: a checked index is one whose metadata reads.
  if (verify) (void)metadata_of(**read);
  return wrap_index(std::move(*read));
}

// The bytes of a buffer, copied (with the lock released) to where they can be read in place.
store::FileBytes copy_buffer(nb::handle data, Argument where) {
  const BytesView view(data, where);
  return run_released([&](Cancel) { return store::FileBytes::copy_of(view.bytes()); });
}

nb::object from_bytes(nb::handle data, bool verify) {
  return guarded([&] {
    store::FileBytes file = copy_buffer(data, {kFromBytes, "b"});
    return wrap_read(run_released([&](Cancel cancel) {
                       return read_index(std::move(file), verify, {}, cancel);
                     }),
                     verify);
  });
}

nb::object open_file(int fd, const std::string& path, bool map, bool verify) {
  return guarded([&] {
    auto file = run_released([&](Cancel cancel) { return store::FileBytes::of(fd, map, cancel); });
    if (!file) {
      errno = file.error().code;
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
      throw nb::python_error();
    }
    auto read = run_released(
        [&](Cancel cancel) { return read_index(std::move(*file), verify, path, cancel); });
    if (!read) throw nb::value_error((path + ": " + read.error()).c_str());
    if (verify) {
      try {
        (void)metadata_of(**read);
      } catch (const nb::python_error& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        throw nb::value_error(
            (path + ": " + nb::cast<std::string>(nb::str(error.value()))).c_str());
      }
    }
    return wrap_index(std::move(*read));
  });
}

// What a container holds besides the arrays. Derives the search counts first if need be (call
// without the lock), so that every process that opens the file shares them instead of deriving
// its own.
store::ContainerExtras extras_of(const Stored& stored, std::span<const std::uint8_t> external,
                                 Cancel& cancel) {
  const auto bytes = []<class T>(std::span<const T> values) {
    return std::string(reinterpret_cast<const char*>(values.data()), values.size_bytes());
  };
  store::ContainerExtras extras{
      stored.metadata, text_of(external),
      stored.spellings ? text_of(stored.spellings->section()) : std::string()};
  try {
    const search::Counts& counts = search_counts(stored, cancel);
    extras.term_counts = bytes(counts.own);
    extras.best_counts = bytes(counts.best);
    extras.counts_derived = !counts.exact;
    // Made here if need be, so that no process that maps the file makes its own.
    const prefix::TrieView walked = walk_view(stored, cancel);
    if (const prefix::WalkTable* table = walked.walk_table) {
      extras.walk_nodes = bytes(table->nodes());
      extras.walk_ids = bytes(table->ids());
      extras.walk_sorted = table->sorted();
      if (const search::CompletionRecords* records = completion_records(stored, cancel)) {
        extras.completion_records = bytes(records->records());
        extras.completion_ranks = bytes(records->ranks());
      }
    }
  } catch (const InternalFault&) {
    // An index read unchecked may not be a tree: it is saved as it is, without counts, and a
    // checked read of the file will say what is wrong with it.
  }
  if (stored.word_starts) {
    const Stored& starts = *stored.word_starts;
    const store::ContainerExtras inner = extras_of(starts, {}, cancel);
    extras.word_starts.resize(static_cast<std::size_t>(store::container_size(starts.trie, inner)));
    store::write_container(starts.trie, inner,
                           std::span(reinterpret_cast<std::uint8_t*>(extras.word_starts.data()),
                                     extras.word_starts.size()));
  }
  return extras;
}

// The external table's bytes as stored: kept by with_extras and read_index beside the view.
std::span<const std::uint8_t> external_bytes(const Stored& stored);

std::uint64_t checked_size(std::uint64_t size) {
  if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    throw nb::value_error(("encode error: the index takes " + std::to_string(size) +
                           " bytes, more than a bytes object can hold")
                              .c_str());
  }
  return size;
}

nb::bytes to_container(const Index& self) {
  return guarded([&] {
    const Stored& stored = self.stored();
    const store::ContainerExtras extras = run_released(
        [&](Cancel cancel) { return extras_of(stored, external_bytes(stored), cancel); });
    const std::uint64_t size = checked_size(
        run_released([&](Cancel) { return store::container_size(stored.trie, extras); }));
    auto bytes = nb::steal<nb::bytes>(
        made(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.ptr()));
    prefer_huge_pages(data, static_cast<std::size_t>(size));  // not written yet: faults are few
    run_released([&](Cancel) {
      store::write_container(stored.trie, extras, std::span(data, static_cast<std::size_t>(size)));
    });
    return bytes;
  });
}

void write_file(const Index& self, int fd) {
  guarded([&] {
    const Stored& stored = self.stored();
    auto written = run_released([&](Cancel cancel) {
      const store::ContainerExtras extras = extras_of(stored, external_bytes(stored), cancel);
      const std::uint64_t size = store::container_size(stored.trie, extras);
      return store::write_file(fd, size, [&](std::span<std::uint8_t> out) {
        store::write_container(stored.trie, extras, out);
      });
    });
    if (!written) {
      errno = written.error().code;
      PyErr_SetFromErrno(PyExc_OSError);
      throw nb::python_error();
    }
  });
}

nb::bytes to_bytes(const Index& self) {
  return guarded([&] {
    const Stored& stored = self.stored();
    if (stored.external) {
      throw nb::value_error(
          "this index names its videos by the site's own ids, which the older stored form of "
          "to_bytes() cannot hold: use torrelm.save() or to_container()");
    }
    const std::uint64_t size =
        checked_size(run_released([&](Cancel) { return format::encoded_size(stored.trie); }));
    // Written straight into the bytes object, which no one else sees yet: one allocation, no
    // copy, and no lock needed while it fills.
    auto bytes = nb::steal<nb::bytes>(
        made(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.ptr()));
    prefer_huge_pages(data, static_cast<std::size_t>(size));
    run_released([&](Cancel) {
      format::encode(stored.trie, std::span(data, static_cast<std::size_t>(size)));
    });
    return bytes;
  });
}

nb::object prefix_search_type() { return nb::module_::import_("_torrelm").attr("PrefixSearch"); }

nb::object from_prefix_search(nb::handle search) {
  return guarded([&] {
    const int is_search = PyObject_IsInstance(search.ptr(), prefix_search_type().ptr());
    if (is_search < 0) throw nb::python_error();
    if (is_search == 0) {
      PyErr_Format(PyExc_TypeError, "%s argument 'ps' must be a _torrelm.PrefixSearch, not '%s'",
                   kFromPrefixSearch, Py_TYPE(search.ptr())->tp_name);
      throw nb::python_error();
    }
    store::FileBytes file = copy_buffer(search.attr("to_bytes")(), {kFromPrefixSearch, "ps"});
    return wrap_read(
        run_released([&](Cancel cancel) { return read_index(std::move(file), false, {}, cancel); }),
        false);
  });
}

nb::object to_prefix_search(const Index& self) {
  return guarded([&] { return prefix_search_type().attr("from_bytes")(to_bytes(self)); });
}

// Pickled by value, as a container (which keeps the site's ids and the metadata), checked in full
// when restored: a pickle is bytes from outside like any other.
// A normalize function of the caller's goes with the container, pickled by reference as any
// function is; the package's own are named by the metadata. A blocked index adds its block list
// as given, made again from it: a copy sent to another process must not offer what it left out.
void set_state(Index& self, nb::handle state) {
  guarded([&] {
    nb::handle data = state;
    nb::handle normalize;
    nb::handle blocked_terms;
    nb::handle blocked_words;
    const Py_ssize_t parts = PyTuple_Check(state.ptr()) ? PyTuple_GET_SIZE(state.ptr()) : 0;
    if (parts == 2 || parts == 4) {
      data = PyTuple_GET_ITEM(state.ptr(), 0);
      normalize = PyTuple_GET_ITEM(state.ptr(), 1);
    }
    if (parts == 4) {
      blocked_terms = PyTuple_GET_ITEM(state.ptr(), 2);
      blocked_words = PyTuple_GET_ITEM(state.ptr(), 3);
    }
    store::FileBytes file = copy_buffer(data, {kSetState, "state"});
    Read read =
        run_released([&](Cancel cancel) { return read_index(std::move(file), true, {}, cancel); });
    if (!read) throw nb::value_error(read.error().c_str());
    (void)metadata_of(**read);
    if (normalize.is_valid() && !normalize.is_none() && !PyCallable_Check(normalize.ptr())) {
      PyErr_Format(PyExc_TypeError,
                   "%s: the pickled normalize function is %s, which is not callable", kSetState,
                   Py_TYPE(normalize.ptr())->tp_name);
      throw nb::python_error();
    }
    nb::object made_index = wrap_index(std::move(*read), normalize);
    Index& made = nb::cast<Index&>(made_index);
    if (blocked_terms.is_valid()) {
      made.set_blocked(block_list(made, blocked_terms, blocked_words, kSetState));
    }
    new (&self) Index(std::move(made));  // nanobind hands over a blank
  });
}

nb::tuple entry_list(const std::vector<std::string>& entries) {
  nb::list out;
  for (const std::string& entry : entries) out.append(nb::str(entry.data(), entry.size()));
  return nb::tuple(out);
}

nb::object get_state(const Index& self) {
  return guarded([&]() -> nb::object {
    nb::object container = to_container(self);
    const nb::handle normalize = self.normalizer();
    if (const BlockList* blocked = self.blocked()) {
      return nb::make_tuple(container, normalize.is_valid() ? nb::borrow(normalize) : nb::none(),
                            entry_list(blocked->terms), entry_list(blocked->words));
    }
    if (!normalize.is_valid()) return container;
    if (!text::valid_utf8(self.stored().metadata))
      return nb::make_tuple(container, nb::borrow(normalize));
    const nb::object named = nb::module_::import_("torrelm._normalize")
                                 .attr("from_metadata")(nb::str(self.stored().metadata.c_str()));
    if (named.ptr() == normalize.ptr()) return container;
    return nb::make_tuple(container, nb::borrow(normalize));
  });
}

// The site's ids in the table layout: all str, or all int (signed 64-bit, else unsigned).
nb::bytes external_ids_section(nb::handle ids_arg) {
  return guarded([&] {
    nb::object sequence = nb::steal(made(PySequence_Fast(
        ids_arg.ptr(), "external_ids_section() argument 'ids' must be a sequence")));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.ptr());
    PyObject** items = PySequence_Fast_ITEMS(sequence.ptr());
    bool texts = false, ints = false, unsigned_needed = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = items[i];
      if (PyUnicode_Check(item)) {
        texts = true;
      } else if (PyLong_Check(item) && !PyBool_Check(item)) {
        ints = true;
        int overflow = 0;
        (void)PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow < 0) {
          PyErr_Format(PyExc_ValueError, "video %R: an integer id must lie in -2**63 .. 2**64-1",
                       item);
          throw nb::python_error();
        }
        if (overflow > 0) {
          (void)PyLong_AsUnsignedLongLong(item);
          if (PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "video %R: an integer id must lie in -2**63 .. 2**64-1",
                         item);
            throw nb::python_error();
          }
          unsigned_needed = true;
        }
      } else {
        PyErr_Format(PyExc_TypeError, "video %R: expected a str or an int, not %s", item,
                     Py_TYPE(item)->tp_name);
        throw nb::python_error();
      }
      if (texts && ints) {
        PyErr_Format(PyExc_TypeError,
                     "video %R: str and int ids cannot be mixed in one index; use one kind", item);
        throw nb::python_error();
      }
    }
    if (ints && unsigned_needed) {
      for (Py_ssize_t i = 0; i < n; ++i) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(items[i], &overflow);
        if (overflow == 0 && value < 0) {
          PyErr_Format(PyExc_ValueError,
                       "video %R: ids above 2**63-1 and below 0 cannot share one index", items[i]);
          throw nb::python_error();
        }
      }
    }
    store::ExternalIdWriter writer(texts             ? store::ExternalKind::Text
                                   : unsigned_needed ? store::ExternalKind::Unsigned
                                                     : store::ExternalKind::Signed);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = items[i];
      if (texts) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item, &size);
        if (text == nullptr) throw nb::python_error();
        writer.add_text({text, static_cast<std::size_t>(size)});
      } else if (unsigned_needed) {
        writer.add_unsigned(PyLong_AsUnsignedLongLong(item));
      } else {
        writer.add_signed(PyLong_AsLongLong(item));
      }
    }
    const std::vector<std::uint8_t> bytes = writer.finish();
    return nb::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  });
}

nb::object with_extras(const Index& self, nb::handle external_arg, nb::handle metadata_arg,
                       nb::handle normalize_arg) {
  return guarded([&] {
    auto stored = std::make_shared<Stored>(self.stored());
    if (!metadata_arg.is_none()) {
      stored->metadata = to_text(metadata_arg, {kWithExtras, "metadata"});
      (void)metadata_of(*stored);  // what a checked read would refuse is not written
    }
    if (!external_arg.is_none()) {
      attach_external_ids(*stored, copy_buffer(external_arg, {kWithExtras, "external_ids"}));
    }
    if (!normalize_arg.is_none() && !PyCallable_Check(normalize_arg.ptr())) {
      PyErr_Format(PyExc_TypeError, "%s argument 'normalize' must be callable, not %s", kWithExtras,
                   Py_TYPE(normalize_arg.ptr())->tp_name);
      throw nb::python_error();
    }
    // A normaliser of the caller's stays with the index unless another replaces it.
    const nb::handle normalize = normalize_arg.is_none() ? self.normalizer() : normalize_arg;
    return wrap_index(std::shared_ptr<const Stored>(std::move(stored)), normalize);
  });
}

std::span<const std::uint8_t> external_bytes(const Stored& stored) {
  return stored.external ? stored.external->section() : std::span<const std::uint8_t>();
}

// The build metadata, with "term_counts" saying whether the searches rank by the counts the
// builder kept ("exact") or by counts derived from totals that stop at 2**32-1 ("derived").
nb::object metadata(const Index& self) {
  return guarded([&] {
    nb::object found = metadata_of(self.stored());
    nb::dict out = found.is_none() ? nb::dict() : nb::borrow<nb::dict>(found);
    out["term_counts"] = self.stored().exact_counts ? "exact" : "derived";
    return nb::object(out);
  });
}

}  // namespace

namespace {

// A record that keeps an external table's bytes beside the index it names.
struct WithExtras {
  std::shared_ptr<const void> index_owner;
  store::FileBytes external;
};

}  // namespace

void attach_external_ids(Stored& stored, store::FileBytes section) {
  auto holder = std::make_shared<WithExtras>(WithExtras{stored.owner, std::move(section)});
  auto ids = store::ExternalIds::read(holder->external.bytes(), true);
  if (!ids) throw nb::value_error(ids.error().message.c_str());
  auto named = run_released(
      [&](Cancel cancel) { return store::check_names_every_video(*ids, stored.trie, cancel); });
  if (!named) throw nb::value_error(named.error().message.c_str());
  stored.external = *ids;
  stored.owner = std::move(holder);
}

void attach_spellings(Stored& stored, store::FileBytes section) {
  auto holder = std::make_shared<WithExtras>(WithExtras{stored.owner, std::move(section)});
  auto spellings = store::Spellings::read(holder->external.bytes(), true);
  if (!spellings) throw nb::value_error(spellings.error().message.c_str());
  auto spelled = store::check_spelled_nodes(*spellings, stored.trie);
  if (!spelled) throw nb::value_error(spelled.error().message.c_str());
  stored.spellings = *spellings;
  stored.owner = std::move(holder);
}

void register_index_storage(nb::class_<Index>& cls, nb::module_& m) {
  cls.def("to_bytes", &to_bytes,
          "The whole index in the older stored form, which _torrelm.PrefixSearch.from_bytes() "
          "also reads. An index that names its videos by the site's own ids cannot be written "
          "in it (ValueError): use to_container().")
      .def("to_container", &to_container,
           "The whole index as a checked container (the bytes torrelm.save() writes), with the "
           "site's ids and the build metadata.")
      .def_static("from_bytes", &from_bytes, nb::arg("b"), nb::kw_only(), nb::arg("verify") = true,
                  nb::sig("def from_bytes(b: collections.abc.Buffer, *, verify: bool = True) "
                          "-> Index"),
                  "The index stored in b (bytes, bytearray, memoryview or any other contiguous "
                  "buffer) by to_container() or to_bytes(), copied. Checks everything first "
                  "unless verify=False: a problem raises ValueError naming it.")
      .def_static("from_prefix_search", &from_prefix_search, nb::arg("ps"),
                  nb::sig("def from_prefix_search(ps: _torrelm.PrefixSearch) -> Index"),
                  "An Index answering as ps does, whatever its shape (as from_bytes(ps.to_bytes(), "
                  "verify=False)): the shapes a PrefixSearch may take, which the builders never "
                  "make (U+0000 labels, nodes under two parents), are answered the same way.")
      .def("to_prefix_search", &to_prefix_search,
           nb::sig("def to_prefix_search(self) -> _torrelm.PrefixSearch"),
           "The same index as a _torrelm.PrefixSearch, through its older stored form.")
      .def_static("_open_file", &open_file, nb::arg("fd"), nb::arg("path"), nb::arg("map"),
                  nb::arg("verify"),
                  nb::sig("def _open_file(fd: int, path: str, map: bool, verify: bool) -> Index"),
                  "The index in the regular file open on fd (which the caller closes), mapped "
                  "or read; path names it in messages and in repr.")
      .def("_write_file", &write_file, nb::arg("fd"),
           "Writes the container into the empty file open on fd, which the caller flushes.")
      .def("_with_extras", &with_extras, nb::arg("external_ids").none() = nb::none(),
           nb::arg("metadata").none() = nb::none(), nb::arg("normalize").none() = nb::none(),
           nb::sig("def _with_extras(self, external_ids: collections.abc.Buffer | None = None, "
                   "metadata: str | None = None, "
                   "normalize: collections.abc.Callable[[str], str] | None = None) -> Index"),
           "The same index with a table of the site's ids (external_ids_section()'s bytes), "
           "metadata (JSON text) and a normalize function of the caller's for its queries.")
      .def_prop_ro("metadata", &metadata,
                   nb::sig("def metadata(self) -> dict[str, typing.Any] | None"),
                   "What the builder recorded (build time, rows, video_top_n, library version), "
                   "or None.")
      .def_prop_ro(
          "storage",
          [](const Index& self) { return self.stored().path.empty() ? "owned" : "mapped"; },
          nb::sig("def storage(self) -> typing.Literal['owned', 'mapped']"),
          "'mapped' for an index read in place from a file torrelm.open() mapped, else 'owned'.")
      .def_prop_ro(
          "path",
          [](const Index& self) -> nb::object {
            const std::string& path = self.stored().path;
            if (path.empty()) return nb::none();
            return nb::str(path.data(), path.size());
          },
          nb::sig("def path(self) -> str | None"), "The file a mapped index reads, else None.")
      .def("__getstate__", &get_state,
           nb::sig("def __getstate__(self) -> bytes | tuple[bytes, collections.abc.Callable[[str], "
                   "str]]"),
           "The container, for pickle, with the index's normalize function when it is the "
           "caller's own.")
      .def("__setstate__", &set_state, nb::arg("state"),
           nb::sig("def __setstate__(self, state: collections.abc.Buffer | tuple[collections.abc."
                   "Buffer, collections.abc.Callable[[str], str]], /) -> None"),
           "Restores a pickled index, checked.");
  m.def("external_ids_section", &external_ids_section, nb::arg("ids"),
        nb::sig("def external_ids_section(ids: collections.abc.Sequence[str] | "
                "collections.abc.Sequence[int]) -> bytes"),
        "The table of a site's own video ids, for Index._with_extras(): all str, or all int "
        "(from -2**63 to 2**64-1). The index's int id of a video is its place in the table.");
}

}  // namespace torrelm::native

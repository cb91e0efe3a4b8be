// The methods of torrelm.Index: convert the arguments, run the core without the interpreter lock,
// build the result with the lock held again.
#include "native/index.hpp"

#include <nanobind/stl/string.h>

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/index_codec.hpp"
#include "native/convert.hpp"
#include "native/errors.hpp"
#include "prefix/matcher/lookup.hpp"
#include "prefix/matcher/matcher.hpp"
#include "ranking/ranking.hpp"

namespace torrelm::native {
namespace {

constexpr const char* kFuzzyMatch = "Index.fuzzy_match()";
constexpr const char* kFuzzyMatchVideo = "Index.fuzzy_match_video()";
constexpr const char* kFromBytes = "Index.from_bytes()";
constexpr const char* kFromPrefixSearch = "Index.from_prefix_search()";
constexpr const char* kContains = "Index.__contains__()";
constexpr const char* kSetState = "Index.__setstate__()";

PyObject* made(PyObject* object) {
  if (object == nullptr) throw nb::python_error();
  return object;
}

// Lists are created at their final length; each tuple goes in before it is filled, so that an
// error half-way leaves nothing but the list to drop (empty slots are allowed in both).
nb::list to_term_tuples(const prefix::Trie& trie, const std::vector<prefix::MatchResult>& matches) {
  auto list = nb::steal<nb::list>(made(PyList_New(static_cast<Py_ssize_t>(matches.size()))));
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const prefix::MatchResult& match = matches[i];
    const bool terminal = trie.terminal(match.node);
    PyObject* tuple = made(PyTuple_New(3));
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), tuple);
    PyTuple_SET_ITEM(tuple, 0,
                     made(PyUnicode_DecodeUTF8(
                         match.term.data(), static_cast<Py_ssize_t>(match.term.size()), nullptr)));
    PyTuple_SET_ITEM(tuple, 1, made(PyLong_FromLong(terminal ? 1 : 0)));
    PyTuple_SET_ITEM(tuple, 2, made(PyLong_FromUnsignedLong(match.distance)));
  }
  return list;
}

nb::list to_video_tuples(const prefix::Trie& trie,
                         const std::vector<ranking::RankedVideo>& videos) {
  auto list = nb::steal<nb::list>(made(PyList_New(static_cast<Py_ssize_t>(videos.size()))));
  char text[ranking::kMaxIdText];
  for (std::size_t i = 0; i < videos.size(); ++i) {
    const std::size_t length = ranking::id_text(trie, videos[i].position, text);
    PyObject* tuple = made(PyTuple_New(2));
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), tuple);
    PyTuple_SET_ITEM(tuple, 0,
                     made(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(length))));
    PyTuple_SET_ITEM(tuple, 1, made(PyFloat_FromDouble(videos[i].score)));
  }
  return list;
}

nb::list fuzzy_match(const Index& self, nb::handle term_arg, nb::handle max_dist_arg,
                     nb::handle limit_arg) {
  return guarded([&] {
    const std::string_view term = to_text(term_arg, {kFuzzyMatch, "term"});
    const std::size_t max_dist = to_index(max_dist_arg, {kFuzzyMatch, "max_dist"});
    const std::optional<std::size_t> limit = to_optional_index(limit_arg, {kFuzzyMatch, "limit"});
    const prefix::Trie& trie = self.trie();
    const auto matches = run_released(
        [&](Cancel cancel) { return prefix::fuzzy_match(trie, term, max_dist, limit, cancel); });
    return to_term_tuples(trie, matches);
  });
}

nb::list fuzzy_match_video(const Index& self, nb::handle term_arg, nb::handle max_dist_arg,
                           nb::handle limit_arg, nb::handle prefix_nodes_arg) {
  return guarded([&] {
    const std::string_view term = to_text(term_arg, {kFuzzyMatchVideo, "term"});
    const std::size_t max_dist = to_index(max_dist_arg, {kFuzzyMatchVideo, "max_dist"});
    const std::optional<std::size_t> limit =
        to_optional_index(limit_arg, {kFuzzyMatchVideo, "limit"});
    const ranking::PrefixNodes prefix_nodes =
        to_prefix_nodes(prefix_nodes_arg, {kFuzzyMatchVideo, "include_prefix_nodes"});
    const prefix::Trie& trie = self.trie();
    const auto videos = run_released([&](Cancel cancel) {
      return ranking::rank_videos(trie, term, max_dist, limit, prefix_nodes, cancel);
    });
    return to_video_tuples(trie, videos);
  });
}

nb::bytes to_bytes(const Index& self) {
  return guarded([&] {
    const prefix::Trie& trie = self.trie();
    const std::uint64_t size = run_released([&](Cancel) { return format::encoded_size(trie); });
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      throw nb::value_error(("encode error: the stored form takes " + std::to_string(size) +
                             " bytes, more than a bytes object can hold")
                                .c_str());
    }
    // Written straight into the bytes object, which no one else sees yet: one allocation, no
    // copy, and no lock needed while it fills.
    auto bytes = nb::steal<nb::bytes>(
        made(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.ptr()));
    run_released(
        [&](Cancel) { format::encode(trie, std::span(data, static_cast<std::size_t>(size))); });
    return bytes;
  });
}

// Decodes with the lock released while the buffer stays exported, so that its bytes are neither
// copied nor moved meanwhile.
std::shared_ptr<const prefix::Trie> decode_trie(nb::handle data, Argument where) {
  const BytesView view(data, where);
  auto trie = run_released([&](Cancel cancel) { return format::decode(view.bytes(), cancel); });
  if (!trie) {
    throw nb::value_error(("decode error: " + format::to_string(trie.error())).c_str());
  }
  return std::make_shared<const prefix::Trie>(std::move(*trie));
}

nb::object decode(nb::handle data, Argument where) { return wrap_index(decode_trie(data, where)); }

nb::object from_bytes(nb::handle data) {
  return guarded([&] { return decode(data, {kFromBytes, "b"}); });
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
    return decode(search.attr("to_bytes")(), {kFromPrefixSearch, "ps"});
  });
}

nb::object to_prefix_search(const Index& self) {
  return guarded([&] { return prefix_search_type().attr("from_bytes")(to_bytes(self)); });
}

// Pickled by value: the stored form, decoded again into a fresh index.
void set_state(Index& self, nb::handle state) {
  guarded([&] {
    std::shared_ptr<const prefix::Trie> trie = decode_trie(state, {kSetState, "state"});
    new (&self) Index(std::move(trie));  // nanobind hands over an instance not yet made
  });
}

// The terms are counted by a walk over the index, once: every later len() and repr() reads the
// count. The walk is TermWalk's, so that len() always equals the length of the iteration and
// fails where it fails; a count of the terminal flags would also count the root, nodes under
// U+0000 labels and nodes no child list reaches, none of which the walk reports.
std::uint64_t term_count(const Index& self) {
  std::uint64_t terms = self.counted_terms();
  if (terms == Index::kUncounted) {
    const prefix::Trie& trie = self.trie();
    terms = run_released([&](Cancel cancel) {
      return static_cast<std::uint64_t>(prefix::count_terms(trie, cancel));
    });
    self.keep_term_count(terms);
  }
  return terms;
}

std::size_t length(const Index& self) {
  return guarded([&] { return static_cast<std::size_t>(term_count(self)); });
}

bool contains(const Index& self, nb::handle term_arg) {
  return guarded([&] {
    const std::string_view term = to_text(term_arg, {kContains, "term"});
    const prefix::Trie& trie = self.trie();
    return run_released([&](Cancel) { return prefix::find_term(trie, term).has_value(); });
  });
}

// 1651080 as "1,651,080".
std::string grouped(std::uint64_t number) {
  std::string digits = std::to_string(number);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
  return digits;
}

std::string repr(const Index& self) {
  return guarded([&] {
    const prefix::Trie& trie = self.trie();
    std::string terms;
    try {
      terms = grouped(term_count(self));
    } catch (const InternalFault&) {
      terms = "?";  // an inconsistent index still prints; len() and iteration report the fault
    }
    const bool int_ids = trie.id_mode == prefix::IdMode::Int32;
    const std::size_t videos = int_ids ? trie.video_int_ids.size() : trie.video_uuids.size();
    return "<torrelm.Index terms=" + terms + " nodes=" + grouped(trie.node_count()) +
           " videos=" + grouped(videos) + " ids=" + (int_ids ? "int32" : "uuid") + ">";
  });
}

// Lets Ctrl-C stop a next() that has far to go (a large index with few terms) while holding the
// lock: the handler's exception is then raised and the walk can resume later.
bool signal_raised(void*) noexcept { return PyErr_CheckSignals() != 0; }

// iter(index): the terms one per next(), from a walk that holds the trie alive by itself.
class IndexIterator {
 public:
  explicit IndexIterator(std::shared_ptr<const prefix::Trie> trie)
      : trie_(std::move(trie)), walk_(*trie_) {}

  nb::object next() {
    if (ended_) throw nb::stop_iteration();
    std::optional<prefix::NodeId> node;
    try {
      Cancel cancel(&signal_raised, nullptr);
      node = walk_.next(cancel);
    } catch (const Cancelled&) {
      throw nb::python_error();
    } catch (...) {
      ended_ = true;  // as a generator that raised, it stops for good
      throw;
    }
    if (!node) {
      ended_ = true;
      throw nb::stop_iteration();
    }
    const std::string& term = walk_.term();
    return nb::steal(
        made(PyUnicode_DecodeUTF8(term.data(), static_cast<Py_ssize_t>(term.size()), nullptr)));
  }

 private:
  std::shared_ptr<const prefix::Trie> trie_;  // before walk_, which points into it
  prefix::TermWalk walk_;
  bool ended_ = false;
};

IndexIterator iterate(const Index& self) {
  return guarded([&] { return IndexIterator(self.shared_trie()); });
}

nb::object next_term(IndexIterator& self) {
  return guarded([&] { return self.next(); });
}

constexpr const char* kIndexDoc =
    "An immutable index of terms whose trie nodes carry their best videos.\n\n"
    "Made by IndexBuilder.build(), torrelm.load(), Index.from_bytes() or "
    "Index.from_prefix_search(); it has no public constructor. Queries run without the "
    "interpreter lock, so threads sharing one index answer in parallel; Ctrl-C stops a long "
    "query with KeyboardInterrupt.";

constexpr const char* kFuzzyMatchDoc =
    "The indexed terms within max_dist Levenshtein edits of term, as (term, 1, distance) "
    "tuples in trie order (depth first, a term before the longer terms it prefixes). limit "
    "stops the walk after that many matches. Bounds above 65535 act as 65535.";

constexpr const char* kFuzzyMatchVideoDoc =
    "The videos that best match term, as (video id, share) pairs, best first. Every trie node "
    "within max_dist edits takes part: by default the nodes that end a term, or the prefix "
    "nodes when none does; include_prefix_nodes=True always counts prefix nodes too, False "
    "never does.";

}  // namespace

nb::object wrap_index(std::shared_ptr<const prefix::Trie> trie) {
  if (!trie) throw InternalFault("an index needs a trie", SourceLocation::current());
  return nb::cast(Index(std::move(trie)), nb::rv_policy::move);
}

nb::object wrap_index(prefix::Trie&& trie) {
  return wrap_index(std::make_shared<const prefix::Trie>(std::move(trie)));
}

void register_index(nb::module_& m) {
  nb::class_<Index>(m, "Index", nb::is_final(), kIndexDoc)
      .def("fuzzy_match", &fuzzy_match, nb::arg("term"), nb::arg("max_dist") = 1,
           nb::arg("limit") = nb::none(),
           nb::sig("def fuzzy_match(self, term: str, max_dist: typing.SupportsIndex = 1, "
                   "limit: typing.SupportsIndex | None = None) -> list[tuple[str, int, int]]"),
           kFuzzyMatchDoc)
      .def("fuzzy_match_video", &fuzzy_match_video, nb::arg("term"), nb::arg("max_dist") = 1,
           nb::arg("limit") = nb::none(), nb::arg("include_prefix_nodes") = nb::none(),
           nb::sig("def fuzzy_match_video(self, term: str, max_dist: typing.SupportsIndex = 1, "
                   "limit: typing.SupportsIndex | None = None, "
                   "include_prefix_nodes: bool | numpy.bool_ | None = None) "
                   "-> list[tuple[str, float]]"),
           kFuzzyMatchVideoDoc)
      .def("to_bytes", &to_bytes, "The whole index in its stored form.")
      .def_static("from_bytes", &from_bytes, nb::arg("b"),
                  nb::sig("def from_bytes(b: collections.abc.Buffer) -> Index"),
                  "The index stored in b (bytes, bytearray, memoryview or any other "
                  "contiguous buffer) by to_bytes(). Raises ValueError('decode error: ...') "
                  "for anything else.")
      .def_static("from_prefix_search", &from_prefix_search, nb::arg("ps"),
                  nb::sig("def from_prefix_search(ps: _torrelm.PrefixSearch) -> Index"),
                  "An Index answering as ps does, made through ps.to_bytes().")
      .def("to_prefix_search", &to_prefix_search,
           nb::sig("def to_prefix_search(self) -> _torrelm.PrefixSearch"),
           "The same index as a _torrelm.PrefixSearch, through its stored form.")
      .def(
          "memory_bytes", [](const Index& self) { return self.trie().memory_bytes(); },
          "The heap bytes the index holds.")
      .def("__repr__", &repr)
      .def("__len__", &length, "The number of terms: as many as iter() yields.")
      .def("__contains__", &contains, nb::arg("term").none(),
           nb::sig("def __contains__(self, term: str, /) -> bool"),
           "Whether term is one of the indexed terms (exactly). Anything but a str raises "
           "TypeError.")
      .def("__iter__", &iterate, nb::sig("def __iter__(self) -> IndexIterator"),
           "The terms one at a time, in trie order: the order of fuzzy_match('', 65535), "
           "which leaves out terms longer than 65535 characters; these come too.")
      .def("__getstate__", &to_bytes, "The stored form, for pickle.")
      .def("__setstate__", &set_state, nb::arg("state"),
           nb::sig("def __setstate__(self, state: collections.abc.Buffer, /) -> None"),
           "Restores a pickled index from its stored form.");

  nb::class_<IndexIterator>(m, "IndexIterator", nb::is_final(),
                            "An iterator over the terms of an Index, made by iter(index). It "
                            "keeps the index's data alive by itself.")
      .def(
          "__iter__", [](nb::object self) { return self; },
          nb::sig("def __iter__(self) -> IndexIterator"))
      .def("__next__", &next_term, nb::sig("def __next__(self) -> str"));
}

}  // namespace torrelm::native

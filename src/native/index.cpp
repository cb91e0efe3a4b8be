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
#include "store/external_ids.hpp"
#include "text/utf8.hpp"

namespace torrelm::native {
namespace {

constexpr const char* kFuzzyMatch = "Index.fuzzy_match()";
constexpr const char* kFuzzyMatchVideo = "Index.fuzzy_match_video()";
constexpr const char* kContains = "Index.__contains__()";

// Lists are created at their final length; each tuple goes in before it is filled, so that an
// error half-way leaves nothing but the list to drop (empty slots are allowed in both).
nb::list to_term_tuples(const prefix::TrieView& trie,
                        const std::vector<prefix::MatchResult>& matches) {
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

// A video's id as the site gave it, when it gave its own: the index's int id is its place in
// the table.
PyObject* external_id(const store::ExternalIds& ids, const prefix::TrieView& trie,
                      std::uint32_t position) {
  const std::uint32_t place = checked_at(trie.video_int_ids, position);
  switch (ids.kind()) {
    case store::ExternalKind::Text: {
      const std::string_view text = ids.text(place);
      return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    }
    case store::ExternalKind::Signed:
      return PyLong_FromLongLong(ids.signed_value(place));
    case store::ExternalKind::Unsigned:
      return PyLong_FromUnsignedLongLong(ids.unsigned_value(place));
  }
  throw InternalFault("unknown kind of id table", SourceLocation::current());
}

nb::list fuzzy_match(const Index& self, nb::handle term_arg, nb::handle max_dist_arg,
                     nb::handle limit_arg) {
  return guarded([&] {
    const nb::object text = query_text(self, term_arg, kFuzzyMatch, "term");
    const std::string_view term = to_text(text, {kFuzzyMatch, "term"});
    const std::size_t max_dist = to_index(max_dist_arg, {kFuzzyMatch, "max_dist"});
    const std::optional<std::size_t> limit = to_optional_index(limit_arg, {kFuzzyMatch, "limit"});
    const prefix::TrieView& trie = self.trie();
    const auto matches = run_released([&](Cancel cancel) {
      return prefix::fuzzy_match(walk_view(self.stored(), cancel), term, max_dist, limit, cancel);
    });
    return to_term_tuples(trie, matches);
  });
}

nb::list fuzzy_match_video(const Index& self, nb::handle term_arg, nb::handle max_dist_arg,
                           nb::handle limit_arg, nb::handle prefix_nodes_arg) {
  return guarded([&] {
    const nb::object text = query_text(self, term_arg, kFuzzyMatchVideo, "term");
    const std::string_view term = to_text(text, {kFuzzyMatchVideo, "term"});
    const std::size_t max_dist = to_index(max_dist_arg, {kFuzzyMatchVideo, "max_dist"});
    const std::optional<std::size_t> limit =
        to_optional_index(limit_arg, {kFuzzyMatchVideo, "limit"});
    const ranking::PrefixNodes prefix_nodes =
        to_prefix_nodes(prefix_nodes_arg, {kFuzzyMatchVideo, "include_prefix_nodes"});
    const auto videos = run_released([&](Cancel cancel) {
      return ranking::rank_videos(walk_view(self.stored(), cancel), term, max_dist, limit,
                                  prefix_nodes, cancel);
    });
    return to_video_list(self.stored(), videos);
  });
}

// The terms are counted by a walk over the index, once: every later len() and repr() reads the
// count. The walk is TermWalk's, so that len() always equals the length of the iteration and
// fails where it fails; a count of the terminal flags would also count the root, nodes under
// U+0000 labels and nodes no child list reaches, none of which the walk reports.
std::uint64_t term_count(const Index& self) {
  std::uint64_t terms = self.counted_terms();
  if (terms == Index::kUncounted) {
    const prefix::TrieView& trie = self.trie();
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
    const nb::object text = query_text(self, term_arg, kContains, "term");
    const std::string_view term = to_text(text, {kContains, "term"});
    const prefix::TrieView& trie = self.trie();
    return run_released([&](Cancel) { return prefix::find_term(trie, term).has_value(); });
  });
}

// 1651080 as "1,651,080".
std::string grouped(std::uint64_t number) {
  std::string digits = std::to_string(number);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
  return digits;
}

std::string id_kind(const Stored& stored) {
  if (stored.external) {
    switch (stored.external->kind()) {
      case store::ExternalKind::Text:
        return "str";
      case store::ExternalKind::Signed:
        return "int64";
      case store::ExternalKind::Unsigned:
        return "uint64";
    }
  }
  return stored.trie.id_mode == prefix::IdMode::Int32 ? "int32" : "uuid";
}

// The video_top_n the builder recorded, or "?".
std::string recorded_top_n(const Stored& stored) {
  if (stored.metadata.empty() || !text::valid_utf8(stored.metadata)) return "?";
  try {
    nb::object meta = nb::module_::import_("json").attr("loads")(
        nb::str(stored.metadata.data(), stored.metadata.size()));
    if (PyDict_Check(meta.ptr())) {
      PyObject* top_n = PyDict_GetItemString(meta.ptr(), "video_top_n");  // borrowed
      if (top_n != nullptr && PyLong_Check(top_n) && !PyBool_Check(top_n)) {
        return nb::cast<std::string>(nb::str(nb::handle(top_n)));
      }
    }
  } catch (const nb::python_error&) {
    // Metadata that does not parse says nothing here; Index.metadata reports it.
  } catch (const std::exception&) {
    PyErr_Clear();  // nanobind's conversions may leave theirs set
  }
  return "?";
}

std::string repr(const Index& self) {
  return guarded([&] {
    const Stored& stored = self.stored();
    const prefix::TrieView& trie = stored.trie;
    std::string terms;
    try {
      terms = grouped(term_count(self));
    } catch (const InternalFault&) {
      terms = "?";  // an inconsistent index still prints; len() and iteration report the fault
    }
    const bool int_ids = trie.id_mode == prefix::IdMode::Int32;
    const std::size_t videos = int_ids ? trie.video_int_ids.size() : trie.video_uuids.size();
    std::string storage = "owned";
    if (!stored.path.empty()) {
      storage = "mapped path=" +
                nb::cast<std::string>(nb::repr(nb::str(stored.path.data(), stored.path.size())));
    }
    return "<torrelm.Index terms=" + terms + " nodes=" + grouped(trie.node_count()) +
           " videos=" + grouped(videos) + " video_top_n=" + recorded_top_n(stored) +
           " ids=" + id_kind(stored) + " storage=" + storage + ">";
  });
}

// Lets Ctrl-C stop a next() that has far to go (a large index with few terms) while holding the
// lock: the handler's exception is then raised and the walk can resume later.
bool signal_raised(void*) noexcept { return PyErr_CheckSignals() != 0; }

// iter(index): the terms one per next(), from a walk that holds the trie alive by itself.
class IndexIterator {
 public:
  explicit IndexIterator(std::shared_ptr<const Stored> stored)
      : stored_(std::move(stored)), walk_(stored_->trie) {}

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
  std::shared_ptr<const Stored> stored_;  // before walk_, which reads what it keeps alive
  prefix::TermWalk walk_;
  bool ended_ = false;
};

IndexIterator iterate(const Index& self) {
  return guarded([&] { return IndexIterator(self.shared()); });
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

nb::list to_video_list(const Stored& stored, const std::vector<ranking::RankedVideo>& videos,
                       PyTypeObject* named) {
  auto list = nb::steal<nb::list>(made(PyList_New(static_cast<Py_ssize_t>(videos.size()))));
  char text[ranking::kMaxIdText];
  for (std::size_t i = 0; i < videos.size(); ++i) {
    PyObject* tuple = made(named != nullptr ? named->tp_alloc(named, 2) : PyTuple_New(2));
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), tuple);
    const std::uint32_t position = videos[i].position;
    if (stored.external) {
      PyTuple_SET_ITEM(tuple, 0, made(external_id(*stored.external, stored.trie, position)));
    } else {
      const std::size_t length = ranking::id_text(stored.trie, position, text);
      PyTuple_SET_ITEM(tuple, 0,
                       made(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(length))));
    }
    PyTuple_SET_ITEM(tuple, 1, made(PyFloat_FromDouble(videos[i].score)));
  }
  return list;
}

nb::object wrap_index(std::shared_ptr<const Stored> stored, nb::handle normalize) {
  if (!stored) throw InternalFault("an index needs its arrays", SourceLocation::current());
  nb::object chosen;
  if (normalize.is_valid() && !normalize.is_none()) {
    chosen = nb::borrow(normalize);
  } else if (stored->metadata.find("\"normalize\"") != std::string::npos &&
             text::valid_utf8(stored->metadata)) {
    // Only metadata that names a normalisation costs a parse.
    chosen = nb::module_::import_("torrelm._normalize")
                 .attr("from_metadata")(nb::str(stored->metadata.data(), stored->metadata.size()));
  }
  Index index(std::move(stored));
  if (chosen.is_valid() && !chosen.is_none()) index.set_normalizer(std::move(chosen));
  return nb::cast(std::move(index), nb::rv_policy::move);
}

nb::object query_text(const Index& index, nb::handle text, const char* call, const char* name) {
  (void)to_text(text, {call, name});  // the same TypeError whether the index normalises or not
  const nb::handle normalize = index.normalizer();
  if (!normalize.is_valid()) return nb::borrow(text);
  nb::object out = nb::steal(made(PyObject_CallOneArg(normalize.ptr(), text.ptr())));
  if (!PyUnicode_Check(out.ptr())) {
    PyErr_Format(PyExc_TypeError, "%s: the index's normalize function returned %s, not str", call,
                 Py_TYPE(out.ptr())->tp_name);
    throw nb::python_error();
  }
  return out;
}

std::string word_start_tail(prefix::NodeId node) {
  std::string tail = "\x1f";
  text::append_utf8(tail, static_cast<char32_t>(0x10000 + (node >> 16)));
  text::append_utf8(tail, static_cast<char32_t>(0x10000 + (node & 0xFFFF)));
  return tail;
}

std::optional<prefix::NodeId> word_start_node(std::string_view alias) {
  const std::size_t cut = alias.rfind('\x1f');
  if (cut == std::string_view::npos) return std::nullopt;
  const std::u32string tail = text::decode_utf8(alias.substr(cut + 1));
  if (tail.size() != 2 || tail[0] < 0x10000 || tail[0] > 0x1FFFF || tail[1] < 0x10000 ||
      tail[1] > 0x1FFFF) {
    return std::nullopt;
  }
  return static_cast<prefix::NodeId>((tail[0] - 0x10000) << 16 | (tail[1] - 0x10000));
}

std::shared_ptr<Stored> stored_of(prefix::Trie&& trie) {
  auto owned = std::make_shared<const prefix::Trie>(std::move(trie));
  auto stored = std::make_shared<Stored>();
  stored->trie = owned->view();
  stored->owner = std::move(owned);
  return stored;
}

nb::object wrap_index(prefix::Trie&& trie) {
  return wrap_index(std::shared_ptr<const Stored>(stored_of(std::move(trie))));
}

// The one Python object an index holds is its normalize function, which may hold the index in
// turn (a bound method of the object that keeps the index): the collector must see that edge, or
// such a cycle keeps the whole index and its mapped file alive for good.
int index_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));  // instances of a heap type hold their type
  if (!nb::inst_ready(self)) return 0;
  Py_VISIT(nb::inst_ptr<Index>(self)->normalizer().ptr());
  return 0;
}

int index_clear(PyObject* self) {
  if (nb::inst_ready(self)) nb::inst_ptr<Index>(self)->set_normalizer(nb::object());
  return 0;
}

PyType_Slot kIndexSlots[] = {{Py_tp_traverse, reinterpret_cast<void*>(index_traverse)},
                             {Py_tp_clear, reinterpret_cast<void*>(index_clear)},
                             {0, nullptr}};

void register_index(nb::module_& m) {
  auto cls = nb::class_<Index>(m, "Index", nb::is_final(), nb::type_slots(kIndexSlots), kIndexDoc);
  cls.def("fuzzy_match", &fuzzy_match, nb::arg("term"), nb::arg("max_dist") = 1,
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
      .def(
          "memory_bytes", [](const Index& self) { return self.trie().memory_bytes(); },
          "The bytes the index's arrays take, in memory of its own or in its mapped file.")
      .def("__repr__", &repr)
      .def("__len__", &length, "The number of terms: as many as iter() yields.")
      .def("__contains__", &contains, nb::arg("term").none(),
           nb::sig("def __contains__(self, term: str, /) -> bool"),
           "Whether term is one of the indexed terms (exactly). Anything but a str raises "
           "TypeError.")
      .def("__iter__", &iterate, nb::sig("def __iter__(self) -> IndexIterator"),
           "The terms one at a time, in trie order: the order of fuzzy_match('', 65535), "
           "which leaves out terms longer than 65535 characters; these come too.");
  register_index_storage(cls, m);
  register_index_search(cls);

  nb::class_<IndexIterator>(m, "IndexIterator", nb::is_final(),
                            "An iterator over the terms of an Index, made by iter(index). It "
                            "keeps the index's data alive by itself.")
      .def(
          "__iter__", [](nb::object self) { return self; },
          nb::sig("def __iter__(self) -> IndexIterator"))
      .def("__next__", &next_term, nb::sig("def __next__(self) -> str"));
}

}  // namespace torrelm::native

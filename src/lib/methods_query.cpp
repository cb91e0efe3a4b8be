// The query methods of PrefixSearch: bind, convert, call the core, build the result.
#include <optional>
#include <string_view>

#include "lib/binding.hpp"
#include "lib/convert.hpp"
#include "lib/errors.hpp"
#include "lib/methods.hpp"
#include "lib/prefix_search.hpp"
#include "prefix/matcher/matcher.hpp"
#include "ranking/ranking.hpp"

namespace torrelm::py {
namespace {

constexpr std::string_view kFuzzyMatchNames[] = {"term", "max_dist", "limit"};
constexpr Signature kFuzzyMatch{"PrefixSearch.fuzzy_match()", kFuzzyMatchNames, 1};
constexpr std::string_view kFuzzyMatchVideoNames[] = {"term", "max_dist", "limit",
                                                      "include_prefix_nodes"};
constexpr Signature kFuzzyMatchVideo{"PrefixSearch.fuzzy_match_video()", kFuzzyMatchVideoNames, 1};

bool is_numpy_bool(PyTypeObject* type) {
  // A class may set __module__ to anything, not only a str: compare only what is one.
  Ref module(PyType_GetModuleName(type));
  Ref name(module ? PyType_GetName(type) : nullptr);
  if (!name) {
    PyErr_Clear();  // unreadable names: not numpy's boolean
    return false;
  }
  if (!PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) return false;
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// None or absent: Fallback. Exactly bool, or numpy's boolean scalar through its truth slot;
// ints, 0 and 1 included, are refused.
bool to_prefix_nodes(PyObject* value, ranking::PrefixNodes& out) {
  out = ranking::PrefixNodes::Fallback;
  if (value == nullptr || value == Py_None) return true;
  if (Py_IS_TYPE(value, &PyBool_Type)) {
    out = value == Py_True ? ranking::PrefixNodes::Include : ranking::PrefixNodes::Exclude;
    return true;
  }
  PyTypeObject* type = Py_TYPE(value);
  if (!is_numpy_bool(type)) return raise_type_mismatch(value, "PyBool");
  const auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
  if (truth == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject*>(type));
    return false;
  }
  const int flag = truth(value);
  if (flag < 0) return false;
  out = flag ? ranking::PrefixNodes::Include : ranking::PrefixNodes::Exclude;
  return true;
}

// A list of (id text, score) tuples, created at its final length.
PyObject* to_video_tuples(const prefix::TrieView& trie,
                          const std::vector<ranking::RankedVideo>& videos) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(videos.size())));
  if (!list) return nullptr;
  char text[ranking::kMaxIdText];
  for (std::size_t i = 0; i < videos.size(); ++i) {
    const std::size_t length = ranking::id_text(trie, videos[i].position, text);
    Ref tuple(PyTuple_New(2));
    if (!tuple) return nullptr;
    PyObject* id = PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(length));
    PyObject* score = PyFloat_FromDouble(videos[i].score);
    PyTuple_SET_ITEM(tuple.get(), 0, id);
    PyTuple_SET_ITEM(tuple.get(), 1, score);
    if (id == nullptr || score == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
  }
  return list.release();
}

// A list of (term, is_terminal, distance) tuples, created at its final length.
PyObject* to_term_tuples(const prefix::TrieView& trie,
                         const std::vector<prefix::MatchResult>& matches) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(matches.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const prefix::MatchResult& match = matches[i];
    const bool terminal = trie.terminal(match.node);
    Ref tuple(PyTuple_New(3));
    if (!tuple) return nullptr;
    PyObject* items[] = {
        PyUnicode_DecodeUTF8(match.term.data(), static_cast<Py_ssize_t>(match.term.size()),
                             nullptr),
        PyLong_FromLong(terminal ? 1 : 0),
        PyLong_FromUnsignedLong(match.distance),
    };
    for (Py_ssize_t k = 0; k < 3; ++k) PyTuple_SET_ITEM(tuple.get(), k, items[k]);
    if (items[0] == nullptr || items[1] == nullptr || items[2] == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
  }
  return list.release();
}

}  // namespace

PyObject* fuzzy_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind(kFuzzyMatch, args, nargs, kwnames, bound)) return nullptr;
    std::string_view term;  // UTF-8 owned by the str object
    std::size_t max_dist = 1;
    std::optional<std::size_t> limit;
    if (!(to_text(bound[0], term) || named_argument("term")) ||
        !(bound[1] == nullptr || to_index(bound[1], max_dist) || named_argument("max_dist")) ||
        !(to_optional_index(bound[2], limit) || named_argument("limit"))) {
      return nullptr;
    }
    Cancel cancel = signal_cancel();
    const prefix::TrieView trie = PrefixSearch::query_view(self, cancel);
    return to_term_tuples(trie, prefix::fuzzy_match(trie, term, max_dist, limit, cancel));
  });
}

PyObject* fuzzy_match_video(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[4];
    if (!bind(kFuzzyMatchVideo, args, nargs, kwnames, bound)) return nullptr;
    std::string_view term;
    std::size_t max_dist = 1;
    std::optional<std::size_t> limit;
    ranking::PrefixNodes prefix_nodes = ranking::PrefixNodes::Fallback;
    if (!(to_text(bound[0], term) || named_argument("term")) ||
        !(bound[1] == nullptr || to_index(bound[1], max_dist) || named_argument("max_dist")) ||
        !(to_optional_index(bound[2], limit) || named_argument("limit")) ||
        !(to_prefix_nodes(bound[3], prefix_nodes) || named_argument("include_prefix_nodes"))) {
      return nullptr;
    }
    Cancel cancel = signal_cancel();
    const prefix::TrieView trie = PrefixSearch::query_view(self, cancel);
    return to_video_tuples(trie,
                           ranking::rank_videos(trie, term, max_dist, limit, prefix_nodes, cancel));
  });
}

}  // namespace torrelm::py

// The query methods of PrefixSearch: bind, convert, call the core, build the result.
#include <optional>
#include <string_view>

#include "lib/binding.hpp"
#include "lib/convert.hpp"
#include "lib/errors.hpp"
#include "lib/methods.hpp"
#include "lib/prefix_search.hpp"
#include "prefix/matcher/matcher.hpp"

namespace torrelm::py {
namespace {

constexpr std::string_view kFuzzyMatchNames[] = {"term", "max_dist", "limit"};
constexpr Signature kFuzzyMatch{"PrefixSearch.fuzzy_match()", kFuzzyMatchNames, 1};

// A list of (term, is_terminal, distance) tuples, created at its final length.
PyObject* to_term_tuples(const prefix::Trie& trie,
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
    const prefix::Trie& trie = PrefixSearch::trie_of(self);
    return to_term_tuples(trie, prefix::fuzzy_match(trie, term, max_dist, limit));
  });
}

}  // namespace torrelm::py

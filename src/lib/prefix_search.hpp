// The PrefixSearch type: an object header followed by the one Trie it owns, never modified after
// creation. Instances come only from the static constructors, through wrap().
#pragma once

#include "lib/python.hpp"
#include "prefix/matcher/walk_table.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::py {

struct PrefixSearch {
  PyObject_HEAD prefix::Trie trie;
  prefix::LazyWalkTable walk_table;  // made by the first fuzzy query

  static const prefix::Trie& trie_of(PyObject* self) noexcept {
    return reinterpret_cast<PrefixSearch*>(self)->trie;
  }
  // The index as the fuzzy queries read it.
  static prefix::TrieView query_view(PyObject* self, Cancel& cancel) {
    auto* search = reinterpret_cast<PrefixSearch*>(self);
    return search->walk_table.attach(search->trie.view(), cancel);
  }
};

// The type object, created once per process on first need; nullptr with the creation error
// printed when it cannot be created.
PyTypeObject* prefix_search_type() noexcept;

// A new PrefixSearch owning `trie`. An unavailable type is an InternalFault.
PyObject* wrap(prefix::Trie&& trie);

}  // namespace torrelm::py

// The PrefixSearch type: an object header followed by the one Trie it owns, never modified after
// creation. Instances come only from the static constructors, through wrap().
#pragma once

#include "lib/python.hpp"
#include "prefix/trie/trie.hpp"

namespace torrelm::py {

struct PrefixSearch {
  PyObject_HEAD prefix::Trie trie;

  static const prefix::Trie& trie_of(PyObject* self) noexcept {
    return reinterpret_cast<PrefixSearch*>(self)->trie;
  }
};

// The type object, created once per process on first need; nullptr with the creation error
// printed when it cannot be created.
PyTypeObject* prefix_search_type() noexcept;

// A new PrefixSearch owning `trie`. An unavailable type is an InternalFault.
PyObject* wrap(prefix::Trie&& trie);

}  // namespace torrelm::py

// torrelm.Index: the package's index type, one immutable Trie behind a shared pointer.
//
// The Trie is shared, not owned by value, so that an index can live on storage someone else keeps
// alive (a mapped file, through shared_ptr's aliasing constructor) as well as on owned arrays, and
// so that work running without the interpreter lock can hold it whatever happens to the Python
// object. Instances come only from wrap_index(): the class has no public constructor.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>

#include "prefix/trie/trie.hpp"

namespace torrelm::native {

namespace nb = nanobind;

class Index {
 public:
  // `trie` is never null.
  explicit Index(std::shared_ptr<const prefix::Trie> trie) noexcept : trie_(std::move(trie)) {}

  const prefix::Trie& trie() const noexcept { return *trie_; }
  const std::shared_ptr<const prefix::Trie>& shared_trie() const noexcept { return trie_; }

 private:
  std::shared_ptr<const prefix::Trie> trie_;
};

// A new torrelm.Index over a finished Trie (built and propagated, or decoded). Call with the lock
// held, once the module is initialised. A null `trie` is an InternalFault.
nb::object wrap_index(std::shared_ptr<const prefix::Trie> trie);
nb::object wrap_index(prefix::Trie&& trie);

// Adds the class Index to the module.
void register_index(nb::module_& m);

}  // namespace torrelm::native

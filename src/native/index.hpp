// torrelm.Index: the package's index type, one immutable Trie behind a shared pointer.
//
// The Trie is shared, not owned by value, so that an index can live on storage someone else keeps
// alive (a mapped file, through shared_ptr's aliasing constructor) as well as on owned arrays, and
// so that work running without the interpreter lock can hold it whatever happens to the Python
// object. Instances come only from wrap_index() and from unpickling (__setstate__ fills an
// instance that Python made blank): the class has no public constructor.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "prefix/trie/trie.hpp"

namespace torrelm::native {

namespace nb = nanobind;

class Index {
 public:
  // `trie` is never null.
  explicit Index(std::shared_ptr<const prefix::Trie> trie) noexcept : trie_(std::move(trie)) {}
  Index(Index&& other) noexcept
      : trie_(std::move(other.trie_)), terms_(other.terms_.load(std::memory_order_relaxed)) {}
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;
  Index& operator=(Index&&) = delete;

  const prefix::Trie& trie() const noexcept { return *trie_; }
  const std::shared_ptr<const prefix::Trie>& shared_trie() const noexcept { return trie_; }

  // The number of terms once someone counted them (prefix::count_terms), else kUncounted. The
  // count is the same whoever makes it, so threads that count at once may all store theirs.
  static constexpr std::uint64_t kUncounted = ~std::uint64_t{0};
  std::uint64_t counted_terms() const noexcept { return terms_.load(std::memory_order_relaxed); }
  void keep_term_count(std::uint64_t terms) const noexcept {
    terms_.store(terms, std::memory_order_relaxed);
  }

 private:
  std::shared_ptr<const prefix::Trie> trie_;
  mutable std::atomic<std::uint64_t> terms_{kUncounted};
};

// A new torrelm.Index over a finished Trie (built and propagated, or decoded). Call with the lock
// held, once the module is initialised. A null `trie` is an InternalFault.
nb::object wrap_index(std::shared_ptr<const prefix::Trie> trie);
nb::object wrap_index(prefix::Trie&& trie);

// Adds the class Index to the module.
void register_index(nb::module_& m);

}  // namespace torrelm::native

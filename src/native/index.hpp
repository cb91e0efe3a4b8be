// torrelm.Index: the package's index type, one immutable index behind a shared pointer.
//
// An index reads its arrays through a TrieView, wherever they lie: in a Trie the builder made, in
// a buffer read from a file or from bytes, or in a file mapped into memory. The Stored record
// keeps the owner of those arrays alive with the view, so that work running without the
// interpreter lock (and every iterator) can hold the index whatever happens to the Python object.
// Instances come only from wrap_index() and from unpickling (__setstate__ fills an instance that
// Python made blank): the class has no public constructor.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "prefix/trie/trie.hpp"
#include "ranking/ranking.hpp"
#include "store/external_ids.hpp"
#include "store/mapped_file.hpp"

namespace torrelm::native {

namespace nb = nanobind;

// What the search-box queries derive from an index once, on first use: the largest term count
// below every node.
struct SearchAids {
  std::once_flag once;
  std::vector<std::uint32_t> best;
};

struct Stored {
  prefix::TrieView trie;
  std::optional<store::ExternalIds> external;  // the site's own ids, when it gave them
  std::string metadata;                        // JSON text, empty when there is none
  std::string path;                            // the file mapped, empty when owned
  std::shared_ptr<const void> owner;           // keeps what `trie` and `external` read alive
  // Shared by the indexes that share `trie`.
  std::shared_ptr<SearchAids> aids = std::make_shared<SearchAids>();
};

class Index {
 public:
  // `stored` is never null.
  explicit Index(std::shared_ptr<const Stored> stored) noexcept : stored_(std::move(stored)) {}
  Index(Index&& other) noexcept
      : stored_(std::move(other.stored_)), terms_(other.terms_.load(std::memory_order_relaxed)) {}
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;
  Index& operator=(Index&&) = delete;

  const prefix::TrieView& trie() const noexcept { return stored_->trie; }
  const Stored& stored() const noexcept { return *stored_; }
  const std::shared_ptr<const Stored>& shared() const noexcept { return stored_; }

  // The number of terms once someone counted them (prefix::count_terms), else kUncounted. The
  // count is the same whoever makes it, so threads that count at once may all store theirs.
  static constexpr std::uint64_t kUncounted = ~std::uint64_t{0};
  std::uint64_t counted_terms() const noexcept { return terms_.load(std::memory_order_relaxed); }
  void keep_term_count(std::uint64_t terms) const noexcept {
    terms_.store(terms, std::memory_order_relaxed);
  }

 private:
  std::shared_ptr<const Stored> stored_;
  mutable std::atomic<std::uint64_t> terms_{kUncounted};
};

// A new torrelm.Index. Call with the lock held, once the module is initialised. A null `stored`
// is an InternalFault.
nb::object wrap_index(std::shared_ptr<const Stored> stored);
// Over a finished Trie (built and propagated, or decoded), which it takes over.
nb::object wrap_index(prefix::Trie&& trie);
// The record of an index over a finished Trie, which it takes over (a Stored to complete before
// it is wrapped).
std::shared_ptr<Stored> stored_of(prefix::Trie&& trie);

// Gives `stored` the site's own ids: `section`, a table in the layout of store::ExternalIds,
// which is checked in full, and must name every video of the index (ValueError when it does
// not). The one way a new index comes by such a table, from a build or from _with_extras().
// Call with the lock held.
void attach_external_ids(Stored& stored, store::FileBytes section);

// The (id, share) tuples of ranked videos, ids as the index was given them; of the named tuple
// class `named` (a tuple subclass with no fields of its own) when given.
nb::list to_video_list(const Stored& stored, const std::vector<ranking::RankedVideo>& videos,
                       PyTypeObject* named = nullptr);

// Adds the class Index to the module.
void register_index(nb::module_& m);

// The storage methods of Index (index_storage.cpp): reading and writing containers, opening
// files, pickling, the site's ids and metadata. Called by register_index.
void register_index_storage(nb::class_<Index>& cls, nb::module_& m);

// The search-box queries of Index (search.cpp): complete, suggest, videos and their batches.
void register_index_search(nb::class_<Index>& cls);

}  // namespace torrelm::native

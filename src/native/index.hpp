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

#include "prefix/matcher/walk_table.hpp"
#include "prefix/trie/trie.hpp"
#include "ranking/ranking.hpp"
#include "search/search.hpp"
#include "store/external_ids.hpp"
#include "store/mapped_file.hpp"
#include "store/spellings.hpp"

namespace torrelm::native {

namespace nb = nanobind;

// What the search-box queries derive from an index once, on first use: every node's term count
// and the largest below it.
struct SearchAids {
  std::once_flag once;
  search::Counts counts;
  std::once_flag records_once;
  std::optional<search::CompletionRecords> records;  // when the index has a walk table
  std::once_flag parents_once;
  std::vector<prefix::NodeId> parents;  // by node: the node that lists it (the root itself)
};

struct Stored {
  prefix::TrieView trie;
  std::optional<store::ExternalIds> external;  // the site's own ids, when it gave them
  std::optional<store::Spellings> spellings;   // of terms merged by normalising, when any
  std::string metadata;                        // JSON text, empty when there is none
  std::string path;                            // the file mapped, empty when owned
  bool exact_counts = false;  // the search counts are the builder's, not derived (SearchAids)
  bool kept_tables = false;   // the walk table (and records) came with the file, unchecked
  std::shared_ptr<const void> owner;  // keeps what `trie` and `external` read alive
  // Shared by the indexes that share `trie`.
  std::shared_ptr<SearchAids> aids = std::make_shared<SearchAids>();
  std::shared_ptr<prefix::LazyWalkTable> walk_table = std::make_shared<prefix::LazyWalkTable>();
  // The terms of several words again from the start of each later word: "cat videos" and
  // "videos" for "funny cat videos", each followed by word_start_tail() of the term's node and
  // counted as often as the term; when the index was built with word starts.
  std::shared_ptr<const Stored> word_starts;
};

// The terms Index.blocked() leaves out of an index's answers: the entries as they were given,
// and what the searches read, made once from them. Shared, never changed, by the indexes that
// answer with it; the index's data is not copied.
struct BlockList {
  std::vector<std::string> terms;              // as given
  std::vector<std::string> words;              // as given
  std::optional<search::Blocked> index;        // none when no term of the index is blocked
  std::optional<search::Blocked> word_starts;  // the word starts of the blocked terms
};

// What follows a word start in the word-start index: U+001F, then the node of the term it stands
// for in two code points, 0x10000 plus its upper and its lower 16 bits (never surrogates, so
// always valid UTF-8). A handful of nodes a word start, where the term's own text would add
// its length.
std::string word_start_tail(prefix::NodeId node);
// The node that a word-start index's term names after its U+001F, if it names one.
std::optional<prefix::NodeId> word_start_node(std::string_view alias);

class Index {
 public:
  // `stored` is never null.
  explicit Index(std::shared_ptr<const Stored> stored) noexcept : stored_(std::move(stored)) {}
  Index(Index&& other) noexcept
      : stored_(std::move(other.stored_)),
        blocked_(std::move(other.blocked_)),
        normalize_(std::move(other.normalize_)),
        terms_(other.terms_.load(std::memory_order_relaxed)) {}
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;
  Index& operator=(Index&&) = delete;

  const prefix::TrieView& trie() const noexcept { return stored_->trie; }
  const Stored& stored() const noexcept { return *stored_; }
  const std::shared_ptr<const Stored>& shared() const noexcept { return stored_; }

  // The terms its queries leave out, or null when none are.
  const BlockList* blocked() const noexcept { return blocked_.get(); }
  const std::shared_ptr<const BlockList>& shared_blocked() const noexcept { return blocked_; }
  void set_blocked(std::shared_ptr<const BlockList> blocked) noexcept {
    blocked_ = std::move(blocked);
  }

  // What every query does to its text first, as the terms were when the index was built: a
  // callable str -> str, or a null handle for none.
  nb::handle normalizer() const noexcept { return normalize_; }
  void set_normalizer(nb::object normalize) noexcept { normalize_ = std::move(normalize); }

  // The number of terms once someone counted them (prefix::count_terms), else kUncounted. The
  // count is the same whoever makes it, so threads that count at once may all store theirs.
  static constexpr std::uint64_t kUncounted = ~std::uint64_t{0};
  std::uint64_t counted_terms() const noexcept { return terms_.load(std::memory_order_relaxed); }
  void keep_term_count(std::uint64_t terms) const noexcept {
    terms_.store(terms, std::memory_order_relaxed);
  }

 private:
  std::shared_ptr<const Stored> stored_;
  std::shared_ptr<const BlockList> blocked_;
  nb::object normalize_;  // held here, not in Stored: only a Python object may drop it
  mutable std::atomic<std::uint64_t> terms_{kUncounted};
};

// A new torrelm.Index. Call with the lock held, once the module is initialised. A null `stored`
// is an InternalFault. The index normalises its queries as its metadata says the terms were,
// with one of the package's own functions, or with `normalize` when given (a function of the
// caller's, which metadata can only name).
nb::object wrap_index(std::shared_ptr<const Stored> stored, nb::handle normalize = {});
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

// Gives `stored` the spellings of its merged terms: `section`, in the layout of store::Spellings,
// checked in full (ValueError when it is not well formed or names a node that ends no term).
void attach_spellings(Stored& stored, store::FileBytes section);

// `text` as the index's queries take it: normalised when the index was built so (the str the
// normaliser returned, which the caller keeps while it reads the text), else `text` itself.
nb::object query_text(const Index& index, nb::handle text, const char* call, const char* name);

// The (id, share) tuples of ranked videos, ids as the index was given them; of the named tuple
// class `named` (a tuple subclass with no fields of its own) when given.
nb::list to_video_list(const Stored& stored, const std::vector<ranking::RankedVideo>& videos,
                       PyTypeObject* named = nullptr);

// Adds the class Index to the module.
void register_index(nb::module_& m);

// The storage methods of Index (index_storage.cpp): reading and writing containers, opening
// files, pickling, the site's ids and metadata. Called by register_index.
void register_index_storage(nb::class_<Index>& cls, nb::module_& m);

// The search counts of an index: read with it from its file, or derived on first use (once,
// whichever thread comes first; an interrupted derivation is left for the next). Call without
// the lock.
const search::Counts& search_counts(const Stored& stored, Cancel& cancel);
// The index as queries that walk it read it: with its walk table, made on first use.
prefix::TrieView walk_view(const Stored& stored, Cancel& cancel);
// What complete() reads beside them, made on first use; null for an index that is no tree.
const search::CompletionRecords* completion_records(const Stored& stored, Cancel& cancel);

// The block list of `index` (search.cpp) for the terms and words of two iterables of str, folded
// as its queries fold their text; null when both are empty. Errors name `call`. Call with the
// lock held.
std::shared_ptr<const BlockList> block_list(const Index& index, nb::handle terms, nb::handle words,
                                            const char* call);

// The search-box queries of Index (search.cpp): complete, suggest, videos and their batches.
void register_index_search(nb::class_<Index>& cls);
// The module's functions beside the class that tests of the search-box queries use.
void register_search_tools(nb::module_& m);

}  // namespace torrelm::native

// Any bytes read as a container without checks (as torrelm.open(path, verify=False) reads a file)
// either are refused or give an index on which every reader (queries, counting and iterating the
// terms, the walk table, writing either stored form and reading it back) answers or throws
// InternalFault: never a read outside the bytes. Bytes that also pass the checks (payload arrays,
// validate, the id table) give an index on which no query faults at all.
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>

#include "format/index_codec.hpp"
#include "prefix/matcher/lookup.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/matcher/walk_table.hpp"
#include "ranking/ranking.hpp"
#include "search/search.hpp"
#include "store/container.hpp"
#include "store/external_ids.hpp"
#include "store/mapped_file.hpp"
#include "store/validate.hpp"

namespace {

using namespace torrelm;

// Queries small enough that a cyclic index cannot make them run long.
bool query_all(const prefix::TrieView& trie, const std::optional<store::ExternalIds>& ids) {
  try {
    for (const char* term : {"", "a", "ab", "\xc3\xa9"}) {
      (void)prefix::fuzzy_match(trie, term, 1, 8);
      (void)prefix::find_term(trie, term);
      for (const auto& video :
           ranking::rank_videos(trie, term, 1, 4, ranking::PrefixNodes::Include)) {
        if (!ids) continue;
        const std::uint32_t place = checked_at(trie.video_int_ids, video.position);
        if (ids->kind() == store::ExternalKind::Text) (void)ids->text(place);
      }
    }
    Cancel cancel;
    const search::Counts counts = search::count_terms(trie);
    (void)search::disagreement(trie, counts);
    (void)prefix::count_terms(trie);
    const std::optional<prefix::WalkTable> table = prefix::WalkTable::of(trie, cancel);
    prefix::TrieView walked = trie;
    std::optional<search::CompletionRecords> records;
    if (table) {
      walked.walk_table = &*table;
      records.emplace(*table, counts, cancel);
    }
    for (const char* text : {"", "a", "ab"}) {
      (void)search::complete(trie, counts, text, 0, 4);
      (void)search::complete(trie, counts, text, 1, 4);
      (void)search::complete(walked, counts, text, 0, 4, {}, records ? &*records : nullptr);
      (void)search::suggest(trie, counts, text, 1, 4);
      (void)search::suggest(walked, counts, text, 2, 4);
      (void)search::suggest(walked, counts, text, 2, 4, {}, prefix::Distance::Osa,
                            search::Order::Likely);
      (void)search::complete(walked, counts, text, 1, 4, {}, nullptr, prefix::Distance::Osa,
                             search::Order::Likely);
      (void)prefix::fuzzy_match(walked, text, 1, 8);
    }
    prefix::TermWalk walk(trie);
    for (int i = 0; i < 64 && walk.next(cancel); ++i) {
    }
    // Both stored forms are written from the same views, and what is written reads back.
    std::vector<std::uint8_t> older(format::encoded_size(trie));
    format::encode(trie, older);
    std::size_t unread = 0;
    (void)format::decode(older, cancel, unread);
    store::ContainerExtras extras;
    std::vector<std::uint8_t> container(store::container_size(trie, extras));
    store::write_container(trie, extras, container);
    (void)store::read_container_view(container, false, false);
  } catch (const InternalFault&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;  // a result past its budget: the documented outcome for a shape unchecked
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const store::FileBytes file = store::FileBytes::copy_of(std::span(data, size));
  const auto view = store::read_container_view(file.bytes(), false, false);
  if (!view) return 0;
  if (view->trie.child_transitions.size() > 64) return 0;  // see fuzz_read_index: cycles
  std::optional<store::ExternalIds> ids;
  if (!view->external_ids.empty()) {
    auto read = store::ExternalIds::read(view->external_ids, false);
    if (read) ids = *read;
  }
  (void)query_all(view->trie, ids);

  const auto checked = store::read_container_view(file.bytes(), false, true);
  if (!checked || !store::validate(checked->trie)) return 0;
  if (ids) {
    auto thorough = store::ExternalIds::read(checked->external_ids, true);
    if (!thorough || !store::check_names_every_video(*thorough, checked->trie)) return 0;
  }
  if (!query_all(checked->trie, ids)) std::abort();  // a checked index faulted
  return 0;
}

// The search-box queries of torrelm.Index: best-first completions and suggestions, videos with
// keyword arguments, and batches of each answered on every core. Arguments are converted with the
// lock held, the core runs without it, the named tuples are made with it again.
#include "search/search.hpp"

#include <nanobind/nanobind.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "native/convert.hpp"
#include "native/errors.hpp"
#include "native/index.hpp"
#include "native/parallel.hpp"
#include "prefix/matcher/lookup.hpp"
#include "search/highlight.hpp"
#include "search/typo_model.hpp"
#include "text/utf8.hpp"

namespace torrelm::native {
namespace {

constexpr const char* kComplete = "Index.complete()";
constexpr const char* kSuggest = "Index.suggest()";
constexpr const char* kVideos = "Index.videos()";
constexpr const char* kCompleteMany = "Index.complete_many()";
constexpr const char* kSuggestMany = "Index.suggest_many()";
constexpr const char* kVideosMany = "Index.videos_many()";
constexpr const char* kTypeahead = "Index.typeahead()";
// Texts of a batch read, or answers made into lists, between two looks for a pending signal with
// the lock held: a look costs a read of a flag, a text tens of nanoseconds to a microsecond.
constexpr std::size_t kSignalStride = 256;

// The named tuple classes of torrelm._results, looked up once.
PyTypeObject* result_type(const char* name) {
  nb::object type = nb::module_::import_("torrelm._results").attr(name);
  if (!PyType_Check(type.ptr()) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.ptr()), &PyTuple_Type)) {
    throw InternalFault(std::string("torrelm._results.") + name + " is not a tuple class",
                        SourceLocation::current());
  }
  return reinterpret_cast<PyTypeObject*>(type.release().ptr());  // kept for good
}

struct Types {
  PyTypeObject* completion = result_type("Completion");
  PyTypeObject* suggestion = result_type("Suggestion");
  PyTypeObject* video = result_type("Video");
  PyTypeObject* typeahead = result_type("Typeahead");
};

const Types& types() {
  static const Types kTypes;  // made with the lock held: the first call is made under it
  return kTypes;
}

PyObject* text(const std::string& term) {
  return made(PyUnicode_DecodeUTF8(term.data(), static_cast<Py_ssize_t>(term.size()), nullptr));
}

// A term as the results show it: its most searched spelling, where normalising merged several.
PyObject* shown(const Stored& stored, const search::Found& found) {
  if (stored.spellings) {
    if (const auto spelling = stored.spellings->of(found.node)) {
      return made(PyUnicode_DecodeUTF8(spelling->data(), static_cast<Py_ssize_t>(spelling->size()),
                                       nullptr));
    }
  }
  return text(found.term);
}

// What a query found, and for each answer the ranges of its shown text that match what was typed.
struct Marked {
  std::vector<search::Found> found;
  std::vector<search::Ranges> marks;
};

// The spelling a term is shown in: its most searched one, where normalising merged several.
std::string_view shown_text(const Stored& stored, const search::Found& found) {
  if (stored.spellings) {
    if (const auto spelling = stored.spellings->of(found.node)) return *spelling;
  }
  return found.term;
}

// `found` with the ranges of each shown text that match `typed`: the start of what is meant when
// `prefix`, else the whole of it.
Marked marked(const Stored& stored, std::string_view typed, std::vector<search::Found> found,
              bool prefix) {
  Marked out;
  const std::u32string query = text::decode_utf8(typed);
  out.marks.reserve(found.size());
  for (const search::Found& f : found) {
    const std::u32string term = text::decode_utf8(f.term);
    search::Ranges ranges = search::highlight(query, term, f.offset, prefix);
    const std::string_view spelling = shown_text(stored, f);
    if (spelling.data() != f.term.data()) {
      ranges = search::carry_over(ranges, term, text::decode_utf8(spelling));
    }
    out.marks.push_back(std::move(ranges));
  }
  out.found = std::move(found);
  return out;
}

// The ranges as Python has them: a tuple of (begin, end) tuples.
PyObject* ranges_tuple(const search::Ranges& ranges) {
  PyObject* tuple = made(PyTuple_New(static_cast<Py_ssize_t>(ranges.size())));
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) {
      Py_DECREF(tuple);
      throw nb::python_error();
    }
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), pair);
    for (const auto& [slot, value] : {std::pair{0, ranges[i].first}, {1, ranges[i].second}}) {
      PyObject* number = PyLong_FromUnsignedLong(value);
      if (number == nullptr) {
        Py_DECREF(tuple);
        throw nb::python_error();
      }
      PyTuple_SET_ITEM(pair, slot, number);
    }
  }
  return tuple;
}

// Sets the `highlight` attribute of a result tuple, which lives beside its fields so that the
// tuple stays what it was to those who compare or unpack it.
void set_highlight(PyObject* result, const search::Ranges& ranges) {
  static PyObject* const kName = PyUnicode_InternFromString("highlight");
  const nb::object value = nb::steal(ranges_tuple(ranges));
  if (kName == nullptr || PyObject_SetAttr(result, kName, value.ptr()) != 0) {
    throw nb::python_error();
  }
}

nb::list to_completions(const Stored& stored, const Marked& marked) {
  const std::vector<search::Found>& found = marked.found;
  auto list = nb::steal<nb::list>(made(PyList_New(static_cast<Py_ssize_t>(found.size()))));
  PyTypeObject* type = types().completion;
  for (std::size_t i = 0; i < found.size(); ++i) {
    PyObject* tuple = made(type->tp_alloc(type, 2));
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), tuple);
    PyTuple_SET_ITEM(tuple, 0, shown(stored, found[i]));
    PyTuple_SET_ITEM(tuple, 1, made(PyLong_FromUnsignedLongLong(found[i].count)));
    set_highlight(tuple, marked.marks[i]);
  }
  return list;
}

nb::list to_suggestions(const Stored& stored, const Marked& marked) {
  const std::vector<search::Found>& found = marked.found;
  auto list = nb::steal<nb::list>(made(PyList_New(static_cast<Py_ssize_t>(found.size()))));
  PyTypeObject* type = types().suggestion;
  for (std::size_t i = 0; i < found.size(); ++i) {
    PyObject* tuple = made(type->tp_alloc(type, 3));
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), tuple);
    PyTuple_SET_ITEM(tuple, 0, shown(stored, found[i]));
    PyTuple_SET_ITEM(tuple, 1, made(PyLong_FromUnsignedLong(found[i].distance)));
    PyTuple_SET_ITEM(tuple, 2, made(PyLong_FromUnsignedLongLong(found[i].count)));
    set_highlight(tuple, marked.marks[i]);
  }
  return list;
}

// `text` (UTF-8) as a JSON string, as a JSON encoder that leaves non-ASCII alone writes it.
void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  out += '"';
}

// Completions or suggestions as the service answers them: a JSON array of objects, written
// here rather than made into tuples and then dicts for an encoder, which costs the service more
// than the query.
void append_found_json(std::string& out, const Stored& stored, const Marked& marked,
                       bool distances) {
  out += '[';
  for (std::size_t i = 0; i < marked.found.size(); ++i) {
    const search::Found& f = marked.found[i];
    if (i > 0) out += ',';
    out += "{\"term\":";
    append_json_string(out, shown_text(stored, f));
    if (distances) {
      out += ",\"distance\":";
      out += std::to_string(f.distance);
    }
    out += ",\"count\":";
    out += std::to_string(f.count);
    out += ",\"highlight\":[";
    const search::Ranges& ranges = marked.marks[i];
    for (std::size_t r = 0; r < ranges.size(); ++r) {
      if (r > 0) out += ',';
      out += '[';
      out += std::to_string(ranges[r].first);
      out += ',';
      out += std::to_string(ranges[r].second);
      out += ']';
    }
    out += "]}";
  }
  out += ']';
}

nb::bytes found_json(const Stored& stored, const Marked& marked, bool distances) {
  std::string out;
  append_found_json(out, stored, marked, distances);
  return nb::bytes(out.data(), out.size());
}

// Videos as the service answers them: [{"id": ..., "share": ...}, ...], ids as the index was
// given them (text, or numbers for the site's 64-bit ids), shares as Python writes floats.
void append_videos_json(std::string& out, const Stored& stored,
                        const std::vector<ranking::RankedVideo>& videos) {
  char text[ranking::kMaxIdText];
  char number[32];
  out += '[';
  for (std::size_t i = 0; i < videos.size(); ++i) {
    if (i > 0) out += ',';
    out += "{\"id\":";
    const std::uint32_t position = videos[i].position;
    if (stored.external) {
      const store::ExternalIds& ids = *stored.external;
      const std::uint32_t place = checked_at(stored.trie.video_int_ids, position);
      switch (ids.kind()) {
        case store::ExternalKind::Text:
          append_json_string(out, ids.text(place));
          break;
        case store::ExternalKind::Signed:
          out += std::to_string(ids.signed_value(place));
          break;
        case store::ExternalKind::Unsigned:
          out += std::to_string(ids.unsigned_value(place));
          break;
      }
    } else {
      append_json_string(out, {text, ranking::id_text(stored.trie, position, text)});
    }
    out += ",\"share\":";
    const double share = videos[i].score;
    if (!std::isfinite(share)) {
      out += "null";
    } else {
      const std::string_view written(number,
                                     std::to_chars(number, number + sizeof number, share).ptr);
      out += written;
      if (written.find_first_of(".e") == std::string_view::npos) out += ".0";
    }
    out += '}';
  }
  out += ']';
}

// The largest count below every node, derived once per index (by whichever call comes first;
// one that is interrupted leaves it for the next).
const search::Counts& counts_of(const Stored& stored, Cancel& cancel) {
  return search_counts(stored, cancel);
}

// A bound on edits: a number, or "auto", a budget that grows with the text's length.
struct Budget {
  bool automatic;
  std::size_t edits;
  std::size_t of(std::string_view text, bool completing = false) const {
    if (!automatic) return edits;
    std::size_t length = 0;  // in code points: every byte that does not continue a character
    for (const char byte : text) length += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    return search::typo_budget(length, completing);
  }
  // For the queries that budget each word of the text: edits as given for the whole text, or
  // with "auto" each word's own.
  search::WordBudget words(std::string_view text, bool completing = false) const {
    if (!automatic) return {{}, edits};
    return search::word_budget(text::decode_utf8(text), completing);
  }
};

Budget to_budget(nb::handle value, Argument where) {
  if (PyUnicode_Check(value.ptr())) {
    if (to_text(value, where) == "auto") return {true, 0};
    PyErr_Format(PyExc_ValueError, "%s argument '%s' must be a number of edits or 'auto', not %R",
                 where.call, where.name, value.ptr());
    throw nb::python_error();
  }
  return {false, to_index(value, where)};
}

struct Options {
  Budget max_dist;
  std::size_t limit;
  prefix::Distance distance;
  search::Order order;
};

Options options(nb::handle max_dist, nb::handle limit, nb::handle distance, nb::handle order,
                const char* call) {
  return {to_budget(max_dist, {call, "max_dist"}), to_index(limit, {call, "limit"}),
          to_distance(distance, {call, "distance"}),
          to_choice<search::Order>(order, {call, "order"}, {"likely", search::Order::Likely},
                                   {"distance", search::Order::Distance})};
}

// The texts of a batch, as UTF-8 held by their str objects (kept alive by the list).
struct Texts {
  nb::object sequence;
  std::vector<nb::object> normalized;  // what the index's normaliser made of them, if it has one
  std::vector<std::string_view> views;
};

Texts texts_of(const Index& index, nb::handle texts, const char* call) {
  Texts out;
  if (PyUnicode_Check(texts.ptr())) {  // a sequence of str, but surely meant as one text
    PyErr_Format(PyExc_TypeError, "%s argument 'texts' must be a sequence of str, not a str", call);
    throw nb::python_error();
  }
  out.sequence = nb::steal(
      made(PySequence_Fast(texts.ptr(), (std::string(call) + " argument 'texts' must be a "
                                                             "sequence of str")
                                            .c_str())));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(out.sequence.ptr());
  PyObject** items = PySequence_Fast_ITEMS(out.sequence.ptr());
  out.views.reserve(static_cast<std::size_t>(n));
  out.normalized.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (static_cast<std::size_t>(i) % kSignalStride == 0 && PyErr_CheckSignals() != 0) {
      throw nb::python_error();
    }
    out.normalized.push_back(query_text(index, items[i], call, "texts"));
    out.views.push_back(to_text(out.normalized.back(), {call, "texts"}));
  }
  return out;
}

// The text of the term ending at `node`, spelled from the labels above it; nullopt where the
// nodes above do not lead up to the root (an index read unchecked).
std::optional<std::string> spelled(const Stored& stored, prefix::NodeId node, Cancel& cancel) {
  SearchAids& aids = *stored.aids;
  const prefix::TrieView& trie = stored.trie;
  std::call_once(aids.parents_once, [&] {
    std::vector<prefix::NodeId> parents(trie.node_count(), 0);
    for (std::size_t n = 0; n < parents.size(); ++n) {
      const prefix::ChildRange range = trie.children(static_cast<prefix::NodeId>(n));
      cancel.step(1 + (range.empty() ? 0 : range.end - range.begin));
      for (std::size_t p = range.begin; p < range.end; ++p) {
        const prefix::NodeId child = trie.child(p);
        if (child < parents.size()) parents[child] = static_cast<prefix::NodeId>(n);
      }
    }
    aids.parents = std::move(parents);
  });
  std::u32string labels;
  for (std::size_t steps = 0; node != 0; ++steps) {
    if (steps >= aids.parents.size()) return std::nullopt;
    labels.push_back(trie.label(node));
    node = aids.parents[node];
  }
  std::string out;
  for (auto it = labels.rbegin(); it != labels.rend(); ++it) text::append_utf8(out, *it);
  return out;
}

// The number of code points of UTF-8 `text`: every byte that does not continue a character.
std::uint32_t code_points(std::string_view text) {
  std::uint32_t length = 0;
  for (const char byte : text) length += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
  return length;
}

// What the searches of the index itself, and of its word starts, leave out: null for nothing.
const search::Blocked* of_index(const BlockList* blocked) {
  return blocked != nullptr && blocked->index ? &*blocked->index : nullptr;
}
const search::Blocked* of_word_starts(const BlockList* blocked) {
  return blocked != nullptr && blocked->word_starts ? &*blocked->word_starts : nullptr;
}

// complete() over the index and, where it was built with word starts, over those too: a term
// found either way once, where it ranks best. Edits apply to the terms from their start; a later
// word must start with the text as typed (an edit there would cost a second walk of the size of
// the first for little). The word starts give `limit` distinct terms, however many of their words
// start with the text: with the index's `limit`, that holds the best `limit` of both.
std::vector<search::Found> complete_all(const Stored& stored, const BlockList* blocked,
                                        std::string_view text, const search::WordBudget& budget,
                                        std::size_t limit, prefix::Distance distance,
                                        search::Order order, Cancel& cancel) {
  const std::size_t max_dist = budget.total;
  const search::Blocked* left_out = of_index(blocked);
  std::vector<search::Found> found = search::complete(
      walk_view(stored, cancel), counts_of(stored, cancel), text, max_dist, limit, cancel,
      completion_records(stored, cancel), distance, order, U'\0', &budget, left_out);
  if (!stored.word_starts || limit == 0) return found;
  const Stored& starts = *stored.word_starts;
  // A word-start index that does not match its index (read unchecked) names no term. The word
  // starts of a blocked term are passed by in their own walk already (of_word_starts()).
  const auto term_of = [&](std::string_view alias) -> std::optional<prefix::NodeId> {
    const std::optional<prefix::NodeId> node = word_start_node(alias);
    if (!node || *node >= stored.trie.node_count() || !stored.trie.terminal(*node) ||
        (left_out != nullptr && left_out->term(*node))) {
      return std::nullopt;
    }
    return node;
  };
  // Aliases come by count, equal counts in the order of their own texts, and one term may have
  // several: more are asked for until `limit` distinct terms are found and no alias left out can
  // tie with the last of them, which is rarely needed, so that the search keeps its cut.
  constexpr std::size_t kMost = std::numeric_limits<std::size_t>::max();
  std::vector<search::Found> more;
  for (std::size_t asked = limit;; asked = asked > kMost / 2 ? kMost : 2 * asked) {
    std::vector<search::Found> aliases =
        search::complete(walk_view(starts, cancel), counts_of(starts, cancel), text, 0, asked,
                         cancel, completion_records(starts, cancel), distance, order, U'\x1f',
                         nullptr, of_word_starts(blocked));
    more.clear();
    std::unordered_set<prefix::NodeId> distinct;
    for (search::Found& alias : aliases) {
      const std::optional<prefix::NodeId> node = term_of(alias.term);
      if (node && distinct.insert(*node).second) more.push_back(std::move(alias));
    }
    if (aliases.size() < asked || asked == kMost ||
        (more.size() >= limit && more[limit - 1].count > aliases.back().count)) {
      break;
    }
  }
  // Scored as the index's answers were: by likelihood where edits were allowed (no typo here).
  const bool likely = order == search::Order::Likely && max_dist > 0;
  for (search::Found& alias : more) {
    const prefix::NodeId node = *term_of(alias.term);
    std::optional<std::string> term = spelled(stored, node, cancel);
    if (!term) continue;
    const double score = likely ? std::log1p(static_cast<double>(alias.count)) : alias.score;
    // The alias spells the term from the word on, before its separator.
    const std::uint32_t tail =
        code_points(std::string_view(alias.term).substr(0, alias.term.rfind('\x1f')));
    const std::uint32_t whole = code_points(*term);
    found.push_back({std::move(*term), node, alias.count, alias.distance, score,
                     whole >= tail ? whole - tail : 0});
  }
  std::stable_sort(found.begin(), found.end(), [](const search::Found& a, const search::Found& b) {
    if (a.score != b.score) return a.score > b.score;
    if (a.distance != b.distance) return a.distance < b.distance;
    if (a.count != b.count) return a.count > b.count;
    return a.term < b.term;
  });
  std::unordered_set<prefix::NodeId> seen;
  std::erase_if(found, [&](const search::Found& f) { return !seen.insert(f.node).second; });
  if (found.size() > limit) found.resize(limit);
  return found;
}

// suggest() over the index, within the budget of each word where `budget` has several.
std::vector<search::Found> suggest_all(const Stored& stored, const BlockList* blocked,
                                       std::string_view text, const search::WordBudget& budget,
                                       std::size_t limit, prefix::Distance distance,
                                       search::Order order, Cancel& cancel) {
  return search::suggest(walk_view(stored, cancel), counts_of(stored, cancel), text, budget.total,
                         limit, cancel, distance, order, &budget, of_index(blocked));
}

nb::list complete(const Index& self, nb::handle prefix_arg, nb::handle limit_arg,
                  nb::handle max_dist_arg, nb::handle distance_arg, nb::handle order_arg) {
  return guarded([&] {
    const nb::object normalized = query_text(self, prefix_arg, kComplete, "prefix");
    const std::string_view prefix = to_text(normalized, {kComplete, "prefix"});
    const Options o = options(max_dist_arg, limit_arg, distance_arg, order_arg, kComplete);
    const Stored& stored = self.stored();
    return to_completions(
        stored, run_released([&](Cancel cancel) {
          return marked(stored, prefix,
                        complete_all(stored, self.blocked(), prefix, o.max_dist.words(prefix, true),
                                     o.limit, o.distance, o.order, cancel),
                        true);
        }));
  });
}

// complete() and suggest() with their default distance and order, as JSON (found_json()).
nb::bytes complete_json(const Index& self, nb::handle prefix_arg, nb::handle limit_arg,
                        nb::handle max_dist_arg) {
  return guarded([&] {
    const nb::object normalized = query_text(self, prefix_arg, kComplete, "prefix");
    const std::string_view prefix = to_text(normalized, {kComplete, "prefix"});
    const search::WordBudget budget =
        to_budget(max_dist_arg, {kComplete, "max_dist"}).words(prefix, true);
    const std::size_t limit = to_index(limit_arg, {kComplete, "limit"});
    const Stored& stored = self.stored();
    return found_json(stored, run_released([&](Cancel cancel) {
                        return marked(
                            stored, prefix,
                            complete_all(stored, self.blocked(), prefix, budget, limit,
                                         prefix::Distance::Osa, search::Order::Likely, cancel),
                            true);
                      }),
                      false);
  });
}

nb::bytes suggest_json(const Index& self, nb::handle text_arg, nb::handle limit_arg,
                       nb::handle max_dist_arg) {
  return guarded([&] {
    const nb::object normalized = query_text(self, text_arg, kSuggest, "text");
    const std::string_view query = to_text(normalized, {kSuggest, "text"});
    const search::WordBudget budget = to_budget(max_dist_arg, {kSuggest, "max_dist"}).words(query);
    const std::size_t limit = to_index(limit_arg, {kSuggest, "limit"});
    const Stored& stored = self.stored();
    return found_json(stored, run_released([&](Cancel cancel) {
                        return marked(
                            stored, query,
                            suggest_all(stored, self.blocked(), query, budget, limit,
                                        prefix::Distance::Osa, search::Order::Likely, cancel),
                            false);
                      }),
                      true);
  });
}

nb::list suggest(const Index& self, nb::handle text_arg, nb::handle max_dist_arg,
                 nb::handle limit_arg, nb::handle distance_arg, nb::handle order_arg) {
  return guarded([&] {
    const nb::object normalized = query_text(self, text_arg, kSuggest, "text");
    const std::string_view query = to_text(normalized, {kSuggest, "text"});
    const Options o = options(max_dist_arg, limit_arg, distance_arg, order_arg, kSuggest);
    const Stored& stored = self.stored();
    return to_suggestions(stored, run_released([&](Cancel cancel) {
                            return marked(
                                stored, query,
                                suggest_all(stored, self.blocked(), query, o.max_dist.words(query),
                                            o.limit, o.distance, o.order, cancel),
                                false);
                          }));
  });
}

nb::list videos(const Index& self, nb::handle text_arg, nb::handle max_dist_arg,
                nb::handle limit_arg, nb::handle prefix_nodes_arg, nb::handle distance_arg) {
  return guarded([&] {
    const nb::object normalized = query_text(self, text_arg, kVideos, "text");
    const std::string_view query = to_text(normalized, {kVideos, "text"});
    const std::size_t max_dist = to_budget(max_dist_arg, {kVideos, "max_dist"}).of(query);
    const std::optional<std::size_t> limit = to_optional_index(limit_arg, {kVideos, "limit"});
    const ranking::PrefixNodes prefix_nodes =
        to_prefix_nodes(prefix_nodes_arg, {kVideos, "include_prefix_nodes"});
    const prefix::Distance distance = to_distance(distance_arg, {kVideos, "distance"});
    const Stored& stored = self.stored();
    const auto ranked = run_released([&](Cancel cancel) {
      return ranking::rank_videos(walk_view(stored, cancel), query, max_dist, limit, prefix_nodes,
                                  cancel, distance);
    });
    return to_video_list(stored, ranked, types().video);
  });
}

// What typeahead() answers, before it is made into Python objects or JSON.
struct TypeaheadFound {
  Marked completions;
  Marked corrections;
  std::vector<ranking::RankedVideo> videos;
};

// Where leaving out slips of better completions (search::without_slips) left fewer than the
// limit, a few more are asked for to fill it.
std::size_t with_room_for_slips(std::size_t limit) {
  constexpr std::size_t kRoom = 10;
  return limit > std::numeric_limits<std::size_t>::max() - kRoom ? limit
                                                                 : limit + std::min(limit, kRoom);
}

// typeahead()'s arguments read, and what it answers found.
TypeaheadFound typeahead_found(const Index& self, nb::handle text_arg, nb::handle limit_arg,
                               nb::handle videos_arg) {
  const nb::object normalized = query_text(self, text_arg, kTypeahead, "text");
  const std::string_view text = to_text(normalized, {kTypeahead, "text"});
  const std::size_t limit = to_index(limit_arg, {kTypeahead, "limit"});
  const std::size_t shown = to_index(videos_arg, {kTypeahead, "videos"});
  const Stored& stored = self.stored();
  const BlockList* blocked = self.blocked();
  const search::Blocked* left_out = of_index(blocked);
  const Budget automatic{true, 0};
  TypeaheadFound out;
  run_released([&](Cancel cancel) {
    const prefix::TrieView trie = walk_view(stored, cancel);
    const search::WordBudget budget = automatic.words(text, true);
    const auto completed = [&](std::size_t asked) {
      return complete_all(stored, blocked, text, budget, asked, prefix::Distance::Osa,
                          search::Order::Likely, cancel);
    };
    std::vector<search::Found> found = completed(limit);
    std::vector<search::Found> kept = search::without_slips(found, limit);
    if (kept.size() < found.size() && found.size() == limit) {
      kept = search::without_slips(completed(with_room_for_slips(limit)), limit);
    }
    // A term typed in full is what the visitor may be about to search: it comes first unless
    // the error model takes it for a slip of a far likelier one (search::kTypedMargin), or it
    // is one of a completion shown.
    // A blocked term typed in full is not offered.
    const auto typed = [&] {
      const std::optional<prefix::NodeId> node = prefix::find_term(trie, text);
      return node.has_value() && (left_out == nullptr || !left_out->term(*node));
    };
    if (limit > 0 && !text.empty() &&
        (kept.empty() || kept.front().term != text || kept.front().distance != 0) && typed()) {
      const search::WordBudget whole = automatic.words(text);
      std::vector<search::Found> first =
          search::suggest(trie, counts_of(stored, cancel), text, whole.total, 1, cancel,
                          prefix::Distance::Osa, search::Order::Likely, &whole, left_out);
      if (!first.empty() && first.front().distance == 0 && first.front().term == text) {
        std::erase_if(kept, [&](const search::Found& f) { return f.node == first.front().node; });
        kept.insert(kept.begin(), std::move(first.front()));
        // Unless it is itself a slip of a completion shown.
        kept = search::without_slips(std::move(kept), limit);
      }
    }
    out.completions = marked(stored, text, std::move(kept), true);
    // Nothing completes within the budget: what the whole text most likely was meant as, as
    // suggest(max_dist="auto") finds it (a slip in each word, short ones too now that they are
    // complete), else within the edits that budget allows the text as one word (two from 7 code
    // points, wherever they fall), so that slips never leave the box empty while something is
    // near.
    if (out.completions.found.empty() && limit > 0) {
      const search::WordBudget whole = automatic.words(text);
      std::vector<search::Found> corrections =
          search::suggest(trie, counts_of(stored, cancel), text, whole.total, limit, cancel,
                          prefix::Distance::Osa, search::Order::Likely, &whole, left_out);
      if (corrections.empty() && whole.per_word()) {
        corrections = search::suggest(trie, counts_of(stored, cancel), text, automatic.of(text),
                                      limit, cancel, prefix::Distance::Osa, search::Order::Likely,
                                      nullptr, left_out);
      }
      out.corrections = marked(stored, text, std::move(corrections), false);
    }
    if (shown == 0) return;
    // The videos below what was typed; where nothing starts so, those of the likeliest answer,
    // the query the slip was most likely meant for. Where every term that starts so is blocked,
    // the videos below would be theirs: those of the first answer shown come instead.
    const bool starts =
        !search::complete(trie, counts_of(stored, cancel), text, 0, 1, cancel,
                          completion_records(stored, cancel), prefix::Distance::Levenshtein,
                          search::Order::Distance, U'\0', nullptr, left_out)
             .empty();
    if (starts) {
      out.videos =
          ranking::rank_videos(trie, text, 0, shown, ranking::PrefixNodes::Fallback, cancel);
      return;
    }
    const Marked& answers = out.completions.found.empty() ? out.corrections : out.completions;
    if (!answers.found.empty()) {
      out.videos = ranking::rank_videos(trie, answers.found.front().term, 0, shown,
                                        ranking::PrefixNodes::Fallback, cancel);
    }
  });
  return out;
}

// The completions a search box offers for `text` and the videos it shows, in one call: both
// within the edits the text's length allows, completions in the likely order, swaps counting as
// one edit.
nb::object typeahead(const Index& self, nb::handle text_arg, nb::handle limit_arg,
                     nb::handle videos_arg) {
  return guarded([&] {
    const TypeaheadFound found = typeahead_found(self, text_arg, limit_arg, videos_arg);
    const Stored& stored = self.stored();
    nb::list completions = to_completions(stored, found.completions);
    nb::list videos = to_video_list(stored, found.videos, types().video);
    nb::list corrections = to_suggestions(stored, found.corrections);
    PyTypeObject* type = types().typeahead;
    PyObject* tuple = made(type->tp_alloc(type, 3));
    PyTuple_SET_ITEM(tuple, 0, completions.release().ptr());
    PyTuple_SET_ITEM(tuple, 1, videos.release().ptr());
    PyTuple_SET_ITEM(tuple, 2, corrections.release().ptr());
    return nb::steal(tuple);
  });
}

// typeahead() as the JSON object the service answers, less its "q".
nb::bytes typeahead_json(const Index& self, nb::handle text_arg, nb::handle limit_arg,
                         nb::handle videos_arg) {
  return guarded([&] {
    const TypeaheadFound found = typeahead_found(self, text_arg, limit_arg, videos_arg);
    const Stored& stored = self.stored();
    std::string out = "{\"completions\":";
    append_found_json(out, stored, found.completions, false);
    out += ",\"corrections\":";
    append_found_json(out, stored, found.corrections, true);
    out += ",\"videos\":";
    append_videos_json(out, stored, found.videos);
    out += '}';
    return nb::bytes(out.data(), out.size());
  });
}

// videos() with its defaults but limit and max_dist, as JSON (append_videos_json()).
nb::bytes videos_json(const Index& self, nb::handle text_arg, nb::handle limit_arg,
                      nb::handle max_dist_arg) {
  return guarded([&] {
    const nb::object normalized = query_text(self, text_arg, kVideos, "text");
    const std::string_view query = to_text(normalized, {kVideos, "text"});
    const std::size_t max_dist = to_budget(max_dist_arg, {kVideos, "max_dist"}).of(query);
    const std::size_t limit = to_index(limit_arg, {kVideos, "limit"});
    const ranking::PrefixNodes prefix_nodes =
        to_prefix_nodes(nb::none(), {kVideos, "include_prefix_nodes"});
    const Stored& stored = self.stored();
    const auto ranked = run_released([&](Cancel cancel) {
      return ranking::rank_videos(walk_view(stored, cancel), query, max_dist, limit, prefix_nodes,
                                  cancel, prefix::Distance::Osa);
    });
    std::string out;
    append_videos_json(out, stored, ranked);
    return nb::bytes(out.data(), out.size());
  });
}

// Frees the answers of a stopped batch on a thread of its own: millions of them take a few hundred
// milliseconds to free, which would come between Ctrl-C and the KeyboardInterrupt. They hold no
// Python object. Where no thread is to be had, they are freed here.
template <class Result>
void discard(std::vector<Result> results) {
  try {
    std::thread([dropped = std::move(results)]() mutable { dropped = {}; }).detach();
  } catch (const std::system_error&) {
  }
}

// Answers every text of a batch on every core, then makes the lists in input order.
template <class Result, class Answer, class Convert>
nb::list batch(const Index& index, nb::handle texts_arg, const char* call, Answer&& answer,
               Convert&& convert) {
  const Texts texts = texts_of(index, texts_arg, call);
  std::vector<Result> results(texts.views.size());
  try {
    run_released([&](Cancel cancel) {
      run_parallel(texts.views.size(), cancel,
                   [&](std::size_t i, Cancel& mine) { results[i] = answer(texts.views[i], mine); });
    });
  } catch (...) {
    discard(std::move(results));
    throw;
  }
  // Filled in order: a list stopped short is cut to what it holds before anything else sees it.
  auto list = nb::steal<nb::list>(made(PyList_New(0)));
  try {
    for (std::size_t i = 0; i < results.size(); ++i) {
      // Making the lists of a large batch takes seconds of its own, with the lock held: Ctrl-C
      // is looked for here too, as the work that found them did.
      if (i % kSignalStride == 0 && PyErr_CheckSignals() != 0) throw nb::python_error();
      nb::list one = convert(results[i]);
      if (PyList_Append(list.ptr(), one.ptr()) != 0) throw nb::python_error();
    }
  } catch (const nb::python_error&) {
    // The exception is held by the python_error, so Python can be called meanwhile.
    discard(std::move(results));
    if (PyList_GET_SIZE(list.ptr()) > static_cast<Py_ssize_t>(kSignalStride)) {
      try {
        nb::module_::import_("torrelm._discard").attr("discard_later")(list);
        list.reset();
      } catch (const nb::python_error&) {
        // Then it is freed here, as any list: the first exception is the one to raise.
      }
    }
    throw;
  }
  return list;
}

nb::list complete_many(const Index& self, nb::handle texts, nb::handle limit_arg,
                       nb::handle max_dist_arg, nb::handle distance_arg, nb::handle order_arg) {
  return guarded([&] {
    const Options o = options(max_dist_arg, limit_arg, distance_arg, order_arg, kCompleteMany);
    const Stored& stored = self.stored();
    // What the searches derive on first use, made once here rather than raced for by threads.
    run_released([&](Cancel cancel) {
      for (const Stored* one : {&stored, stored.word_starts.get()}) {
        if (one == nullptr) continue;
        (void)counts_of(*one, cancel);
        (void)completion_records(*one, cancel);
      }
    });
    return batch<Marked>(
        self, texts, kCompleteMany,
        [&](std::string_view prefix, Cancel& cancel) {
          return marked(stored, prefix,
                        complete_all(stored, self.blocked(), prefix, o.max_dist.words(prefix, true),
                                     o.limit, o.distance, o.order, cancel),
                        true);
        },
        [&](const Marked& found) { return to_completions(stored, found); });
  });
}

nb::list suggest_many(const Index& self, nb::handle texts, nb::handle max_dist_arg,
                      nb::handle limit_arg, nb::handle distance_arg, nb::handle order_arg) {
  return guarded([&] {
    const Options o = options(max_dist_arg, limit_arg, distance_arg, order_arg, kSuggestMany);
    const Stored& stored = self.stored();
    const prefix::TrieView trie = run_released([&](Cancel cancel) {
      (void)counts_of(stored, cancel);
      return walk_view(stored, cancel);
    });
    const search::Counts& counts = stored.aids->counts;
    return batch<Marked>(
        self, texts, kSuggestMany,
        [&](std::string_view query, Cancel& cancel) {
          const search::WordBudget budget = o.max_dist.words(query);
          return marked(stored, query,
                        search::suggest(trie, counts, query, budget.total, o.limit, cancel,
                                        o.distance, o.order, &budget, of_index(self.blocked())),
                        false);
        },
        [&](const Marked& found) { return to_suggestions(stored, found); });
  });
}

nb::list videos_many(const Index& self, nb::handle texts, nb::handle max_dist_arg,
                     nb::handle limit_arg, nb::handle prefix_nodes_arg, nb::handle distance_arg) {
  return guarded([&] {
    const Budget max_dist = to_budget(max_dist_arg, {kVideosMany, "max_dist"});
    const std::optional<std::size_t> limit = to_optional_index(limit_arg, {kVideosMany, "limit"});
    const ranking::PrefixNodes prefix_nodes =
        to_prefix_nodes(prefix_nodes_arg, {kVideosMany, "include_prefix_nodes"});
    const prefix::Distance distance = to_distance(distance_arg, {kVideosMany, "distance"});
    const Stored& stored = self.stored();
    const prefix::TrieView trie =
        run_released([&](Cancel cancel) { return walk_view(stored, cancel); });
    return batch<std::vector<ranking::RankedVideo>>(
        self, texts, kVideosMany,
        [&](std::string_view query, Cancel& cancel) {
          return ranking::rank_videos(trie, query, max_dist.of(query), limit, prefix_nodes, cancel,
                                      distance);
        },
        [&](const std::vector<ranking::RankedVideo>& ranked) {
          return to_video_list(stored, ranked, types().video);
        });
  });
}

constexpr const char* kCompleteDoc =
    "The limit terms that start with prefix, most searched first (ties in code point order), as "
    "Completion(term, count). With max_dist=d, the terms below every prefix within d edits of "
    "prefix, the likeliest first (ln(1 + count) less 7 per unit of the typo's weighted cost), "
    "or with order='distance' by (distance, count). Exact, found best first: the terms below "
    "the prefix are never all collected. An edit is an insertion, a deletion, a substitution "
    "or, with distance='osa' (the default), a swap of two neighbouring characters; "
    "distance='levenshtein' counts a swap as two edits, as fuzzy_match does. max_dist='auto' "
    "allows a prefix of one word no edits below 4 characters and one from 4 (a prefix being "
    "typed), and a text of several words one edit in each word of 3 characters or more and 2 "
    "in all, the last word matched as a prefix; a space missing or added between words is one "
    "edit of the whole. Each Completion's highlight gives the ranges of its term that match "
    "what was typed.";
constexpr const char* kSuggestDoc =
    "The limit likeliest terms within max_dist edits of text (ln(1 + count) less 7 per unit of "
    "the typo's weighted cost), as Suggestion(term, distance, count). With order='distance', "
    "best first by smaller distance, then higher count, then code point order: the same list as "
    "sorting every match of fuzzy_match(text, max_dist) so and keeping the first limit, where "
    "distance='levenshtein'; with distance='osa' (the default) a swap of two neighbouring "
    "characters is one edit. Where text is itself a term, only the terms likelier than it by "
    "more than 5 come before it, and nothing after. max_dist='auto' allows one word no edits "
    "below 4 characters, one from 4, two from 7, and a text of several words one edit in each "
    "word of 2 characters or more and 3 in all; a space missing or added between words is one "
    "edit of the whole. Each Suggestion's highlight gives the ranges of its term that match "
    "what was typed.";
constexpr const char* kVideosDoc =
    "fuzzy_match_video(text, max_dist, limit, include_prefix_nodes) as Video(id, share) named "
    "tuples, ids as the index was given them; with distance='osa' (the default) the nodes are "
    "chosen counting a swap of two neighbouring characters as one edit.";

constexpr const char* kBlocked = "Index.blocked()";

// The str items of an iterable, as given and as the index folds them. A str alone is refused:
// iterated it would block its letters.
void read_entries(const Index& index, nb::handle entries, const char* call, const char* name,
                  std::vector<std::string>& given, std::vector<std::string>& folded) {
  if (PyUnicode_Check(entries.ptr())) {
    PyErr_Format(PyExc_TypeError, "%s argument '%s' must be an iterable of str, not a str", call,
                 name);
    throw nb::python_error();
  }
  const nb::object iterator = nb::steal(PyObject_GetIter(entries.ptr()));
  if (!iterator.is_valid()) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s argument '%s' must be an iterable of str, not %s", call, name,
                 Py_TYPE(entries.ptr())->tp_name);
    throw nb::python_error();
  }
  while (true) {
    const nb::object item = nb::steal(PyIter_Next(iterator.ptr()));
    if (!item.is_valid()) {
      if (PyErr_Occurred() != nullptr) throw nb::python_error();
      break;
    }
    if (given.size() % kSignalStride == 0 && PyErr_CheckSignals() != 0) throw nb::python_error();
    given.emplace_back(to_text(item, {call, name}));
    const nb::object text = query_text(index, item, call, name);
    folded.emplace_back(to_text(text, {call, name}));
  }
}

nb::object blocked(const Index& self, nb::handle terms_arg, nb::handle words_arg) {
  return guarded([&] {
    Index index(self.shared());
    if (self.normalizer().is_valid()) index.set_normalizer(nb::borrow(self.normalizer()));
    index.set_blocked(block_list(self, terms_arg, words_arg, kBlocked));
    return nb::cast(std::move(index), nb::rv_policy::move);
  });
}

nb::tuple entries_tuple(const std::vector<std::string>& entries) {
  auto tuple = nb::steal<nb::tuple>(made(PyTuple_New(static_cast<Py_ssize_t>(entries.size()))));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), text(entries[i]));
  }
  return tuple;
}

constexpr const char* kBlockedDoc =
    "A new Index over the same data (nothing is copied) whose complete(), suggest(), "
    "typeahead(), their batches and the service's answers never offer a term of terms, nor "
    "one that holds one of words as whole words between spaces ('cat' takes 'my cat videos', "
    "not 'cats'; 'cat videos' takes 'funny cat videos'). Both are folded as the index folds "
    "queries. Each answer is the one the index gives with those terms taken out: the next best "
    "fill their places, so that no fewer come while more are left. A suggest() whose text is a "
    "blocked term still answers only what is likelier than it by the margin, less the term. "
    "Called on a blocked index, the new list replaces the old one; with both empty, the index "
    "answers as the one it was made from. Made in one pass over the index (some 70 ms for "
    "100,000 terms with word starts), the index it came from unchanged. videos(), fuzzy_match(), "
    "fuzzy_match_video(), len(), iter() and `in` still see every term, and typeahead()'s "
    "videos are those of what was typed while an unblocked term starts with it. Pickling keeps "
    "the list; save() and to_bytes() write the index alone.";

}  // namespace

prefix::TrieView walk_view(const Stored& stored, Cancel& cancel) {
  return stored.walk_table->attach(stored.trie, cancel);
}

const search::CompletionRecords* completion_records(const Stored& stored, Cancel& cancel) {
  const prefix::TrieView trie = walk_view(stored, cancel);
  if (trie.walk_table == nullptr) return nullptr;
  const search::Counts& counts = search_counts(stored, cancel);
  SearchAids& aids = *stored.aids;
  std::call_once(aids.records_once,
                 [&] { aids.records.emplace(*trie.walk_table, counts, cancel); });
  return aids.records ? &*aids.records : nullptr;
}

const search::Counts& search_counts(const Stored& stored, Cancel& cancel) {
  SearchAids& aids = *stored.aids;
  std::call_once(aids.once, [&] { aids.counts = search::count_terms(stored.trie, cancel); });
  return aids.counts;
}

std::shared_ptr<const BlockList> block_list(const Index& index, nb::handle terms, nb::handle words,
                                            const char* call) {
  auto list = std::make_shared<BlockList>();
  std::vector<std::string> folded_terms;
  std::vector<std::string> folded_words;
  read_entries(index, terms, call, "terms", list->terms, folded_terms);
  read_entries(index, words, call, "words", list->words, folded_words);
  if (list->terms.empty() && list->words.empty()) return nullptr;
  // A word that folds to nothing would take terms with two spaces in a row, or none.
  std::erase_if(folded_words, [](const std::string& word) { return word.empty(); });
  const Stored& stored = index.stored();
  run_released([&](Cancel cancel) {
    const prefix::TrieView trie = walk_view(stored, cancel);
    std::vector<prefix::NodeId> nodes = search::terms_with_words(trie, folded_words, cancel);
    for (const std::string& term : folded_terms) {
      cancel.step();
      if (const auto node = prefix::find_term(trie, term)) nodes.push_back(*node);
    }
    list->index.emplace(trie, counts_of(stored, cancel), nodes, cancel);
    if (list->index->size() == 0) {
      list->index.reset();
      return;
    }
    if (!stored.word_starts) return;
    // The word starts of a blocked term are blocked with it: each names its term's node.
    const Stored& starts = *stored.word_starts;
    const prefix::TrieView aliases = walk_view(starts, cancel);
    std::vector<prefix::NodeId> of_blocked;
    prefix::TermWalk walk(aliases);
    while (const std::optional<prefix::NodeId> alias = walk.next(cancel)) {
      const std::optional<prefix::NodeId> node = word_start_node(walk.term());
      if (node && list->index->term(*node)) of_blocked.push_back(*alias);
    }
    list->word_starts.emplace(aliases, counts_of(starts, cancel), of_blocked, cancel);
    if (list->word_starts->size() == 0) list->word_starts.reset();
  });
  return list;
}

// The typo model's cost, for tests that rank brute force the way the queries do.
double typo_cost(nb::handle typed_arg, nb::handle meant_arg) {
  return guarded([&] {
    const std::u32string typed = text::decode_utf8(to_text(typed_arg, {"_typo_cost()", "typed"}));
    const std::u32string meant = text::decode_utf8(to_text(meant_arg, {"_typo_cost()", "meant"}));
    return search::typo_cost(typed, meant, search::default_typo_model()) *
           search::default_typo_model().per_edit;
  });
}

void register_index_search(nb::class_<Index>& cls) {
  cls.def("complete", &complete, nb::arg("prefix"), nb::kw_only(), nb::arg("limit") = 10,
          nb::arg("max_dist") = 0, nb::arg("distance") = "osa", nb::arg("order") = "likely",
          nb::sig("def complete(self, prefix: str, *, limit: typing.SupportsIndex = 10, "
                  "max_dist: typing.SupportsIndex | typing.Literal['auto'] = 0, "
                  "distance: typing.Literal['osa', 'levenshtein'] = 'osa', "
                  "order: typing.Literal['likely', 'distance'] = 'likely') "
                  "-> list[torrelm._results.Completion]"),
          kCompleteDoc)
      .def("suggest", &suggest, nb::arg("text"), nb::kw_only(), nb::arg("max_dist") = 2,
           nb::arg("limit") = 10, nb::arg("distance") = "osa", nb::arg("order") = "likely",
           nb::sig("def suggest(self, text: str, *, "
                   "max_dist: typing.SupportsIndex | typing.Literal['auto'] = 2, "
                   "limit: typing.SupportsIndex = 10, "
                   "distance: typing.Literal['osa', 'levenshtein'] = 'osa', "
                   "order: typing.Literal['likely', 'distance'] = 'likely') "
                   "-> list[torrelm._results.Suggestion]"),
           kSuggestDoc)
      .def("videos", &videos, nb::arg("text"), nb::kw_only(), nb::arg("max_dist") = 1,
           nb::arg("limit").none() = 10, nb::arg("include_prefix_nodes") = nb::none(),
           nb::arg("distance") = "osa",
           nb::sig("def videos(self, text: str, *, "
                   "max_dist: typing.SupportsIndex | typing.Literal['auto'] = 1, "
                   "limit: typing.SupportsIndex | None = 10, "
                   "include_prefix_nodes: bool | numpy.bool_ | None = None, "
                   "distance: typing.Literal['osa', 'levenshtein'] = 'osa') "
                   "-> list[torrelm._results.Video]"),
           kVideosDoc)
      .def("typeahead", &typeahead, nb::arg("text"), nb::kw_only(), nb::arg("limit") = 10,
           nb::arg("videos") = 10,
           nb::sig("def typeahead(self, text: str, *, limit: typing.SupportsIndex = 10, "
                   "videos: typing.SupportsIndex = 10) -> torrelm._results.Typeahead"),
           "What a search box shows as text is typed, in one call: Typeahead(completions, "
           "videos, corrections). completions: complete(text, limit=limit, max_dist='auto') in "
           "the likely order, so that a slip in each word still offers what was meant, less "
           "any of 5 code points or more within one edit of another searched at least 50 times "
           "as often, and text itself first where it is a term that suggest() puts first; "
           "corrections, only where no completion is within that budget: suggest(text, "
           "max_dist='auto', limit=limit), or where that finds nothing, suggest() within the "
           "edits 'auto' allows the text as one word; videos: videos(text, max_dist=0, "
           "limit=videos), or where nothing starts with text, the videos of the first completion "
           "or correction.")
      .def("_complete_json", &complete_json, nb::arg("prefix"), nb::arg("limit"),
           nb::arg("max_dist"),
           nb::sig("def _complete_json(self, prefix: str, limit: typing.SupportsIndex, "
                   "max_dist: typing.SupportsIndex | typing.Literal['auto']) -> bytes"),
           "complete(prefix, limit=limit, max_dist=max_dist) as the JSON array the service "
           "answers: [{\"term\": ..., \"count\": ...}, ...].")
      .def("_suggest_json", &suggest_json, nb::arg("text"), nb::arg("limit"), nb::arg("max_dist"),
           nb::sig("def _suggest_json(self, text: str, limit: typing.SupportsIndex, "
                   "max_dist: typing.SupportsIndex | typing.Literal['auto']) -> bytes"),
           "suggest(text, max_dist=max_dist, limit=limit) as the JSON array the service answers: "
           "[{\"term\": ..., \"distance\": ..., \"count\": ...}, ...].")
      .def("_videos_json", &videos_json, nb::arg("text"), nb::arg("limit"), nb::arg("max_dist"),
           nb::sig("def _videos_json(self, text: str, limit: typing.SupportsIndex, "
                   "max_dist: typing.SupportsIndex | typing.Literal['auto']) -> bytes"),
           "videos(text, max_dist=max_dist, limit=limit) as the JSON array the service answers: "
           "[{\"id\": ..., \"share\": ...}, ...].")
      .def("_typeahead_json", &typeahead_json, nb::arg("text"), nb::arg("limit"), nb::arg("videos"),
           nb::sig("def _typeahead_json(self, text: str, limit: typing.SupportsIndex, "
                   "videos: typing.SupportsIndex) -> bytes"),
           "typeahead(text, limit=limit, videos=videos) as the JSON object the service answers: "
           "{\"completions\": [...], \"videos\": [...]}.")
      .def("complete_many", &complete_many, nb::arg("texts"), nb::kw_only(), nb::arg("limit") = 10,
           nb::arg("max_dist") = 0, nb::arg("distance") = "osa", nb::arg("order") = "likely",
           nb::sig("def complete_many(self, texts: collections.abc.Sequence[str], *, "
                   "limit: typing.SupportsIndex = 10, "
                   "max_dist: typing.SupportsIndex | typing.Literal['auto'] = 0, "
                   "distance: typing.Literal['osa', 'levenshtein'] = 'osa', "
                   "order: typing.Literal['likely', 'distance'] = 'likely') "
                   "-> list[list[torrelm._results.Completion]]"),
           "complete() for every text, on every core, in input order.")
      .def("suggest_many", &suggest_many, nb::arg("texts"), nb::kw_only(), nb::arg("max_dist") = 2,
           nb::arg("limit") = 10, nb::arg("distance") = "osa", nb::arg("order") = "likely",
           nb::sig("def suggest_many(self, texts: collections.abc.Sequence[str], *, "
                   "max_dist: typing.SupportsIndex | typing.Literal['auto'] = 2, "
                   "limit: typing.SupportsIndex = 10, "
                   "distance: typing.Literal['osa', 'levenshtein'] = 'osa', "
                   "order: typing.Literal['likely', 'distance'] = 'likely') "
                   "-> list[list[torrelm._results.Suggestion]]"),
           "suggest() for every text, on every core, in input order.")
      .def("videos_many", &videos_many, nb::arg("texts"), nb::kw_only(), nb::arg("max_dist") = 1,
           nb::arg("limit").none() = 10, nb::arg("include_prefix_nodes") = nb::none(),
           nb::arg("distance") = "osa",
           nb::sig("def videos_many(self, texts: collections.abc.Sequence[str], *, "
                   "max_dist: typing.SupportsIndex | typing.Literal['auto'] = 1, "
                   "limit: typing.SupportsIndex | None = 10, "
                   "include_prefix_nodes: bool | numpy.bool_ | None = None, "
                   "distance: typing.Literal['osa', 'levenshtein'] = 'osa') "
                   "-> list[list[torrelm._results.Video]]"),
           "videos() for every text, on every core, in input order.")
      .def("blocked", &blocked, nb::arg("terms") = nb::tuple(), nb::arg("words") = nb::tuple(),
           nb::sig("def blocked(self, terms: collections.abc.Iterable[str] = (), "
                   "words: collections.abc.Iterable[str] = ()) -> Index"),
           kBlockedDoc)
      .def_prop_ro(
          "blocked_terms",
          [](const Index& self) {
            return guarded([&] {
              return self.blocked() ? entries_tuple(self.blocked()->terms) : nb::tuple();
            });
          },
          nb::sig("def blocked_terms(self) -> tuple[str, ...]"),
          "The terms given to blocked() for this index, as given: () when it blocks none.")
      .def_prop_ro(
          "blocked_words",
          [](const Index& self) {
            return guarded([&] {
              return self.blocked() ? entries_tuple(self.blocked()->words) : nb::tuple();
            });
          },
          nb::sig("def blocked_words(self) -> tuple[str, ...]"),
          "The words given to blocked() for this index, as given: () when it blocks none.");
}

void register_search_tools(nb::module_& m) {
  m.def("_typo_cost", &typo_cost, nb::arg("typed"), nb::arg("meant"),
        nb::sig("def _typo_cost(typed: str, meant: str) -> float"),
        "What the likely order takes off ln(1 + count) for a term `meant` when `typed` was typed "
        "(texts of any length).");
}

}  // namespace torrelm::native

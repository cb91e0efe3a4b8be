#include "ingest/click_table.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "ingest/hash_maps.hpp"
#include "ingest/layout.hpp"
#include "payload/payload.hpp"
#include "store/external_ids.hpp"
#include "text/unicode.hpp"

namespace torrelm::ingest {
namespace {

using payload::kCountMax;
using prefix::IdMode;
using prefix::VideoUuid;

// Term ids and video positions stay below this, which keeps them, plus one, in 32 bits, and the
// maps that find them within 2**32 slots.
constexpr std::size_t kMaxIds = std::size_t{1} << 31;

std::string at_row(std::uint64_t row) { return "row " + std::to_string(row) + ": "; }

// `term` (valid UTF-8) between quotes, with the characters that would hide in a message escaped.
std::string quoted(std::string_view term) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "'";
  out.reserve(term.size() + 2);
  for (const char ch : term) {
    const auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '\\':
        out += "\\\\";
        break;
      case '\'':
        out += "\\'";
        break;
      case '\0':
        out += "\\0";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out += "\\x";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += ch;
        }
    }
  }
  out += '\'';
  return out;
}

// An integer id as the table keeps it: its 64 bits, and whether they are those of a negative
// value (an int64) or not (a uint64). No table holds both a negative value and one above 2**63-1,
// so the bits alone tell the ids of one table apart.
struct IntId {
  std::uint64_t bits;
  bool negative;

  bool high() const noexcept { return !negative && bits > 0x7FFF'FFFF'FFFF'FFFFu; }
  bool wide() const noexcept { return negative || bits > 0xFFFF'FFFFu; }
};

// A string id: UTF-8 bytes, kept in the table's own arena.
struct TextId {
  std::string_view bytes;
};

std::string video_text(const IntId& video) {
  return video.negative ? std::to_string(static_cast<std::int64_t>(video.bits))
                        : std::to_string(video.bits);
}

std::string video_text(const VideoUuid& video) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < video.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[video[i] >> 4];
    out += kHex[video[i] & 0xF];
  }
  return out;
}

// The offset of the first byte that does not start a well-formed UTF-8 sequence (no overlong
// forms, no surrogates, nothing past U+10FFFF), or npos when there is none.
std::size_t first_invalid_utf8(std::string_view bytes) noexcept {
  const auto* const data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Most terms are ASCII: eight bytes at a time while no high bit is set.
    std::uint64_t word;
    if (i + 8 <= n && (std::memcpy(&word, data + i, 8), (word & 0x8080'8080'8080'8080) == 0)) {
      i += 8;
      continue;
    }
    const unsigned char lead = data[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The range of the byte after the lead, which rules out overlong forms, surrogates and values
    // past U+10FFFF; later continuation bytes are 0x80..0xBF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    std::size_t extra = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return i;
    }
    if (n - i <= extra || data[i + 1] < low || data[i + 1] > high) return i;
    for (std::size_t k = 2; k <= extra; ++k) {
      if ((data[i + k] & 0xC0) != 0x80) return i;
    }
    i += extra + 1;
  }
  return std::string_view::npos;
}

// Why `term` cannot be indexed, or nullopt when it can.
std::optional<std::string> term_refusal(std::string_view term) {
  if (term.empty()) return "term '': an empty term cannot be indexed";
  if (const std::size_t bad = first_invalid_utf8(term); bad != std::string_view::npos) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(term[bad]);
    return std::string("term is not valid UTF-8 (byte 0x") + kHex[byte >> 4] + kHex[byte & 0xF] +
           " at offset " + std::to_string(bad) + ")";
  }
  if (term.find('\0') != std::string_view::npos) {
    return "term " + quoted(term) + ": a term cannot contain the character U+0000";
  }
  return std::nullopt;
}

constexpr const char* kind_name(VideoKind kind) {
  switch (kind) {
    case VideoKind::Int:
      return "integer";
    case VideoKind::Uuid:
      return "16-byte";
    default:
      return "string";
  }
}

constexpr VideoKind kind_of(IdMode mode) {
  return mode == IdMode::Int32 ? VideoKind::Int : VideoKind::Uuid;
}

std::uint32_t saturated(std::uint64_t sum) noexcept {
  return sum > kCountMax ? kCountMax : static_cast<std::uint32_t>(sum);
}

// A term's video: its position and its summed count.
struct Entry {
  std::uint64_t sum;
  std::uint32_t position;
};

// Payload order: larger sums first, the lower position first among equal sums.
bool by_sum(const Entry& a, const Entry& b) noexcept {
  return a.sum != b.sum ? a.sum > b.sum : a.position < b.position;
}

// Terms and string ids longer than this are refused: their lengths are kept in 32 bits.
constexpr std::uint64_t kMaxTermBytes = 0xFFFF'FFFF;

// What the rows added up to.
struct Rows {
  explicit Rows(VideoKind kind) : ids(kind) {}

  // The term whose bytes start at `begin` in the arena.
  std::string_view term_at(std::size_t begin) const noexcept {
    std::uint32_t length;
    std::memcpy(&length, arena.data() + begin - kHeader, sizeof length);
    return {arena.data() + begin, length};
  }
  std::string_view term(std::size_t t) const noexcept { return term_at(term_begins[t]); }
  // The number of distinct videos of the term whose bytes start at `begin`.
  std::uint32_t videos_at(std::size_t begin) const noexcept {
    std::uint32_t videos;
    std::memcpy(&videos, arena.data() + begin - sizeof videos, sizeof videos);
    return videos;
  }
  void count_video_at(std::size_t begin) noexcept {
    const std::uint32_t videos = videos_at(begin) + 1;
    std::memcpy(arena.data() + begin - sizeof videos, &videos, sizeof videos);
  }
  std::size_t term_count() const noexcept { return term_begins.size(); }

  // The id of `term` (hashed to `hash`, looked up as `probe` after term_ids.reserve_one()),
  // adding it when the probe found none; sets `begin` to where its bytes start.
  std::uint32_t intern_term(const IdMap::Probe& probe, std::uint32_t hash, std::string_view term,
                            std::size_t& begin) {
    if (probe.id != IdMap::kAbsent) {
      begin = static_cast<std::size_t>(probe.ref);
      return probe.id;
    }
    const auto t = static_cast<std::uint32_t>(term_count());
    const std::uint32_t header[] = {static_cast<std::uint32_t>(term.size()), 0};
    arena.append(reinterpret_cast<const char*>(header), sizeof header);
    begin = arena.size();
    arena.append(term);
    term_begins.push_back(begin);
    term_ids.put(probe, hash, t, begin);
    return t;
  }
  IdMap::Probe find_term(std::uint32_t hash, std::string_view term) const {
    return term_ids.find(
        hash, [&](std::uint64_t begin, std::uint32_t) { return term_at(begin) == term; });
  }

  // Each term's length and number of distinct videos, 32 bits each, precede its bytes in the
  // arena: a lookup compares the length and the bytes, and a new pair counts itself, in the cache
  // lines of the term itself.
  static constexpr std::size_t kHeader = 8;

  VideoKind ids;
  std::uint64_t rows = 0;
  // Distinct terms in order of first appearance; term t's bytes start at term_begins[t], and the
  // term map's slots hold the same offsets.
  std::string arena;
  std::vector<std::size_t> term_begins;
  IdMap term_ids;
  std::uint32_t last_term = IdMap::kAbsent;  // the term of the latest row kept
  std::size_t last_begin = 0;
  // Given totals by term id; only the terms marked in has_total have one. Sized lazily: most
  // tables give none.
  std::vector<std::uint64_t> totals;
  std::vector<bool> has_total;
  // Distinct videos by position; one of the three is in use. Integers are kept as IntId bits; a
  // string id's bytes follow their 32-bit length in the arena, in order of position, and the
  // position map's slots hold where they start.
  std::vector<std::uint64_t> int_ids;
  std::vector<VideoUuid> uuids;
  std::string video_arena;
  // Integer ids seen so far: the first one below 0 and the first one above 2**63-1 (for the
  // message refusing the other), and whether any lies outside 0..2**32-1.
  std::optional<IntId> first_negative, first_high;
  bool wide = false;
  IdMap positions;
  SumMap sums;  // by term id << 32 | position
  // After merge_terms: by term id, the most counted spelling the term was given, where that is
  // not the term itself.
  std::vector<std::string> spellings;
};

// The high half folds into the low one only when it is not zero: on ids below 2**32 the hash is
// mix32, a bijection, so that a table of such ids alone never compares them.
std::uint32_t video_hash(const IntId& video) noexcept {
  return mix32(static_cast<std::uint32_t>(video.bits ^ (video.bits >> 32) * 0x9E37'79B9'7F4A'7C15));
}
std::uint32_t video_hash(const VideoUuid& video) noexcept {
  return static_cast<std::uint32_t>(
      hash_bytes({reinterpret_cast<const char*>(video.data()), video.size()}) >> 32);
}
std::uint32_t video_hash(const TextId& video) noexcept {
  return static_cast<std::uint32_t>(hash_bytes(video.bytes) >> 32);
}

std::string_view text_at(const std::string& arena, std::uint64_t begin) noexcept {
  std::uint32_t length;
  std::memcpy(&length, arena.data() + begin - sizeof length, sizeof length);
  return {arena.data() + begin, length};
}

bool same_video(const Rows& rows, std::uint64_t, std::uint32_t position, const IntId& video) {
  // Equal hashes of two ids below 2**32 are equal ids.
  return (!rows.wide && !video.wide()) || rows.int_ids[position] == video.bits;
}
bool same_video(const Rows& rows, std::uint64_t, std::uint32_t position, const VideoUuid& video) {
  return rows.uuids[position] == video;
}
bool same_video(const Rows& rows, std::uint64_t begin, std::uint32_t, const TextId& video) {
  return text_at(rows.video_arena, begin) == video.bytes;
}

// Where the video just given a position is kept: the slot reference of the position map.
std::uint64_t keep_video(Rows& rows, const IntId& video) {
  rows.int_ids.push_back(video.bits);
  if (video.negative && !rows.first_negative) rows.first_negative = video;
  if (video.high() && !rows.first_high) rows.first_high = video;
  rows.wide = rows.wide || video.wide();
  return 0;
}
std::uint64_t keep_video(Rows& rows, const VideoUuid& video) {
  rows.uuids.push_back(video);
  return 0;
}
std::uint64_t keep_video(Rows& rows, const TextId& video) {
  const auto length = static_cast<std::uint32_t>(video.bytes.size());
  rows.video_arena.append(reinterpret_cast<const char*>(&length), sizeof length);
  const std::uint64_t begin = rows.video_arena.size();
  rows.video_arena.append(video.bytes);
  return begin;
}

// Why a video of the table's kind cannot join it, or nullopt when it can.
std::optional<std::string> video_refusal(const Rows& rows, const IntId& video) {
  const std::optional<IntId>& other = video.negative ? rows.first_high : rows.first_negative;
  if ((video.negative || video.high()) && other) {
    return "video " + video_text(video) +
           ": ids above 2**63-1 and below 0 cannot share one index (an earlier row holds " +
           video_text(*other) + ")";
  }
  return std::nullopt;
}
std::optional<std::string> video_refusal(const Rows&, const VideoUuid&) { return std::nullopt; }
std::optional<std::string> video_refusal(const Rows&, const TextId& video) {
  if (const std::size_t bad = first_invalid_utf8(video.bytes); bad != std::string_view::npos) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(video.bytes[bad]);
    return std::string("video id is not valid UTF-8 (byte 0x") + kHex[byte >> 4] +
           kHex[byte & 0xF] + " at offset " + std::to_string(bad) + ")";
  }
  if (video.bytes.size() > kMaxTermBytes) {
    return "video id of " + std::to_string(video.bytes.size()) + " bytes: an id holds at most " +
           std::to_string(kMaxTermBytes) + " bytes";
  }
  return std::nullopt;
}

std::string video_text(const TextId& video) { return quoted(video.bytes); }

template <class Video>
constexpr VideoKind kind_of_video() {
  if constexpr (std::is_same_v<Video, VideoUuid>) {
    return VideoKind::Uuid;
  } else if constexpr (std::is_same_v<Video, TextId>) {
    return VideoKind::Text;
  } else {
    return VideoKind::Int;
  }
}

template <class Video>
Expected<bool, RowError> add_row(Rows& rows, std::string_view term, const Video& video,
                                 std::uint64_t count) {
  constexpr VideoKind kKind = kind_of_video<Video>();
  const std::uint64_t row = rows.rows++;

  // Everything is looked up and checked before anything changes, so that a refused row leaves
  // no trace. Room is made first: growing a map moves the slots that find() reports.
  rows.positions.reserve_one();
  std::uint32_t term_hash = 0;
  IdMap::Probe term_probe{0, rows.last_term, rows.last_begin};
  // Rows often come grouped by term: the term of the row before is found without a lookup.
  if (rows.last_term == IdMap::kAbsent || rows.term_at(rows.last_begin) != term) {
    rows.term_ids.reserve_one();
    term_hash = static_cast<std::uint32_t>(hash_bytes(term) >> 32);
    term_probe = rows.find_term(term_hash, term);
  }
  if (term_probe.id == IdMap::kAbsent) {
    // A term is checked once, when first seen: its later rows find it already indexed.
    if (auto refusal = term_refusal(term)) return Unexpected{RowError{at_row(row) + *refusal}};
    if (term.size() > kMaxTermBytes) {
      return Unexpected{RowError{at_row(row) + "term of " + std::to_string(term.size()) +
                                 " bytes: a term holds at most " + std::to_string(kMaxTermBytes) +
                                 " bytes"}};
    }
    if (rows.term_count() >= kMaxIds) {
      return Unexpected{RowError{at_row(row) + "term " + quoted(term) + ": a table holds at most " +
                                 std::to_string(kMaxIds) + " distinct terms"}};
    }
  }
  if (rows.ids != kKind) {
    return Unexpected{RowError{at_row(row) + "video " + video_text(video) + ": this index holds " +
                               kind_name(rows.ids) + " ids and cannot mix in " + kind_name(kKind) +
                               " ids; use one kind of identifier for every video"}};
  }
  if (auto refusal = video_refusal(rows, video)) {
    return Unexpected{RowError{at_row(row) + *refusal}};
  }
  const std::uint32_t video_hash_value = video_hash(video);
  const IdMap::Probe video_probe = rows.positions.find(
      video_hash_value,
      [&](std::uint64_t ref, std::uint32_t p) { return same_video(rows, ref, p, video); });
  if (video_probe.id == IdMap::kAbsent && rows.positions.size() >= kMaxIds) {
    return Unexpected{RowError{at_row(row) + "video " + video_text(video) +
                               ": a table holds at most " + std::to_string(kMaxIds) +
                               " distinct videos"}};
  }

  std::size_t begin = 0;
  const std::uint32_t t = rows.intern_term(term_probe, term_hash, term, begin);
  std::uint32_t position = video_probe.id;
  if (position == IdMap::kAbsent) {
    position = static_cast<std::uint32_t>(rows.positions.size());
    rows.positions.put(video_probe, video_hash_value, position, keep_video(rows, video));
  }
  if (rows.sums.add(std::uint64_t{t} << 32 | position, count)) rows.count_video_at(begin);
  rows.last_term = t;
  rows.last_begin = begin;
  return true;
}

// Term ids in the order of their bytes, which is code point order. Most comparisons are settled
// by the first eight bytes, kept beside the id so that they are not looked up in the arena.
std::vector<std::uint32_t> sort_terms(const Rows& rows, Cancel& cancel) {
  struct Key {
    std::uint64_t head;  // the first eight bytes, big-endian, padded with zeros
    std::uint32_t id;
  };
  const std::size_t n = rows.term_count();
  std::vector<Key> keys(n);
  for (std::size_t t = 0; t < n; ++t) {
    const std::string_view term = rows.term(t);
    std::uint64_t head = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      head = head << 8 | (i < term.size() ? static_cast<unsigned char>(term[i]) : 0u);
    }
    keys[t] = {head, static_cast<std::uint32_t>(t)};
  }
  // Equal heads mean both terms run past their eighth byte, or one ends there: no term holds a
  // zero byte, so the padding never equals one of them.
  std::sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
    cancel.step();
    if (a.head != b.head) return a.head < b.head;
    const std::string_view x = rows.term(a.id);
    const std::string_view y = rows.term(b.id);
    return x.substr(std::min<std::size_t>(8, x.size())) <
           y.substr(std::min<std::size_t>(8, y.size()));
  });
  std::vector<std::uint32_t> order(n);
  for (std::size_t r = 0; r < n; ++r) order[r] = keys[r].id;
  return order;
}

// Every term's videos in payload order, with the total its payload carries, the terms in the
// order of their nodes, so that the payloads are laid out in one pass over them.
struct Grouped {
  std::vector<Entry> entries;         // the k-th term's run is [begins[k], begins[k + 1])
  std::vector<std::size_t> begins;    // one more than there are terms
  std::vector<std::uint32_t> totals;  // by k
  std::vector<std::uint64_t> counts;  // by k: how often the term was searched, not saturated
};

// Groups the summed pairs by term, `by_node` giving the term id of each place k, orders each
// term's videos and checks its total. Releases the sums as soon as they are grouped.
Expected<Grouped, RowError> group(Rows& rows, std::span<const std::uint32_t> by_node,
                                  Cancel& cancel) {
  const std::size_t n = by_node.size();
  Grouped out;
  {
    std::vector<std::uint32_t> place(n);  // by term id
    for (std::size_t k = 0; k < n; ++k) place[by_node[k]] = static_cast<std::uint32_t>(k);
    out.begins.resize(n + 1);
    // Each run is filled from its end: begins[k] holds the end first and the start last.
    std::size_t end = 0;
    for (std::size_t k = 0; k < n; ++k) {
      out.begins[k] = end += rows.videos_at(rows.term_begins[by_node[k]]);
    }
    out.begins[n] = end;
    out.entries.resize(rows.sums.size());
    rows.sums.for_each([&](std::uint64_t key, std::uint64_t sum) {
      out.entries[--out.begins[place[static_cast<std::size_t>(key >> 32)]]] = {
          sum, static_cast<std::uint32_t>(key)};
      cancel.step();
    });
    rows.sums = {};
  }

  out.totals.resize(n);
  out.counts.resize(n);
  std::uint32_t refused = IdMap::kAbsent;  // of the terms whose total is too low, the first added
  std::uint32_t refused_total = 0;
  std::uint32_t refused_sum = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const auto first = out.entries.begin() + static_cast<std::ptrdiff_t>(out.begins[k]);
    const auto last = out.entries.begin() + static_cast<std::ptrdiff_t>(out.begins[k + 1]);
    if (last - first > 1) std::sort(first, last, by_sum);
    std::uint64_t sum = 0;
    for (auto it = first; it != last; ++it) {
      sum = sum + it->sum < sum ? ~std::uint64_t{0} : sum + it->sum;
    }
    const std::uint32_t counted = saturated(sum);
    const std::uint32_t t = by_node[k];
    out.totals[k] = counted;
    out.counts[k] = sum;
    if (t < rows.has_total.size() && rows.has_total[t]) {
      out.totals[k] = saturated(rows.totals[t]);
      out.counts[k] = rows.totals[t];
      // A total below the counts would give shares above 1.
      if (out.totals[k] < counted && t < refused) {
        refused = t;
        refused_total = out.totals[k];
        refused_sum = counted;
      }
    }
    cancel.step(static_cast<std::size_t>(1 + (last - first)));
  }
  if (refused != IdMap::kAbsent) {
    return Unexpected{RowError{
        "term " + quoted(rows.term(refused)) + ": total_count " + std::to_string(refused_total) +
        " is below the sum of its video counts, " + std::to_string(refused_sum)}};
  }
  rows.totals = {};
  rows.has_total = {};
  return out;
}

// Gives every node its slot: term-ending nodes their term's videos, the others none. A leaf
// keeps only its first video_top_n videos, all that propagation would leave it.
// Returns each node's term count (0 where it ends none).
std::vector<std::uint64_t> fill_payloads(prefix::Trie& trie, const Grouped& grouped,
                                         std::uint32_t video_top_n, Cancel& cancel) {
  const std::size_t nodes = trie.node_count();
  const auto kept = [&](std::size_t node, std::size_t k) -> std::size_t {
    const std::size_t videos = grouped.begins[k + 1] - grouped.begins[k];
    const std::size_t end =
        node + 1 < nodes ? trie.node_shifts[node + 1] : trie.child_transitions.size();
    return trie.node_shifts[node] == end ? std::min<std::size_t>(videos, video_top_n) : videos;
  };

  const std::size_t terms = grouped.totals.size();
  std::size_t entries = 0;
  for (std::size_t node = 0, k = 0; node < nodes; ++node) {
    if (trie.is_terminal[node] != 0) entries += kept(node, k++);
  }
  trie.payloads.reserve(nodes, terms, entries, entries);

  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> counts;
  std::vector<std::uint64_t> term_counts(nodes, 0);
  for (std::size_t node = 0, k = 0; node < nodes; ++node) {
    cancel.step();
    if (trie.is_terminal[node] == 0) {
      trie.payloads.push_absent();
      continue;
    }
    const std::size_t keep = kept(node, k);
    ids.clear();
    counts.clear();
    for (std::size_t i = grouped.begins[k]; i < grouped.begins[k] + keep; ++i) {
      ids.push_back(grouped.entries[i].position);
      counts.push_back(saturated(grouped.entries[i].sum));
    }
    trie.payloads.push(grouped.totals[k], ids, counts);
    term_counts[node] = grouped.counts[k];
    cancel.step(keep);
    ++k;
  }
  return term_counts;
}

// Gives `trie` its video ids from what the rows named, releasing them from `rows`: the ids
// themselves when they are 16-byte values or integers in 0..2**32-1, else their positions, and
// then the section of the table that maps positions back to the ids, which is returned.
std::optional<std::vector<std::uint8_t>> site_ids(Rows& rows, prefix::Trie& trie, Cancel& cancel) {
  if (rows.ids == VideoKind::Uuid) {
    trie.id_mode = IdMode::Uuid;
    trie.video_uuids = std::move(rows.uuids);
    return std::nullopt;
  }
  trie.id_mode = IdMode::Int32;
  if (rows.ids == VideoKind::Int && !rows.wide) {
    trie.video_int_ids.reserve(rows.int_ids.size());
    for (const std::uint64_t id : rows.int_ids) {
      trie.video_int_ids.push_back(static_cast<std::uint32_t>(id));
    }
    rows.int_ids = {};
    return std::nullopt;
  }
  const bool text = rows.ids == VideoKind::Text;
  store::ExternalIdWriter writer(text              ? store::ExternalKind::Text
                                 : rows.first_high ? store::ExternalKind::Unsigned
                                                   : store::ExternalKind::Signed);
  if (text) {
    for (std::size_t at = 0; at < rows.video_arena.size();) {
      const std::string_view id = text_at(rows.video_arena, at + sizeof(std::uint32_t));
      writer.add_text(id);
      at += sizeof(std::uint32_t) + id.size();
    }
    rows.video_arena = {};
  } else {
    for (const std::uint64_t id : rows.int_ids) {
      if (rows.first_high) {
        writer.add_unsigned(id);
      } else {
        writer.add_signed(static_cast<std::int64_t>(id));
      }
    }
    rows.int_ids = {};
  }
  trie.video_int_ids.resize(writer.size());
  std::iota(trie.video_int_ids.begin(), trie.video_int_ids.end(), std::uint32_t{0});
  cancel.step(writer.size());
  return writer.finish();
}

}  // namespace

struct ClickTable::State : Rows {
  using Rows::Rows;
};

ClickTable::ClickTable(VideoKind kind) : state_(std::make_unique<State>(kind)) {}
ClickTable::ClickTable(IdMode ids) : ClickTable(kind_of(ids)) {}
ClickTable::~ClickTable() = default;
ClickTable::ClickTable(ClickTable&&) noexcept = default;
ClickTable& ClickTable::operator=(ClickTable&&) noexcept = default;

VideoKind ClickTable::kind() const noexcept { return state_->ids; }

Expected<bool, RowError> ClickTable::add(std::string_view term, std::uint32_t video,
                                         std::uint64_t count) {
  return add_row(*state_, term, IntId{video, false}, count);
}

Expected<bool, RowError> ClickTable::add_signed(std::string_view term, std::int64_t video,
                                                std::uint64_t count) {
  return add_row(*state_, term, IntId{static_cast<std::uint64_t>(video), video < 0}, count);
}

Expected<bool, RowError> ClickTable::add_unsigned(std::string_view term, std::uint64_t video,
                                                  std::uint64_t count) {
  return add_row(*state_, term, IntId{video, false}, count);
}

Expected<bool, RowError> ClickTable::add_text(std::string_view term, std::string_view video,
                                              std::uint64_t count) {
  return add_row(*state_, term, TextId{video}, count);
}

Expected<bool, RowError> ClickTable::add(std::string_view term, const VideoUuid& video,
                                         std::uint64_t count) {
  return add_row(*state_, term, video, count);
}

Expected<bool, RowError> ClickTable::set_total(std::string_view term, std::uint64_t total) {
  Rows& rows = *state_;
  const std::string where = rows.rows == 0 ? std::string() : at_row(rows.rows - 1);
  const auto hash = static_cast<std::uint32_t>(hash_bytes(term) >> 32);
  const std::uint32_t t =
      rows.term_ids
          .find(hash,
                [&](std::uint64_t begin, std::uint32_t) { return rows.term_at(begin) == term; })
          .id;
  if (t == IdMap::kAbsent) {
    if (auto refusal = term_refusal(term)) return Unexpected{RowError{where + *refusal}};
    return Unexpected{RowError{where + "term " + quoted(term) +
                               ": a total_count was given for a term that has no rows"}};
  }
  if (t >= rows.has_total.size()) {
    rows.has_total.resize(rows.term_count());
    rows.totals.resize(rows.term_count());
  }
  if (rows.has_total[t] && rows.totals[t] != total) {
    return Unexpected{RowError{where + "term " + quoted(term) + ": total_count " +
                               std::to_string(total) + " differs from the total_count " +
                               std::to_string(rows.totals[t]) + " given before"}};
  }
  rows.has_total[t] = true;
  rows.totals[t] = total;
  return true;
}

std::optional<std::string> word_start_refusal(std::string_view term) {
  const std::size_t space = term.find(' ');
  if (space == std::string_view::npos || term.find('\x1f', space) == std::string_view::npos) {
    return std::nullopt;
  }
  return "term " + quoted(term) +
         ": with word starts, a word after the first cannot contain the character U+001F (the "
         "word-start index's separator)";
}

std::vector<std::size_t> word_start_offsets(std::string_view term) {
  std::vector<std::size_t> offsets;
  std::size_t code_points = 0;
  for (std::size_t at = 0; at + 1 < term.size() && offsets.size() < kMostWordStarts; ++at) {
    code_points += (static_cast<unsigned char>(term[at]) & 0xC0) != 0x80;
    // The word after this space starts at code point `code_points` (counted from 0).
    if (code_points >= kWordStartReach) break;
    if (term[at] == ' ' && term[at + 1] != ' ') offsets.push_back(at + 1);
  }
  return offsets;
}

std::vector<std::string_view> ClickTable::term_texts() const {
  const Rows& rows = *state_;
  std::vector<std::string_view> texts(rows.term_count());
  for (std::size_t t = 0; t < texts.size(); ++t) texts[t] = rows.term(t);
  return texts;
}

Expected<ClickTable::Dropped, RowError> ClickTable::merge_terms(
    std::span<const std::string> normalized, Cancel cancel) {
  Rows& rows = *state_;
  const std::size_t n = rows.term_count();
  if (normalized.size() != n) {
    throw InternalFault(
        std::to_string(normalized.size()) + " normalised terms for " + std::to_string(n) + " terms",
        SourceLocation::current());
  }
  for (std::size_t t = 0; t < n; ++t) {
    if (normalized[t].empty()) continue;  // left out
    if (auto refusal = term_refusal(normalized[t])) {
      return Unexpected{RowError{"term " + quoted(rows.term(t)) +
                                 " normalises to what cannot be indexed: " + *refusal}};
    }
  }
  // How often each spelling was searched: the sum of its counts.
  std::vector<std::uint64_t> own(n, 0);
  rows.sums.for_each([&](std::uint64_t key, std::uint64_t sum) {
    std::uint64_t& total = own[static_cast<std::size_t>(key >> 32)];
    total = total + sum < total ? ~std::uint64_t{0} : total + sum;
    cancel.step();
  });

  // The merged table keeps the videos, their positions and the rows' numbering as they are.
  auto merged = std::make_unique<State>(rows.ids);
  Rows& into = *merged;
  into.rows = rows.rows;
  into.int_ids = std::move(rows.int_ids);
  into.uuids = std::move(rows.uuids);
  into.video_arena = std::move(rows.video_arena);
  into.first_negative = rows.first_negative;
  into.first_high = rows.first_high;
  into.wide = rows.wide;
  into.positions = std::move(rows.positions);
  constexpr std::uint32_t kLeftOut = IdMap::kAbsent;
  std::vector<std::uint32_t> merged_id(n);
  std::vector<std::size_t> merged_begin(n);
  Dropped dropped;
  for (std::size_t t = 0; t < n; ++t) {
    cancel.step();
    const std::string_view term = normalized[t];
    if (term.empty()) {
      merged_id[t] = kLeftOut;
      ++dropped.terms;
      continue;
    }
    into.term_ids.reserve_one();
    const auto hash = static_cast<std::uint32_t>(hash_bytes(term) >> 32);
    const std::uint32_t m =
        into.intern_term(into.find_term(hash, term), hash, term, merged_begin[t]);
    merged_id[t] = m;
  }
  rows.sums.for_each([&](std::uint64_t key, std::uint64_t sum) {
    const auto t = static_cast<std::size_t>(key >> 32);
    cancel.step();
    if (merged_id[t] == kLeftOut) {
      dropped.clicks =
          dropped.clicks + sum < dropped.clicks ? ~std::uint64_t{0} : dropped.clicks + sum;
      return;
    }
    const std::uint64_t merged_key = std::uint64_t{merged_id[t]} << 32 | (key & 0xFFFF'FFFFu);
    if (into.sums.add(merged_key, sum)) into.count_video_at(merged_begin[t]);
  });
  // A merged term's total adds those of its spellings: each one's given total, or else the sum of
  // its counts.
  bool any_total = false;
  for (std::size_t t = 0; t < n && !any_total; ++t) {
    any_total = t < rows.has_total.size() && rows.has_total[t];
  }
  if (any_total) {
    into.totals.assign(into.term_count(), 0);
    into.has_total.assign(into.term_count(), false);
    for (std::size_t t = 0; t < n; ++t) {
      if (merged_id[t] == kLeftOut) continue;
      const bool given = t < rows.has_total.size() && rows.has_total[t];
      std::uint64_t& total = into.totals[merged_id[t]];
      const std::uint64_t add = given ? rows.totals[t] : own[t];
      total = total + add < total ? ~std::uint64_t{0} : total + add;
      if (given) into.has_total[merged_id[t]] = true;
    }
  }
  // Each merged term shows its most counted spelling. A term an earlier merge named by another
  // spelling stands for that one, and a term that stays as it was for itself. Other spellings are
  // shown with their whitespace trimmed and each run of it one space, as the named foldings
  // leave terms, and those that differ only in whitespace count as one; among equal counts, the
  // first in code point order wins.
  const auto shown = [&](std::size_t t) {
    if (t < rows.spellings.size() && !rows.spellings[t].empty()) return rows.spellings[t];
    return rows.term(t) == normalized[t] ? std::string(rows.term(t))
                                         : text::collapse_spaces(rows.term(t));
  };
  const auto name = [&](std::uint32_t m, std::string spelling) {
    if (spelling != into.term(m)) into.spellings[m] = std::move(spelling);
  };
  into.spellings.resize(into.term_count());
  std::vector<std::uint32_t> members(into.term_count(), 0);
  for (std::size_t t = 0; t < n; ++t) {
    if (merged_id[t] != kLeftOut) ++members[merged_id[t]];
  }
  struct Spelled {
    std::uint32_t term;
    std::string text;
    std::uint64_t count;
  };
  std::vector<Spelled> choices;  // the spellings of the terms that merged several
  for (std::size_t t = 0; t < n; ++t) {
    cancel.step();
    const std::uint32_t m = merged_id[t];
    if (m == kLeftOut) continue;
    if (members[m] == 1) {
      name(m, shown(t));
    } else {
      choices.push_back({m, shown(t), own[t]});
    }
  }
  std::sort(choices.begin(), choices.end(), [](const Spelled& a, const Spelled& b) {
    return a.term != b.term ? a.term < b.term : a.text < b.text;
  });
  cancel.step(choices.size());
  for (std::size_t at = 0; at < choices.size();) {
    const std::uint32_t m = choices[at].term;
    std::size_t best = at;
    std::uint64_t best_count = 0;
    while (at < choices.size() && choices[at].term == m) {
      const std::size_t first = at;
      std::uint64_t count = 0;
      for (;
           at < choices.size() && choices[at].term == m && choices[at].text == choices[first].text;
           ++at) {
        count = count + choices[at].count < count ? ~std::uint64_t{0} : count + choices[at].count;
      }
      if (first == best || count > best_count) {
        best = first;
        best_count = count;
      }
    }
    name(m, std::move(choices[best].text));
  }
  state_ = std::move(merged);
  return dropped;
}

std::vector<std::uint64_t> ClickTable::term_counts() const {
  const Rows& rows = *state_;
  std::vector<std::uint64_t> counts(rows.term_count(), 0);
  rows.sums.for_each([&](std::uint64_t key, std::uint64_t sum) {
    std::uint64_t& count = counts[static_cast<std::size_t>(key >> 32)];
    count = count + sum < count ? ~std::uint64_t{0} : count + sum;
  });
  for (std::size_t t = 0; t < counts.size(); ++t) {
    if (t < rows.has_total.size() && rows.has_total[t]) counts[t] = rows.totals[t];
  }
  return counts;
}

ClickTable::TermVideos ClickTable::term_videos(Cancel cancel) const {
  const Rows& rows = *state_;
  const std::size_t n = rows.term_count();
  TermVideos out;
  out.begins.assign(n + 1, 0);
  for (std::size_t t = 0; t < n; ++t)
    out.begins[t + 1] = out.begins[t] + rows.videos_at(rows.term_begins[t]);
  out.videos.resize(out.begins[n]);
  std::vector<std::size_t> next(out.begins.begin(), out.begins.end() - 1);
  rows.sums.for_each([&](std::uint64_t key, std::uint64_t sum) {
    cancel.step();
    out.videos[next[static_cast<std::size_t>(key >> 32)]++] = {static_cast<std::uint32_t>(key),
                                                               sum};
  });
  for (std::size_t t = 0; t < n; ++t) {
    std::sort(out.videos.begin() + static_cast<std::ptrdiff_t>(out.begins[t]),
              out.videos.begin() + static_cast<std::ptrdiff_t>(out.begins[t + 1]));
  }
  return out;
}

std::uint64_t ClickTable::rows() const noexcept { return state_->rows; }
std::size_t ClickTable::terms() const noexcept { return state_->term_count(); }
std::size_t ClickTable::videos() const noexcept { return state_->positions.size(); }
std::size_t ClickTable::pairs() const noexcept { return state_->sums.size(); }

std::size_t ClickTable::memory_bytes() const noexcept {
  const Rows& rows = *state_;
  return sizeof(State) + rows.arena.capacity() + rows.term_begins.capacity() * sizeof(std::size_t) +
         rows.term_ids.memory_bytes() + rows.totals.capacity() * sizeof(std::uint64_t) +
         rows.has_total.capacity() / 8 + rows.int_ids.capacity() * sizeof(std::uint64_t) +
         rows.uuids.capacity() * sizeof(VideoUuid) + rows.video_arena.capacity() +
         rows.positions.memory_bytes() + rows.sums.memory_bytes();
}

Expected<BuiltIndex, RowError> counted_terms_index(
    std::vector<std::pair<std::string, std::uint64_t>> terms, Cancel cancel) {
  std::sort(terms.begin(), terms.end());
  cancel.step(terms.size());
  std::vector<std::string_view> sorted(terms.size());
  for (std::size_t r = 0; r < terms.size(); ++r) {
    if (auto refusal = term_refusal(terms[r].first)) return Unexpected{RowError{*refusal}};
    if (r > 0 && terms[r].first == terms[r - 1].first) {
      return Unexpected{RowError{"term " + quoted(terms[r].first) + " is given twice"}};
    }
    sorted[r] = terms[r].first;
  }
  const std::vector<std::uint32_t> by_node = terminal_order(sorted, cancel);
  auto layout = lay_out(sorted, cancel);
  if (!layout) return Unexpected{RowError{std::move(layout).error()}};
  prefix::Trie trie;
  trie.node_shifts = std::move(layout->node_shifts);
  trie.child_labels = std::move(layout->child_labels);
  trie.child_transitions = std::move(layout->child_transitions);
  trie.is_terminal = std::move(layout->is_terminal);
  trie.id_mode = IdMode::Int32;
  const std::size_t nodes = trie.node_count();
  trie.payloads.reserve(nodes, terms.size(), 0, 0);
  std::vector<std::uint64_t> term_counts(nodes, 0);
  for (std::size_t node = 0, k = 0; node < nodes; ++node) {
    cancel.step();
    if (trie.is_terminal[node] == 0) {
      trie.payloads.push_absent();
      continue;
    }
    const std::uint64_t count = terms[by_node[k++]].second;
    trie.payloads.push(saturated(count), {}, {});
    term_counts[node] = count;
  }
  trie.propagate(0, cancel);
  return BuiltIndex{std::move(trie), std::nullopt, {}, std::move(term_counts)};
}

Expected<BuiltIndex, RowError> ClickTable::build(std::uint32_t video_top_n, Cancel cancel,
                                                 const Progress& progress) {
  // The table is empty from here on, whether the build succeeds, fails or is cancelled; what it
  // held is released stage by stage as the index takes its place.
  const std::unique_ptr<State> taken = std::exchange(state_, std::make_unique<State>(state_->ids));
  Rows& rows = *taken;
  const auto report = [&](std::string_view stage, std::uint64_t done, std::uint64_t total) {
    if (progress) progress(stage, done, total);
  };
  const std::size_t n = rows.term_count();
  rows.term_ids = {};
  rows.positions = {};

  report("sort", 0, n);
  std::vector<std::string_view> sorted(n);
  std::vector<std::uint32_t> by_node;
  {
    const std::vector<std::uint32_t> order = sort_terms(rows, cancel);
    for (std::size_t r = 0; r < n; ++r) sorted[r] = rows.term(order[r]);
    by_node = terminal_order(sorted, cancel);
    for (std::uint32_t& k : by_node) k = order[k];
  }
  auto grouped = group(rows, by_node, cancel);
  if (!grouped) return Unexpected{std::move(grouped).error()};
  report("sort", n, n);

  report("layout", 0, n);
  auto layout = lay_out(sorted, cancel);
  if (!layout) return Unexpected{RowError{std::move(layout).error()}};
  std::vector<std::pair<std::string, std::string>> spellings;
  for (std::size_t t = 0; t < rows.spellings.size(); ++t) {
    if (!rows.spellings[t].empty()) spellings.emplace_back(rows.term(t), rows.spellings[t]);
  }
  rows.spellings = {};
  sorted = {};
  rows.arena = {};
  rows.term_begins = {};
  prefix::Trie trie;
  trie.node_shifts = std::move(layout->node_shifts);
  trie.child_labels = std::move(layout->child_labels);
  trie.child_transitions = std::move(layout->child_transitions);
  trie.is_terminal = std::move(layout->is_terminal);
  report("layout", n, n);

  report("payloads", 0, n);
  std::vector<std::uint64_t> term_counts = fill_payloads(trie, *grouped, video_top_n, cancel);
  // The k-th term-ending node ends the term by_node[k] names.
  std::vector<prefix::NodeId> term_nodes(n, 0);
  for (std::size_t node = 0, k = 0; node < trie.node_count(); ++node) {
    if (trie.is_terminal[node] != 0) term_nodes[by_node[k++]] = static_cast<prefix::NodeId>(node);
  }
  by_node = {};
  *grouped = {};
  std::optional<std::vector<std::uint8_t>> external = site_ids(rows, trie, cancel);
  report("payloads", n, n);

  const std::size_t nodes = trie.node_count();
  report("propagate", 0, nodes);
  trie.propagate(video_top_n, cancel);
  report("propagate", nodes, nodes);
  return BuiltIndex{std::move(trie), std::move(external), std::move(spellings),
                    std::move(term_counts), std::move(term_nodes)};
}

}  // namespace torrelm::ingest

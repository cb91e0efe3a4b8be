#include "ingest/variants.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <numeric>
#include <string>
#include <unordered_map>

#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace torrelm::ingest {
namespace {

constexpr std::uint64_t kBase = 0x100000001B3ull;  // odd: every power is invertible

std::uint64_t mixed(std::uint64_t h, std::size_t length) noexcept {
  h ^= length * 0x9E3779B97F4A7C15ull;
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 29;
  return h;
}

// The keys of a text: its own hash and the hash of each text one code point shorter. Two texts
// one edit apart share a key: a replaced code point or a swap leaves both with the same text
// once one position is taken out of each; an inserted one leaves the shorter text itself.
void keys_of(std::u32string_view text, bool shortened, std::vector<std::uint64_t>& out,
             std::vector<std::uint64_t>& powers) {
  const std::size_t n = text.size();
  out.clear();
  std::uint64_t whole = 0;
  for (const char32_t ch : text) whole = whole * kBase + ch;
  out.push_back(mixed(whole, n));
  if (!shortened || n == 0) return;
  while (powers.size() < n) powers.push_back(powers.empty() ? 1 : powers.back() * kBase);
  // Without position i: the prefix before it shifted down one place less, plus the rest.
  std::uint64_t prefix = 0;  // of text[0, i)
  std::uint64_t rest = whole;
  for (std::size_t i = 0; i < n; ++i) {
    rest -= std::uint64_t{text[i]} * powers[n - 1 - i];  // now of text[i + 1, n)
    out.push_back(mixed(prefix * powers[n - 1 - i] + rest, n - 1));
    prefix = prefix * kBase + text[i];
  }
}

// Whether at least half of t's clicks went to videos u's clicks went to as well, or, when a few
// will do, at most kFewClicks went elsewhere.
bool clicks_agree(const TermsToMerge& terms, std::size_t t, std::size_t u, bool few_will_do) {
  const auto* a = terms.videos.data() + terms.video_begins[t];
  const auto* a_end = terms.videos.data() + terms.video_begins[t + 1];
  const auto* b = terms.videos.data() + terms.video_begins[u];
  const auto* b_end = terms.videos.data() + terms.video_begins[u + 1];
  double all = 0;
  double shared = 0;
  for (; a != a_end; ++a) {
    all += static_cast<double>(a->second);
    while (b != b_end && b->first < a->first) ++b;
    if (b != b_end && b->first == a->first) shared += static_cast<double>(a->second);
  }
  return (all > 0 && 2 * shared >= all) ||
         (few_will_do && all - shared <= static_cast<double>(kFewClicks));
}

}  // namespace

OneEdit one_edit(std::u32string_view a, std::u32string_view b) noexcept {
  if (a.size() > b.size()) std::swap(a, b);
  if (b.size() - a.size() > 1) return OneEdit::No;
  std::size_t p = 0;
  while (p < a.size() && a[p] == b[p]) ++p;
  if (p == a.size() && a.size() == b.size()) return OneEdit::No;  // the same text
  std::size_t s = 0;
  while (s < a.size() - p && a[a.size() - 1 - s] == b[b.size() - 1 - s]) ++s;
  // What the edit touched: the parts between the common prefix and the common suffix.
  const std::u32string_view x = a.substr(p, a.size() - p - s);
  const std::u32string_view y = b.substr(p, b.size() - p - s);
  const bool one = (x.size() <= 1 && y.size() == 1) ||
                   (x.size() == 2 && y.size() == 2 && x[0] == y[1] && x[1] == y[0]);
  if (!one) return OneEdit::No;
  return std::any_of(x.begin(), x.end(), text::is_decimal_digit) ||
                 std::any_of(y.begin(), y.end(), text::is_decimal_digit)
             ? OneEdit::Digit
             : OneEdit::Plain;
}

std::vector<std::uint32_t> find_variants(const TermsToMerge& terms, double ratio, Cancel cancel) {
  const std::size_t n = terms.texts.size();
  std::vector<std::uint32_t> into(n, kNoVariant);
  if (n == 0) return into;
  std::vector<std::u32string> texts(n);
  std::uint64_t most = 0;
  for (std::size_t t = 0; t < n; ++t) {
    cancel.step(1 + terms.texts[t].size());
    texts[t] = text::decode_utf8(terms.texts[t]);
    most = std::max(most, terms.counts[t]);
  }
  const auto count = [&](std::size_t t) { return static_cast<double>(terms.counts[t]); };
  // A variant is searched at most 1/ratio as often as the most searched term; a term it folds
  // into at least ratio times as often as one search.
  const auto may_fold = [&](std::size_t t) {
    return texts[t].size() >= kShortest && count(t) * ratio <= static_cast<double>(most);
  };
  const auto may_take = [&](std::size_t u) {
    return texts[u].size() + 1 >= kShortest && count(u) >= ratio;
  };

  std::vector<std::pair<std::uint64_t, std::uint32_t>> table;  // (key, term), sorted
  std::vector<std::uint64_t> keys;
  std::vector<std::uint64_t> powers;
  for (std::size_t u = 0; u < n; ++u) {
    if (!may_take(u)) continue;
    cancel.step(1 + texts[u].size());
    keys_of(texts[u], true, keys, powers);
    for (const std::uint64_t key : keys) table.emplace_back(key, static_cast<std::uint32_t>(u));
  }
  // By key, and within a key the most searched first (the first among equals by id): the term a
  // variant folds into is the first of a key's terms that qualifies.
  std::sort(table.begin(), table.end(), [&](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    if (terms.counts[a.second] != terms.counts[b.second]) {
      return terms.counts[a.second] > terms.counts[b.second];
    }
    return a.second < b.second;
  });
  cancel.step(table.size());
  // Most probes find no key: a bit per key, hashed into a table of four bits per key, turns
  // nearly all of them away before a binary search.
  const std::size_t bits = std::bit_ceil(std::max<std::size_t>(64, 4 * table.size()));
  std::vector<std::uint64_t> present(bits / 64, 0);
  for (const auto& entry : table)
    present[(entry.first & (bits - 1)) / 64] |= 1ull << (entry.first % 64);
  const auto maybe = [&](std::uint64_t key) {
    return (present[(key & (bits - 1)) / 64] >> (key % 64) & 1) != 0;
  };

  // Most searched first: a term another folds into has been judged by then, and stays.
  std::vector<std::uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return terms.counts[a] > terms.counts[b];
  });
  for (const std::uint32_t t : order) {
    if (!may_fold(t)) continue;
    cancel.step(1 + texts[t].size());
    keys_of(texts[t], true, keys, powers);
    std::uint32_t best = kNoVariant;
    for (const std::uint64_t key : keys) {
      if (!maybe(key)) continue;
      auto at =
          std::lower_bound(table.begin(), table.end(), key,
                           [](const auto& entry, std::uint64_t k) { return entry.first < k; });
      const auto end = at + std::min(static_cast<std::ptrdiff_t>(kMostCompared), table.end() - at);
      for (; at != end && at->first == key; ++at) {
        const std::uint32_t u = at->second;
        cancel.step();
        // The rest of the key's terms are searched less than this one: none does better.
        if (count(u) < ratio * count(t)) break;
        if (best != kNoVariant && (terms.counts[u] < terms.counts[best] ||
                                   (terms.counts[u] == terms.counts[best] && u >= best))) {
          break;
        }
        if (u == t || into[u] != kNoVariant) continue;
        const bool far = count(u) >= kFarMore * count(t);
        const OneEdit edit = one_edit(texts[t], texts[u]);
        if ((edit == OneEdit::Plain || (edit == OneEdit::Digit && far)) &&
            clicks_agree(terms, t, u, far)) {
          best = u;
          break;
        }
      }
    }
    into[t] = best;
  }
  return into;
}

void merge_accent_twins(const TermsToMerge& terms, std::vector<std::uint32_t>& into,
                        Cancel cancel) {
  const std::span<const std::string_view> texts = terms.texts;
  const std::span<const std::uint64_t> counts = terms.counts;
  const std::size_t n = texts.size();
  // No letter with an accent is ASCII: most terms are bare at a glance.
  const auto ascii = [](std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char ch) { return (ch & 0x80) == 0; });
  };
  // The most searched accented spelling of each bare form (the first in code point order among
  // equals), by that form in UTF-8.
  std::unordered_map<std::string, std::uint32_t> accented;
  for (std::size_t t = 0; t < n; ++t) {
    cancel.step(1 + texts[t].size());
    if (into[t] != kNoVariant || ascii(texts[t])) continue;
    const std::u32string text = text::decode_utf8(texts[t]);
    if (!text::has_accent(text)) continue;
    std::string bare;
    for (const char32_t ch : text) text::append_utf8(bare, text::base_letter(ch));
    const auto [at, added] = accented.try_emplace(std::move(bare), static_cast<std::uint32_t>(t));
    const std::uint32_t held = at->second;
    if (!added &&
        (counts[t] > counts[held] || (counts[t] == counts[held] && texts[t] < texts[held]))) {
      at->second = static_cast<std::uint32_t>(t);
    }
  }
  if (accented.empty()) return;
  std::vector<std::uint32_t> moved(n, kNoVariant);  // a twin that merges: the twin it goes into
  for (std::size_t t = 0; t < n; ++t) {
    cancel.step();
    if (into[t] != kNoVariant) continue;
    // A bare form has no letter with an accent (base letters have none): t is bare if found.
    const auto found = accented.find(std::string(texts[t]));
    if (found == accented.end()) continue;
    const std::uint32_t twin = found->second;
    if (static_cast<double>(counts[t]) >= kBareOwnWord * static_cast<double>(counts[twin])) {
      continue;
    }
    // The less searched one goes into the other, if its clicks agree.
    const bool bare_more = counts[t] > counts[twin];
    const std::size_t from = bare_more ? twin : t;
    const std::size_t to = bare_more ? t : twin;
    if (clicks_agree(terms, from, to, true)) moved[from] = static_cast<std::uint32_t>(to);
  }
  for (std::size_t t = 0; t < n; ++t) {
    const std::uint32_t to = into[t] == kNoVariant ? static_cast<std::uint32_t>(t) : into[t];
    if (moved[to] != kNoVariant) into[t] = moved[to];
  }
}

}  // namespace torrelm::ingest

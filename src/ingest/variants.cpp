#include "ingest/variants.hpp"

#include <algorithm>
#include <bit>
#include <numeric>
#include <string>

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

bool is_digit(char32_t ch) noexcept { return ch >= U'0' && ch <= U'9'; }

}  // namespace

bool one_edit_apart(std::u32string_view a, std::u32string_view b) noexcept {
  if (a.size() > b.size()) std::swap(a, b);
  if (b.size() - a.size() > 1) return false;
  std::size_t p = 0;
  while (p < a.size() && a[p] == b[p]) ++p;
  if (p == a.size() && a.size() == b.size()) return false;  // the same text
  std::size_t s = 0;
  while (s < a.size() - p && a[a.size() - 1 - s] == b[b.size() - 1 - s]) ++s;
  const std::u32string_view x = a.substr(p, a.size() - p - s);
  const std::u32string_view y = b.substr(p, b.size() - p - s);
  const bool one = (x.size() <= 1 && y.size() == 1) ||
                   (x.size() == 2 && y.size() == 2 && x[0] == y[1] && x[1] == y[0]);
  return one && std::none_of(x.begin(), x.end(), is_digit) &&
         std::none_of(y.begin(), y.end(), is_digit);
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
  std::sort(table.begin(), table.end());
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

  // The share of t's clicks that went to videos u's clicks went to as well, at least a half.
  const auto shares_videos = [&](std::size_t t, std::size_t u) {
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
    return all > 0 && 2 * shared >= all;
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
      auto at = std::lower_bound(table.begin(), table.end(), std::make_pair(key, 0u));
      for (; at != table.end() && at->first == key; ++at) {
        const std::uint32_t u = at->second;
        cancel.step();
        if (u == t || into[u] != kNoVariant || count(u) < ratio * count(t)) continue;
        if (best != kNoVariant && (terms.counts[u] < terms.counts[best] ||
                                   (terms.counts[u] == terms.counts[best] && u >= best))) {
          continue;
        }
        if (one_edit_apart(texts[t], texts[u]) && shares_videos(t, u)) best = u;
      }
    }
    into[t] = best;
  }
  return into;
}

}  // namespace torrelm::ingest

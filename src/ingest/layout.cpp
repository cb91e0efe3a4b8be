#include "ingest/layout.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <utility>

namespace torrelm::ingest {
namespace {

constexpr bool continuation(char byte) noexcept {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The characters of well-formed UTF-8: one per byte that is not a continuation byte.
std::size_t count_chars(std::string_view bytes) noexcept {
  std::size_t n = 0;
  for (const char byte : bytes) n += continuation(byte) ? 0 : 1;
  return n;
}

struct Shared {
  std::size_t bytes;
  std::size_t chars;
};

// The longest common prefix of `a` and `b` that ends between two characters: a shared lead byte
// does not make a shared character.
Shared shared_prefix(std::string_view a, std::string_view b) noexcept {
  const std::size_t end = std::min(a.size(), b.size());
  std::size_t n = 0;
  while (n + 8 <= end && std::memcmp(a.data() + n, b.data() + n, 8) == 0) n += 8;
  while (n < end && a[n] == b[n]) ++n;
  while (n > 0 && ((n < a.size() && continuation(a[n])) || (n < b.size() && continuation(b[n])))) {
    --n;
  }
  return {n, count_chars(a.substr(0, n))};
}

// The character that starts at `p` in well-formed UTF-8; moves `p` past it.
char32_t next_char(const unsigned char*& p) noexcept {
  const unsigned char lead = *p++;
  if (lead < 0x80) return lead;
  const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
  char32_t ch = lead & (0x3F >> extra);
  for (int i = 0; i < extra; ++i) ch = ch << 6 | (*p++ & 0x3F);
  return ch;
}

constexpr std::uint64_t kMaxNodes = 0xFFFF'FFFF;

}  // namespace

Expected<Layout, std::string> lay_out(std::span<const std::string_view> terms, Cancel& cancel) {
  // First pass: how many nodes each depth has. A term has a node of its own at every depth past
  // the prefix it shares with the term before it, up to its length. change[d] is the number of
  // nodes at depth d less that at depth d - 1, modulo 2**64.
  std::vector<std::uint64_t> change(2);
  std::uint64_t nodes = 1;
  std::string_view previous;
  for (const std::string_view term : terms) {
    const Shared shared = shared_prefix(previous, term);
    const std::size_t length = shared.chars + count_chars(term.substr(shared.bytes));
    if (change.size() < length + 2) change.resize(length + 2);
    change[shared.chars + 1] += 1;
    change[length + 1] -= 1;
    nodes += length - shared.chars;
    previous = term;
    cancel.step(term.size());
  }
  if (nodes > kMaxNodes) {
    return Unexpected{"the terms spell " + std::to_string(nodes) +
                      " trie nodes; an index holds at most " + std::to_string(kMaxNodes)};
  }

  // Each depth's run of ids.
  const std::size_t deepest = change.size() - 2;
  std::vector<std::uint32_t> next(deepest + 1);    // the next id to hand out at each depth
  std::vector<std::uint32_t> latest(deepest + 1);  // the latest node numbered at each depth
  std::uint64_t width = 0;
  std::uint64_t id = 1;
  for (std::size_t d = 1; d <= deepest; ++d) {
    width += change[d];
    next[d] = static_cast<std::uint32_t>(id);
    id += width;
  }
  change = {};

  Layout out;
  const auto n = static_cast<std::size_t>(nodes);
  out.child_labels.resize(n);  // the root's label, U'\0', among them
  out.node_shifts.resize(n);   // each node's child count until the last step
  out.is_terminal.resize(n);
  previous = {};
  for (const std::string_view term : terms) {
    const Shared shared = shared_prefix(previous, term);
    // Every term since the latest one to reach this depth shares its prefix there, so that
    // term's node is the parent of this term's first new node.
    std::size_t depth = shared.chars;
    std::uint32_t parent = latest[depth];
    const auto* p = reinterpret_cast<const unsigned char*>(term.data()) + shared.bytes;
    const auto* const end = reinterpret_cast<const unsigned char*>(term.data()) + term.size();
    while (p < end) {
      ++depth;
      const std::uint32_t node = next[depth]++;
      out.child_labels[node] = next_char(p);
      ++out.node_shifts[parent];
      latest[depth] = parent = node;
    }
    out.is_terminal[parent] = 1;
    previous = term;
    cancel.step(term.size());
  }

  // Child counts to the start of each node's list: children are numbered one depth down in their
  // parents' order, so every list follows the one before it.
  std::uint32_t start = 0;
  for (std::uint32_t& shift : out.node_shifts) start += std::exchange(shift, start);
  out.child_transitions.resize(n - 1);
  std::iota(out.child_transitions.begin(), out.child_transitions.end(), prefix::NodeId{1});
  return out;
}

std::vector<std::uint32_t> terminal_order(std::span<const std::string_view> terms, Cancel& cancel) {
  // A counting sort by length, stable, so that ranks stay in order within a length.
  std::vector<std::uint32_t> lengths(terms.size());
  std::vector<std::size_t> place(1);
  for (std::size_t r = 0; r < terms.size(); ++r) {
    const std::size_t length = count_chars(terms[r]);
    if (place.size() < length + 2) place.resize(length + 2);
    ++place[length + 1];
    lengths[r] = static_cast<std::uint32_t>(length);
    cancel.step(terms[r].size());
  }
  for (std::size_t d = 1; d < place.size(); ++d) place[d] += place[d - 1];
  std::vector<std::uint32_t> out(terms.size());
  for (std::size_t r = 0; r < terms.size(); ++r)
    out[place[lengths[r]]++] = static_cast<std::uint32_t>(r);
  return out;
}

}  // namespace torrelm::ingest

#include "store/spellings.hpp"

#include <algorithm>
#include <cstring>

#include "common/fault.hpp"

namespace torrelm::store {
namespace {

Unexpected<ExternalIdError> refuse(std::string message) {
  return Unexpected{ExternalIdError{"section spellings: " + std::move(message)}};
}

std::size_t padded(std::size_t bytes) { return (bytes + 7) / 8 * 8; }

}  // namespace

Expected<Spellings, ExternalIdError> Spellings::read(std::span<const std::uint8_t> section,
                                                     bool thorough, Cancel cancel) {
  if (section.size() < 8) return refuse(std::to_string(section.size()) + " bytes, no count");
  std::uint64_t count = 0;
  std::memcpy(&count, section.data(), sizeof count);
  if (count > (section.size() - 8) / 4) {
    return refuse(std::to_string(count) + " nodes need more than the section's bytes");
  }
  const std::size_t table = 8 + padded(static_cast<std::size_t>(count) * 4);
  if (table > section.size()) return refuse("the spellings start past the end of the section");
  Spellings out;
  out.section_ = section;
  out.nodes_ = {reinterpret_cast<const prefix::NodeId*>(section.data() + 8),
                static_cast<std::size_t>(count)};
  auto texts = ExternalIds::read(section.subspan(table), thorough, cancel);
  if (!texts) return refuse(texts.error().message);
  if (texts->kind() != ExternalKind::Text || texts->size() != count) {
    return refuse(std::to_string(texts->size()) + " spellings for " + std::to_string(count) +
                  " nodes");
  }
  out.texts_ = *texts;
  if (thorough) {
    for (std::size_t i = 1; i < out.nodes_.size(); ++i) {
      cancel.step();
      if (out.nodes_[i] <= out.nodes_[i - 1]) {
        return refuse("node " + std::to_string(out.nodes_[i]) + " (entry " + std::to_string(i) +
                      ") does not come after node " + std::to_string(out.nodes_[i - 1]));
      }
    }
  }
  return out;
}

std::optional<std::string_view> Spellings::of(prefix::NodeId node) const {
  const auto found = std::lower_bound(nodes_.begin(), nodes_.end(), node);
  if (found == nodes_.end() || *found != node) return std::nullopt;
  return texts_.text(static_cast<std::size_t>(found - nodes_.begin()));
}

std::vector<std::uint8_t> spellings_section(
    std::vector<std::pair<prefix::NodeId, std::string>> pairs) {
  std::sort(pairs.begin(), pairs.end());
  ExternalIdWriter texts(ExternalKind::Text);
  for (const auto& pair : pairs) texts.add_text(pair.second);
  const std::vector<std::uint8_t> table = texts.finish();
  const std::uint64_t count = pairs.size();
  const std::size_t head = 8 + padded(pairs.size() * 4);
  std::vector<std::uint8_t> out(head + table.size(), 0);
  std::memcpy(out.data(), &count, sizeof count);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    std::memcpy(out.data() + 8 + 4 * i, &pairs[i].first, 4);
  }
  std::copy(table.begin(), table.end(), out.begin() + static_cast<std::ptrdiff_t>(head));
  return out;
}

Expected<bool, ExternalIdError> check_spelled_nodes(const Spellings& spellings,
                                                    const prefix::TrieView& trie) {
  for (const prefix::NodeId node : spellings.nodes()) {
    if (node >= trie.node_count() || !trie.terminal(node)) {
      return refuse("node " + std::to_string(node) + " ends no term");
    }
  }
  return true;
}

}  // namespace torrelm::store

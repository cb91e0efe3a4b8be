#include "store/external_ids.hpp"

#include <cstring>

#include "common/fault.hpp"
#include "text/utf8.hpp"

namespace torrelm::store {
namespace {

constexpr std::size_t kHead = 16;

Unexpected<ExternalIdError> refuse(std::string message) {
  return Unexpected{ExternalIdError{"section external_ids: " + std::move(message)}};
}

template <class T>
T get(std::span<const std::uint8_t> in, std::size_t at) {
  T value;
  std::memcpy(&value, in.data() + at, sizeof value);
  return value;
}

template <class T>
std::span<const T> elements(std::span<const std::uint8_t> data, std::size_t count) {
  return {reinterpret_cast<const T*>(data.data()), count};
}

}  // namespace

Expected<ExternalIds, ExternalIdError> ExternalIds::read(std::span<const std::uint8_t> section,
                                                         bool thorough, Cancel cancel) {
  if (reinterpret_cast<std::uintptr_t>(section.data()) % alignof(std::uint64_t) != 0) {
    throw InternalFault("an id table is read in place from an address aligned for 8 bytes",
                        SourceLocation::current());
  }
  if (section.size() < kHead) {
    return refuse(std::to_string(section.size()) + " bytes, shorter than its 16-byte head");
  }
  const auto kind = get<std::uint32_t>(section, 0);
  if (kind < 1 || kind > 3 || get<std::uint32_t>(section, 4) != 0) {
    return refuse("unknown kind " + std::to_string(kind) + " (byte offset 0)");
  }
  const auto count = get<std::uint64_t>(section, 8);
  const std::span<const std::uint8_t> body = section.subspan(kHead);
  if (count > body.size() / 8) {
    return refuse(std::to_string(count) + " ids need more than the " + std::to_string(body.size()) +
                  " bytes after the head");
  }
  ExternalIds ids;
  ids.section_ = section;
  ids.kind_ = static_cast<ExternalKind>(kind);
  ids.count_ = static_cast<std::size_t>(count);
  const std::size_t table = ids.count_ * 8;
  if (ids.kind_ != ExternalKind::Text) {
    if (body.size() != table) {
      return refuse(std::to_string(body.size() - table) + " bytes after the last of " +
                    std::to_string(count) + " ids");
    }
    ids.signed_ = elements<std::int64_t>(body, ids.count_);
    ids.unsigned_ = elements<std::uint64_t>(body, ids.count_);
    return ids;
  }
  ids.ends_ = elements<std::uint64_t>(body, ids.count_);
  const std::span<const std::uint8_t> text = body.subspan(table);
  ids.text_ = {reinterpret_cast<const char*>(text.data()), text.size()};
  const std::uint64_t last = ids.count_ == 0 ? 0 : ids.ends_.back();
  if (last != text.size()) {
    return refuse("the ids end at " + std::to_string(last) + " but the text holds " +
                  std::to_string(text.size()) + " bytes");
  }
  if (!thorough) return ids;
  std::uint64_t begin = 0;
  for (std::size_t i = 0; i < ids.count_; ++i) {
    cancel.step();
    const std::uint64_t end = ids.ends_[i];
    if (end < begin || end > text.size()) {
      return refuse("id " + std::to_string(i) + " ends at " + std::to_string(end) + ", outside " +
                    std::to_string(begin) + ".." + std::to_string(text.size()) + " (byte offset " +
                    std::to_string(kHead + 8 * i) + ")");
    }
    const std::string_view id(ids.text_.data() + begin, static_cast<std::size_t>(end - begin));
    if (!text::valid_utf8(id)) {
      return refuse("id " + std::to_string(i) + " is not valid UTF-8 (byte offset " +
                    std::to_string(kHead + table + begin) + ")");
    }
    begin = end;
  }
  return ids;
}

std::string_view ExternalIds::text(std::size_t i) const {
  if (kind_ != ExternalKind::Text)
    throw InternalFault("not a text table", SourceLocation::current());
  const std::uint64_t end = checked_at(ends_, i);
  const std::uint64_t begin = i == 0 ? 0 : ends_[i - 1];
  if (begin > end || end > text_.size()) {
    throw InternalFault("id " + std::to_string(i) + " lies outside the text",
                        SourceLocation::current());
  }
  return {text_.data() + begin, static_cast<std::size_t>(end - begin)};
}

std::int64_t ExternalIds::signed_value(std::size_t i) const { return checked_at(signed_, i); }

std::uint64_t ExternalIds::unsigned_value(std::size_t i) const { return checked_at(unsigned_, i); }

void ExternalIdWriter::add_text(std::string_view id) {
  text_.append(id);
  ends_.push_back(text_.size());
}

std::vector<std::uint8_t> ExternalIdWriter::finish() const {
  const bool is_text = kind_ == ExternalKind::Text;
  const std::uint64_t count = size();
  std::vector<std::uint8_t> out(kHead + count * 8 + (is_text ? text_.size() : 0));
  const auto put = [&](std::size_t at, const void* data, std::size_t size) {
    if (size != 0) std::memcpy(out.data() + at, data, size);
  };
  const auto kind = static_cast<std::uint32_t>(kind_);
  put(0, &kind, 4);
  put(8, &count, 8);
  put(kHead, is_text ? ends_.data() : values_.data(), static_cast<std::size_t>(count) * 8);
  if (is_text) put(kHead + static_cast<std::size_t>(count) * 8, text_.data(), text_.size());
  return out;
}

Expected<bool, ExternalIdError> check_names_every_video(const ExternalIds& ids,
                                                        const prefix::TrieView& trie,
                                                        Cancel cancel) {
  if (trie.id_mode != prefix::IdMode::Int32) {
    return refuse("an index with 16-byte ids cannot take a table of its own ids");
  }
  for (std::size_t i = 0; i < trie.video_int_ids.size(); ++i) {
    cancel.step();
    if (trie.video_int_ids[i] >= ids.size()) {
      return refuse("video " + std::to_string(i) + " has id " +
                    std::to_string(trie.video_int_ids[i]) + ", past the " +
                    std::to_string(ids.size()) + " ids of the table");
    }
  }
  return true;
}

}  // namespace torrelm::store

#include "store/external_ids.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "store/mapped_file.hpp"
#include "store/spellings.hpp"
#include "support/tries.hpp"

namespace torrelm::store {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A section copied to an aligned buffer, as a container or a mapping holds it.
FileBytes aligned(const Bytes& bytes) { return FileBytes::copy_of(bytes); }

TEST(ExternalIds, TablesReadBackWhatWasWritten) {
  ExternalIdWriter texts(ExternalKind::Text);
  const std::vector<std::string> slugs = {"dQw4w9WgXcQ", "", "caf\xc3\xa9", std::string(300, 'x')};
  for (const auto& s : slugs) texts.add_text(s);
  const FileBytes text_bytes = aligned(texts.finish());
  const auto read = ExternalIds::read(text_bytes.bytes(), true);
  ASSERT_TRUE(read) << read.error().message;
  ASSERT_EQ(read->size(), slugs.size());
  for (std::size_t i = 0; i < slugs.size(); ++i) EXPECT_EQ(read->text(i), slugs[i]);
  EXPECT_THROW((void)read->text(slugs.size()), InternalFault);

  ExternalIdWriter ints(ExternalKind::Signed);
  for (const std::int64_t v : {INT64_MIN, std::int64_t{-1}, std::int64_t{0}, INT64_MAX})
    ints.add_signed(v);
  const FileBytes int_bytes = aligned(ints.finish());
  const auto numbers = ExternalIds::read(int_bytes.bytes(), true);
  ASSERT_TRUE(numbers);
  EXPECT_EQ(numbers->signed_value(0), INT64_MIN);
  EXPECT_EQ(numbers->signed_value(3), INT64_MAX);
}

TEST(ExternalIds, BadTablesAreRefusedWithTheirProblem) {
  ExternalIdWriter writer(ExternalKind::Text);
  writer.add_text("ab");
  writer.add_text("c");
  const Bytes good = writer.finish();  // head 16, ends 16..31, text "abc" at 32
  const auto with = [&](std::size_t at, std::uint64_t value, std::size_t width) {
    Bytes bad = good;
    std::memcpy(bad.data() + at, &value, width);
    return bad;
  };
  struct Case {
    const char* name;
    Bytes bytes;
    bool thorough;
    const char* message;
  };
  const Case cases[] = {
      {"short", Bytes(good.begin(), good.begin() + 10), false, "shorter than its 16-byte head"},
      {"kind", with(0, 9, 4), false, "unknown kind 9"},
      {"count past the bytes", with(8, 1000, 8), false, "ids need more than"},
      {"last end off the text", with(24, 4, 8), false, "the ids end at 4 but the text holds 3"},
      {"end past the text", with(16, 4, 8), true, "id 0 ends at 4, outside 0..3"},
      {"not UTF-8", with(32, 0xFF, 1), true, "id 0 is not valid UTF-8 (byte offset 32)"},
  };
  for (const Case& c : cases) {
    const FileBytes bytes = aligned(c.bytes);
    const auto read = ExternalIds::read(bytes.bytes(), c.thorough);
    ASSERT_FALSE(read) << c.name;
    EXPECT_NE(read.error().message.find(c.message), std::string::npos)
        << c.name << ": " << read.error().message;
  }
  // Unchecked, an end past the text is found when the id is read, as a fault.
  const FileBytes falling = aligned(with(16, 4, 8));
  const auto unchecked = ExternalIds::read(falling.bytes(), false);
  ASSERT_TRUE(unchecked);
  EXPECT_THROW((void)unchecked->text(0), InternalFault);
}

TEST(ExternalIds, EveryVideoMustHaveAPlaceInTheTable) {
  prefix::Trie trie = test::make_trie({{0, U'a'}});
  trie.id_mode = prefix::IdMode::Int32;
  trie.video_int_ids = {0, 2};
  ExternalIdWriter writer(ExternalKind::Unsigned);
  writer.add_unsigned(7);
  writer.add_unsigned(8);
  const FileBytes two = aligned(writer.finish());
  const auto ids = ExternalIds::read(two.bytes(), true);
  ASSERT_TRUE(ids);
  const auto named = check_names_every_video(*ids, trie);
  ASSERT_FALSE(named);
  EXPECT_NE(named.error().message.find("video 1 has id 2, past the 2 ids"), std::string::npos);
  trie.video_int_ids = {1, 0};
  EXPECT_TRUE(check_names_every_video(*ids, trie));
  trie.id_mode = prefix::IdMode::Uuid;
  EXPECT_FALSE(check_names_every_video(*ids, trie));
}

TEST(FileBytes, FilesAreMappedOrReadWhole) {
  char name[] = "/tmp/torrelm-file-bytes-XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  ::unlink(name);
  Bytes content(100'003);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
  const auto written = write_file(fd, content.size(), [&](std::span<std::uint8_t> out) {
    std::memcpy(out.data(), content.data(), out.size());
  });
  ASSERT_TRUE(written) << written.error().message;
  for (const bool map : {true, false}) {
    const auto file = FileBytes::of(fd, map);
    ASSERT_TRUE(file) << file.error().message;
    EXPECT_EQ(file->mapped(), map);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(file->bytes().data()) % 8, 0u);
    EXPECT_TRUE(
        std::equal(content.begin(), content.end(), file->bytes().begin(), file->bytes().end()));
  }
  ::close(fd);
}

TEST(TrieView, ViewsCompareByContentAndCopyBack) {
  const prefix::Trie trie = test::make_trie({{0, U'a'}, {0, U'b'}, {1, U'c'}});
  const prefix::TrieView view = trie.view();
  EXPECT_EQ(prefix::Trie::copy_of(view), trie);
  prefix::Trie other = trie;
  EXPECT_TRUE(view == other.view());
  other.child_labels[2] = U'x';
  EXPECT_FALSE(view == other.view());
}

}  // namespace
}  // namespace torrelm::store

namespace torrelm::store {
namespace {

TEST(Spellings, ReadBackByNodeAndRefuseWhatIsNotWellFormed) {
  const std::vector<std::uint8_t> section =
      spellings_section({{9, "Café"}, {2, "CAT"}, {5, "Straße"}});
  const FileBytes bytes = FileBytes::copy_of(section);
  const auto read = Spellings::read(bytes.bytes(), true);
  ASSERT_TRUE(read) << read.error().message;
  EXPECT_EQ(read->of(2), "CAT");
  EXPECT_EQ(read->of(9), "Café");
  EXPECT_FALSE(read->of(3));

  std::vector<std::uint8_t> falling = section;
  std::swap_ranges(falling.begin() + 8, falling.begin() + 12, falling.begin() + 12);  // 5, 2, 9
  const FileBytes bad = FileBytes::copy_of(falling);
  const auto refused = Spellings::read(bad.bytes(), true);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message.find("does not come after node"), std::string::npos);
  const FileBytes cut = FileBytes::copy_of(std::span(section).first(section.size() - 1));
  EXPECT_FALSE(Spellings::read(cut.bytes(), false));

  prefix::Trie trie = test::make_trie({{0, U'a'}, {0, U'b'}});
  trie.is_terminal = {0, 1, 0};
  const FileBytes one = FileBytes::copy_of(spellings_section({{1, "A"}}));
  const FileBytes two = FileBytes::copy_of(spellings_section({{2, "B"}}));
  EXPECT_TRUE(check_spelled_nodes(*Spellings::read(one.bytes(), true), trie));
  EXPECT_FALSE(check_spelled_nodes(*Spellings::read(two.bytes(), true), trie));  // ends no term
}

}  // namespace
}  // namespace torrelm::store

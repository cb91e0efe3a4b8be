#include "store/container.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "prefix/matcher/matcher.hpp"
#include "store/random_trie.hpp"
#include "store/validate.hpp"
#include "support/tries.hpp"

namespace torrelm::store {
namespace {

using Bytes = std::vector<std::uint8_t>;
using prefix::IdMode;
using prefix::Trie;

constexpr std::size_t kHeader = 40;
constexpr std::size_t kEntry = 40;

Bytes write(const Trie& trie, const ContainerExtras& extras = {}) {
  Bytes out(static_cast<std::size_t>(container_size(trie, extras)));
  write_container(trie, extras, out);
  return out;
}

std::string outcome(const Bytes& bytes, bool verify = true) {
  const auto got = read_container(bytes, verify);
  return got ? "ok" : got.error().message;
}

template <class T>
T get(const Bytes& bytes, std::size_t at) {
  T value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}
template <class T>
void put(Bytes& bytes, std::size_t at, T value) {
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

struct Entry {
  std::uint32_t kind;
  std::uint32_t flags;
  std::uint64_t offset;
  std::uint64_t length;
};
std::vector<Entry> entries(const Bytes& bytes) {
  std::vector<Entry> out;
  for (std::uint32_t i = 0; i < get<std::uint32_t>(bytes, 20); ++i) {
    const std::size_t at = kHeader + i * kEntry;
    out.push_back({get<std::uint32_t>(bytes, at), get<std::uint32_t>(bytes, at + 4),
                   get<std::uint64_t>(bytes, at + 8), get<std::uint64_t>(bytes, at + 16)});
  }
  return out;
}

// What a writer of an edited header would put in its checksum field.
void reseal(Bytes& bytes) {
  const std::size_t table_end = kHeader + kEntry * get<std::uint32_t>(bytes, 20);
  const std::span<const std::uint8_t> all(bytes);
  put(bytes, 32,
      container_checksum(all.subspan(kHeader, table_end - kHeader),
                         container_checksum(all.first(32))));
}

// root -a-> 1 -b-> 2 with payloads and two int ids.
Trie small_trie() {
  Trie trie = test::make_trie({{0, U'a', true}, {1, U'b', true}});
  trie.id_mode = IdMode::Int32;
  trie.video_int_ids = {10, 20};
  trie.payloads = test::table_of(
      {std::nullopt, payload::Payload{5, {0, 1}, {3, 2}}, payload::Payload{2, {1}, {2}}});
  return trie;
}

TEST(Container, RoundTripsRandomTriesOfBothIdKindsWithAndWithoutExtras) {
  std::mt19937 rng(3);
  const ContainerExtras extras[] = {
      {},
      {R"({"build_time":"2026-12-07T13:00:00Z","rows":12,"video_top_n":50})", ""},
      {"", std::string("\x00\x01\xFF", 3)},
  };
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    const Trie trie = test::random_trie(rng, round % 2 == 0 ? IdMode::Int32 : IdMode::Uuid, 20);
    const ContainerExtras& extra = extras[static_cast<std::size_t>(round) % 3];
    const Bytes bytes = write(trie, extra);
    EXPECT_TRUE(looks_like_container(bytes));
    for (const bool verify : {true, false}) {
      const auto got = read_container(bytes, verify);
      ASSERT_TRUE(got) << got.error().message;
      EXPECT_EQ(got->trie, trie);
      EXPECT_EQ(got->extras, extra);
    }
  }
  for (const Trie& odd : {Trie{}, small_trie()}) {
    const auto got = read_container(write(odd), true);
    ASSERT_TRUE(got) << got.error().message;
    EXPECT_EQ(got->trie, odd);
  }
}

// A container laid out by hand from (kind, flags, bytes) sections, as another writer might.
struct Raw {
  std::uint32_t kind;
  std::uint32_t flags;
  Bytes data;
};
Bytes assemble(const Bytes& written, const std::vector<Raw>& sections) {
  Bytes out(written.begin(), written.begin() + 32);
  put(out, 20, static_cast<std::uint32_t>(sections.size()));
  out.resize(kHeader + kEntry * sections.size());
  for (std::size_t i = 0; i < sections.size(); ++i) {
    out.resize((out.size() + 63) / 64 * 64);
    const std::size_t at = kHeader + i * kEntry;
    put(out, at, sections[i].kind);
    put(out, at + 4, sections[i].flags);
    put(out, at + 8, static_cast<std::uint64_t>(out.size()));
    put(out, at + 16, static_cast<std::uint64_t>(sections[i].data.size()));
    put(out, at + 24, container_checksum(sections[i].data));
    out.insert(out.end(), sections[i].data.begin(), sections[i].data.end());
  }
  reseal(out);
  return out;
}

std::vector<Raw> raw_sections(const Bytes& bytes) {
  std::vector<Raw> out;
  for (const Entry& e : entries(bytes)) {
    const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(e.offset);
    out.push_back({e.kind, e.flags, Bytes(begin, begin + static_cast<std::ptrdiff_t>(e.length))});
  }
  return out;
}

TEST(Container, ReadsWideEndsAndSkipsUnknownKinds) {
  const Trie trie = small_trie();
  const Bytes written = write(trie);
  std::vector<Raw> sections = raw_sections(written);
  ASSERT_EQ(assemble(written, sections), written);
  for (Raw& s : sections) {
    if (s.kind != 6) continue;  // payload_ids_end, 4 bytes each: widen to 8
    Bytes wide;
    for (std::size_t i = 0; i < s.data.size(); i += 4) {
      const std::uint64_t end = get<std::uint32_t>(s.data, i);
      wide.resize(wide.size() + 8);
      std::memcpy(wide.data() + wide.size() - 8, &end, 8);
    }
    s = {6, 1, wide};
  }
  sections.insert(sections.begin() + 2, Raw{1000, 0, {1, 2, 3}});
  const auto got = read_container(assemble(written, sections), true);
  ASSERT_TRUE(got) << got.error().message;
  EXPECT_EQ(got->trie, trie);

  sections.push_back(sections.front());
  const Bytes twice = assemble(written, sections);
  const Entry last = entries(twice).back();
  EXPECT_EQ(outcome(twice), "section node_shifts (offset " + std::to_string(last.offset) + ", " +
                                std::to_string(last.length) + " bytes): appears twice");
}

TEST(Container, RoundTripsUnevenCountsAndBothIdTables) {
  Trie trie = small_trie();
  // A decoded index may give a slot more counts than positions: the table keeps separate ends.
  trie.payloads = test::table_of(
      {payload::Payload{1, {0}, {1, 2}}, std::nullopt, payload::Payload{2, {1, 0}, {2}}});
  trie.video_uuids = {prefix::VideoUuid{1, 2, 3}};
  const Bytes bytes = write(trie);
  const auto got = read_container(bytes, true);
  ASSERT_TRUE(got) << got.error().message;
  EXPECT_EQ(got->trie, trie);
  bool separate = false;
  for (const Entry& e : entries(bytes)) separate = separate || e.kind == 7;
  EXPECT_TRUE(separate);
}

TEST(Container, LaysSectionsOutAlignedAndInOrder) {
  const Bytes bytes = write(small_trie(), {"{}", "x"});
  std::uint64_t end = kHeader + kEntry * entries(bytes).size();
  for (const Entry& e : entries(bytes)) {
    EXPECT_EQ(e.offset % 64, 0u);
    EXPECT_GE(e.offset, end);
    EXPECT_LT(e.offset - end, 64u);
    end = e.offset + e.length;
  }
  EXPECT_EQ(end, bytes.size());
}

TEST(Container, DetectsEverySingleByteCorruption) {
  const Bytes good = write(small_trie(), {"{\"rows\":3}", "ab"});
  for (std::size_t at = 0; at < good.size(); ++at) {
    for (const std::uint8_t flip : {0x01, 0x80, 0xFF}) {
      Bytes bad = good;
      bad[at] ^= flip;
      ASSERT_NE(outcome(bad), "ok") << "byte " << at << " xor " << int{flip};
    }
  }
}

// Without checksums a corrupted container may read, into whatever index its bytes now describe:
// the reader must still stay inside the file, and validation must judge what it gives back.
TEST(Container, ReadsCorruptionUncheckedWithoutFaults) {
  const Bytes good = write(small_trie(), {"{}", ""});
  std::size_t read = 0;
  for (std::size_t at = 0; at < good.size(); ++at) {
    for (const std::uint8_t flip : {0x01, 0x02, 0x80}) {
      Bytes bad = good;
      bad[at] ^= flip;
      const auto got = read_container(bad, false);
      if (!got) continue;
      ++read;
      const auto valid = validate(got->trie);
      if (valid) {
        EXPECT_NO_THROW(prefix::fuzzy_match(got->trie, "ab", 1, std::nullopt)) << "byte " << at;
      }
    }
  }
  // Most flips inside the arrays read: of three flips per section byte, more than one on average.
  std::size_t section_bytes = 0;
  for (const Entry& e : entries(good)) section_bytes += static_cast<std::size_t>(e.length);
  EXPECT_GT(read, section_bytes);
}

TEST(Container, RefusesEveryTruncation) {
  const Bytes good = write(small_trie(), {"{}", ""});
  std::vector<std::size_t> cuts;
  for (std::size_t n = 0; n <= kHeader + kEntry * entries(good).size(); ++n) cuts.push_back(n);
  for (const Entry& e : entries(good)) {
    cuts.push_back(static_cast<std::size_t>(e.offset));
    cuts.push_back(static_cast<std::size_t>(e.offset + e.length));
  }
  for (const std::size_t n : cuts) {
    if (n >= good.size()) continue;
    const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_NE(outcome(cut, false), "ok") << n << " bytes";
  }
  EXPECT_EQ(outcome(Bytes(good.begin(), good.begin() + 20)),
            "truncated: the header ends at byte 40 but the file has 20 bytes");
  const Entry last = entries(good).back();
  EXPECT_EQ(outcome(Bytes(good.begin(), good.end() - 1)),
            "truncated: section metadata ends at byte " +
                std::to_string(last.offset + last.length) + " but the file has " +
                std::to_string(good.size() - 1) + " bytes");
}

TEST(Container, ReadsNewerMinorVersionsAndRefusesNewerMajorOnes) {
  Bytes bytes = write(small_trie());
  put<std::uint16_t>(bytes, 10, 7);
  reseal(bytes);
  EXPECT_EQ(outcome(bytes), "ok");
  put<std::uint16_t>(bytes, 8, 2);
  put<std::uint16_t>(bytes, 10, 0);
  EXPECT_EQ(outcome(bytes),
            "index file format 2.0 is newer than this reader (1.x): upgrade torrelm");
}

TEST(Container, NamesTheFirstProblem) {
  const Bytes good = write(small_trie());
  const auto all = entries(good);
  // Section 2 is child_transitions in every container this writer makes.
  const Entry& third = all[2];
  const std::size_t third_at = kHeader + 2 * kEntry;
  struct Case {
    const char* name;
    std::function<void(Bytes&)> edit;
    bool verify;
    std::string want;
  };
  const auto in_third = "section child_transitions (offset " + std::to_string(third.offset) + ", " +
                        std::to_string(third.length) + " bytes): ";
  const Case cases[] = {
      {"stored form",
       [](Bytes& b) {
         b = {0x01, 0x00, 0x01, 0x61};
       },
       true, "not an index file (bad magic)"},
      {"empty", [](Bytes& b) { b.clear(); }, true,
       "truncated: the header ends at byte 40 but the file has 0 bytes"},
      {"other byte order", [](Bytes& b) { put<std::uint32_t>(b, 12, 0x04030201); }, true,
       "index file written on a machine of the other byte order (mark 04030201): this reader "
       "needs one written with its own"},
      {"header byte", [](Bytes& b) { b[24] ^= 1; }, true,
       "header (offset 0, " + std::to_string(kHeader + kEntry * all.size()) +
           " bytes): checksum mismatch"},
      {"section byte", [&](Bytes& b) { b[third.offset] ^= 1; }, true,
       in_third + "checksum mismatch"},
      {"section byte unchecked", [&](Bytes& b) { b[third.offset] ^= 1; }, false, "ok"},
      {"misaligned", [&](Bytes& b) { put(b, third_at + 8, third.offset + 4); }, false,
       "section child_transitions (offset " + std::to_string(third.offset + 4) + ", " +
           std::to_string(third.length) + " bytes): misaligned: sections start at multiples of 64"},
      {"overlapping", [&](Bytes& b) { put(b, third_at + 8, all[1].offset); }, false,
       "section child_transitions (offset " + std::to_string(all[1].offset) + ", " +
           std::to_string(third.length) + " bytes): overlaps section child_labels"},
      {"past the end", [&](Bytes& b) { put<std::uint64_t>(b, third_at + 16, b.size()); }, false,
       "truncated: section child_transitions ends at byte " +
           std::to_string(third.offset + good.size()) + " but the file has " +
           std::to_string(good.size()) + " bytes"},
      {"odd length", [&](Bytes& b) { put(b, third_at + 16, third.length - 1); }, false,
       "section child_transitions (offset " + std::to_string(third.offset) + ", " +
           std::to_string(third.length - 1) + " bytes): length is not a multiple of 4 bytes"},
      {"trailing bytes", [](Bytes& b) { b.push_back(0); }, false,
       "1 bytes after the last section, which ends at byte " + std::to_string(good.size())},
      {"missing section", [&](Bytes& b) { put<std::uint32_t>(b, third_at, 99); }, false,
       "section child_transitions is missing"},
      {"fewer slots than marked present", [&](Bytes& b) { put<std::uint64_t>(b, 24, 2); }, false,
       "section payload_presence (offset " + std::to_string(all[3].offset) + ", " +
           std::to_string(all[3].length) + " bytes): word 0 marks slots past the last one"},
      {"more slots than words", [&](Bytes& b) { put<std::uint64_t>(b, 24, 65); }, false,
       "section payload_presence (offset " + std::to_string(all[3].offset) + ", " +
           std::to_string(all[3].length) + " bytes): 1 words for 65 payload slots (2 needed)"},
      {"wrong rank", [&](Bytes& b) { put<std::uint64_t>(b, all[3].offset + 8, 1); }, false,
       "section payload_presence (offset " + std::to_string(all[3].offset) + ", " +
           std::to_string(all[3].length) +
           " bytes): word 0 has rank 1 but 0 present slots come before it"},
      {"ends past the positions", [&](Bytes& b) { put<std::uint32_t>(b, all[5].offset + 4, 9); },
       false,
       "section payload_ids_end (offset " + std::to_string(all[5].offset) + ", " +
           std::to_string(all[5].length) + " bytes): range end 1 is 9, outside 2..3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = good;
    c.edit(bytes);
    EXPECT_EQ(outcome(bytes, c.verify), c.want);
  }
}

TEST(Container, ReadingStopsWhenTheHookSaysSo) {
  std::vector<test::Node> nodes;
  for (std::uint32_t i = 0; i < 12 * Cancel::kInterval; ++i) nodes.push_back({i, U'a'});
  const Bytes bytes = write(test::make_trie(nodes));
  int asked = 0;
  const Cancel stop([](void* context) noexcept { return ++*static_cast<int*>(context) >= 2; },
                    &asked);
  EXPECT_THROW(read_container(bytes, true, stop), Cancelled);
  EXPECT_EQ(asked, 2);
  EXPECT_TRUE(read_container(bytes, true));
}

}  // namespace
}  // namespace torrelm::store

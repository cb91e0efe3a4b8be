#include "ingest/variants.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "text/utf8.hpp"

namespace torrelm::ingest {
namespace {

struct Term {
  std::string text;
  std::uint64_t count;
  std::uint32_t video;  // where all its clicks went, one per search
};

// What each term merges into (its text, or "" where it stays), as a build with merge_variants
// at the default ratio decides.
// The columns find_variants reads, each term on one video.
struct Columns {
  explicit Columns(const std::vector<Term>& terms) {
    for (const Term& term : terms) {
      texts.push_back(term.text);
      counts.push_back(term.count);
      videos.emplace_back(term.video, term.count);
      begins.push_back(videos.size());
    }
  }
  TermsToMerge merging() const { return {texts, counts, begins, videos}; }

  std::vector<std::string_view> texts;
  std::vector<std::uint64_t> counts;
  std::vector<std::size_t> begins{0};
  std::vector<std::pair<std::uint32_t, std::uint64_t>> videos;
};

std::vector<std::string> merged(const std::vector<Term>& terms) {
  const Columns columns(terms);
  const TermsToMerge merging = columns.merging();
  std::vector<std::uint32_t> into = find_variants(merging, kDefaultRatio);
  merge_accent_twins(merging, into);
  std::vector<std::string> out;
  for (const std::uint32_t to : into) out.emplace_back(to == kNoVariant ? "" : terms[to].text);
  return out;
}

TEST(MergeVariants, FoldsSlipsAndAccentTwinsOnly) {
  struct Case {
    const char* name;
    std::vector<Term> terms;
    std::vector<std::string> into;
  };
  const Case cases[] = {
      {"a slip on the same videos",
       {{"funny cat videos", 1000, 1}, {"funny cta videos", 30, 1}},
       {"", "funny cat videos"}},
      {"a real word on videos of its own, though eighty times rarer",
       {{"through", 741'000, 1}, {"thorough", 9330, 2}},
       {"", ""}},
      {"a slip whose one click went elsewhere, under a term searched 442 times as often",
       {{"praise confirmation", 442, 1}, {"prwise confirmation", 1, 2}},
       {"", "praise confirmation"}},
      {"two clicks elsewhere",
       {{"praise confirmation", 442, 1}, {"prwise confirmation", 2, 2}},
       {"", "praise confirmation"}},
      {"three clicks elsewhere tell it apart",
       {{"praise confirmation", 442, 1}, {"prwise confirmation", 3, 2}},
       {"", ""}},
      {"one click elsewhere, under a term 49 times as searched",
       {{"praise confirmation", 49, 1}, {"prwise confirmation", 1, 2}},
       {"", ""}},
      {"one click elsewhere, under a term 50 times as searched",
       {{"praise confirmation", 50, 1}, {"prwise confirmation", 1, 2}},
       {"", "praise confirmation"}},
      {"digits slipped under a term far more searched",
       {{"soap 2024", 443, 1}, {"soap 20224", 5, 1}, {"soap 2204", 4, 1}},
       {"", "soap 2024", "soap 2024"}},
      {"a digit for another, twenty times apart",
       {{"iphone 13", 1000, 1}, {"iphone 12", 50, 1}},
       {"", ""}},
      {"Arabic-Indic digits", {{"ايفون ١٣", 1000, 1}, {"ايفون ١٢", 50, 1}}, {"", ""}},
      {"full-width digits", {{"phone １３", 1000, 1}, {"phone １２", 50, 1}}, {"", ""}},
      {"accent twins: the bare one goes into the accented one",
       {{"pokémon", 17'161, 1}, {"pokemon", 13'818, 1}},
       {"", "pokémon"}},
      {"the bare one searched more: the accented one goes into it",
       {{"cafe", 300, 1}, {"café", 100, 1}},
       {"", "cafe"}},
      {"twins by their letters whose clicks went apart",
       {{"fur", 1000, 1}, {"für", 104, 2}},
       {"", ""}},
      {"... unless they are two clicks or fewer", {{"café", 100, 1}, {"cafe", 2, 2}}, {"", "café"}},
      {"the bare one searched ten times as often is a word of its own",
       {{"resume", 1000, 1}, {"résumé", 100, 1}},
       {"", ""}},
      {"two accented spellings stay apart; the bare one goes to the most searched",
       {{"cześć", 100, 1}, {"część", 90, 1}, {"czesc", 50, 1}},
       {"", "", "cześć"}},
      {"a stroke is an accent", {{"łódź", 500, 1}, {"lodz", 50, 1}}, {"", "łódź"}},
      {"another case is no twin", {{"pokémon", 100, 1}, {"Pokemon", 90, 1}}, {"", ""}},
      {"a variant of a twin follows it",
       {{"pokémon", 17'161, 1}, {"pokemon", 13'818, 1}, {"pokemn", 100, 1}},
       {"", "pokémon", "pokémon"}},
      {"... either way",
       {{"cafe", 300, 1}, {"café", 100, 1}, {"cafés", 5, 1}},
       {"", "cafe", "cafe"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(merged(c.terms), c.into);
  }
}

TEST(MergeVariants, CrowdedDeletionKeyTakesWorkInProportion) {
  // Terms that all share the deletion key "abcd" ("abcd" and one code point more), each on videos
  // of its own and far apart in count, so that every rare one could be compared with every more
  // searched one; and one slip among them, on the videos of the most searched.
  constexpr std::size_t kTerms = 20'000;
  std::vector<Term> terms;
  std::string text;
  for (std::size_t i = 0; i < kTerms; ++i) {
    text = "abcd";
    text::append_utf8(text, static_cast<char32_t>(0x10000 + i));
    terms.push_back({text, i % 2 == 0 ? 5u : 100u, static_cast<std::uint32_t>(i + 1)});
  }
  terms.push_back({"abcdx", 1'000'000, 0});
  terms.push_back({"abcdy", 20, 0});
  std::size_t looks = 0;  // the hook is asked once every Cancel::kInterval steps
  Cancel counted([](void* looked) noexcept { return ++*static_cast<std::size_t*>(looked), false; },
                 &looks);
  const Columns columns(terms);
  const std::vector<std::uint32_t> into = find_variants(columns.merging(), kDefaultRatio, counted);
  EXPECT_EQ(into.back(), kTerms);  // the slip still folds into the most searched term
  EXPECT_EQ(std::count(into.begin(), into.end(), kNoVariant), kTerms + 1);
  // A few hundred steps a term, where comparing each with all the others takes tens of
  // thousands.
  EXPECT_LT(looks * Cancel::kInterval, 500 * terms.size());
}

TEST(MergeVariants, TellsEditsThatTouchDigits) {
  struct Case {
    std::u32string a;
    std::u32string b;
    OneEdit want;
  };
  const Case cases[] = {
      {U"cats", U"cast", OneEdit::Plain},   {U"cat", U"cat", OneEdit::No},
      {U"cat", U"dog", OneEdit::No},        {U"cat", U"cats", OneEdit::Plain},
      {U"a1", U"a2", OneEdit::Digit},       {U"a12", U"a21", OneEdit::Digit},
      {U"a1b", U"ab", OneEdit::Digit},      {U"a١", U"a٢", OneEdit::Digit},
      {U"a²", U"a³", OneEdit::Plain},        // superscripts are no decimal digits
      {U"2024a", U"2024b", OneEdit::Plain},  // digits beside the edit are not touched
  };
  for (const Case& c : cases) {
    EXPECT_EQ(one_edit(c.a, c.b), c.want);
    EXPECT_EQ(one_edit(c.b, c.a), c.want);
  }
}

}  // namespace
}  // namespace torrelm::ingest

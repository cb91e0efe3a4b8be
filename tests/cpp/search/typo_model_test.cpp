#include "search/typo_model.hpp"

#include <gtest/gtest.h>

#include <string>

#include "text/utf8.hpp"

namespace torrelm::search {
namespace {

std::string utf8(std::u32string_view text) {
  std::string out;
  for (const char32_t ch : text) text::append_utf8(out, ch);
  return out;
}

// The weighted distance in units of the model's weights: what each kind of slip costs, alone
// and combined, against the unit edits it takes.
TEST(TypoModel, CostsEachKindOfSlip) {
  const TypoModel& model = default_typo_model();
  struct Case {
    std::u32string typed;
    std::u32string meant;
    std::uint32_t units;
  };
  const Case cases[] = {
      {U"which", U"which", 0},
      {U"whihc", U"which", model.swap},         // two neighbours swapped
      {U"helo", U"hello", model.doubled},       // a doubled letter typed once
      {U"thhe", U"the", model.doubled},         // a letter typed twice
      {U"seperate", U"separate", model.vowel},  // one vowel for another
      {U"sepörate", U"separate", model.vowel},  // an accented vowel is a vowel
      {U"cst", U"cat", model.other},            // any other substitution
      {U"cats", U"cat", model.other},           // an extra letter, not a repeat
      {U"", U"ab", 2 * model.other},            // all left out
      {U"recieve", U"receive", model.swap},     // a swap beats two vowel changes
      {U"ca", U"abc", 3 * model.other},         // no part is edited twice
      {U"acocunt", U"account", model.swap},
      {U"wihhc", U"which", 2 * model.swap},    // two swaps side by side
      {U"pokemon", U"pokémon", model.accent},  // an accent left out
      {U"cafè", U"café", model.accent},        // the wrong one
      {U"lodz", U"łódź", 3 * model.accent},    // ł has no decomposition, and folds all the same
      {U"Éclair", U"eclair", model.vowel},     // É is E's twin, not e's
      {U"straße", U"strasse", model.other + model.doubled},  // ß is a letter of its own
  };
  for (const Case& c : cases) {
    EXPECT_EQ(typo_cost(c.typed, c.meant, model), static_cast<double>(c.units) / kCostUnits)
        << utf8(c.typed) << " for " << utf8(c.meant);
  }
  EXPECT_EQ(model.cheapest(), static_cast<double>(model.accent) / kCostUnits);
  EXPECT_LT(likelihood(2'000'000, 0.6, model), likelihood(2'000'000, 0.0, model));
  EXPECT_GT(likelihood(2'000'000, 0.6, model), likelihood(165, 0.0, model));
}

// Costs are summed in whole units: alignments of equal weight reached in another order are the
// same double, not two that differ in the last bit.
TEST(TypoModel, EqualWeightsAreEqualDoubles) {
  const TypoModel& model = default_typo_model();
  EXPECT_EQ(typo_cost(U"aba", U"bbae", model), typo_cost(U"aba", U"eabb", model));
  EXPECT_EQ(typo_cost(U"aba", U"bbae", model), 1.7);
}

}  // namespace
}  // namespace torrelm::search

#include "search/typo_model.hpp"

#include <gtest/gtest.h>

#include <string>

namespace torrelm::search {
namespace {

// The weighted distance in units of the model's weights: what each kind of slip costs, alone
// and combined, against the unit edits it takes.
TEST(TypoModel, CostsEachKindOfSlip) {
  const TypoModel& model = default_typo_model();
  struct Case {
    std::u32string typed;
    std::u32string meant;
    double cost;
  };
  const Case cases[] = {
      {U"which", U"which", 0.0},
      {U"whihc", U"which", model.swap},         // two neighbours swapped
      {U"helo", U"hello", model.doubled},       // a doubled letter typed once
      {U"thhe", U"the", model.doubled},         // a letter typed twice
      {U"seperate", U"separate", model.vowel},  // one vowel for another
      {U"cst", U"cat", model.other},            // any other substitution
      {U"cats", U"cat", model.other},           // an extra letter, not a repeat
      {U"", U"ab", 2 * model.other},            // all left out
      {U"recieve", U"receive", model.swap},     // a swap beats two vowel changes
      {U"ca", U"abc", 3 * model.other},         // no part is edited twice
      {U"acocunt", U"account", model.swap},
      {U"wihhc", U"which", 2 * model.swap},  // two swaps side by side
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(typo_cost(c.typed, c.meant, model), c.cost)
        << std::string(c.typed.begin(), c.typed.end()) << " for "
        << std::string(c.meant.begin(), c.meant.end());
  }
  EXPECT_LT(likelihood(2'000'000, model.swap, model), likelihood(2'000'000, 0.0, model));
  EXPECT_GT(likelihood(2'000'000, model.swap, model), likelihood(165, 0.0, model));
}

}  // namespace
}  // namespace torrelm::search

#include "text/utf8.hpp"

#include <gtest/gtest.h>

namespace torrelm::text {
namespace {

TEST(Utf8, RoundTripsScalarValuesAndReplacesBadBytes) {
  struct Case {
    const char* name;
    std::string bytes;
    std::u32string want;
  };
  const Case cases[] = {
      {"ascii", "cat", U"cat"},
      {"two to four bytes", "\xC3\xA9\xD0\xB6\xE2\x82\xAC\xF0\x9F\x98\x80",
       U"\u00e9\u0436\u20ac\U0001F600"},
      {"lone continuation", "a\x80z", U"a\uFFFDz"},
      {"cut sequence", "a\xE2\x82", U"a\uFFFD\uFFFD"},
      {"overlong", "\xC0\xAF", U"\uFFFD\uFFFD"},
      {"surrogate", "\xED\xA0\x80", U"\uFFFD\uFFFD\uFFFD"},
      {"nul", std::string("a\0b", 3), std::u32string(U"a\0b", 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_utf8(c.bytes), c.want);
  }
  std::string out;
  for (const char32_t ch : std::u32string(U"\u00e9\u0436\U0001F600")) append_utf8(out, ch);
  EXPECT_EQ(decode_utf8(out), U"\u00e9\u0436\U0001F600");
  out.clear();
  append_utf8(out, 0xD800);
  append_utf8(out, 0x110000);
  EXPECT_EQ(decode_utf8(out), U"\uFFFD\uFFFD");
}

}  // namespace
}  // namespace torrelm::text

// UTF-8 to code points and back, for query text and spelled terms.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace torrelm::text {

// Code points of `utf8`; a byte that does not start a well-formed sequence reads as U+FFFD.
std::u32string decode_utf8(std::string_view utf8);

// Whether `utf8` is well-formed UTF-8 throughout (no surrogates, nothing past U+10FFFF).
bool valid_utf8(std::string_view utf8) noexcept;

// Appends the UTF-8 form of `ch`; a value that is not a Unicode scalar value gives U+FFFD.
void append_utf8(std::string& out, char32_t ch);

}  // namespace torrelm::text

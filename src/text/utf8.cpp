#include "text/utf8.hpp"

#include <cstdint>

namespace torrelm::text {

bool valid_utf8(std::string_view utf8) noexcept {
  const auto* p = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const auto* const end = p + utf8.size();
  while (p < end) {
    // Runs of ASCII, the common case, eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t word = 0;
      for (int i = 0; i < 8; ++i) word |= std::uint64_t{p[i]} << (8 * i);
      if ((word & 0x8080'8080'8080'8080) != 0) break;
      p += 8;
    }
    if (p == end) break;
    const std::uint8_t lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
    if (extra < 0 || lead > 0xF4 || end - p <= extra) return false;
    char32_t ch = lead & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      ch = ch << 6 | (p[i] & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (ch < kSmallest[extra] || ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) return false;
    p += extra + 1;
  }
  return true;
}

std::u32string decode_utf8(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const auto* const end = p + utf8.size();
  while (p < end) {
    const std::uint8_t lead = *p;
    if (lead < 0x80) {
      out.push_back(lead);
      ++p;
      continue;
    }
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (extra < 0 || lead >= 0xF8 || end - p <= extra) {
      out.push_back(U'\uFFFD');
      ++p;
      continue;
    }
    char32_t ch = lead & (0x3F >> extra);
    bool ok = true;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) ok = false;
      ch = ch << 6 | (p[i] & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (!ok || ch < kSmallest[extra] || ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) {
      out.push_back(U'\uFFFD');
      ++p;
      continue;
    }
    out.push_back(ch);
    p += extra + 1;
  }
  return out;
}

void append_utf8(std::string& out, char32_t ch) {
  if (ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) ch = U'\uFFFD';
  if (ch < 0x80) {
    out.push_back(static_cast<char>(ch));
  } else if (ch < 0x800) {
    out.push_back(static_cast<char>(0xC0 | ch >> 6));
    out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
  } else if (ch < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | ch >> 12));
    out.push_back(static_cast<char>(0x80 | (ch >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | ch >> 18));
    out.push_back(static_cast<char>(0x80 | (ch >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (ch >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
  }
}

}  // namespace torrelm::text

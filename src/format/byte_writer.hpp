// ByteWriter: fills a buffer sized beforehand with the building blocks of the stored index, each
// in its shortest form. The *_size functions give the exact length of each block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace torrelm::format {

constexpr std::size_t varint_size(std::uint64_t v) noexcept {
  return v < 0xFB ? 1 : v <= 0xFFFF ? 3 : v <= 0xFFFF'FFFF ? 5 : 9;
}

constexpr std::size_t scalar_size(char32_t ch) noexcept {
  return ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4;
}

class ByteWriter {
 public:
  explicit ByteWriter(std::uint8_t* out) noexcept : at_(out) {}

  std::uint8_t* position() const noexcept { return at_; }

  void varint(std::uint64_t v) noexcept {
    if (v < 0xFB) {
      *at_++ = static_cast<std::uint8_t>(v);
      return;
    }
    std::size_t width = 8;
    if (v <= 0xFFFF) {
      *at_++ = 0xFB, width = 2;
    } else if (v <= 0xFFFF'FFFF) {
      *at_++ = 0xFC, width = 4;
    } else {
      *at_++ = 0xFD;
    }
    for (std::size_t i = 0; i < width; ++i) *at_++ = static_cast<std::uint8_t>(v >> (8 * i));
  }

  void byte(std::uint8_t b) noexcept { *at_++ = b; }

  void bytes(const std::uint8_t* data, std::size_t size) noexcept {
    if (size != 0) std::memcpy(at_, data, size);
    at_ += size;
  }

  void scalar(char32_t ch) noexcept {
    if (ch < 0x80) {
      *at_++ = static_cast<std::uint8_t>(ch);
    } else if (ch < 0x800) {
      *at_++ = static_cast<std::uint8_t>(0xC0 | ch >> 6);
      *at_++ = static_cast<std::uint8_t>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
      *at_++ = static_cast<std::uint8_t>(0xE0 | ch >> 12);
      *at_++ = static_cast<std::uint8_t>(0x80 | (ch >> 6 & 0x3F));
      *at_++ = static_cast<std::uint8_t>(0x80 | (ch & 0x3F));
    } else {
      *at_++ = static_cast<std::uint8_t>(0xF0 | (ch >> 18 & 0x07));
      *at_++ = static_cast<std::uint8_t>(0x80 | (ch >> 12 & 0x3F));
      *at_++ = static_cast<std::uint8_t>(0x80 | (ch >> 6 & 0x3F));
      *at_++ = static_cast<std::uint8_t>(0x80 | (ch & 0x3F));
    }
  }

 private:
  std::uint8_t* at_;
};

}  // namespace torrelm::format

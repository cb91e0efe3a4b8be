// ByteWriter: fills a buffer sized beforehand with the building blocks of the stored index, each
// in its shortest form. The *_size functions give the exact length of each block.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace torrelm::format {

// Branch-free: lengths vary from one value to the next, so branches would be mispredicted.
constexpr std::size_t varint_size(std::uint64_t v) noexcept {
  return 1 + 2 * std::size_t{v >= 0xFB} + 2 * std::size_t{v > 0xFFFF} +
         4 * std::size_t{v > 0xFFFF'FFFF};
}

constexpr std::size_t scalar_size(char32_t ch) noexcept {
  return ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4;
}

class ByteWriter {
 public:
  ByteWriter(std::uint8_t* out, std::size_t size) noexcept : at_(out), end_(out + size) {}

  std::uint8_t* position() const noexcept { return at_; }

  void varint(std::uint64_t v) noexcept {
    if (end_ - at_ >= 9) {
      // Lengths vary from one value to the next: choose without branches, and let the 8 bytes
      // stored after the marker spill over what the next writes will overwrite anyway.
      static constexpr std::uint8_t kLength[] = {1, 3, 5, 9};
      const unsigned form = unsigned{v >= 0xFB} + unsigned{v > 0xFFFF} + unsigned{v > 0xFFFF'FFFF};
      at_[0] = static_cast<std::uint8_t>(form == 0 ? v : 0xFA + form);
      store_le(at_ + 1, v);
      at_ += kLength[form];
    } else if (v < 0xFB) {
      *at_++ = static_cast<std::uint8_t>(v);
    } else if (v <= 0xFFFF) {
      *at_ = 0xFB;
      store_le(at_ + 1, static_cast<std::uint16_t>(v));
      at_ += 3;
    } else if (v <= 0xFFFF'FFFF) {
      *at_ = 0xFC;
      store_le(at_ + 1, static_cast<std::uint32_t>(v));
      at_ += 5;
    } else {
      *at_ = 0xFD;
      store_le(at_ + 1, v);
      at_ += 9;
    }
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
  template <class T>
  static void store_le(std::uint8_t* out, T value) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(out, &value, sizeof value);
    } else {
      for (std::size_t i = 0; i < sizeof value; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
      }
    }
  }

  std::uint8_t* at_;
  std::uint8_t* end_;
};

}  // namespace torrelm::format

// ByteReader: a forward cursor over borrowed bytes that reads the building blocks of the stored
// index. It never copies its input and never reads past its end. Each read returns false after
// recording the DecodeError of the first problem (out-parameters rather than Expected values keep
// the per-element loop of large sequences tight).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

#include "format/decode_error.hpp"

namespace torrelm::format {

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) noexcept
      : at_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - at_); }
  const DecodeError& error() const noexcept { return error_; }

  // A varint holding an unsigned 32-bit value: 0xFD, 0xFE and 0xFF are refused.
  bool u32(std::uint32_t& out) {
    const std::uint8_t* at = at_;
    if (end_ - at >= 9 && fast_u32(at, out)) {
      at_ = at;
      return true;
    }
    std::uint64_t wide = 0;
    if (!varint(false, wide)) return false;
    out = static_cast<std::uint32_t>(wide);
    return true;
  }

  // Fills `out` with u32 varints. The cursor stays in a register for the whole run: each
  // element's position depends on the length of the one before, a chain that a round trip
  // through memory would lengthen.
  bool u32s(std::span<std::uint32_t> out) {
    const std::uint8_t* at = at_;
    std::size_t i = 0;
    for (; i < out.size() && end_ - at >= 9; ++i) {
      if (!fast_u32(at, out[i])) break;
    }
    at_ = at;
    for (; i < out.size(); ++i) {
      if (!u32(out[i])) return false;
    }
    return true;
  }

  // A varint holding a sequence length: 0xFD is accepted when the value fits the index width.
  bool count(std::size_t& out) {
    std::uint64_t wide = 0;
    if (!varint(true, wide)) return false;
    if (wide > std::numeric_limits<std::size_t>::max()) {
      return fail(DecodeError::outside_usize_range(wide));
    }
    out = static_cast<std::size_t>(wide);
    return true;
  }

  bool boolean(std::uint8_t& out) {
    if (at_ == end_) return fail(DecodeError::unexpected_end(1));
    if (*at_ > 1) return fail(DecodeError::invalid_boolean_value(*at_));
    out = *at_++;
    return true;
  }

  // The tag of an optional value: true when a value follows.
  bool option_tag(bool& present, const char* type_name) {
    if (at_ == end_) return fail(DecodeError::unexpected_end(1));
    if (*at_ > 1) return fail(DecodeError::unexpected_variant(type_name, *at_));
    present = *at_++ == 1;
    return true;
  }

  // One Unicode scalar value in UTF-8.
  bool scalar(char32_t& out);
  // The same for the common case of an ASCII character, inline; false, reading nothing, for
  // anything else.
  bool ascii(char32_t& out) noexcept {
    if (at_ == end_ || *at_ >= 0x80) return false;
    out = *at_++;
    return true;
  }

  bool array16(std::uint8_t* out) {
    if (remaining() < 16) return fail(DecodeError::unexpected_end(16 - remaining()));
    std::memcpy(out, at_, 16);
    at_ += 16;
    return true;
  }

  bool fail(const DecodeError& error) {
    error_ = error;
    return false;
  }

 private:
  static constexpr std::uint8_t kMarker16 = 0xFB;
  static constexpr std::uint8_t kMarker32 = 0xFC;

  template <class T>
  static T load_le(const std::uint8_t* p) noexcept {
    T value = 0;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&value, p, sizeof value);
    } else {
      for (std::size_t i = 0; i < sizeof value; ++i) value |= static_cast<T>(T{p[i]} << (8 * i));
    }
    return value;
  }

  bool varint(bool is_count, std::uint64_t& out);

  // Decodes one u32 varint at `at` without branching on its length; needs 9 readable bytes.
  // False, leaving `at`, for a marker that only the careful path can judge.
  static bool fast_u32(const std::uint8_t*& at, std::uint32_t& out) noexcept {
    const std::uint8_t marker = *at;
    if (marker > kMarker32) return false;
    const unsigned wide = unsigned{marker >= kMarker16};
    const unsigned wider = unsigned{marker >= kMarker32};
    const std::uint32_t tail = load_le<std::uint32_t>(at + 1);
    const std::uint32_t value = wider ? tail : (tail & 0xFFFF);
    out = wide ? value : marker;
    at += 1 + 2 * (wide + wider);
    return true;
  }

  const std::uint8_t* at_;
  const std::uint8_t* end_;
  DecodeError error_{DecodeError::Kind::UnexpectedEnd};
};

}  // namespace torrelm::format

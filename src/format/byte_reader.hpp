// ByteReader: a forward cursor over borrowed bytes that reads the building blocks of the stored
// index. It never copies its input and never reads past its end. Each read returns false after
// recording the DecodeError of the first problem (out-parameters rather than Expected values keep
// the per-element loop of large sequences tight).
#pragma once

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
    if (at_ != end_ && *at_ < kMarker16) {  // the common one-byte form
      out = *at_++;
      return true;
    }
    std::uint64_t wide = 0;
    if (!varint(false, wide)) return false;
    out = static_cast<std::uint32_t>(wide);
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

  bool varint(bool is_count, std::uint64_t& out);

  const std::uint8_t* at_;
  const std::uint8_t* end_;
  DecodeError error_{DecodeError::Kind::UnexpectedEnd};
};

}  // namespace torrelm::format

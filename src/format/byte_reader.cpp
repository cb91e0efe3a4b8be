#include "format/byte_reader.hpp"

namespace torrelm::format {

bool ByteReader::varint(bool is_count, std::uint64_t& out) {
  if (at_ == end_) return fail(DecodeError::unexpected_end(1));
  const std::uint8_t marker = *at_;
  if (marker < kMarker16) {
    out = marker;
    ++at_;
    return true;
  }
  const IntegerType expected = is_count ? IntegerType::Usize : IntegerType::U32;
  std::size_t width = 0;
  switch (marker) {
    case 0xFB:
      width = 2;
      break;
    case 0xFC:
      width = 4;
      break;
    case 0xFD:
      if (!is_count) return fail(DecodeError::invalid_integer_type(expected, IntegerType::U64));
      width = 8;
      break;
    case 0xFE:
      return fail(DecodeError::invalid_integer_type(expected, IntegerType::U128));
    default:
      return fail(DecodeError::invalid_integer_type(expected, IntegerType::Reserved));
  }
  if (remaining() < width + 1) return fail(DecodeError::unexpected_end(width + 1 - remaining()));
  out = 0;
  for (std::size_t i = width; i > 0; --i) out = out << 8 | at_[i];
  at_ += width + 1;
  return true;
}

bool ByteReader::scalar(char32_t& out) {
  if (at_ == end_) return fail(DecodeError::unexpected_end(1));
  const std::uint8_t lead = *at_;
  if (lead < 0x80) {
    out = lead;
    ++at_;
    return true;
  }
  std::size_t width = 0;
  char32_t smallest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    width = 2, smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    width = 3, smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    width = 4, smallest = 0x10000;
  } else {
    return fail(DecodeError::invalid_char_encoding({lead, 0, 0, 0}));
  }
  if (remaining() < width) return fail(DecodeError::unexpected_end(width - remaining()));
  std::array<std::uint8_t, 4> bytes{};
  std::memcpy(bytes.data(), at_, width);
  char32_t ch = lead & (0x7F >> width);
  bool valid = true;
  for (std::size_t i = 1; i < width; ++i) {
    valid &= (bytes[i] & 0xC0) == 0x80;
    ch = ch << 6 | (bytes[i] & 0x3F);
  }
  if (!valid || ch < smallest || ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) {
    return fail(DecodeError::invalid_char_encoding(bytes));
  }
  out = ch;
  at_ += width;
  return true;
}

}  // namespace torrelm::format

// Why a byte string is not a stored index: the first problem the reader met, with its values.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace torrelm::format {

enum class IntegerType : std::uint8_t { U32, U64, U128, Usize, Reserved };

struct DecodeError {
  enum class Kind : std::uint8_t {
    UnexpectedEnd,        // value: bytes missing to complete the item being read
    InvalidIntegerType,   // expected, found
    OutsideUsizeRange,    // value: the count
    InvalidCharEncoding,  // bytes: those read for the character, zero-padded
    InvalidBooleanValue,  // value: the byte
    UnexpectedVariant,    // type_name, value: the tag or variant index found
  };

  Kind kind;
  std::uint64_t value = 0;
  IntegerType expected = IntegerType::U32;
  IntegerType found = IntegerType::U32;
  std::array<std::uint8_t, 4> bytes{};
  const char* type_name = "";

  static DecodeError unexpected_end(std::uint64_t additional) {
    return {Kind::UnexpectedEnd, additional};
  }
  static DecodeError invalid_integer_type(IntegerType expected, IntegerType found) {
    return {Kind::InvalidIntegerType, 0, expected, found};
  }
  static DecodeError outside_usize_range(std::uint64_t count) {
    return {Kind::OutsideUsizeRange, count};
  }
  static DecodeError invalid_char_encoding(std::array<std::uint8_t, 4> bytes) {
    return {Kind::InvalidCharEncoding, 0, IntegerType::U32, IntegerType::U32, bytes};
  }
  static DecodeError invalid_boolean_value(std::uint8_t byte) {
    return {Kind::InvalidBooleanValue, byte};
  }
  static DecodeError unexpected_variant(const char* type_name, std::uint64_t found) {
    return {Kind::UnexpectedVariant, found, IntegerType::U32, IntegerType::U32, {}, type_name};
  }
};

// "UnexpectedEnd { additional: 2 }", "InvalidBooleanValue(2)", ...
std::string to_string(const DecodeError& error);

}  // namespace torrelm::format

#include "format/decode_error.hpp"

namespace torrelm::format {
namespace {

const char* name(IntegerType type) {
  switch (type) {
    case IntegerType::U32:
      return "U32";
    case IntegerType::U64:
      return "U64";
    case IntegerType::U128:
      return "U128";
    case IntegerType::Usize:
      return "Usize";
    case IntegerType::Reserved:
      return "Reserved";
  }
  return "?";
}

}  // namespace

std::string to_string(const DecodeError& error) {
  using Kind = DecodeError::Kind;
  const std::string value = std::to_string(error.value);
  switch (error.kind) {
    case Kind::UnexpectedEnd:
      return "UnexpectedEnd { additional: " + value + " }";
    case Kind::InvalidIntegerType:
      return std::string("InvalidIntegerType { expected: ") + name(error.expected) +
             ", found: " + name(error.found) + " }";
    case Kind::OutsideUsizeRange:
      return "OutsideUsizeRange(" + value + ")";
    case Kind::InvalidCharEncoding: {
      std::string out = "InvalidCharEncoding([";
      for (std::size_t i = 0; i < error.bytes.size(); ++i) {
        if (i != 0) out += ", ";
        out += std::to_string(error.bytes[i]);
      }
      return out + "])";
    }
    case Kind::InvalidBooleanValue:
      return "InvalidBooleanValue(" + value + ")";
    case Kind::UnexpectedVariant:
      return std::string("UnexpectedVariant { type_name: \"") + error.type_name +
             "\", allowed: Range { min: 0, max: 1 }, found: " + value + " }";
  }
  return "?";
}

}  // namespace torrelm::format

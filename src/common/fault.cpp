#include "common/fault.hpp"

namespace torrelm {

void throw_out_of_bounds(std::size_t len, std::size_t index, SourceLocation where) {
  throw InternalFault("index out of bounds: the len is " + std::to_string(len) +
                          " but the index is " + std::to_string(index),
                      where);
}

}  // namespace torrelm

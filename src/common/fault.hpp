// A broken invariant met inside an operation: an internal fault. The core throws it only for
// that; expected failures (bad build input, bad bytes) are values. The module boundary turns it
// into PanicException and leaves every index untouched.
#pragma once

#include <cstddef>
#include <source_location>
#include <stdexcept>
#include <string>

namespace torrelm {

struct InternalFault : std::logic_error {
  InternalFault(const std::string& what, std::source_location at)
      : std::logic_error(what), where(at) {}
  std::source_location where;
};

[[noreturn]] void throw_out_of_bounds(std::size_t len, std::size_t index,
                                      std::source_location where);

// Guarded read: every read by node id or position in the index goes through here, because an
// index restored from bytes may be inconsistent in any way.
template <class Sequence>
decltype(auto) checked_at(const Sequence& items, std::size_t index,
                          std::source_location where = std::source_location::current()) {
  if (index >= items.size()) throw_out_of_bounds(items.size(), index, where);
  return items[index];
}

}  // namespace torrelm

// Conversions of call arguments into core values for torrelm._native. Each takes the argument as
// given (nanobind binds names, positions and defaults only) and throws nb::python_error with a
// TypeError naming the call and the argument when the value has the wrong type, so that every
// method converts alike and agrees with _torrelm.PrefixSearch on what it accepts:
//
//   text      str (subclasses too), as its UTF-8 form; lone surrogates raise UnicodeEncodeError
//   index     int or anything with __index__ (bool and numpy integers too); negative or too large
//             values raise OverflowError; an __index__ that raises lets its exception through
//   flag      None, bool or numpy's bool (ints, 0 and 1 included, are refused)
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "ranking/ranking.hpp"

namespace torrelm::native {

namespace nb = nanobind;

// Where an argument comes from, for messages: "Index.fuzzy_match()" and "term".
struct Argument {
  const char* call;
  const char* name;
};

// The UTF-8 bytes are owned by the str object (no copy): keep it alive while they are read.
std::string_view to_text(nb::handle value, Argument where);
std::size_t to_index(nb::handle value, Argument where);
// None gives nullopt.
std::optional<std::size_t> to_optional_index(nb::handle value, Argument where);
// None: PrefixNodes::Fallback; True: Include; False: Exclude.
ranking::PrefixNodes to_prefix_nodes(nb::handle value, Argument where);
// One of two names, as the value that goes with it: anything else is a TypeError (not a str) or
// a ValueError naming both.
template <class Choice>
struct Named {
  const char* name;
  Choice value;
};
template <class Choice>
Choice to_choice(nb::handle value, Argument where, Named<Choice> first, Named<Choice> second) {
  const std::string_view name = to_text(value, where);
  if (name == first.name) return first.value;
  if (name == second.name) return second.value;
  PyErr_Format(PyExc_ValueError, "%s argument '%s' must be '%s' or '%s', not %R", where.call,
               where.name, first.name, second.name, value.ptr());
  throw nb::python_error();
}
// "osa" or "levenshtein".
inline prefix::Distance to_distance(nb::handle value, Argument where) {
  return to_choice<prefix::Distance>(value, where, {"osa", prefix::Distance::Osa},
                                     {"levenshtein", prefix::Distance::Levenshtein});
}

// A read-only view of an object's bytes through the buffer protocol (bytes, bytearray,
// memoryview, array.array, mmap, ...), held until destruction: a resizable exporter cannot be
// resized meanwhile. An object without the buffer protocol raises TypeError naming the argument,
// a buffer that is not contiguous BufferError.
class BytesView {
 public:
  BytesView(nb::handle value, Argument where);
  ~BytesView();
  BytesView(const BytesView&) = delete;
  BytesView& operator=(const BytesView&) = delete;

  std::span<const std::uint8_t> bytes() const noexcept;

 private:
  Py_buffer view_{};
};

}  // namespace torrelm::native

// Conversions of Python values into core values. Each returns false with a Python exception set
// when the value does not convert; named_argument() then puts the parameter's name on a TypeError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "lib/python.hpp"

namespace torrelm::py {

// Rewrites a pending exception whose type is exactly TypeError as
// TypeError("argument '{name}': {text}") with the same __cause__; any other exception stays.
// Returns false, for use as `return convert(...) || named_argument("x")`.
bool named_argument(const char* name) noexcept;

// OverflowError "out of range integral type conversion attempted". Returns false.
bool raise_out_of_range() noexcept;

// str or a subclass, as UTF-8 owned by the string object (no copy).
bool to_text(PyObject* value, std::string_view& out) noexcept;

// An int (subclasses as they are, anything else through __index__) that fits the target width.
// Negative values and values of 2**64 or more raise the interpreter's OverflowError; values that
// fit 64 bits but not the target raise OverflowError "out of range integral type conversion
// attempted".
bool to_u32(PyObject* value, std::uint32_t& out) noexcept;
bool to_index(PyObject* value, std::size_t& out) noexcept;
// None or absent (nullptr) gives nullopt.
bool to_optional_index(PyObject* value, std::optional<std::size_t>& out) noexcept;

// A sequence that is not a str, read in index order: TypeError "Can't extract `str` to `Vec`" for
// a str, the 'Sequence' type mismatch for anything without the sequence protocol.
bool check_sequence(PyObject* value) noexcept;
bool to_u32_vector(PyObject* value, std::vector<std::uint32_t>& out) noexcept;

// Calls `each(item)` (a borrowed reference that stays alive for the call) for every item of a
// sequence accepted by check_sequence(), stopping at the first false. Lets exceptions of `each`
// (allocation failures) through.
template <class Each>
bool for_each_item(PyObject* sequence, Each&& each);

// Room to reserve for a sequence's items: its exact size for a list or tuple, and for other
// sequences their __len__ up to a cap (it may be wrong or hostile), or 0 when it fails.
std::size_t size_hint(PyObject* sequence) noexcept;

// --- implementation -------------------------------------------------------------------------

template <class Each>
bool for_each_item(PyObject* sequence, Each&& each) {
  // Converting plain ints never enters the interpreter's loop, where signal handlers run: look
  // for them now and then, so that Ctrl-C stops a long conversion.
  constexpr Py_ssize_t kSignalInterval = 4096;
  const auto signalled = [](Py_ssize_t i) {
    return i % kSignalInterval == kSignalInterval - 1 && PyErr_CheckSignals() != 0;
  };
  if (PyList_CheckExact(sequence)) {
    // An item's __index__ may change the list: re-read its size and hold each item.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sequence); ++i) {
      Ref item(Py_NewRef(PyList_GET_ITEM(sequence, i)));
      if (!each(item.get()) || signalled(i)) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(sequence)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sequence); ++i) {
      if (!each(PyTuple_GET_ITEM(sequence, i)) || signalled(i)) return false;
    }
    return true;
  }
  Ref iterator(PyObject_GetIter(sequence));
  if (!iterator) return false;
  for (Py_ssize_t i = 0; Ref item{PyIter_Next(iterator.get())}; ++i) {
    if (!each(item.get()) || signalled(i)) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace torrelm::py

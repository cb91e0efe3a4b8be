#include "lib/convert.hpp"

#include <algorithm>
#include <limits>

#include "lib/errors.hpp"

namespace torrelm::py {
namespace {

bool to_u64(PyObject* value, std::uint64_t& out) noexcept {
  if (PyLong_CheckExact(value) &&
      PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
    const Py_ssize_t small = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
    if (small >= 0) {
      out = static_cast<std::uint64_t>(small);
      return true;
    }
  }
  Ref number(PyLong_Check(value) ? Py_NewRef(value) : PyNumber_Index(value));
  if (!number) return false;
  out = PyLong_AsUnsignedLongLong(number.get());
  return !(out == std::numeric_limits<std::uint64_t>::max() && PyErr_Occurred());
}

template <class T>
bool to_unsigned(PyObject* value, T& out) noexcept {
  std::uint64_t wide = 0;
  if (!to_u64(value, wide)) return false;
  if (wide > std::numeric_limits<T>::max()) return raise_out_of_range();
  out = static_cast<T>(wide);
  return true;
}

}  // namespace

bool raise_out_of_range() noexcept {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

bool named_argument(const char* name) noexcept {
  Ref error(PyErr_GetRaisedException());
  if (!error) return false;
  if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(error.release());
    return false;
  }
  Ref text(PyObject_Str(error.get()));
  if (!text) return false;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return false;
  Ref wrapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) return false;
  // Always set, None included: setting __cause__ also sets __suppress_context__, so the wrapped
  // error reads the same whether or not the first one had a cause.
  PyException_SetCause(wrapped.get(), PyException_GetCause(error.get()));  // steals; may be null
  PyErr_SetRaisedException(wrapped.release());
  return false;
}

bool to_text(PyObject* value, std::string_view& out) noexcept {
  if (!PyUnicode_Check(value)) return raise_type_mismatch(value, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return false;
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool to_u32(PyObject* value, std::uint32_t& out) noexcept { return to_unsigned(value, out); }

bool to_index(PyObject* value, std::size_t& out) noexcept { return to_unsigned(value, out); }

bool to_optional_index(PyObject* value, std::optional<std::size_t>& out) noexcept {
  out.reset();
  if (value == nullptr || value == Py_None) return true;
  std::size_t index = 0;
  if (!to_index(value, index)) return false;
  out = index;
  return true;
}

bool check_sequence(PyObject* value) noexcept {
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(value)) return raise_type_mismatch(value, "Sequence");
  return true;
}

std::size_t size_hint(PyObject* sequence) noexcept {
  if (PyList_CheckExact(sequence)) return static_cast<std::size_t>(PyList_GET_SIZE(sequence));
  if (PyTuple_CheckExact(sequence)) return static_cast<std::size_t>(PyTuple_GET_SIZE(sequence));
  const Py_ssize_t size = PySequence_Size(sequence);
  if (size < 0) {
    PyErr_Clear();
    return 0;
  }
  constexpr std::size_t kTrustedHint = std::size_t{1} << 20;
  return std::min(static_cast<std::size_t>(size), kTrustedHint);
}

bool to_u32_vector(PyObject* value, std::vector<std::uint32_t>& out) noexcept {
  out.clear();
  if (!check_sequence(value)) return false;
  try {
    out.reserve(size_hint(value));
    return for_each_item(value, [&](PyObject* item) {
      std::uint32_t number = 0;
      if (!to_u32(item, number)) return false;
      out.push_back(number);
      return true;
    });
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

}  // namespace torrelm::py

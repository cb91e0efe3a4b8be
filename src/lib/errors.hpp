// How failures cross the boundary. Boundary helpers return false or nullptr with a Python
// exception set; the core throws only InternalFault, which guarded() turns into PanicException.
#pragma once

#include <new>
#include <string_view>

#include "common/cancel.hpp"
#include "common/fault.hpp"
#include "lib/python.hpp"

namespace torrelm::py {

// Writes the fault report to standard error and raises PanicException(description).
void raise_panic(std::string_view description, SourceLocation where) noexcept;

// Raises ValueError with a message made in the core.
void raise_value_error(std::string_view message) noexcept;

// TypeError "'{type}' object cannot be converted to '{target}'" for `value`. Returns false.
bool raise_type_mismatch(PyObject* value, const char* target) noexcept;

// A Cancel that stops native work when a signal is pending and its Python handler raised (Ctrl-C
// raises KeyboardInterrupt): the exception stays set for guarded() to return. The calling thread
// must hold the interpreter lock.
Cancel signal_cancel() noexcept;

// Runs a method body so that nothing thrown below reaches the interpreter. The body returns a
// new reference, or nullptr with an exception set; everything it holds is released by RAII.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const Cancelled&) {
    // The hook left the signal handler's exception set.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const InternalFault& fault) {
    raise_panic(fault.what(), fault.where);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what(), SourceLocation::current());
  }
  return nullptr;
}

}  // namespace torrelm::py

#include "lib/errors.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace torrelm::py {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the native code of _torrelm fails internally: an invariant it relies on does not "
    "hold, for example in an inconsistent index restored from bytes.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it is not "
    "swallowed by 'except Exception' and typically propagates all the way up and ends the "
    "interpreter. The index it was raised on is unchanged and stays usable.";

std::atomic<PyObject*> panic_type{nullptr};

// Created once per process on first need; when two threads race, one class survives.
PyObject* panic_exception() noexcept {
  if (PyObject* existing = panic_type.load(std::memory_order_acquire)) return existing;
  PyObject* created =
      PyErr_NewExceptionWithDoc("_torrelm.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  if (created == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return expected;
  }
  return created;
}

std::string thread_name() {
  char name[64] = "?";
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

}  // namespace

void raise_panic(std::string_view description, SourceLocation where) noexcept {
  try {
    std::fprintf(stderr, "_torrelm: internal fault in thread '%s' at %s:%u: %.*s\n",
                 thread_name().c_str(), where.file_name(), static_cast<unsigned>(where.line()),
                 static_cast<int>(description.size()), description.data());
    std::fflush(stderr);
  } catch (...) {
    // The report is a courtesy; the exception below is what callers rely on.
  }
  PyObject* type = panic_exception();
  if (type == nullptr) return;  // the failure to create the class is the exception now
  Ref text(PyUnicode_DecodeUTF8(description.data(), static_cast<Py_ssize_t>(description.size()),
                                "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

void raise_value_error(std::string_view message) noexcept {
  Ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

Cancel signal_cancel() noexcept {
  return Cancel([](void*) noexcept { return PyErr_CheckSignals() != 0; }, nullptr);
}

bool raise_type_mismatch(PyObject* value, const char* target) noexcept {
  Ref name(PyType_GetQualName(Py_TYPE(value)));
  if (name) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  } else {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "'<failed to extract type name>' object cannot be converted to '%s'", target);
  }
  return false;
}

}  // namespace torrelm::py

#include "native/errors.hpp"

#include <pthread.h>

#include <cstdio>

namespace torrelm::native {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the native code of torrelm fails internally: an invariant it relies on does not "
    "hold, for example in an inconsistent index restored from bytes.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it is not "
    "swallowed by 'except Exception' and typically propagates all the way up and ends the "
    "interpreter. The index it was raised on is unchanged and stays usable.";

// The class, created by the module's initialisation and kept for the life of the process (the
// module holds a reference too, and is never unloaded).
PyObject* panic_type = nullptr;

}  // namespace

void add_panic_exception(nb::module_& m) {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc("torrelm._native.PanicException", kPanicDoc,
                                           PyExc_BaseException, nullptr);
    if (panic_type == nullptr) throw nb::python_error();
  }
  m.attr("PanicException") = nb::handle(panic_type);
}

void raise_panic(std::string_view description, SourceLocation where) noexcept {
  char thread[64] = "?";
  pthread_getname_np(pthread_self(), thread, sizeof thread);
  std::fprintf(stderr, "torrelm._native: internal fault in thread '%s' at %s:%u: %.*s\n", thread,
               where.file_name(), static_cast<unsigned>(where.line()),
               static_cast<int>(description.size()), description.data());
  std::fflush(stderr);
  PyObject* text = PyUnicode_DecodeUTF8(description.data(),
                                        static_cast<Py_ssize_t>(description.size()), "replace");
  if (text == nullptr) return;  // MemoryError is the exception now
  PyErr_SetObject(panic_type != nullptr ? panic_type : PyExc_SystemError, text);
  Py_DECREF(text);
}

SignalWatch::~SignalWatch() { Py_XDECREF(error_); }

void SignalWatch::raise() {
  if (error_ != nullptr) {
    PyErr_SetRaisedException(error_);  // steals it
    error_ = nullptr;
  } else {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
  }
  throw nb::python_error();
}

bool SignalWatch::poll(void* self) noexcept {
  auto& watch = *static_cast<SignalWatch*>(self);
  const auto now = std::chrono::steady_clock::now();
  if (now < watch.next_) return false;
  watch.next_ = now + kPeriod;
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool raised = PyErr_CheckSignals() != 0;
  if (raised) {
    Py_XDECREF(watch.error_);
    watch.error_ = PyErr_GetRaisedException();
  }
  PyGILState_Release(state);
  return raised;
}

}  // namespace torrelm::native

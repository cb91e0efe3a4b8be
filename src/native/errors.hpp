// How failures and long native work cross the boundary of torrelm._native.
//
// Bindings run core work with the interpreter lock released (run_released) and turn what the core
// throws into Python exceptions (guarded): InternalFault and any other unexpected std::exception
// become PanicException, std::bad_alloc MemoryError, and a Cancelled walk the exception that the
// signal handler raised (KeyboardInterrupt for Ctrl-C). Python errors already set travel as
// nb::python_error, which nanobind hands back to the interpreter as it is.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "common/cancel.hpp"
#include "common/fault.hpp"

namespace torrelm::native {

namespace nb = nanobind;

// Creates torrelm._native.PanicException and adds it to `m`. Called once, by the module's
// initialisation.
void add_panic_exception(nb::module_& m);

// Writes the fault report to standard error (thread, file:line, description) and raises
// PanicException(description). Leaves the exception set; the caller throws nb::python_error().
void raise_panic(std::string_view description, SourceLocation where) noexcept;

// Looks for pending signals now and then from a thread that runs core work without the interpreter
// lock. Every call of the hook reads a steady clock (cheap, and the core calls it only every few
// thousand steps); once kPeriod has passed since the last look, it takes the lock, runs the signal
// handlers (PyErr_CheckSignals, which does nothing outside the main thread) and, when one raised,
// keeps that exception and tells the core to stop.
class SignalWatch {
 public:
  static constexpr std::chrono::milliseconds kPeriod{20};

  SignalWatch() noexcept : next_(std::chrono::steady_clock::now() + kPeriod) {}
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  // A Cancel that asks this watch; valid while the watch lives.
  Cancel cancel() noexcept { return Cancel(&SignalWatch::poll, this); }

  // After the core threw Cancelled, with the lock held: raises the kept exception as
  // nb::python_error (KeyboardInterrupt if, oddly, none was kept).
  [[noreturn]] void raise();

 private:
  static bool poll(void* self) noexcept;

  std::chrono::steady_clock::time_point next_;
  PyObject* error_ = nullptr;  // owned; set by poll() when a handler raised
};

// `object`, a new reference from the C API, or the Python error it set when it is null.
inline PyObject* made(PyObject* object) {
  if (object == nullptr) throw nb::python_error();
  return object;
}

// Runs `work(cancel)`, pure core work that touches no Python object, with the interpreter lock
// released, and returns its result once the lock is held again. Ctrl-C (or any signal whose
// handler raises) stops it within about SignalWatch::kPeriod; that exception is then raised.
template <class Work>
auto run_released(Work&& work) -> std::invoke_result_t<Work&, Cancel> {
  SignalWatch watch;
  try {
    nb::gil_scoped_release unlocked;
    return work(watch.cancel());
  } catch (const Cancelled&) {
    watch.raise();  // the lock is held again: `unlocked` ended with the try block
  }
}

// Runs a binding's body so that nothing but a Python exception leaves it: see the top of this
// file. Call with the lock held.
template <class Body>
decltype(auto) guarded(Body&& body) {
  try {
    return body();
  } catch (const nb::python_error&) {
    throw;
  } catch (const nb::builtin_exception&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;  // nanobind raises MemoryError
  } catch (const InternalFault& fault) {
    raise_panic(fault.what(), fault.where);
  } catch (const Cancelled&) {
    // Only run_released hands out a Cancel that can stop, and it catches its own.
    raise_panic("work was cancelled outside run_released", SourceLocation::current());
  } catch (const std::exception& error) {
    raise_panic(error.what(), SourceLocation::current());
  }
  throw nb::python_error();
}

}  // namespace torrelm::native

#include "lib/binding.hpp"

#include <cstring>
#include <string>

namespace torrelm::py {
namespace {

bool too_many_positional(const Signature& sig, Py_ssize_t nargs) {
  const char* verb = nargs == 1 ? "was" : "were";
  const auto p = static_cast<Py_ssize_t>(sig.names.size());
  if (sig.required == sig.names.size()) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.call, p,
                 nargs, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 sig.call, static_cast<Py_ssize_t>(sig.required), p, nargs, verb);
  }
  return false;
}

bool missing_required(const Signature& sig, std::span<PyObject*> bound) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) missing += bound[i] == nullptr;
  if (missing == 0) return true;
  // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (bound[i] != nullptr) continue;
    if (listed > 0) names += missing > 2 ? ", " : " ";
    if (listed > 0 && listed + 1 == missing) names += "and ";
    names += '\'';
    names += sig.names[i];
    names += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", sig.call,
               static_cast<Py_ssize_t>(missing), missing == 1 ? "argument" : "arguments",
               names.c_str());
  return false;
}

// Index of the parameter called `name`, or -1.
Py_ssize_t parameter_index(const Signature& sig, PyObject* name) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return -1;
  }
  for (std::size_t i = 0; i < sig.names.size(); ++i) {
    const std::string_view candidate = sig.names[i];
    if (candidate.size() == static_cast<std::size_t>(length) &&
        std::memcmp(candidate.data(), text, candidate.size()) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> bound) noexcept {
  if (static_cast<std::size_t>(nargs) > sig.names.size()) return too_many_positional(sig, nargs);
  for (auto& slot : bound) slot = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t index = parameter_index(sig, name);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.call, name);
      return false;
    }
    PyObject*& slot = bound[static_cast<std::size_t>(index)];
    if (slot != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.call,
                   std::string(sig.names[static_cast<std::size_t>(index)]).c_str());
      return false;
    }
    slot = args[nargs + k];
  }
  return missing_required(sig, bound);
}

}  // namespace torrelm::py

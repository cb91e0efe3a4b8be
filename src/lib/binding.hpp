// Binding of vector-call arguments to a method's parameters, shared by every method that takes
// arguments: each method only declares its Signature.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "lib/python.hpp"

namespace torrelm::py {

struct Signature {
  const char* call;                         // "PrefixSearch.fuzzy_match()"
  std::span<const std::string_view> names;  // every parameter, positional or keyword
  std::size_t required;                     // the leading parameters without a default
};

// Fills `bound` (one borrowed reference per parameter, nullptr where not given) from positional
// and keyword arguments. On failure raises the TypeError of the first problem and returns false;
// no value has been converted then.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> bound) noexcept;

}  // namespace torrelm::py

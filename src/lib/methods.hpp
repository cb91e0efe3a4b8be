// The methods of PrefixSearch, each in the file of its role.
#pragma once

#include "lib/python.hpp"

namespace torrelm::py {

PyObject* from_internal_data_v2(PyObject* unused, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;
PyObject* to_bytes(PyObject* self, PyObject* unused) noexcept;
PyObject* from_bytes(PyObject* unused, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept;
PyObject* fuzzy_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;
PyObject* fuzzy_match_video(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept;

}  // namespace torrelm::py

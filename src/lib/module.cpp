// Initialisation of the module _torrelm: single-phase, one interpreter per process.
#include <atomic>
#include <cstdint>

#include "lib/errors.hpp"
#include "lib/prefix_search.hpp"

namespace torrelm::py {
namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_torrelm", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first initialised the module (-1: none yet) and the module it got; later
// initialisations in that interpreter get the same module.
std::atomic<std::int64_t> owner_interpreter{-1};
std::atomic<PyObject*> the_module{nullptr};

bool fill(PyObject* module) {
  PyTypeObject* type = prefix_search_type();
  if (type == nullptr) {
    raise_panic("the PrefixSearch type could not be created", SourceLocation::current());
    return false;
  }
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return false;
    }
  }
  Ref all_ref(all);
  if (!PyList_Check(all)) {
    PyErr_SetString(PyExc_TypeError, "_torrelm.__all__ is not a list");
    return false;
  }
  Ref name(PyUnicode_FromString("PrefixSearch"));
  if (!name || PyList_Append(all, name.get()) < 0) return false;
  return PyModule_AddObjectRef(module, "PrefixSearch", reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* initialise() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, interpreter) &&
      expected != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "_torrelm does not support sub-interpreters: it can be imported in one "
                    "interpreter per process only, and another interpreter has already imported "
                    "it");
    return nullptr;
  }
  if (PyObject* existing = the_module.load(std::memory_order_acquire)) return Py_NewRef(existing);

  Ref module(PyModule_Create2(&kModule, 1013));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
  if (!fill(module.get())) return nullptr;

  PyObject* none = nullptr;
  if (the_module.compare_exchange_strong(none, module.get(), std::memory_order_acq_rel)) {
    return Py_NewRef(module.release());  // one reference stays in the_module
  }
  return Py_NewRef(none);  // another thread stored its module first; ours is dropped
}

}  // namespace
}  // namespace torrelm::py

PyMODINIT_FUNC PyInit__torrelm(void) { return torrelm::py::initialise(); }

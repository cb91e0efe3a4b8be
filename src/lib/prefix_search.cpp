#include "lib/prefix_search.hpp"

#include <atomic>
#include <new>
#include <utility>

#include "lib/methods.hpp"

namespace torrelm::py {
namespace {

// Docstrings are the text signature alone: the interpreter exposes __text_signature__ and leaves
// __doc__ None.
PyMethodDef kMethods[] = {
    {"from_internal_data_v2",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&from_internal_data_v2)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_internal_data_v2(node_shifts, child_labels, payloads, child_transitions, video_index, "
     "video_top_n)\n--\n\n"},
    {"to_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&to_bytes)),
     METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&from_bytes)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_bytes(b)\n--\n\n"},
    {"fuzzy_match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fuzzy_match)),
     METH_FASTCALL | METH_KEYWORDS, "fuzzy_match(term, max_dist=1, limit=None)\n--\n\n"},
    {"fuzzy_match_video",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fuzzy_match_video)),
     METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_match_video(term, max_dist=1, limit=None, include_prefix_nodes=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name(PyType_GetName(type));
  if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PrefixSearch*>(self)->walk_table.~LazyWalkTable();
  reinterpret_cast<PrefixSearch*>(self)->trie.~Trie();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot kSlots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.PrefixSearch", static_cast<int>(sizeof(PrefixSearch)), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

std::atomic<PyTypeObject*> the_type{nullptr};

}  // namespace

PyTypeObject* prefix_search_type() noexcept {
  if (PyTypeObject* existing = the_type.load(std::memory_order_acquire)) return existing;
  auto* created = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
  if (created == nullptr) {
    PyErr_PrintEx(0);
    return nullptr;
  }
  PyTypeObject* expected = nullptr;
  if (!the_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return expected;
  }
  return created;
}

PyObject* wrap(prefix::Trie&& trie) {
  PyTypeObject* type = prefix_search_type();
  if (type == nullptr) {
    throw InternalFault("the PrefixSearch type could not be created", SourceLocation::current());
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<PrefixSearch*>(self)->trie) prefix::Trie(std::move(trie));
  new (&reinterpret_cast<PrefixSearch*>(self)->walk_table) prefix::LazyWalkTable();
  return self;
}

}  // namespace torrelm::py

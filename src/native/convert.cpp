#include "native/convert.hpp"

namespace torrelm::native {
namespace {

[[noreturn]] void raise_type_error(nb::handle value, Argument where, const char* expected) {
  PyErr_Format(PyExc_TypeError, "%s argument '%s' must be %s, not '%s'", where.call, where.name,
               expected, Py_TYPE(value.ptr())->tp_name);
  throw nb::python_error();
}

// numpy's boolean scalar, recognised by name so that numpy stays optional. A class may set
// __module__ to anything, not only a str: only a str can name numpy.
bool is_numpy_bool(PyTypeObject* type) {
  nb::object module = nb::steal(PyType_GetModuleName(type));
  nb::object name = nb::steal(module.is_valid() ? PyType_GetName(type) : nullptr);
  if (!name.is_valid()) {
    PyErr_Clear();  // unreadable names: not numpy's boolean
    return false;
  }
  if (!PyUnicode_Check(module.ptr()) || !PyUnicode_Check(name.ptr())) return false;
  return PyUnicode_CompareWithASCIIString(module.ptr(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.ptr(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.ptr(), "bool") == 0);
}

}  // namespace

std::string_view to_text(nb::handle value, Argument where) {
  if (!PyUnicode_Check(value.ptr())) raise_type_error(value, where, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (utf8 == nullptr) throw nb::python_error();
  return {utf8, static_cast<std::size_t>(size)};
}

std::size_t to_index(nb::handle value, Argument where) {
  if (!PyIndex_Check(value.ptr())) raise_type_error(value, where, "an int");
  nb::object number = nb::steal(PyNumber_Index(value.ptr()));
  if (!number.is_valid()) throw nb::python_error();
  const std::size_t result = PyLong_AsSize_t(number.ptr());  // OverflowError: negative, too large
  if (result == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw nb::python_error();
  return result;
}

std::optional<std::size_t> to_optional_index(nb::handle value, Argument where) {
  if (value.is_none()) return std::nullopt;
  return to_index(value, where);
}

ranking::PrefixNodes to_prefix_nodes(nb::handle value, Argument where) {
  if (value.is_none()) return ranking::PrefixNodes::Fallback;
  if (PyBool_Check(value.ptr())) {
    return value.ptr() == Py_True ? ranking::PrefixNodes::Include : ranking::PrefixNodes::Exclude;
  }
  PyTypeObject* type = Py_TYPE(value.ptr());
  if (!is_numpy_bool(type)) raise_type_error(value, where, "bool or None");
  // Through the type's truth slot only: an object that merely looks like numpy's boolean must
  // not count as true for being an object.
  const auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
  if (truth == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s argument '%s': object of type '%s' has no truth value",
                 where.call, where.name, type->tp_name);
    throw nb::python_error();
  }
  const int flag = truth(value.ptr());
  if (flag < 0) throw nb::python_error();
  return flag != 0 ? ranking::PrefixNodes::Include : ranking::PrefixNodes::Exclude;
}

BytesView::BytesView(nb::handle value, Argument where) {
  if (!PyObject_CheckBuffer(value.ptr())) raise_type_error(value, where, "a bytes-like object");
  if (PyObject_GetBuffer(value.ptr(), &view_, PyBUF_SIMPLE) < 0) throw nb::python_error();
}

BytesView::~BytesView() { PyBuffer_Release(&view_); }

std::span<const std::uint8_t> BytesView::bytes() const noexcept {
  return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
}

}  // namespace torrelm::native

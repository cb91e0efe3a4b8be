// Initialisation of torrelm._native, the package's own native module: the index type and its
// builders, over the same core as _torrelm.
#include <nanobind/nanobind.h>

#include "native/build.hpp"
#include "native/errors.hpp"
#include "native/index.hpp"

NB_MODULE(_native, m) {
  m.doc() =
      "The native part of torrelm: the immutable index type Index, its builders, and "
      "PanicException, raised when the native code meets a broken invariant.";
  torrelm::native::add_panic_exception(m);
  torrelm::native::register_index(m);
  torrelm::native::register_search_tools(m);
  torrelm::native::register_build(m);
}

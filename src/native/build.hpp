// The build bindings of torrelm._native: making an Index from the caller's data in native code.
#pragma once

#include <nanobind/nanobind.h>

namespace torrelm::native {

// Adds the build functions and types to the module; called once by its initialisation, after the
// class Index exists (see wrap_index in native/index.hpp).
void register_build(nanobind::module_& m);

}  // namespace torrelm::native

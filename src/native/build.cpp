#include "native/build.hpp"

namespace torrelm::native {

void register_build(nanobind::module_&) {}

}  // namespace torrelm::native

#include "module/fast_paths.hpp"

namespace veltrani {

void install_fast_paths(pybind11::class_<PyAsyncFile>&) {}

}  // namespace veltrani

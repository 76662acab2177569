#pragma once

#include <pybind11/pybind11.h>

#include "module/py_async_file.hpp"

namespace veltrani {

// Puts direct CPython entries for the hot paths over the registered methods (see fast_paths.cpp).
void install_fast_paths(pybind11::class_<PyAsyncFile>& cls);

}  // namespace veltrani

# The Python module cross-built for each official Windows CPython unpacked under
# VELTRANI_WINDOWS_PYTHONS (tools/fetch-windows-pythons: cp3XX/ with include/ and python3XX.dll),
# against that interpreter's own headers, into cp3XX/_veltrani_core.pyd of the build folder.
# Included by CMakeLists.txt in the MinGW-w64 build (cmake/mingw-w64.cmake).

# Only pybind11's headers: its CMake helpers would look for a Python that runs on the host.
set(PYBIND11_NOPYTHON ON)
find_package(pybind11 3.0.1 CONFIG REQUIRED)

file(GLOB homes LIST_DIRECTORIES true ${VELTRANI_WINDOWS_PYTHONS}/cp3*)
foreach(home ${homes})
  get_filename_component(tag ${home} NAME)  # cp312
  string(REPLACE "cp" "python" dll_name ${tag})
  if(NOT EXISTS ${home}/${dll_name}.dll OR NOT EXISTS ${home}/include/Python.h)
    message(FATAL_ERROR "${home} is not an unpacked Windows CPython (no ${dll_name}.dll or include/Python.h)")
  endif()
  set(target _veltrani_core_${tag})
  add_library(${target} MODULE module/module.cpp module/py_async_file.cpp module/fast_paths.cpp)
  # SYSTEM: CPython's headers are not written for -Wpedantic under GCC.
  target_include_directories(${target} SYSTEM PRIVATE ${home}/include)
  target_link_libraries(${target} PRIVATE veltrani_file pybind11::headers ${home}/${dll_name}.dll)
  target_compile_options(${target} PRIVATE ${VELTRANI_WARNINGS} -Wa,-mbig-obj)
  # pyconfig.h before 3.12 sets MS_WIN64 for MSVC alone: without it, under GCC, Py_ssize_t and
  # the long-integer digits come out 32-bit and the module misreads every object, silently.
  # Empty, as pyconfig.h defines it, so that 3.12's own definition repeats it harmlessly.
  target_compile_definitions(${target} PRIVATE MS_WIN64= PYBIND11_DETAILED_ERROR_MESSAGES)
  # The C++ runtime, libgcc and winpthreads linked in: the .pyd then imports only Windows' own
  # DLLs (KERNEL32, msvcrt) and python3XX.dll, so it loads from any folder.
  target_link_options(${target} PRIVATE -static -s)
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".pyd" OUTPUT_NAME _veltrani_core
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${tag})
endforeach()
if(NOT homes)
  message(FATAL_ERROR "no Windows CPython under ${VELTRANI_WINDOWS_PYTHONS} (tools/fetch-windows-pythons)")
endif()

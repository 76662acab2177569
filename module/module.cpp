// The module and the registration of AsyncFile: every Python name, in the order it is attached.
#include <pybind11/pybind11.h>

#include "module/fast_paths.hpp"
#include "module/py_async_file.hpp"

namespace py = pybind11;
using veltrani::BufferedFile;
using veltrani::PyAsyncFile;

PYBIND11_MODULE(_veltrani_core, m) {
  m.doc() = "High-performance async file I/O for Python (C++ backend)";
  const py::object none = py::none();

  py::class_<PyAsyncFile> cls(m, "AsyncFile");
  cls.def(py::init<veltrani::FileName, std::string>(), py::arg("filename"), py::arg("mode") = "r")
      .def("__aenter__", &PyAsyncFile::enter)
      .def("__aexit__", &PyAsyncFile::exit)
      .def("__enter__", &PyAsyncFile::enter)
      .def("__exit__", &PyAsyncFile::exit)
      .def("open", &PyAsyncFile::py_open)
      .def("close", &PyAsyncFile::py_close)
      .def("read", &PyAsyncFile::py_read, py::arg("size") = none)
      .def("readall", &PyAsyncFile::py_readall)
      .def("read1", &PyAsyncFile::py_read1, py::arg("size") = none)
      .def("readinto", &PyAsyncFile::py_readinto, py::arg("buffer"))
      .def("readline", &PyAsyncFile::py_readline, py::arg("size") = none)
      .def("readlines", &PyAsyncFile::py_readlines, py::arg("hint") = none)
      .def("write", &PyAsyncFile::py_write, py::arg("data"))
      .def("writelines", &PyAsyncFile::py_writelines, py::arg("lines"))
      .def("seek", &PyAsyncFile::py_seek, py::arg("offset"), py::arg("whence") = 0)
      .def("tell", &BufferedFile::tell)
      .def("flush", &BufferedFile::flush)
      .def("truncate", &PyAsyncFile::py_truncate, py::arg("size") = none)
      .def("isatty", &BufferedFile::isatty)
      .def("seekable", &BufferedFile::seekable)
      .def("writable", &BufferedFile::writable)
      .def("__iter__", &PyAsyncFile::enter)
      .def("__next__", &PyAsyncFile::py_next)
      .def("__aiter__", &PyAsyncFile::enter)
      .def("__anext__", &PyAsyncFile::py_next)
      .def_property_readonly("name", &PyAsyncFile::py_name)
      .def_property_readonly("mode", &BufferedFile::mode, py::return_value_policy::reference_internal)
      .def("__reduce_ex__", &PyAsyncFile::py_reduce_ex, py::arg("protocol"))
      .def("__reduce__", &PyAsyncFile::py_reduce);

  py::register_local_exception_translator(veltrani::translate_file_errors);
  veltrani::install_fast_paths(cls);
}

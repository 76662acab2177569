// Direct CPython entries for the hottest names, put over the pybind11 registration.
//
// Why: pybind11's generic dispatcher costs about 250 ns a call (type-erased argument loading,
// overload resolution, result casting): more than a buffered write or a line read itself.
// What: `write`, `read`, `readline`, `seek`, `tell`, `open` and `close` get METH_FASTCALL method
// descriptors, and iteration gets the type's tp_iternext slot, as CPython's own io does.
// Why it is safe: each entry calls the same PyAsyncFile body as the registered method and turns
// C++ exceptions into Python ones with the translators pybind11's dispatcher uses. A call shape
// that an entry does not handle (keywords, an argument the library would convert differently,
// an instance without its native object) goes to the registered pybind11 function as it is, so
// names, defaults, conversions, results and error messages stay those of the registration.
// `__init__` gets an entry of the same kind for another reason: see guarded_init.
#include "module/fast_paths.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace veltrani {

namespace {

namespace py = pybind11;

// The native object, when the instance is laid out as pybind11 lays out a plain AsyncFile.
// pybind11 has no public call for this that is cheap enough here (py::cast<PyAsyncFile*> looks the
// type up on every call), so this reads its instance layout: checked on pybind11 3.0.1 and 3.1.0,
// the ends of the range that pyproject.toml allows, by tests/python/test_entries.py.
PyAsyncFile* native(PyObject* self) {
  auto* inst = reinterpret_cast<py::detail::instance*>(self);
  if (!inst->simple_layout || !inst->simple_holder_constructed) return nullptr;
  return static_cast<PyAsyncFile*>(inst->simple_value_holder[0]);
}

// Sets the Python error for the exception being handled, exactly as pybind11's dispatcher does.
PyObject* raise_current() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (...) {
    if (!py::detail::apply_exception_translators(
            py::detail::get_local_internals().registered_exception_translators) &&
        !py::detail::apply_exception_translators(
            py::detail::get_internals().registered_exception_translators)) {
      PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
    }
  }
  return nullptr;
}

// The registered pybind11 methods, kept for the calls the entries hand on. They live as long as
// the process: the module is never unloaded.
enum Slot { kWrite, kRead, kReadline, kSeek, kTell, kOpen, kClose, kInit, kNext, kSlots };
PyObject* registered[kSlots];

PyObject* call_registered(Slot slot, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  const auto n = static_cast<std::size_t>(1 + nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0));
  // Every call to __init__ comes here: the usual few arguments need no allocation.
  PyObject* few[8];
  std::vector<PyObject*> many(n > 8 ? n : 0);
  PyObject** all = n > 8 ? many.data() : few;
  all[0] = self;
  std::copy(args, args + (n - 1), all + 1);
  return PyObject_Vectorcall(registered[slot], all, static_cast<std::size_t>(nargs + 1), kwnames);
}

py::object borrowed(PyObject* obj) { return py::reinterpret_borrow<py::object>(obj); }

PyObject* fast_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyAsyncFile* file = native(self);
  if (file == nullptr || nargs != 1 || kwnames != nullptr) {
    return call_registered(kWrite, self, args, nargs, kwnames);
  }
  try {
    return file->py_write(borrowed(args[0])).release().ptr();
  } catch (...) {
    return raise_current();
  }
}

// read(size=None) and readline(size=None): the same call shape around a different body.
template <Slot slot, py::object (PyAsyncFile::*body)(const py::object&)>
PyObject* fast_sized(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyAsyncFile* file = native(self);
  if (file == nullptr || nargs > 1 || kwnames != nullptr) {
    return call_registered(slot, self, args, nargs, kwnames);
  }
  try {
    return (file->*body)(nargs == 1 ? borrowed(args[0]) : py::none()).release().ptr();
  } catch (...) {
    return raise_current();
  }
}

PyObject* fast_seek(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyAsyncFile* file = native(self);
  if (file == nullptr || nargs < 1 || nargs > 2 || kwnames != nullptr) {
    return call_registered(kSeek, self, args, nargs, kwnames);
  }
  try {
    // The registered seek's own conversions: what is no integer gets its TypeError there.
    std::int64_t offset = 0;
    int whence = 0;
    if (!to_integer(args[0], offset) || (nargs == 2 && !to_integer(args[1], whence))) {
      return call_registered(kSeek, self, args, nargs, kwnames);
    }
    return PyLong_FromLongLong(file->seek(offset, whence));
  } catch (...) {
    return raise_current();
  }
}

// tell(), open() and close(): no arguments, a different body. open and close are here for files
// opened, written once and closed, where the dispatcher would cost a third of the work.
template <Slot slot, PyObject* (*body)(PyAsyncFile&)>
PyObject* fast_bare(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyAsyncFile* file = native(self);
  if (file == nullptr || nargs != 0 || kwnames != nullptr) {
    return call_registered(slot, self, args, nargs, kwnames);
  }
  try {
    return body(*file);
  } catch (...) {
    return raise_current();
  }
}

PyObject* tell_body(PyAsyncFile& file) { return PyLong_FromLongLong(file.tell()); }
PyObject* open_body(PyAsyncFile& file) { return file.py_open().release().ptr(); }
PyObject* close_body(PyAsyncFile& file) { return file.py_close().release().ptr(); }

// pybind11 silently ignores __init__ on an object already initialised, arguments unread, so a
// second call with another name or even an invalid mode looked as if it worked. It is refused:
// re-initialising would have to deal with the open stream and its pending bytes.
PyObject* guarded_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (initialised(self)) {
    PyErr_SetString(PyExc_TypeError, "AsyncFile.__init__() called again on an object already initialised");
    return nullptr;
  }
  return call_registered(kInit, self, args, nargs, kwnames);
}

// The type's iteration slot: `for line in f` and next(f) skip the method lookup and call.
// Returning null with no error set ends the iteration, as StopIteration would.
PyObject* fast_iternext(PyObject* self) {
  PyAsyncFile* file = native(self);
  if (file == nullptr) return PyObject_CallOneArg(registered[kNext], self);
  try {
    return file->next_line().release().ptr();
  } catch (...) {
    return raise_current();
  }
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
template <class F>
PyCFunction as_method(F* entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// In Slot order.
PyMethodDef entries[] = {
    {"write", as_method(fast_write), kFlags, nullptr},
    {"read", as_method(fast_sized<kRead, &PyAsyncFile::py_read>), kFlags, nullptr},
    {"readline", as_method(fast_sized<kReadline, &PyAsyncFile::py_readline>), kFlags, nullptr},
    {"seek", as_method(fast_seek), kFlags, nullptr},
    {"tell", as_method(fast_bare<kTell, tell_body>), kFlags, nullptr},
    {"open", as_method(fast_bare<kOpen, open_body>), kFlags, nullptr},
    {"close", as_method(fast_bare<kClose, close_body>), kFlags, nullptr},
    {"__init__", as_method(guarded_init), kFlags, nullptr},
};

}  // namespace

void install_fast_paths(py::class_<PyAsyncFile>& cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  registered[kNext] = py::getattr(cls, "__next__").release().ptr();
  for (int slot = 0; slot < kNext; ++slot) {
    PyMethodDef& entry = entries[slot];
    registered[slot] = py::getattr(cls, entry.ml_name).release().ptr();
    // The registered method's docstring; the str is kept, like the method, for good.
    entry.ml_doc = PyUnicode_AsUTF8(py::getattr(registered[slot], "__doc__").release().ptr());
    py::setattr(cls, entry.ml_name, py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, &entry)));
  }
  type->tp_iternext = fast_iternext;
  PyType_Modified(type);
}

}  // namespace veltrani

#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "file/buffered_file.hpp"

namespace veltrani {

namespace py = pybind11;

// Runs the interpreter's signal handlers after an interrupted system call; throws what they raise.
void check_signals();

// A file name as open() takes one (its bytes), for its own caster (below).
struct FileName {
  std::string bytes;
};

// An offset or whence as seek takes it, for its own caster (below).
template <class T>
struct Integer {
  T value;
};

// What writelines accepts: a sequence, other than a str or bytes, whose items are all str (each
// with a UTF-8 form: no lone surrogate), bytes or bytearray. Listed once and checked while
// pybind11 loads the argument, so that anything else is refused with pybind11's own TypeError
// before a line is stored, and the lines written are the ones checked.
struct LineSequence {
  py::object items;  // a list or tuple: the argument itself, or the one list made of it
};
bool to_lines(PyObject* obj, py::object& items);

// The native object behind every AsyncFile: the file itself plus the Python-facing bodies,
// which convert arguments and results and leave all file logic to BufferedFile.
class PyAsyncFile : public BufferedFile {
 public:
  PyAsyncFile(FileName filename, std::string mode)
      : BufferedFile(std::move(filename.bytes), refuse_nul(std::move(mode))) {
    on_interrupt(&check_signals);
  }

  py::object enter();  // __enter__, __aenter__, __iter__, __aiter__
  void exit(const py::object&, const py::object&, const py::object&);  // __exit__, __aexit__
  py::object py_open();
  py::object py_close();
  py::object py_read(const py::object& size);
  py::object py_readall();
  py::object py_read1(const py::object& size);
  py::object py_readinto(const py::object& buffer);
  py::object py_readline(const py::object& size);
  py::object py_readlines(const py::object& hint);
  py::object py_write(const py::object& data);
  py::object py_writelines(const LineSequence& lines);
  py::object py_truncate(const py::object& size);
  std::int64_t py_seek(Integer<std::int64_t> offset, Integer<int> whence) {
    return seek(offset.value, whence.value);
  }
  py::object py_next();  // __next__, __anext__
  // The next line as str, or a null object at the end (the iteration slot's own convention).
  py::object next_line();
  py::str py_name() const;  // the name property
  // __reduce_ex__, __reduce__: an open stream cannot travel, and the default reduction of a
  // pybind11 object at protocols 0 and 1 aborts the interpreter, so every protocol refuses.
  py::object py_reduce();
  py::object py_reduce_ex(const py::object&) { return py_reduce(); }

  // Block-read results are bytes in a binary mode, str (strict UTF-8) otherwise; `one` is read1.
  py::object read_block(std::optional<std::uint64_t> size, bool one = false);

 private:
  static std::string refuse_nul(std::string mode);
  // The line as str; a line that does not decode raises and is given back.
  py::str take_line(std::string_view line);
};

// Whether __init__ has completed on `obj`, an instance of AsyncFile or of a subclass.
bool initialised(PyObject* obj);

// TypeError for an object of AsyncFile's type, or a subclass's, that __init__ has not completed on.
void require_initialised(py::handle obj);

// Sets `type` with the message decoded as the interpreter decodes file names (os.fsdecode):
// the file layer's messages carry paths, which need not be UTF-8.
void set_decoded_error(PyObject* type, const char* message);

// Exception translator for the file layer's std::runtime_error (RuntimeError) and
// std::invalid_argument (ValueError): pybind11's own decodes messages as strict UTF-8.
void translate_file_errors(std::exception_ptr error);

// Conversions shared by the registered bodies and the fast entries, so both behave alike.

// Integers are taken as the library's casters take them (an int, or any number but a float that
// int() turns into one) but for one thing: an exception raised by the object's own conversion
// (__index__, __int__: a KeyboardInterrupt arriving there, a bug of the caller's) propagates
// instead of becoming the library's cast error. A new reference to the int, or null with no error
// set when the object is no integer at all.
PyObject* integer_of(PyObject* obj);

// Whether `obj` is an integer that fits in T; throws error_already_set as integer_of does.
template <class T>
bool to_integer(PyObject* obj, T& out) {
  static_assert(sizeof(T) <= sizeof(long long), "wider than the interpreter converts");
  PyObject* number = obj;
  if (!PyLong_CheckExact(obj)) {  // a plain int, the usual argument, is read as it is
    number = integer_of(obj);
    if (number == nullptr) return false;
  }
  bool fits = false;
  if constexpr (std::is_signed_v<T>) {
    const long long v = PyLong_AsLongLong(number);
    fits = !(v == -1 && PyErr_Occurred()) && v >= std::numeric_limits<T>::min() &&
           v <= std::numeric_limits<T>::max();
    out = static_cast<T>(v);
  } else {
    const unsigned long long v = PyLong_AsUnsignedLongLong(number);
    fits = !(v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) &&
           v <= std::numeric_limits<T>::max();
    out = static_cast<T>(v);
  }
  if (!fits) PyErr_Clear();  // out of range: reported as what is no integer is
  if (number != obj) Py_DECREF(number);
  return fits;
}

// None means no size; anything else is an integer from 0 to 2^64-1, or the library's cast error
// (RuntimeError).
std::optional<std::uint64_t> size_arg(py::handle size);

// The bytes of a file name as open() takes it: str (encoded as os.fsencode does), bytes,
// bytearray or any os.PathLike. False for anything else; an error of the interpreter's (a str
// that the file system encoding cannot take) or of the object's own __fspath__ propagates.
bool to_file_name(PyObject* obj, std::string& out);

// Strict UTF-8 decoding; a failure raises the interpreter's UnicodeDecodeError.
py::str decode_utf8(std::string_view bytes);

// The bytes that write() stores for one Python object: bytes as they are, str as UTF-8,
// any buffer (bytearray, memoryview, array) as its bytes, anything else as the UTF-8 of str(obj).
class WriteData {
 public:
  explicit WriteData(py::handle data);
  WriteData(const WriteData&) = delete;
  WriteData& operator=(const WriteData&) = delete;
  std::string_view bytes() const { return bytes_; }

 private:
  void from_str(py::handle text);

  // A member rather than the body of ~WriteData: a constructor that throws after acquiring the
  // buffer never reaches its own destructor, but its members' destructors do run.
  struct View {
    Py_buffer buffer{};
    bool held = false;
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
      if (held) PyBuffer_Release(&buffer);
    }
  };

  std::string_view bytes_;
  py::object keep_;  // owns the memory that bytes_ points into, when it is a temporary
  View view_;
  std::string contiguous_;
};

}  // namespace veltrani

namespace pybind11::detail {

// pybind11 (2.10 to 3.1; checked on 3.0.1 and 3.1.0 by tests/python/test_entries.py) runs a
// method on an instance whose __init__ never completed (made by __new__ alone, or a subclass's
// self before super().__init__()) all the same, and the call crashes; it offers no check of its
// own. Every registered name loads self through this caster, so the one check here covers them all.
template <>
class type_caster<veltrani::PyAsyncFile> : public type_caster_base<veltrani::PyAsyncFile> {
 public:
  bool load(handle src, bool convert) {
    veltrani::require_initialised(src);
    return type_caster_base<veltrani::PyAsyncFile>::load(src, convert);
  }
};

// Offsets and whence: the library's TypeError for what is no integer or does not fit, as for its
// own integer casters, whose name the signature keeps.
template <class T>
class type_caster<veltrani::Integer<T>> {
 public:
  PYBIND11_TYPE_CASTER(veltrani::Integer<T>, make_caster<T>::name);
  bool load(handle src, bool) { return veltrani::to_integer(src.ptr(), value.value); }
};

template <>
class type_caster<veltrani::LineSequence> {
 public:
  PYBIND11_TYPE_CASTER(veltrani::LineSequence,
                       const_name("collections.abc.Sequence[str | bytes | bytearray]"));
  bool load(handle src, bool) { return veltrani::to_lines(src.ptr(), value.items); }
};

template <>
class type_caster<veltrani::FileName> {
 public:
  PYBIND11_TYPE_CASTER(veltrani::FileName, const_name("str | bytes | os.PathLike"));
  bool load(handle src, bool) { return veltrani::to_file_name(src.ptr(), value.bytes); }
};

}  // namespace pybind11::detail

#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "file/buffered_file.hpp"

namespace veltrani {

namespace py = pybind11;

// Runs the interpreter's signal handlers after an interrupted system call; throws what they raise.
void check_signals();

// What writelines accepts: a sequence, other than a str or bytes, whose items are all str (each
// with a UTF-8 form: no lone surrogate), bytes or bytearray. Checked while pybind11 loads the
// argument, so that anything else is refused with pybind11's own TypeError before a line is stored.
bool is_line_sequence(PyObject* obj);
class LineSequence : public py::object {
 public:
  PYBIND11_OBJECT_DEFAULT(LineSequence, py::object, is_line_sequence)
};

// The native object behind every AsyncFile: the file itself plus the Python-facing bodies,
// which convert arguments and results and leave all file logic to BufferedFile.
class PyAsyncFile : public BufferedFile {
 public:
  PyAsyncFile(std::string filename, std::string mode)
      : BufferedFile(std::move(filename), refuse_nul(std::move(mode))) {
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
  py::object py_next();  // __next__, __anext__
  // The next line as str, or a null object at the end (the iteration slot's own convention).
  py::object next_line();
  py::str py_name() const;  // the name property

  // Block-read results are bytes in a binary mode, str (strict UTF-8) otherwise; `one` is read1.
  py::object read_block(std::optional<std::uint64_t> size, bool one = false);

 private:
  static std::string refuse_nul(std::string mode);
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

// None means no size; anything else goes through the library's size_t cast (RuntimeError).
std::optional<std::uint64_t> size_arg(py::handle size);

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

// The parameter's type as signatures and the incompatible-arguments message show it.
template <>
struct handle_type_name<veltrani::LineSequence> {
  static constexpr auto name = const_name("collections.abc.Sequence[str | bytes | bytearray]");
};

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

}  // namespace pybind11::detail

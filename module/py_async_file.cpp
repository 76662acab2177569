#include "module/py_async_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace veltrani {

namespace {

bool is_ascii(const char* p, std::size_t n) {
  std::uint64_t bits = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    bits |= word;
  }
  for (; i < n; ++i) bits |= static_cast<unsigned char>(p[i]);
  return (bits & 0x8080808080808080ULL) == 0;
}

// How many bytes the UTF-8 character cut off at the end of `text` still lacks (0 to 3); 0 when
// the text ends on a character boundary, or in bytes that are not UTF-8.
std::size_t missing_utf8_tail(std::string_view text) {
  for (std::size_t back = 1; back <= std::min<std::size_t>(text.size(), 3); ++back) {
    const auto c = static_cast<unsigned char>(text[text.size() - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: the lead byte is further back
    const std::size_t length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
    return length > back ? length - back : 0;
  }
  return 0;
}

// A bytes result: the read fills it and it is returned as it is.
struct BytesResult {
  static constexpr bool kText = false;
  static PyObject* make(Py_ssize_t n) { return PyBytes_FromStringAndSize(nullptr, n); }
  static int resize(PyObject** obj, Py_ssize_t n) { return _PyBytes_Resize(obj, n); }
  static Py_ssize_t size(PyObject* obj) { return PyBytes_GET_SIZE(obj); }
  static char* data(PyObject* obj) { return PyBytes_AS_STRING(obj); }
  static py::object done(py::object obj) { return obj; }
};

// A str result: the read fills an ASCII str, which is the result already when the text is
// ASCII; anything else is decoded from there as strict UTF-8.
struct TextResult {
  static constexpr bool kText = true;
  static PyObject* make(Py_ssize_t n) { return PyUnicode_New(n, 127); }
  static int resize(PyObject** obj, Py_ssize_t n) { return PyUnicode_Resize(obj, n); }
  static Py_ssize_t size(PyObject* obj) { return PyUnicode_GET_LENGTH(obj); }
  static char* data(PyObject* obj) { return static_cast<char*>(PyUnicode_DATA(obj)); }
  static py::object done(py::object obj) {
    const std::string_view bytes(data(obj.ptr()), static_cast<std::size_t>(size(obj.ptr())));
    return is_ascii(bytes.data(), bytes.size()) ? obj : decode_utf8(bytes);
  }
};

// Reads straight into the result object: one copy from the stream, none afterwards.
template <class Result>
class ResultSink final : public ReadSink {
 public:
  ResultSink() = default;
  ResultSink(const ResultSink&) = delete;
  ResultSink& operator=(const ResultSink&) = delete;
  ~ResultSink() { Py_XDECREF(obj_); }

  char* grow(std::size_t n) override {
    resize(n);
    return Result::data(obj_);
  }
  void finish(std::size_t n) override {
    if (static_cast<Py_ssize_t>(n) != Result::size(obj_)) resize(n);
  }
  py::object take() { return Result::done(py::reinterpret_steal<py::object>(std::exchange(obj_, nullptr))); }
  std::string_view bytes() const {
    return {Result::data(obj_), static_cast<std::size_t>(Result::size(obj_))};
  }

 private:
  void resize(std::size_t n) {
    const auto size = static_cast<Py_ssize_t>(n);
    // Empty results are shared objects: replace them, and never resize into one.
    if (obj_ == nullptr || Result::size(obj_) == 0 || size == 0) {
      Py_XDECREF(obj_);
      obj_ = Result::make(size);
      if (obj_ == nullptr) throw py::error_already_set();
    } else if (size > Result::size(obj_)) {
      // Growing in place frees the object when it fails, but an interrupted read still needs
      // the bytes already there to give them back: grow into a new object (pipes and files that
      // grew meanwhile only; a file's measured length is allocated once).
      PyObject* bigger = Result::make(size);
      if (bigger == nullptr) throw py::error_already_set();
      std::memcpy(Result::data(bigger), Result::data(obj_), static_cast<std::size_t>(Result::size(obj_)));
      Py_SETREF(obj_, bigger);
    } else if (Result::resize(&obj_, size) != 0) {
      throw py::error_already_set();
    }
  }

  PyObject* obj_ = nullptr;
};

// Puts a second read's bytes after the first `offset` bytes of another sink.
class AppendSink final : public ReadSink {
 public:
  AppendSink(ReadSink& base, std::size_t offset) : base_(base), offset_(offset) {}
  char* grow(std::size_t n) override { return base_.grow(offset_ + n) + offset_; }
  void finish(std::size_t n) override { base_.finish(offset_ + n); }

 private:
  ReadSink& base_;
  std::size_t offset_;
};

template <class Result>
py::object read_result(BufferedFile& file, std::optional<std::uint64_t> size, bool one) {
  ResultSink<Result> sink;
  const auto wanted = one ? std::optional<std::uint64_t>(size.value_or(kRead1Default)) : size;
  const std::size_t got = one ? file.read1(wanted, sink) : file.read(wanted, sink);
  // Sizes count bytes; a text read that stops inside a character reads on to its end, so that
  // the result decodes.
  if constexpr (Result::kText) {
    if (wanted) {  // a pipe can end a read inside a character too
      if (const std::size_t more = missing_utf8_tail(sink.bytes())) {
        AppendSink rest(sink, got);
        try {
          file.read(more, rest);
        } catch (...) {
          file.unread(sink.bytes().data(), got);  // interrupted: the next read returns them again
          throw;
        }
      }
    }
  }
  return sink.take();
}

}  // namespace

PyObject* integer_of(PyObject* obj) {
  if (PyLong_Check(obj)) return Py_NewRef(obj);
  if (PyFloat_Check(obj)) return nullptr;  // never truncated, as the library's casters refuse it
  PyObject* number = nullptr;
  if (PyIndex_Check(obj)) {
    number = PyNumber_Index(obj);
  } else if (PyNumber_Check(obj)) {
    number = PyNumber_Long(obj);  // a Decimal or Fraction, truncated toward zero
    // int() knows no way to convert it (a complex): the wrong type, as for a non-number.
    if (number == nullptr && Py_TYPE(obj)->tp_as_number->nb_int == nullptr &&
        PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      return nullptr;
    }
  } else {
    return nullptr;
  }
  if (number == nullptr) throw py::error_already_set();
  return number;
}

std::optional<std::uint64_t> size_arg(py::handle size) {
  if (size.is_none()) return std::nullopt;
  std::uint64_t n = 0;
  if (to_integer(size.ptr(), n)) return n;
  // The library's own cast error and message, without converting the object a second time.
  const std::string type = py::str(py::type::handle_of(size)).cast<std::string>();
  throw py::cast_error("Unable to cast Python instance of type " + type + " to C++ type '" +
                       py::type_id<std::size_t>() + "'");
}

bool to_file_name(PyObject* obj, std::string& out) {
  if (PyByteArray_Check(obj)) {
    out.assign(PyByteArray_AS_STRING(obj), static_cast<std::size_t>(PyByteArray_GET_SIZE(obj)));
    return true;
  }
  if (!PyUnicode_Check(obj) && !PyBytes_Check(obj) &&
      !PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__fspath__")) {
    return false;
  }
  auto path = py::reinterpret_steal<py::object>(PyOS_FSPath(obj));
  if (path && PyUnicode_Check(path.ptr())) {
    path = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(path.ptr()));
  }
  if (!path) throw py::error_already_set();
  out.assign(PyBytes_AS_STRING(path.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(path.ptr())));
  return true;
}

namespace {

// AsyncFile's registration, looked up once it exists.
const py::detail::type_info* async_file_type() {
  static const py::detail::type_info* type = nullptr;
  if (type == nullptr) type = py::detail::get_type_info(typeid(PyAsyncFile));
  return type;
}

}  // namespace

bool initialised(PyObject* obj) {
  return reinterpret_cast<py::detail::instance*>(obj)->get_value_and_holder(async_file_type()).holder_constructed();
}

void require_initialised(py::handle obj) {
  const auto* type = async_file_type();
  if (type != nullptr && PyObject_TypeCheck(obj.ptr(), type->type) && !initialised(obj.ptr())) {
    throw py::type_error("AsyncFile.__init__() has not completed on this object");
  }
}

void set_decoded_error(PyObject* type, const char* message) {
  PyObject* text = PyUnicode_DecodeFSDefault(message);
  if (text == nullptr) return;  // the decoding failure (out of memory) is the error then
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void translate_file_errors(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const py::builtin_exception&) {
    throw;  // the library's own kinds, and those below, keep the library's translation
  } catch (const std::range_error&) {
    throw;
  } catch (const std::overflow_error&) {
    throw;
  } catch (const std::runtime_error& e) {
    set_decoded_error(PyExc_RuntimeError, e.what());
  } catch (const std::invalid_argument& e) {
    set_decoded_error(PyExc_ValueError, e.what());
  }
}

py::str decode_utf8(std::string_view bytes) {
  PyObject* text = nullptr;
  if (is_ascii(bytes.data(), bytes.size())) {
    // CPython's decoder copies byte by byte from a source that is not word-aligned, as most
    // lines are not; a check by words and one memcpy give the same str faster.
    text = PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 127);
    if (text != nullptr && !bytes.empty()) std::memcpy(PyUnicode_DATA(text), bytes.data(), bytes.size());
  } else {
    text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
  }
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

// ---- writelines' argument ----

namespace {

bool is_line(PyObject* item) {
  if (PyBytes_Check(item) || PyByteArray_Check(item)) return true;
  if (!PyUnicode_Check(item)) return false;
  const int kind = PyUnicode_KIND(item);
  if (kind == PyUnicode_1BYTE_KIND) return true;  // Latin-1 holds no surrogate
  const void* data = PyUnicode_DATA(item);
  for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(item); i < n; ++i) {
    if (Py_UNICODE_IS_SURROGATE(PyUnicode_READ(kind, data, i))) return false;
  }
  return true;
}

}  // namespace

bool to_lines(PyObject* obj, py::object& items) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj)) return false;
  // A list or tuple is used as it is; another sequence is listed once, as references.
  items = py::reinterpret_steal<py::object>(PySequence_Fast(obj, "writelines"));
  if (!items) throw py::error_already_set();  // the sequence's own error, as pybind11 raised it
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
  PyObject** item = PySequence_Fast_ITEMS(items.ptr());
  return std::all_of(item, item + n, is_line);
}

// ---- WriteData ----

WriteData::WriteData(py::handle data) {
  PyObject* obj = data.ptr();
  if (PyBytes_Check(obj)) {
    bytes_ = {PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
  } else if (PyUnicode_Check(obj)) {
    from_str(data);
  } else if (PyObject_CheckBuffer(obj)) {
    Py_buffer& view = view_.buffer;
    if (PyObject_GetBuffer(obj, &view, PyBUF_FULL_RO) != 0) throw py::error_already_set();
    view_.held = true;
    const auto len = static_cast<std::size_t>(view.len);
    if (PyBuffer_IsContiguous(&view, 'C')) {
      bytes_ = {static_cast<const char*>(view.buf), len};
    } else {
      contiguous_.resize(len);  // may throw std::bad_alloc: view_ releases the buffer then
      if (PyBuffer_ToContiguous(contiguous_.data(), &view, view.len, 'C') != 0) {
        throw py::error_already_set();
      }
      bytes_ = contiguous_;
    }
  } else {
    keep_ = py::str(data);
    from_str(keep_);
  }
}

void WriteData::from_str(py::handle text) {
  PyObject* obj = text.ptr();
  if (PyUnicode_IS_ASCII(obj)) {  // an ASCII str already holds its UTF-8 bytes
    bytes_ = {static_cast<const char*>(PyUnicode_DATA(obj)),
              static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj))};
    return;
  }
  PyObject* utf8 = PyUnicode_AsUTF8String(obj);
  if (utf8 == nullptr) {
    // A lone surrogate has no UTF-8 form: report it as the library's cast error.
    PyErr_Clear();
    text.cast<std::string>();
    throw py::cast_error("Unable to cast Python instance of type str to C++ type std::string");
  }
  keep_ = py::reinterpret_steal<py::object>(utf8);
  bytes_ = {PyBytes_AS_STRING(utf8), static_cast<std::size_t>(PyBytes_GET_SIZE(utf8))};
}

// ---- bodies ----

void check_signals() {
  // A handler that raises ends the call; the file object keeps what it had read or accepted.
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

std::string PyAsyncFile::refuse_nul(std::string mode) {
  // Never a valid mode; refused here because the file layer's message would be cut at the NUL
  // on its way to Python. Shown as \0, as a NUL in a path is.
  if (mode.find('\0') == std::string::npos) return mode;
  std::string shown;
  for (const char c : mode) {
    if (c == '\0') {
      shown += "\\0";
    } else {
      shown += c;
    }
  }
  throw std::invalid_argument("Invalid file mode: " + shown);
}

py::object PyAsyncFile::py_reduce() {
  const py::object self = enter();
  throw py::type_error(std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name + "' object");
}

py::object PyAsyncFile::enter() { return py::cast(this, py::return_value_policy::reference); }

void PyAsyncFile::exit(const py::object&, const py::object&, const py::object&) { close(); }

py::object PyAsyncFile::py_open() {
  try {
    open();
  } catch (const OpenError& e) {
    // A missing file or a refused permission is a ValueError. The reason's wording follows the
    // locale, its error number does not; the text rule stays, so a path that names one of the
    // reasons is still a ValueError.
    const std::string_view message = e.what();
    const auto has = [&](const char* text) { return message.find(text) != std::string_view::npos; };
    if (e.code() != ENOENT && e.code() != EACCES && !has("No such file") && !has("cannot open") &&
        !has("Permission denied")) {
      throw;
    }
    set_decoded_error(PyExc_ValueError, e.what());
    throw py::error_already_set();
  }
  return enter();
}

py::object PyAsyncFile::py_close() {
  close();
  return py::none();
}

py::object PyAsyncFile::read_block(std::optional<std::uint64_t> size, bool one) {
  return mode_info().binary ? read_result<BytesResult>(*this, size, one)
                            : read_result<TextResult>(*this, size, one);
}

py::object PyAsyncFile::py_read(const py::object& size) { return read_block(size_arg(size)); }

py::object PyAsyncFile::py_readall() { return read_block(std::nullopt); }

py::object PyAsyncFile::py_read1(const py::object& size) {
  return read_block(size_arg(size), true);
}

py::object PyAsyncFile::py_readinto(const py::object& buffer) {
  if (!PyObject_CheckBuffer(buffer.ptr())) throw py::type_error("readinto requires a buffer object");
  // Writable and contiguous, so that read-only memory and strided views are refused up front.
  Py_buffer view;
  if (PyObject_GetBuffer(buffer.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
    throw py::error_already_set();
  }
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  // The count is the buffer's item count: its byte length for buffers of single bytes.
  const auto items = static_cast<std::size_t>(view.itemsize > 0 ? view.len / view.itemsize : view.len);
  return py::int_(readinto(static_cast<char*>(view.buf), items));
}

py::str PyAsyncFile::take_line(std::string_view line) {
  try {
    return decode_utf8(line);
  } catch (...) {
    // A line that is no text is given back: the next read returns its bytes.
    unread(line.data(), line.size());
    throw;
  }
}

py::object PyAsyncFile::py_readline(const py::object& size) {
  const auto limit = size_arg(size);
  const std::string_view line = readline(limit);
  // Lines are str in every mode: one cut inside a character reads on to its end, so that it
  // decodes.
  if (limit && line.size() == *limit) {
    if (const std::size_t more = missing_utf8_tail(line)) {
      std::string whole(line);  // the view ends with the next call
      try {
        whole += readline(more);
      } catch (...) {
        unread(whole.data(), whole.size());  // the read-ahead is empty: the line starts again
        throw;
      }
      return take_line(whole);
    }
  }
  return take_line(line);
}

py::object PyAsyncFile::py_readlines(const py::object& hint) {
  size_arg(hint);  // checked, then ignored: the whole rest is returned
  py::list lines;
  readlines([&](std::string_view line) {
    if (PyList_Append(lines.ptr(), decode_utf8(line).ptr()) != 0) throw py::error_already_set();
  });
  return std::move(lines);
}

py::object PyAsyncFile::py_write(const py::object& data) {
  const WriteData bytes(data);
  return py::int_(write(bytes.bytes()));
}

py::object PyAsyncFile::py_writelines(const LineSequence& lines) {
  const py::object& items = lines.items;
  writelines([&](auto&& store) {
    // Size and items read afresh for each line: a signal handler run during a write-out may
    // have changed the list since it was checked.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i) {
      const auto item = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(items.ptr(), i));
      if (!is_line(item.ptr())) throw py::type_error("writelines(): the lines changed while being written");
      const WriteData line(item);  // str as UTF-8, bytes and bytearray as they are
      store(line.bytes());
    }
  });
  return py::none();
}

py::object PyAsyncFile::py_truncate(const py::object& size) {
  const auto length = size_arg(size);
  truncate(length);
  return py::none();
}

py::str PyAsyncFile::py_name() const {
  PyObject* text = PyUnicode_DecodeFSDefaultAndSize(name().data(), static_cast<Py_ssize_t>(name().size()));
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

py::object PyAsyncFile::next_line() {
  const std::string_view line = readline();
  return line.empty() ? py::object() : take_line(line);
}

py::object PyAsyncFile::py_next() {
  py::object line = next_line();
  if (!line) throw py::stop_iteration();
  return line;
}

}  // namespace veltrani

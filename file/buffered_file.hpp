#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "file/mode.hpp"

namespace veltrani {

// Every size that governs buffering, named once.
inline constexpr std::size_t kStdioBufferSize = 64 * 1024;  // the stream's own buffer
inline constexpr std::size_t kWriteBufferSize = 256 * 1024;  // pending writes never exceed it
inline constexpr std::size_t kDirectWriteThreshold = 128 * 1024;  // longer pieces skip the copy
inline constexpr std::size_t kWritelinesFlushThreshold = 512 * 1024;
inline constexpr std::size_t kLineChunk = 256 * 1024;  // one refill of the line reader
inline constexpr std::size_t kRead1Default = 256 * 1024;
inline constexpr std::size_t kReadGrowth = 64 * 1024;  // step of a read whose length is unknown

// Where a block read puts its bytes, so that a caller can read straight into its own result
// object (a Python bytes or str) instead of through a staging copy.
class ReadSink {
 public:
  // Room for `n` bytes in total, keeping the bytes already there; returns the storage.
  virtual char* grow(std::size_t n) = 0;
  // The read is over: keep exactly the first `n` bytes.
  virtual void finish(std::size_t n) = 0;

 protected:
  ~ReadSink() = default;
};

class StringSink final : public ReadSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  char* grow(std::size_t n) override {
    out_.resize(n);
    return out_.data();
  }
  void finish(std::size_t n) override { out_.resize(n); }

 private:
  std::string& out_;
};

// A failed open: the message keeps the platform's wording; code() is the errno behind it.
class OpenError : public std::runtime_error {
 public:
  OpenError(const std::string& message, int code) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// A file over a C stdio stream with its own write buffer, a line read-ahead and a cached length.
// Failures throw std::runtime_error with a fixed message; a bad mode throws std::invalid_argument.
class BufferedFile {
 public:
  BufferedFile(std::string filename, std::string mode);
  ~BufferedFile();
  // Owns a stream: a copy would close it twice.
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;

  void open();
  void close();
  bool is_open() const { return file_ != nullptr; }

  std::size_t write(std::string_view data);
  void writelines(const std::vector<std::string>& lines);
  void flush();
  void flush_write_buffer();

  // Block reads start at the stream position, which lies after the line reader's read-ahead.
  // Without a size they read to the end of the stream.
  std::size_t read(std::optional<std::uint64_t> size, ReadSink& out);
  std::size_t read1(std::optional<std::uint64_t> size, ReadSink& out) {
    return read(size.value_or(kRead1Default), out);
  }
  std::size_t readinto(char* dst, std::size_t n);
  void cache_size();

  // The view stays valid until the next call on this object.
  std::string_view readline(std::optional<std::uint64_t> size = std::nullopt);
  // Calls emit(std::string_view) for every line from the stream position to the end; the
  // line reader's read-ahead is left as it is.
  template <class Emit>
  void readlines(Emit&& emit);

  long seek(long offset, int whence = SEEK_SET);
  long tell();
  void truncate(std::optional<std::uint64_t> size = std::nullopt);
  bool isatty();
  bool seekable() const { return file_ != nullptr; }
  bool writable() const { return mode_info_.kind != OpenMode::Read; }

  const std::string& name() const { return filename_; }
  const std::string& mode() const { return mode_; }
  const ModeInfo& mode_info() const { return mode_info_; }

 private:
  // C stdio forbids input right after output (and the reverse) without a flush or a seek in
  // between; glibc silently drops data otherwise. This records which way the stream last went.
  enum class Direction { None, Reading, Writing };

  void require_open() const;
  void begin_read();
  void begin_write();
  void store(std::string_view piece);
  bool refill_lines();
  bool at_end();
  std::optional<std::uint64_t> remaining();
  void release_buffers();

  FILE* file_ = nullptr;
  std::string filename_;
  ModeInfo mode_info_;
  std::string mode_;
  std::unique_ptr<char[]> stdio_buffer_;  // must outlive the stream that buffers into it
  std::unique_ptr<char[]> write_buffer_;  // kWriteBufferSize bytes, allocated on first use
  std::unique_ptr<char[]> line_buffer_;   // kLineChunk bytes, allocated on first refill
  std::string line_scratch_;              // a line that spans refills is assembled here
  std::size_t write_pos_ = 0;
  std::size_t line_pos_ = 0;
  std::size_t line_len_ = 0;
  bool line_eof_ = false;
  bool size_known_ = false;
  std::int64_t cached_size_ = 0;
  Direction direction_ = Direction::None;
};

template <class Emit>
void BufferedFile::readlines(Emit&& emit) {
  begin_read();
  std::clearerr(file_);
  // Chunks, not one buffer the size of the rest: memory stays flat however large the file.
  const std::unique_ptr<char[]> chunk(new char[kLineChunk]);
  std::string carried;  // the start of a line that runs on into the next chunk
  std::size_t n = 0;
  do {
    n = std::fread(chunk.get(), 1, kLineChunk, file_);
    const char* p = chunk.get();
    const char* const end = p + n;
    while (p < end) {
      const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
      if (nl == nullptr) {
        carried.append(p, end);
        break;
      }
      const char* stop = static_cast<const char*>(nl) + 1;
      if (carried.empty()) {
        emit(std::string_view(p, static_cast<std::size_t>(stop - p)));
      } else {
        carried.append(p, stop);
        emit(std::string_view(carried));
        carried.clear();
      }
      p = stop;
    }
  } while (n == kLineChunk);  // fread comes back short only at the end of the stream
  if (!carried.empty()) emit(std::string_view(carried));
}

}  // namespace veltrani

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
// The stream's own buffer serves small reads only (writes go to the descriptor, see below). Its
// size is the one glibc picks for a disk file, by measurement: a small read at a new spot fills
// one buffer and a page-sized read skips it, so 4 KiB made scattered reads up to 5x cheaper than
// 16-64 KiB, while small sequential reads lost under 20% to larger sizes and stay ahead of open().
inline constexpr std::size_t kStdioBufferSize = 4 * 1024;
inline constexpr std::size_t kWriteBufferSize = 256 * 1024;  // pending writes never exceed it
inline constexpr std::size_t kDirectWriteThreshold = 128 * 1024;  // longer pieces skip the copy
inline constexpr std::size_t kWritelinesFlushThreshold = 512 * 1024;
inline constexpr std::size_t kLineChunk = 256 * 1024;  // one refill of the line reader
inline constexpr std::size_t kRead1Default = 256 * 1024;
inline constexpr std::size_t kReadGrowth = 64 * 1024;  // step of a read whose length is unknown

// Called when a system call was interrupted by a signal, before it is tried again; it may throw
// (the module runs the interpreter's signal handlers here). Nothing read or accepted is lost.
using InterruptHook = void (*)();

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

// A file over a C stdio stream with its own write buffer and a line read-ahead; reads to the end
// are sized by the file's length as measured then.
// Failures throw std::runtime_error with a fixed message; a bad mode throws std::invalid_argument.
//
// How the stream is used: glibc drops the bytes of its buffer when a write fails (although fwrite
// counted them), gives up on a signal, waits for a full buffer on a pipe and reads a whole buffer
// to land a seek. So bytes leave through the descriptor with write(2), which tells exactly what
// went out; a regular file is read through the stream's small buffer at a position this object
// keeps itself and hands over only when a read needs it; anything else (pipe, terminal, device)
// is read with read(2), taking what one call returns where a partial result is what is wanted.
// Where the C runtime translates newlines in text modes, positions still count bytes on disk: a
// file is then read through the descriptor alone, whose offset tells how far each read went.
// Every system call goes through file/platform.hpp.
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
  void on_interrupt(InterruptHook hook) { on_interrupt_ = hook; }

  std::size_t write(std::string_view data);
  // for_each_line(store) calls store(std::string_view) once per line, in order; each is taken as
  // write() takes it, and more than kWritelinesFlushThreshold bytes in all are written out at the
  // end. The lines come one at a time so that a caller need not gather them first.
  template <class ForEachLine>
  void writelines(ForEachLine&& for_each_line);
  void flush();
  // Writes out the pending bytes; on failure keeps those that did not go out and throws `message`.
  void flush_write_buffer(const char* message = "Failed to flush write buffer");

  // Block reads start at the stream position, which lies after the line reader's read-ahead.
  // Without a size they read to the end of the stream.
  std::size_t read(std::optional<std::uint64_t> size, ReadSink& out) { return read_block(size, out, false); }
  // On a pipe or terminal, what one read returns; on a file, the same as read.
  std::size_t read1(std::optional<std::uint64_t> size, ReadSink& out) {
    return read_block(size.value_or(kRead1Default), out, raw_);
  }
  std::size_t readinto(char* dst, std::size_t n);
  // Gives back bytes that a read has just returned and that lie right before the stream
  // position (the line reader's read-ahead being empty): the next read returns them first.
  void unread(const char* p, std::size_t n);

  // The view stays valid until the next call on this object.
  std::string_view readline(std::optional<std::uint64_t> size = std::nullopt);
  // Calls emit(std::string_view) for every line from the stream position to the end; the
  // line reader's read-ahead is left as it is.
  template <class Emit>
  void readlines(Emit&& emit);

  std::int64_t seek(std::int64_t offset, int whence = SEEK_SET);
  std::int64_t tell();
  void truncate(std::optional<std::uint64_t> size = std::nullopt);
  bool isatty();
  bool seekable() const { return file_ != nullptr; }
  bool writable() const { return mode_info_.kind != OpenMode::Read; }

  const std::string& name() const { return filename_; }
  const std::string& mode() const { return mode_; }
  const ModeInfo& mode_info() const { return mode_info_; }

 private:
  void require_open() const;
  void begin_read();
  void store(std::string_view piece);
  void keep_pending(std::string_view tail);
  std::size_t put(const char* p, std::size_t n, int& err);
  std::size_t pull(char* dst, std::size_t n, bool some);
  void interrupted();
  std::size_t read_block(std::optional<std::uint64_t> size, ReadSink& out, bool some);
  bool refill_lines();
  bool at_end() const;  // regular files: nothing lies past the position
  std::int64_t length() const;
  std::int64_t position(const char* failure = "Tell failed");
  void forget_stream_buffer();
  void release_buffers();
  template <class Emit>
  static const char* emit_lines(const char* p, const char* end, std::string& carried, Emit& emit);

  FILE* file_ = nullptr;
  std::string filename_;
  ModeInfo mode_info_;
  std::string mode_;
  int fd_ = -1;
  bool raw_ = false;  // not a regular file: read and positioned through the descriptor alone
  bool text_ = false;  // the C runtime translates newlines: bytes on disk differ from bytes seen
  std::unique_ptr<char[]> stdio_buffer_;  // must outlive the stream that buffers into it
  std::unique_ptr<char[]> write_buffer_;  // allocated on first use
  std::size_t write_cap_ = 0;             // kWriteBufferSize, more only to keep a failed write
  std::unique_ptr<char[]> line_buffer_;   // kLineChunk bytes, allocated on first refill
  std::string line_scratch_;              // a line that spans refills is assembled here
  std::string pushback_;  // bytes of a pipe taken by an interrupted read: read again first
  std::size_t write_pos_ = 0;
  std::size_t line_pos_ = 0;
  std::size_t line_len_ = 0;
  bool line_eof_ = false;
  // Regular files: the stream position, known without asking the kernel. The stream itself is
  // told only when a read needs it (seek_pending_); its buffer may hold bytes read ahead of the
  // position (stream_reading_), which the descriptor's offset then lies beyond.
  std::int64_t pos_ = 0;
  std::int64_t known_length_ = 0;  // the file has been at least this long: seeks up to it succeed
  bool seek_pending_ = false;
  bool stream_reading_ = false;
  InterruptHook on_interrupt_ = nullptr;
  bool in_hook_ = false;  // a signal handler runs in the middle of an operation on this object
};

template <class Emit>
const char* BufferedFile::emit_lines(const char* p, const char* end, std::string& carried, Emit& emit) {
  while (p < end) {
    const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    if (nl == nullptr) break;
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
  return p;
}

template <class ForEachLine>
void BufferedFile::writelines(ForEachLine&& for_each_line) {
  require_open();
  std::size_t total = 0;
  for_each_line([&](std::string_view line) {
    total += line.size();
    store(line);
  });
  if (total > kWritelinesFlushThreshold) flush_write_buffer();
}

template <class Emit>
void BufferedFile::readlines(Emit&& emit) {
  begin_read();
  std::string carried;  // the start of a line that runs on into the next chunk
  if (raw_) {
    // A pipe cannot be read again: take all of it first, so that an interruption gives every
    // byte back instead of losing the lines already split off.
    std::string rest;
    StringSink sink(rest);
    read_block(std::nullopt, sink, false);
    const char* end = rest.data() + rest.size();
    const char* tail = emit_lines(rest.data(), end, carried, emit);
    if (tail < end) emit(std::string_view(tail, static_cast<std::size_t>(end - tail)));
    return;
  }
  // Chunks, not one buffer the size of the rest: memory stays flat however large the file.
  const std::unique_ptr<char[]> chunk(new char[kLineChunk]);
  const std::int64_t start = pos_;
  std::size_t n = 0;
  do {
    try {
      n = pull(chunk.get(), kLineChunk, false);
    } catch (...) {
      pos_ = start;  // interrupted: the next call reads these lines again
      seek_pending_ = true;
      throw;
    }
    const char* end = chunk.get() + n;
    const char* tail = emit_lines(chunk.get(), end, carried, emit);
    carried.append(tail, end);
  } while (n == kLineChunk);  // a file comes back short only at its end
  if (!carried.empty()) emit(std::string_view(carried));
}

}  // namespace veltrani

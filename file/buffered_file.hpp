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
#include "file/platform.hpp"

namespace veltrani {

// Every size that governs buffering, named once.
// The read-ahead: a small read at a new spot fetches kReadAhead bytes, a page (two where a
// positioned read takes two system calls, so that small reads cost no more calls per byte), so
// that the next small reads cost no call; reads of that size or more go straight to the caller's
// memory. The line reader starts there too after an open, a seek or any other operation, so that
// a line read at a new spot costs what it uses, and doubles its fetches while lines are read on,
// up to kLineChunk, so that reading through a file takes one call per 256 KiB.
inline constexpr std::size_t kReadAhead = 4 * 1024 * platform::kCallsPerPositionedRead;
inline constexpr std::size_t kLineChunk = 256 * 1024;  // also the chunk of readlines
// Pending writes never exceed kWriteBufferSize; the buffer behind them starts at kWriteFirst and
// doubles as they grow, and goes back to that size when the writer pauses (flush, read, seek).
inline constexpr std::size_t kWriteFirst = 4 * 1024;
inline constexpr std::size_t kWriteBufferSize = 256 * 1024;
inline constexpr std::size_t kDirectWriteThreshold = 128 * 1024;  // longer pieces skip the copy
inline constexpr std::size_t kWritelinesFlushThreshold = 512 * 1024;
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

// A file over a C stdio stream with its own write buffer and one read-ahead, shared by line
// reads and small block reads; reads to the end are sized by the file's length as measured then.
// Failures throw std::runtime_error with a fixed message; a bad mode throws std::invalid_argument.
//
// How the stream is used: glibc drops the bytes of its buffer when a write fails (although fwrite
// counted them), gives up on a signal, waits for a full buffer on a pipe and reads a whole buffer
// to land a seek. So the stream only owns the descriptor: a regular file is read with pread and
// written with pwrite at a position this object keeps itself (appends with write(2), which
// lands them at the end), and anything else (pipe, terminal, device) with read(2) and write(2),
// taking what one call returns where a partial result is what is wanted. Every call tells
// exactly what moved, so nothing accepted is lost and nothing read is skipped. After a fork, a
// file that can write goes through the descriptor's offset too, which both processes share
// (see Track).
// Where the C runtime translates newlines in text modes, positions still count bytes on disk: a
// file is then read and written through the descriptor's offset, which tells how far each went.
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

  // Every operation acts at the byte after the last one returned: what was fetched ahead is
  // returned first, or, before a write, given up. Without a size, reads go to the end.
  std::size_t read(std::optional<std::uint64_t> size, ReadSink& out) { return read_block(size, out, false); }
  // On a pipe or terminal, what one read returns; on a file, the same as read.
  std::size_t read1(std::optional<std::uint64_t> size, ReadSink& out) {
    return read_block(size.value_or(kRead1Default), out, track_ == Track::stream);
  }
  std::size_t readinto(char* dst, std::size_t n);
  // Gives back bytes that a read has just returned and that lie right before the position: the
  // next read returns them first.
  void unread(const char* p, std::size_t n);

  // The view stays valid until the next call on this object.
  std::string_view readline(std::optional<std::uint64_t> size = std::nullopt);
  // Calls emit(std::string_view) for every line from the position to the end.
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
  // Settles a track that the next step must know: what mode "w" opened, where an append left
  // the position.
  void locate() {
    if (track_ == Track::unexamined) examine();
    if (track_ == Track::appended) find_position();
  }
  void find_position();
  bool examined_stream();
  void examine();
  void enlist();
  void delist();
  void unlink();
  void share();
  static void before_fork();
  static void after_fork();
  void settle();
  void reposition(std::int64_t target);
  void drop_ahead();
  std::size_t ahead() const { return ahead_len_ - ahead_pos_; }
  std::size_t read_some(char* dst, std::size_t n);
  bool fetch(std::size_t want);
  void store(std::string_view piece);
  void write_out(const char* message);
  void keep_pending(std::string_view tail);
  std::size_t put(const char* p, std::size_t n, int& err);
  std::size_t pull(char* dst, std::size_t n, bool some);
  void interrupted();
  std::size_t read_block(std::optional<std::uint64_t> size, ReadSink& out, bool some);
  bool appends() const {
    return mode_info_.kind == OpenMode::Append || mode_info_.kind == OpenMode::AppendUpdate;
  }
  bool at_end(std::int64_t at) const;  // files: nothing lies past `at`
  std::int64_t length() const;
  std::int64_t position(const char* failure = "Tell failed");
  void release_buffers();
  template <class Emit>
  static const char* emit_lines(const char* p, const char* end, std::string& carried, Emit& emit);

  FILE* file_ = nullptr;
  std::string filename_;
  ModeInfo mode_info_;
  std::string mode_;
  int fd_ = -1;
  // Where the position lives, which decides how every operation reads, writes and seeks.
  enum class Track : std::uint8_t {
    // Mode "w" before it knows what it opened: written as a file until a positioned write is
    // refused (a pipe or terminal), and examined before anything else.
    unexamined,
    own,       // a file in one process: pos_, with positioned reads and writes
    appended,  // own, but an append left the position in the descriptor's offset, at the end
    // A writable file since a fork: the descriptor's offset, shared with the other process, is
    // the position; reads, writes and seeks go through it, as open()'s do, so that neither
    // process writes over the other's bytes and neither writes back a position it remembers.
    shared,
    stream,  // a pipe, terminal or device: the descriptor alone; nothing read can be read again
  };
  Track track_ = Track::own;
  bool text_ = false;  // the C runtime translates newlines: bytes on disk differ from bytes seen
  std::unique_ptr<char[]> write_buffer_;  // write_cap_ bytes, allocated on first use
  std::size_t write_cap_ = 0;             // kWriteBufferSize at most, but to keep a failed write
  std::size_t write_pos_ = 0;             // pending bytes at its front
  // The read-ahead: bytes [ahead_pos_, ahead_len_) of ahead_ were fetched and not yet returned.
  // They lie right before pos_ (a pipe's: before the descriptor's offset, or were given back).
  std::unique_ptr<char[]> ahead_;
  std::size_t ahead_cap_ = 0;
  std::size_t ahead_pos_ = 0;
  std::size_t ahead_len_ = 0;
  std::size_t line_next_ = kReadAhead;  // the line reader's next fetch
  std::string line_scratch_;            // a line that spans fetches is assembled here
  // Track own: pos_ is the offset on disk where the next fetch starts, kept without asking the
  // kernel; the caller is ahead() bytes before it. known_length_: the file has been at least
  // this long, so seeks up to it succeed and reads within it need no look at the length.
  std::int64_t pos_ = 0;
  std::int64_t ahead_origin_ = 0;  // where ahead_[0] lies on disk
  std::int64_t known_length_ = 0;
  // Open files that can write and keep their own position are listed, so that a fork first
  // moves each one's descriptor offset to where its caller stands, then shares it (share).
  BufferedFile* prev_ = nullptr;
  BufferedFile* next_ = nullptr;
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
  settle();
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
  if (track_ == Track::stream) {
    // A pipe cannot be read again: take all of it first, so that an interruption gives every
    // byte back instead of losing the lines already split off.
    std::string rest;
    StringSink sink(rest);
    read_block(std::nullopt, sink, false);
    try {
      const char* end = rest.data() + rest.size();
      const char* tail = emit_lines(rest.data(), end, carried, emit);
      if (tail < end) emit(std::string_view(tail, static_cast<std::size_t>(end - tail)));
    } catch (...) {
      unread(rest.data(), rest.size());  // a line the caller could not take: all come back
      throw;
    }
    return;
  }
  // Chunks, not one buffer the size of the rest: memory stays flat however large the file.
  const std::unique_ptr<char[]> chunk(new char[kLineChunk]);
  const std::int64_t start = position();
  std::size_t n = 0;
  try {
    do {
      n = pull(chunk.get(), kLineChunk, false);
      const char* end = chunk.get() + n;
      const char* tail = emit_lines(chunk.get(), end, carried, emit);
      carried.append(tail, end);
    } while (n == kLineChunk);  // a file comes back short only at its end
    if (!carried.empty()) emit(std::string_view(carried));
  } catch (...) {
    // Interrupted, or a line the caller could not take: the next call reads them all again.
    reposition(start);
    throw;
  }
}

}  // namespace veltrani

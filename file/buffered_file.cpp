#include "file/buffered_file.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <stdexcept>

#include "file/platform.hpp"

namespace veltrani {

namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

[[noreturn]] void fail_open(std::string path, int err) {
  // Messages travel as C strings: a NUL in the path would cut the reason off.
  for (std::size_t at = path.find('\0'); at != std::string::npos; at = path.find('\0', at)) {
    path.replace(at, 1, "\\0");
  }
  throw OpenError("Failed to open file: " + path + " - " + std::strerror(err), err);
}

}  // namespace

BufferedFile::BufferedFile(std::string filename, std::string mode)
    : filename_(std::move(filename)), mode_info_(parse_mode(mode)), mode_(std::move(mode)) {}

BufferedFile::~BufferedFile() {
  if (file_ == nullptr) return;
  on_interrupt_ = nullptr;  // no one is left to run a handler for: retry quietly
  try {
    flush_write_buffer();
  } catch (...) {
    // A destructor has no one to report to; close() is where failures are seen.
  }
  std::fclose(file_);
}

void BufferedFile::open() {
  // Opening again must not leak the stream already held or lose its pending bytes.
  close();
  // The C library would stop at a NUL and open some other file than the one named.
  if (filename_.find('\0') != std::string::npos) fail_open(filename_, EINVAL);
  // Everything that can throw comes before the stream exists, so a failure leaks nothing.
  std::unique_ptr<char[]> stdio_buffer(new char[kStdioBufferSize]);
  FILE* file = nullptr;
  // Opening a FIFO waits for its other end; a signal meanwhile is no reason to fail.
  while ((file = std::fopen(filename_.c_str(), stdio_mode(mode_info_))) == nullptr && errno == EINTR) {
    interrupted();
  }
  if (file == nullptr) {
    const int err = errno;
    // Some runtimes refuse a directory as a lack of permission: name the actual reason.
    fail_open(filename_, platform::names_directory(filename_.c_str()) ? EISDIR : err);
  }
  const int fd = platform::descriptor(file);
  const platform::FileStatus st = platform::status(fd);
  // fopen lets a directory be opened for reading; every read would then fail unreported.
  if (st.directory) {
    std::fclose(file);
    fail_open(filename_, EISDIR);
  }
  raw_ = !st.known || !st.regular;
  if (raw_) {
    std::setvbuf(file, nullptr, _IONBF, 0);  // never read through: nothing may hide in it
  } else {
    // glibc ignores the size given with a null buffer, so the object supplies the storage.
    std::setvbuf(file, stdio_buffer.get(), _IOFBF, kStdioBufferSize);
    stdio_buffer_ = std::move(stdio_buffer);
  }
  file_ = file;
  fd_ = fd;
  // Mode "a" starts at the end, although not every C library puts the descriptor there at once.
  pos_ = raw_ ? 0 : mode_info_.kind == OpenMode::Append ? st.size : platform::seek(fd_, 0, SEEK_CUR);
  known_length_ = raw_ ? 0 : st.size;
  text_ = platform::kTextTranslatesNewlines && !mode_info_.binary;
  seek_pending_ = stream_reading_ = false;
  pushback_.clear();
  write_pos_ = line_pos_ = line_len_ = 0;
  line_eof_ = false;
}

void BufferedFile::close() {
  if (in_hook_) fail("Reentrant call");
  if (file_ == nullptr) return;
  flush_write_buffer();  // on failure the stream stays open with its pending bytes
  // fclose releases the stream whatever it returns, so it must never be used again.
  const int rc = std::fclose(file_);
  file_ = nullptr;
  fd_ = -1;
  release_buffers();
  if (rc != 0) throw std::runtime_error("Failed to close file: " + filename_);
}

void BufferedFile::release_buffers() {
  stdio_buffer_.reset();
  write_buffer_.reset();
  write_cap_ = 0;
  line_buffer_.reset();
  std::string().swap(line_scratch_);
  std::string().swap(pushback_);
}

void BufferedFile::require_open() const {
  // A handler that calls back into the object would find its buffers in the middle of use.
  if (in_hook_) fail("Reentrant call");
  if (file_ == nullptr) fail("File not open");
}

void BufferedFile::interrupted() {
  if (on_interrupt_ == nullptr) return;
  in_hook_ = true;
  try {
    on_interrupt_();
  } catch (...) {
    in_hook_ = false;
    throw;
  }
  in_hook_ = false;
}

void BufferedFile::begin_read() {
  require_open();
  if (write_pos_ != 0) flush_write_buffer();
}

// ---- the descriptor and the stream underneath ----

// The stream's buffer is dropped, the descriptor put at the stream's own position, and the stream
// told to trust neither: the next stream read asks the kernel afresh.
void BufferedFile::forget_stream_buffer() {
  if (!stream_reading_) return;
  platform::drop_read_ahead(file_, pos_);
  stream_reading_ = false;
}

std::size_t BufferedFile::put(const char* p, std::size_t n, int& err) {
  err = 0;
  if (!raw_) {
    forget_stream_buffer();
    if (seek_pending_) {
      if (platform::seek(fd_, pos_, SEEK_SET) < 0) {  // writing anywhere else would corrupt the file
        err = errno;
        return 0;
      }
      seek_pending_ = false;
    }
  }
  std::size_t done = 0;
  while (done < n) {
    const std::ptrdiff_t r = platform::write(fd_, p + done, n - done);
    if (r <= 0) {
      err = r < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(r);
  }
  if (!raw_ && done > 0) {
    // An appending descriptor wrote at the end, wherever that was by then; a translated newline
    // took more bytes on disk than it was handed.
    pos_ = mode_info_.kind == OpenMode::Append || mode_info_.kind == OpenMode::AppendUpdate || text_
               ? platform::seek(fd_, 0, SEEK_CUR)
               : pos_ + static_cast<std::int64_t>(done);
    known_length_ = std::max(known_length_, pos_);
  }
  return done;
}

std::size_t BufferedFile::pull(char* dst, std::size_t n, bool some) {
  std::size_t got = std::min(n, pushback_.size());
  if (got != 0) {
    std::memcpy(dst, pushback_.data(), got);
    pushback_.erase(0, got);
    if (some) return got;
  }
  while (got < n) {
    std::size_t r = 0;
    int err = 0;
    bool whole = false;  // the call returned all it could: a shortfall is the end
    // A block at least the stream's buffer in size would bypass that buffer anyway: read it
    // where it lies, and leave positioning the stream to a later small read. Translated text is
    // always read there: only the descriptor tells how far on disk a read went.
    if (raw_ || text_ || (seek_pending_ && n - got >= kStdioBufferSize)) {
      std::int64_t next = pos_;
      const std::ptrdiff_t k = raw_ ? platform::read(fd_, dst + got, n - got)
                                    : platform::read_at(fd_, dst + got, n - got, pos_, next);
      if (k > 0) r = static_cast<std::size_t>(k);
      if (k < 0) err = errno;
      if (!raw_) pos_ = next;
    } else {
      whole = true;
      if (seek_pending_) {
        if (platform::stream_seek(file_, pos_, SEEK_SET) != 0) break;  // nothing there to read
        seek_pending_ = false;
      }
      stream_reading_ = true;
      // glibc's end-of-file mark is sticky; clearing it lets a read see bytes added since.
      std::clearerr(file_);
      r = std::fread(dst + got, 1, n - got, file_);
      if (std::ferror(file_)) err = errno;
      pos_ += static_cast<std::int64_t>(r);
    }
    got += r;
    if (err == EINTR) {
      try {
        interrupted();
      } catch (...) {
        unread(dst, got);
        throw;
      }
      continue;
    }
    // A read error counts as the end.
    if (r == 0 || err != 0 || some || whole) break;
  }
  return got;
}

void BufferedFile::unread(const char* p, std::size_t n) {
  if (raw_) {
    pushback_.insert(0, p, n);
  } else {
    pos_ -= static_cast<std::int64_t>(n);  // a file is simply read there again
    seek_pending_ = true;
  }
}

std::int64_t BufferedFile::length() const { return platform::length(fd_); }

// ---- writing ----

void BufferedFile::flush_write_buffer(const char* message) {
  while (write_pos_ != 0) {
    int err = 0;
    const std::size_t done = put(write_buffer_.get(), write_pos_, err);
    // Keep only what did not go out, so that a retry writes every byte exactly once.
    std::memmove(write_buffer_.get(), write_buffer_.get() + done, write_pos_ - done);
    write_pos_ -= done;
    if (write_pos_ == 0) break;
    if (err != EINTR) fail(message);
    interrupted();
  }
  if (write_cap_ > kWriteBufferSize) {  // a failed write's tail is out: back to the usual size
    write_buffer_.reset();
    write_cap_ = 0;
  }
}

void BufferedFile::keep_pending(std::string_view tail) {
  // Only after a flush: the pending bytes are gone, so the tail is all that is kept.
  if (tail.size() > write_cap_) {
    write_buffer_.reset(new char[tail.size()]);
    write_cap_ = tail.size();
  }
  std::memcpy(write_buffer_.get(), tail.data(), tail.size());
  write_pos_ = tail.size();
}

void BufferedFile::store(std::string_view piece) {
  const std::size_t n = piece.size();
  if (n == 0) return;
  if (n <= kDirectWriteThreshold) {
    if (write_pos_ + n > kWriteBufferSize) flush_write_buffer();
    if (!write_buffer_) {
      write_buffer_.reset(new char[kWriteBufferSize]);
      write_cap_ = kWriteBufferSize;
    }
    std::memcpy(write_buffer_.get() + write_pos_, piece.data(), n);
    write_pos_ += n;
    return;
  }
  flush_write_buffer();
  std::size_t done = 0;
  try {
    for (;;) {
      int err = 0;
      done += put(piece.data() + done, n - done, err);
      if (done == n) return;
      if (err != EINTR) fail("Failed to write complete data");
      interrupted();
    }
  } catch (...) {
    // Once part of the piece went out the rest waits for the next write-out, so that a retry
    // writes it exactly once; a piece of which nothing went out was not accepted at all.
    if (done != 0) keep_pending(piece.substr(done));
    throw;
  }
}

std::size_t BufferedFile::write(std::string_view data) {
  require_open();
  store(data);
  return data.size();
}

void BufferedFile::flush() {
  require_open();
  // Nothing waits in the stream itself: bytes leave through the descriptor. A stream that cannot
  // write refuses the bytes themselves; a writable one failed to flush them.
  flush_write_buffer(writable() ? "Flush failed" : "Failed to flush write buffer");
}

// ---- block reads ----

// A length of 0 proves nothing: procfs reports it for files that hold bytes all the same.
bool BufferedFile::at_end() const {
  const std::int64_t n = length();
  return n > 0 && n <= pos_;
}

std::size_t BufferedFile::read_block(std::optional<std::uint64_t> size, ReadSink& out, bool some) {
  begin_read();
  const std::uint64_t limit = size.value_or(std::numeric_limits<std::uint64_t>::max());
  // Memory follows the bytes that are there, never the size asked for: a large or absent size
  // is capped by the length measured now, and grows only if the file turns out longer.
  std::uint64_t want = limit;
  if (!size || limit > kReadGrowth) {
    // A length of 0 says nothing (procfs reports it for files that hold bytes); a pipe has none.
    const std::int64_t end = raw_ ? 0 : length();
    // Bytes the stream's buffer holds may since have been cut from the file: read afresh.
    if (!raw_) {
      forget_stream_buffer();
      seek_pending_ = true;
    }
    const std::int64_t rest = end - pos_;
    want = std::min<std::uint64_t>(limit, end > 0 && rest >= 0 ? static_cast<std::uint64_t>(rest) : kReadGrowth);
  }
  std::size_t got = 0;
  char* dst = nullptr;
  try {
    for (;;) {
      const auto cap = static_cast<std::size_t>(want);
      dst = out.grow(cap);
      platform::prefault(dst + got, cap - got);
      got += pull(dst + got, cap - got, some);
      if (got < cap || got == limit || some || (!raw_ && at_end())) break;
      want = std::min<std::uint64_t>(limit, want + std::max<std::uint64_t>(want, kReadGrowth));
    }
  } catch (...) {
    unread(dst, got);  // the part before the interrupted call; that call gave back its own
    throw;
  }
  out.finish(got);
  return got;
}

std::size_t BufferedFile::readinto(char* dst, std::size_t n) {
  begin_read();
  if (n == 0) return 0;
  return pull(dst, n, false);
}

// ---- line reads ----

bool BufferedFile::refill_lines() {
  if (!line_buffer_) line_buffer_.reset(new char[kLineChunk]);
  // A pipe or terminal hands over the line that is there; waiting for a full chunk would hang.
  line_len_ = pull(line_buffer_.get(), kLineChunk, raw_);
  line_pos_ = 0;
  line_eof_ = line_len_ == 0;
  return !line_eof_;
}

std::string_view BufferedFile::readline(std::optional<std::uint64_t> size) {
  begin_read();
  // The last result may have been a huge line: its memory goes back once it is no longer seen.
  if (line_scratch_.capacity() > kLineChunk) std::string().swap(line_scratch_);
  const std::uint64_t limit = size.value_or(std::numeric_limits<std::uint64_t>::max());
  std::uint64_t taken = 0;
  bool assembled = false;  // false while the line is still one piece of the read-ahead
  while (taken < limit) {
    if (line_pos_ == line_len_) {
      if (line_eof_) break;
      bool more = false;
      try {
        more = refill_lines();
      } catch (...) {
        if (assembled) unread(line_scratch_.data(), line_scratch_.size());  // the line starts again
        throw;
      }
      if (!more) break;
    }
    const char* start = line_buffer_.get() + line_pos_;
    const std::size_t avail = line_len_ - line_pos_;
    const void* nl = std::memchr(start, '\n', avail);
    std::size_t piece = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - start) + 1 : avail;
    piece = static_cast<std::size_t>(std::min<std::uint64_t>(piece, limit - taken));
    line_pos_ += piece;
    taken += piece;
    const bool done = nl != nullptr || taken == limit;
    if (!assembled && done) return {start, piece};  // the common case: no copy
    if (!assembled) line_scratch_.clear();
    line_scratch_.append(start, piece);
    assembled = true;
    if (done) break;
  }
  return assembled ? std::string_view(line_scratch_) : std::string_view();
}

// ---- positioning and status ----

std::int64_t BufferedFile::position(const char* failure) {
  if (!raw_) return pos_;
  const std::int64_t at = platform::seek(fd_, 0, SEEK_CUR);  // fails on a pipe or terminal
  if (at < 0) fail(failure);
  return at - static_cast<std::int64_t>(pushback_.size());
}

std::int64_t BufferedFile::seek(std::int64_t offset, int whence) {
  require_open();
  flush_write_buffer();
  std::int64_t target = 0;
  if (raw_) {
    target = platform::seek(fd_, offset, whence);
    if (target < 0) fail("Seek failed");
    pushback_.clear();
  } else {
    std::int64_t base = 0;
    if (whence == SEEK_CUR) {
      base = pos_;
    } else if (whence == SEEK_END) {
      base = length();
    } else if (whence != SEEK_SET) {
      fail("Seek failed");
    }
    if (base < 0 || __builtin_add_overflow(base, offset, &target) || target < 0) fail("Seek failed");
    if (target > known_length_) known_length_ = std::max(known_length_, length());
    if (target > known_length_) {
      // Past anything the file has held, only the kernel knows whether the offset is allowed.
      forget_stream_buffer();
      if (platform::seek(fd_, target, SEEK_SET) < 0) fail("Seek failed");
      seek_pending_ = false;
    } else {
      seek_pending_ = true;  // a seek alone costs nothing; the next read takes the stream there
    }
    pos_ = target;
  }
  line_pos_ = line_len_ = 0;
  line_eof_ = false;
  return target;
}

std::int64_t BufferedFile::tell() {
  require_open();
  std::int64_t pending = static_cast<std::int64_t>(write_pos_);
  // Pending newlines will each take two bytes on disk.
  if (text_) pending += std::count(write_buffer_.get(), write_buffer_.get() + write_pos_, '\n');
  return position() + pending;
}

void BufferedFile::truncate(std::optional<std::uint64_t> size) {
  require_open();
  flush_write_buffer();
  // A pipe or terminal has no position to cut at.
  const std::uint64_t length = size ? *size : static_cast<std::uint64_t>(position("Truncate failed"));
  if (length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
      platform::truncate(fd_, static_cast<std::int64_t>(length)) != 0) {
    fail("Truncate failed");
  }
  // What the stream's buffer holds may be gone from the file now.
  if (!raw_) {
    forget_stream_buffer();
    known_length_ = std::max(known_length_, static_cast<std::int64_t>(length));
  }
}

bool BufferedFile::isatty() {
  require_open();
  return platform::is_terminal(fd_);
}

}  // namespace veltrani

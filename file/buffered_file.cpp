#include "file/buffered_file.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <stdexcept>

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

// A read of many megabytes into fresh memory spends much of its time taking one page fault per
// 4 KiB page; populating the pages up front in one call avoids that. Only a hint: kernels
// before 5.14 refuse it, and nothing changes. (Huge pages would fault even less, but can stall
// for seconds on memory compaction.)
void prefault(char* dst, std::size_t n) {
#ifdef MADV_POPULATE_WRITE
  constexpr std::uintptr_t kPage = 4096;
  if (n < 1024 * 1024) return;
  const auto begin = (reinterpret_cast<std::uintptr_t>(dst) + kPage - 1) & ~(kPage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(dst) + n) & ~(kPage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)dst;
  (void)n;
#endif
}

}  // namespace

BufferedFile::BufferedFile(std::string filename, std::string mode)
    : filename_(std::move(filename)), mode_info_(parse_mode(mode)), mode_(std::move(mode)) {}

BufferedFile::~BufferedFile() {
  if (file_ == nullptr) return;
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
  file_ = std::fopen(filename_.c_str(), stdio_mode(mode_info_));
  if (file_ == nullptr) fail_open(filename_, errno);
  // fopen lets a directory be opened for reading; every read would then fail unreported.
  struct stat st {};
  if (::fstat(::fileno(file_), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(file_);
    file_ = nullptr;
    fail_open(filename_, EISDIR);
  }
  // glibc ignores the size given with a null buffer, so the object supplies the storage.
  stdio_buffer_.reset(new char[kStdioBufferSize]);
  std::setvbuf(file_, stdio_buffer_.get(), _IOFBF, kStdioBufferSize);
  write_pos_ = line_pos_ = line_len_ = 0;
  line_eof_ = size_known_ = false;
  direction_ = Direction::None;
}

void BufferedFile::close() {
  if (file_ == nullptr) return;
  flush_write_buffer();  // on failure the stream stays open with its pending bytes
  // fclose releases the stream whatever it returns, so it must never be used again.
  const int rc = std::fclose(file_);
  file_ = nullptr;
  release_buffers();
  if (rc != 0) throw std::runtime_error("Failed to close file: " + filename_);
}

void BufferedFile::release_buffers() {
  stdio_buffer_.reset();
  write_buffer_.reset();
  line_buffer_.reset();
  std::string().swap(line_scratch_);
}

void BufferedFile::require_open() const {
  if (file_ == nullptr) fail("File not open");
}

void BufferedFile::begin_read() {
  require_open();
  if (write_pos_ != 0) flush_write_buffer();
  if (direction_ == Direction::Writing && std::fflush(file_) != 0) fail("Flush failed");
  direction_ = Direction::Reading;
}

void BufferedFile::begin_write() {
  // Positioning is what C allows between input and output; on a pipe it fails harmlessly.
  if (direction_ == Direction::Reading) std::fseek(file_, 0, SEEK_CUR);
  direction_ = Direction::Writing;
}

// ---- writing ----

void BufferedFile::flush_write_buffer() {
  if (write_pos_ == 0) return;
  begin_write();
  const std::size_t written = std::fwrite(write_buffer_.get(), 1, write_pos_, file_);
  if (written != write_pos_) {
    // Keep only what did not go out, so that a retry cannot write a byte twice.
    std::memmove(write_buffer_.get(), write_buffer_.get() + written, write_pos_ - written);
    write_pos_ -= written;
    fail("Failed to flush write buffer");
  }
  write_pos_ = 0;
}

void BufferedFile::store(std::string_view piece) {
  const std::size_t n = piece.size();
  if (n == 0) return;
  if (n <= kDirectWriteThreshold) {
    if (write_pos_ + n > kWriteBufferSize) flush_write_buffer();
    if (!write_buffer_) write_buffer_.reset(new char[kWriteBufferSize]);
    std::memcpy(write_buffer_.get() + write_pos_, piece.data(), n);
    write_pos_ += n;
    return;
  }
  flush_write_buffer();
  begin_write();
  if (std::fwrite(piece.data(), 1, n, file_) != n) fail("Failed to write complete data");
}

std::size_t BufferedFile::write(std::string_view data) {
  require_open();
  store(data);
  return data.size();
}

void BufferedFile::writelines(const std::vector<std::string>& lines) {
  require_open();
  std::size_t total = 0;
  for (const auto& line : lines) total += line.size();
  for (const auto& line : lines) store(line);
  if (total > kWritelinesFlushThreshold) flush_write_buffer();
}

void BufferedFile::flush() {
  require_open();
  flush_write_buffer();
  if (direction_ != Direction::Writing) return;  // nothing of ours waits in the stream
  if (std::fflush(file_) != 0) fail("Flush failed");
  direction_ = Direction::None;
}

// ---- block reads ----

void BufferedFile::cache_size() {
  size_known_ = false;
  const long pos = std::ftell(file_);
  if (pos < 0 || std::fseek(file_, 0, SEEK_END) != 0) return;
  const long end = std::ftell(file_);
  std::fseek(file_, pos, SEEK_SET);
  cached_size_ = end;
  size_known_ = end >= 0;
}

std::optional<std::uint64_t> BufferedFile::remaining() {
  const long pos = std::ftell(file_);
  if (pos < 0) return std::nullopt;  // a pipe or FIFO: no length to ask for
  // The length is measured again once this object has written past it.
  if (!size_known_ || pos > cached_size_) cache_size();
  if (!size_known_ || pos > cached_size_) return std::nullopt;
  return static_cast<std::uint64_t>(cached_size_ - pos);
}

bool BufferedFile::at_end() {
  const int c = std::getc(file_);
  if (c == EOF) return true;
  std::ungetc(c, file_);
  return false;
}

std::size_t BufferedFile::read(std::optional<std::uint64_t> size, ReadSink& out) {
  begin_read();
  const std::uint64_t limit = size.value_or(std::numeric_limits<std::uint64_t>::max());
  // Memory follows the bytes that are there, never the size asked for: a large or absent
  // size is capped by the measured length, and grows only if the file turns out longer.
  std::uint64_t want = limit;
  if (!size || limit > kReadGrowth) {
    const auto rest = remaining();
    want = std::min<std::uint64_t>(limit, rest ? *rest : kReadGrowth);
  }
  // glibc's end-of-file mark is sticky; clearing it lets a read see bytes added since.
  std::clearerr(file_);
  std::size_t got = 0;
  for (;;) {
    const auto cap = static_cast<std::size_t>(want);
    char* dst = out.grow(cap);
    prefault(dst + got, cap - got);
    got += std::fread(dst + got, 1, cap - got, file_);
    if (got < cap || got == limit || at_end()) break;
    want = std::min<std::uint64_t>(limit, want + std::max<std::uint64_t>(want, kReadGrowth));
  }
  out.finish(got);
  return got;
}

std::size_t BufferedFile::readinto(char* dst, std::size_t n) {
  begin_read();
  if (n == 0) return 0;
  std::clearerr(file_);
  return std::fread(dst, 1, n, file_);
}

// ---- line reads ----

bool BufferedFile::refill_lines() {
  if (!line_buffer_) line_buffer_.reset(new char[kLineChunk]);
  std::clearerr(file_);
  line_len_ = std::fread(line_buffer_.get(), 1, kLineChunk, file_);
  line_pos_ = 0;
  line_eof_ = line_len_ == 0;
  return !line_eof_;
}

std::string_view BufferedFile::readline(std::optional<std::uint64_t> size) {
  begin_read();
  const std::uint64_t limit = size.value_or(std::numeric_limits<std::uint64_t>::max());
  std::uint64_t taken = 0;
  bool assembled = false;  // false while the line is still one piece of the read-ahead
  while (taken < limit) {
    if (line_pos_ == line_len_ && (line_eof_ || !refill_lines())) break;
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

long BufferedFile::seek(long offset, int whence) {
  require_open();
  flush_write_buffer();
  if (std::fseek(file_, offset, whence) != 0) fail("Seek failed");
  line_pos_ = line_len_ = 0;
  line_eof_ = size_known_ = false;
  direction_ = Direction::None;
  return std::ftell(file_);
}

long BufferedFile::tell() {
  require_open();
  const long pos = std::ftell(file_);
  if (pos == -1) fail("Tell failed");
  return pos + static_cast<long>(write_pos_);
}

void BufferedFile::truncate(std::optional<std::uint64_t> size) {
  require_open();
  flush_write_buffer();
  // Bytes still in the stdio buffer would otherwise land at their old offsets, past the new end.
  if (std::fflush(file_) != 0) fail("Flush failed");
  direction_ = Direction::None;
  std::uint64_t length = 0;
  if (size) {
    length = *size;
  } else {
    const long pos = std::ftell(file_);
    if (pos < 0) fail("Truncate failed");
    length = static_cast<std::uint64_t>(pos);
  }
  if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
      ::ftruncate(::fileno(file_), static_cast<off_t>(length)) != 0) {
    fail("Truncate failed");
  }
  size_known_ = false;
}

bool BufferedFile::isatty() {
  require_open();
  return ::isatty(::fileno(file_)) != 0;
}

}  // namespace veltrani

#include "file/buffered_file.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <mutex>
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

// Replaces `buf` by one of `n` bytes, its contents gone. Emptied first, so that a failed
// allocation leaves no capacity counted in freed memory.
void renew(std::unique_ptr<char[]>& buf, std::size_t& cap, std::size_t n) {
  buf.reset();
  cap = 0;
  buf.reset(new char[n]);
  cap = n;
}

// The C library and the kernel refuse every read of a stream opened for writing alone (EBADF).
bool write_only(ModeInfo mode) { return mode.kind == OpenMode::Write || mode.kind == OpenMode::Append; }

// The open files that write at their own position (see BufferedFile::Track::shared).
std::mutex enlisted_mutex;
BufferedFile* enlisted_head = nullptr;

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
  delist();
  std::fclose(file_);
}

void BufferedFile::open() {
  // Opening again must not leak the stream already held or lose its pending bytes.
  close();
  // The C library would stop at a NUL and open some other file than the one named.
  if (filename_.find('\0') != std::string::npos) fail_open(filename_, EINVAL);
  FILE* file = nullptr;
  // Opening a FIFO waits for its other end; a signal meanwhile is no reason to fail.
  while ((file = platform::open(filename_.c_str(), stdio_mode(mode_info_))) == nullptr && errno == EINTR) {
    interrupted();
  }
  if (file == nullptr) {
    const int err = errno;
    // Some runtimes refuse a directory as a lack of permission: name the actual reason.
    fail_open(filename_, platform::names_directory(filename_.c_str()) ? EISDIR : err);
  }
  const int fd = platform::descriptor(file);
  // Mode "w" has just emptied a file, or opened something else that the first write or anything
  // but a write will tell (examine): a small file costs an open, its write and a close.
  const bool unexamined = platform::kPipesRefusePositionedWrites && mode_info_.kind == OpenMode::Write;
  const platform::FileStatus st = unexamined ? platform::FileStatus{true, false, true, 0} : platform::status(fd);
  // fopen lets a directory be opened for reading; every read would then fail unreported.
  if (st.directory) {
    std::fclose(file);
    fail_open(filename_, EISDIR);
  }
  file_ = file;
  fd_ = fd;
  track_ = !st.known || !st.regular ? Track::stream : unexamined ? Track::unexamined : Track::own;
  // Mode "a" starts at the end; every other mode, "a+" included, at the start.
  pos_ = track_ == Track::own && mode_info_.kind == OpenMode::Append ? st.size : 0;
  known_length_ = track_ == Track::stream ? 0 : st.size;
  text_ = platform::kTextTranslatesNewlines && !mode_info_.binary;
  write_pos_ = 0;
  drop_ahead();
  if (track_ != Track::stream && writable()) enlist();
}

void BufferedFile::close() {
  if (in_hook_) fail("Reentrant call");
  if (file_ == nullptr) return;
  flush_write_buffer();  // on failure the stream stays open with its pending bytes
  // As flush() leaves a shared offset, where the caller stands; closing goes on if it cannot.
  if (track_ == Track::shared && ahead() != 0) platform::seek(fd_, -static_cast<std::int64_t>(ahead()), SEEK_CUR);
  // fclose releases the stream whatever it returns, so it must never be used again.
  delist();
  const int rc = std::fclose(file_);
  file_ = nullptr;
  fd_ = -1;
  release_buffers();
  if (rc != 0) throw std::runtime_error("Failed to close file: " + filename_);
}

void BufferedFile::release_buffers() {
  write_buffer_.reset();
  write_cap_ = 0;
  drop_ahead();
  ahead_.reset();
  ahead_cap_ = 0;
  std::string().swap(line_scratch_);
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
  locate();
}

// ---- the position ----

// After an append the descriptor's offset is the position: the end, wherever that was then.
void BufferedFile::find_position() {
  const std::int64_t at = platform::seek(fd_, 0, SEEK_CUR);
  if (at < 0) fail("Tell failed");
  pos_ = at;
  known_length_ = std::max(known_length_, at);
  track_ = Track::own;
}

// Mode "w" learns what it opened; true for a pipe, terminal or device.
bool BufferedFile::examined_stream() {
  const platform::FileStatus st = platform::status(fd_);
  track_ = st.known && st.regular ? Track::own : Track::stream;
  if (track_ == Track::stream) known_length_ = 0;
  return track_ == Track::stream;
}

void BufferedFile::examine() {
  if (examined_stream()) delist();
}

void BufferedFile::enlist() {
  platform::watch_forks(before_fork, after_fork);
  const std::lock_guard<std::mutex> lock(enlisted_mutex);
  prev_ = nullptr;
  next_ = enlisted_head;
  if (next_ != nullptr) next_->prev_ = this;
  enlisted_head = this;
}

void BufferedFile::delist() {
  const std::lock_guard<std::mutex> lock(enlisted_mutex);
  unlink();
}

// With enlisted_mutex held.
void BufferedFile::unlink() {
  if (prev_ == nullptr && enlisted_head != this) return;  // not listed
  (prev_ != nullptr ? prev_->next_ : enlisted_head) = next_;
  if (next_ != nullptr) next_->prev_ = prev_;
  prev_ = next_ = nullptr;
}

// Right before a fork, with enlisted_mutex held: from here on the descriptor's offset is the
// position, in both processes, so it goes where the caller stands (bytes fetched ahead are not
// the caller's yet). Only objects that keep their own position are listed: one shared since an
// earlier fork must not be moved back to a position it remembers.
void BufferedFile::share() {
  unlink();
  // A pipe must be known as one before its writes go through the offset (see put).
  if (track_ == Track::unexamined && examined_stream()) return;
  if (track_ != Track::appended) platform::seek(fd_, pos_ - static_cast<std::int64_t>(ahead()), SEEK_SET);
  drop_ahead();
  track_ = Track::shared;
}

// Held from before a fork to after it, so that no list is half-changed in the child.
void BufferedFile::before_fork() {
  enlisted_mutex.lock();
  for (BufferedFile* f = enlisted_head; f != nullptr;) {
    BufferedFile* const next = f->next_;
    f->share();
    f = next;
  }
}

void BufferedFile::after_fork() { enlisted_mutex.unlock(); }

void BufferedFile::drop_ahead() {
  ahead_pos_ = ahead_len_ = 0;
  line_next_ = kReadAhead;
}

// Before a write to a file: what was fetched ahead is given up, as the write may change it, and
// the write lands right after the last byte returned. A pipe's fetched bytes stay to be read.
void BufferedFile::settle() {
  if (track_ == Track::stream || ahead_len_ == 0) return;
  reposition(position());
}

// A file's next read or write happens at `target`, and nothing fetched ahead is kept.
void BufferedFile::reposition(std::int64_t target) {
  drop_ahead();
  if (track_ == Track::shared) {
    if (platform::seek(fd_, target, SEEK_SET) < 0) fail("Seek failed");
  } else {
    pos_ = target;
  }
}

// Where the caller is: after the last byte returned, before anything fetched beyond it.
std::int64_t BufferedFile::position(const char* failure) {
  locate();
  if (track_ == Track::shared || track_ == Track::stream) {
    const std::int64_t at = platform::seek(fd_, 0, SEEK_CUR);  // fails on a pipe or terminal
    if (at < 0) fail(failure);
    return at - static_cast<std::int64_t>(ahead());
  }
  if (!text_) return pos_ - static_cast<std::int64_t>(ahead());
  // Translated newlines: only reading the returned part again tells where it ended on disk. Even
  // with all of it returned, pos_ may lie a byte past that: a fetch that ends between "\r" and
  // "\n" consumes the "\r" and leaves the newline to the next fetch.
  if (ahead_len_ == 0) return pos_;
  const std::unique_ptr<char[]> scratch(new char[ahead_pos_ + 1]);
  std::int64_t at = ahead_origin_;
  for (std::size_t left = ahead_pos_; left != 0;) {
    std::int64_t next = at;
    const std::ptrdiff_t k = platform::read_at(fd_, scratch.get(), left, at, next);
    if (k <= 0) break;
    left -= static_cast<std::size_t>(k);
    at = next;
  }
  return at;
}

// ---- reading ----

// One read at the position, tried again when a signal interrupts it (nothing was taken then).
// A stream opened for writing alone finds nothing, as designed; any other failure throws.
std::size_t BufferedFile::read_some(char* dst, std::size_t n) {
  for (;;) {
    const bool at_pos = track_ == Track::own;
    std::int64_t next = pos_;
    const std::ptrdiff_t k = at_pos ? platform::read_at(fd_, dst, n, pos_, next) : platform::read(fd_, dst, n);
    if (k >= 0) {
      if (at_pos) pos_ = next;
      return static_cast<std::size_t>(k);
    }
    const int err = errno;
    if (err == EBADF && write_only(mode_info_)) return 0;
    if (err != EINTR) fail("Read failed");
    interrupted();
  }
}

// Fills the empty read-ahead with what one read at the position gives, up to `want` bytes.
bool BufferedFile::fetch(std::size_t want) {
  ahead_pos_ = ahead_len_ = 0;
  ahead_origin_ = pos_;
  // Memory follows use: a fetch at a new spot is small again.
  if (ahead_cap_ != want) renew(ahead_, ahead_cap_, want);
  ahead_len_ = read_some(ahead_.get(), want);
  return ahead_len_ != 0;
}

std::size_t BufferedFile::pull(char* dst, std::size_t n, bool some) {
  std::size_t got = std::min(n, ahead());
  if (got != 0) {
    std::memcpy(dst, ahead_.get() + ahead_pos_, got);
    ahead_pos_ += got;
    if (some) return got;
  }
  while (got < n) {
    // A small read of a file fetches a page ahead; translated text is read where it lies, as
    // only the descriptor tells how far on disk a read went.
    const bool small = track_ != Track::stream && !text_ && n - got < kReadAhead;
    // A read past the buffer leaves it behind: it no longer lies right before the position, and
    // the line reader starts small again there.
    if (!small) drop_ahead();
    std::size_t k = 0;
    try {
      k = small ? (fetch(kReadAhead) ? std::min(n - got, ahead_len_) : 0) : read_some(dst + got, n - got);
    } catch (...) {
      unread(dst, got);  // the bytes taken before the failure are read again first
      throw;
    }
    if (k == 0) break;
    if (small) {
      std::memcpy(dst + got, ahead_.get(), k);
      ahead_pos_ = k;
    }
    got += k;
    if (some) break;
  }
  return got;
}

void BufferedFile::unread(const char* p, std::size_t n) {
  if (n == 0) return;
  if (track_ != Track::stream) {
    reposition(position() - static_cast<std::int64_t>(n));  // a file is simply read there again
    return;
  }
  // A pipe's bytes go in front of those still ahead.
  const std::size_t rest = ahead();
  std::unique_ptr<char[]> both(new char[n + rest]);
  std::memcpy(both.get(), p, n);
  if (rest != 0) std::memcpy(both.get() + n, ahead_.get() + ahead_pos_, rest);
  ahead_ = std::move(both);
  ahead_cap_ = ahead_len_ = n + rest;
  ahead_pos_ = 0;
}

std::int64_t BufferedFile::length() const { return platform::length(fd_); }

// ---- writing ----

std::size_t BufferedFile::put(const char* p, std::size_t n, int& err) {
  err = 0;
  std::size_t done = 0;
  while (done < n) {
    // Appends and a pipe's bytes go where the descriptor puts them, and so do a file's when its
    // offset is shared since a fork; otherwise they go to the position.
    const bool at_pos = (track_ == Track::own || track_ == Track::unexamined) && !appends();
    std::int64_t next = pos_;
    const std::ptrdiff_t r = at_pos ? platform::write_at(fd_, p + done, n - done, pos_, next)
                                    : platform::write(fd_, p + done, n - done);
    if (r < 0 && track_ == Track::unexamined && errno == ESPIPE) {  // mode "w" on a pipe or terminal
      examine();
      continue;
    }
    if (r <= 0) {
      err = r < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(r);
    if (at_pos) {
      pos_ = next;
      known_length_ = std::max(known_length_, pos_);
    } else if (track_ == Track::own) {
      track_ = Track::appended;  // the descriptor's offset, wherever the end was
    }
    // On a pipe or terminal a write comes back short when a signal cut it: its handlers run
    // before the rest is written, as after EINTR, so that a raising one is not lost.
    if (track_ == Track::stream && done < n) {
      err = EINTR;
      break;
    }
  }
  return done;
}

void BufferedFile::write_out(const char* message) {
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
}

void BufferedFile::flush_write_buffer(const char* message) {
  write_out(message);
  // The writer has paused: its buffer goes back to the first size.
  if (write_cap_ > kWriteFirst) {
    write_buffer_.reset();
    write_cap_ = 0;
  }
}

void BufferedFile::keep_pending(std::string_view tail) {
  // Only after a write-out: the pending bytes are gone, so the tail is all that is kept.
  if (tail.size() > write_cap_) renew(write_buffer_, write_cap_, tail.size());
  std::memcpy(write_buffer_.get(), tail.data(), tail.size());
  write_pos_ = tail.size();
}

void BufferedFile::store(std::string_view piece) {
  const std::size_t n = piece.size();
  if (n == 0) return;
  if (n <= kDirectWriteThreshold) {
    if (write_pos_ + n > kWriteBufferSize) write_out("Failed to flush write buffer");
    if (write_pos_ + n > write_cap_) {
      std::size_t cap = std::max(write_cap_, kWriteFirst);
      while (cap < write_pos_ + n) cap *= 2;
      std::unique_ptr<char[]> bigger(new char[cap]);
      if (write_pos_ != 0) std::memcpy(bigger.get(), write_buffer_.get(), write_pos_);
      write_buffer_ = std::move(bigger);
      write_cap_ = cap;
    }
    std::memcpy(write_buffer_.get() + write_pos_, piece.data(), n);
    write_pos_ += n;
    return;
  }
  write_out("Failed to flush write buffer");
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
  settle();
  store(data);
  return data.size();
}

void BufferedFile::flush() {
  require_open();
  // Nothing waits in the stream itself: bytes leave through the descriptor. A stream that cannot
  // write refuses the bytes themselves; a writable one failed to flush them.
  flush_write_buffer(writable() ? "Flush failed" : "Failed to flush write buffer");
  // A shared offset goes back to where the caller stands, as open()'s does, so that what the
  // other process writes next lands there and not after bytes this one fetched ahead.
  if (track_ == Track::shared) settle();
}

// ---- block reads ----

// A length of 0 proves nothing: procfs reports it for files that hold bytes all the same.
bool BufferedFile::at_end(std::int64_t at) const {
  const std::int64_t n = length();
  return n > 0 && n <= at;
}

std::size_t BufferedFile::read_block(std::optional<std::uint64_t> size, ReadSink& out, bool some) {
  begin_read();
  const std::uint64_t limit = size.value_or(std::numeric_limits<std::uint64_t>::max());
  // Memory follows the bytes that are there, never the size asked for: a large or absent size
  // is capped by the length measured now, and grows only if the file turns out longer. A size
  // within the length the file is known to have had needs no look.
  std::uint64_t want = limit;
  const bool stream = track_ == Track::stream;
  // Asked only where it matters: a small sized read takes no look at the position.
  const std::int64_t here = stream || (size && limit <= kReadGrowth) ? 0 : position();
  if (!size || (limit > kReadGrowth && (stream || track_ == Track::shared || here > known_length_ ||
                                        limit > static_cast<std::uint64_t>(known_length_ - here)))) {
    // Read afresh: what was fetched ahead may since have been cut from the file.
    settle();
    // A length of 0 says nothing (procfs reports it for files that hold bytes); a pipe has none.
    const std::int64_t end = stream ? 0 : length();
    const std::int64_t rest = end - here;
    want = std::min<std::uint64_t>(limit, end > 0 && rest >= 0 ? static_cast<std::uint64_t>(rest) : kReadGrowth);
  }
  std::size_t got = 0;
  char* dst = nullptr;
  try {
    for (;;) {
      const auto cap = static_cast<std::size_t>(want);
      dst = out.grow(cap);
      // Populating a large result's pages in one call beats a fault per page; a sized read in
      // a loop reuses memory already populated, so only a read to the end asks.
      if (!size) platform::prefault(dst + got, cap - got);
      got += pull(dst + got, cap - got, some);
      if (got < cap || got == limit || some || (!stream && at_end(here + static_cast<std::int64_t>(got)))) break;
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

std::string_view BufferedFile::readline(std::optional<std::uint64_t> size) {
  begin_read();
  // The last result may have been a huge line: its memory goes back once it is no longer seen.
  if (line_scratch_.capacity() > kLineChunk) std::string().swap(line_scratch_);
  const std::uint64_t limit = size.value_or(std::numeric_limits<std::uint64_t>::max());
  std::uint64_t taken = 0;
  bool assembled = false;  // false while the line is still one piece of the read-ahead
  while (taken < limit) {
    if (ahead() == 0) {
      // At the end, every call asks again: a writer may have added lines since.
      bool more = false;
      try {
        // A pipe or terminal hands over the line that is there: one read, whatever it brings.
        const std::size_t want = line_next_;
        more = fetch(want);
        // A full fetch says there is more to come: the next one may take more at once. Translated
        // text comes back shorter than the bytes it took, full or not.
        if (ahead_len_ == want || (text_ && more)) line_next_ = std::min(want * 2, kLineChunk);
      } catch (...) {
        if (assembled) unread(line_scratch_.data(), line_scratch_.size());  // the line starts again
        throw;
      }
      if (!more) break;
    }
    const char* start = ahead_.get() + ahead_pos_;
    const std::size_t avail = ahead();
    const void* nl = std::memchr(start, '\n', avail);
    std::size_t piece = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - start) + 1 : avail;
    piece = static_cast<std::size_t>(std::min<std::uint64_t>(piece, limit - taken));
    ahead_pos_ += piece;
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

std::int64_t BufferedFile::seek(std::int64_t offset, int whence) {
  require_open();
  flush_write_buffer();
  locate();
  // The kernel knows more ways (SEEK_DATA, SEEK_HOLE) that a file object does not offer.
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) fail("Seek failed");
  const bool shared = track_ == Track::shared;
  std::int64_t target = 0;
  if (track_ == Track::stream || (shared && (whence == SEEK_END || ahead() == 0))) {
    // The descriptor's offset moves, for the other process to see; bytes fetched ahead lie
    // before it.
    if (whence == SEEK_CUR && __builtin_sub_overflow(offset, static_cast<std::int64_t>(ahead()), &offset)) {
      fail("Seek failed");
    }
    target = platform::seek(fd_, offset, whence);
    if (target < 0) fail("Seek failed");
    drop_ahead();
    return target;
  }
  // Where the last fetch ended: the position this object keeps, or the shared offset.
  const std::int64_t fetched_to = shared ? platform::seek(fd_, 0, SEEK_CUR) : pos_;
  std::int64_t base = 0;
  if (whence == SEEK_CUR) {
    base = position();
  } else if (whence == SEEK_END) {
    base = length();
  }
  if (fetched_to < 0 || base < 0 || __builtin_add_overflow(base, offset, &target) || target < 0) fail("Seek failed");
  if (!shared && target > known_length_) {
    // Past anything the file has held, only the kernel knows whether the offset is allowed.
    known_length_ = std::max(known_length_, length());
    if (target > known_length_ && platform::seek(fd_, target, SEEK_SET) < 0) fail("Seek failed");
  }
  // Within what was fetched, the read-ahead stays only while some of it is still unread, and
  // never for a seek from the end, as open() does: a poll (seek back, read again) sees what the
  // file holds now, not the bytes it held when they were fetched. A shared offset then stays
  // where it is, as open()'s does.
  const std::int64_t fetched = static_cast<std::int64_t>(ahead_len_);
  if (!text_ && whence != SEEK_END && ahead() != 0 && target >= fetched_to - fetched && target <= fetched_to) {
    ahead_pos_ = static_cast<std::size_t>(target - (fetched_to - fetched));
  } else {
    reposition(target);
  }
  return target;
}

std::int64_t BufferedFile::tell() {
  require_open();
  std::int64_t pending = static_cast<std::int64_t>(write_pos_);
  // Pending newlines will each take two bytes on disk.
  if (text_) pending += std::count(write_buffer_.get(), write_buffer_.get() + write_pos_, '\n');
  // Appended bytes land at the end, wherever the position was.
  if (pending != 0 && appends() && track_ != Track::stream) return length() + pending;
  return position() + pending;
}

void BufferedFile::truncate(std::optional<std::uint64_t> size) {
  require_open();
  flush_write_buffer();
  locate();
  // A pipe or terminal has no position to cut at.
  const bool stream = track_ == Track::stream;
  const std::int64_t here = stream ? 0 : position();
  const std::uint64_t length = size ? *size : static_cast<std::uint64_t>(stream ? position("Truncate failed") : here);
  if (length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
      platform::truncate(fd_, static_cast<std::int64_t>(length)) != 0) {
    fail("Truncate failed");
  }
  // What was fetched ahead may be gone from the file now.
  if (!stream) {
    if (ahead_len_ != 0) reposition(here);
    known_length_ = std::max(known_length_, static_cast<std::int64_t>(length));
  }
}

bool BufferedFile::isatty() {
  require_open();
  return platform::is_terminal(fd_);
}

}  // namespace veltrani

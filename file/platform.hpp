#pragma once

// Every call the file object makes to the operating system or to the C runtime beyond ISO C,
// behind one seam: POSIX systems and the Windows C runtime (MSVCRT/UCRT) each get their own
// body in platform.cpp, and nothing else in file/ knows which one it runs on.
// Positions and lengths are 64-bit everywhere. Failures return -1 (or false) with errno set,
// as the POSIX calls do, so that errno is read by the caller right after the call.

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace veltrani::platform {

// In a text mode the Windows runtime writes "\n" to disk as "\r\n" and reads "\r\n" back as
// "\n": a count of bytes handed over or delivered is then not a count of bytes on disk.
// A positioned write to a pipe, FIFO or terminal fails with ESPIPE on POSIX systems, so a file
// opened for writing alone need not be examined first; the Windows runtime tells nothing so.
// The Windows runtime has no positioned read: it seeks, then reads (read_at).
#ifdef _WIN32
inline constexpr bool kTextTranslatesNewlines = true;
inline constexpr bool kPipesRefusePositionedWrites = false;
inline constexpr std::size_t kCallsPerPositionedRead = 2;
#else
inline constexpr bool kTextTranslatesNewlines = false;
inline constexpr bool kPipesRefusePositionedWrites = true;
inline constexpr std::size_t kCallsPerPositionedRead = 1;
#endif

struct FileStatus {
  bool known = false;  // false when the descriptor could not be examined
  bool directory = false;
  bool regular = false;
  std::int64_t size = 0;
};

// fopen, with a path in UTF-8 on every platform, and a descriptor that programs started later
// do not inherit (close-on-exec), as Python's own files do.
std::FILE* open(const char* path, const char* mode);
int descriptor(std::FILE* file);
FileStatus status(int fd);
std::int64_t length(int fd);  // -1 when unknown
bool names_directory(const char* path);  // a UTF-8 path
bool is_terminal(int fd);
int truncate(int fd, std::int64_t length);

std::int64_t seek(int fd, std::int64_t offset, int whence);
// One call each; a count above what one call may move is cut to it.
std::ptrdiff_t read(int fd, void* dst, std::size_t n);
std::ptrdiff_t write(int fd, const void* src, std::size_t n);
// Read or write at `offset` and set `next` to the offset on disk where the call stopped.
std::ptrdiff_t read_at(int fd, void* dst, std::size_t n, std::int64_t offset, std::int64_t& next);
std::ptrdiff_t write_at(int fd, const void* src, std::size_t n, std::int64_t offset, std::int64_t& next);

// fork() makes a descriptor's offset shared by two processes. watch_forks registers, once,
// `before` to run in the forking thread right before each fork and `after` in parent and child
// right after it (nothing where there is no fork).
void watch_forks(void (*before)(), void (*after)());

// A hint that `dst` is about to be filled: fault its pages in at once. May do nothing.
void prefault(void* dst, std::size_t n);

}  // namespace veltrani::platform

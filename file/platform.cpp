#include "file/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace veltrani::platform {

namespace {

// One system call moves at most this much: Linux moves no more anyway, a count above SSIZE_MAX
// would be undefined, and the Windows runtime counts in int.
constexpr std::size_t kMaxIo = std::size_t{1} << 30;

}  // namespace

#ifdef _WIN32

namespace {

// The narrow calls read a name in the ANSI code page; Python's names are Unicode (bytes names
// are UTF-8 there too), so every name goes to the wide calls.
bool widen(const char* s, std::wstring& out) {
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, nullptr, 0);
  if (n <= 0) {
    errno = EILSEQ;
    return false;
  }
  out.resize(static_cast<std::size_t>(n));
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, out.data(), n);
  return true;
}

}  // namespace

// "N": the runtime's flag for a handle that child processes do not inherit.
std::FILE* open(const char* path, const char* mode) {
  std::wstring wpath;
  std::wstring wmode;
  if (!widen(path, wpath) || !widen((std::string(mode) + "N").c_str(), wmode)) return nullptr;
  return ::_wfopen(wpath.c_str(), wmode.c_str());
}

int descriptor(std::FILE* file) { return ::_fileno(file); }

FileStatus status(int fd) {
  struct _stat64 st {};
  if (::_fstat64(fd, &st) != 0) return {};
  const auto type = st.st_mode & _S_IFMT;
  return {true, type == _S_IFDIR, type == _S_IFREG, static_cast<std::int64_t>(st.st_size)};
}

bool names_directory(const char* path) {
  std::wstring wpath;
  struct _stat64 st {};
  return widen(path, wpath) && ::_wstat64(wpath.c_str(), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR;
}

// Also true for other character devices, such as NUL: the runtime does not tell them apart.
bool is_terminal(int fd) { return ::_isatty(fd) != 0; }

int truncate(int fd, std::int64_t length) {
  const errno_t err = ::_chsize_s(fd, length);
  if (err == 0) return 0;
  errno = err;
  return -1;
}

std::int64_t seek(int fd, std::int64_t offset, int whence) { return ::_lseeki64(fd, offset, whence); }

std::ptrdiff_t read(int fd, void* dst, std::size_t n) {
  return ::_read(fd, dst, static_cast<unsigned>(std::min(n, kMaxIo)));
}

std::ptrdiff_t write(int fd, const void* src, std::size_t n) {
  return ::_write(fd, src, static_cast<unsigned>(std::min(n, kMaxIo)));
}

namespace {

// No positioned read or write in the runtime: seek, move, and ask where the call stopped, which
// in a text mode lies past offset + count by the carriage returns dropped or added. The
// descriptor's offset moves; the file object passes an offset to every call that depends on it.
// A binary descriptor moves by exactly the count: only a text one is asked. (_setmode only flips
// the runtime's flag, without a system call.) ReadFile and WriteFile at an offset would make it
// one call, but under wine they take ten to thirty times as long as a seek and a read.
bool translates(int fd) {
  const int was = ::_setmode(fd, _O_BINARY);
  if (was == -1 || was == _O_BINARY) return false;
  ::_setmode(fd, was);
  return true;
}

template <class Move>
std::ptrdiff_t move_at(int fd, std::int64_t offset, std::int64_t& next, Move move) {
  next = offset;
  if (::_lseeki64(fd, offset, SEEK_SET) < 0) return -1;
  const int k = move();
  if (k > 0 && !translates(fd)) {
    next = offset + k;
  } else if (k > 0) {
    const std::int64_t at = ::_lseeki64(fd, 0, SEEK_CUR);
    next = at >= 0 ? at : offset + k;
  }
  return k;
}

}  // namespace

std::ptrdiff_t read_at(int fd, void* dst, std::size_t n, std::int64_t offset, std::int64_t& next) {
  return move_at(fd, offset, next, [&] { return ::_read(fd, dst, static_cast<unsigned>(std::min(n, kMaxIo))); });
}

std::ptrdiff_t write_at(int fd, const void* src, std::size_t n, std::int64_t offset, std::int64_t& next) {
  return move_at(fd, offset, next, [&] { return ::_write(fd, src, static_cast<unsigned>(std::min(n, kMaxIo))); });
}

void prefault(void*, std::size_t) {}

void watch_forks(void (*)(), void (*)()) {}

#else

// glibc, musl and the BSDs take "e" for O_CLOEXEC, set atomically, so that no fork() in another
// thread can pass the descriptor on in between; elsewhere it is set right after.
#if defined(__GLIBC__) || defined(__linux__) || defined(__FreeBSD__) || defined(__NetBSD__) || \
    defined(__OpenBSD__) || defined(__DragonFly__)
std::FILE* open(const char* path, const char* mode) { return std::fopen(path, (std::string(mode) + "e").c_str()); }
#else
std::FILE* open(const char* path, const char* mode) {
  std::FILE* file = std::fopen(path, mode);
  if (file != nullptr) ::fcntl(::fileno(file), F_SETFD, ::fcntl(::fileno(file), F_GETFD) | FD_CLOEXEC);
  return file;
}
#endif

int descriptor(std::FILE* file) { return ::fileno(file); }

FileStatus status(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return {};
  return {true, S_ISDIR(st.st_mode), S_ISREG(st.st_mode), static_cast<std::int64_t>(st.st_size)};
}

bool names_directory(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_terminal(int fd) { return ::isatty(fd) != 0; }

int truncate(int fd, std::int64_t length) { return ::ftruncate(fd, static_cast<off_t>(length)); }

std::int64_t seek(int fd, std::int64_t offset, int whence) {
  return ::lseek(fd, static_cast<off_t>(offset), whence);
}

std::ptrdiff_t read(int fd, void* dst, std::size_t n) { return ::read(fd, dst, std::min(n, kMaxIo)); }

std::ptrdiff_t write(int fd, const void* src, std::size_t n) { return ::write(fd, src, std::min(n, kMaxIo)); }

std::ptrdiff_t read_at(int fd, void* dst, std::size_t n, std::int64_t offset, std::int64_t& next) {
  const ssize_t k = ::pread(fd, dst, std::min(n, kMaxIo), static_cast<off_t>(offset));
  next = offset + (k > 0 ? k : 0);
  return k;
}

std::ptrdiff_t write_at(int fd, const void* src, std::size_t n, std::int64_t offset, std::int64_t& next) {
  const ssize_t k = ::pwrite(fd, src, std::min(n, kMaxIo), static_cast<off_t>(offset));
  next = offset + (k > 0 ? k : 0);
  return k;
}

// A read of many megabytes into fresh memory spends much of its time taking one page fault per
// 4 KiB page; populating the pages up front in one call avoids that. Only a hint: kernels
// before 5.14 refuse it, and nothing changes. (Huge pages would fault even less, but can stall
// for seconds on memory compaction.)
void prefault(void* dst, std::size_t n) {
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

void watch_forks(void (*before)(), void (*after)()) {
  static const int registered = ::pthread_atfork(before, after, after);
  (void)registered;
}

#endif

std::int64_t length(int fd) {
  const FileStatus st = status(fd);
  return st.known ? st.size : -1;
}

}  // namespace veltrani::platform

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "file/buffered_file.hpp"

namespace veltrani {
namespace {

// Where the Windows C runtime behaves otherwise, the tests say what it does.
#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif
// What a text mode puts on disk for "\n".
const std::string kNewline = kWindows ? "\r\n" : "\n";

namespace fs = std::filesystem;

class BufferedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    fs::path dir;
    do {
      dir = fs::temp_directory_path() / ("bftest." + std::to_string(random()));
    } while (!fs::create_directory(dir));
    dir_ = dir.string();
    path_ = dir_ + "/f";
  }
  void TearDown() override { fs::remove_all(dir_); }

  void put(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
  std::string disk() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::int64_t disk_size() const {
    std::error_code err;
    const auto size = fs::file_size(path_, err);
    return err ? -1 : static_cast<std::int64_t>(size);
  }
  static void writelines(BufferedFile& f, const std::vector<std::string>& lines) {
    f.writelines([&](auto&& store) {
      for (const auto& line : lines) store(line);
    });
  }
  static std::string read(BufferedFile& f, std::optional<std::uint64_t> size = std::nullopt) {
    std::string out;
    StringSink sink(out);
    f.read(size, sink);
    return out;
  }

  std::string dir_;
  std::string path_;
};

void expect_error(const std::function<void()>& op, const std::string& message) {
  try {
    op();
    ADD_FAILURE() << "no error, expected: " << message;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

TEST_F(BufferedFileTest, ClosedObjectRefusesStreamOperations) {
  BufferedFile f(path_, "w");
  EXPECT_FALSE(f.seekable());
  EXPECT_TRUE(f.writable());
  expect_error([&] { f.write("x"); }, "File not open");
  expect_error([&] { writelines(f, {}); }, "File not open");
  expect_error([&] { f.flush(); }, "File not open");
  expect_error([&] { read(f); }, "File not open");
  expect_error([&] { f.readline(); }, "File not open");
  expect_error([&] { f.seek(0); }, "File not open");
  expect_error([&] { f.tell(); }, "File not open");
  expect_error([&] { f.truncate(); }, "File not open");
  expect_error([&] { f.isatty(); }, "File not open");
  f.close();  // closing what was never opened is allowed
  EXPECT_FALSE(BufferedFile(path_, "rb").writable());
}

TEST_F(BufferedFileTest, OpenFailureNamesPathAndReason) {
  BufferedFile missing(dir_ + "/no/such", "w");
  expect_error([&] { missing.open(); },
               "Failed to open file: " + dir_ + "/no/such - No such file or directory");
  for (const char* mode : {"w", "r", "rb"}) {  // fopen itself would let "r" through
    BufferedFile directory(dir_, mode);
    expect_error([&] { directory.open(); }, "Failed to open file: " + dir_ + " - Is a directory");
    EXPECT_FALSE(directory.is_open());
  }
}

TEST_F(BufferedFileTest, WriteThresholdsSeenOnDisk) {
  BufferedFile f(path_, "wb");
  f.open();
  const std::string half(kDirectWriteThreshold, 'a');
  f.write(half);  // exactly the threshold: buffered
  EXPECT_EQ(disk_size(), 0);
  f.write(half);  // fills the buffer exactly: still pending
  f.flush();
  EXPECT_EQ(disk_size(), 2 * static_cast<long>(kDirectWriteThreshold));

  f.write(half);
  f.write(half);
  f.write("z");  // one byte over the buffer: the 256 KiB pending go out first
  std::fflush(nullptr);
  EXPECT_EQ(disk_size(), 4 * static_cast<long>(kDirectWriteThreshold));
  EXPECT_EQ(f.tell(), 4 * static_cast<long>(kDirectWriteThreshold) + 1);

  f.write(std::string(kDirectWriteThreshold + 1, 'b'));  // written through, after what was pending
  f.flush();
  EXPECT_EQ(disk_size(), 5 * static_cast<long>(kDirectWriteThreshold) + 2);
  f.close();
  const std::string bytes = disk();
  EXPECT_EQ(bytes[4 * kDirectWriteThreshold], 'z');
  EXPECT_EQ(bytes.back(), 'b');
}

TEST_F(BufferedFileTest, WritelinesFlushesOnlyAboveItsThreshold) {
  BufferedFile f(path_, "wb");
  f.open();
  const std::string piece(kWritelinesFlushThreshold / 4, 'p');
  writelines(f, {piece, piece, piece, piece});  // exactly the threshold: the tail stays pending
  std::fflush(nullptr);
  EXPECT_LT(disk_size(), static_cast<long>(kWritelinesFlushThreshold));
  EXPECT_EQ(f.tell(), static_cast<long>(kWritelinesFlushThreshold));
  f.close();

  BufferedFile g(path_, "wb");
  g.open();
  writelines(g, {piece, piece, piece, piece, "x"});
  EXPECT_EQ(g.tell(), static_cast<long>(kWritelinesFlushThreshold) + 1);
  g.flush();
  g.close();
  EXPECT_EQ(disk_size(), static_cast<long>(kWritelinesFlushThreshold) + 1);
}

TEST_F(BufferedFileTest, ReopenClosesTheEarlierStreamAndKeepsItsBytes) {
  BufferedFile f(path_, "a");
  f.open();
  f.write("one");
  f.open();  // must write out "one" before opening anew
  EXPECT_EQ(f.tell(), 3);
  f.write("two");
  f.close();
  EXPECT_EQ(disk(), "onetwo");
}

TEST_F(BufferedFileTest, DestructorWritesPendingBytes) {
  {
    BufferedFile f(path_, "w");
    f.open();
    f.write("pending");
  }
  EXPECT_EQ(disk(), "pending");
}

TEST_F(BufferedFileTest, NoSpaceKeepsWhatDidNotGoOut) {
  if (kWindows) GTEST_SKIP() << "Windows has no device that is always full";
  BufferedFile f("/dev/full", "w");
  f.open();
  f.write("x");
  expect_error([&] { f.flush(); }, "Flush failed");
  expect_error([&] { f.close(); }, "Failed to flush write buffer");
  EXPECT_TRUE(f.is_open());  // the byte waits for a retry
  EXPECT_EQ(f.tell(), 1);

  BufferedFile h("/dev/full", "wb");
  h.open();
  expect_error([&] { h.write(std::string(kWriteBufferSize, 'x')); }, "Failed to write complete data");
  h.close();  // nothing of it went out, so nothing of it was kept
}

TEST_F(BufferedFileTest, WriteInReadModeFailsAtTheNextFlush) {
  put("abc");
  BufferedFile f(path_, "r");
  f.open();
  EXPECT_EQ(f.write("x"), 1u);
  expect_error([&] { read(f); }, "Failed to flush write buffer");
  expect_error([&] { f.close(); }, "Failed to flush write buffer");
  EXPECT_TRUE(f.is_open());
}

TEST_F(BufferedFileTest, BlockReads) {
  put(std::string(kRead1Default + 100, 'r'));
  BufferedFile f(path_, "rb");
  f.open();
  std::string out;
  StringSink sink(out);
  EXPECT_EQ(f.read1(std::nullopt, sink), kRead1Default);
  EXPECT_EQ(f.read1(std::nullopt, sink), 100u);
  EXPECT_EQ(read(f), "");
  EXPECT_EQ(read(f, 10), "");
  f.seek(10);
  EXPECT_EQ(read(f).size(), kRead1Default + 90);
  f.seek(0);
  EXPECT_EQ(read(f, 0), "");
  EXPECT_EQ(read(f, std::uint64_t{1} << 40).size(), kRead1Default + 100);  // no 1 TiB allocation
  char into[5] = {'.', '.', '.', '.', '.'};
  f.seek(-3, SEEK_END);
  EXPECT_EQ(f.readinto(into, sizeof into), 3u);
  EXPECT_EQ(std::string(into, 5), "rrr..");
}

TEST_F(BufferedFileTest, ReadsSeeBytesAddedAfterEndOfFile) {
  put("ab");
  BufferedFile f(path_, "rb");
  f.open();
  EXPECT_EQ(read(f), "ab");
  std::ofstream(path_, std::ios::app) << "cd";  // another writer appends
  EXPECT_EQ(read(f), "cd");
  EXPECT_EQ(read(f, 5), "");
}

TEST_F(BufferedFileTest, ReadToEndAfterGrowingThroughThisObject) {
  put("0123456789");
  BufferedFile f(path_, "r+b");
  f.open();
  EXPECT_EQ(read(f), "0123456789");  // measures the length: 10
  f.write("abcdef");
  EXPECT_EQ(read(f), "");  // at the new end, past the old length
  f.truncate(20);
  f.seek(16);
  EXPECT_EQ(read(f), std::string(4, '\0'));
}

TEST_F(BufferedFileTest, ReadAfterWriteSeesTheWrittenBytes) {
  BufferedFile f(path_, "w+");
  f.open();
  f.write("abc\n");
  EXPECT_EQ(f.readline(), "");  // at the end: nothing to read, and nothing lost
  f.seek(0);
  EXPECT_EQ(f.readline(), "abc\n");
  f.write("more");  // writing after reading, right after the last line returned
  f.close();
  EXPECT_EQ(disk(), "abc" + kNewline + "more");
}

TEST_F(BufferedFileTest, WriteAfterSmallReadLandsAtThePosition) {
  put("0123456789");
  BufferedFile f(path_, "r+b");
  f.open();
  EXPECT_EQ(read(f, 2), "01");  // the read-ahead holds the whole file
  f.write("ab");
  f.flush();
  EXPECT_EQ(read(f, 2), "45");
  f.close();
  EXPECT_EQ(disk(), "01ab456789");
}

TEST_F(BufferedFileTest, TextModePositionsCountBytesOnDisk) {
  BufferedFile f(path_, "w+");
  f.open();
  f.write("hello\nworld\n");
  const auto length = static_cast<std::int64_t>(10 + 2 * kNewline.size());
  EXPECT_EQ(f.tell(), length);  // pending newlines counted as they will land
  f.flush();
  EXPECT_EQ(disk(), "hello" + kNewline + "world" + kNewline);
  EXPECT_EQ(f.tell(), length);
  f.seek(0);
  EXPECT_EQ(read(f, 3), "hel");
  EXPECT_EQ(f.readline(), "lo\n");
  f.seek(static_cast<std::int64_t>(5 + kNewline.size()));  // the second line, in bytes on disk
  EXPECT_EQ(read(f), "world\n");
  EXPECT_EQ(f.tell(), length);
  f.seek(0);
  f.write("J");
  f.close();
  EXPECT_EQ(disk(), "Jello" + kNewline + "world" + kNewline);

  // A "\r\n" that straddles the first fetch: the position is still where the line ended.
  const std::string first = std::string(kReadAhead - 3, 'a') + "\r\n";
  for (const char* mode : {"r+", "r+b"}) {
    put(first + "\r\nb\r\n");
    BufferedFile g(path_, mode);
    g.open();
    g.readline();
    EXPECT_EQ(g.tell(), static_cast<std::int64_t>(first.size())) << mode;
    g.write("X");
    g.truncate();
    g.close();
    EXPECT_EQ(disk().substr(kReadAhead - 4), "a\r\nX") << mode;  // the end alone: readable when it fails
  }
}

TEST_F(BufferedFileTest, NamesBeyondAscii) {
  // UTF-8 on every platform: the file is the one that the same Unicode name gives.
  for (const char* name : {"caf\xc3\xa9 d\xc3\xa9j\xc3\xa0", "\xe6\x97\xa5\xe6\x9c\xac", "\xf0\x9f\x99\x82"}) {
    const std::string path = dir_ + "/" + name;
    BufferedFile f(path, "w");
    f.open();
    f.write("x");
    f.close();
    EXPECT_TRUE(fs::exists(fs::u8path(path))) << name;
    BufferedFile g(path, "r");
    g.open();
    EXPECT_EQ(read(g), "x");
  }
}

TEST_F(BufferedFileTest, ReadlineAcrossRefillsAndLimits) {
  const std::string longline(kLineChunk * 2 + 7, 'L');
  put("a\nbb\n" + longline + "\nhello\nccc");
  BufferedFile f(path_, "r+b");
  f.open();
  EXPECT_EQ(f.readline(), "a\n");
  EXPECT_EQ(f.readline(0), "");
  EXPECT_EQ(f.readline(1), "b");
  EXPECT_EQ(f.readline(), "b\n");
  EXPECT_EQ(f.readline(kLineChunk), std::string(kLineChunk, 'L'));  // the limit holds across a refill
  EXPECT_EQ(f.readline(), std::string(kLineChunk + 7, 'L') + "\n");
  EXPECT_EQ(f.readline(2), "he");
  EXPECT_EQ(f.readline(), "llo\n");
  EXPECT_EQ(f.readline(), "ccc");
  EXPECT_EQ(f.readline(), "");
  EXPECT_EQ(f.readline(), "");
  f.seek(0);
  EXPECT_EQ(f.readline(), "a\n");
  // Everything else goes on after the last line returned, not after what was fetched.
  EXPECT_EQ(f.tell(), 2);
  EXPECT_EQ(read(f, 3), "bb\n");
  EXPECT_EQ(f.readline(), longline + "\n");
  f.write("he");
  EXPECT_EQ(f.readline(), "llo\n");
}

TEST_F(BufferedFileTest, ReadlinesSplitsTheRest) {
  put("x\ny\n\nz");
  BufferedFile f(path_, "r");
  f.open();
  std::vector<std::string> lines;
  f.readlines([&](std::string_view line) { lines.emplace_back(line); });
  EXPECT_EQ(lines, (std::vector<std::string>{"x\n", "y\n", "\n", "z"}));
  lines.clear();
  f.readlines([&](std::string_view line) { lines.emplace_back(line); });
  EXPECT_TRUE(lines.empty());
}

TEST_F(BufferedFileTest, SeekTellTruncate) {
  BufferedFile f(path_, "w");
  f.open();
  f.write("abc");
  EXPECT_EQ(f.tell(), 3);  // pending bytes count
  EXPECT_EQ(f.seek(0, SEEK_END), 3);
  expect_error([&] { f.seek(-1); }, "Seek failed");
  expect_error([&] { f.seek(0, 3); }, "Seek failed");
  EXPECT_FALSE(f.isatty());
  f.close();

  put("0123456789");
  BufferedFile g(path_, "r+");
  g.open();
  g.seek(4);
  g.truncate(100);
  EXPECT_EQ(disk_size(), 100);
  EXPECT_EQ(g.tell(), 4);
  g.truncate();
  EXPECT_EQ(disk(), "0123");
  g.truncate(0);
  EXPECT_EQ(disk_size(), 0);
  expect_error([&] { g.truncate(std::uint64_t{1} << 63); }, "Truncate failed");
  g.close();

  BufferedFile r(path_, "r");
  r.open();
  expect_error([&] { r.truncate(0); }, "Truncate failed");
}

TEST_F(BufferedFileTest, PositionsPastFourGiB) {
  constexpr std::int64_t kFar = std::int64_t{5} << 30;  // the file stays sparse
  BufferedFile f(path_, "w+b");
  f.open();
  EXPECT_EQ(f.seek(kFar), kFar);
  f.write("tail");
  EXPECT_EQ(f.tell(), kFar + 4);
  f.flush();
  EXPECT_EQ(disk_size(), kFar + 4);
  EXPECT_EQ(f.seek(-6, SEEK_END), kFar - 2);
  EXPECT_EQ(read(f), std::string(2, '\0') + "tail");
  EXPECT_EQ(f.tell(), kFar + 4);
  f.truncate(kFar + 1);
  EXPECT_EQ(f.seek(0, SEEK_END), kFar + 1);
  f.seek(kFar);
  EXPECT_EQ(read(f), "t");
  f.close();
  EXPECT_EQ(disk_size(), kFar + 1);
}

TEST_F(BufferedFileTest, NullDeviceIsReadThroughTheDescriptor) {
  BufferedFile f(kWindows ? "NUL" : "/dev/null", "w+b");
  f.open();
  EXPECT_EQ(f.isatty(), kWindows);  // the Windows runtime counts any character device
  f.write("gone");
  f.flush();
  EXPECT_EQ(read(f), "");
  f.close();
}

TEST_F(BufferedFileTest, TruncateDropsNoStaleBufferedBytes) {
  BufferedFile f(path_, "w");
  f.open();
  f.write("0123456789");
  f.truncate(4);  // the ten bytes must reach the file before it is cut
  f.close();
  EXPECT_EQ(disk(), "0123");

  BufferedFile g(path_, "r+");
  g.open();
  EXPECT_EQ(read(g, 2), "01");  // the read-ahead holds "23"
  g.truncate(3);
  EXPECT_EQ(read(g, 5), "2");
}

}  // namespace
}  // namespace veltrani

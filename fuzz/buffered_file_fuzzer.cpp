// BufferedFile driven by fuzzer-chosen operation sequences, checked step by step against a
// small model of the file's bytes, position and pending writes, and against
// the bytes on disk after every close.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "file/buffered_file.hpp"

using namespace veltrani;

namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

struct Model {
  bool can_read, can_write, append, truncates, starts_at_end;
  bool is_open = false;
  std::string data, pending;
  std::uint64_t pos = 0;

  Model(const std::string& mode, std::string content) : data(std::move(content)) {
    const ModeInfo info = parse_mode(mode);
    const bool update = mode.find('+') != std::string::npos;
    can_read = info.kind == OpenMode::Read || update;
    can_write = info.kind != OpenMode::Read;
    append = info.kind == OpenMode::Append || info.kind == OpenMode::AppendUpdate;
    truncates = info.kind == OpenMode::Write || info.kind == OpenMode::WriteUpdate;
    starts_at_end = info.kind == OpenMode::Append;
  }

  void require_open() const {
    if (!is_open) fail("File not open");
  }
  void put(const std::string& piece) {
    if (append) {
      data += piece;
      pos = data.size();
      return;
    }
    if (pos > data.size()) data.resize(pos, '\0');
    data.replace(pos, std::min<std::uint64_t>(piece.size(), data.size() - pos), piece);
    pos += piece.size();
  }
  void flush_pending() {
    if (pending.empty()) return;
    if (!can_write) fail("Failed to flush write buffer");
    put(pending);
    pending.clear();
  }
  void store(const std::string& piece) {
    if (piece.size() <= kDirectWriteThreshold) {
      if (pending.size() + piece.size() > kWriteBufferSize) flush_pending();
      pending += piece;
      return;
    }
    flush_pending();
    if (!can_write) fail("Failed to write complete data");
    put(piece);
  }
  std::string take(std::uint64_t n) {
    if (!can_read || pos >= data.size()) return {};
    std::string out = data.substr(pos, static_cast<std::size_t>(std::min<std::uint64_t>(n, data.size() - pos)));
    pos += out.size();
    return out;
  }
  void begin_read() {
    require_open();
    flush_pending();
  }

  void open() {
    close();
    if (truncates) data.clear();
    pos = starts_at_end ? data.size() : 0;
    pending.clear();
    is_open = true;
  }
  void close() {
    if (!is_open) return;
    flush_pending();
    is_open = false;
  }
  std::size_t write(const std::string& piece) {
    require_open();
    if (!piece.empty()) store(piece);
    return piece.size();
  }
  void writelines(const std::vector<std::string>& lines) {
    require_open();
    std::size_t total = 0;
    for (const auto& line : lines) total += line.size();
    for (const auto& line : lines) if (!line.empty()) store(line);
    if (total > kWritelinesFlushThreshold) flush_pending();
  }
  void flush() {
    require_open();
    flush_pending();
  }
  std::string read(std::optional<std::uint64_t> size) {
    begin_read();
    return take(size.value_or(data.size()));
  }
  std::string readline(std::optional<std::uint64_t> size) {
    begin_read();
    if (!can_read || pos >= data.size()) return {};
    const auto nl = data.find('\n', pos);
    const std::uint64_t end = nl == std::string::npos ? data.size() : nl + 1;
    return take(std::min<std::uint64_t>(end - pos, size.value_or(UINT64_MAX)));
  }
  std::vector<std::string> readlines() {
    begin_read();
    const std::string rest = take(data.size());
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < rest.size();) {
      const auto nl = rest.find('\n', at);
      const std::size_t end = nl == std::string::npos ? rest.size() : nl + 1;
      lines.push_back(rest.substr(at, end - at));
      at = end;
    }
    return lines;
  }
  long seek(long offset, int whence) {
    require_open();
    flush_pending();
    if (whence < 0 || whence > 2) fail("Seek failed");
    const long base = whence == 0 ? 0 : whence == 1 ? static_cast<long>(pos) : static_cast<long>(data.size());
    if (base + offset < 0) fail("Seek failed");
    pos = static_cast<std::uint64_t>(base + offset);
    return static_cast<long>(pos);
  }
  long tell() const {
    require_open();
    // Appended bytes land at the end.
    return static_cast<long>((append && !pending.empty() ? data.size() : pos) + pending.size());
  }
  void truncate(std::optional<std::uint64_t> size) {
    require_open();
    flush_pending();
    const std::uint64_t length = size.value_or(pos);
    if (!can_write) fail("Truncate failed");
    data.resize(static_cast<std::size_t>(length), '\0');
  }
};

// What an operation gave: its value printed, or its error message.
std::string outcome(const std::function<std::string()>& op) {
  try {
    return "ok:" + op();
  } catch (const std::runtime_error& e) {
    return std::string("error:") + e.what();
  }
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += std::to_string(line.size()) + ":" + line;
  return out;
}

std::string read_all(BufferedFile& f, std::optional<std::uint64_t> size, bool one) {
  std::string out;
  StringSink sink(out);
  one ? f.read1(size, sink) : f.read(size, sink);
  return out;
}

std::string disk(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

const char* const kModes[] = {"r", "rb", "w", "wb", "a", "ab", "r+", "r+b", "w+", "w+b", "a+", "a+b"};

std::string piece(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange(0, 15) == 0) {  // now and then, at a buffer limit
    const std::size_t sizes[] = {kDirectWriteThreshold - 1, kDirectWriteThreshold,
                                 kDirectWriteThreshold + 1, kWriteBufferSize,
                                 kWriteBufferSize + 1};
    std::string big(sizes[in.ConsumeIntegralInRange(0, 4)], 'x');
    for (std::size_t i = 63; i < big.size(); i += 64) big[i] = '\n';
    return big;
  }
  return in.ConsumeRandomLengthString(24);
}

std::optional<std::uint64_t> size(FuzzedDataProvider& in) {
  const std::uint64_t sizes[] = {0, 1, 2, 5, 10, 100, kLineChunk, std::uint64_t{1} << 40};
  const int pick = in.ConsumeIntegralInRange(0, 8);
  if (pick == 8) return std::nullopt;
  return sizes[pick];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size_in) {
  static const std::string path = [] {
    char dir[] = "/tmp/bffuzz.XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    return std::string(dir) + "/f";
  }();
  FuzzedDataProvider in(data, size_in);
  const std::string mode = kModes[in.ConsumeIntegralInRange(0, 11)];
  const std::string initial = in.ConsumeRandomLengthString(64);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << initial;

  Model model(mode, initial);
  std::optional<BufferedFile> file(std::in_place, path, mode);
  for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
    BufferedFile& f = *file;
    std::string got, want;
    switch (in.ConsumeIntegralInRange(0, 14)) {
      case 0: {
        const std::string p = piece(in);
        got = outcome([&] { return std::to_string(f.write(p)); });
        want = outcome([&] { return std::to_string(model.write(p)); });
        break;
      }
      case 1: {
        std::vector<std::string> lines(in.ConsumeIntegralInRange(0, 4));
        for (auto& line : lines) line = piece(in);
        got = outcome([&] {
          f.writelines([&](auto&& store) {
            for (const auto& line : lines) store(line);
          });
          return std::string();
        });
        want = outcome([&] { model.writelines(lines); return std::string(); });
        break;
      }
      case 2:
        got = outcome([&] { f.flush(); return std::string(); });
        want = outcome([&] { model.flush(); return std::string(); });
        break;
      case 3:
      case 4: {
        const auto n = size(in);
        const bool one = in.ConsumeBool();
        got = outcome([&] { return read_all(f, n, one); });
        want = outcome([&] { return model.read(one ? n.value_or(kRead1Default) : n); });
        break;
      }
      case 5: {
        std::string buf(in.ConsumeIntegralInRange(0, 300), '.');
        got = outcome([&] { const auto n = f.readinto(buf.data(), buf.size()); return buf.substr(0, n); });
        want = outcome([&] { return model.read(buf.size()); });
        break;
      }
      case 6:
      case 7: {
        const auto n = size(in);
        got = outcome([&] { return std::string(f.readline(n)); });
        want = outcome([&] { return model.readline(n); });
        break;
      }
      case 8:
        got = outcome([&] {
          std::vector<std::string> lines;
          f.readlines([&](std::string_view line) { lines.emplace_back(line); });
          return joined(lines);
        });
        want = outcome([&] { return joined(model.readlines()); });
        break;
      case 9: {
        const long offset = in.ConsumeIntegralInRange<long>(-3, 300);
        const int whence = in.ConsumeIntegralInRange(0, 3);
        got = outcome([&] { return std::to_string(f.seek(offset, whence)); });
        want = outcome([&] { return std::to_string(model.seek(offset, whence)); });
        break;
      }
      case 10:
        got = outcome([&] { return std::to_string(f.tell()); });
        want = outcome([&] { return std::to_string(model.tell()); });
        break;
      case 11: {
        const auto n = in.ConsumeBool() ? std::optional<std::uint64_t>() : in.ConsumeIntegralInRange<std::uint64_t>(0, 300);
        got = outcome([&] { f.truncate(n); return std::string(); });
        want = outcome([&] { model.truncate(n); return std::string(); });
        break;
      }
      case 12:
        got = outcome([&] { f.open(); return std::string(); });
        want = outcome([&] { model.open(); return std::string(); });
        break;
      case 13:
      case 14:
        if (in.ConsumeBool()) {  // the destructor instead of close()
          file.emplace(path, mode);
          try {
            model.close();
          } catch (const std::runtime_error&) {
            model.pending.clear();
            model.is_open = false;
          }
        } else {
          got = outcome([&] { f.close(); return std::string(); });
          want = outcome([&] { model.close(); return std::string(); });
        }
        if (!model.is_open && disk(path) != model.data) std::abort();
        break;
    }
    if (got != want) {
      std::fprintf(stderr, "mode %s step %d: file gave [%.200s], model [%.200s]\n", mode.c_str(), step,
                   got.c_str(), want.c_str());
      std::abort();
    }
  }
  return 0;
}

// parse_mode and stdio_mode against a reference written the other way round: count the letters.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "file/mode.hpp"

using veltrani::ModeInfo;
using veltrani::OpenMode;

namespace {

std::optional<ModeInfo> reference(const std::string& mode) {
  int r = 0, w = 0, a = 0;
  bool plus = false, binary = false;
  for (char c : mode) {
    switch (c) {
      case 'r': ++r; break;
      case 'w': ++w; break;
      case 'a': ++a; break;
      case '+': plus = true; break;
      case 'b': binary = true; break;
      default: return std::nullopt;
    }
  }
  if (r + w + a != 1) return std::nullopt;
  const OpenMode kind = r ? (plus ? OpenMode::ReadUpdate : OpenMode::Read)
                      : w ? (plus ? OpenMode::WriteUpdate : OpenMode::Write)
                          : (plus ? OpenMode::AppendUpdate : OpenMode::Append);
  return ModeInfo{kind, binary};
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string mode(reinterpret_cast<const char*>(data), size);
  const auto want = reference(mode);
  try {
    const ModeInfo got = veltrani::parse_mode(mode);
    check(want && got.kind == want->kind && got.binary == want->binary);
    const std::string stdio = veltrani::stdio_mode(got);
    const bool update = got.kind == OpenMode::ReadUpdate || got.kind == OpenMode::WriteUpdate ||
                        got.kind == OpenMode::AppendUpdate;
    check((stdio.find('b') != std::string::npos) == got.binary);
    check((stdio.find('+') != std::string::npos) == update);
    check(mode.find(stdio[0]) != std::string::npos);
  } catch (const std::invalid_argument& e) {
    // The message is read as a C string, as every caller reads it: up to a NUL.
    check(!want && std::string(e.what()) == ("Invalid file mode: " + mode).c_str());
  }
  return 0;
}

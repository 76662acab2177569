#pragma once

#include <cstdint>
#include <string>

namespace veltrani {

enum class OpenMode : std::int32_t {
  Read = 0,
  Write = 1,
  Append = 2,
  ReadUpdate = 3,
  WriteUpdate = 4,
  AppendUpdate = 5,
};

struct ModeInfo {
  OpenMode kind;
  bool binary;
};

// Accepts any arrangement of 'b' and '+' around exactly one of r, w, a.
// Throws std::invalid_argument("Invalid file mode: " + mode) otherwise.
ModeInfo parse_mode(const std::string& mode);

// The stdio mode the stream is opened with; never the caller's own string.
const char* stdio_mode(ModeInfo info);

}  // namespace veltrani

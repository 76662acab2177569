#include "file/mode.hpp"

#include <stdexcept>

namespace veltrani {

ModeInfo parse_mode(const std::string& mode) {
  std::string letters;
  for (char c : mode) {
    if (c != 'b' && c != '+') letters += c;
  }
  const bool binary = mode.find('b') != std::string::npos;
  const bool update = mode.find('+') != std::string::npos;
  if (letters == "r") return {update ? OpenMode::ReadUpdate : OpenMode::Read, binary};
  if (letters == "w") return {update ? OpenMode::WriteUpdate : OpenMode::Write, binary};
  if (letters == "a") return {update ? OpenMode::AppendUpdate : OpenMode::Append, binary};
  throw std::invalid_argument("Invalid file mode: " + mode);
}

const char* stdio_mode(ModeInfo info) {
  static const char* const kText[] = {"r", "w", "a", "r+", "w+", "a+"};
  static const char* const kBinary[] = {"rb", "wb", "ab", "r+b", "w+b", "a+b"};
  const auto index = static_cast<std::int32_t>(info.kind);
  return info.binary ? kBinary[index] : kText[index];
}

}  // namespace veltrani

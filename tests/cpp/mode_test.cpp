#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "file/mode.hpp"

using veltrani::ModeInfo;
using veltrani::OpenMode;
using veltrani::parse_mode;
using veltrani::stdio_mode;

TEST(ParseMode, AcceptsLettersWithBAndPlusAnywhere) {
  struct Case {
    const char* mode;
    OpenMode kind;
    bool binary;
  };
  const Case cases[] = {
      {"r", OpenMode::Read, false},         {"rb", OpenMode::Read, true},
      {"br", OpenMode::Read, true},         {"bbr", OpenMode::Read, true},
      {"rbb", OpenMode::Read, true},        {"r+", OpenMode::ReadUpdate, false},
      {"+r", OpenMode::ReadUpdate, false},  {"rb+", OpenMode::ReadUpdate, true},
      {"r+b", OpenMode::ReadUpdate, true},  {"+rb", OpenMode::ReadUpdate, true},
      {"r++", OpenMode::ReadUpdate, false}, {"w", OpenMode::Write, false},
      {"wb", OpenMode::Write, true},        {"w+", OpenMode::WriteUpdate, false},
      {"a", OpenMode::Append, false},       {"ab+", OpenMode::AppendUpdate, true},
      {"a+", OpenMode::AppendUpdate, false},
  };
  for (const auto& c : cases) {
    const ModeInfo info = parse_mode(c.mode);
    EXPECT_EQ(info.kind, c.kind) << c.mode;
    EXPECT_EQ(info.binary, c.binary) << c.mode;
  }
}

TEST(ParseMode, RefusesAnythingButOneOfRWA) {
  for (const std::string mode : {"", "+", "b", "+b", "rw", "wa", "rt", "x", "wx", "U"}) {
    try {
      parse_mode(mode);
      ADD_FAILURE() << "accepted " << mode;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid file mode: " + mode);
    }
  }
}

TEST(StdioMode, MapsEveryKindToItsCanonicalString) {
  EXPECT_STREQ(stdio_mode(parse_mode("ab+")), "a+b");
  EXPECT_STREQ(stdio_mode(parse_mode("w")), "w");
  EXPECT_STREQ(stdio_mode(parse_mode("wb")), "wb");
  EXPECT_STREQ(stdio_mode(parse_mode("+r")), "r+");
  EXPECT_STREQ(stdio_mode(parse_mode("bw+")), "w+b");
  EXPECT_STREQ(stdio_mode(parse_mode("rb")), "rb");
  EXPECT_STREQ(stdio_mode(parse_mode("a")), "a");
}

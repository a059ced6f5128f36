// Header layouts: levels 0 to 3 as other archivers write them, read back field by field.
#include <gtest/gtest.h>

#include "archive/core/qrvStreams.h"
#include "archive/lzh/qrvLhaPack.h"
#include "lzh/lzh_test_util.h"
#include "platform/DosTime.h"

namespace {

using namespace lzhtest;

struct Case {
  const char* Label;
  std::string Bytes;
  TLhaRead Result;
  std::string Name = "";
  bool Nul = false;
  int64_t Size = -1;  // when the 64-bit size is read
  uint32_t Mode = 0;
  bool Dir = false;
  uint16_t Crc = 0x1234;
};

// A level-2 header as OS-9/68k tools write it: the size two short.
std::string Os9k(std::string H) {
  H[0] = char(uint8_t(H[0]) - 2);
  return H;
}

}  // namespace

TEST(LhaHeaders, LayoutsReadBack) {
  const std::string sjis =
      "\x95\x5C\x5C"
      "a.txt";  // 表\a.txt: 0x5C is also the trail byte of 表
  const Case cases[] = {
      {"level 0, backslash separators", Level0("dir\\f.txt", "data"), lrEntry, "dir/f.txt"},
      {"level 0, CP932 name", Level0(sjis, "x"), lrEntry, "表/a.txt"},
      {"level 0, wrong checksum", Level0("f", "x", "-lh0-", 1), lrBad},
      {"size byte 0 ends the walk", std::string(30, '\0'), lrEnd},
      {"nothing left", "", lrEnd},
      {"header cut short", Level0("f.txt", "").substr(0, 10), lrBad},
      {"level 1, folder in an extended header",
       Level1("f.txt",
              {{0x02,
                "a\xFF"
                "b"}},
              "data"),
       lrEntry, "a/b/f.txt"},
      {"level 1, extended header of size 2", Level1("f", {{0x7F, "x"}}, "", 2), lrBad},
      {"level 2, name and folder",
       Level2({{0x01, "f.txt"},
               {0x02,
                "a\xFF"
                "b\xFF"}},
              "d"),
       lrEntry, "a/b/f.txt"},
      {"level 2, UTF-16 names win",
       Level2({{0x01, "?.txt"}, {0x44, Utf16(u"表.txt")}, {0x45, Utf16(u"日本") + "\xFF\xFF" + Utf16(u"語")}}, ""),
       lrEntry, "日本/語/表.txt"},
      {"level 2, extended header past the header", Level2({{0x01, "f"}}, "", 'U', 0, 40), lrBad},
      {"level 4 is not read", Level0("f", "").replace(20, 1, "\x04"), lrBad},
      {"level 0, Amiga comment after a NUL", Level0(std::string("a\0b", 3), ""), lrEntry, "a"},
      {"level 0, 0xFF separators",
       Level0("a\xFF"
              "f.txt",
              "x"),
       lrEntry, "a/f.txt"},
      {"level 0, folder stored as an empty file", Level0("a\\d\\", ""), lrEntry, "a/d", false, -1, 0, true},
      {"level 0 without the CRC field", Level0("f", "x", "-lh0-", 0, "-"), lrEntry, "f", false, -1, 0, false, 0},
      {"level 0, Unix area", Level0("f", "x", "-lh0-", 0, std::string("U\0", 2) + Le32(1) + Le16(0100750) + Le32(0)),
       lrEntry, "f", false, -1, 0750},
      {"level 1, 64-bit sizes", Level1("f", {{0x42, Le64(4 + 19) + Le64(5ull << 32)}}, "data"), lrEntry, "f", false,
       5ll << 32},
      {"level 2, Unix mode", Level2({{0x01, "f"}, {0x50, Le16(0100640)}, {0x54, Le32(1)}}, "x"), lrEntry, "f", false,
       -1, 0640},
      {"level 2 of OS-9/68k", Os9k(Level2({{0x01, "f"}}, "x", 'K')), lrEntry, "f"},
      {"level 3, name and folder", Level3({{0x01, "f.txt"}, {0x02, "a\xFF"}}, "d"), lrEntry, "a/f.txt"},
      {"level 3, word size 2", Level3({{0x01, "f"}}, "", 2), lrBad},
      {"level 3, extended header past the header", Level3({{0x01, "f"}}, "").replace(28, 1, "\x30"), lrBad},
      {"NUL in a level-2 name", Level2({{0x01, std::string("a\0b", 3)}}, ""), lrEntry, "", true},
      {"NUL in a UTF-16 name", Level2({{0x01, "ab"}, {0x44, Utf16(u"a") + std::string(2, '\0') + Utf16(u"b")}}, ""),
       lrEntry, "", true},
      {"NUL in a folder name", Level1("f", {{0x02, std::string("a\0", 2)}}, ""), lrEntry, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    TMemoryStream32 s;
    if (!c.Bytes.empty()) s.Write(c.Bytes.data(), int32_t(c.Bytes.size()));
    TLhaHeader h;
    ASSERT_EQ(LhaReadHeader(s, 0, s.Size(), true, h), c.Result);
    if (c.Result != lrEntry) continue;
    EXPECT_EQ(h.NameHasNul, c.Nul);
    if (!c.Nul) {
      EXPECT_EQ(h.Name, c.Name);
    }
    EXPECT_EQ(h.Crc, c.Crc);
    EXPECT_EQ(h.HasCrc, c.Crc != 0);
    EXPECT_EQ(h.IsDir(), c.Dir);
    EXPECT_EQ(h.UnixMode, c.Mode);
    if (c.Size >= 0) {
      EXPECT_EQ(h.Size, c.Size);
    }
    EXPECT_EQ(h.NextOffset, s.Size());
    EXPECT_EQ(h.NextOffset - h.DataOffset, h.PackedSize);
  }
}

TEST(LhaHeaders, LevelTwoTimesAreUnixSecondsForEverySystem) {
  for (char os : {'M', 'U', 'J', 'w'}) {
    TMemoryStream32 s;
    const std::string b = Level2({{0x01, "f"}}, "", os, 1700000000);
    s.Write(b.data(), int32_t(b.size()));
    TLhaHeader h;
    ASSERT_EQ(LhaReadHeader(s, 0, s.Size(), true, h), lrEntry);
    EXPECT_EQ(h.DosDateTime, UnixToDosDateTime(1700000000)) << os;
  }
}

TEST(LhaHeaders, WrittenLevelZeroHeader) {
  const auto h = LhaBuildHeader0("-lh5-", 7, 9, 0x5A210000, 0x20, "dir\\f.txt", 0xBEEF);
  ASSERT_EQ(h.size(), 9u + 24u);
  EXPECT_EQ(h[0], 9 + 22);
  EXPECT_EQ(h[1], LhaHeaderSum(h.data(), h.size()));
  TMemoryStream32 s;
  s.Write(h.data(), int32_t(h.size()));
  s.Write("1234567", 7);
  TLhaHeader r;
  ASSERT_EQ(LhaReadHeader(s, 0, s.Size(), true, r), lrEntry);
  EXPECT_EQ(r.Name, "dir/f.txt");
  EXPECT_EQ(r.MethodKey(), LhaKey('l', 'h', '5'));
  EXPECT_EQ(r.Size, 9);
  EXPECT_EQ(r.PackedSize, 7);
  EXPECT_EQ(r.Crc, 0xBEEF);
  EXPECT_EQ(r.DosDateTime, 0x5A210000u);
}

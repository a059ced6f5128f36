// Header layouts: levels 0, 1 and 2 as other archivers write them, read back field by field.
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
};

}  // namespace

TEST(LhaHeaders, LayoutsReadBack) {
  const std::string sjis = "\x95\x5C\x5C" "a.txt";  // 表\a.txt: 0x5C is also the trail byte of 表
  const Case cases[] = {
      {"level 0, backslash separators", Level0("dir\\f.txt", "data"), lrEntry, "dir/f.txt"},
      {"level 0, CP932 name", Level0(sjis, "x"), lrEntry, "表/a.txt"},
      {"level 0, wrong checksum", Level0("f", "x", "-lh0-", 1), lrBad},
      {"size byte 0 ends the walk", std::string(30, '\0'), lrEnd},
      {"nothing left", "", lrEnd},
      {"header cut short", Level0("f.txt", "").substr(0, 10), lrBad},
      {"level 1, folder in an extended header", Level1("f.txt", {{0x02, "a\xFF" "b"}}, "data"), lrEntry, "a/b/f.txt"},
      {"level 1, extended header of size 2", Level1("f", {{0x7F, "x"}}, "", 2), lrBad},
      {"level 2, name and folder", Level2({{0x01, "f.txt"}, {0x02, "a\xFF" "b\xFF"}}, "d"), lrEntry, "a/b/f.txt"},
      {"level 2, UTF-16 names win", Level2({{0x01, "?.txt"}, {0x44, Utf16(u"表.txt")}, {0x45, Utf16(u"日本") + "\xFF\xFF" + Utf16(u"語")}}, ""),
       lrEntry, "日本/語/表.txt"},
      {"level 2, extended header past the header", Level2({{0x01, "f"}}, "", 'U', 0, 40), lrBad},
      {"level 3 is not read", Level0("f", "").replace(20, 1, "\x03"), lrBad},
      {"NUL in a level-0 name", Level0(std::string("a\0b", 3), ""), lrEntry, "a", true},
      {"NUL in a level-2 name", Level2({{0x01, std::string("a\0b", 3)}}, ""), lrEntry, "", true},
      {"NUL in a UTF-16 name", Level2({{0x01, "ab"}, {0x44, Utf16(u"a") + std::string(2, '\0') + Utf16(u"b")}}, ""), lrEntry, "", true},
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
    EXPECT_EQ(h.Crc, 0x1234);
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

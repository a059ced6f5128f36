// Header layouts: levels 0, 1 and 2 as other archivers write them, read back field by field.
#include <gtest/gtest.h>

#include "archive/core/qrvStreams.h"
#include "archive/lzh/qrvLhaPack.h"
#include "platform/DosTime.h"

namespace {

std::string Le16(unsigned V) { return {char(V & 0xFF), char(V >> 8 & 0xFF)}; }
std::string Le32(uint32_t V) { return Le16(V & 0xFFFF) + Le16(V >> 16); }

struct Ext {
  uint8_t Type;
  std::string Data;
};

// The chain of extended headers: each is type, data, size of the next. First gets the size of
// the first one.
std::string Chain(const std::vector<Ext>& E, unsigned& First) {
  std::string out;
  First = E.empty() ? 0 : unsigned(E[0].Data.size() + 3);
  for (size_t i = 0; i < E.size(); ++i) {
    const unsigned next = i + 1 < E.size() ? unsigned(E[i + 1].Data.size() + 3) : 0;
    out += char(E[i].Type) + E[i].Data + Le16(next);
  }
  return out;
}

std::string Fixed(const char* Id, uint32_t Packed, uint32_t Size, uint32_t Time, uint8_t Attr, uint8_t Level) {
  return std::string(Id, 5) + Le32(Packed) + Le32(Size) + Le32(Time) + char(Attr) + char(Level);
}

std::string Level0(const std::string& Name, const std::string& Data, const char* Id = "-lh0-", int SumDelta = 0) {
  std::string body = Fixed(Id, uint32_t(Data.size()), uint32_t(Data.size()), 0x5A210000, 0x20, 0) +
                     char(Name.size()) + Name + Le16(0x1234);
  uint8_t sum = 0;
  for (char c : body) sum = uint8_t(sum + uint8_t(c));
  return std::string(1, char(body.size())) + char(sum + SumDelta) + body + Data;
}

// First: the stated size of the first extended header when not the real one.
std::string Level1(const std::string& Name, const std::vector<Ext>& E, const std::string& Data, int First = -1) {
  unsigned first = 0;
  const std::string exts = Chain(E, first);
  if (First >= 0) first = unsigned(First);
  std::string body = Fixed("-lh0-", uint32_t(exts.size() + Data.size()), uint32_t(Data.size()), 0x5A210000, 0x20, 1) +
                     char(Name.size()) + Name + Le16(0x1234) + 'U' + Le16(first);
  uint8_t sum = 0;
  for (char c : body) sum = uint8_t(sum + uint8_t(c));
  return std::string(1, char(body.size())) + char(sum) + body + exts + Data;
}

std::string Level2(const std::vector<Ext>& E, const std::string& Data, char Os = 'U', uint32_t Time = 1700000000,
                   int First = -1) {
  unsigned first = 0;
  const std::string exts = Chain(E, first);
  if (First >= 0) first = unsigned(First);
  const std::string rest = Fixed("-lh0-", uint32_t(Data.size()), uint32_t(Data.size()), Time, 0x20, 2) +
                           Le16(0x1234) + Os + Le16(first) + exts;
  return Le16(unsigned(rest.size() + 2)) + rest + Data;
}

std::string Utf16(const std::u16string& S) {
  std::string out;
  for (char16_t c : S) out += Le16(c);
  return out;
}

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

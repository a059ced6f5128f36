#include <gtest/gtest.h>
#include <iconv.h>

#include "platform/CodePage.h"

namespace {

struct TRoundTrip {
  const char* Utf8;
  const char* Cp932;
};

// Names CP932 holds, with their CP932 bytes.
const TRoundTrip RoundTrips[] = {
    {"readme.txt", "readme.txt"},
    {"日本語.txt", "\x93\xfa\x96\x7b\x8c\xea.txt"},
    {"ｱｲｳ", "\xb1\xb2\xb3"},       // half-width katakana: single bytes
    {"表示", "\x95\x5c\x8e\xa6"},  // trail byte 0x5C, the backslash code
    {"①Ⅱ", "\x87\x40\x87\x55"},    // NEC special characters
    {"纊", "\xfa\x5c"},            // IBM extension (written in preference to 0xED40)
    {"～", "\x81\x60"},            // full-width tilde, CP932's reading of 0x8160
    {"ソ\\ファイル", "\x83\x5c\\\x83\x74\x83\x40\x83\x43\x83\x8b"},
};

TEST(CodePage, RoundTripsThroughCp932) {
  for (const auto& R : RoundTrips) {
    SCOPED_TRACE(R.Utf8);
    auto Oem = Utf8ToCp932(R.Utf8);
    ASSERT_TRUE(Oem.has_value());
    EXPECT_EQ(*Oem, R.Cp932);
    auto Back = Cp932ToUtf8(*Oem);
    ASSERT_TRUE(Back.has_value());
    EXPECT_EQ(*Back, R.Utf8);
    bool IsUtf8 = true;
    EXPECT_EQ(Utf8ToOem(R.Utf8, &IsUtf8), R.Cp932);
    EXPECT_FALSE(IsUtf8);
    EXPECT_EQ(OemToUtf8(R.Cp932), R.Utf8);
  }
}

TEST(CodePage, NamesCp932CannotHoldStayUtf8) {
  // é and the emoji are missing from CP932; U+301C would come back as U+FF5E and could merge
  // with a name that really has U+FF5E; invalid UTF-8 has no meaning to convert.
  for (const char* Name : {"café.txt", "😀.png", "a〜b", "bad\xff.txt"}) {
    SCOPED_TRACE(Name);
    EXPECT_FALSE(Utf8ToCp932(Name).has_value());
    bool IsUtf8 = false;
    EXPECT_EQ(Utf8ToOem(Name, &IsUtf8), Name);
    EXPECT_TRUE(IsUtf8);
  }
}

TEST(CodePage, StoredNamesFallBackFromUtf8ToCp932ToCp437) {
  // UTF-8 as Linux tools store it.
  EXPECT_EQ(OemToUtf8("café.txt"), "café.txt");
  // CP932 bytes that are not valid UTF-8.
  EXPECT_EQ(OemToUtf8("\x83\x65\x83\x58\x83\x67"), "テスト");
  // Neither UTF-8 nor CP932 (a lone lead byte, an unassigned row): CP437.
  EXPECT_EQ(OemToUtf8("\x81"), "ü");
  EXPECT_EQ(OemToUtf8("\x85\x40"), "à@");
  EXPECT_FALSE(Cp932ToUtf8("\x81").has_value());
  EXPECT_EQ(OemToUtf8(""), "");
  // The NEC-selected duplicate of an IBM extension character reads as that character.
  EXPECT_EQ(OemToUtf8("\xed\x40"), "纊");
}

// Names whose bytes do not say their code page: the more plausible reading wins, CP932 on a tie;
// a given code page goes first, and bytes invalid in it are guessed as without it.
TEST(CodePage, StoredNamesTakeThePlausibleCodePage) {
  const struct {
    const char* Bytes;
    const char* Coding;
    const char* Utf8;
  } Cases[] = {
      {"\x99lf\x84sser.txt", "", "Ölfässer.txt"},  // also valid CP932, as kanji and Cyrillic
      {"Gr\x94\xe1"
       "e.txt",
       "", "Größe.txt"},
      {"M\x81ller", "", "Müller"},
      {"a\xa4o.txt", "", "año.txt"},
      {"caf\x82", "", "café"},                     // invalid CP932
      {"caf\xc3\xa9", "", "café"},                 // UTF-8
      {"\x83\x65\x83\x58\x83\x67", "", "テスト"},  // as CP437 "âeâXâg"
      {"\x93\xfa\x96\x7b\x8c\xea.txt", "", "日本語.txt"},
      {"\x95\x5c.txt", "", "表.txt"},  // a lone kanji against a lone "ò": a tie
      {"\xb1\xb2\xb3", "", "ｱｲｳ"},
      {"\x83\x65", "cp437", "âe"},
      {"caf\xc3\xa9", "cp932", "cafﾃｩ"},
      {"\xe9t\xe9", "latin1", "été"},
      {"\x81", "cp932", "ü"},  // invalid in the given code page
      {"\x93\xfa", "utf8", "日"},
  };
  for (const auto& C : Cases) EXPECT_EQ(DecodeStoredName(C.Bytes, C.Coding), C.Utf8) << C.Utf8;
  EXPECT_TRUE(IsKnownNameCoding("cp932"));
  EXPECT_TRUE(IsKnownNameCoding(""));
  EXPECT_FALSE(IsKnownNameCoding("no-such-code-page"));
}

TEST(CodePage, Cp437TableMatchesIconv) {
  iconv_t Cd = iconv_open("UTF-8", "CP437");
  if (Cd == reinterpret_cast<iconv_t>(-1)) GTEST_SKIP() << "iconv has no CP437";
  for (int B = 0x80; B < 0x100; ++B) {
    char In = static_cast<char>(B);
    char Out[8] = {};
    char* InP = &In;
    char* OutP = Out;
    size_t InLeft = 1, OutLeft = sizeof Out;
    ASSERT_NE(iconv(Cd, &InP, &InLeft, &OutP, &OutLeft), static_cast<size_t>(-1));
    EXPECT_EQ(Cp437ToUtf8(std::string(1, In)), std::string(Out, OutP)) << "byte " << B;
  }
  iconv_close(Cd);
}

TEST(CodePage, Utf8Validation) {
  struct TCase {
    const char* Text;
    bool Valid;
  } Cases[] = {
      {"plain", true},
      {"日本", true},
      {"\xf0\x9f\x98\x80", true},
      {"\xc0\x80", false},          // overlong NUL
      {"\xe0\x80\xaf", false},      // overlong slash
      {"\xed\xa0\x80", false},      // surrogate
      {"\xf4\x90\x80\x80", false},  // above U+10FFFF
      {"\xe6\x97", false},          // truncated
      {"\x80", false},              // stray continuation
  };
  for (const auto& C : Cases) EXPECT_EQ(IsValidUtf8(C.Text), C.Valid) << C.Text;
  EXPECT_FALSE(HasNonAscii("abc"));
  EXPECT_TRUE(HasNonAscii("ab\x80"));
}

}  // namespace

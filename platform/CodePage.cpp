#include "platform/CodePage.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace {

// One iconv conversion, opened once per thread and direction.
class TConverter {
 public:
  TConverter(const char* To, const char* From) : FCd(iconv_open(To, From)) {}
  ~TConverter() {
    if (FCd != reinterpret_cast<iconv_t>(-1)) iconv_close(FCd);
  }
  TConverter(const TConverter&) = delete;
  TConverter& operator=(const TConverter&) = delete;

  // The whole input converted, or nullopt at the first byte sequence that does not convert.
  std::optional<std::string> Convert(std::string_view In) {
    if (FCd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    iconv(FCd, nullptr, nullptr, nullptr, nullptr);
    std::string Out;
    Out.resize(In.size() * 4 + 16);
    char* InPtr = const_cast<char*>(In.data());
    size_t InLeft = In.size();
    char* OutPtr = Out.data();
    size_t OutLeft = Out.size();
    while (InLeft > 0) {
      if (iconv(FCd, &InPtr, &InLeft, &OutPtr, &OutLeft) != static_cast<size_t>(-1)) continue;
      if (errno != E2BIG) return std::nullopt;  // EILSEQ or EINVAL (truncated sequence)
      size_t Used = static_cast<size_t>(OutPtr - Out.data());
      Out.resize(Out.size() * 2);
      OutPtr = Out.data() + Used;
      OutLeft = Out.size() - Used;
    }
    if (iconv(FCd, nullptr, nullptr, &OutPtr, &OutLeft) == static_cast<size_t>(-1)) return std::nullopt;
    Out.resize(static_cast<size_t>(OutPtr - Out.data()));
    return Out;
  }

 private:
  iconv_t FCd;
};

TConverter& ToCp932() {
  thread_local TConverter C("CP932", "UTF-8");
  return C;
}
TConverter& FromCp932() {
  thread_local TConverter C("UTF-8", "CP932");
  return C;
}
// Upper half of CP437 (0x80-0xFF), one character each.
constexpr std::string_view Cp437High =
    "ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜ¢£¥₧ƒáíóúñÑªº¿⌐¬½¼¡«»░▒▓│┤╡╢╖╕╣║╗╝╜╛┐"
    "└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀αßΓπΣσµτΦΘΩδ∞φε∩≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00A0";

// The UTF-8 form of CP437 byte 0x80 + I, cut from Cp437High.
std::string_view Cp437Char(unsigned I) {
  static const auto Table = [] {
    std::array<std::string_view, 128> T{};
    size_t Pos = 0;
    for (auto& Entry : T) {
      size_t Len = 1;
      while (Pos + Len < Cp437High.size() && (static_cast<uint8_t>(Cp437High[Pos + Len]) & 0xC0) == 0x80) ++Len;
      Entry = Cp437High.substr(Pos, Len);
      Pos += Len;
    }
    return T;
  }();
  return Table[I & 0x7F];
}

// The next code point of valid UTF-8 at P (advanced past it).
uint32_t NextCodePoint(const uint8_t*& P) {
  const uint8_t C = *P++;
  if (C < 0x80) return C;
  const int Len = C >= 0xF0 ? 4 : C >= 0xE0 ? 3 : 2;
  uint32_t Cp = C & (0x3F >> (Len - 1));
  for (int I = 1; I < Len; ++I) Cp = (Cp << 6) | (*P++ & 0x3F);
  return Cp;
}

enum TCharKind : uint8_t { ckAscii, ckAsciiLetter, ckKana, ckKanji, ckHalfKana, ckWide, ckAccented, ckNeutral, ckOdd };

TCharKind KindOf(uint32_t Cp) {
  if (Cp < 0x80) return (Cp | 0x20) >= 'a' && (Cp | 0x20) <= 'z' ? ckAsciiLetter : ckAscii;
  if ((Cp >= 0x3041 && Cp <= 0x30FF) || Cp == 0x3005) return ckKana;
  if ((Cp >= 0x4E00 && Cp <= 0x9FFF) || (Cp >= 0x3400 && Cp <= 0x4DBF) || (Cp >= 0xF900 && Cp <= 0xFAFF))
    return ckKanji;
  if (Cp >= 0xFF66 && Cp <= 0xFF9F) return ckHalfKana;
  if (Cp >= 0xFF01 && Cp <= 0xFF5E) return ckWide;
  if (Cp >= 0x3000 && Cp <= 0x303F) return ckNeutral;  // Japanese punctuation and brackets
  if (Cp >= 0xC0 && Cp <= 0x24F && Cp != 0xD7 && Cp != 0xF7) return ckAccented;
  if (Cp == 0xA1 || Cp == 0xBF || Cp == 0xAA || Cp == 0xBA) return ckNeutral;  // ¡ ¿ ª º
  return ckOdd;  // box drawing, Greek, Cyrillic, symbols: rare in names, common in misreadings
}

// How much a decoded name looks like a real one: kana and kanji count most in runs of their own
// kind, accented letters inside words, and what names rarely hold counts against.
int Plausibility(std::string_view Utf8) {
  std::vector<TCharKind> K;
  for (const auto *P = reinterpret_cast<const uint8_t*>(Utf8.data()), *E = P + Utf8.size(); P < E;)
    K.push_back(KindOf(NextCodePoint(P)));
  auto japanese = [](TCharKind C) { return C == ckKana || C == ckKanji || C == ckHalfKana || C == ckWide; };
  auto letter = [](TCharKind C) { return C == ckAsciiLetter || C == ckAccented; };
  int Score = 0;
  for (size_t I = 0; I < K.size(); ++I) {
    const TCharKind Prev = I ? K[I - 1] : ckAscii, Next = I + 1 < K.size() ? K[I + 1] : ckAscii;
    switch (K[I]) {
      case ckKana:
      case ckKanji:
      case ckHalfKana:
      case ckWide: Score += japanese(Prev) || japanese(Next) ? 3 : K[I] == ckKana ? 2 : K[I] == ckKanji ? 1 : 0; break;
      case ckAccented: Score += letter(Prev) || letter(Next) ? 2 : 1; break;
      case ckOdd: Score -= 2; break;
      default: break;
    }
  }
  return Score;
}

bool IsUtf8Name(std::string_view Coding) {
  return Coding == "utf8" || Coding == "utf-8" || Coding == "UTF-8" || Coding == "UTF8";
}
bool IsCp437Name(std::string_view Coding) { return Coding == "cp437" || Coding == "CP437" || Coding == "IBM437"; }

}  // namespace

bool IsValidUtf8(std::string_view Text) {
  const auto* P = reinterpret_cast<const uint8_t*>(Text.data());
  const auto* End = P + Text.size();
  while (P < End) {
    uint8_t C = *P;
    if (C < 0x80) {
      ++P;
      continue;
    }
    int Len;
    uint32_t Cp;
    if ((C & 0xE0) == 0xC0) {
      Len = 2;
      Cp = C & 0x1F;
    } else if ((C & 0xF0) == 0xE0) {
      Len = 3;
      Cp = C & 0x0F;
    } else if ((C & 0xF8) == 0xF0) {
      Len = 4;
      Cp = C & 0x07;
    } else
      return false;
    if (End - P < Len) return false;
    for (int I = 1; I < Len; ++I) {
      if ((P[I] & 0xC0) != 0x80) return false;
      Cp = (Cp << 6) | (P[I] & 0x3F);
    }
    static const uint32_t MinForLen[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (Cp < MinForLen[Len] || Cp > 0x10FFFF || (Cp >= 0xD800 && Cp <= 0xDFFF)) return false;
    P += Len;
  }
  return true;
}

bool HasNonAscii(std::string_view Text) {
  for (unsigned char C : Text)
    if (C >= 0x80) return true;
  return false;
}

std::optional<std::string> Utf8ToCp932(std::string_view Text) {
  if (!HasNonAscii(Text)) return std::string(Text);
  if (!IsValidUtf8(Text)) return std::nullopt;
  auto Out = ToCp932().Convert(Text);
  // Several Unicode characters share one CP932 code (e.g. U+301C and U+FF5E): only a form that
  // reads back as the same name is acceptable, or two names could merge.
  if (!Out) return std::nullopt;
  auto Back = FromCp932().Convert(*Out);
  if (!Back || *Back != Text) return std::nullopt;
  return Out;
}

std::optional<std::string> Cp932ToUtf8(std::string_view Bytes) {
  if (!HasNonAscii(Bytes)) return std::string(Bytes);
  return FromCp932().Convert(Bytes);
}

std::string Cp437ToUtf8(std::string_view Bytes) {
  std::string Out;
  Out.reserve(Bytes.size() * 2);
  for (unsigned char C : Bytes) {
    if (C < 0x80)
      Out += static_cast<char>(C);
    else
      Out += Cp437Char(C - 0x80);
  }
  return Out;
}

std::string Utf8ToOem(std::string_view Name, bool* IsUtf8) {
  auto Oem = Utf8ToCp932(Name);
  if (IsUtf8) *IsUtf8 = !Oem;
  return Oem ? *Oem : std::string(Name);
}

std::string OemToUtf8(std::string_view Bytes) {
  if (!HasNonAscii(Bytes) || IsValidUtf8(Bytes)) return std::string(Bytes);
  if (auto Text = Cp932ToUtf8(Bytes)) return *Text;
  return Cp437ToUtf8(Bytes);
}

std::string DecodeStoredName(std::string_view Bytes, std::string_view Coding) {
  if (!HasNonAscii(Bytes)) return std::string(Bytes);
  if (!Coding.empty() && !IsUtf8Name(Coding)) {
    if (IsCp437Name(Coding)) return Cp437ToUtf8(Bytes);
    TConverter From("UTF-8", std::string(Coding).c_str());
    if (auto Text = From.Convert(Bytes)) return *Text;
  }
  if (IsValidUtf8(Bytes)) return std::string(Bytes);
  std::string Latin = Cp437ToUtf8(Bytes);
  auto Japanese = Cp932ToUtf8(Bytes);
  return Japanese && Plausibility(*Japanese) >= Plausibility(Latin) ? *Japanese : Latin;
}

bool IsKnownNameCoding(std::string_view Coding) {
  if (Coding.empty() || IsUtf8Name(Coding) || IsCp437Name(Coding)) return true;
  iconv_t Cd = iconv_open("UTF-8", std::string(Coding).c_str());
  if (Cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(Cd);
  return true;
}

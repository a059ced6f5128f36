#include "archive/zip/qrvUnShrink.h"

namespace {

constexpr int kCodes = 8192;  // codes 0 to 8191
constexpr int kControl = 256;
constexpr int kFirstFree = 257;
constexpr unsigned kMaxCodeSize = 16;  // increases past 13 bits are accepted up to here
constexpr int kBadBlock = 25116;
constexpr int kStackOverflow = 25305;

struct TUnShrinkState {
  explicit TUnShrinkState(const TDecoderIO& IO) : In(IO), Out(IO, 0, 32768) {}
  TBitReader In;
  TWindowOutput Out;
  int16_t Prefix[kCodes];  // -1: free
  uint8_t Suffix[kCodes];
  uint16_t Children[kCodes];
  uint16_t FreeList[kCodes];  // free codes from index NextFree on, ascending
  int NextFree = kFirstFree;
  uint8_t Stack[kCodes];
  int Depth = 0;
};

[[noreturn]] void BadBlock(const char* Reason) { DecodeFail(drDataError, Reason, kBadBlock); }

void Init(TUnShrinkState& S) {
  for (int c = 0; c < kCodes; ++c) {
    S.Prefix[c] = -1;
    S.Suffix[c] = static_cast<uint8_t>(c < 256 ? c : 0);
    S.Children[c] = 0;
    S.FreeList[c] = static_cast<uint16_t>(c);
  }
}

void Push(TUnShrinkState& S, uint8_t Byte) {
  if (S.Depth >= kCodes) DecodeFail(drDataError, "string too long", kStackOverflow);
  S.Stack[S.Depth++] = Byte;
}

// Frees every code without children, so that new codes reuse them from the lowest up.
void PartialClear(TUnShrinkState& S) {
  uint16_t leaves[kCodes];
  int n = 0;
  for (int c = kFirstFree; c < kCodes; ++c)
    if (S.Children[c] == 0) leaves[n++] = static_cast<uint16_t>(c);
  S.NextFree = kCodes;
  while (n > 0) {
    int c = leaves[--n];
    int parent = S.Prefix[c];
    if (parent >= 0 && S.Children[parent] > 0) --S.Children[parent];
    S.Prefix[c] = -1;
    S.Suffix[c] = 0;
    S.Children[c] = 0;
    S.FreeList[--S.NextFree] = static_cast<uint16_t>(c);
  }
}

// Outputs the string of Code and returns its first byte. A code not yet defined is the previous
// string plus its own first byte (the code the encoder is about to define).
uint8_t OutputString(TUnShrinkState& S, int Code, int Previous, uint8_t PreviousFirst) {
  S.Depth = 0;
  if (Code > kControl && S.Prefix[Code] < 0) {
    Push(S, PreviousFirst);
    Code = Previous;
  }
  while (Code > kControl) {
    if (S.Prefix[Code] < 0) BadBlock("string refers to a free code");
    Push(S, S.Suffix[Code]);
    Code = S.Prefix[Code];
  }
  if (Code == kControl) BadBlock("string refers to the control code");
  uint8_t first = static_cast<uint8_t>(Code);
  S.Out.Put(first);
  while (S.Depth > 0) S.Out.Put(S.Stack[--S.Depth]);
  return first;
}

void AddCode(TUnShrinkState& S, int Previous, uint8_t First) {
  if (S.NextFree >= kCodes) return;  // table full until the next partial clear
  int c = S.FreeList[S.NextFree++];
  S.Prefix[c] = static_cast<int16_t>(Previous);
  S.Suffix[c] = First;
  if (S.Children[Previous] < kCodes) ++S.Children[Previous];
}

void Decode(TUnShrinkState& S) {
  TBitReader& In = S.In;
  unsigned codeSize = 9;
  if (!In.Has(codeSize)) BadBlock("no first code");
  int previous = static_cast<int>(In.Get(codeSize));
  if (previous > 255) BadBlock("first code is not a byte");
  uint8_t previousFirst = static_cast<uint8_t>(previous);
  S.Out.Put(previousFirst);
  Init(S);

  while (In.Has(codeSize)) {
    int code = static_cast<int>(In.Get(codeSize));
    if (code == kControl) {
      if (!In.Has(codeSize)) break;
      uint32_t what = In.Get(codeSize);
      if (what == 1) {
        if (++codeSize > kMaxCodeSize) BadBlock("code size too large");
      } else if (what == 2) {
        PartialClear(S);
      } else {
        BadBlock("bad control code");
      }
      continue;
    }
    if (code >= kCodes) BadBlock("code above 8191");
    uint8_t first = OutputString(S, code, previous, previousFirst);
    AddCode(S, previous, first);
    previous = code;
    previousFirst = first;
  }
}

}  // namespace

TDecodeStatus UnShrink(const TDecoderIO& IO) {
  if (IO.CompressedSize <= 0 && IO.UncompressedSize == 0) return TDecodeStatus{};
  return DecodeWith<TUnShrinkState>(Decode, IO);
}

// Pieces the LZH decoders share: a prefix-code table that may stand for one symbol only, and a
// ring of past output for the methods whose window starts with a fixed fill.
#pragma once

#include <algorithm>
#include <vector>

#include "archive/core/qrvDecoder.h"

namespace lzhkit {

// A code table, or the single symbol a table declared with one symbol names (it takes no bits).
struct TTable {
  THuffman Code;
  int Single = -1;
};

// The symbol of the next code; drDataError on a bit pattern no code has.
unsigned Decode(TMsbBitReader& In, const TTable& Tab);
// Builds Tab from N code lengths (read most significant bit first, RootBits bits per lookup);
// drDataError when the lengths do not form a prefix code.
void Build(TTable& Tab, const uint8_t* Lengths, unsigned N, unsigned RootBits);
// Makes Tab the single symbol Symbol; drDataError when it is not below N.
void SetSingle(TTable& Tab, unsigned Symbol, unsigned N);

// Output through a ring of RingSize (a power of two) bytes of history; positions may be
// absolute in the ring (LArc) or a distance back from the next byte.
struct TRingState {
  TRingState(const TDecoderIO& IO, size_t RingSize, uint8_t Fill = 0)
      : In(IO), Out(IO, 0, 32768), Ring(RingSize, Fill), Mask(RingSize - 1) {}
  TMsbBitReader In;
  TWindowOutput Out;
  std::vector<uint8_t> Ring;
  size_t Mask;
  size_t Pos = 0;

  void Put(uint8_t B) {
    Out.Put(B);
    Ring[Pos] = B;
    Pos = (Pos + 1) & Mask;
  }
  // Len bytes from ring position From, cut at the entry's Size.
  void CopyFrom(size_t From, size_t Len, int64_t Size) {
    Len = size_t(std::min<int64_t>(int64_t(Len), Size - Out.Total()));
    for (size_t k = 0; k < Len; ++k) Put(Ring[(From + k) & Mask]);
  }
  // Len bytes from Distance (>= 1) bytes back.
  void CopyBack(size_t Distance, size_t Len, int64_t Size) { CopyFrom((Pos - Distance) & Mask, Len, Size); }
  void CheckInput() {
    if (In.Overrun()) DecodeFail(drInputExhausted, "compressed data ends early");
  }
};

}  // namespace lzhkit

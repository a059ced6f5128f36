#include "archive/zip/qrvUnReduce.h"

#include <algorithm>
#include <climits>

namespace {

constexpr uint8_t kDle = 144;  // escape byte of the copy scheme
constexpr unsigned kMaxFollowers = 32;

struct TUnReduceState {
  TUnReduceState(const TDecoderIO& IO, int F) : In(IO), Out(IO, 4096, 32768), Factor(F) {}
  TBitReader In;
  TWindowOutput Out;  // 4 KiB of history, zero before the start of the entry
  int Factor;
  uint8_t Count[256] = {};
  uint8_t Followers[256][kMaxFollowers] = {};
  // Expansion state machine
  int State = 0;
  unsigned Length = 0;
  unsigned V = 0;
};

// Bits needed to index a follower set of N entries.
unsigned IndexBits(unsigned N) { return N <= 2 ? 1 : N <= 4 ? 2 : N <= 8 ? 3 : N <= 16 ? 4 : N <= 32 ? 5 : 6; }

void ReadFollowerSets(TUnReduceState& S) {
  for (int x = 255; x >= 0; --x) {
    unsigned n = S.In.GetReal(6);
    if (n > kMaxFollowers) DecodeFail(drDataError, "follower set larger than 32");
    S.Count[x] = static_cast<uint8_t>(n);
    for (unsigned j = 0; j < n; ++j) S.Followers[x][j] = static_cast<uint8_t>(S.In.GetReal(8));
  }
}

uint8_t NextByte(TUnReduceState& S, uint8_t Previous) {
  unsigned n = S.Count[Previous];
  if (n == 0 || S.In.GetReal(1) == 1) return static_cast<uint8_t>(S.In.GetReal(8));
  unsigned index = S.In.GetReal(IndexBits(n));
  if (index >= n) DecodeFail(drDataError, "follower index beyond its set");
  return S.Followers[Previous][index];
}

// Feeds one byte to the DLE state machine; output stops at the uncompressed size.
void Expand(TUnReduceState& S, uint8_t C, int64_t Size) {
  const unsigned mask = 0xFFu >> S.Factor;  // length mask L: 0x7F, 0x3F, 0x1F, 0x0F
  switch (S.State) {
    case 0:
      if (C == kDle)
        S.State = 1;
      else
        S.Out.Put(C);
      break;
    case 1:
      if (C == 0) {
        S.Out.Put(kDle);
        S.State = 0;
      } else {
        S.V = C;
        S.Length = C & mask;
        S.State = S.Length == mask ? 2 : 3;
      }
      break;
    case 2:
      S.Length += C;
      S.State = 3;
      break;
    default: {
      size_t distance = ((S.V >> (8 - S.Factor)) * 256) + C + 1;
      int64_t room = Size - S.Out.Total();
      S.Out.Copy(distance, static_cast<size_t>(std::min<int64_t>(S.Length + 3, room)));
      S.State = 0;
    }
  }
}

void Decode(TUnReduceState& S, int64_t Size) {
  ReadFollowerSets(S);
  uint8_t previous = 0;
  while (S.Out.Total() < Size) {
    uint8_t c = NextByte(S, previous);
    Expand(S, c, Size);
    previous = c;
  }
}

}  // namespace

TDecodeStatus UnReduce(const TDecoderIO& IO, int Factor) {
  if (Factor < 1 || Factor > 4) {
    TDecodeStatus st;
    st.Result = drDataError;
    st.Reason = "compression factor outside 1 to 4";
    return st;
  }
  const int64_t size = IO.UncompressedSize >= 0 ? IO.UncompressedSize : INT64_MAX;
  if (size == 0) return TDecodeStatus{};  // an empty file: nothing to read
  return DecodeWith<TUnReduceState>([&](TUnReduceState& S) { Decode(S, size); }, IO, Factor);
}

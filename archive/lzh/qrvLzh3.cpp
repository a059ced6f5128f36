#include "archive/lzh/qrvLzh3.h"

#include <algorithm>
#include <array>

#include "archive/lzh/qrvLzh3_Kit.h"

using lzhkit::TRingState;
using lzhkit::TTable;

namespace {

constexpr unsigned kNC = 510;    // literals and lengths 3..256
constexpr unsigned kNT = 19;     // code-length symbols
constexpr unsigned kMaxNP = 21;  // position codes of a 1 MiB window (-lhx-)

constexpr std::array<uint32_t, kNC> MakeSymbols() {
  std::array<uint32_t, kNC> p{};
  for (unsigned i = 0; i < kNC; ++i) p[i] = HuffEntry(hkLiteral, i);
  return p;
}
constexpr auto kSymbols = MakeSymbols();

struct TStaticState {
  TStaticState(const TDecoderIO& IO, int DicBit)
      : In(IO),
        Out(IO, size_t(1) << std::max(DicBit, 13), 65536),
        NP(unsigned(std::max(DicBit, 13)) + 1),
        PBit(DicBit <= 13 ? 4 : 5) {}
  TMsbBitReader In;
  TWindowOutput Out;
  TTable C, P, T;
  unsigned NP, PBit;  // lh4 reads as lh5 does: the same tables, a window of at least 8 KiB
};

using lzhkit::Decode;

// Lengths of the code-length code (Special 3) or the position code (Special -1).
void ReadPtLen(TMsbBitReader& In, TTable& Tab, unsigned N, unsigned CountBits, int Special) {
  const unsigned k = In.Get(CountBits);
  if (k == 0) {
    lzhkit::SetSingle(Tab, In.Get(CountBits), N);
    return;
  }
  if (k > N) DecodeFail(drDataError, "code-length count above its table");
  uint8_t len[std::max(kNT, kMaxNP)] = {};
  unsigned i = 0;
  while (i < k) {
    unsigned c = In.Peek(3);
    if (c == 7) {
      const uint32_t bits = In.Peek(16);
      for (uint32_t mask = 1u << 12; bits & mask; mask >>= 1) ++c;
      if (c > 16) DecodeFail(drDataError, "code length above 16");
    }
    In.Drop(c < 7 ? 3 : c - 3);
    len[i++] = uint8_t(c);
    if (int(i) == Special) {
      for (unsigned z = In.Get(2); z > 0 && i < N; --z) len[i++] = 0;
    }
  }
  lzhkit::Build(Tab, len, N, 8);
}

// The literal/length code lengths, K of them, coded with the code-length code.
void ReadCLenCounted(TStaticState& S, unsigned K) {
  TMsbBitReader& In = S.In;
  if (K > kNC) DecodeFail(drDataError, "literal count above its table");
  uint8_t len[kNC] = {};
  unsigned i = 0;
  while (i < K) {
    const unsigned c = Decode(In, S.T);
    if (c <= 2) {
      const unsigned run = c == 0 ? 1 : c == 1 ? In.Get(4) + 3 : In.Get(9) + 20;
      if (i + run > kNC) DecodeFail(drDataError, "zero run beyond the table");
      i += run;
    } else {
      len[i++] = uint8_t(c - 2);
    }
  }
  lzhkit::Build(S.C, len, kNC, 12);
}

unsigned ReadBlockHeader(TStaticState& S) {
  TMsbBitReader& In = S.In;
  const unsigned count = In.Get(16);
  if (count == 0) DecodeFail(drDataError, "block of 0 symbols");
  ReadPtLen(In, S.T, kNT, 5, 3);
  const unsigned k = In.Get(9);
  if (k == 0) {
    lzhkit::SetSingle(S.C, In.Get(9), kNC);
  } else {
    ReadCLenCounted(S, k);
  }
  ReadPtLen(In, S.P, S.NP, S.PBit, -1);
  In.CheckOverrun();
  return count;
}

void UnpackStatic(TStaticState& S, int64_t Size) {
  TMsbBitReader& In = S.In;
  TWindowOutput& Out = S.Out;
  unsigned blockLeft = 0;
  while (Out.Total() < Size) {
    if (blockLeft == 0) blockLeft = ReadBlockHeader(S);
    --blockLeft;
    const unsigned c = Decode(In, S.C);
    if (c < 256) {
      Out.Put(uint8_t(c));
    } else {
      const unsigned j = Decode(In, S.P);
      if (j >= S.NP) DecodeFail(drDataError, "position code outside its table");
      const size_t dist = (j == 0 ? 0 : (size_t(1) << (j - 1)) + In.Get(j - 1)) + 1;
      const int64_t room = Size - Out.Total();
      Out.Copy(dist, size_t(std::min<int64_t>(c - 253, room)));
    }
    if (In.Overrun()) DecodeFail(drInputExhausted, "compressed data ends early");
  }
}

// ---- lh1 ---------------------------------------------------------------------------------

constexpr int kRing = 4096, kMaxLen = 60, kChars = 256 - 3 + kMaxLen + 1;  // 314
constexpr int kT = kChars * 2 - 1, kR = kT - 1;
constexpr uint16_t kMaxFreq = 0x8000;

struct TAdaptiveState {
  explicit TAdaptiveState(const TDecoderIO& IO) : In(IO), Out(IO, 0, 32768) {}
  TMsbBitReader In;
  TWindowOutput Out;
  uint16_t Freq[kT + 1];
  int16_t Parent[kT + kChars];
  int16_t Son[kT];
  uint8_t Ring[kRing];
};

void StartTree(TAdaptiveState& S) {
  for (int i = 0; i < kChars; ++i) {
    S.Freq[i] = 1;
    S.Son[i] = int16_t(i + kT);
    S.Parent[i + kT] = int16_t(i);
  }
  for (int i = 0, j = kChars; j <= kR; i += 2, ++j) {
    S.Freq[j] = uint16_t(S.Freq[i] + S.Freq[i + 1]);
    S.Son[j] = int16_t(i);
    S.Parent[i] = S.Parent[i + 1] = int16_t(j);
  }
  S.Freq[kT] = 0xFFFF;
  S.Parent[kR] = 0;
}

// Halves the frequencies and rebuilds the tree, keeping it sorted by frequency.
void Rebuild(TAdaptiveState& S) {
  int j = 0;
  for (int i = 0; i < kT; ++i)
    if (S.Son[i] >= kT) {
      S.Freq[j] = uint16_t((S.Freq[i] + 1) / 2);
      S.Son[j] = S.Son[i];
      ++j;
    }
  for (int i = 0, n = kChars; n < kT; i += 2, ++n) {
    const uint16_t f = uint16_t(S.Freq[i] + S.Freq[i + 1]);
    int k = n - 1;
    while (f < S.Freq[k]) --k;
    ++k;
    std::copy_backward(S.Freq + k, S.Freq + n, S.Freq + n + 1);
    std::copy_backward(S.Son + k, S.Son + n, S.Son + n + 1);
    S.Freq[k] = f;
    S.Son[k] = int16_t(i);
  }
  for (int i = 0; i < kT; ++i) {
    const int k = S.Son[i];
    S.Parent[k] = int16_t(i);
    if (k < kT) S.Parent[k + 1] = int16_t(i);
  }
}

void Update(TAdaptiveState& S, int Symbol) {
  if (S.Freq[kR] == kMaxFreq) Rebuild(S);
  int c = S.Parent[Symbol + kT];
  do {
    const uint16_t k = ++S.Freq[c];
    int l = c + 1;
    if (k > S.Freq[l]) {
      while (k > S.Freq[++l]) {
      }
      --l;
      S.Freq[c] = S.Freq[l];
      S.Freq[l] = k;
      const int i = S.Son[c];
      S.Parent[i] = int16_t(l);
      if (i < kT) S.Parent[i + 1] = int16_t(l);
      const int j = S.Son[l];
      S.Son[l] = int16_t(i);
      S.Parent[j] = int16_t(c);
      if (j < kT) S.Parent[j + 1] = int16_t(c);
      S.Son[c] = int16_t(j);
      c = l;
    }
  } while ((c = S.Parent[c]) != 0);
}

int DecodeChar(TAdaptiveState& S) {
  int c = S.Son[kR];
  while (c < kT) c = S.Son[c + int(S.In.Get(1))];
  c -= kT;
  Update(S, c);
  return c;
}

// Positions: the upper six bits by a fixed code of 3 to 8 bits, the lower six plain.
int DecodePosition(TMsbBitReader& In) {
  static const auto tables = [] {
    std::array<std::array<uint8_t, 256>, 2> t{};
    const int groups[6][2] = {{1, 3}, {3, 4}, {8, 5}, {12, 6}, {24, 7}, {16, 8}};
    int code = 0, byte = 0;
    for (const auto& g : groups)
      for (int n = 0; n < g[0]; ++n, ++code)
        for (int k = 0; k < 1 << (8 - g[1]); ++k, ++byte) {
          t[0][size_t(byte)] = uint8_t(code);
          t[1][size_t(byte)] = uint8_t(g[1]);
        }
    return t;
  }();
  unsigned i = In.Get(8);
  const unsigned high = tables[0][i];
  const unsigned extra = tables[1][i] - 2u;
  i = (i << extra) | In.Get(extra);
  return int((high << 6) | (i & 0x3F));
}

void UnpackAdaptive(TAdaptiveState& S, int64_t Size) {
  std::fill(S.Ring, S.Ring + kRing - kMaxLen, uint8_t(' '));
  std::fill(S.Ring + kRing - kMaxLen, S.Ring + kRing, uint8_t(0));
  int r = kRing - kMaxLen;
  StartTree(S);
  while (S.Out.Total() < Size) {
    const int c = DecodeChar(S);
    if (c < 256) {
      S.Out.Put(uint8_t(c));
      S.Ring[r] = uint8_t(c);
      r = (r + 1) & (kRing - 1);
    } else {
      const int from = (r - DecodePosition(S.In) - 1) & (kRing - 1);
      const int len = int(std::min<int64_t>(c - 253, Size - S.Out.Total()));
      for (int k = 0; k < len; ++k) {
        const uint8_t b = S.Ring[(from + k) & (kRing - 1)];
        S.Out.Put(b);
        S.Ring[r] = b;
        r = (r + 1) & (kRing - 1);
      }
    }
    if (S.In.Overrun()) DecodeFail(drInputExhausted, "compressed data ends early");
  }
}

// ---- LArc lz5 and lzs -----------------------------------------------------------------------
//
// Plain LZSS: literals and (ring position, length) pairs, the positions absolute in a ring
// that starts with a fixed fill.

// lz5: a 4 KiB ring; a flag byte for each eight items (bit set: a literal byte), a pair in two
// bytes: 12 bits of position, 4 of length - 3.
void UnpackLz5(TRingState& S, int64_t Size) {
  uint8_t* p = S.Ring.data();
  for (int i = 0; i < 256; ++i) p = std::fill_n(p, 13, uint8_t(i));
  for (int i = 0; i < 256; ++i) *p++ = uint8_t(i);
  for (int i = 0; i < 256; ++i) *p++ = uint8_t(255 - i);
  p = std::fill_n(p, 128, uint8_t(0));
  p = std::fill_n(p, 110, uint8_t(' '));
  std::fill_n(p, 18, uint8_t(0));
  S.Pos = 4096 - 18;
  while (S.Out.Total() < Size) {
    const unsigned flags = S.In.Get(8);
    for (unsigned bit = 0; bit < 8 && S.Out.Total() < Size; ++bit) {
      if (flags & (1u << bit)) {
        S.Put(uint8_t(S.In.Get(8)));
      } else {
        const unsigned lo = S.In.Get(8), hi = S.In.Get(8);
        S.CopyFrom(((hi & 0xF0) << 4) | lo, (hi & 0x0F) + 3, Size);
      }
      S.CheckInput();
    }
  }
}

// lzs: a 2 KiB ring of spaces; one flag bit per item (set: an 8-bit literal), a pair in 11 bits
// of position and 4 of length - 2.
void UnpackLzs(TRingState& S, int64_t Size) {
  std::fill(S.Ring.begin(), S.Ring.end(), uint8_t(' '));
  S.Pos = 2048 - 17;
  while (S.Out.Total() < Size) {
    if (S.In.Get(1)) {
      S.Put(uint8_t(S.In.Get(8)));
    } else {
      const unsigned pos = S.In.Get(11);
      S.CopyFrom(pos, S.In.Get(4) + 2, Size);
    }
    S.CheckInput();
  }
}

}  // namespace

namespace lzhkit {

unsigned Decode(TMsbBitReader& In, const TTable& Tab) {
  if (Tab.Single >= 0) return unsigned(Tab.Single);
  const uint32_t e = Tab.Code.LookupMsb(In.Peek(16));
  if (HuffKindOf(e) == hkInvalid) DecodeFail(drDataError, "invalid code");
  In.Drop(HuffLen(e));
  return HuffValue(e);
}

void Build(TTable& Tab, const uint8_t* Lengths, unsigned N, unsigned RootBits) {
  Tab.Single = -1;
  if (!Tab.Code.Build(Lengths, N, kSymbols.data(), RootBits, hpIncompleteAllowed, true))
    DecodeFail(drDataError, "invalid code lengths");
}

void SetSingle(TTable& Tab, unsigned Symbol, unsigned N) {
  if (Symbol >= N) DecodeFail(drDataError, "single symbol outside its table");
  Tab.Single = int(Symbol);
}

}  // namespace lzhkit

TDecodeStatus LzhUnpackStatic(const TDecoderIO& IO, int DicBit) {
  if (DicBit < 12 || DicBit > 20) return {drDataError, 0, "dictionary size outside 12 to 20 bits"};
  const int64_t size = std::max<int64_t>(IO.UncompressedSize, 0);
  return DecodeWith<TStaticState>([size](TStaticState& S) { UnpackStatic(S, size); }, IO, DicBit);
}

TDecodeStatus LzhUnpackAdaptive(const TDecoderIO& IO, int) {
  const int64_t size = std::max<int64_t>(IO.UncompressedSize, 0);
  return DecodeWith<TAdaptiveState>([size](TAdaptiveState& S) { UnpackAdaptive(S, size); }, IO);
}

TDecodeStatus LzhUnpackLz5(const TDecoderIO& IO, int) {
  const int64_t size = std::max<int64_t>(IO.UncompressedSize, 0);
  return DecodeWith<TRingState>([size](TRingState& S) { UnpackLz5(S, size); }, IO, size_t(4096));
}

TDecodeStatus LzhUnpackLzs(const TDecoderIO& IO, int) {
  const int64_t size = std::max<int64_t>(IO.UncompressedSize, 0);
  return DecodeWith<TRingState>([size](TRingState& S) { UnpackLzs(S, size); }, IO, size_t(2048));
}

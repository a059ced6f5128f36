// PMarc's methods (MSX and CP/M): pm1 and pm2. Literals are not sent as byte values but as a
// count of steps back in a most-recently-used list of byte values; copies reach back into a
// ring of past output. pm2 codes its commands with a prefix code sent in the stream and
// renewed at fixed output counts; pm1 uses fixed codes whose ranges widen as output grows.
#include <array>

#include "archive/lzh/qrvLzh3.h"
#include "archive/lzh/qrvLzh3_Kit.h"

using lzhkit::TRingState;
using lzhkit::TTable;

namespace {

// Byte values ordered by last use; a literal is a number of steps back from the newest.
class TRecentBytes {
 public:
  TRecentBytes() {
    for (unsigned i = 0; i < 256; ++i) {
      older_[i] = uint8_t(i + 1);
      newer_[i] = uint8_t(i - 1);
    }
    // Printable ASCII first, then control codes, then the upper half in three groups.
    const uint8_t runs[][2] = {{0x7F, 0x00}, {0x1F, 0xA0}, {0xDF, 0x80}, {0x9F, 0xE0}, {0xFF, 0x20}};
    for (const auto& r : runs) {
      older_[r[0]] = r[1];
      newer_[r[1]] = r[0];
    }
  }
  uint8_t Find(unsigned Steps) const {
    uint8_t c = head_;
    if (Steps < 128)
      for (unsigned i = 0; i < Steps; ++i) c = older_[c];
    else
      for (unsigned i = Steps; i < 256; ++i) c = newer_[c];
    return c;
  }
  void Touch(uint8_t B) {
    if (B == head_) return;
    newer_[older_[B]] = newer_[B];
    older_[newer_[B]] = older_[B];
    older_[B] = head_;
    newer_[B] = newer_[head_];
    older_[newer_[head_]] = B;
    newer_[head_] = B;
    head_ = B;
  }

 private:
  uint8_t older_[256], newer_[256];
  uint8_t head_ = 0x20;
};

// A value of a range row: Base plus Bits more bits.
struct TRange {
  uint16_t Base;
  uint8_t Bits;
};

template <size_t N>
unsigned ReadRange(TMsbBitReader& In, const TRange (&Rows)[N], unsigned Row) {
  if (Row >= N) DecodeFail(drDataError, "code outside its table");
  return Rows[Row].Base + In.Get(Rows[Row].Bits);
}

// ---- pm2

constexpr unsigned kPm2Codes = 31;  // 8 literal groups, then copy lengths

struct TPm2State : TRingState {
  explicit TPm2State(const TDecoderIO& IO, int64_t Size) : TRingState(IO, 8192, ' '), Size(Size) { Offset.Single = 0; }
  int64_t Size;
  TRecentBytes Recent;
  TTable Code, Offset;
  bool NeedOffset = false;
  int Stage = 0;            // tables read so far: the code and offset tables grow with the output
  unsigned UntilRenew = 0;  // output bytes until the tables are renewed
};

void ReadPm2Code(TPm2State& S) {
  TMsbBitReader& In = S.In;
  const unsigned count = In.Get(5), minLen = In.Get(3);
  S.NeedOffset = count >= 10 && !(count == 29 && minLen == 0);
  if (minLen == 0) {
    if (count == 0) DecodeFail(drDataError, "empty code table");
    lzhkit::SetSingle(S.Code, count - 1, kPm2Codes);
    return;
  }
  const unsigned width = In.Get(3);
  uint8_t len[kPm2Codes] = {};
  for (unsigned i = 0; i < count; ++i) {
    const unsigned v = In.Get(width);
    len[i] = uint8_t(v == 0 ? 0 : std::min(minLen + v - 1, 255u));
  }
  lzhkit::Build(S.Code, len, count, 8);
}

void ReadPm2Offsets(TPm2State& S, unsigned N) {
  if (!S.NeedOffset) return;
  uint8_t len[8] = {};
  unsigned used = 0, last = 0;
  for (unsigned i = 0; i < N; ++i) {
    len[i] = uint8_t(S.In.Get(3));
    if (len[i]) ++used, last = i;
  }
  if (used == 1)
    lzhkit::SetSingle(S.Offset, last, N);
  else
    lzhkit::Build(S.Offset, len, N, 8);
}

// The tables at the start and after 1, 2, 4, 8, 12, ... KiB of output.
void RenewPm2(TPm2State& S) {
  switch (S.Stage) {
    case 0:
      ReadPm2Code(S);
      ReadPm2Offsets(S, 5);
      S.UntilRenew = 1024;
      break;
    case 1:
      ReadPm2Offsets(S, 6);
      S.UntilRenew = 1024;
      break;
    case 2:
      ReadPm2Offsets(S, 7);
      S.UntilRenew = 2048;
      break;
    case 3:
      if (S.In.Get(1)) ReadPm2Code(S);
      ReadPm2Offsets(S, 8);
      S.UntilRenew = 4096;
      break;
    default:
      if (S.In.Get(1)) {
        ReadPm2Code(S);
        ReadPm2Offsets(S, 8);
      }
      S.UntilRenew = 4096;
      break;
  }
  S.Stage = std::min(S.Stage + 1, 4);
}

void PutPm2(TPm2State& S, uint8_t B) {
  S.Put(B);
  S.Recent.Touch(B);
  // The renewal sits in the stream where the output count reaches it, inside a copy too.
  if (--S.UntilRenew == 0 && S.Out.Total() < S.Size) RenewPm2(S);
}

unsigned Pm2Distance(TPm2State& S, unsigned Code) {
  if (Code >= 20) return 0;
  unsigned bits = 6, base = 0;
  if (Code > 0) {
    const unsigned v = lzhkit::Decode(S.In, S.Offset);
    if (v > 0) {
      bits = v + 5;
      base = 1u << bits;
    }
  }
  return base + S.In.Get(bits);
}

void UnpackPm2(TPm2State& S) {
  static const TRange literals[] = {{0, 3}, {8, 3}, {16, 4}, {32, 5}, {64, 5}, {96, 5}, {128, 6}, {192, 6}};
  static const TRange lengths[] = {{17, 3}, {25, 3}, {33, 5}, {65, 6}, {129, 7}, {256, 0}};
  TMsbBitReader& In = S.In;
  In.Get(1);  // the stream starts with one unused bit
  RenewPm2(S);
  while (S.Out.Total() < S.Size) {
    const unsigned code = lzhkit::Decode(In, S.Code);
    if (code < 8) {
      PutPm2(S, S.Recent.Find(ReadRange(In, literals, code)));
    } else {
      const unsigned c = code - 8;
      const unsigned count = c < 15 ? c + 2 : ReadRange(In, lengths, c - 15);
      const unsigned distance = Pm2Distance(S, c) + 1;
      for (unsigned k = 0; k < count && S.Out.Total() < S.Size; ++k) PutPm2(S, S.Ring[(S.Pos - distance) & S.Mask]);
    }
    S.CheckInput();
  }
}

// ---- pm1

struct TPm1State : TRingState {
  explicit TPm1State(const TDecoderIO& IO, int64_t Size) : TRingState(IO, 16384), Size(Size) {}
  int64_t Size;
  TRecentBytes Recent;
  unsigned Tree = 0;  // the literal-group tree the stream chose
};

// pm1 streams may end in the middle of their last code: as the original decoder did, bits past
// the end read as 0, but only a few bytes' worth, so damaged data cannot run on.
void CheckPm1Input(TPm1State& S) {
  if (S.In.OverrunBits() > 64 * 8) DecodeFail(drInputExhausted, "compressed data ends early");
}

void PutPm1(TPm1State& S, uint8_t B) {
  S.Put(B);
  S.Recent.Touch(B);
}

// One bit once the output has reached Threshold bytes; before that the bit is not sent.
unsigned BitAfter(TPm1State& S, int64_t Threshold, unsigned Default) {
  return S.Out.Total() >= Threshold ? S.In.Get(1) : Default;
}

unsigned Pm1CopyKind(TPm1State& S) {
  if (S.In.Get(1) == 0) return BitAfter(S, 576, 0) ? 4 : BitAfter(S, 64, 0);
  if (BitAfter(S, 64, 1) == 0) return 3;
  return BitAfter(S, 2624, 1) ? 2 : 5;
}

// A length of 3 to 244 in a nest of short codes.
unsigned Pm1CopyLength(TMsbBitReader& In) {
  unsigned x = In.Get(2);
  if (x < 3) return x + 3;
  x = In.Get(3);
  if (x < 5) return x + 6;
  if (x == 5) return In.Get(2) + 11;
  if (x == 6) return In.Get(3) + 15;
  x = In.Get(6);
  if (x < 62) return x + 23;
  return x == 62 ? In.Get(5) + 85 : In.Get(7) + 117;
}

// The distance row of a copy kind: early in the output the far rows take fewer bits.
unsigned Pm1DistanceRow(unsigned Kind, int64_t Done) {
  if (Kind == 3 && Done < 320) return 6;
  if (Kind == 4) {
    static const int64_t limits[] = {832, 1088, 1600};
    for (unsigned i = 0; i < 3; ++i)
      if (Done < limits[i]) return 7 + i;
  }
  if (Kind == 5) {
    static const int64_t limits[] = {2880, 3136, 3648, 4672, 6720};
    for (unsigned i = 0; i < 5; ++i)
      if (Done < limits[i]) return 10 + i;
  }
  return Kind;
}

void Pm1Copy(TPm1State& S) {
  static const TRange distances[] = {{0, 6},     {64, 8},   {0, 6},     {64, 9},    {576, 11},
                                     {2624, 13}, {64, 8},   {576, 8},   {576, 9},   {576, 10},
                                     {2624, 8},  {2624, 9}, {2624, 10}, {2624, 11}, {2624, 12}};
  const unsigned kind = Pm1CopyKind(S);
  const unsigned count = kind < 2 ? 2 : Pm1CopyLength(S.In);
  const int64_t done = S.Out.Total();
  const unsigned back = ReadRange(S.In, distances, Pm1DistanceRow(kind, done));
  if (back >= done) DecodeFail(drDataError, "copy from before the start");
  const size_t from = (S.Pos - back - 1) & S.Mask;
  for (unsigned k = 0; k < count && S.Out.Total() < S.Size; ++k) PutPm1(S, S.Ring[(from + k) & S.Mask]);
}

// The literal-group trees: each byte a node, its high nibble the 0 branch and its low nibble the
// 1 branch; a nibble of 10 to 15 is the leaf of group 0 to 5, a smaller one steps to a later node.
constexpr uint8_t kPm1Trees[32][5] = {
    {0x12, 0x2d, 0xef, 0x1c, 0xab},
    {0x12, 0x23, 0xde, 0xab, 0xcf},
    {0x12, 0x2c, 0xd2, 0xab, 0xef},
    {0x12, 0xa2, 0xd2, 0xbc, 0xef},
    {0x12, 0xa2, 0xc2, 0xbd, 0xef},
    {0x12, 0xa2, 0xcd, 0xb1, 0xef},
    {0x12, 0xab, 0x12, 0xcd, 0xef},
    {0x12, 0xab, 0x1d, 0xc1, 0xef},
    {0x12, 0xab, 0xc1, 0xd1, 0xef},
    {0xa1, 0x12, 0x2c, 0xde, 0xbf},
    {0xa1, 0x1d, 0x1c, 0xb1, 0xef},
    {0xa1, 0x12, 0x2d, 0xef, 0xbc},
    {0xa1, 0x12, 0xb2, 0xde, 0xcf},
    {0xa1, 0x12, 0xbc, 0xd1, 0xef},
    {0xa1, 0x1c, 0xb1, 0xd1, 0xef},
    {0xa1, 0xb1, 0x12, 0xcd, 0xef},
    {0xa1, 0xb1, 0xc1, 0xd1, 0xef},
    {0x12, 0x1c, 0xde, 0xab},
    {0x12, 0xa2, 0xcd, 0xbe},
    {0x12, 0xab, 0xc1, 0xde},
    {0xa1, 0x1d, 0x1c, 0xbe},
    {0xa1, 0x12, 0xbc, 0xde},
    {0xa1, 0x1c, 0xb1, 0xde},
    {0xa1, 0xb1, 0xc1, 0xde},
    {0x1d, 0x1c, 0xab},
    {0x1c, 0xa1, 0xbd},
    {0x12, 0xab, 0xcd},
    {0xa1, 0x1c, 0xbd},
    {0xa1, 0xb1, 0xcd},
    {0xa1, 0xbc},
    {0xab},
    {0x00},  // the last: group 0 always, no bits
};

unsigned Pm1Group(TPm1State& S) {
  const uint8_t* row = kPm1Trees[S.Tree];
  if (row[0] == 0) return 0;
  for (unsigned at = 0;;) {
    const unsigned child = S.In.Get(1) ? row[at] & 0x0F : row[at] >> 4;
    if (child >= 10) return child - 10;
    at += child;
    if (child == 0 || at >= 5) DecodeFail(drDataError, "literal tree without a leaf");
  }
}

unsigned Pm1BlockLength(TMsbBitReader& In) {
  unsigned x = In.Get(2);
  if (x < 3) return x + 1;
  x = In.Get(3);
  if (x < 7) return x + 4;
  x = In.Get(4);
  if (x < 14) return x + 11;
  return x == 14 ? In.Get(6) + 25 : In.Get(7) + 89;
}

// A run of literals, then (unless the run has the longest length) a copy.
void Pm1Literals(TPm1State& S) {
  static const TRange groups[] = {{0, 4}, {16, 4}, {32, 5}, {64, 6}, {128, 6}, {192, 6}};
  const unsigned n = Pm1BlockLength(S.In);
  for (unsigned i = 0; i < n; ++i) {
    if (S.Out.Total() >= S.Size) return;
    const unsigned steps = ReadRange(S.In, groups, Pm1Group(S));
    PutPm1(S, S.Recent.Find(steps & 0xFF));
  }
  if (n < 216 && S.Out.Total() < S.Size) Pm1Copy(S);
}

void UnpackPm1(TPm1State& S) {
  S.Tree = S.In.Get(5);
  while (S.Out.Total() < S.Size) {
    if (S.In.Get(1))
      Pm1Literals(S);
    else
      Pm1Copy(S);
    CheckPm1Input(S);
  }
}

}  // namespace

TDecodeStatus LzhUnpackPm1(const TDecoderIO& IO, int) {
  const int64_t size = std::max<int64_t>(IO.UncompressedSize, 0);
  return DecodeWith<TPm1State>([](TPm1State& S) { UnpackPm1(S); }, IO, size);
}

TDecodeStatus LzhUnpackPm2(const TDecoderIO& IO, int) {
  const int64_t size = std::max<int64_t>(IO.UncompressedSize, 0);
  return DecodeWith<TPm2State>([](TPm2State& S) { UnpackPm2(S); }, IO, size);
}

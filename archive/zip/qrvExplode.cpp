#include "archive/zip/qrvExplode.h"

#include <algorithm>
#include <climits>

#include "archive/core/qrvDecoder.h"

namespace {

constexpr unsigned kRoot = 9;

struct TExplodeState {
  explicit TExplodeState(const TDecoderIO& IO) : In(IO), Out(IO, 32768, 32768) {}
  TBitReader In;
  TWindowOutput Out;  // history is zero before the start of the entry
  THuffman Literal, Length, Distance;
  uint32_t LiteralPayload[256];
  uint32_t LengthPayload[64];
  uint32_t DistancePayload[64];
};

// A tree is sent as run-length coded code lengths: a count of bytes minus one, then per byte the
// length (low nibble + 1) and how many codes have it (high nibble + 1).
void ReadTree(TExplodeState& S, THuffman& Tree, unsigned Codes, const uint32_t* Payload) {
  uint8_t lengths[256];
  unsigned bytes = S.In.GetReal(8) + 1;
  unsigned k = 0;
  for (unsigned i = 0; i < bytes; ++i) {
    uint32_t b = S.In.GetReal(8);
    unsigned len = (b & 15) + 1;
    unsigned count = (b >> 4) + 1;
    if (count > Codes - k) DecodeFail(drDataError, "tree has too many code lengths");
    std::fill(lengths + k, lengths + k + count, static_cast<uint8_t>(len));
    k += count;
  }
  if (k != Codes) DecodeFail(drDataError, "tree has too few code lengths");
  if (!Tree.Build(lengths, Codes, Payload, kRoot, hpComplete))
    DecodeFail(drDataError, "tree is not a complete prefix code");
}

// Shannon-Fano codes are canonical codes sent with their bits inverted.
uint32_t DecodeSymbol(TBitReader& In, const THuffman& Tree) {
  In.Fill();
  uint32_t e = Tree.Lookup(~In.Bits);
  In.Drop(HuffLen(e));
  return HuffValue(e);
}

void Decode(TExplodeState& S, uint16_t Flags, int64_t Size) {
  const bool bigDictionary = (Flags & 0x0002) != 0;
  const bool literalTree = (Flags & 0x0004) != 0;
  const unsigned lowBits = bigDictionary ? 7 : 6;
  const unsigned minLength = literalTree ? 3 : 2;
  for (unsigned i = 0; i < 256; ++i) S.LiteralPayload[i] = HuffEntry(hkLiteral, i);
  for (unsigned i = 0; i < 64; ++i) {
    S.LengthPayload[i] = HuffEntry(hkBase, minLength + i, i == 63 ? 8 : 0);
    S.DistancePayload[i] = HuffEntry(hkBase, 1 + (i << lowBits));
  }
  if (literalTree) ReadTree(S, S.Literal, 256, S.LiteralPayload);
  ReadTree(S, S.Length, 64, S.LengthPayload);
  ReadTree(S, S.Distance, 64, S.DistancePayload);

  TBitReader& In = S.In;
  TWindowOutput& Out = S.Out;
  // Each symbol is checked against the end of the input before it is output.
  while (Out.Total() < Size) {
    In.Fill();
    if (In.Get(1)) {
      uint32_t literal = literalTree ? DecodeSymbol(In, S.Literal) : In.Get(8);
      In.CheckOverrun();
      Out.Put(static_cast<uint8_t>(literal));
      continue;
    }
    uint32_t low = In.Get(lowBits);
    size_t distance = DecodeSymbol(In, S.Distance) + low;
    In.Fill();
    uint32_t e = S.Length.Lookup(~In.Bits);
    In.Drop(HuffLen(e));
    size_t length = HuffValue(e) + In.Get(HuffExtra(e));
    In.CheckOverrun();
    Out.Copy(distance, static_cast<size_t>(std::min<int64_t>(length, Size - Out.Total())));
  }
}

}  // namespace

TDecodeStatus Explode(const TDecoderIO& IO, uint16_t Flags) {
  const int64_t size = IO.UncompressedSize >= 0 ? IO.UncompressedSize : INT64_MAX;
  if (size == 0) return TDecodeStatus{};  // an empty file: nothing to read
  return DecodeWith<TExplodeState>([&](TExplodeState& S) { Decode(S, Flags, size); }, IO);
}

#include "archive/zip/qrvInflate64.h"

#include <array>

#include "archive/core/qrvDecoder.h"

namespace {

constexpr size_t kWindow = 65536;
constexpr unsigned kLitRoot = 10;
constexpr unsigned kDistRoot = 8;
constexpr unsigned kMaxLitLen = 288;
constexpr unsigned kMaxDist = 32;

// Payloads of the literal/length alphabet: 286 and 287 have no meaning.
constexpr std::array<uint32_t, kMaxLitLen> MakeLitPayload() {
  constexpr uint16_t base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 3};
  constexpr uint8_t extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16};
  std::array<uint32_t, kMaxLitLen> p{};
  for (unsigned i = 0; i < 256; ++i) p[i] = HuffEntry(hkLiteral, i);
  p[256] = HuffEntry(hkEnd, 0);
  for (unsigned i = 0; i < 29; ++i) p[257 + i] = HuffEntry(hkBase, base[i], extra[i]);
  p[286] = p[287] = HuffEntry(hkInvalid, 0);
  return p;
}

constexpr std::array<uint32_t, kMaxDist> MakeDistPayload() {
  std::array<uint32_t, kMaxDist> p{};
  uint32_t base = 1;
  for (unsigned i = 0; i < kMaxDist; ++i) {
    unsigned extra = i < 4 ? 0 : i / 2 - 1;
    p[i] = HuffEntry(hkBase, base, extra);
    base += 1u << extra;
  }
  return p;
}

constexpr std::array<uint32_t, 19> MakeCodeLenPayload() {
  std::array<uint32_t, 19> p{};
  for (unsigned i = 0; i < 19; ++i) p[i] = HuffEntry(hkLiteral, i);
  return p;
}

constexpr auto kLitPayload = MakeLitPayload();
constexpr auto kDistPayload = MakeDistPayload();
constexpr auto kCodeLenPayload = MakeCodeLenPayload();
constexpr uint8_t kCodeLenOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

static_assert(HuffValue(kDistPayload[29]) == 24577 && HuffValue(kDistPayload[30]) == 32769 &&
              HuffValue(kDistPayload[31]) == 49153 && HuffExtra(kDistPayload[31]) == 14);

// The whole decoder state, one record per entry.
struct TInflate64State {
  explicit TInflate64State(const TDecoderIO& IO) : In(IO), Out(IO, kWindow, kWindow) {}
  TBitReader In;
  TWindowOutput Out;
  THuffman Lit, Dist, CodeLen;
  THuffman FixedLit, FixedDist;
  bool FixedBuilt = false;
  uint8_t Lengths[kMaxLitLen + kMaxDist];
};

void StoredBlock(TInflate64State& S) {
  TBitReader& In = S.In;
  In.AlignToByte();
  uint32_t len = In.Get(16);
  uint32_t nlen = In.Get(16);
  In.CheckOverrun();
  if (len != (~nlen & 0xFFFF)) DecodeFail(drDataError, "stored block length does not match its complement");
  TWindowOutput& Out = S.Out;
  while (len > 0) {
    uint32_t n = std::min<uint32_t>(len, static_cast<uint32_t>(Out.Limit - Out.Pos));
    In.ReadBytes(Out.Pos, n);
    In.CheckOverrun();
    Out.Pos += n;
    len -= n;
    if (Out.Pos == Out.Limit) Out.Slide();
  }
}

void BuildFixed(TInflate64State& S) {
  uint8_t* l = S.Lengths;
  for (unsigned i = 0; i < kMaxLitLen; ++i) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  S.FixedLit.Build(l, kMaxLitLen, kLitPayload.data(), kLitRoot, hpComplete);
  // All 32 distance codes have length 5: 7-Zip's Deflate64 encoder uses codes 30 and 31 in
  // fixed blocks too, and its decoder accepts them.
  std::fill(l, l + kMaxDist, 5);
  S.FixedDist.Build(l, kMaxDist, kDistPayload.data(), kDistRoot, hpComplete);
  S.FixedBuilt = true;
}

void DynamicHeader(TInflate64State& S) {
  TBitReader& In = S.In;
  unsigned nlit = In.Get(5) + 257;
  unsigned ndist = In.Get(5) + 1;
  unsigned ncode = In.Get(4) + 4;
  uint8_t codeLens[19] = {};
  for (unsigned i = 0; i < ncode; ++i) codeLens[kCodeLenOrder[i]] = static_cast<uint8_t>(In.Get(3));
  In.CheckOverrun();
  if (!S.CodeLen.Build(codeLens, 19, kCodeLenPayload.data(), 7, hpComplete))
    DecodeFail(drDataError, "bad code-length code");

  uint8_t* lens = S.Lengths;
  unsigned total = nlit + ndist;
  for (unsigned i = 0; i < total;) {
    In.Fill();
    In.CheckOverrun();
    uint32_t e = S.CodeLen.Lookup(In.Bits);
    if (HuffKindOf(e) != hkLiteral) DecodeFail(drDataError, "bad code-length symbol");
    In.Drop(HuffLen(e));
    unsigned sym = HuffValue(e);
    if (sym < 16) {
      lens[i++] = static_cast<uint8_t>(sym);
      continue;
    }
    uint8_t value = 0;
    unsigned repeat;
    if (sym == 16) {
      value = i > 0 ? lens[i - 1] : 0;
      repeat = 3 + In.Get(2);
    } else if (sym == 17) {
      repeat = 3 + In.Get(3);
    } else {
      repeat = 11 + In.Get(7);
    }
    if (repeat > total - i) DecodeFail(drDataError, "code-length repeat runs past the end");
    std::fill(lens + i, lens + i + repeat, value);
    i += repeat;
  }
  In.CheckOverrun();
  if (lens[256] == 0) DecodeFail(drDataError, "no end-of-block code");
  if (!S.Lit.Build(lens, nlit, kLitPayload.data(), kLitRoot, hpSingleAllowed))
    DecodeFail(drDataError, "bad literal/length code");
  if (!S.Dist.Build(lens + nlit, ndist, kDistPayload.data(), kDistRoot, hpIncompleteAllowed))
    DecodeFail(drDataError, "bad distance code");
}

// Decodes the symbols of one block up to its end code. The bit buffer and the output position
// live in locals here and go back to the state record around every call that needs them.
void DecodeCodes(TInflate64State& S, const THuffman& Lit, const THuffman& Dist) {
  TBitReader& In = S.In;
  TWindowOutput& Out = S.Out;
  uint64_t hold = In.Bits;
  unsigned bits = In.Count;
  const uint8_t* in = In.Next;
  const uint8_t* inEnd = In.End;
  uint8_t* out = Out.Pos;
  uint8_t* outEnd = Out.Limit;

  auto save = [&] {
    In.Bits = hold;
    In.Count = bits;
    In.Next = in;
    Out.Pos = out;
  };
  auto load = [&] {
    hold = In.Bits;
    bits = In.Count;
    in = In.Next;
    inEnd = In.End;
    out = Out.Pos;
  };
  auto refill = [&] {
    if (inEnd - in >= 8) {
      TBitReader::FastFill(hold, bits, in);
    } else {
      save();
      In.FillSlow();
      In.CheckOverrun();
      load();
    }
  };
  auto take = [&](unsigned n) {
    uint32_t v = static_cast<uint32_t>(hold & ((uint64_t(1) << n) - 1));
    hold >>= n;
    bits -= n;
    return v;
  };
  auto fail = [&](const char* reason) {
    save();
    DecodeFail(drDataError, reason);
  };

  for (;;) {
    refill();
    uint32_t e = Lit.Lookup(hold);
    take(HuffLen(e));
    THuffKind kind = HuffKindOf(e);
    if (kind == hkLiteral) {
      *out++ = static_cast<uint8_t>(HuffValue(e));
      if (out == outEnd) {
        save();
        Out.Slide();
        load();
      }
      continue;
    }
    if (kind == hkEnd) break;
    if (kind != hkBase) fail("invalid literal/length code");
    size_t length = HuffValue(e) + take(HuffExtra(e));
    refill();
    e = Dist.Lookup(hold);
    take(HuffLen(e));
    if (HuffKindOf(e) != hkBase) fail("invalid distance code");
    size_t dist = HuffValue(e) + take(HuffExtra(e));
    if (static_cast<int64_t>(dist) > Out.Total(out)) fail("distance beyond the start of the data");
    if (length < static_cast<size_t>(outEnd - out)) {
      TWindowOutput::CopyMatch(out, dist, length);
      out += length;
    } else {
      save();
      Out.Copy(dist, length);
      load();
    }
  }
  save();
}

void DecodeStream(TInflate64State& S) {
  TBitReader& In = S.In;
  for (bool last = false; !last;) {
    last = In.Get(1) != 0;
    unsigned type = In.Get(2);
    In.CheckOverrun();
    switch (type) {
      case 0: StoredBlock(S); break;
      case 1:
        if (!S.FixedBuilt) BuildFixed(S);
        DecodeCodes(S, S.FixedLit, S.FixedDist);
        break;
      case 2:
        DynamicHeader(S);
        DecodeCodes(S, S.Lit, S.Dist);
        break;
      default: DecodeFail(drDataError, "invalid block type");
    }
  }
  In.CheckOverrun();
}

}  // namespace

TDecodeStatus Inflate64(const TDecoderIO& IO) { return DecodeWith<TInflate64State>(DecodeStream, IO); }

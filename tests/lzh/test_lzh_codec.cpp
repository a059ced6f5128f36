// The lh5/lh6 encoder against the decoders, hand-built blocks for the decoders' edge cases, and
// damaged or random input for every LZH decoder (run under ASan/UBSan: no finding, no hang).
#include <gtest/gtest.h>

#include <random>

#include "archive/lzh/qrvLhaPack.h"
#include "archive/lzh/qrvLzh3.h"
#include "archive/lzh/qrvlzh5.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

struct Packed {
  TLzhEncodeResult Result;
  std::string Bytes;
};

Packed Encode(const std::string& In, const TLzhMethod& M) {
  size_t at = 0;
  Packed p;
  TLzhEncodeIO io;
  io.Read = [&](uint8_t* Buf, int64_t N) {
    const size_t n = std::min(size_t(N), In.size() - at);
    std::copy_n(In.data() + at, n, Buf);
    at += n;
    return int64_t(n);
  };
  io.Write = [&](const uint8_t* D, int64_t N) { p.Bytes.append(reinterpret_cast<const char*>(D), size_t(N)); };
  int64_t size = 0;
  p.Result = LzhEncode(io, M, size);
  if (p.Result == erPacked) {
    EXPECT_EQ(size_t(size), p.Bytes.size());
  }
  return p;
}

struct Decoded {
  TDecodeStatus Status;
  std::string Out;
};

using TRun = TDecodeStatus (*)(const TDecoderIO&, int);

// Decodes with Run(Param), reading in pieces of at most Pieces bytes; the sink refuses output
// beyond Cap.
Decoded DecodeBy(TRun Run, int Param, const std::string& In, int64_t Size, size_t Pieces = 1 << 20,
                 size_t Cap = 1 << 24) {
  Decoded d;
  size_t at = 0;
  TDecoderIO io;
  io.Read = [&](uint8_t* Buf, int64_t N) {
    const size_t n = std::min({size_t(N), In.size() - at, Pieces});
    std::copy_n(In.data() + at, n, Buf);
    at += n;
    return int64_t(n);
  };
  io.Write = [&](const uint8_t* D, int64_t N) -> int64_t {
    if (d.Out.size() + size_t(N) > Cap) return 0;
    d.Out.append(reinterpret_cast<const char*>(D), size_t(N));
    return N;
  };
  io.CompressedSize = int64_t(In.size());
  io.UncompressedSize = Size;
  d.Status = Run(io, Param);
  return d;
}

// The static decoder of DicBit, or lh1 for DicBit 0.
Decoded Decode(int DicBit, const std::string& In, int64_t Size, size_t Pieces = 1 << 20, size_t Cap = 1 << 24) {
  return DecodeBy(DicBit == 0 ? LzhUnpackAdaptive : LzhUnpackStatic, DicBit, In, Size, Pieces, Cap);
}

// Bits most significant first.
class MsbBits {
 public:
  MsbBits& Put(unsigned N, uint32_t V) {
    for (unsigned i = N; i-- > 0;) bits_.push_back((V >> i) & 1);
    return *this;
  }
  std::string Bytes() const {
    std::string out((bits_.size() + 7) / 8 + 8, '\0');
    for (size_t i = 0; i < bits_.size(); ++i)
      if (bits_[i]) out[i / 8] = char(out[i / 8] | 0x80 >> (i % 8));
    return out;
  }

 private:
  std::vector<bool> bits_;
};

std::string Mutate(std::string S, std::mt19937& Rng) {
  switch (Rng() % 3) {
    case 0: S.resize(Rng() % (S.size() + 1)); break;
    case 1:
      for (int i = 0; i < 4 && !S.empty(); ++i) S[Rng() % S.size()] ^= char(1 << (Rng() % 8));
      break;
    default:
      for (size_t i = Rng() % (S.size() + 1); i < S.size(); ++i) S[i] = char(Rng());
      break;
  }
  return S;
}

}  // namespace

TEST(LzhCodec, EncoderRoundTrips) {
  std::string far;  // repeats at 12,000 bytes: beyond lh5's window, inside lh6's
  const std::string unit = RandomBytes(12000, 7);
  for (int i = 0; i < 8; ++i) far += unit;
  const struct {
    const char* Label;
    std::string Data;
  } inputs[] = {
      {"one byte", "x"},
      {"text across many blocks", TextBytes(400000, 3)},
      {"one byte value", std::string(300000, 'a')},
      {"distant repeats", far},
  };
  for (const auto& in : inputs)
    for (const TLzhMethod& m : {LzhMethod5, LzhMethod6}) {
      SCOPED_TRACE(std::string(in.Label) + " lh" + m.Char);
      const Packed p = Encode(in.Data, m);
      // One byte cannot pay; repeats 12,000 bytes apart are out of lh5's reach.
      if (in.Data.size() == 1 || (in.Data == far && m.Char == '5')) {
        EXPECT_EQ(int(p.Result), int(erIncompressible));
        continue;
      }
      ASSERT_EQ(p.Result, erPacked);
      EXPECT_LT(p.Bytes.size(), in.Data.size());
      // lh6 as written never reaches 16 KiB back: a 16 KiB decoder reads it too.
      for (int bits : {m.Char == '5' ? 13 : 15, m.DicBit}) {
        const Decoded d = Decode(bits, p.Bytes, int64_t(in.Data.size()), 1000);
        EXPECT_TRUE(d.Status.Ok()) << d.Status.Reason;
        EXPECT_TRUE(d.Out == in.Data);
      }
    }
  EXPECT_EQ(int(Encode(RandomBytes(100000, 9), LzhMethod6).Result), int(erIncompressible));
}

TEST(LzhCodec, HandBuiltBlocks) {
  const struct {
    const char* Label;
    std::string Stream;
    TDecodeResult Result;
    std::string Out;
  } cases[] = {
      {"block of 0 symbols", MsbBits().Put(16, 0).Bytes(), drDataError, ""},
      {"code-length count above 19", MsbBits().Put(16, 1).Put(5, 20).Bytes(), drDataError, ""},
      {"literal count above 510", MsbBits().Put(16, 1).Put(5, 0).Put(5, 0).Put(9, 511).Bytes(), drDataError, ""},
      {"position count above NP", MsbBits().Put(16, 1).Put(5, 0).Put(5, 0).Put(9, 0).Put(9, 'A').Put(4, 15).Bytes(),
       drDataError, ""},
      {"single symbols: no bits per code",
       MsbBits().Put(16, 5).Put(5, 0).Put(5, 0).Put(9, 0).Put(9, 'A').Put(4, 0).Put(4, 0).Bytes(), drSuccess, "AAAAA"},
      // Code lengths 2, 2, 1 for symbols 0-2; then symbol 2 with a run of 20 + 511 zeros.
      {"zero run beyond the table",
       MsbBits().Put(16, 1).Put(5, 3).Put(3, 2).Put(3, 2).Put(3, 1).Put(2, 0).Put(9, 510).Put(1, 0).Put(9, 511).Bytes(),
       drDataError, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    const Decoded d = Decode(13, c.Stream, int64_t(c.Out.size() ? c.Out.size() : 10));
    EXPECT_EQ(d.Status.Result, c.Result) << d.Status.Reason;
    if (c.Result == drSuccess) {
      EXPECT_EQ(d.Out, c.Out);
    }
  }
}

TEST(LzhCodec, DamagedAndRandomInputEndsWithAnOutcome) {
  std::mt19937 rng(42);
  const std::string text = TextBytes(60000, 5);
  for (const TLzhMethod& m : {LzhMethod5, LzhMethod6}) {
    const Packed p = Encode(text, m);
    int noticed = 0;
    for (int i = 0; i < 150; ++i) {
      const Decoded d = Decode(m.DicBit, Mutate(p.Bytes, rng), int64_t(text.size()), 1 + rng() % 5000);
      ASSERT_LE(d.Out.size(), text.size());
      noticed += !d.Status.Ok() || d.Out != text;
    }
    EXPECT_GT(noticed, 100);
  }
  for (int bits : {0, 12, 13, 15, 16})
    for (int i = 0; i < 200; ++i) {
      std::string junk(rng() % 3000, '\0');
      for (char& c : junk) c = char(rng());
      const int64_t size = rng() % 50000;
      const Decoded d = Decode(bits, junk, size, 1 + rng() % 700);
      ASSERT_NE(d.Status.Result, drCancelled);
      ASSERT_LE(int64_t(d.Out.size()), size);
    }
}

// Real streams of the older methods: whole, each decodes to its size and CRC; damaged or replaced
// by junk, each ends with an outcome and never writes past the declared size.
TEST(LzhCodec, OlderMethodsOnRealAndDamagedStreams) {
  const std::pair<const char*, TRun> rows[] = {
      {"lh2.lzh", LzhUnpackLh2}, {"lh3.lzh", LzhUnpackLh3}, {"pm1.pma", LzhUnpackPm1}, {"pm2.pma", LzhUnpackPm2}};
  std::mt19937 rng(7);
  for (const auto& [file, run] : rows) {
    SCOPED_TRACE(file);
    const std::string bytes = ReadFile(fs::path(BREL_SOURCE_DIR) / "tests/lzh/data/older" / file);
    TMemoryStream32 s;
    s.Write(bytes.data(), int32_t(bytes.size()));
    TLhaHeader h;
    ASSERT_EQ(LhaReadHeader(s, 0, s.Size(), false, h), lrEntry);
    const std::string packed = bytes.substr(size_t(h.DataOffset), size_t(h.PackedSize));
    const Decoded whole = DecodeBy(run, 0, packed, h.Size, 333);
    EXPECT_TRUE(whole.Status.Ok()) << whole.Status.Reason;
    EXPECT_EQ(UpdateCrc16(Crc16Init, whole.Out.data(), whole.Out.size()), h.Crc);
    int noticed = 0;
    for (int i = 0; i < 150; ++i) {
      const Decoded d = DecodeBy(run, 0, Mutate(packed, rng), h.Size, 1 + rng() % 3000);
      ASSERT_LE(int64_t(d.Out.size()), h.Size);
      noticed += !d.Status.Ok() || d.Out != whole.Out;
    }
    EXPECT_GT(noticed, 100);
    for (int i = 0; i < 150; ++i) {
      std::string junk(rng() % 3000, '\0');
      for (char& c : junk) c = char(rng());
      const int64_t size = rng() % 50000;
      const Decoded d = DecodeBy(run, 0, junk, size, 1 + rng() % 700);
      ASSERT_NE(d.Status.Result, drCancelled);
      ASSERT_LE(int64_t(d.Out.size()), size);
    }
  }
}

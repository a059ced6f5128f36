#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvStreams.h"

namespace {

std::string Sample(size_t N, unsigned Seed = 5) {
  // Compressible text with some noise, so deflate fills several output buffers at size.
  std::mt19937 Rng(Seed);
  std::string S;
  while (S.size() < N) {
    S += "entry " + std::to_string(Rng() % 1000) + " ";
    if (Rng() % 7 == 0) S += static_cast<char>(Rng());
  }
  S.resize(N);
  return S;
}

std::string Contents(TMemoryStream32& M) {
  return std::string(static_cast<char*>(M.Memory()), static_cast<size_t>(M.Size()));
}

// Raw deflate of Data through TCompressStream with level index Level.
std::string Deflate(const std::string& Data, int Level, TStreamState& State, bool Encrypt = false) {
  TMemoryStream32 Out;
  {
    TCompressStream C(Out, Level, -15, &State);
    C.Encrypt = Encrypt;
    for (size_t Pos = 0; Pos < Data.size(); Pos += 70000) {
      const auto N = static_cast<int32_t>(std::min<size_t>(70000, Data.size() - Pos));
      EXPECT_EQ(C.Write(Data.data() + Pos, N), N);
    }
    EXPECT_EQ(C.Seek(0, soFromCurrent), static_cast<int64_t>(Data.size()));
    EXPECT_EQ(C.Seek(1, soFromCurrent), -1);
    EXPECT_TRUE(C.Finish());
  }
  return Contents(Out);
}

// zlib's own raw inflate, independent of TDecompressStream.
std::string ZlibInflate(const std::string& Packed, size_t Size) {
  std::string Out(Size, '\0');
  z_stream Z{};
  EXPECT_EQ(inflateInit2(&Z, -15), Z_OK);
  Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Packed.data()));
  Z.avail_in = static_cast<uInt>(Packed.size());
  Z.next_out = reinterpret_cast<Bytef*>(Out.data());
  Z.avail_out = static_cast<uInt>(Size);
  EXPECT_EQ(inflate(&Z, Z_FINISH), Z_STREAM_END);
  inflateEnd(&Z);
  return Out;
}

TEST(FilterStreams, CompressAtEveryLevelAndKeepTheRunningCrc) {
  const std::string Data = Sample(700000);
  size_t Previous = 0;
  for (int Level = 0; Level < 4; ++Level) {
    SCOPED_TRACE(Level);
    TStreamState State;
    State.Crc32Val = Crc32Init;
    const std::string Packed = Deflate(Data, Level, State);
    EXPECT_EQ(ZlibInflate(Packed, Data.size()), Data);
    EXPECT_EQ(State.Crc32Val ^ 0xFFFFFFFFu, Crc32Of(Data.data(), Data.size()));
    if (Level == 0) {
      EXPECT_GT(Packed.size(), Data.size());  // stored blocks
    }
    if (Level == 3) {
      EXPECT_LE(Packed.size(), Previous);
    }
    Previous = Packed.size();
  }
}

TEST(FilterStreams, CompressionCountsProgressAndStopsOnCancel) {
  const std::string Data = Sample(2000000, 9);
  TMemoryStream32 Out;
  TStreamState State;
  bool Cancel = false;
  int64_t ToGo = static_cast<int64_t>(Data.size());
  int Steps = 0;
  {
    TCompressStream C(Out, 0, -15, &State);
    C.CancelFlag = &Cancel;
    C.BytesToGo = &ToGo;
    C.OnProgress = [&] { ++Steps; };
    EXPECT_EQ(C.Write(Data.data(), 1000000), 1000000);
    EXPECT_GT(Steps, 0);
    EXPECT_LT(ToGo, static_cast<int64_t>(Data.size()));
    Cancel = true;
    EXPECT_EQ(C.Write(Data.data() + 1000000, 1000000), 0);
    EXPECT_FALSE(C.Finish());
  }
  TMemoryStream32 Out2;
  ToGo = static_cast<int64_t>(Data.size());
  uint32_t Crc = 0;
  TMemoryStream32 In;
  In.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
  EXPECT_TRUE(DeflateStream(In, Out2, 2, false, Crc, nullptr, &ToGo, {}, &State));
  EXPECT_EQ(ToGo, 0);  // every input byte counted off
  EXPECT_EQ(Crc, Crc32Of(Data.data(), Data.size()));
  EXPECT_EQ(ZlibInflate(Contents(Out2), Data.size()), Data);
}

TEST(FilterStreams, EncipheredDeflateRoundTrips) {
  const std::string Data = Sample(300000, 11);
  TStreamState State;
  State.Cipher.Init("secret");
  State.Crc32Val = 0x12345678;  // computed beforehand for an enciphered entry: left alone
  const std::string Packed = Deflate(Data, 2, State, true);
  EXPECT_EQ(State.Crc32Val, 0x12345678u);
  TStreamState Reader;
  Reader.Cipher.Init("secret");
  TMemoryStream32 Src;
  Src.WriteBuffer(Packed.data(), static_cast<int64_t>(Packed.size()));
  Src.SetPosition(0);
  TDecompressStream D(Src, -15, &Reader);
  D.Encrypt = true;
  std::string Out(Data.size() + 10, '\0');
  EXPECT_EQ(D.Read(Out.data(), static_cast<int32_t>(Out.size())), static_cast<int32_t>(Data.size()));
  Out.resize(Data.size());
  EXPECT_EQ(Out, Data);
}

// Deflate data followed by trailing bytes that belong to the next record.
struct TPacked {
  std::string Data, Packed;
  TMemoryStream32 Src;
  explicit TPacked(size_t N) : Data(Sample(N, 13)) {
    TStreamState State;
    Packed = Deflate(Data, 2, State);
    Src.WriteBuffer("HEAD", 4);
    Src.WriteBuffer(Packed.data(), static_cast<int64_t>(Packed.size()));
    Src.WriteBuffer("NEXT", 4);
    Src.SetPosition(4);
  }
};

TEST(FilterStreams, ReadingPastTheEndReturnsLessAndSetsEndOfData) {
  TPacked P(50000);
  {
    TDecompressStream D(P.Src, -15);
    std::string Out(60000, '\0');
    EXPECT_EQ(D.Read(Out.data(), 30000), 30000);
    EXPECT_FALSE(D.EndOfData());
    EXPECT_EQ(D.Read(Out.data() + 30000, 30000), 20000);
    EXPECT_TRUE(D.EndOfData());
    EXPECT_FALSE(D.NeedsInput());
    EXPECT_EQ(D.Read(Out.data(), 100), 0);
    Out.resize(50000);
    EXPECT_EQ(Out, P.Data);
    EXPECT_EQ(D.Position(), 50000);
  }
  // The unconsumed read-ahead went back: the source stands at the next record.
  char Next[4];
  P.Src.ReadBuffer(Next, 4);
  EXPECT_EQ(std::string(Next, 4), "NEXT");
}

TEST(FilterStreams, TruncatedAndCorruptInputEndsWithoutHanging) {
  TPacked P(200000);
  // Truncated: the source ends early.
  TMemoryStream32 Short;
  Short.WriteBuffer(P.Packed.data(), static_cast<int64_t>(P.Packed.size() / 2));
  Short.SetPosition(0);
  TDecompressStream D(Short, -15);
  std::string Out(300000, '\0');
  const int32_t N = D.Read(Out.data(), static_cast<int32_t>(Out.size()));
  EXPECT_GT(N, 0);
  EXPECT_LT(N, 200000);
  EXPECT_TRUE(D.NeedsInput());
  EXPECT_FALSE(D.EndOfData());
  EXPECT_EQ(D.Read(Out.data(), 100), 0);

  // InputLimit bounds the compressed bytes taken, whatever follows in the source.
  P.Src.SetPosition(4);
  TDecompressStream L(P.Src, -15);
  L.InputLimit = 1000;
  EXPECT_LT(L.Read(Out.data(), static_cast<int32_t>(Out.size())), 200000);
  EXPECT_EQ(L.InputRead(), 1000);
  EXPECT_TRUE(L.NeedsInput());

  // Corrupt: a block type 3 is an inflate error, returned as a negative count.
  TMemoryStream32 Bad;
  Bad.WriteBuffer("\x07\x00\x00\x00", 4);
  Bad.SetPosition(0);
  TDecompressStream E(Bad, -15);
  EXPECT_EQ(E.Read(Out.data(), 100), Z_DATA_ERROR);
  EXPECT_EQ(E.Read(Out.data(), 100), Z_DATA_ERROR);

  // Random bytes: an error or a short read, never a hang or an overrun.
  std::mt19937 Rng(3);
  for (int Round = 0; Round < 200; ++Round) {
    std::string Noise(1 + Rng() % 3000, '\0');
    for (auto& C : Noise) C = static_cast<char>(Rng());
    TMemoryStream32 Src;
    Src.WriteBuffer(Noise.data(), static_cast<int64_t>(Noise.size()));
    Src.SetPosition(0);
    TDecompressStream R(Src, -15);
    EXPECT_LE(R.Read(Out.data(), 65536), 65536);
  }
}

TEST(FilterStreams, DecompressSeeksForwardAndRestarts) {
  TPacked P(100000);
  TDecompressStream D(P.Src, -15);
  EXPECT_EQ(D.Seek(70000, soFromBeginning), 70000);
  char Buf[10];
  D.ReadBuffer(Buf, 10);
  EXPECT_EQ(std::string(Buf, 10), P.Data.substr(70000, 10));
  EXPECT_EQ(D.Seek(0, soFromBeginning), 0);  // restarts from the data's start
  D.ReadBuffer(Buf, 10);
  EXPECT_EQ(std::string(Buf, 10), P.Data.substr(0, 10));
  EXPECT_EQ(D.Seek(-5, soFromCurrent), 5);
  D.ReadBuffer(Buf, 10);
  EXPECT_EQ(std::string(Buf, 10), P.Data.substr(5, 10));
  EXPECT_EQ(D.Seek(0, soFromEnd), -1);
  EXPECT_EQ(D.Seek(500000, soFromBeginning), 100000);  // stops at the end of the data
}

TEST(FilterStreams, CopyFromADecompressorReadsToItsEnd) {
  TPacked P(300000);
  P.Src.SetPosition(0);
  TMemoryStream32 Raw;
  Raw.WriteBuffer(P.Packed.data(), static_cast<int64_t>(P.Packed.size()));
  Raw.SetPosition(0);
  TDecompressStream D(Raw, -15);
  TMemoryStream32 Out;
  EXPECT_EQ(Out.CopyFrom(D, 0), 300000);
  EXPECT_EQ(Contents(Out), P.Data);
}

TEST(FilterStreams, StoreStreamChecksumsAndEnciphers) {
  const std::string Data = Sample(250000, 17);
  for (int Bits : {16, 32}) {
    SCOPED_TRACE(Bits);
    TStreamState State;
    State.Crc16Val = 0x1111;
    State.Crc32Val = 0x2222;
    TMemoryStream32 Out;
    TMemoryStream32 In;
    In.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
    int64_t ToGo = 1000000;
    TStoreStream S(Out, false, Bits, &State);
    S.BytesToGo = &ToGo;
    EXPECT_EQ(S.CopyFrom(In, 0), static_cast<int64_t>(Data.size()));
    EXPECT_EQ(Contents(Out), Data);
    EXPECT_EQ(ToGo, 1000000 - static_cast<int64_t>(Data.size()));
    if (Bits == 16) {
      EXPECT_EQ(State.Crc16Val, Crc16Of(Data.data(), Data.size()));
    } else {
      EXPECT_EQ(State.Crc32Val ^ 0xFFFFFFFFu, Crc32Of(Data.data(), Data.size()));
    }
  }
  // Enciphered: the running value stays, the output deciphers back, the caller's buffer is plain.
  TStreamState State;
  State.Crc32Val = 0xABCDEF01;
  State.Cipher.Init("pw");
  TMemoryStream32 Out;
  std::string Copy = Data;
  {
    TStoreStream S(Out, true, 32, &State);
    S.WriteBuffer(Copy.data(), static_cast<int64_t>(Copy.size()));
  }
  EXPECT_EQ(Copy, Data);
  EXPECT_EQ(State.Crc32Val, 0xABCDEF01u);
  std::string Cipher = Contents(Out);
  EXPECT_NE(Cipher, Data);
  TZipCipher Dec;
  Dec.Init("pw");
  Dec.Decrypt(Cipher.data(), Cipher.size());
  EXPECT_EQ(Cipher, Data);
}

TEST(FilterStreams, FiltersPutAMovedStreamBack) {
  TMemoryStream32 Out;
  TStreamState State;
  TStoreStream S(Out, false, 32, &State);
  S.WriteBuffer("first", 5);
  Out.SetPosition(0);  // someone else moves the target
  S.WriteBuffer("second", 6);
  EXPECT_EQ(Contents(Out), "firstsecond");
}

TEST(FilterStreams, CalcStreamCrcOnlyChecksums) {
  const std::string Data = Sample(400000, 19);
  TMemoryStream32 In;
  In.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
  TStreamState State;
  int64_t ToGo = static_cast<int64_t>(Data.size());
  int Steps = 0;
  TCalcStreamCRC C32(
      In, 0, 32, true, nullptr, &ToGo, [&] { ++Steps; }, &State);
  EXPECT_EQ(C32.Crc() ^ 0xFFFFFFFFu, Crc32Of(Data.data(), Data.size()));
  EXPECT_EQ(ToGo, 0);
  EXPECT_EQ(Steps, 4);  // 400000 bytes in 131072-byte blocks
  In.SetPosition(100);
  TCalcStreamCRC C16(In, 1000, 16, false, nullptr, nullptr, {}, &State);
  EXPECT_EQ(C16.Crc(), Crc16Of(Data.data() + 100, 1000));
  EXPECT_EQ(State.Crc16Val, C16.Crc());
}

}  // namespace

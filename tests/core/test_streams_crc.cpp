#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <vector>

#include "archive/core/qrvStreams.h"
#include "platform/test_tempdir.h"

namespace {

using testsupport::ReadFile;
using testutil::TTestDir;

// Bit-at-a-time reference forms, independent of the tables.
uint32_t BitwiseCrc32(const uint8_t* P, size_t N) {
  uint32_t C = 0xFFFFFFFFu;
  for (size_t I = 0; I < N; ++I) {
    C ^= P[I];
    for (int K = 0; K < 8; ++K) C = (C >> 1) ^ (0xEDB88320u & (0u - (C & 1)));
  }
  return ~C;
}

uint16_t BitwiseCrc16(const uint8_t* P, size_t N) {
  uint16_t C = 0;
  for (size_t I = 0; I < N; ++I) {
    C ^= P[I];
    for (int K = 0; K < 8; ++K) C = static_cast<uint16_t>((C >> 1) ^ (0xA001u & (0u - (C & 1u))));
  }
  return C;
}

std::vector<uint8_t> RandomBytes(size_t N, unsigned Seed) {
  const std::string S = testsupport::RandomBytes(N, Seed);
  return {S.begin(), S.end()};
}

TEST(Checksums, KnownValuesOfAbc) {
  EXPECT_EQ(Crc32Of("abc", 3), 0x352441C2u);
  EXPECT_EQ(Crc16Of("abc", 3), 0x9738u);
  EXPECT_EQ(Crc32Of("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc16Of("123456789", 9), 0xBB3Du);
  EXPECT_EQ(Crc32Of("", 0), 0u);
  EXPECT_EQ(Crc16Of("", 0), 0u);
  // The running CRC-32 is the stored value xor 0xFFFFFFFF.
  EXPECT_EQ(UpdateCrc32(Crc32Init, "abc", 3), 0x352441C2u ^ 0xFFFFFFFFu);
}

TEST(Checksums, LargeBuffersMatchIndependentComputations) {
  const auto Data = RandomBytes(3 * 1024 * 1024 + 7, 1);
  // Unaligned starts and odd lengths exercise the multi-byte paths' edges.
  for (size_t Offset : {0, 1, 3, 7}) {
    const uint8_t* P = Data.data() + Offset;
    const size_t N = Data.size() - Offset - (Offset * 13 % 8);
    SCOPED_TRACE(Offset);
    EXPECT_EQ(Crc32Of(P, N), BitwiseCrc32(P, N));
    EXPECT_EQ(Crc32Of(P, N), static_cast<uint32_t>(crc32(0, P, static_cast<uInt>(N))));
    EXPECT_EQ(Crc16Of(P, N), BitwiseCrc16(P, N));
    // The per-byte table update (the form the cipher uses) agrees.
    uint32_t C32 = Crc32Init;
    uint16_t C16 = Crc16Init;
    for (size_t I = 0; I < N; ++I) {
      C32 = Crc32Byte(C32, P[I]);
      C16 = Crc16Byte(C16, P[I]);
    }
    EXPECT_EQ(C32 ^ 0xFFFFFFFFu, Crc32Of(P, N));
    EXPECT_EQ(C16, Crc16Of(P, N));
  }
  // Updating piecewise gives the same as one pass.
  uint32_t C32 = Crc32Init;
  uint16_t C16 = Crc16Init;
  for (size_t Pos = 0, Step = 1; Pos < Data.size(); Pos += Step, Step = Step * 3 % 100003 + 1) {
    const size_t N = std::min(Step, Data.size() - Pos);
    C32 = UpdateCrc32(C32, Data.data() + Pos, N);
    C16 = UpdateCrc16(C16, Data.data() + Pos, N);
  }
  EXPECT_EQ(C32 ^ 0xFFFFFFFFu, Crc32Of(Data.data(), Data.size()));
  EXPECT_EQ(C16, Crc16Of(Data.data(), Data.size()));
}

// ---------------------------------------------------------------------------------------------
// Traditional ZIP cipher against archives made by Info-ZIP zip -P.

struct TZipEntry {
  std::string Name;
  uint16_t Flags, Method, Time;
  uint32_t Crc;
  uint32_t Packed, Size;
  size_t DataOffset;
};

uint32_t Le(const std::string& D, size_t At, int Bytes) {
  uint32_t V = 0;
  for (int I = Bytes - 1; I >= 0; --I) V = V << 8 | static_cast<uint8_t>(D.at(At + static_cast<size_t>(I)));
  return V;
}

// Entries from the central directory (no comment, no ZIP64: what the test creates).
std::vector<TZipEntry> ListZip(const std::string& D) {
  std::vector<TZipEntry> Out;
  const size_t End = D.size() - 22;
  EXPECT_EQ(Le(D, End, 4), 0x06054b50u);
  size_t P = Le(D, End + 16, 4);
  for (uint32_t N = Le(D, End + 10, 2); N > 0; --N) {
    EXPECT_EQ(Le(D, P, 4), 0x02014b50u);
    TZipEntry E;
    E.Flags = static_cast<uint16_t>(Le(D, P + 8, 2));
    E.Method = static_cast<uint16_t>(Le(D, P + 10, 2));
    E.Time = static_cast<uint16_t>(Le(D, P + 12, 2));
    E.Crc = Le(D, P + 16, 4);
    E.Packed = Le(D, P + 20, 4);
    E.Size = Le(D, P + 24, 4);
    const size_t NameLen = Le(D, P + 28, 2), Extra = Le(D, P + 30, 2), Comment = Le(D, P + 32, 2);
    const size_t Local = Le(D, P + 42, 4);
    E.Name = D.substr(P + 46, NameLen);
    E.DataOffset = Local + 30 + Le(D, Local + 26, 2) + Le(D, Local + 28, 2);
    Out.push_back(E);
    P += 46 + NameLen + Extra + Comment;
  }
  return Out;
}

TEST(ZipCipher, DecryptsEntriesOfZipP) {
  TTestDir Dir;
  const std::string Text = [] {
    std::string S;
    for (int I = 0; I < 4000; ++I) S += std::to_string(I) + " line of text\n";
    return S;
  }();
  const std::string Bin = testsupport::RandomBytes(20000, 2);
  testsupport::WriteFile(Dir / "text.txt", Text);
  testsupport::WriteFile(Dir / "rand.bin", Bin);
  if (testsupport::Run({"zip", "-q", "-P", "pässword", "e.zip", "text.txt"}, Dir.Path()).status != 0 ||
      testsupport::Run({"zip", "-q", "-0", "-P", "pässword", "e.zip", "rand.bin"}, Dir.Path()).status != 0)
    GTEST_SKIP() << "zip is not installed";
  const std::string Zip = ReadFile(Dir / "e.zip");
  const auto Entries = ListZip(Zip);
  ASSERT_EQ(Entries.size(), 2u);
  for (const auto& E : Entries) {
    SCOPED_TRACE(E.Name);
    ASSERT_TRUE(E.Flags & 1);
    TStreamState State;
    State.Cipher.Init("pässword");
    std::string Head = Zip.substr(E.DataOffset, 12);
    State.Cipher.Decrypt(Head.data(), Head.size());
    // The last header byte checks the password: the CRC's high byte, or the time's with bit 3.
    const uint8_t Check = (E.Flags & 8) ? static_cast<uint8_t>(E.Time >> 8) : static_cast<uint8_t>(E.Crc >> 24);
    EXPECT_EQ(static_cast<uint8_t>(Head[11]), Check);
    std::string Plain;
    if (E.Method == 0) {
      Plain = Zip.substr(E.DataOffset + 12, E.Packed - 12);
      State.Cipher.Decrypt(Plain.data(), Plain.size());
    } else {
      ASSERT_EQ(E.Method, 8);
      TMemoryStream32 Archive;
      Archive.WriteBuffer(Zip.data(), static_cast<int64_t>(Zip.size()));
      Archive.SetPosition(static_cast<int64_t>(E.DataOffset + 12));
      TDecompressStream Inflater(Archive, -15, &State);
      Inflater.Encrypt = true;
      Inflater.InputLimit = E.Packed - 12;
      Plain.resize(E.Size + 100);
      const int32_t N = Inflater.Read(Plain.data(), static_cast<int32_t>(Plain.size()));
      ASSERT_EQ(N, static_cast<int32_t>(E.Size));
      EXPECT_TRUE(Inflater.EndOfData());
      Plain.resize(static_cast<size_t>(N));
    }
    EXPECT_EQ(Crc32Of(Plain.data(), Plain.size()), E.Crc);
    EXPECT_EQ(Plain, E.Name == "text.txt" ? Text : Bin);
  }
}

TEST(ZipCipher, EncryptAndDecryptAreInverse) {
  const auto Data = RandomBytes(5000, 3);
  TZipCipher Enc, Dec;
  Enc.Init("key");
  Dec.Init("key");
  auto Buf = Data;
  Enc.Encrypt(Buf.data(), Buf.size());
  EXPECT_NE(Buf, Data);
  Dec.Decrypt(Buf.data(), Buf.size());
  EXPECT_EQ(Buf, Data);
  EXPECT_EQ(Enc.Keys[0], Dec.Keys[0]);
  EXPECT_EQ(Enc.Keys[2], Dec.Keys[2]);
  TZipCipher Fresh;
  Fresh.Init("");
  EXPECT_EQ(Fresh.Keys[0], 0x12345678u);
  EXPECT_EQ(Fresh.Keys[1], 0x23456789u);
  EXPECT_EQ(Fresh.Keys[2], 0x34567890u);
}

}  // namespace

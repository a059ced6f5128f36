#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <numeric>
#include <vector>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvStreams.h"
#include "platform/test_tempdir.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;
using testutil::TTestDir;

std::string Pattern(size_t N) {
  std::string S(N, '\0');
  for (size_t I = 0; I < N; ++I) S[I] = static_cast<char>(I * 7 + I / 251);
  return S;
}

// A stream that only has the base class's 32-bit seek and size.
class TPlainStream : public TStream32 {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void*, int32_t Count) override { return Count; }
  int32_t Seek32(int32_t Offset, uint16_t) override { return Offset; }
  void SetSize32(int32_t NewSize) override { Size32 = NewSize; }
  int32_t Size32 = 0;
};

TEST(Streams, FileStreamWritesSeeksAndReads) {
  TTestDir Dir;
  const std::string Name = Dir / "f.bin";
  {
    TFileStream32 F(Name, fmCreate);
    F.WriteBuffer("hello world", 11);
    EXPECT_EQ(F.Size(), 11);
    EXPECT_EQ(F.Seek(6, soFromBeginning), 6);
    char Buf[5];
    F.ReadBuffer(Buf, 5);
    EXPECT_EQ(std::string(Buf, 5), "world");
    EXPECT_EQ(F.Seek(-5, soFromEnd), 6);
    F.WriteBuffer("WORLD", 5);
    F.SetSize(5);
    EXPECT_EQ(F.Size(), 5);
    EXPECT_EQ(F.Position(), 5);
  }
  EXPECT_EQ(ReadFile(Name), "hello");
  TFileStream32 R(Name, fmOpenRead | fmShareDenyWrite);
  char Buf[10];
  EXPECT_EQ(R.Read(Buf, 10), 5);
  EXPECT_EQ(R.Read(Buf, 10), 0);
}

TEST(Streams, OpenFailuresRaiseCode25235) {
  TTestDir Dir;
  // A FIFO (swapped in after a scan, say) is refused at once instead of waiting for a writer.
  ASSERT_EQ(mkfifo((Dir / "fifo").c_str(), 0644), 0);
  const std::pair<std::string, uint16_t> Cases[] = {{Dir / "missing", fmOpenRead},     {Dir.Path(), fmOpenRead},
                                                    {Dir / "no/such/dir/f", fmCreate}, {Dir / "fifo", fmOpenRead},
                                                    {Dir / "fifo", fmOpenWrite},       {Dir / "fifo", fmCreate}};
  for (const auto& [Name, Mode] : Cases) {
    try {
      TFileStream32 F(Name, Mode);
      ADD_FAILURE() << Name;
    } catch (const EFOpenError& E) {
      EXPECT_EQ(E.ECode, ecOpenFile);
      EXPECT_STREQ(E.what(), "Error opening file");
      EXPECT_EQ(E.FileName, Name);
    }
  }
}

TEST(Streams, ShortReadsAndWritesRaise) {
  TTestDir Dir;
  WriteFile(Dir / "short", "abc");
  TFileStream32 F(Dir / "short", fmOpenRead);
  char Buf[8];
  EXPECT_THROW(F.ReadBuffer(Buf, 4), EReadError);
  try {
    F.WriteBuffer("x", 1);  // opened read-only
    ADD_FAILURE();
  } catch (const EWriteError& E) {
    EXPECT_EQ(E.ECode, ecWriteFile);
    EXPECT_STREQ(E.what(), "Stream write error");
  }
  F.SetPosition(0);
  F.ReadBuffer(Buf, 0);  // nothing asked, nothing raised
  TMemoryStream32 Empty;
  EXPECT_THROW(Empty.ReadBuffer(Buf, 1), EReadError);
}

TEST(Streams, RangeChecksOfThe32BitBase) {
  TPlainStream S;
  EXPECT_EQ(S.Seek(int64_t{INT32_MAX}, soFromBeginning), INT32_MAX);
  EXPECT_THROW(S.Seek(int64_t{INT32_MAX} + 1, soFromBeginning), ERangeError);
  EXPECT_THROW(S.Seek(int64_t{INT32_MIN} - 1, soFromCurrent), ERangeError);
  S.SetSize(1000);
  EXPECT_EQ(S.Size32, 1000);
  try {
    S.SetSize(int64_t{1} << 33);
    ADD_FAILURE();
  } catch (const ERangeError& E) {
    EXPECT_STREQ(E.what(), "Range check error");
  }
}

TEST(Streams, FileStreamsTakeOffsetsBeyond4GiB) {
  TTestDir Dir;
  TFileStream32 F(Dir / "sparse", fmCreate);
  const int64_t Far = (int64_t{5} << 30) + 3;
  EXPECT_EQ(F.Seek(Far, soFromBeginning), Far);
  F.WriteBuffer("z", 1);
  EXPECT_EQ(F.Size(), Far + 1);
  EXPECT_EQ(F.Seek(-1, soFromEnd), Far);
  char C = 0;
  F.ReadBuffer(&C, 1);
  EXPECT_EQ(C, 'z');
  F.SetSize(10);
  EXPECT_EQ(F.Size(), 10);
}

TEST(Streams, MemoryStreamsGrowAndStayInBounds) {
  TMemoryStream32 M;
  M.WriteBuffer("abc", 3);
  EXPECT_EQ(M.Seek(10, soFromBeginning), 10);
  M.WriteBuffer("z", 1);
  EXPECT_EQ(M.Size(), 11);
  const std::string Got(static_cast<char*>(M.Memory()), 11);
  EXPECT_EQ(Got, std::string("abc\0\0\0\0\0\0\0z", 11));
  char Buf[4];
  EXPECT_EQ(M.Read(Buf, 4), 0);  // at the end
  EXPECT_EQ(M.Seek(-1, soFromBeginning), -1);
  EXPECT_EQ(M.Position(), 11);
  M.SetSize(2);
  EXPECT_EQ(M.Position(), 2);
  EXPECT_THROW(M.SetSize(-1), ERangeError);

  // A fixed block never grows: writes stop at its end.
  char Block[4] = {};
  TCustomMemoryStream32 Fixed;
  Fixed.SetPointer(Block, 4);
  EXPECT_EQ(Fixed.Write("123456", 6), 4);
  EXPECT_EQ(std::string(Block, 4), "1234");

  // Round trip through a file.
  TTestDir Dir;
  M.SaveToFile(Dir / "m");
  TMemoryStream32 L;
  L.LoadFromFile(Dir / "m");
  EXPECT_EQ(L.Size(), 2);
  EXPECT_EQ(std::string(static_cast<char*>(L.Memory()), 2), "ab");
}

TEST(Streams, CopyFromWithCountZeroCopiesTheWholeSourceFromItsStart) {
  const std::string Data = Pattern(300000);
  TMemoryStream32 Src;
  Src.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
  Src.SetPosition(12345);  // anywhere: Count 0 starts over
  TMemoryStream32 Dst;
  EXPECT_EQ(Dst.CopyFrom(Src, 0), 300000);
  EXPECT_EQ(std::string(static_cast<char*>(Dst.Memory()), 300000), Data);

  // A positive count copies from the current position.
  Src.SetPosition(1000);
  TMemoryStream32 Part;
  EXPECT_EQ(Part.CopyFrom(Src, 5000), 5000);
  EXPECT_EQ(std::string(static_cast<char*>(Part.Memory()), 5000), Data.substr(1000, 5000));
  // More than the source holds raises.
  Src.SetPosition(299999);
  EXPECT_THROW(Part.CopyFrom(Src, 2), EReadError);
}

TEST(Streams, CancelStopsACopyAtTheNextBlock) {
  const std::string Data = Pattern(1000000);
  TMemoryStream32 Src;
  Src.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
  TMemoryStream32 Dst;
  bool Cancel = false;
  Dst.CancelFlag = &Cancel;
  int Blocks = 0;
  ProcessMessagesHook = [&] {
    if (++Blocks == 3) Cancel = true;  // the user presses cancel during the third block's pump
  };
  const int64_t R = Dst.CopyFrom(Src, 0);
  ProcessMessagesHook = nullptr;
  EXPECT_EQ(R, 1000000);  // returns the count asked for; the caller checks the flag
  EXPECT_EQ(Dst.Size(), 2 * CopyBlockSize);
  EXPECT_EQ(std::string(static_cast<char*>(Dst.Memory()), 2 * CopyBlockSize), Data.substr(0, 2 * CopyBlockSize));
}

TEST(Streams, HandleReadsCountDownAndReportProgress) {
  TTestDir Dir;
  WriteFile(Dir / "p", Pattern(1000));
  TFileStream32 F(Dir / "p", fmOpenRead);
  int64_t ToGo = 5000;
  int Steps = 0;
  F.BytesToGo = &ToGo;
  F.OnProgress = [&] { ++Steps; };
  char Buf[600];
  EXPECT_EQ(F.Read(Buf, 600), 600);
  EXPECT_EQ(F.Read(Buf, 600), 400);
  EXPECT_EQ(F.Read(Buf, 600), 0);  // nothing read: no step
  EXPECT_EQ(ToGo, 5000 - 1200);    // the requested counts
  EXPECT_EQ(Steps, 2);
}

TEST(Streams, DiskFullWritesRaise25160) {
  testutil::TSmallTmpfs Fs("64k");
  if (!Fs.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  TFileStream32 F(Fs.Dir() / "big", fmCreate);
  const std::string Block = Pattern(32768);
  try {
    for (int I = 0; I < 64; ++I) F.WriteBuffer(Block.data(), static_cast<int64_t>(Block.size()));
    ADD_FAILURE() << "64 KiB tmpfs took 2 MiB";
  } catch (const EWriteError& E) {
    EXPECT_EQ(E.ECode, ecDiskFull);
    EXPECT_STREQ(E.what(), "Disk full");
  }
}

}  // namespace

// Two buffered views walking one stream in turns read what the stream holds, whatever the mix
// of seeks, small reads, reads larger than the buffer and peeks (which give bytes in place only
// when all of them exist and fit in the buffer).
TEST(Streams, ReadBufferViewsMatchTheSource) {
  std::string data = Pattern(300000);
  TCustomMemoryStream32 source;
  source.SetPointer(data.data(), int64_t(data.size()));
  TReadBuffer32 a(source, 4096), b(source, 1000);
  uint32_t seed = 1;
  auto next = [&seed](uint32_t Bound) { return (seed = seed * 1103515245u + 12345u) / 65536u % Bound; };
  for (int round = 0; round < 2000; ++round) {
    TReadBuffer32& view = round % 2 ? a : b;
    const int64_t at = next(320000);
    const int32_t want = int32_t(round % 50 == 0 ? 9000 + next(9000) : next(100));
    ASSERT_EQ(view.Seek(at, soFromBeginning), at);
    std::string got(size_t(want), '\0');
    const int32_t n = view.Read(got.data(), want);
    const int64_t expect = std::clamp<int64_t>(int64_t(data.size()) - at, 0, want);
    ASSERT_EQ(n, expect) << "at " << at;
    EXPECT_EQ(got.substr(0, size_t(n)), data.substr(size_t(std::min<int64_t>(at, int64_t(data.size()))), size_t(n)));
    EXPECT_EQ(view.Position(), at + n);
    const int64_t peekAt = round % 3 ? at + n : next(320000);
    const size_t count = next(1200), room = round % 2 ? 4096 : 1000;
    const uint8_t* p = view.Peek(peekAt, count);
    ASSERT_EQ(p != nullptr, peekAt + int64_t(count) <= int64_t(data.size()) && count <= room) << "peek at " << peekAt;
    if (p) EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), count), data.substr(size_t(peekAt), count));
  }
}

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvRegister.h"
#include "platform/FileInfo.h"
#include "platform/test_tempdir.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;
using testutil::TTestDir;

// A component stand-in that records what the temporary streams ask of it.
struct TFakeOwner : ITempStreamOwner {
  bool Cancel = false;
  int64_t ToGo = 0, Total = -1;
  int MoveBegins = 0, MoveEnds = 0, StreamSteps = 0;
  std::vector<int64_t> TmpProgress;
  std::vector<int32_t> Errors;
  std::string ErrorFile, ErrorVolume;
  bool CancelMove = false;        // answer of OnTmpFileMoveBegin
  int64_t CancelAtProgress = -1;  // set the CancelFlag once the copy passes this position
  std::string MovedTempName;

  bool* TempCancelFlag() override { return &Cancel; }
  int64_t* TempBytesToGo() override { return &ToGo; }
  void SetTempByteTotal(int64_t T) override { Total = ToGo = T; }
  void DoStreamProgress() override { ++StreamSteps; }
  void DoTmpFileMoveBegin(const std::string&, const std::string& Temp, bool& C) override {
    ++MoveBegins;
    MovedTempName = Temp;
    C = CancelMove;
  }
  void DoTmpFileMoveEnd() override { ++MoveEnds; }
  void DoTmpFileProgress(int64_t Position) override {
    TmpProgress.push_back(Position);
    if (CancelAtProgress >= 0 && Position > CancelAtProgress) Cancel = true;
  }
  void ReportError(const std::string& File, const std::string&, const std::string& Volume, int32_t Code) override {
    Errors.push_back(Code);
    ErrorFile = File;
    ErrorVolume = Volume;
  }
};

std::string Payload(size_t N) {
  std::string S(N, '\0');
  for (size_t I = 0; I < N; ++I) S[I] = static_cast<char>('a' + I % 23);
  return S;
}

// Writes Data into a new temporary archive stream and finishes it.
bool BuildArchive(TFakeOwner& Owner, const std::string& Archive, const std::string& TempDir, const std::string& Data,
                  std::string* TempName = nullptr) {
  TTempFileStream T(Owner, fmCreate, Archive, TempDir);
  if (TempName) *TempName = T.TempFileName();
  T.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
  return T.Finish();
}

TEST(TempFileStream, SameFileSystemIsRenamedIntoPlace) {
  TTestDir Dir;
  const std::string Archive = Dir / "a.zip";
  WriteFile(Archive, "old");
  ::chmod(Archive.c_str(), 0604);
  TFakeOwner Owner;
  std::string Temp;
  EXPECT_TRUE(BuildArchive(Owner, Archive, Dir.Path(), Payload(300000), &Temp));
  EXPECT_EQ(ReadFile(Archive), Payload(300000));
  EXPECT_EQ(Temp.rfind(Dir / "qrv", 0), 0u);
  EXPECT_FALSE(FileExists(Temp));
  EXPECT_EQ(Dir.Files("qrv").size(), 0u);
  EXPECT_EQ(Owner.MoveBegins, 1);
  EXPECT_EQ(Owner.MoveEnds, 1);
  EXPECT_EQ(Owner.MovedTempName, Temp);
  EXPECT_TRUE(Owner.TmpProgress.empty());  // a rename copies nothing
  struct stat St {};
  ASSERT_EQ(::stat(Archive.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0604u);  // the archive keeps its permissions
}

TEST(TempFileStream, OtherFileSystemIsCopiedWithProgress) {
  const std::string Other = testutil::OtherFileSystemDir();
  if (Other.empty()) GTEST_SKIP() << "no second file system";
  TTestDir Dir, TempDir(Other);
  const std::string Archive = Dir / "a.zip";
  WriteFile(Archive, "old");
  TFakeOwner Owner;
  std::string Temp;
  EXPECT_TRUE(BuildArchive(Owner, Archive, TempDir.Path(), Payload(250000), &Temp));
  EXPECT_EQ(ReadFile(Archive), Payload(250000));
  EXPECT_FALSE(FileExists(Temp));
  EXPECT_TRUE(TempDir.Files().empty());
  EXPECT_EQ(Dir.Files("qrv").size(), 0u);
  EXPECT_EQ(Owner.Total, 250000);
  EXPECT_EQ(Owner.ToGo, 0);
  EXPECT_EQ(Owner.TmpProgress, (std::vector<int64_t>{0, 100000, 200000, 250000}));
  EXPECT_EQ(Owner.MoveEnds, 1);
}

TEST(TempFileStream, NothingMovesWhenCancelledAbandonedOrRefused) {
  TTestDir Dir;
  const std::string Archive = Dir / "a.zip";
  for (int Case = 0; Case < 4; ++Case) {
    SCOPED_TRACE(Case);
    WriteFile(Archive, "old");
    TFakeOwner Owner;
    Owner.CancelMove = Case == 2;
    {
      TTempFileStream T(Owner, fmCreate, Archive, Dir.Path());
      T.WriteBuffer("new", 3);
      if (Case == 0) Owner.Cancel = true;
      if (Case == 1) T.Abandoned = true;
      if (Case == 3) {
        // An exception leaving the run: the half-built archive must not replace the old one.
        try {
          TTempFileStream U(Owner, fmCreate, Archive, Dir.Path());
          U.WriteBuffer("half", 4);
          throw std::runtime_error("run failed");
        } catch (const std::runtime_error&) {
        }
        T.Abandoned = true;
      }
      // Destruction finishes (Case 2 asks OnTmpFileMoveBegin, which says cancel).
    }
    EXPECT_EQ(ReadFile(Archive), "old");
    EXPECT_EQ(Dir.Files("qrv").size(), 0u);
    EXPECT_EQ(Owner.MoveBegins, Case == 2 ? 1 : 0);
  }
}

TEST(TempFileStream, CancelDuringTheCopyKeepsTheOldArchive) {
  const std::string Other = testutil::OtherFileSystemDir();
  if (Other.empty()) GTEST_SKIP() << "no second file system";
  TTestDir Dir, TempDir(Other);
  const std::string Archive = Dir / "a.zip";
  WriteFile(Archive, "old");
  TFakeOwner Owner;
  Owner.CancelAtProgress = 150000;
  EXPECT_FALSE(BuildArchive(Owner, Archive, TempDir.Path(), Payload(500000)));
  EXPECT_EQ(ReadFile(Archive), "old");
  EXPECT_TRUE(TempDir.Files().empty());
  EXPECT_EQ(Dir.Files("qrv").size(), 0u);
}

TEST(TempFileStream, MissingTempDirFallsBackToTheSystemFolder) {
  TTestDir Dir;
  TFakeOwner Owner;
  TTestDir Sys;
  std::string Temp;
  {
    const testsupport::ScopedEnv TmpDir("TMPDIR", Sys.Path());
    EXPECT_TRUE(BuildArchive(Owner, Dir / "a.zip", Dir / "missing", "data", &Temp));
  }
  EXPECT_EQ(Temp.rfind(Sys / "qrv", 0), 0u);
  EXPECT_EQ(ReadFile(Dir / "a.zip"), "data");
}

TEST(TempFileStream, OtherModesOpenTheArchiveForReading) {
  TTestDir Dir;
  const std::string Archive = Dir / "a.zip";
  WriteFile(Archive, Payload(1000));
  TFakeOwner Owner;
  Owner.ToGo = 5000;
  {
    TTempFileStream T(Owner, fmOpenRead | fmShareDenyWrite, Archive, Dir.Path());
    EXPECT_FALSE(T.IsTemporary());
    char Buf[600];
    EXPECT_EQ(T.Read(Buf, 600), 600);
    EXPECT_EQ(T.Read(Buf, 600), 400);
    EXPECT_EQ(Owner.ToGo, 5000 - 1200);
    EXPECT_EQ(Owner.TmpProgress, (std::vector<int64_t>{600, 1000}));
  }
  EXPECT_EQ(ReadFile(Archive), Payload(1000));
  EXPECT_EQ(Owner.MoveBegins, 0);
  EXPECT_THROW(TTempFileStream(Owner, fmOpenRead, Dir / "missing", Dir.Path()), EFOpenError);
}

TEST(TempFileStream, DiskFullLeavesNoPartialArchive) {
  testutil::TSmallTmpfs Fs("128k");
  if (!Fs.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string Archive = Fs.Dir() / "a.zip";
  WriteFile(Archive, "old");
  // Building in the full file system itself: the write fails with 25160.
  TFakeOwner Owner;
  {
    TTempFileStream T(Owner, fmCreate, Archive, Fs.Dir().Path());
    const std::string Block = Payload(65536);
    try {
      for (int I = 0; I < 8; ++I) T.WriteBuffer(Block.data(), static_cast<int64_t>(Block.size()));
      ADD_FAILURE() << "no disk-full error";
    } catch (const EWriteError& E) {
      EXPECT_EQ(E.ECode, ecDiskFull);
    }
    EXPECT_TRUE(T.WriteFailed());
    EXPECT_FALSE(T.Finish());
  }
  EXPECT_EQ(ReadFile(Archive), "old");
  EXPECT_EQ(Fs.Dir().Files("qrv").size(), 0u);

  // Built elsewhere, copied into the full file system: 25160 reported and raised.
  TTestDir Work;
  TFakeOwner Mover;
  try {
    BuildArchive(Mover, Archive, Work.Path(), Payload(400000));
    ADD_FAILURE() << "no disk-full error";
  } catch (const EWriteError& E) {
    EXPECT_EQ(E.ECode, ecDiskFull);
  }
  EXPECT_EQ(Mover.Errors, std::vector<int32_t>{ecDiskFull});
  EXPECT_EQ(Mover.ErrorFile, Archive);
  EXPECT_EQ(Mover.ErrorVolume, "0");
  EXPECT_EQ(ReadFile(Archive), "old");
  EXPECT_EQ(Fs.Dir().Files("qrv").size(), 0u);
  EXPECT_TRUE(Work.Files().empty());
}

TEST(TempFileStream, AllowUndoKeepsTheOldArchiveInTheTrash) {
  TTestDir Data, Dir;
  const testsupport::ScopedEnv DataHome("XDG_DATA_HOME", Data.Path());
  const std::string Archive = Dir / "u.zip";
  WriteFile(Archive, "old");
  TFakeOwner Owner;
  {
    TTempFileStream T(Owner, fmCreate, Archive, Dir.Path());
    T.AllowUndo = true;
    T.WriteBuffer("new", 3);
  }
  EXPECT_EQ(ReadFile(Archive), "new");
  EXPECT_EQ(ReadFile(Data / "Trash/files/u.zip"), "old");
}

TEST(TempMemStream, WritesTheArchiveBesideAndRenames) {
  TTestDir Dir;
  const std::string Archive = Dir / "m.zip";
  WriteFile(Archive, "old");
  TFakeOwner Owner;
  {
    TTempMemStream M(Owner, fmCreate, Archive);
    M.WriteBuffer(Payload(230000).data(), 230000);
    EXPECT_EQ(ReadFile(Archive), "old");
  }
  EXPECT_EQ(ReadFile(Archive), Payload(230000));
  EXPECT_EQ(Owner.Total, 230000);
  EXPECT_EQ(Owner.TmpProgress, (std::vector<int64_t>{100000, 200000, 230000}));
  EXPECT_EQ(Owner.MoveBegins, 1);
  EXPECT_EQ(Owner.MoveEnds, 1);
  EXPECT_EQ(Dir.Files("qrv").size(), 0u);

  // Cancelled, abandoned or refused: the archive stays.
  for (int Case = 0; Case < 3; ++Case) {
    TFakeOwner O;
    O.CancelMove = Case == 2;
    {
      TTempMemStream M(O, fmCreate, Archive);
      M.WriteBuffer("x", 1);
      if (Case == 0) O.Cancel = true;
      if (Case == 1) M.Abandoned = true;
    }
    EXPECT_EQ(ReadFile(Archive), Payload(230000)) << Case;
    EXPECT_EQ(Dir.Files("qrv").size(), 0u) << Case;
  }
}

TEST(TempMemStream, DiskFullLeavesTheOldArchive) {
  testutil::TSmallTmpfs Fs("128k");
  if (!Fs.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string Archive = Fs.Dir() / "m.zip";
  WriteFile(Archive, "old");
  TFakeOwner Owner;
  TTempMemStream M(Owner, fmCreate, Archive);
  M.WriteBuffer(Payload(400000).data(), 400000);
  try {
    M.Finish();
    ADD_FAILURE() << "no disk-full error";
  } catch (const EWriteError& E) {
    EXPECT_EQ(E.ECode, ecDiskFull);
  }
  EXPECT_EQ(Owner.Errors, std::vector<int32_t>{ecDiskFull});
  EXPECT_EQ(ReadFile(Archive), "old");
  EXPECT_EQ(Fs.Dir().Files("qrv").size(), 0u);
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "platform/DosTime.h"
#include "platform/FileInfo.h"
#include "platform/Paths.h"
#include "platform/TempFiles.h"
#include "platform/test_tempdir.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;
using testutil::TTestDir;

TEST(Paths, SplitAndJoin) {
  struct TCase {
    const char* Path;
    const char* Dir;
    const char* Base;
  } Cases[] = {
      {"/a/b/c.txt", "/a/b", "c.txt"},
      {"c.txt", ".", "c.txt"},
      {"/c.txt", "/", "c.txt"},
      {"a/b/", "a", "b"},
      {"a//b", "a", "b"},
      {"/", "/", "/"},
      {"", ".", ""},
  };
  for (const auto& C : Cases) {
    EXPECT_EQ(DirOf(C.Path), C.Dir) << C.Path;
    EXPECT_EQ(BaseOf(C.Path), C.Base) << C.Path;
  }
  EXPECT_EQ(WithTrailingSlash("/a//"), "/a/");
  EXPECT_EQ(WithTrailingSlash(""), "");
  EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(JoinPath("", "b"), "b");
}

TEST(FileInfo, AttributesFollowTheStatedMapping) {
  TTestDir Dir;
  const std::string File = Dir / "plain.txt", Hidden = Dir / ".hidden", Sub = Dir / "sub";
  WriteFile(File, "12345");
  WriteFile(Hidden, "");
  ASSERT_EQ(::mkdir(Sub.c_str(), 0755), 0);
  TFileInfo Info;
  ASSERT_TRUE(GetFileInfo(File, Info));
  EXPECT_EQ(Info.Size, 5);
  EXPECT_EQ(Info.Attr, faArchive);
  ASSERT_TRUE(GetFileInfo(Hidden, Info));
  EXPECT_EQ(Info.Attr, faArchive | faHidden);
  ASSERT_TRUE(GetFileInfo(Sub, Info));
  EXPECT_TRUE(Info.IsDir);
  EXPECT_EQ(Info.Attr, faDirectory);
  EXPECT_FALSE(GetFileInfo(Dir / "missing", Info));
  EXPECT_TRUE(FileExists(File));
  EXPECT_FALSE(FileExists(Sub));
  EXPECT_TRUE(DirectoryExists(Sub));

  // Read-only clears every write bit; clearing it gives the owner write access back.
  ASSERT_TRUE(SetFileAttr(File, faReadOnly | faArchive));
  ASSERT_TRUE(GetFileInfo(File, Info));
  EXPECT_EQ(Info.Attr, faArchive | faReadOnly);
  EXPECT_EQ(Info.Mode & 0222, 0u);
  ASSERT_TRUE(SetFileAttr(File, faArchive));
  ASSERT_TRUE(GetFileInfo(File, Info));
  EXPECT_EQ(Info.Attr, faArchive);
  EXPECT_FALSE(SetFileAttr(Dir / "missing", 0));
}

TEST(FileInfo, LastWriteTimeRoundTripsThroughDos) {
  TTestDir Dir;
  const std::string File = Dir / "t.txt";
  WriteFile(File, "x");
  const uint32_t Dos = 0x58A16C35;  // 2024-05-01 13:33:42
  ASSERT_TRUE(SetFileDosTime(File, Dos));
  TFileInfo Info;
  ASSERT_TRUE(GetFileInfo(File, Info));
  EXPECT_EQ(Info.DosTime, Dos);
  EXPECT_EQ(Info.MTime, DosDateTimeToUnix(Dos));
  ASSERT_TRUE(SetFileMTime(File, 1000000000));
  ASSERT_TRUE(GetFileInfo(File, Info));
  EXPECT_EQ(Info.MTime, 1000000000);
}

TEST(TempFiles, UniqueNamesCarryThePrefixAndAreReserved) {
  TTestDir Dir;
  std::string A, B;
  const int Fa = CreateUniqueFile(Dir.Path(), "qrv", A);
  const int Fb = CreateUniqueFile(Dir.Path(), "qrv", B);
  ASSERT_GE(Fa, 0);
  ASSERT_GE(Fb, 0);
  ::close(Fa);
  ::close(Fb);
  EXPECT_NE(A, B);
  EXPECT_EQ(BaseOf(A).rfind("qrv", 0), 0u);
  EXPECT_EQ(DirOf(A), Dir.Path());
  const std::string C = UniqueTempName(Dir.Path());
  EXPECT_TRUE(FileExists(C));
  { TTempFileGuard Guard(C); }
  EXPECT_FALSE(FileExists(C));
  EXPECT_EQ(UniqueTempName(Dir / "missing"), "");
  EXPECT_LT(CreateUniqueFile(Dir / "missing", "qrv", A), 0);
  EXPECT_FALSE(SystemTempDir().empty());
}

// Replacement on the same file system and across file systems: the target gets the new bytes
// and keeps its permission bits, the source is gone, nothing is left beside the target.
void CheckReplace(const std::string& SourceDir) {
  TTestDir Target;
  const std::string Archive = Target / "a.zip";
  WriteFile(Archive, "old");
  ::chmod(Archive.c_str(), 0640);
  std::string Source;
  const int Fd = CreateUniqueFile(SourceDir, "qrv", Source);
  ASSERT_GE(Fd, 0);
  ::close(Fd);
  WriteFile(Source, std::string(250000, 'n'));
  int Calls = 0;
  int64_t Last = -1, Total = -1;
  int Err = 0;
  auto R = ReplaceFile(Source, Archive, Err, [&](int64_t Done, int64_t All) {
    ++Calls;
    Last = Done;
    Total = All;
    return true;
  });
  ASSERT_EQ(R, rrDone) << Err;
  EXPECT_EQ(ReadFile(Archive), std::string(250000, 'n'));
  struct stat St {};
  ASSERT_EQ(::stat(Archive.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0640u);
  EXPECT_FALSE(FileExists(Source));
  EXPECT_EQ(Target.Files("qrv").size(), 0u);
  if (testutil::DeviceOf(SourceDir) == testutil::DeviceOf(Target.Path())) {
    EXPECT_EQ(Calls, 0);  // a rename copies nothing
  } else {
    EXPECT_EQ(Calls, 4);  // 0, 100000, 200000, 250000
    EXPECT_EQ(Last, 250000);
    EXPECT_EQ(Total, 250000);
  }
}

TEST(ReplaceFile, SameFileSystemRenames) {
  TTestDir Source;
  CheckReplace(Source.Path());
}

TEST(ReplaceFile, OtherFileSystemCopiesBesideAndRenames) {
  const std::string Other = testutil::OtherFileSystemDir();
  if (Other.empty()) GTEST_SKIP() << "no second file system";
  TTestDir Source(Other);
  CheckReplace(Source.Path());
}

TEST(ReplaceFile, CancelOrFailureLeavesTheTargetAsItWas) {
  const std::string Other = testutil::OtherFileSystemDir();
  if (Other.empty()) GTEST_SKIP() << "no second file system";
  TTestDir Source(Other), Target;
  const std::string Archive = Target / "a.zip", Temp = Source / "qrvtemp";
  WriteFile(Archive, "old");
  WriteFile(Temp, std::string(300000, 'n'));
  int Err = 0;
  auto R = ReplaceFile(Temp, Archive, Err, [](int64_t Done, int64_t) { return Done < 100000; });
  EXPECT_EQ(R, rrCancelled);
  EXPECT_EQ(ReadFile(Archive), "old");
  EXPECT_TRUE(FileExists(Temp));
  EXPECT_EQ(Target.Files("qrv").size(), 0u);
  // A target folder that does not exist: nothing can be created beside it.
  R = ReplaceFile(Temp, Target / "missing/a.zip", Err);
  EXPECT_EQ(R, rrOpenFailed);
  EXPECT_TRUE(FileExists(Temp));
  R = ReplaceFile(Source / "missing", Archive, Err);
  EXPECT_EQ(R, rrOpenFailed);
  EXPECT_EQ(ReadFile(Archive), "old");
}

TEST(ReplaceFile, NewTargetGetsDefaultPermissions) {
  TTestDir Dir;
  const std::string Source = Dir / "qrvnew", Archive = Dir / "new.zip";
  WriteFile(Source, "data");
  ::chmod(Source.c_str(), 0600);
  const mode_t Old = ::umask(022);
  int Err = 0;
  EXPECT_EQ(ReplaceFile(Source, Archive, Err), rrDone);
  ::umask(Old);
  struct stat St {};
  ASSERT_EQ(::stat(Archive.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0644u);
}

}  // namespace

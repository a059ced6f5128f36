#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/FileInfo.h"
#include "platform/Trash.h"
#include "platform/test_tempdir.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;
using testutil::TTestDir;

// Points XDG_DATA_HOME at a scratch folder for the test.
class TrashTest : public ::testing::Test {
 protected:
  std::string Trash() const { return FData.Path() + "/Trash"; }
  TTestDir FData;
  TTestDir FWork;
  testsupport::ScopedEnv FDataHome{"XDG_DATA_HOME", FData.Path()};
};

TEST_F(TrashTest, MovesFilesAndFoldersWithInfoRecords) {
  const std::string A = FWork / "a b%.txt";
  WriteFile(A, "first");
  ASSERT_EQ(HomeTrashDir(), Trash());
  ASSERT_TRUE(MoveToTrash(A));
  EXPECT_FALSE(FileExists(A));
  EXPECT_EQ(ReadFile(Trash() + "/files/a b%.txt"), "first");
  const std::string Info = ReadFile(Trash() + "/info/a b%.txt.trashinfo");
  EXPECT_EQ(Info.rfind("[Trash Info]\nPath=", 0), 0u);
  EXPECT_NE(Info.find("/a%20b%25.txt\n"), std::string::npos);
  EXPECT_NE(Info.find("\nDeletionDate="), std::string::npos);

  // A second item of the same name gets a name of its own.
  WriteFile(A, "second");
  ASSERT_TRUE(MoveToTrash(A));
  EXPECT_EQ(ReadFile(Trash() + "/files/a b%.txt.2"), "second");

  const std::string Sub = FWork / "folder";
  std::filesystem::create_directories(Sub + "/inner");
  WriteFile(Sub + "/inner/f", "x");
  ASSERT_TRUE(MoveToTrash(Sub));
  EXPECT_FALSE(DirectoryExists(Sub));
  EXPECT_EQ(ReadFile(Trash() + "/files/folder/inner/f"), "x");
}

TEST_F(TrashTest, FailureLeavesTheItemAndSaysWhy) {
  std::string Error;
  EXPECT_FALSE(MoveToTrash(FWork / "missing", &Error));
  EXPECT_FALSE(Error.empty());
  EXPECT_TRUE(FWork.Files().empty());
}

TEST_F(TrashTest, AcrossFileSystemsTheItemIsCopiedThenRemoved) {
  const std::string Other = testutil::OtherFileSystemDir();
  if (Other.empty()) GTEST_SKIP() << "no second file system";
  TTestDir Far(Other);
  const std::string A = Far / "far.txt";
  WriteFile(A, "far away");
  ASSERT_TRUE(MoveToTrash(A));
  EXPECT_FALSE(FileExists(A));
  EXPECT_EQ(ReadFile(Trash() + "/files/far.txt"), "far away");
}

TEST_F(TrashTest, KeepCopyLeavesTheOriginal) {
  const std::string A = FWork / "keep.zip";
  WriteFile(A, "old archive");
  ASSERT_TRUE(KeepCopyInTrash(A));
  EXPECT_EQ(ReadFile(A), "old archive");
  EXPECT_EQ(ReadFile(Trash() + "/files/keep.zip"), "old archive");
}

// Once open, the Trash keeps to the folders it opened: a link put where it was found later
// (or before, in place of the Trash) never takes an item.
TEST_F(TrashTest, OpenTrashKeepsToItsFolders) {
  const std::string Outside = FWork / "outside";
  std::filesystem::create_directories(Outside);
  TTrash T;
  ASSERT_TRUE(T.Open());
  std::filesystem::rename(Trash(), FData / "moved");
  std::filesystem::create_directory_symlink(Outside, Trash());
  WriteFile(FWork / "a", "item");
  ASSERT_TRUE(T.Move(FWork / "a"));
  EXPECT_EQ(ReadFile(FData / "moved/files/a"), "item");
  EXPECT_TRUE(std::filesystem::is_empty(Outside));

  std::string Error;
  WriteFile(FWork / "b", "stays");
  EXPECT_FALSE(MoveToTrash(FWork / "b", &Error));  // a Trash that is a link is not opened
  EXPECT_FALSE(Error.empty());
  EXPECT_EQ(ReadFile(FWork / "b"), "stays");
  EXPECT_TRUE(std::filesystem::is_empty(Outside));
}

}  // namespace

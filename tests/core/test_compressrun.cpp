// The writer run: stored names, masks, update decisions, nothing-to-do and missing-handler
// reports, cancel, moved sources, and that a failed or abandoned run keeps the old archive.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "archive/core/qrvBase.h"
#include "support/TestSupport.h"
#include "zip/test_zipwriter_util.h"

using namespace testsupport;
using namespace zipwritertest;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Names(const std::string& Zip) {
  std::vector<std::string> out;
  for (const auto& r : Directory(Zip)) out.push_back(r.Name);
  return out;
}

// Files of a folder whose name starts with "qrv" (temporary archives left behind).
int TempLeftovers(const fs::path& Dir) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(Dir)) n += e.path().filename().string().rfind("qrv", 0) == 0;
  return n;
}

struct CompressRun : ::testing::Test {
  TempDir T{"cr"};
  testsupport::ScopedEnv Trash = PrivateTrash(T);
  TZip Z;
  Errors E;
  std::string Archive() const { return (T / "a.zip").string(); }
  void SetUp() override {
    Prepare(Z, T);
    E.Attach(Z);
    WriteFile(T / "src" / "one.txt", "1");
    WriteFile(T / "src" / "sub" / "two.txt", TextBytes(2000, 1));
  }
};

}  // namespace

TEST(CompressRunNames, StoredNamesForEveryMode) {
  struct Case {
    TStoredDirNames Mode;
    const char* Expected;
  };
  const Case cases[] = {
      {sdNone, "f.txt"},
      {sdAbsolute, "/r/data/sub/f.txt"},
      {sdAbsoluteNoDrv, "/r/data/sub/f.txt"},
      {sdAbsoluteNoRoot, "r/data/sub/f.txt"},
      {sdRelative, "sub/f.txt"},
      {sdRelativeStoreStart, "data/sub/f.txt"},
      {sdExplorer_Auto, "data/sub/f.txt"},  // base folder /r/ (the common folder of FileSpec)
  };
  for (const Case& c : cases) {
    TZip z;
    z.StoredDirNames = c.Mode;
    z.StoredRoot = "/r/data/";
    z.DefaultDir = "/r/";
    EXPECT_EQ(z.StoredNameOf("/r/data/sub/f.txt"), c.Expected) << int(c.Mode);
    if (c.Mode != sdNone) {
      EXPECT_EQ(z.StoredNameOf("/r/data/sub/"), std::string(c.Expected).substr(0, std::string(c.Expected).size() - 5))
          << "folder row, mode " << int(c.Mode);
    }
  }
  TZip z;
  z.StoredDirNames = sdExplorer_Auto;
  z.StoredRoot = z.DefaultDir = "/r/data/";
  EXPECT_EQ(z.StoredNameOf("/r/data/sub/f.txt"), "sub/f.txt");  // root is the base: relative
}

TEST(CompressRunNames, ExclusionAndDeleteMasks) {
  TZip z;
  z.StoredDirNames = sdRelative;
  z.StoredRoot = "/r/";
  z.ExcludeSpec = {"*.o", "build/*.txt", "/r/keep/*.log"};
  const std::pair<const char*, bool> excluded[] = {
      {"/r/a.o", true},          {"/r/deep/x.o", true},   {"/r/build/a.txt", true}, {"/r/build/in/b.txt", true},
      {"/r/other/a.txt", false}, {"/r/keep/x.log", true}, {"/r/x.log", false},      {"/r/a.c", false}};
  for (const auto& [path, want] : excluded) EXPECT_EQ(z.Excluded(path, z.StoredNameOf(path)), want) << path;
  z.RecurseDirs = false;  // the mask is matched against the whole stored name
  EXPECT_TRUE(z.Excluded("/r/build/a.txt", "build/a.txt"));

  z.ExcludeSpec.clear();
  z.FileSpec = {"*.*"};
  EXPECT_TRUE(z.SelectedForDelete("README"));  // a mask with "." matches a name without one
  z.FileSpec = {"*.txt", "doc/*"};
  EXPECT_TRUE(z.SelectedForDelete("a/b.txt"));
  EXPECT_TRUE(z.SelectedForDelete("doc/x"));
  EXPECT_FALSE(z.SelectedForDelete("a.log"));
}

TEST_F(CompressRun, NothingToDoAndMissingSettings) {
  Z.FileSpec.clear();
  EXPECT_EQ(Z.Compress(), 0);
  EXPECT_TRUE(E.Has(ecNothingToDo));
  EXPECT_FALSE(fs::exists(Archive()));

  Z.FileSpec = {(T / "src").string() + "/*.*"};
  Z.StoredDirNames = sdExplorer_UserDefineDefaultDir;
  E.Clear();
  EXPECT_EQ(Z.Compress(), 0);
  ASSERT_EQ(E.Codes, std::vector<int>{ecPropertyNotAssigned});
  EXPECT_EQ(E.Extended[0], "DefaultDir");

  Z.StoredDirNames = sdRelative;
  Z.Switch = swDelete;
  Z.FileSpec = {"*"};
  E.Clear();
  EXPECT_EQ(Z.Compress(), 0);
  EXPECT_EQ(E.Codes, std::vector<int>{ecNothingToDelete});
  EXPECT_FALSE(fs::exists(Archive()));
}

TEST_F(CompressRun, UnchangedUpdateLeavesArchiveAlone) {
  ASSERT_EQ(Z.Compress(), 2);
  const std::string before = ReadFile(Archive());
  const auto stamp = fs::last_write_time(Archive());
  E.Clear();
  EXPECT_EQ(Z.Compress(), 0);
  EXPECT_EQ(E.Codes, std::vector<int>{ecNothingToDo});
  EXPECT_EQ(ReadFile(Archive()), before);
  EXPECT_EQ(fs::last_write_time(Archive()), stamp);
  EXPECT_EQ(TempLeftovers(T.path()), 0);
}

TEST_F(CompressRun, ChangedFilesRefreshReplaceOrKeep) {
  ASSERT_EQ(Z.Compress(), 2);
  WriteFile(T / "src" / "one.txt", "1 changed");
  WriteFile(T / "src" / "new.txt", "new");

  // swRefresh replaces the changed entry in place and never adds a new file.
  Z.Switch = swRefresh;
  EXPECT_EQ(Z.Compress(), 1);
  EXPECT_EQ(Names(Archive()), (std::vector<std::string>{"one.txt", "sub/two.txt"}));
  EXPECT_EQ(Find(Directory(Archive()), "one.txt")->UnpackedSize(), 9);

  // swAdd without OnReplaceFile keeps the old entry and says a handler is missing.
  WriteFile(T / "src" / "one.txt", "1 changed again");
  Z.Switch = swAdd;
  E.Clear();
  EXPECT_EQ(Z.Compress(), 1);  // new.txt
  EXPECT_TRUE(E.Has(ecEventNotAssigned));
  EXPECT_EQ(Find(Directory(Archive()), "one.txt")->UnpackedSize(), 9);

  Z.OnReplaceFile = [](TZipCommon*, const std::string&, const std::string&, TDateTime, TDateTime, int64_t OldSize,
                       int64_t NewSize, int32_t, int32_t, bool& Replace) { Replace = OldSize == 9 && NewSize == 15; };
  EXPECT_EQ(Z.Compress(), 1);
  EXPECT_EQ(Names(Archive()), (std::vector<std::string>{"sub/two.txt", "new.txt", "one.txt"}));
  EXPECT_EQ(Find(Directory(Archive()), "one.txt")->UnpackedSize(), 15);
}

TEST_F(CompressRun, RenameDuplicateAndSelfExclusion) {
  WriteFile(T / "src" / "sub" / "one.txt", "same name in another folder");
  Z.StoredDirNames = sdNone;
  Z.OnRenameFile = [](TZipCommon*, const std::string& Name, std::string& NewName) {
    if (Name == "two.txt") NewName = "renamed.txt";
  };
  // The archive lies inside the scanned folder: neither it nor the temporary file goes in.
  Z.SetArchiveFile((T / "src" / "in.zip").string());
  Z.FileSpec = {(T / "src").string() + "/*.*"};
  // Two files with one stored name fail the run: neither is dropped silently, no archive is made.
  EXPECT_EQ(Z.Compress(), 0);
  EXPECT_TRUE(E.Has(ecInvalidFileName));
  EXPECT_FALSE(fs::exists(T / "src" / "in.zip"));
  fs::remove(T / "src" / "sub" / "one.txt");
  EXPECT_EQ(Z.Compress(), 2);
  EXPECT_EQ(Names((T / "src" / "in.zip").string()), (std::vector<std::string>{"one.txt", "renamed.txt"}));
  WriteFile(T / "src" / "three.txt", "3");
  EXPECT_GE(Z.Compress(), 1);
  for (const std::string& n : Names((T / "src" / "in.zip").string()))
    EXPECT_TRUE(n.rfind("in.zip", 0) != 0 && n.rfind("qrv", 0) != 0) << n;
}

TEST_F(CompressRun, CancelKeepsOldArchiveAndLeavesNoTemporaryFile) {
  for (auto method : {cmTempFile, cmInMemory}) {
    SCOPED_TRACE(int(method));
    fs::remove(Archive());
    Z.CompressionMethod = method;
    Z.OnProgress = nullptr;
    ASSERT_EQ(Z.Compress(), 2);
    const std::string before = ReadFile(Archive());
    WriteFile(T / "src" / "big.bin", RandomBytes(3 << 20, 2));
    Z.OnProgress = [](TZipCommon* S, uint8_t, uint8_t) {
      if (!S->IsCancelled()) S->SetCancel(true);
    };
    E.Clear();
    EXPECT_EQ(Z.Compress(), 0);
    EXPECT_TRUE(E.Has(ecUserCanceled));
    EXPECT_EQ(ReadFile(Archive()), before);
    EXPECT_EQ(TempLeftovers(T.path()), 0);
    fs::remove(T / "src" / "big.bin");
  }
}

TEST_F(CompressRun, InMemoryAndTempFileBuildTheSameEntries) {
  ASSERT_EQ(Z.Compress(), 2);
  const auto viaFile = Directory(Archive());
  fs::remove(Archive());
  Z.CompressionMethod = cmInMemory;
  ASSERT_EQ(Z.Compress(), 2);
  const auto viaMemory = Directory(Archive());
  ASSERT_EQ(viaFile.size(), viaMemory.size());
  for (size_t i = 0; i < viaFile.size(); ++i) {
    EXPECT_EQ(viaFile[i].Name, viaMemory[i].Name);
    EXPECT_EQ(viaFile[i].Header.Crc32, viaMemory[i].Header.Crc32);
    EXPECT_EQ(viaFile[i].PackedSize(), viaMemory[i].PackedSize());
  }
}

TEST_F(CompressRun, MoveDeletesAddedSourcesOnly) {
  WriteFile(T / "src" / "skip.o", "object");
  Z.ExcludeSpec = {"*.o"};
  Z.Switch = swMove;
  Z.DeleteOptions = doFinal;
  std::vector<std::string> deleted;
  Z.OnDeleteFile = [&](TZipCommon*, const std::string& Name, int, int) { deleted.push_back(Name); };
  EXPECT_EQ(Z.Compress(), 2);
  EXPECT_EQ(deleted.size(), 2u);
  EXPECT_FALSE(fs::exists(T / "src" / "one.txt"));
  EXPECT_FALSE(fs::exists(T / "src" / "sub" / "two.txt"));
  EXPECT_TRUE(fs::exists(T / "src" / "skip.o"));
  EXPECT_EQ(Names(Archive()).size(), 2u);

  // doAllowUndo moves the source to the Trash.
  WriteFile(T / "src" / "three.txt", "3");
  Z.DeleteOptions = doAllowUndo;
  EXPECT_EQ(Z.Compress(), 1);
  EXPECT_FALSE(fs::exists(T / "src" / "three.txt"));
  EXPECT_TRUE(fs::exists(T / "xdg" / "Trash" / "files" / "three.txt"));
}

// An update leaves no copy of the old archive in the Trash unless the host asks for one;
// DeleteOptions (here the default, doAllowUndo) is for moved sources only.
TEST_F(CompressRun, UndoCopyOfTheOldArchiveOnlyWhenAsked) {
  for (const bool backup : {false, true}) {
    SCOPED_TRACE(backup ? "BackupOldArchive" : "default");
    fs::remove_all(T / "xdg");
    fs::remove(Archive());
    ASSERT_EQ(Z.Compress(), 2);
    WriteFile(T / "src" / "new.txt", std::string(backup ? "b" : "d"));
    Z.BackupOldArchive = backup;
    ASSERT_EQ(Z.Compress(), 1);
    EXPECT_EQ(fs::exists(T / "xdg" / "Trash" / "files" / "a.zip"), backup);
    fs::remove(T / "src" / "new.txt");
  }
}

TEST_F(CompressRun, ForeignOrDamagedArchiveIsNeverOverwritten) {
  WriteFile(Archive(), "this is not a zip archive at all");
  EXPECT_EQ(Z.Compress(), 0);
  EXPECT_TRUE(E.Has(ecHeaderNotFound));
  EXPECT_EQ(ReadFile(Archive()), "this is not a zip archive at all");

  // A directory that lost entries (count larger than what can be read) is not shrunk further.
  fs::remove(Archive());
  ASSERT_EQ(Z.Compress(), 2);
  std::string zip = ReadFile(Archive());
  zip[zip.size() - 22 + 10] = 5;  // total entries 2 -> 5
  zip[zip.size() - 22 + 8] = 5;
  WriteFile(Archive(), zip);
  WriteFile(T / "src" / "new.txt", "n");
  E.Clear();
  EXPECT_EQ(Z.Compress(), 0);
  EXPECT_TRUE(E.Has(ecHeaderNotFound));
  EXPECT_EQ(ReadFile(Archive()), zip);
}

TEST_F(CompressRun, EmptyFoldersAndReadOnlyArchive) {
  fs::create_directories(T / "src" / "empty");
  Z.StoreEmptySubDirs = true;
  ASSERT_EQ(Z.Compress(), 3);
  const auto dir = Directory(Archive());
  const auto* e = Find(dir, "empty/");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->Header.ExternalAttr & 0x10u, 0x10u);
  EXPECT_EQ(Find(dir, "sub/"), nullptr);  // a folder holding files gets no entry of its own

  fs::permissions(Archive(), fs::perms::owner_read);
  WriteFile(T / "src" / "new.txt", "n");
  E.Clear();
  EXPECT_EQ(Z.Compress(), 0);
  EXPECT_TRUE(E.Has(ecEventNotAssigned));
  Z.OnNonWriteableArchive = [](TZipCommon*, const std::string&, bool& Write) { Write = true; };
  EXPECT_EQ(Z.Compress(), 1);
  EXPECT_EQ(Directory(Archive()).size(), 4u);
}

TEST_F(CompressRun, ReadSwitchWalksHeaders) {
  ASSERT_EQ(Z.Compress(), 2);
  Z.Switch = swRead;
  std::vector<int> seen;
  Z.OnRead = [&](TZipCommon*, int64_t, int N) { seen.push_back(N); };
  EXPECT_EQ(Z.Compress(), 2);
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  Z.OnRead = nullptr;
  E.Clear();
  EXPECT_EQ(Z.Compress(), 0);
  EXPECT_EQ(E.Codes, std::vector<int>{ecEventNotAssigned});
}

// Every OnActivate gets its OnDeactivate and OnElapsedTime, however the run ends.
TEST_F(CompressRun, ActivationIsPairedOnEveryWayOut) {
  int activated = 0, deactivated = 0, timed = 0;
  Z.OnActivate = [&](TZipCommon*) { ++activated; };
  Z.OnDeactivate = [&](TZipCommon*) { ++deactivated; };
  Z.OnElapsedTime = [&](TZipCommon*, float) { ++timed; };
  struct Case {
    const char* What;
    std::function<void()> Arrange;
  };
  const Case cases[] = {
      {"a normal run", [] {}},
      {"nothing to do", [] {}},  // the same files again
      {"a raised write error",
       [&] {
         WriteFile(T / "src" / "new.txt", "n");
         Z.OnProgress = [](TZipCommon* S, uint8_t, uint8_t) { S->RaiseError(ecsWrite, "", "", "", ecWriteFile); };
       }},
      {"an old archive that is not one", [&] { WriteFile(Archive(), "not a zip archive"); }},
      {"no files",
       [&] {
         fs::remove(Archive());
         Z.FileSpec = {(T / "none").string() + "/*.*"};
       }},
  };
  for (const Case& c : cases) {
    activated = deactivated = timed = 0;
    c.Arrange();
    (void)Z.Compress();
    EXPECT_EQ(activated, 1) << c.What;
    EXPECT_EQ(deactivated, 1) << c.What;
    EXPECT_EQ(timed, 1) << c.What;
  }
}

// The scanner on a temporary tree: recursion, hidden files and folders, attribute filters,
// directory groups, events, cancel and sorting.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "archive/core/qrvFileScan.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;
using testsupport::WriteFile;

// root/a.txt, root/b.dat, root/.hid.txt, root/ro.txt (read-only), root/sub/c.txt,
// root/.hdir/d.txt, root/sub/deep/e.txt
class ScanTree : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(T / "a.txt", "aaaa");
    WriteFile(T / "b.dat", "bb");
    WriteFile(T / ".hid.txt", "h");
    WriteFile(T / "ro.txt", "r");
    chmod((T / "ro.txt").c_str(), 0444);
    WriteFile(T / "sub/c.txt", "ccc");
    WriteFile(T / "sub/deep/e.txt", "eeeee");
    WriteFile(T / ".hdir/d.txt", "dd");
  }
  std::string Root() const { return T.path().string() + "/"; }

  // Relative paths of what the scanner reports (folders with a trailing "/").
  std::set<std::string> Listed(TqrvFileScan& s) {
    std::set<std::string> out;
    s.EntryProc = [&](const std::string& dir, const TqrvFindData& d) {
      const std::string full = d.Info.IsDir ? dir : dir + d.Name;
      out.insert(full.substr(Root().size()));
    };
    s.Scan();
    return out;
  }
  TempDir T{"scan"};
};

TEST_F(ScanTree, DefaultScanRecursesAndSkipsHiddenFolders) {
  TqrvFileScan s;
  s.SetFileSpec({Root() + "*.*"});
  const std::set<std::string> want = {"a.txt", "b.dat", ".hid.txt", "ro.txt", "sub/c.txt", "sub/deep/e.txt"};
  EXPECT_EQ(Listed(s), want);
  EXPECT_EQ(s.FilesCount(), 6);
  EXPECT_EQ(s.FilesSize(), 4 + 2 + 1 + 1 + 3 + 5);
}

TEST_F(ScanTree, HiddenFolderOnlyWithIncludeHiddenDirs) {
  TqrvFileScan s;
  s.IncludeHiddenDirs = true;
  s.SetFileSpec({Root() + "*.txt"});
  EXPECT_EQ(Listed(s).count(".hdir/d.txt"), 1u);
}

TEST_F(ScanTree, NoRecursion) {
  TqrvFileScan s;
  s.RecurseDirs = false;
  s.SetFileSpec({Root() + "*.txt"});
  EXPECT_EQ(Listed(s), (std::set<std::string>{"a.txt", ".hid.txt", "ro.txt"}));
}

// Linux attributes: 0x20 on every regular file, 0x02 for a dot name, 0x01 without owner write.
TEST_F(ScanTree, AttributeFilters) {
  struct TCase {
    TqrvFileAttrs In, Ex;
    std::set<std::string> Want;
  };
  const TCase cases[] = {
      // Hidden files have the archive bit too, so the default set admits them.
      {{fsZeroAttr, fsReadOnly, fsArchive}, {}, {"a.txt", ".hid.txt", "ro.txt"}},
      // A hidden folder is admitted (and handed on) by fsHidden, though not entered.
      {{fsHidden}, {}, {".hdir/", ".hid.txt"}},
      {{fsReadOnly}, {}, {"ro.txt"}},
      {{fsArchive}, {fsHidden}, {"a.txt", "ro.txt"}},
      {{fsArchive}, {fsReadOnly, fsHidden}, {"a.txt"}},
      {{fsZeroAttr}, {}, {}},
  };
  for (const TCase& c : cases) {
    TqrvFileScan s;
    s.RecurseDirs = false;
    s.Attributes = c.In;
    s.AttributesEx = c.Ex;
    s.SetFileSpec({Root() + "*.txt"});
    EXPECT_EQ(Listed(s), c.Want) << "attributes " << c.In.Bits() << " / " << c.Ex.Bits();
  }
}

TEST(ScanAttr, Admission) {
  const TqrvFileAttrs def{fsZeroAttr, fsReadOnly, fsArchive, fsCompressed, fsEncrypted};
  EXPECT_EQ(def.Bits(), 0x1C3);
  EXPECT_TRUE(AttrAdmitted(0x00, def, {}));
  EXPECT_TRUE(AttrAdmitted(0x80, def, {}));
  EXPECT_FALSE(AttrAdmitted(0x02, def, {}));
  EXPECT_TRUE(AttrAdmitted(0x2000, {}, {}));  // not content indexed: always admitted
  EXPECT_FALSE(AttrAdmitted(0x80, def, {fsZeroAttr}));
  EXPECT_FALSE(AttrAdmitted(0x21, def, {fsReadOnly}));
}

TEST_F(ScanTree, DirectoriesGoToTheCallbackWhenAdmitted) {
  TqrvFileScan s;
  s.Attributes.Include(fsDirectory);
  s.SetFileSpec({Root() + "*.txt"});
  const auto got = Listed(s);
  EXPECT_EQ(got.count("sub/"), 1u);
  EXPECT_EQ(got.count("sub/deep/"), 1u);
  EXPECT_EQ(got.count(".hdir/"), 1u);       // admitted as a folder ...
  EXPECT_EQ(got.count(".hdir/d.txt"), 0u);  // ... but not entered
  EXPECT_EQ(s.FilesCount(), 5);             // folders are not counted as files
}

TEST_F(ScanTree, GroupsEventsAndOwnList) {
  WriteFile(T / "other/x.c", "xx");
  TqrvFileScan s;
  s.RecurseDirs = false;
  s.SetFileSpec({Root() + "*.txt", "  ", Root() + "other/*.c", Root() + "b.dat"});
  std::vector<std::string> roots, recursed, scanned;
  int finished = 0;
  s.OnRootDirChange = [&](TqrvFileScan*, const std::string& d) { roots.push_back(d); };
  s.OnRecurseDir = [&](TqrvFileScan*, const std::string& d) { recursed.push_back(d); };
  s.OnScanFile = [&](TqrvFileScan*, const std::string& f, int n, int64_t) {
    scanned.push_back(f);
    EXPECT_EQ(n, int(scanned.size()));
  };
  s.OnFinished = [&](TqrvFileScan*, int n, int64_t size) {
    ++finished;
    EXPECT_EQ(n, 5);
    EXPECT_EQ(size, 4 + 1 + 1 + 2 + 2);
  };
  s.Scan();
  EXPECT_EQ(roots, (std::vector<std::string>{Root(), Root() + "other/"}));
  EXPECT_EQ(recursed, roots);
  EXPECT_EQ(finished, 1);
  ASSERT_EQ(s.List().Count(), 5u);
  EXPECT_TRUE(s.FileSpec().empty());  // the run consumes it

  s.SetSorted(soBySize);
  EXPECT_EQ(finished, 2);  // re-sorting a non-empty list fires OnFinished
  for (size_t i = 1; i < s.List().Count(); ++i) EXPECT_LE(s.List().Items[i - 1].Size, s.List().Items[i].Size);
  s.SetSorted(soByName);
  EXPECT_EQ(s.List().Items.front().FileName, ".hid.txt");
}

TEST(ScanSort, LargeSizesAndLateDates) {
  TFilesList l;
  TFileObject big, small, late, early;
  big.Size = 5'000'000'000;  // low 32 bits alone would sort it below 1 GB
  small.Size = 1'000'000'000;
  l.Items = {big, small};
  l.SortMode = soBySize;
  l.Sort();
  EXPECT_EQ(l.Items.front().Size, small.Size);
  late.DosDate = 0x98210000;  // 2056: the top bit of the packed value is set
  early.DosDate = 0x50210000;
  l.Items = {late, early};
  l.SortMode = soByTime;
  l.Sort();
  EXPECT_EQ(l.Items.front().DosDate, early.DosDate);
}

TEST_F(ScanTree, RootDirWithDefaultMasks) {
  TqrvFileScan s;
  s.SetRootDir(T.path().string());
  EXPECT_EQ(s.RootDir(), Root());
  s.DefaultMask = "*.dat, *.zzz";
  s.RecurseDirs = false;
  EXPECT_EQ(Listed(s), std::set<std::string>{"b.dat"});

  TqrvFileScan missing;
  missing.SetRootDir(Root() + "nope");
  bool finished = false;
  missing.OnFinished = [&](TqrvFileScan*, int, int64_t) { finished = true; };
  missing.Scan();
  EXPECT_FALSE(finished);  // nothing to scan: no OnFinished
}

TEST_F(ScanTree, CancelStopsTheScanButFinishes) {
  TqrvFileScan s;
  bool shared = false;
  s.SetCancelFlag(&shared);
  s.SetFileSpec({Root() + "*.*"});
  bool finished = false;
  s.OnScanFile = [&](TqrvFileScan* sender, const std::string&, int, int64_t) { sender->SetCancel(true); };
  s.OnFinished = [&](TqrvFileScan*, int, int64_t) { finished = true; };
  s.Scan();
  EXPECT_EQ(s.FilesCount(), 1);
  EXPECT_TRUE(shared);  // the owner's flag was the one set
  EXPECT_TRUE(finished);
}

TEST_F(ScanTree, LinkLoopsEndAndDanglingLinksAreSkipped) {
  fs::create_directory_symlink(T.path(), T / "sub/loop");
  fs::create_symlink(T / "missing", T / "dangling.txt");
  TqrvFileScan s;
  s.SetFileSpec({Root() + "*.txt"});
  const auto got = Listed(s);
  EXPECT_EQ(got.count("dangling.txt"), 0u);
  EXPECT_EQ(got.count("sub/c.txt"), 1u);
  EXPECT_EQ(got.count("sub/loop/a.txt"), 0u);  // the folder itself was already being scanned
}

}  // namespace

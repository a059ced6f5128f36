// The TAR writer: archive layout, updates of archives with long names, renames, damaged old
// archives, and the gzip pass.
#include <gtest/gtest.h>

#include "archive/tar/qrvtar.h"
#include "support/TestSupport.h"
#include "tar_test_util.h"

using namespace tartest;
using namespace testsupport;

namespace {

struct TWriteRun {
  int Result = 0;
  std::vector<int32_t> Errors;
};

TWriteRun RunTar(TTar& W, const fs::path& Archive, std::vector<std::string> Spec, TSwitch Sw = swAdd) {
  TWriteRun r;
  W.Switch = Sw;
  W.DeleteOptions = doFinal;  // no undo copies in the user's Trash
  W.StoredDirNames = sdExplorer_Auto;
  W.FileSpec = std::move(Spec);
  W.SetArchiveFile(Archive.string());
  W.OnError = [&](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t c) {
    r.Errors.push_back(c);
  };
  W.OnReplaceFile = [](TZipCommon*, const std::string&, const std::string&, TDateTime, TDateTime, int64_t, int64_t,
                       int32_t, int32_t, bool& Replace) { Replace = true; };
  r.Result = W.Compress();
  return r;
}

std::vector<TTarEntry> Entries(const fs::path& Archive) { return tartest::Entries(Archive.string()); }

std::vector<std::string> NamesOf(const std::vector<TTarEntry>& E) {
  std::vector<std::string> n;
  for (const auto& e : E) n.push_back(e.Name);
  return n;
}

}  // namespace

TEST(TarWriter, LayoutOfFilesFoldersAndPadding) {
  TempDir t;
  WriteFile(t / "one/a", "x");
  {
    TTar w;
    EXPECT_EQ(RunTar(w, t / "one.tar", {(t / "one/a").string()}).Result, 1);
  }
  const std::string one = ReadFile(t / "one.tar");
  ASSERT_EQ(one.size(), 10240u);
  EXPECT_EQ(one[512], 'x');
  EXPECT_EQ(one.find_first_not_of('\0', 513), std::string::npos);
  TTarBlock h;
  std::copy(one.begin(), one.begin() + 512, h.begin());
  EXPECT_TRUE(TarChecksumMatches(h));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(h.data() + thUname), 5), std::string("root\0", 5));

  // Entries that end on a record boundary get no trailer at all.
  WriteFile(t / "exact/f", std::string(10240 - 512, 'e'));
  {
    TTar w;
    RunTar(w, t / "exact.tar", {(t / "exact/f").string()});
  }
  EXPECT_EQ(fs::file_size(t / "exact.tar"), 10240u);

  // An empty folder with StoreEmptySubDirs: typeflag 5, its mode, trailing "/", no data.
  fs::create_directories(t / "tree/empty");
  WriteFile(t / "tree/f.txt", "data");
  {
    TTar w;
    w.StoreEmptySubDirs = true;
    w.UnixUName = std::string(40, 'u');
    EXPECT_EQ(RunTar(w, t / "tree.tar", {(t / "tree/*.*").string()}).Result, 2);
  }
  const auto e = Entries(t / "tree.tar");
  ASSERT_EQ(NamesOf(e), (std::vector<std::string>{"empty/", "f.txt"}));
  EXPECT_EQ(e[0].Typeflag, '5');
  // The folder's own permission bits.
  int64_t mode = 0;
  ASSERT_TRUE(TarGetNumber(e[0].Header.data() + thMode, twMode, mode));
  EXPECT_EQ(mode, 0040000 | int64_t(fs::status(t / "tree/empty").permissions()));
  EXPECT_EQ(e[1].DataOffset, 1024);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e[1].Header.data() + thUname), 32), std::string(32, 'u'));
}

TEST(TarWriter, UpdatesKeepLongNamesAndDeleteTheirRecords) {
  TempDir t;
  const std::string longDir = std::string(70, 'd'), longFile = std::string(60, 'f') + ".txt";
  WriteFile(t / "src" / longDir / longFile, "long");
  WriteFile(t / "src/short.txt", "short");
  const std::string root = (t / "src").string() + "/";
  {
    TTar w;
    EXPECT_EQ(RunTar(w, t / "u.tar", {root + "*.*"}).Result, 2);
  }
  WriteFile(t / "src/later.txt", "later");
  {
    TTar w;  // only the new file is added; the kept entries are copied as they are
    EXPECT_EQ(RunTar(w, t / "u.tar", {root + "*.*"}).Result, 1);
  }
  const std::string longName = longDir + "/" + longFile;
  EXPECT_EQ(NamesOf(Entries(t / "u.tar")), (std::vector<std::string>{longName, "short.txt", "later.txt"}));
  {
    TTar w;
    const TWriteRun r = RunTar(w, t / "u.tar", {"d*"}, swDelete);
    EXPECT_EQ(r.Result, 1);
  }
  const auto left = Entries(t / "u.tar");
  EXPECT_EQ(NamesOf(left), (std::vector<std::string>{"short.txt", "later.txt"}));
  EXPECT_EQ(left[0].EntryOffset, 0);  // the long-name record went with its entry
}

TEST(TarWriter, RenamedKeptEntryGetsTheOtherChecksumForm) {
  TempDir t;
  WriteFile(t / "r/a.txt", "A");
  const std::string source = (t / "r/a.txt").string();
  {
    TTar w;
    RunTar(w, t / "r.tar", {source});
  }
  TTar w;
  w.OnRenameDupeFile = [](TZipCommon*, const std::string&, std::string& NewName, bool& Rename) {
    NewName = std::string(110, 'k');  // also longer than the name field
    Rename = true;
  };
  EXPECT_EQ(RunTar(w, t / "r.tar", {source}).Result, 1);
  const auto e = Entries(t / "r.tar");
  ASSERT_EQ(NamesOf(e), (std::vector<std::string>{std::string(110, 'k'), "a.txt"}));
  EXPECT_EQ(e[0].Header[thChksum + 6], 0);
  EXPECT_EQ(e[0].Header[thChksum + 7], ' ');
  EXPECT_TRUE(TarChecksumMatches(e[0].Header));
  EXPECT_EQ(e[0].Size, 1);
}

TEST(TarWriter, DamagedOrTruncatedOldArchiveIsLeftAlone) {
  TempDir t;
  WriteFile(t / "n/new.txt", "new");
  TTarBlock bad = Header("bad", 0);
  bad[2] ^= 0x40;
  const std::string damaged = Entry("ok", "1") + Bytes(bad) + Entry("more", "2") + Zeros(2);
  const std::string truncated = Entry("ok", "1") + Entry("cut", std::string(3000, 'c')).substr(0, 1500);
  for (const std::string& old : {damaged, truncated}) {
    WriteFile(t / "d.tar", old);
    TTar w;
    const TWriteRun r = RunTar(w, t / "d.tar", {(t / "n/new.txt").string()});
    EXPECT_EQ(r.Result, 0);
    EXPECT_FALSE(r.Errors.empty());
    EXPECT_EQ(ReadFile(t / "d.tar"), old);
  }
}

TEST(TarWriter, GzipPassWritesAndUpdatesTgz) {
  TempDir t;
  WriteFile(t / "g/one.txt", TextBytes(3000, 1));
  // The user's own files under the names a gzip pass might use for its tar.
  const std::vector<std::string> own = {"x.tar", "y.tar", "x.tgz.tar", "y.tar.gz.tar"};
  for (const std::string& f : own) WriteFile(t / f, "a file of the user's");
  for (const char* name : {"x.tgz", "y.tar.gz"}) {
    SCOPED_TRACE(name);
    {
      TTar w;
      w.SetCompressMethod(cmTarGzip);
      EXPECT_EQ(RunTar(w, t / name, {(t / "g/one.txt").string()}).Result, 1);
      EXPECT_EQ(w.ArchiveFile(), (t / name).string());
    }
    WriteFile(t / "g/two.txt", "two");
    {
      TTar w;
      w.SetCompressMethod(cmTarGzip);
      EXPECT_EQ(RunTar(w, t / name, {(t / "g/*.*").string()}).Result, 1);
    }
    fs::remove(t / "g/two.txt");
    if (HaveTool("tar")) {
      const CommandResult l = testsupport::Run({"tar", "tzf", (t / name).string()});
      EXPECT_EQ(l.status, 0);
      EXPECT_EQ(l.out, "one.txt\ntwo.txt\n");
    }
  }
  // Only the archives and the user's own files, untouched, remain: no intermediate tar.
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(t.path()))
    if (e.is_regular_file()) files.push_back(e.path().filename().string());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"x.tar", "x.tgz", "x.tgz.tar", "y.tar", "y.tar.gz", "y.tar.gz.tar"}));
  for (const std::string& f : own) EXPECT_EQ(ReadFile(t / f), "a file of the user's") << f;
}

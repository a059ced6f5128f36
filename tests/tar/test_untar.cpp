// The TAR reader on archives built in memory and on the shared samples: what is extracted,
// what is skipped, what is reported.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "archive/tar/qrvUnTar.h"
#include "support/TestSupport.h"
#include "tar_test_util.h"

using namespace tartest;
using namespace testsupport;

namespace {

struct TRun {
  int Result = 0;
  std::vector<int32_t> Errors;
  std::vector<std::pair<std::string, bool>> Ends;
  std::map<std::string, std::string> Tree;
};

TRun RunUnTar(const fs::path& Archive, const fs::path& Out, TExtractMode Mode = xmExtract,
              std::vector<std::string> Spec = {"*"}, bool AskOverwrite = false) {
  TUnTar u;
  u.TrashChanged = true;  // as the window extracts
  if (AskOverwrite) {
    u.ConfirmOverwrites = true;
    u.OnFileExists = [](TZipCommon*, const std::string&, std::string&, TOverwriteMode& m) { m = omOverwrite; };
  }
  u.SetArchiveFile(Archive.string());
  u.SetExtractDir(Out.string());
  u.FileSpec = Spec;
  u.ExtractMode = Mode;
  u.CreateStoredDirs = true;
  TRun r;
  u.OnError = [&](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t c) {
    r.Errors.push_back(c);
  };
  u.OnEnd = [&](TZipCommon*, const std::string& n, bool ok) { r.Ends.emplace_back(n, ok); };
  r.Result = u.Extract();
  if (fs::exists(Out)) r.Tree = ReadTree(Out);
  return r;
}

}  // namespace

TEST(UnTar, ExtractsFilesFoldersAndLongNames) {
  TempDir t;
  const std::string longName = "deep/" + std::string(140, 'x') + ".txt";
  const std::vector<uint8_t> rec = TarLongNameBlocks(longName, {});
  WriteFile(t / "a.tar", Entry("top.txt", "hello") + Entry("dir/", "", '5') + Entry("empty/", "", '5') +
                             Entry("dir/zero", "") + std::string(rec.begin(), rec.end()) + Entry(longName, "long") +
                             Entry("device", "", '3') + Zeros(2));
  const TRun r = RunUnTar(t / "a.tar", t / "out");
  // Folders count as entries; the device is reported as not extracted and leaves no file.
  EXPECT_EQ(r.Errors, std::vector<int32_t>{ecUnknownFileType});
  EXPECT_EQ(r.Result, 5);
  EXPECT_EQ(
      r.Tree,
      (std::map<std::string, std::string>{
          {"top.txt", "hello"}, {"dir/", ""}, {"dir/zero", ""}, {"empty/", ""}, {"deep/", ""}, {longName, "long"}}));
}

TEST(UnTar, ModesAndLinksComeBackAndNeverLeadOutside) {
  TempDir t;
  const fs::path outside = t / "outside";
  WriteFile(outside / "planted", "mine");  // behind the link: never trashed nor made writable
  fs::permissions(outside / "planted", fs::perms::owner_read);
  const auto outsideIntact = [&] {
    EXPECT_EQ(ReadTree(outside), (std::map<std::string, std::string>{{"planted", "mine"}}));
    EXPECT_EQ(fs::status(outside / "planted").permissions(), fs::perms::owner_read);
  };
  auto entry = [](const std::string& name, char type, uint32_t mode, const std::string& data = {},
                  const std::string& target = {}) {
    TTarHeaderValues v;
    v.Name = name;
    v.Typeflag = type;
    v.Size = int64_t(data.size());
    v.LinkName = target;
    TTarBlock h;
    TarBuildHeader(h, v);
    TarPutNumber(h.data() + thMode, twMode, mode);  // set-id bits as a hostile archive has them
    TarPutChecksum(h, tcSevenDigits);
    return Entry(h, data);
  };
  WriteFile(t / "l.tar", entry("bin/run.sh", '0', 0104755, "#!/bin/sh\n") + entry("ro.txt", '0', 0100444, "ro") +
                             entry("lnk", '2', 0120777, "", "bin/run.sh") + entry("hard", '1', 0100444, "", "ro.txt") +
                             entry("esc", '2', 0120777, "", outside.string()) +
                             entry("esc/planted", '0', 0100644, "x") + entry("bad1", '1', 0100644, "", "../x") +
                             entry("bad2", '1', 0100644, "", "/etc/passwd") +
                             entry("bad3", '1', 0100644, "", "later.txt") + entry("later.txt", '0', 0100644, "later") +
                             entry("locked/", '5', 0040555) + entry("locked/in.txt", '0', 0100600, "in") + Zeros(2));
  const mode_t mask = umask(0);
  umask(mask);
  const fs::path out = t / "out";
  const TRun r = RunUnTar(t / "l.tar", out);
  // Planting through a link and hard links to anything but an earlier entry are refused.
  EXPECT_EQ(r.Errors, (std::vector<int32_t>{ecOpenFile, ecUnknownFileType, ecUnknownFileType, ecUnknownFileType}));
  outsideIntact();
  struct Mode {
    const char* Name;
    unsigned Perms;
  };
  for (const Mode& m :
       {Mode{"bin/run.sh", 0755}, Mode{"ro.txt", 0444}, Mode{"locked", 0555}, Mode{"locked/in.txt", 0600}}) {
    SCOPED_TRACE(m.Name);
    EXPECT_EQ(unsigned(fs::status(out / m.Name).permissions()), m.Perms & ~unsigned(mask));
  }
  EXPECT_EQ(fs::read_symlink(out / "lnk"), "bin/run.sh");
  EXPECT_EQ(fs::hard_link_count(out / "ro.txt"), 2u);
  EXPECT_TRUE(fs::equivalent(out / "ro.txt", out / "hard"));
  for (const char* bad : {"bad1", "bad2", "bad3"}) EXPECT_FALSE(fs::exists(fs::symlink_status(out / bad))) << bad;
  fs::permissions(out / "locked", fs::perms::owner_all);
  RunUnTar(t / "l.tar", out, xmExtract, {"*"}, true);  // asked to overwrite, the same
  outsideIntact();
  // Test mode checks links as entries without data.
  const TRun tested = RunUnTar(t / "l.tar", t / "none", xmTest);
  EXPECT_TRUE(tested.Errors.empty());
  EXPECT_EQ(tested.Result, 12);
}

TEST(UnTar, NamesNeverLeaveTheOutputFolder) {
  TempDir t;
  WriteFile(t / "evil.tar",
            Entry("../../escape.txt", "1") + Entry("/abs/path.txt", "2") + Entry("a/../../b.txt", "3") + Zeros(2));
  const TRun r = RunUnTar(t / "evil.tar", t / "out");
  EXPECT_FALSE(fs::exists(t.path().parent_path() / "escape.txt"));
  EXPECT_FALSE(fs::exists("/abs/path.txt"));
  EXPECT_EQ(r.Tree, (std::map<std::string, std::string>{
                        {"escape.txt", "1"}, {"abs/", ""}, {"abs/path.txt", "2"}, {"a/", ""}, {"a/b.txt", "3"}}));
}

TEST(UnTar, TruncatedDataIsKeptAndReported) {
  TempDir t;
  const std::string full = Entry("first", "complete") + Entry("second", std::string(2000, 's'));
  WriteFile(t / "cut.tar", full.substr(0, 512 + 512 + 512 + 700));
  TRun r = RunUnTar(t / "cut.tar", t / "out");
  EXPECT_EQ(r.Tree["first"], "complete");
  EXPECT_EQ(r.Tree["second"], std::string(700, 's'));
  EXPECT_EQ(r.Errors, std::vector<int32_t>{ecReadFile});
  ASSERT_EQ(r.Ends.size(), 2u);
  EXPECT_TRUE(r.Ends[0].second);
  EXPECT_FALSE(r.Ends[1].second);
}

TEST(UnTar, TestListAndMasks) {
  TempDir t;
  WriteFile(t / "m.tar", Entry("a.txt", "A") + Entry("sub/b.txt", "BB") + Entry("c.bin", "C") + Zeros(20));
  TRun test = RunUnTar(t / "m.tar", t / "none", xmTest);
  EXPECT_EQ(test.Result, 3);
  EXPECT_FALSE(fs::exists(t / "none" / "a.txt"));

  TUnTar u;
  u.SetArchiveFile((t / "m.tar").string());
  u.FileSpec = {"*.txt"};
  u.ExtractMode = xmList;
  std::vector<TListEntry> listed;
  u.OnListEntry = [&](TZipCommon*, const TListEntry& e) { listed.push_back(e); };
  EXPECT_EQ(u.Extract(), 2);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[1].Name, "sub/b.txt");
  EXPECT_EQ(listed[1].Size, 2);
  EXPECT_EQ(listed[1].MethodName, "Tarred");
  EXPECT_EQ(listed[1].DosDateTime, UnixToDosDateTime(1700000000));
}

TEST(UnTar, DamagedHeaderIsReportedAndTheRestRead) {
  TempDir t;
  TTarBlock bad = Header("bad", 0);
  bad[3] = 'Q';
  WriteFile(t / "d.tar", Entry("ok1", "1") + Bytes(bad) + Entry("ok2", "2") + Zeros(2));
  const TRun r = RunUnTar(t / "d.tar", t / "out");
  EXPECT_EQ(r.Tree, (std::map<std::string, std::string>{{"ok1", "1"}, {"ok2", "2"}}));
  EXPECT_EQ(r.Errors, std::vector<int32_t>{ecBadFileHeader});
}

TEST(UnTar, SharedSamplesGiveWhatGnuTarGives) {
  struct Case {
    const char* File;
    std::map<std::string, std::string> Tree;
  } cases[] = {
      // Both archives are read, as GNU tar does with --ignore-zeros.
      {"tar/test_read_format_tar_concatenated.tar", {{"file1", ""}, {"file2", ""}}},
      {"tar/test_read_format_tar_empty_filename.tar", {}},
      {"tar/test_read_format_tar_empty_with_gnulabel.tar", {}},
  };
  for (const Case& c : cases) {
    TempDir t;
    const TRun r = RunUnTar(Testdata(c.File), t / "out");
    EXPECT_EQ(r.Tree, c.Tree) << c.File;
    EXPECT_TRUE(r.Errors.empty()) << c.File;
  }
}

// NUL bytes in stored names: fixed fields and GNU long names end at the first NUL (as in GNU
// tar), so "..<NUL>/x" reads as ".." and leaves no name; pax records keep the whole value and
// are refused. Either way the entry is reported with 25245 and nothing lands outside out/.
TEST(UnTar, NamesHoldingNulAreRefused) {
  const std::string evil("..\0/..\0/x.txt", 13);
  TTarBlock prefixed = Header("x.txt", 1);
  std::memcpy(prefixed.data() + thMagic,
              "ustar\0"
              "00",
              8);
  std::memcpy(prefixed.data() + thPrefix, "..\0/..\0", 7);
  TarPutChecksum(prefixed, tcSevenDigits);
  const std::vector<uint8_t> longName = TarLongNameBlocks(evil + std::string(100, 'n'), {});
  auto pax = [](const std::string& Key, const std::string& Value) {
    const std::string rec = PaxRecord(Key, Value);
    return Entry(Header("PaxHeader", int64_t(rec.size()), 'x'), rec);
  };
  const struct {
    const char* What;
    std::string Entry;
    int Refused;  // 25245 reports
    std::map<std::string, std::string> Out;
  } cases[] = {
      {"name field", Entry(evil, "1"), 1, {}},
      {"ustar prefix", Entry(prefixed, "2"), 0, {{"x.txt", "2"}}},
      {"GNU long name", std::string(longName.begin(), longName.end()) + Entry("short", "3"), 1, {}},
      {"pax path", pax("path", evil) + Entry("p.txt", "4"), 1, {}},
      {"pax linkpath", pax("linkpath", evil) + Entry("l", "", '2'), 1, {}},
  };
  for (const auto& c : cases) {
    TempDir t;
    WriteFile(t / "a.tar", c.Entry + Entry("good.txt", "good") + Zeros(2));
    const TRun r = RunUnTar(t / "a.tar", t / "a/b/out");
    EXPECT_EQ(std::count(r.Errors.begin(), r.Errors.end(), ecInvalidFileName), c.Refused) << c.What;
    auto want = c.Out;
    want["good.txt"] = "good";
    EXPECT_EQ(r.Tree, want) << c.What;
    for (const auto& [name, data] : ReadTree(t.path()))
      EXPECT_TRUE(name == "a.tar" || name.rfind("a/b/out", 0) == 0 || name == "a/" || name == "a/b/")
          << c.What << " wrote " << name;
  }
}

namespace {

// An old GNU sparse header: its (offset, length) pairs (at most 4 here), the full size, the
// stored size and the extension flag.
TTarBlock OldSparse(const std::string& Name, const std::vector<std::pair<int64_t, int64_t>>& Runs, int64_t Full,
                    int64_t Stored, bool Extended = false) {
  TTarBlock h = Header(Name, Stored, 'S');
  for (size_t i = 0; i < Runs.size(); ++i) {
    TarPutNumber(h.data() + 386 + 24 * i, 12, uint64_t(Runs[i].first));
    TarPutNumber(h.data() + 398 + 24 * i, 12, uint64_t(Runs[i].second));
  }
  h[482] = Extended;
  TarPutNumber(h.data() + 483, 12, uint64_t(Full));
  TarPutChecksum(h, tcSevenDigits);
  return h;
}

std::string Cut(const std::string& S, size_t Keep) { return S.substr(0, Keep); }

std::string HardLink(const std::string& Name, const std::string& Target) {
  TTarHeaderValues v;
  v.Name = Name;
  v.Typeflag = '1';
  v.LinkName = Target;
  TTarBlock h;
  TarBuildHeader(h, v);
  return Bytes(h);
}

}  // namespace

// Variants found in the wild, each with the tree GNU tar makes or the reason brel gives: folder
// sizes, metadata-only records, vendor types, links named with "/" or "..", dumpdirs, sparse
// maps good and hostile, and archives cut short.
TEST(UnTar, WildVariantsGiveTheRightTreeOrSayWhy) {
  using Tree = std::map<std::string, std::string>;
  const std::string next = Entry("next.txt", "next");
  TTarBlock ext{};  // an extension block with two more fragments
  TarPutNumber(ext.data(), 12, 100);
  TarPutNumber(ext.data() + 12, 12, 2);
  TarPutNumber(ext.data() + 24, 12, 200);
  TarPutNumber(ext.data() + 36, 12, 1);
  const std::string paxSparse01 = PaxRecord("GNU.sparse.size", "8") + PaxRecord("GNU.sparse.map", "2,3,6,1");
  const std::string map10 = std::string("2\n1\n2\n6\n1\n").append(502, '\0');
  const std::string paxSparse10 = PaxRecord("GNU.sparse.major", "1") + PaxRecord("GNU.sparse.minor", "0") +
                                  PaxRecord("GNU.sparse.name", "s10") + PaxRecord("GNU.sparse.realsize", "9");
  const struct {
    const char* What;
    std::string Tar;
    Tree Out;
    std::vector<int32_t> Errors;
  } cases[] = {
      {"folder with a size", Bytes(Header("dir/", 1024, '5')) + next, {{"dir/", ""}, {"next.txt", "next"}}, {}},
      {"metadata-only records",
       Entry("acl", "user::rw-", 'A') + Entry("xa", "attr", 'E') + Entry("ino", "", 'I') + Entry("ren", "x", 'N') +
           Pax(PaxRecord("comment", "c"), 'X') + next,
       {{"next.txt", "next"}},
       {}},
      {"vendor type and continuation",
       Entry("odd", "data", 'Q') + Entry("part", "rest", 'M') + next,
       {{"next.txt", "next"}},
       {ecUnknownFileType, ecUnknownFileType}},
      {"hard links to cleaned names",
       Entry("/abs/x", "X") + Entry("../y", "Y") + Entry("z", "Z") + HardLink("hx", "/abs/x") + HardLink("hy", "../y") +
           HardLink("hz", "./z"),
       {{"abs/", ""}, {"abs/x", "X"}, {"y", "Y"}, {"z", "Z"}, {"hx", "X"}, {"hy", "Y"}, {"hz", "Z"}},
       {}},
      {"dumpdir", Entry("inc/", std::string("Yf\0Nold\0\0", 9), 'D') + next, {{"inc/", ""}, {"next.txt", "next"}}, {}},
      {"old GNU sparse with an extension block",
       Entry(OldSparse("s", {{1, 2}, {5, 2}}, 210, 7, true), "") + Bytes(ext) +
           std::string("abcdABC").append(505, '\0') + next,
       {{"s", std::string("\0ab\0\0cd", 7) + std::string(93, '\0') + "AB" + std::string(98, '\0') + "C" +
                  std::string(9, '\0')},
        {"next.txt", "next"}},
       {}},
      {"pax 0.1 sparse", Pax(paxSparse01) + Entry("s01", "abcd"), {{"s01", std::string("\0\0abc\0d\0", 8)}}, {}},
      {"pax 1.0 sparse",
       Pax(paxSparse10) + Entry("GNUSparseFile.1/s10", map10 + "abc"),
       {{"s10", std::string("\0ab\0\0\0c\0\0", 9)}},
       {}},
      {"sparse runs out of order",
       Entry(OldSparse("s", {{5, 2}, {1, 2}}, 8, 4), "abcd") + next,
       {{"next.txt", "next"}},
       {ecBadFileHeader}},
      {"sparse run beyond the size",
       Entry(OldSparse("s", {{7, 2}}, 8, 2), "ab") + next,
       {{"next.txt", "next"}},
       {ecBadFileHeader}},
      {"sparse map not matching the data",
       Entry(OldSparse("s", {{0, 2}}, 8, 3), "abc") + next,
       {{"next.txt", "next"}},
       {ecBadFileHeader}},
      {"pax sparse map odd",
       Pax(PaxRecord("GNU.sparse.size", "8") + PaxRecord("GNU.sparse.map", "1,2,3")) + Entry("s", "ab") + next,
       {{"next.txt", "next"}},
       {ecBadFileHeader}},
      {"pax 1.0 map huge count",
       Pax(paxSparse10) + Entry("s", std::string("99999999999\n").append(500, '\0')) + next,
       {{"next.txt", "next"}},
       {ecBadFileHeader}},
      {"cut after a pax record", Pax(PaxRecord("path", "p.txt")), {}, {ecBadFileHeader}},
      {"cut inside a header", next + Cut(Bytes(Header("h", 0)), 300), {{"next.txt", "next"}}, {ecBadFileHeader}},
      {"cut inside a long name",
       next + Cut(Entry("././@LongLink", std::string(900, 'n'), 'L'), 1024),
       {{"next.txt", "next"}},
       {ecBadFileHeader}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    TempDir t;
    WriteFile(t / "a.tar", c.Tar);
    const TRun r = RunUnTar(t / "a.tar", t / "out");
    EXPECT_EQ(r.Tree, c.Out);
    EXPECT_EQ(r.Errors, c.Errors);
    EXPECT_EQ(RunUnTar(t / "a.tar", t / "none", xmTest).Errors, c.Errors);
    if (c.Errors == std::vector<int32_t>{ecBadFileHeader})  // damage shows in a listing too
      EXPECT_EQ(RunUnTar(t / "a.tar", t / "none", xmList).Errors, c.Errors);
  }
}

// Each 'x' record applies to the next entry alone, a later one replacing an earlier; 'g' records
// apply to every entry after them, under the 'x' of each. A listing shows the files' real sizes.
TEST(UnTar, PaxRecordsApplyAsTheirTypeSays) {
  TempDir t;
  const int64_t g = 1500000000, x = 1600000000;
  WriteFile(t / "p.tar", Pax(PaxRecord("mtime", std::to_string(g)), 'g') + Pax(PaxRecord("path", "lost.txt")) +
                             Pax(PaxRecord("mtime", std::to_string(x) + ".5")) + Entry("one.txt", "1") +
                             Entry("two.txt", "22") + Zeros(2));
  TUnTar u;
  u.SetArchiveFile((t / "p.tar").string());
  u.FileSpec = {"*"};
  u.ExtractMode = xmList;
  std::vector<std::pair<std::string, uint32_t>> listed;
  u.OnListEntry = [&](TZipCommon*, const TListEntry& e) { listed.emplace_back(e.Name, e.DosDateTime); };
  EXPECT_EQ(u.Extract(), 2);
  EXPECT_EQ(listed, (std::vector<std::pair<std::string, uint32_t>>{{"one.txt", UnixToDosDateTime(x)},
                                                                   {"two.txt", UnixToDosDateTime(g)}}));
}

// Cut short inside an entry's data: a listing says so too (extraction reports the short copy).
TEST(UnTar, ListingACutArchiveSaysSo) {
  TempDir t;
  WriteFile(t / "cut.tar", Entry("f", std::string(2000, 'f')).substr(0, 1000));
  TUnTar u;
  u.SetArchiveFile((t / "cut.tar").string());
  u.FileSpec = {"*"};
  u.ExtractMode = xmList;
  std::vector<int32_t> errors;
  u.OnError = [&](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t c) {
    errors.push_back(c);
  };
  EXPECT_EQ(u.Extract(), 1);
  EXPECT_EQ(errors, std::vector<int32_t>{ecBadFileHeader});
}

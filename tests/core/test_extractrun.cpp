// The reader run of the frame: entry masks, output names, overwrite rules, the CRC check and
// the run's own failures, driven through the ZIP reader on small stored archives.
#include <gtest/gtest.h>

#include "../zip/test_unzip_builder.h"

using namespace testsupport;

TEST(ExtractRun, EntryMasks) {
  TUnZip z;
  const struct {
    std::vector<std::string> Spec;
    bool Recurse;
    const char* Name;
    bool Selected;
  } cases[] = {
      {{"*.txt"}, true, "sub/a.txt", true},
      {{"*.txt"}, false, "sub/a.txt", false},
      {{"*.txt"}, false, "a.txt", true},
      {{"sub/*.txt"}, true, "sub/deeper/a.txt", true},  // a star spans folders
      {{"sub/*.txt"}, false, "sub/deeper/a.txt", false},
      {{"*.*"}, true, "README", true},            // a name without a dot
      {{"SUB/A.TXT"}, false, "sub/a.txt", true},  // equal names, any case
      {{"*.log", "*.txt"}, true, "x/b.txt", true},
      {{"*.log"}, true, "x/b.txt", false},
      {{"*"}, true, "", false},
      {{"*"}, true, "dir/", true},
  };
  for (const auto& c : cases) {
    z.FileSpec = c.Spec;
    z.RecurseDirs = c.Recurse;
    EXPECT_EQ(z.EntrySelected(c.Name), c.Selected) << c.Spec[0] << " " << c.Name;
  }
  z.FileSpec = {"*"};
  z.ExcludeSpec = {"*.bak"};
  EXPECT_FALSE(z.EntrySelected("d/x.bak"));
  EXPECT_TRUE(z.EntrySelected("d/x.txt"));
  // Each setting changed between two tests counts at once.
  z.ExcludeSpec.clear();
  EXPECT_TRUE(z.EntrySelected("d/x.bak"));
  z.FileSpec = {"d/*.TXT"};
  EXPECT_TRUE(z.EntrySelected("d\\x.txt"));
  z.CaseSensitiveMasks = true;
  EXPECT_FALSE(z.EntrySelected("d/x.txt"));
}

TEST(ExtractRun, OutputNames) {
  TUnZip z;
  z.SetExtractDir("/out");
  const struct {
    const char* Stored;
    bool StoredDirs;
    const char* Output;
  } cases[] = {
      {"C:\\dir\\a.txt", true, "/out/dir/a.txt"},    {"C:\\dir\\a.txt", false, "/out/a.txt"},
      {"dir/sub/", true, "/out/dir/sub/"},           {"dir/sub/", false, "/out/"},
      {"../../etc/passwd", true, "/out/etc/passwd"}, {"..", true, ""},
  };
  for (const auto& c : cases) {
    z.UseStoredDirs = c.StoredDirs;
    z.SetCurrentName(c.Stored);
    EXPECT_EQ(z.CurrentName(), c.Output) << c.Stored;
  }
  // A new output folder counts at once.
  z.SetExtractDir("/other");
  z.SetCurrentName("a.txt");
  EXPECT_EQ(z.CurrentName(), "/other/a.txt");
}

// ConfirmOverwrites off: OverwriteMode alone decides; on: OnFileExists decides per file.
TEST(ExtractRun, OverwriteRules) {
  TempDir t;
  WriteFile(t / "a.zip", BuildZip({{"x.txt", "new"}, {"y.txt", "new"}}));
  auto run = [&](TOverwriteMode Mode, bool Confirm, const TUnBase::TOnFileExistsFn& Ask = nullptr) {
    fs::remove_all(t / "o");
    WriteFile(t / "o/x.txt", "old");
    TReaderRun r((t / "a.zip").string(), (t / "o").string());
    r.Zip.OverwriteMode = Mode;
    r.Zip.ConfirmOverwrites = Confirm;
    if (Ask) r.Zip.OnFileExists = Ask;
    const int n = r.Zip.Extract();
    return std::pair{n, ReadTree(t / "o")};
  };
  using Tree = std::map<std::string, std::string>;
  EXPECT_EQ(run(omSkip, false), (std::pair{0, Tree{{"x.txt", "old"}}}));
  EXPECT_EQ(run(omOverwrite, false), (std::pair{2, Tree{{"x.txt", "new"}, {"y.txt", "new"}}}));
  // No handler: 25270 and the existing file stays; the other one is written.
  EXPECT_EQ(run(omOverwrite, true), (std::pair{1, Tree{{"x.txt", "old"}, {"y.txt", "new"}}}));
  // An answer naming another existing file asks again; the same name ends the asking.
  WriteFile(t / "taken.txt", "taken");
  int asked = 0;
  const auto renamer = [&](TZipCommon*, const std::string& F, std::string& New, TOverwriteMode&) {
    ++asked;
    New = asked == 1 ? (t / "taken.txt").string() : asked == 2 ? (t / "o/renamed.txt").string() : F;
  };
  EXPECT_EQ(run(omOverwrite, true, renamer),
            (std::pair{2, Tree{{"renamed.txt", "new"}, {"x.txt", "old"}, {"y.txt", "new"}}}));
  EXPECT_EQ(asked, 2);
}

TEST(ExtractRun, CheckCrcAcceptsValueAndComplement) {
  TempDir t;
  const std::string data = "checked";
  const uint32_t crc = Crc32Of(data.data(), data.size());
  for (uint32_t stored : {crc, crc ^ 0xFFFFFFFFu, crc ^ 1u}) {
    TZipSpec e{"f", data};
    e.Crc = stored;
    WriteFile(t / "c.zip", BuildZip({e}));
    TReaderRun r((t / "c.zip").string(), (t / "o").string());
    r.Zip.ExtractMode = xmTest;
    r.Zip.Extract();
    EXPECT_EQ(r.Count(ecCrcCheck), stored == (crc ^ 1u) ? 1 : 0);
  }
}

TEST(ExtractRun, RunFailuresAndEvents) {
  TUnZip empty;
  std::vector<int32_t> codes;
  empty.OnError = [&](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t C) {
    codes.push_back(C);
  };
  EXPECT_EQ(empty.Extract(), 0);
  EXPECT_EQ(codes, std::vector<int32_t>{ecFileNotFound});

  TempDir t;
  WriteFile(t / "a.zip", BuildZip({{"a", "1"}, {"b", "2"}, {"c", "3"}}));
  TReaderRun r((t / "a.zip").string(), (t / "o").string());
  std::vector<std::string> events;
  r.Zip.OnActivate = [&](TZipCommon*) { events.push_back("activate"); };
  r.Zip.OnDeactivate = [&](TZipCommon*) { events.push_back("deactivate"); };
  r.Zip.OnBegin = [&](TZipCommon* S, const std::string& F, int Count, bool& Extract) {
    events.push_back(fs::path(F).filename().string() + std::to_string(Count));
    Extract = fs::path(F).filename() != "b";
    if (fs::path(F).filename() == "c") S->SetCancel(true);
  };
  std::vector<uint8_t> progress;
  r.Zip.OnProgress = [&](TZipCommon*, uint8_t, uint8_t ByArchive) { progress.push_back(ByArchive); };
  EXPECT_EQ(r.Zip.Extract(), 1);
  EXPECT_EQ(events, (std::vector<std::string>{"activate", "a1", "b2", "c2", "deactivate"}));
  EXPECT_EQ(r.Count(ecUserCanceled), 1);
  for (uint8_t p : progress) EXPECT_LE(p, 100);
  EXPECT_EQ(ReadTree(t / "o"), (std::map<std::string, std::string>{{"a", "1"}}));
}

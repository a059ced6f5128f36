// Where the extraction job writes: always one new folder beside the archive, never through a
// link, never merged into, without a doubled top folder; encrypted entries and cancelling.
#include "app/ArchiveJobs.h"
#include "archive/core/qrvErrors.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using namespace testsupport;
using Tree = std::map<std::string, std::string>;

struct TReport {
  int32_t Code;
  std::string File, Msg;
};

// Runs the jobs with a record of their reports and password questions.
struct TJobLog {
  std::vector<TReport> Reports;
  std::vector<std::string> Asked;  // entries asked for
  std::string Answer;              // "" declines
  bool ForAll = true;
  std::atomic<bool> Cancel{false};
  bool CancelOnProgress = false;

  TArchiveJobEvents Events() {
    TArchiveJobEvents e;
    e.OnError = [this](TZipCommon*, const std::string& file, const std::string& msg, const std::string&, int32_t code) {
      Reports.push_back({code, file, msg});
    };
    e.OnProgress = [this](TZipCommon*, uint8_t, uint8_t) {
      if (CancelOnProgress) Cancel = true;
    };
    e.OnGetPassword = [this](const std::string&, const std::string& entry, std::string& password, bool& forAll) {
      Asked.push_back(entry);
      password = Answer;
      forAll = ForAll;
      return !Answer.empty();
    };
    e.Cancel = &Cancel;
    return e;
  }
  std::vector<int32_t> Codes() const {
    std::vector<int32_t> c;
    for (const TReport& r : Reports) c.push_back(r.Code);
    return c;
  }
};

// Makes an archive with a peer tool from the tree Files (relative name -> content; a name
// ending in "/" is a folder), entries named as given, in t/src.
void PeerArchive(const fs::path& t, const std::string& archive, const Tree& files,
                 const std::vector<std::string>& tool) {
  const fs::path src = t / "src";
  fs::remove_all(src);
  fs::create_directories(src);
  std::vector<std::string> argv = tool;
  argv.push_back((t / archive).string());
  for (const auto& [name, content] : files) {
    if (name.back() == '/')
      fs::create_directories(src / name);
    else
      WriteFile(src / name, content);
    argv.push_back(name);
  }
  const CommandResult r = Run(argv, src);
  ASSERT_EQ(r.status, 0) << r.out;
  fs::remove_all(src);
}

const std::vector<std::string> kZip = {"zip", "-q", "-X"};
const std::vector<std::string> kTar = {"tar", "--no-recursion", "-cf"};

TEST(UnpackJob, FolderIsOneNewNameBesideTheArchiveAndTopFoldersAreNotDoubled) {
  REQUIRE_TOOLS("zip", "tar");
  struct Case {
    const char* name;
    const char* archive;
    std::vector<std::string> tool;
    Tree entries;
    std::vector<std::string> before;  // folders that exist already ("x/keep" a file in x)
    const char* target;               // where the entries land, relative to t
    Tree expected;                    // below target
  };
  const Tree proj = {{"proj/", ""}, {"proj/a.txt", "A"}, {"proj/sub/b.txt", "B"}};
  const Tree lifted = {{"a.txt", "A"}, {"sub/", ""}, {"sub/b.txt", "B"}};
  const Case cases[] = {
      {"dots zip", "...zip", kZip, {{"a.txt", "A"}}, {}, "...zip_files", {{"a.txt", "A"}}},
      {"dots tar", "..tar", kTar, {{"a.txt", "A"}}, {}, "..tar_files", {{"a.txt", "A"}}},
      {"one top folder", "proj.zip", kZip, proj, {}, "proj", lifted},
      {"top folder exists", "proj.tar", kTar, proj, {"proj/keep"}, "proj (2)", lifted},
      {"two taken", "proj.zip", kZip, proj, {"proj/keep", "proj (2)/keep"}, "proj (3)", lifted},
      {"other top name",
       "other.zip",
       kZip,
       proj,
       {},
       "other",
       {{"proj/", ""}, {"proj/a.txt", "A"}, {"proj/sub/", ""}, {"proj/sub/b.txt", "B"}}},
      {"beside a loose file",
       "proj.zip",
       kZip,
       {{"proj/a.txt", "A"}, {"x.txt", "X"}},
       {},
       "proj",
       {{"proj/", ""}, {"proj/a.txt", "A"}, {"x.txt", "X"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir t;
    PeerArchive(t.path(), c.archive, c.entries, c.tool);
    for (const std::string& f : c.before) WriteFile(t / f, "mine");
    TJobLog log;
    const TJobResult r = UnpackArchive((t / c.archive).string(), log.Events());
    EXPECT_EQ(r.Outcome, joDone);
    EXPECT_TRUE(log.Reports.empty());
    EXPECT_EQ(r.Target, (t / c.target).string());
    EXPECT_EQ(ReadTree(t / c.target), c.expected);
    for (const std::string& f : c.before) EXPECT_EQ(ReadFile(t / f), "mine") << f;
    // Nothing else appeared beside the archive (no hidden leftover of the lift).
    EXPECT_EQ(size_t(std::distance(fs::directory_iterator(t.path()), {})), c.before.size() + 2);
  }
}

TEST(UnpackJob, LinkOrFileInTheWayIsReportedAndNothingIsWritten) {
  REQUIRE_TOOLS("zip");
  for (const bool link : {true, false}) {
    SCOPED_TRACE(link ? "link" : "file");
    TempDir t, outside;
    PeerArchive(t.path(), "inner.zip", {{"inner/a.txt", "A"}, {"b.txt", "B"}}, kZip);
    if (link)
      fs::create_directory_symlink(outside.path(), t / "inner");
    else
      WriteFile(t / "inner", "a file");
    TJobLog log;
    const TJobResult r = UnpackArchive((t / "inner.zip").string(), log.Events());
    EXPECT_EQ(r.Outcome, joFailed);
    ASSERT_EQ(log.Codes(), std::vector<int32_t>{ecOpenFile});
    EXPECT_NE(log.Reports[0].Msg.find(link ? "link" : "file"), std::string::npos) << log.Reports[0].Msg;
    EXPECT_TRUE(fs::is_empty(outside.path()));
    EXPECT_EQ(size_t(std::distance(fs::directory_iterator(t.path()), {})), 2u);
  }
}

TEST(UnpackJob, EncryptedEntriesAskAndDeclinedOnesLeaveNothing) {
  REQUIRE_TOOLS("zip", "7z");
  const std::vector<std::string> zipCrypto = {"zip", "-q", "-P", "secret"};
  const std::vector<std::string> aes = {"7z", "a", "-tzip", "-psecret", "-mem=AES256", "-bd", "-bso0"};
  struct Case {
    const char* name;
    std::vector<std::string> tool;
    const char* answer;
    bool forAll;
    size_t asked;
    int skipped;
    bool folderLeft;
  };
  const Case cases[] = {
      {"ZipCrypto declined", zipCrypto, "", true, 1, 2, false},     {"AES declined", aes, "", true, 1, 2, false},
      {"ZipCrypto for all", zipCrypto, "secret", true, 1, 0, true}, {"AES for all", aes, "secret", true, 1, 0, true},
      {"one at a time", zipCrypto, "secret", false, 2, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir t;
    PeerArchive(t.path(), "locked.zip", {{"a.txt", "A"}, {"b.txt", "B"}}, c.tool);
    TJobLog log;
    log.Answer = c.answer;
    log.ForAll = c.forAll;
    const TJobResult r = UnpackArchive((t / "locked.zip").string(), log.Events());
    EXPECT_EQ(r.Outcome, joDone);
    EXPECT_TRUE(log.Reports.empty()) << log.Reports[0].Code;
    EXPECT_EQ(log.Asked.size(), c.asked);
    EXPECT_EQ(r.Skipped, c.skipped);
    EXPECT_EQ(r.SkipReason.empty(), c.skipped == 0);
    EXPECT_EQ(fs::exists(t / "locked"), c.folderLeft);
    if (c.folderLeft) EXPECT_EQ(ReadTree(t / "locked"), (Tree{{"a.txt", "A"}, {"b.txt", "B"}}));
  }

  // Without a question handler (brel-cli -q) the encrypted entries are skipped; a plain entry
  // beside them is still extracted, and no empty file stands for the others.
  TempDir t;
  PeerArchive(t.path(), "mixed.zip", {{"locked.txt", "L"}}, zipCrypto);
  WriteFile(t / "plain.txt", "P");
  ASSERT_EQ(testsupport::Run({"zip", "-q", (t / "mixed.zip").string(), "plain.txt"}, t.path()).status, 0);
  fs::remove(t / "plain.txt");
  TArchiveJobEvents none;
  const TJobResult r = UnpackArchive((t / "mixed.zip").string(), none);
  EXPECT_EQ(r.Skipped, 1);
  EXPECT_EQ(ReadTree(t / "mixed"), (Tree{{"plain.txt", "P"}}));
}

TEST(UnpackJob, CliRunSaysWhereItExtractedAndWhatItLeftOut) {
  REQUIRE_TOOLS("zip");
  TempDir t;
  PeerArchive(t.path(), "...zip", {{"a.txt", "A"}}, kZip);
  PeerArchive(t.path(), "locked.zip", {{"a.txt", "A"}}, {"zip", "-q", "-P", "secret"});
  PeerArchive(t.path(), "inner.zip", {{"a.txt", "A"}}, kZip);
  fs::create_directory_symlink("/tmp", t / "inner");
  const struct {
    const char* archive;
    int status;
    std::string says;
  } cases[] = {
      {"...zip", 0, "Extracted into " + (t / "...zip_files").string()},
      {"locked.zip", 1, "locked.zip: 1 entries skipped (encrypted, no password given)"},
      {"inner.zip", 1, "25235 Error opening file: " + (t / "inner").string() + " (a link of that name is in the way)"},
  };
  for (const auto& c : cases) {
    const CommandResult r = RunCli({"run", (t / c.archive).string()});
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  }
  EXPECT_FALSE(fs::exists(t / "locked"));
}

TEST(UnpackJob, CancelStopsTheJobAndKeepsTheOldArchive) {
  REQUIRE_TOOLS("zip");
  TempDir t;
  WriteFile(t / "docs/a.bin", RandomBytes(3 << 20, 1));
  WriteFile(t / "docs/b.bin", RandomBytes(3 << 20, 2));
  // Cancelled before the start: nothing is made.
  TJobLog early;
  early.Cancel = true;
  EXPECT_EQ(MakeArchive(akZip, {(t / "docs/*.*").string()}, early.Events()).Outcome, joCancelled);
  EXPECT_FALSE(fs::exists(t / "docs.zip"));

  TJobLog log;
  ASSERT_EQ(MakeArchive(akZip, {(t / "docs/*.*").string()}, log.Events()).Outcome, joDone);
  const std::string old = ReadFile(t / "docs.zip");
  WriteFile(t / "docs/c.bin", RandomBytes(3 << 20, 3));
  TJobLog cancel;
  cancel.CancelOnProgress = true;
  EXPECT_EQ(MakeArchive(akZip, {(t / "docs/*.*").string()}, cancel.Events()).Outcome, joCancelled);
  EXPECT_EQ(ReadFile(t / "docs.zip"), old);
  EXPECT_EQ(size_t(std::distance(fs::directory_iterator(t.path()), {})), 2u);  // no temporary file

  fs::rename(t / "docs", t / "original");
  TJobLog unpack;
  unpack.CancelOnProgress = true;
  EXPECT_EQ(UnpackArchive((t / "docs.zip").string(), unpack.Events()).Outcome, joCancelled);
}

}  // namespace

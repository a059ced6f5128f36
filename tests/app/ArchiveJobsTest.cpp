#include "app/ArchiveJobs.h"
#include "support/TestSupport.h"
#include "ui/QtTestSupport.h"

#include <sys/stat.h>

#include <vector>

namespace {

TEST(ArchiveJobs, NewArchiveIsNamedAndPlacedAfterTheFirstPath) {
  struct Case {
    int kind;
    const char* first;
    const char* path;
    bool recurse;
  };
  const Case cases[] = {
      {1, "/a/report.txt", "/a/report.lzh", false},
      {0, "/a/docs/*.*", "/a/docs.zip", true},
      {3, "/a/x.txt", "/a/x.tar", false},
      {2, "/a/archive.tar.gz", "/a/archive.tar.cab", false},
      {0, "/a/noext", "/a/noext.zip", false},
      {0, "/a/.profile", "/a/.profile.zip", false},  // a leading dot is no extension
      {0, "/top.txt", "/top.zip", false},
      {0, "/docs/*.*", "/docs.zip", true},
      {99, "/a/report.txt", "/a/report", false},  // a kind beyond the format table
      {0, "/a/docs//*.*", "/a/docs.zip", true},
      {0, "report.txt", "report.zip", false},  // a bare name stays bare
      {0, "docs/*.*", "docs.zip", true},
  };
  for (const Case& c : cases) {
    const TNewArchive target = NewArchiveFor(c.kind, c.first);
    EXPECT_EQ(target.Path, c.path) << c.first;
    EXPECT_EQ(target.Recurse, c.recurse) << c.first;
  }
}

TEST(ArchiveJobs, ExtractionFolderIsNamedAfterTheArchive) {
  EXPECT_EQ(UnpackFolderFor("/in/photos.zip"), "/in/photos");
  EXPECT_EQ(UnpackFolderFor("/in/data.tar"), "/in/data");
  EXPECT_EQ(UnpackFolderFor("/in/a.b.lzh"), "/in/a.b");
  EXPECT_EQ(UnpackFolderFor("/top.zip"), "/top");
  EXPECT_EQ(UnpackFolderFor("photos.zip"), "photos");
  // Never the folder above, the archive's own folder or the archive itself.
  for (const char* name : {"...zip", "..tar", "...tar.gz", ".zip", "noext", "..", "."})
    EXPECT_EQ(UnpackFolderFor(std::string("/in/") + name), std::string("/in/") + name + "_files");
  EXPECT_EQ(UnpackFolderFor("/in/src.tar.gz"), "/in/src");
  EXPECT_EQ(UnpackFolderFor("/in/src.TGZ"), "/in/src");
}

TEST(ArchiveJobs, PlanExtractsArchivesInOrderAndPacksTheRest) {
  TTempDir dir;
  std::vector<std::string> paths = {dir.File("a.zip"), dir.File("b.txt"), dir.File("c.lzh"), dir.Folder("tools.exe"),
                                    dir.Folder("old.zip")};
  const TArchivePlan plan = PlanArchiveJobs(paths);
  EXPECT_EQ(plan.Extract, (std::vector<std::string>{dir / "a.zip", dir / "c.lzh"}));
  // Folders get the mask, whatever their name looks like.
  EXPECT_EQ(plan.Pack, (std::vector<std::string>{dir / "b.txt", dir / "tools.exe/*.*", dir / "old.zip/*.*"}));
  EXPECT_EQ(paths[3], dir / "tools.exe/*.*");

  std::vector<std::string> trailing = {dir.Folder("docs") + "/", dir.Folder("more") + "//"};
  EXPECT_EQ(PlanArchiveJobs(trailing).Pack, (std::vector<std::string>{dir / "docs/*.*", dir / "more/*.*"}));
}

TEST(ArchiveJobs, FailedOrImpossibleCreationLeavesExistingFilesAlone) {
  TTempDir dir;
  const std::string report = dir.File("report.txt", 5);
  const std::string same = dir.File("report", 5);
  const std::string zip = dir.File("report.zip", 7);
  std::vector<int32_t> codes;
  TArchiveJobEvents events;
  events.OnError = [&](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t code) {
    codes.push_back(code);
  };

  MakeArchive(7, {report}, events);  // no writer for that kind
  MakeArchive(0, {report}, events);  // the writer reports an error and writes nothing
  EXPECT_EQ(testsupport::ReadFile(same), "xxxxx");
  EXPECT_EQ(testsupport::ReadFile(zip), "xxxxxxx");
  EXPECT_FALSE(codes.empty());
}

TEST(ArchiveJobs, UnreadableArchiveIsSkippedWithoutReport) {
  int reports = 0;
  TArchiveJobEvents events;
  events.OnError = [&](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t) { ++reports; };
  UnpackArchive("/nonexistent/folder/x.zip", events);
  EXPECT_EQ(reports, 0);
}

}  // namespace

// The real components behind the jobs: what "Execute" leaves on disk.
namespace {

struct TJobLog {
  std::vector<int32_t> Codes;
  int Progress = 0;
  TArchiveJobEvents Events() {
    TArchiveJobEvents e;
    e.OnError = [this](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t code) {
      Codes.push_back(code);
    };
    e.OnProgress = [this](TZipCommon*, uint8_t, uint8_t) { ++Progress; };
    return e;
  }
};

TEST(ArchiveJobsEndToEnd, FolderIsPackedThenExtractedBesideItsArchive) {
  for (int kind : {int(akZip), int(akTar)}) {
    SCOPED_TRACE(kind);
    testsupport::TempDir t;
    const auto src = t / "docs";
    testsupport::WriteFile(src / "a.txt", testsupport::TextBytes(5000, 1));
    testsupport::WriteFile(src / "sub/b.bin", testsupport::RandomBytes(3000, 2));
    TJobLog log;
    std::vector<std::string> paths = {src.string()};
    const TArchivePlan plan = PlanArchiveJobs(paths);
    MakeArchive(kind, plan.Pack, log.Events());
    EXPECT_TRUE(log.Codes.empty());
    EXPECT_GT(log.Progress, 0);

    const std::string archive = (t / ("docs" + ArchiveExtension(kind))).string();
    const std::string bytes = testsupport::ReadFile(archive);
    ASSERT_FALSE(bytes.empty());

    std::filesystem::rename(src, t / "original");
    UnpackArchive(archive, log.Events());
    EXPECT_TRUE(log.Codes.empty());
    // Extracted into the folder named after the archive, whose name the entries' top folder
    // shares: that level is not doubled.
    EXPECT_EQ(testsupport::ReadTree(t / "docs"), testsupport::ReadTree(t / "original"));
  }
}

TEST(ArchiveJobsEndToEnd, TextNamedLikeAnArchiveIsSkippedSilently) {
  testsupport::TempDir t;
  testsupport::WriteFile(t / "notes.zip", "just some notes, not an archive\n");
  TJobLog log;
  UnpackArchive((t / "notes.zip").string(), log.Events());
  EXPECT_TRUE(log.Codes.empty());
  EXPECT_FALSE(std::filesystem::exists(t / "notes"));
}

TEST(ArchiveJobsEndToEnd, LzhAndCabKindsPackOneFileAndUnpackIt) {
  for (const auto& [kind, ext] : {std::pair{akLzh, ".lzh"}, std::pair{akCab, ".cab"}}) {
    SCOPED_TRACE(ext);
    testsupport::TempDir t;
    testsupport::WriteFile(t / "in/report.txt", std::string(3000, 'r'));
    TJobLog log;
    MakeArchive(kind, {(t / "in/report.txt").string()}, log.Events());
    const std::string archive = (t / (std::string("in/report") + ext)).string();
    const std::string bytes = testsupport::ReadFile(archive);
    ASSERT_GT(bytes.size(), 24u);
    UnpackArchive(archive, log.Events());
    EXPECT_TRUE(log.Codes.empty());
    // The stored name keeps the start folder, as for ZIP.
    EXPECT_EQ(testsupport::ReadFile(t / "in/report/in/report.txt"), std::string(3000, 'r'));
  }
}

}  // namespace

// The packing job: the same bytes as brel-cli a, listed files winning over changed entries, one
// stored name for two files refused, and the system's reason when the folder takes no file.
#include "app/ArchiveJobs.h"
#include "archive/core/qrvErrors.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

struct TReport {
  int32_t Code;
  std::string Msg;
};

TArchiveJobEvents Recording(std::vector<TReport>& reports) {
  TArchiveJobEvents e;
  e.OnError = [&reports](TZipCommon*, const std::string&, const std::string& msg, const std::string&, int32_t code) {
    reports.push_back({code, msg});
  };
  return e;
}

TEST(PackJob, SameBytesAsTheCliAndRepackingAnEditedFileReplacesIt) {
  REQUIRE_TOOLS("7z");
  for (const int kind : {akZip, akLzh, akCab, akTar}) {
    const std::string ext = ArchiveExtension(kind);
    SCOPED_TRACE(ext);
    TempDir t;
    WriteFile(t / "docs/a.txt", TextBytes(5000, 1));
    WriteFile(t / "docs/sub/b.bin", RandomBytes(700, 2));
    std::vector<TReport> reports;
    EXPECT_EQ(MakeArchive(kind, {(t / "docs/*.*").string()}, Recording(reports)).Outcome, joDone);
    // brel-cli stores the files' own owners; the window the fixed 2/root.
    std::vector<std::string> args = {"a", "-q", (t / ("cli" + ext)).string(), (t / "docs").string()};
    if (kind == akTar) args.insert(args.begin() + 1, {"--owner", "root:2", "--group", "root:2"});
    const CommandResult cli = RunCli(args);
    ASSERT_EQ(cli.status, 0) << cli.out;
    const std::string made = ReadFile(t / ("docs" + ext));
    EXPECT_EQ(made, ReadFile(t / ("cli" + ext)));
    // LZH ends with its own 0x00 end mark; the others end with their last record.
    if (kind == akLzh)
      EXPECT_EQ(made.back(), '\0');
    else
      EXPECT_EQ(testsupport::Run({"7z", "t", (t / ("docs" + ext)).string()}).out.find("data after the end"),
                std::string::npos);

    // An edited file is packed again: the listed file wins over the stored entry.
    WriteFile(t / "docs/a.txt", "edited");
    EXPECT_EQ(MakeArchive(kind, {(t / "docs/*.*").string()}, Recording(reports)).Outcome, joDone);
    EXPECT_TRUE(reports.empty()) << reports[0].Code << ' ' << reports[0].Msg;
    fs::rename(t / "docs", t / "original");
    EXPECT_EQ(UnpackArchive((t / ("docs" + ext)).string(), Recording(reports)).Outcome, joDone);
    EXPECT_EQ(ReadTree(t / "docs"), ReadTree(t / "original"));
  }
}

TEST(PackJob, TwoFilesUnderOneStoredNameWriteNoArchive) {
  TempDir t;
  WriteFile(t / "c1/x/readme.txt", "one");
  WriteFile(t / "c2/x/readme.txt", "two");
  const std::vector<std::string> listed = {(t / "c1/x/*.*").string(), (t / "c2/x/*.*").string()};
  for (const bool oldArchive : {false, true}) {
    SCOPED_TRACE(oldArchive);
    std::vector<TReport> reports;
    if (oldArchive) ASSERT_EQ(MakeArchive(akZip, {listed[0]}, Recording(reports)).Outcome, joDone);
    const std::string old = oldArchive ? ReadFile(t / "c1/x.zip") : std::string();
    EXPECT_EQ(MakeArchive(akZip, listed, Recording(reports)).Outcome, joFailed);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].Code, ecInvalidFileName);
    EXPECT_EQ(reports[0].Msg, "two files have the stored name x/readme.txt");
    EXPECT_EQ(fs::exists(t / "c1/x.zip"), oldArchive);
    if (oldArchive) EXPECT_EQ(ReadFile(t / "c1/x.zip"), old);
  }
}

// Runs Job as another user, who may read t but not write into t/ro.
void AsNobody(const std::function<void()>& job) {
  ASSERT_EQ(::seteuid(65534), 0);
  job();
  ASSERT_EQ(::seteuid(0), 0);
}

TEST(PackJob, ReadOnlyFolderGivesTheSystemsReason) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  REQUIRE_TOOLS("zip");
  TempDir t;
  fs::permissions(t.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  WriteFile(t / "ro/a.txt", "A");
  ASSERT_EQ(testsupport::Run({"zip", "-q", (t / "ro/a.zip").string(), "a.txt"}, t / "ro").status, 0);
  fs::rename(t / "ro/a.txt", t / "ro/b.txt");
  std::vector<TReport> packing, unpacking;
  AsNobody([&] {
    MakeArchive(akZip, {(t / "ro/b.txt").string()}, Recording(packing));
    UnpackArchive((t / "ro/a.zip").string(), Recording(unpacking));
  });
  for (const auto* reports : {&packing, &unpacking}) {
    ASSERT_FALSE(reports->empty());
    EXPECT_NE(reports->front().Msg.find("Permission denied"), std::string::npos) << reports->front().Msg;
  }
  EXPECT_FALSE(fs::exists(t / "ro/b.zip"));
  EXPECT_FALSE(fs::exists(t / "ro/a"));
}

}  // namespace

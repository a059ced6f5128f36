// brel-cli run: what "Execute" does with a list, with the status text the window would show.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

TEST(CliRun, FolderIsPackedThenTheArchiveIsExtractedBesideIt) {
  REQUIRE_TOOLS("unzip");
  TempDir t;
  WriteFile(t / "docs/a.txt", TextBytes(3000, 1));
  WriteFile(t / "docs/sub/b.bin", RandomBytes(2000, 2));
  CommandResult r = RunCli({"run", (t / "docs").string()});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "Packed into " + (t / "docs.zip").string() + "\nReady\n");
  ASSERT_TRUE(fs::exists(t / "docs.zip"));
  const CommandResult u = testsupport::Run({"unzip", "-tq", (t / "docs.zip").string()});
  EXPECT_EQ(u.status, 0) << u.out;

  fs::rename(t / "docs", t / "original");
  r = RunCli({"run", (t / "docs.zip").string()});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadTree(t / "docs"), ReadTree(t / "original"));  // the top folder is not doubled
}

// -p: the new ZIP is encrypted with it and the archive run extracts is opened with it; a wrong
// one fails, and a kind without passwords is a usage error.
TEST(CliRun, PasswordPacksAndExtracts) {
  REQUIRE_TOOLS("unzip");
  TempDir t;
  WriteFile(t / "docs/a.txt", TextBytes(3000, 1));
  ASSERT_EQ(RunCli({"run", "-p", "pw", (t / "docs").string()}).status, 0);
  EXPECT_EQ(testsupport::Run({"unzip", "-tq", "-P", "pw", (t / "docs.zip").string()}).status, 0);
  EXPECT_NE(testsupport::Run({"unzip", "-tq", "-P", "no", (t / "docs.zip").string()}).status, 0);
  fs::rename(t / "docs", t / "original");
  EXPECT_EQ(RunCli({"run", "-p", "wrong", (t / "docs.zip").string()}).status, 1);
  fs::remove_all(t / "docs");
  ASSERT_EQ(RunCli({"run", "-p", "pw", (t / "docs.zip").string()}).status, 0);
  EXPECT_EQ(ReadTree(t / "docs"), ReadTree(t / "original"));
  EXPECT_EQ(RunCli({"run", "--kind", "tar", "-p", "pw", (t / "original").string()}).status, 2);
}

// A lone compressed file comes out beside itself under its own name; a compressed tar still
// goes into a folder named after it.
TEST(CliRun, LoneCompressedFilesAreDecompressedBesideThemselves) {
  REQUIRE_TOOLS("gzip", "xz", "tar");
  TempDir t;
  const std::string text = TextBytes(5000, 4);
  WriteFile(t / "in/notes.txt", text);
  ASSERT_EQ(testsupport::Run({"tar", "-cJf", "../d.tar.xz", "notes.txt"}, t / "in").status, 0);
  ASSERT_EQ(testsupport::Run({"gzip", "-k", "notes.txt"}, t / "in").status, 0);
  ASSERT_EQ(testsupport::Run({"xz", "notes.txt"}, t / "in").status, 0);
  fs::rename(t / "in/notes.txt.gz", t / "n.txt.gz");
  fs::rename(t / "in/notes.txt.xz", t / "m.txt.xz");
  const CommandResult r =
      RunCli({"run", (t / "n.txt.gz").string(), (t / "m.txt.xz").string(), (t / "d.tar.xz").string()});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Extracted into " + (t / "n.txt").string() + "\n"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(t / "n.txt"), text);
  EXPECT_EQ(ReadFile(t / "m.txt"), text);
  EXPECT_EQ(ReadFile(t / "d/notes.txt"), text);
}

TEST(CliRun, KindOptionAndErrorStatus) {
  TempDir t;
  WriteFile(t / "x.txt", "data");
  CommandResult r = RunCli({"run", "--kind", "tar", (t / "x.txt").string()});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(fs::exists(t / "x.tar"));

  r = RunCli({"run", "--kind", "cab", (t / "x.txt").string()});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(testsupport::ReadFile(t / "x.cab").substr(0, 4), "MSCF");

  EXPECT_EQ(RunCli({"run", "--kind", "rar", (t / "x.txt").string()}).status, 2);
  EXPECT_EQ(RunCli({"run", "--upx-level", "11", (t / "x.txt").string()}).status, 2);
}

TEST(CliRun, OneExecutableGoesToThePackerUnlessUpxIsOff) {
  TempDir t;
  // Not a real program: the packer refuses it, which is enough to see which job ran.
  WriteFile(t / "tool.exe", "MZ not really a program");
  CommandResult r = RunCli({"run", (t / "tool.exe").string()});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Error : "), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(t / "tool.zip"));

  r = RunCli({"run", "--no-upx", (t / "tool.exe").string()});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(fs::exists(t / "tool.zip"));
}

}  // namespace

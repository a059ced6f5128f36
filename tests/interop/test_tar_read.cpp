// brel-cli extracts tar archives that GNU tar and bsdtar write, to exactly what GNU tar
// extracts from them.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

using namespace testsupport;

namespace {

// Files, empty files, nested and empty folders, names of 100 and 150 bytes, non-ASCII names.
void MakeSourceTree(const fs::path& Root) {
  WriteFile(Root / "src/readme.txt", TextBytes(5000, 1));
  WriteFile(Root / "src/empty.dat", "");
  WriteFile(Root / "src/block.bin", RandomBytes(512, 2));
  WriteFile(Root / "src/big.bin", RandomBytes(300000, 3));
  WriteFile(Root / "src/日本語/ファイル.txt", TextBytes(700, 4));
  WriteFile(Root / "src" / std::string(96, 'h'), "name of 100 bytes with src/");
  WriteFile(Root / "src" / std::string(60, 'd') / std::string(85, 'f'), "150 bytes");
  fs::create_directories(Root / "src/empty-dir");
}

struct TMaker {
  const char* Label;
  std::vector<std::string> Argv;  // the archive path and "src" follow
};

}  // namespace

TEST(TarInterop, ExtractsWhatPeerToolsWrite) {
#ifndef BREL_CLI
  GTEST_SKIP() << "brel-cli not built";
#else
  if (!HaveTool("tar") || !HaveTool("bsdtar")) GTEST_SKIP() << "GNU tar or bsdtar missing";
  TempDir t;
  MakeSourceTree(t.path());
  const TMaker makers[] = {
      {"gnu tar ustar", {"tar", "--format=ustar", "-cf"}},
      {"gnu tar gnu", {"tar", "--format=gnu", "-cf"}},
      {"gnu tar pax", {"tar", "--format=pax", "-cf"}},
      {"gnu tar v7", {"tar", "--format=v7", "-cf"}},
      {"bsdtar", {"bsdtar", "-cf"}},
      {"bsdtar pax", {"bsdtar", "--format=pax", "-cf"}},
  };
  for (const TMaker& m : makers) {
    SCOPED_TRACE(m.Label);
    const fs::path archive = t / "a.tar", ours = t / "ours", theirs = t / "theirs";
    fs::remove_all(ours);
    fs::remove_all(theirs);
    fs::remove(archive);
    std::vector<std::string> argv = m.Argv;
    argv.push_back(archive.string());
    argv.push_back("src");
    const CommandResult made = testsupport::Run(argv, t.path());
    if (made.status != 0) {
      // v7 cannot hold every name of the tree; the others must.
      EXPECT_STREQ(m.Label, "gnu tar v7") << made.out;
      continue;
    }
    fs::create_directories(theirs);
    ASSERT_EQ(testsupport::Run({"tar", "-xf", archive.string(), "-C", theirs.string()}).status, 0);
    const CommandResult x = testsupport::RunCli({"x", "-q", "-o", ours.string(), archive.string()});
    EXPECT_EQ(x.status, 0) << x.out;
    EXPECT_EQ(ReadTree(ours), ReadTree(theirs));
  }
#endif
}

TEST(TarInterop, ListsAndTestsPeerArchives) {
#ifndef BREL_CLI
  GTEST_SKIP() << "brel-cli not built";
#else
  if (!HaveTool("tar")) GTEST_SKIP() << "GNU tar missing";
  TempDir t;
  MakeSourceTree(t.path());
  ASSERT_EQ(testsupport::Run({"tar", "--format=gnu", "-cf", (t / "g.tar").string(), "src"}, t.path()).status, 0);
  const CommandResult l = testsupport::RunCli({"l", (t / "g.tar").string()});
  EXPECT_EQ(l.status, 0) << l.out;
  EXPECT_NE(l.out.find(std::string(60, 'd') + "/" + std::string(85, 'f')), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("日本語/ファイル.txt"), std::string::npos) << l.out;
  const CommandResult tt = testsupport::RunCli({"t", (t / "g.tar").string()});
  EXPECT_EQ(tt.status, 0) << tt.out;
#endif
}

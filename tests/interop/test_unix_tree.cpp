// Permissions and links survive a round trip between brel-cli and GNU tar, bsdtar, zip and unzip,
// both ways: an executable script, a read-only file, a symbolic link, a hard link and a nested
// folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/TestSupport.h"

using namespace testsupport;

namespace {

void MakeTree(const fs::path& Src) {
  WriteFile(Src / "bin/run.sh", "#!/bin/sh\necho hi\n", fs::perms(0755));
  WriteFile(Src / "ro.txt", "read only", fs::perms(0444));
  WriteFile(Src / "data.txt", TextBytes(3000, 7));
  WriteFile(Src / "nested/deeper/x.txt", "nested");
  fs::create_symlink("bin/run.sh", Src / "link");
  fs::create_hard_link(Src / "data.txt", Src / "hard");
}

// The tree as MakeTree made it, below Out; HardKept: the hard link is still one (tar), or
// else a copy (zip has no hard links).
void ExpectTree(const fs::path& Out, bool HardKept) {
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(unsigned(fs::status(Out / "bin/run.sh").permissions()), 0755u & ~unsigned(mask));
  EXPECT_EQ(unsigned(fs::status(Out / "ro.txt").permissions()) & 0222u, 0u);
  EXPECT_TRUE(fs::is_symlink(Out / "link"));
  if (fs::is_symlink(Out / "link")) {
    EXPECT_EQ(fs::read_symlink(Out / "link"), "bin/run.sh");
  }
  EXPECT_EQ(ReadFile(Out / "hard"), ReadFile(Out / "data.txt"));
  if (HardKept) {
    EXPECT_TRUE(fs::equivalent(Out / "hard", Out / "data.txt"));
  }
  EXPECT_EQ(ReadFile(Out / "nested/deeper/x.txt"), "nested");
}

void Expect(const CommandResult& R) { EXPECT_EQ(R.status, 0) << R.out; }

}  // namespace

TEST(UnixTree, BrelToPeers) {
#ifndef BREL_CLI
  GTEST_SKIP() << "brel-cli not built";
#else
  REQUIRE_TOOLS("tar", "bsdtar", "unzip");
  TempDir t;
  MakeTree(t / "src");
  const std::string tar = (t / "w.tar").string(), zip = (t / "w.zip").string();
  Expect(RunCli({"a", "-q", tar, (t / "src").string()}));
  Expect(RunCli({"a", "-q", "--symlinks", zip, (t / "src").string()}));
  struct Peer {
    std::vector<std::string> Argv;
    bool HardKept;
  };
  const Peer peers[] = {{{"tar", "-xf", tar}, true},
                        {{"bsdtar", "-xf", tar}, true},
                        {{"unzip", "-q", zip}, false},
                        {{"bsdtar", "-xf", zip}, false}};
  for (const Peer& p : peers) {
    SCOPED_TRACE(p.Argv[0] + " " + p.Argv[1] + " " + p.Argv[2]);
    const fs::path out = t / "out";
    fs::remove_all(out);
    fs::create_directories(out);
    Expect(testsupport::Run(p.Argv, out));
    ExpectTree(out / "src", p.HardKept);
  }
#endif
}

TEST(UnixTree, PeersToBrel) {
#ifndef BREL_CLI
  GTEST_SKIP() << "brel-cli not built";
#else
  REQUIRE_TOOLS("tar", "bsdtar", "zip");
  TempDir t;
  MakeTree(t / "src");
  struct Peer {
    std::vector<std::string> Argv;
    std::string Archive;
    bool HardKept;
  };
  const Peer peers[] = {{{"tar", "-cf", "g.tar", "src"}, "g.tar", true},
                        {{"bsdtar", "-cf", "b.tar", "src"}, "b.tar", true},
                        {{"zip", "-qry", "z.zip", "src"}, "z.zip", false},
                        {{"bsdtar", "-a", "-cf", "b.zip", "src"}, "b.zip", false}};
  for (const Peer& p : peers) {
    SCOPED_TRACE(p.Archive);
    Expect(testsupport::Run(p.Argv, t.path()));
    const fs::path out = t / ("out-" + p.Archive);
    Expect(RunCli({"x", "-q", "-o", out.string(), (t / p.Archive).string()}));
    ExpectTree(out / "src", p.HardKept);
  }
#endif
}

// Owners, times before 1970 and renamed entries' records, against GNU tar: what brel-cli
// stores as owner, what it restores as root (never through a link), negative times both ways,
// and a rename that keeps long link names and sub-second times of the pax records.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/tar/qrvtar.h"
#include "support/TestSupport.h"
#include "tar_test_util.h"

using namespace testsupport;

namespace {

std::vector<TTarEntry> Entries(const fs::path& Archive) { return tartest::Entries(Archive.string()); }

std::string UserName(uid_t U) {
  const passwd* p = getpwuid(U);
  return p ? p->pw_name : "";
}
std::string GroupName(gid_t G) {
  const group* g = getgrgid(G);
  return g ? g->gr_name : "";
}

struct stat Lstat(const fs::path& P) {
  struct stat st {};
  lstat(P.c_str(), &st);
  return st;
}

}  // namespace

TEST(TarOwners, BrelCliStoresEachFilesOwnerOrTheOneNamed) {
  TempDir t;
  WriteFile(t / "in/f.txt", "owned\n");
  // As root the file is given away first, so its owner is not simply the process's.
  if (geteuid() == 0) ASSERT_EQ(chown((t / "in/f.txt").c_str(), 65534, 65534), 0);
  const struct stat st = Lstat(t / "in/f.txt");
  const TEntryOwner own{st.st_uid, st.st_gid, UserName(st.st_uid), GroupName(st.st_gid)};
  const struct {
    std::vector<std::string> Options;
    TEntryOwner Expected;
  } cases[] = {
      {{}, own},
      {{"--numeric-owner"}, {own.Uid, own.Gid, "", ""}},
      {{"--owner", "ghost:4242", "--group", "0"}, {4242, 0, "ghost", GroupName(0)}},
      {{"--owner", "root"}, {0, own.Gid, "root", own.GName}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"a", "-q"};
    args.insert(args.end(), c.Options.begin(), c.Options.end());
    args.insert(args.end(), {(t / "o.tar").string(), "f.txt"});
    fs::remove(t / "o.tar");
    ASSERT_EQ(RunCli(args, t / "in").status, 0) << c.Options.size();
    const auto e = Entries(t / "o.tar");
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].Owner.Uid, c.Expected.Uid) << c.Options.size();
    EXPECT_EQ(e[0].Owner.Gid, c.Expected.Gid) << c.Options.size();
    EXPECT_EQ(e[0].Owner.UName, c.Expected.UName) << c.Options.size();
    EXPECT_EQ(e[0].Owner.GName, c.Expected.GName) << c.Options.size();
  }
  EXPECT_EQ(RunCli({"a", "-q", "--owner", "no-such-user-here", (t / "o.tar").string(), "f.txt"}, t / "in").status, 2);
  EXPECT_EQ(RunCli({"a", "-q", "--owner", "root", (t / "o.zip").string(), "f.txt"}, t / "in").status, 2);
}

TEST(TarOwners, RootRestoresOwnersByNameElseIdAndNeverThroughALink) {
  REQUIRE_TOOLS("tar");
  if (geteuid() != 0) GTEST_SKIP() << "owners are restored only as root";
  TempDir t;
  WriteFile(t / "in/named.txt", "n\n");
  WriteFile(t / "in/d/numbered.txt", "u\n");
  WriteFile(t / "victim", "stays root's\n");
  fs::create_symlink(t / "victim", t / "in/link");
  // nobody by name (a stored id that says otherwise loses), a user unknown here by its id.
  ASSERT_EQ(testsupport::Run({"tar", "-C", (t / "in").string(), "--owner=nobody:4243", "--group=nogroup:4244", "-cf",
                              (t / "a.tar").string(), "named.txt", "link"})
                .status,
            0);
  ASSERT_EQ(testsupport::Run({"tar", "-C", (t / "in").string(), "--owner=ghost:4242", "--group=ghost:4241", "-rf",
                              (t / "a.tar").string(), "d"})
                .status,
            0);
  const struct {
    std::vector<std::string> Extra;
    uid_t NamedUid;
  } cases[] = {{{}, 65534}, {{"--numeric-owner"}, 4243}};
  for (const auto& c : cases) {
    fs::remove_all(t / "out");
    std::vector<std::string> args = {"x", "-q", "-o", (t / "out").string()};
    args.insert(args.end(), c.Extra.begin(), c.Extra.end());
    args.push_back((t / "a.tar").string());
    ASSERT_EQ(RunCli(args).status, 0);
    EXPECT_EQ(Lstat(t / "out/named.txt").st_uid, c.NamedUid);
    EXPECT_EQ(Lstat(t / "out/link").st_uid, c.NamedUid);
    EXPECT_EQ(Lstat(t / "out/d").st_uid, 4242u);
    EXPECT_EQ(Lstat(t / "out/d").st_gid, 4241u);
    EXPECT_EQ(Lstat(t / "out/d/numbered.txt").st_uid, 4242u);
    EXPECT_EQ(Lstat(t / "victim").st_uid, 0u);  // the link's target is never given away
  }
}

TEST(TarTimes, NegativeTimesGoBothWaysWithGnuTar) {
  REQUIRE_TOOLS("tar");
  TempDir t;
  const int64_t kTime = -112233445;  // 1966
  WriteFile(t / "in/old.txt", "from 1966\n");
  const struct timespec ts[2] = {{time_t(kTime), 0}, {time_t(kTime), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (t / "in/old.txt").c_str(), ts, 0), 0);
  for (const char* format : {"--format=gnu", "--format=pax"}) {
    SCOPED_TRACE(format);
    fs::remove_all(t / "out");
    ASSERT_EQ(
        testsupport::Run({"tar", "-C", (t / "in").string(), format, "-cf", (t / "g.tar").string(), "old.txt"}).status,
        0);
    ASSERT_EQ(RunCli({"x", "-q", "-o", (t / "out").string(), (t / "g.tar").string()}).status, 0);
    EXPECT_EQ(Lstat(t / "out/old.txt").st_mtime, kTime);
  }
  fs::remove_all(t / "out");
  fs::create_directories(t / "out");
  ASSERT_EQ(RunCli({"a", "-q", (t / "b.tar").string(), "old.txt"}, t / "in").status, 0);
  ASSERT_EQ(testsupport::Run({"tar", "-C", (t / "out").string(), "-xf", (t / "b.tar").string()}).status, 0);
  EXPECT_EQ(Lstat(t / "out/old.txt").st_mtime, kTime);
}

TEST(TarWriterRename, KeptEntriesKeepTheirPaxRecordsAndLongLinks) {
  REQUIRE_TOOLS("tar");
  TempDir t;
  const std::string target = std::string(150, 't');
  WriteFile(t / "in/a.txt", "subsecond\n");
  const struct timespec ts[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, (t / "in/a.txt").c_str(), ts, 0), 0);
  fs::create_symlink(target, t / "in/l");
  ASSERT_EQ(utimensat(AT_FDCWD, (t / "in/l").c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
  ASSERT_EQ(
      testsupport::Run({"tar", "-C", (t / "in").string(), "--format=pax", "-cf", (t / "p.tar").string(), "a.txt", "l"})
          .status,
      0);
  // Adding files of the same names, sizes and times renames the kept entries.
  WriteFile(t / "new/a.txt", "SUBSECOND\n");
  WriteFile(t / "new/l", "");
  for (const char* n : {"new/a.txt", "new/l"}) ASSERT_EQ(utimensat(AT_FDCWD, (t / n).c_str(), ts, 0), 0);
  TTar w;
  w.StoredDirNames = sdExplorer_Auto;
  w.FileSpec = {(t / "new").string() + "/*.*"};
  w.SetArchiveFile((t / "p.tar").string());
  w.OnRenameDupeFile = [](TZipCommon*, const std::string& Old, std::string& NewName, bool& Rename) {
    NewName = Old == "l" ? "old-l" : std::string(120, 'r');  // one past the name field
    Rename = true;
  };
  ASSERT_EQ(w.Compress(), 2);
  fs::create_directories(t / "out");
  ASSERT_EQ(testsupport::Run({"tar", "-C", (t / "out").string(), "-xf", (t / "p.tar").string()}).status, 0);
  EXPECT_EQ(fs::read_symlink(t / "out/old-l").string(), target);
  const struct stat renamed = Lstat(t / ("out/" + std::string(120, 'r')));
  EXPECT_EQ(renamed.st_mtim.tv_sec, 1700000000);
  EXPECT_EQ(renamed.st_mtim.tv_nsec, 123456789);
  EXPECT_EQ(ReadFile(t / "out/a.txt"), "SUBSECOND\n")
      << testsupport::Run({"tar", "--full-time", "-tvvf", (t / "p.tar").string()}).out;
}

// Archives written by other tar programs (GNU tar in each of its formats, sparse and incremental
// ones included, bsdtar, Python's tarfile, busybox): brel-cli extracts the same tree as GNU tar.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TestSupport.h"

using namespace testsupport;

namespace {

constexpr int64_t SourceTime = 1700000000;  // even, so that a DOS date keeps it exactly

void SetTime(const fs::path& P) {
  const struct timespec ts[2] = {{SourceTime, 0}, {SourceTime, 0}};
  utimensat(AT_FDCWD, P.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

// Files of many kinds: a long name that ustar splits over its prefix, a non-ASCII name, modes,
// a symbolic and a hard link, an empty folder and a sparse file.
void MakeSource(const fs::path& Src) {
  const std::string longDir = "long/" + std::string(60, 'a') + "/";
  WriteFile(Src / "d/f.txt", TextBytes(3000, 1));
  WriteFile(Src / "empty", "");
  WriteFile(Src / "exec.sh", "#!/bin/sh\n", fs::perms(0755));
  WriteFile(Src / "ro.txt", "ro", fs::perms(0444));
  WriteFile(Src / (longDir + std::string(60, 'b') + ".txt"), "long");
  WriteFile(Src / "\xc3\xbcn\xc3\xaf.txt", "utf8");
  fs::create_directories(Src / "emptydir");
  fs::create_symlink("d/f.txt", Src / "sym");
  fs::create_hard_link(Src / "d/f.txt", Src / "hard");
  const int fd = open((Src / "sparse").c_str(), O_WRONLY | O_CREAT, 0644);
  for (int i = 1; i <= 6; ++i) pwrite(fd, "piece", 5, i * 60000);  // old GNU headers need an extension block
  pwrite(fd, "end", 3, 499997);
  close(fd);
  for (const auto& e : fs::recursive_directory_iterator(Src)) SetTime(e.path());
}

// What matters of an extracted tree: per path its type, mode, link count, size, content or
// link target, and a file's mtime.
std::map<std::string, std::string> Describe(const fs::path& Root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(Root)) {
    struct stat st {};
    lstat(e.path().c_str(), &st);
    std::string d = std::to_string(st.st_mode & 0170777);
    if (S_ISLNK(st.st_mode)) {
      d += " -> " + fs::read_symlink(e.path()).string();
    } else if (S_ISREG(st.st_mode)) {
      d += " n" + std::to_string(st.st_nlink) + " t" + std::to_string(st.st_mtime) + " " + ReadFile(e.path());
    }
    out[fs::relative(e.path(), Root).string()] = d;
  }
  return out;
}

}  // namespace

TEST(UnTarPeers, ArchivesOfOtherProgramsGiveGnuTarsTree) {
  if (const std::string missing = MissingTools({"tar", "bsdtar", "python3", "busybox"}); !missing.empty())
    GTEST_SKIP() << "missing " << missing;
  TempDir t;
  const fs::path src = t / "src";
  MakeSource(src);
  const std::string py =
      "import sys, tarfile\n"
      "fmt = getattr(tarfile, sys.argv[2])\n"
      "with tarfile.open(sys.argv[1], 'w', format=fmt) as t:\n"
      "    def big(i):\n"  // base-256 owner numbers in GNU headers
      "        if fmt == tarfile.GNU_FORMAT: i.uid = 1 << 30\n"
      "        return i\n"
      "    t.add('.', filter=big)\n";
  // {ARCHIVE} stands for the archive's path; every command runs in src/.
  const struct {
    const char* Label;
    std::vector<std::string> Make;
  } cases[] = {
      {"gnu", {"tar", "--format=gnu", "-cf", "{ARCHIVE}", "."}},
      {"oldgnu", {"tar", "--format=oldgnu", "-cf", "{ARCHIVE}", "."}},
      {"posix", {"tar", "--format=posix", "-cf", "{ARCHIVE}", "."}},
      {"ustar", {"tar", "--format=ustar", "-cf", "{ARCHIVE}", "."}},
      {"v7", {"tar", "--format=v7", "--exclude=./long", "-cf", "{ARCHIVE}", "."}},
      {"gnu sparse", {"tar", "--format=gnu", "--sparse", "-cf", "{ARCHIVE}", "."}},
      {"pax sparse 0.0", {"tar", "--format=posix", "--sparse", "--sparse-version=0.0", "-cf", "{ARCHIVE}", "."}},
      {"pax sparse 0.1", {"tar", "--format=posix", "--sparse", "--sparse-version=0.1", "-cf", "{ARCHIVE}", "."}},
      {"pax sparse 1.0", {"tar", "--format=posix", "--sparse", "--sparse-version=1.0", "-cf", "{ARCHIVE}", "."}},
      {"gnu incremental", {"tar", "--format=gnu", "--listed-incremental={ARCHIVE}.snar", "-cf", "{ARCHIVE}", "."}},
      {"bsdtar pax", {"bsdtar", "--format=pax", "-cf", "{ARCHIVE}", "."}},
      {"bsdtar ustar", {"bsdtar", "--format=ustar", "-cf", "{ARCHIVE}", "."}},
      {"bsdtar gnutar", {"bsdtar", "--format=gnutar", "-cf", "{ARCHIVE}", "."}},
      {"bsdtar v7", {"bsdtar", "--format=v7tar", "--exclude", "./long", "-cf", "{ARCHIVE}", "."}},
      {"python gnu", {"python3", "-c", py, "{ARCHIVE}", "GNU_FORMAT"}},
      {"python pax", {"python3", "-c", py, "{ARCHIVE}", "PAX_FORMAT"}},
      {"python ustar", {"python3", "-c", py, "{ARCHIVE}", "USTAR_FORMAT"}},
      {"busybox", {"busybox", "tar", "-cf", "{ARCHIVE}", "."}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    const fs::path dir = t / ("c" + std::to_string(n++));
    fs::create_directories(dir / "gnu");
    const std::string archive = (dir / "a.tar").string();
    std::vector<std::string> argv = c.Make;
    for (std::string& a : argv)
      if (const size_t at = a.find("{ARCHIVE}"); at != std::string::npos) a.replace(at, 9, archive);
    const CommandResult made = testsupport::Run(argv, src);
    ASSERT_EQ(made.status, 0) << made.out;
    ASSERT_EQ(testsupport::Run({"tar", "-xf", archive, "-C", (dir / "gnu").string()}).status, 0);
    const CommandResult x = RunCli({"x", "-q", "-o", (dir / "brel").string(), archive});
    EXPECT_EQ(x.status, 0) << x.out;
    EXPECT_EQ(Describe(dir / "brel"), Describe(dir / "gnu"));
    const CommandResult tested = RunCli({"t", "-q", archive});
    EXPECT_EQ(tested.status, 0) << tested.out;
  }
}

// A 60,000,000,000-byte file with three fragments: each sparse form comes back at its size with
// its holes (a few blocks on disk), lists at its size and tests clean.
TEST(UnTarPeers, SparseFilesComeBackWithHolesAtTheirSize) {
  if (!HaveTool("tar")) GTEST_SKIP() << "no GNU tar";
  TempDir t;
  constexpr int64_t Size = 60000000000;
  const std::pair<int64_t, std::string> pieces[] = {{0, "start"}, {1000000, "X"}, {Size - 1000, "END"}};
  fs::create_directories(t / "src");
  {
    const int fd = open((t / "src/big").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(ftruncate(fd, Size), 0) << "no sparse files here";
    for (const auto& [at, text] : pieces) pwrite(fd, text.data(), text.size(), at);
    close(fd);
  }
  const std::vector<std::vector<std::string>> forms = {
      {"--format=gnu"},
      {"--format=posix", "--sparse-version=0.0"},
      {"--format=posix", "--sparse-version=0.1"},
      {"--format=posix", "--sparse-version=1.0"},
  };
  for (const auto& form : forms) {
    SCOPED_TRACE(form.back());
    const std::string archive = (t / "big.tar").string();
    std::vector<std::string> argv = {"tar", "--sparse", "-cf", archive, "-C", (t / "src").string(), "big"};
    argv.insert(argv.begin() + 1, form.begin(), form.end());
    ASSERT_EQ(testsupport::Run(argv).status, 0);
    const fs::path out = t / "out";
    fs::remove_all(out);
    ASSERT_EQ(RunCli({"x", "-q", "-o", out.string(), archive}).status, 0);
    struct stat st {};
    ASSERT_EQ(stat((out / "big").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, Size);
    EXPECT_LT(int64_t(st.st_blocks) * 512, 1 << 20);
    const int fd = open((out / "big").c_str(), O_RDONLY);
    for (const auto& [at, text] : pieces) {
      std::string got(text.size() + 1, '?');
      pread(fd, got.data(), got.size(), at - (at > 0));
      EXPECT_EQ(got, (at > 0 ? std::string(1, '\0') + text : text + '\0'));
    }
    close(fd);
    const CommandResult listed = RunCli({"l", archive});
    EXPECT_NE(listed.out.find("60000000000"), std::string::npos) << listed.out;
    EXPECT_EQ(RunCli({"t", "-q", archive}).status, 0);
  }
}

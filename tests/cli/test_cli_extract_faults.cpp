// brel-cli x and t on damaged archives and failing output: one clear error per entry, with the
// system's reason, and never a partial file or a success status.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include "support/TestSupport.h"

namespace {

using namespace testsupport;

// A small tmpfs mounted on a folder for the test's life; Mounted() is false where mounting is
// not permitted.
class SmallDisk {
 public:
  SmallDisk(const fs::path& Dir, const char* Size) : dir_(Dir) {
    fs::create_directories(Dir);
    mounted_ = mount("tmpfs", Dir.c_str(), "tmpfs", 0, (std::string("size=") + Size).c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }

 private:
  fs::path dir_;
  bool mounted_ = false;
};

// Count of lines of Out that start with "brel-cli: CODE".
int Reports(const std::string& Out, int Code) {
  const std::string tag = "brel-cli: " + std::to_string(Code);
  int n = 0;
  for (size_t p = Out.find(tag); p != std::string::npos; p = Out.find(tag, p + 1)) ++n;
  return n;
}

TEST(CliExtractFaults, FlippedByteInAStoredEntryFailsItsCheck) {
  TempDir t;
  const std::string data = TextBytes(4000, 3);
  WriteFile(t / "in/s.txt", data);
  ASSERT_EQ(RunCli({"a", "-q", "-m", "store", (t / "s.zip").string(), (t / "in/s.txt").string()}).status, 0);
  std::string zip = ReadFile(t / "s.zip");
  const size_t at = zip.find(data.substr(100, 40));
  ASSERT_NE(at, std::string::npos);
  zip[at] ^= 0x20;
  WriteFile(t / "s.zip", zip);
  for (const auto& args : std::vector<std::vector<std::string>>{{"t"}, {"x", "-o", (t / "out").string()}}) {
    std::vector<std::string> argv = args;
    argv.push_back((t / "s.zip").string());
    const CommandResult r = RunCli(argv);
    EXPECT_EQ(r.status, 1) << args[0] << r.out;
    EXPECT_EQ(Reports(r.out, 25151), 1) << args[0] << r.out;
  }
}

// An archive cut short before its central directory: what the local headers hold comes out,
// and the run says the archive is damaged.
TEST(CliExtractFaults, ArchiveCutBeforeItsDirectoryIsReported) {
  TempDir t;
  WriteFile(t / "in/a.txt", "alpha");
  WriteFile(t / "in/b.bin", RandomBytes(50000, 4));
  ASSERT_EQ(RunCli({"a", "-q", "-m", "store", (t / "a.zip").string(), (t / "in/.").string()}).status, 0);
  WriteFile(t / "cut.zip", ReadFile(t / "a.zip").substr(0, 120));
  const CommandResult r = RunCli({"x", "-q", "-o", (t / "out").string(), (t / "cut.zip").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Reports(r.out, 25259), 1) << r.out;
  EXPECT_EQ(ReadFile(t / "out/a.txt"), "alpha");
}

// An output that cannot be created is one error naming the file and the reason; the entries
// beside it still come out.
TEST(CliExtractFaults, OutputThatCannotBeOpenedIsOneErrorWithItsReason) {
  TempDir t;
  WriteFile(t / "in/f/x.txt", "x");
  WriteFile(t / "in/ok.txt", "ok");
  ASSERT_EQ(RunCli({"a", "-q", (t / "a.zip").string(), (t / "in/.").string()}).status, 0);
  WriteFile(t / "out/f", "a file where the folder should go");
  const CommandResult r = RunCli({"x", "-q", "-o", (t / "out").string(), (t / "a.zip").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("brel-cli: 25235 Error opening file: " + (t / "out/f/x.txt").string() + " (Not a directory)"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Reports(r.out, 25151), 0) << r.out;
  EXPECT_EQ(ReadFile(t / "out/ok.txt"), "ok");
}

// A full disk is reported with the file's name, and the partial file is removed.
TEST(CliExtractFaults, FullDiskRemovesThePartialFile) {
  TempDir t;
  WriteFile(t / "in/big.bin", RandomBytes(256 * 1024, 5));
  ASSERT_EQ(RunCli({"a", "-q", (t / "a.zip").string(), (t / "in/big.bin").string()}).status, 0);
  SmallDisk disk(t / "small", "64k");
  if (!disk.Mounted()) GTEST_SKIP() << "a tmpfs cannot be mounted here";
  const CommandResult r = RunCli({"x", "-q", "-o", (t / "small").string(), (t / "a.zip").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("brel-cli: 25160 Disk full: " + (t / "small/big.bin").string()), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(t / "small/big.bin"));
}

}  // namespace

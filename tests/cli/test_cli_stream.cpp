// brel-cli a -t KIND - streams the archive to a pipe as it is made; peers read it on the other end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "archive/core/qrvErrors.h"
#include "archive/zip/qrvZip.h"
#include "support/TestSupport.h"

namespace {

using namespace testsupport;

// Each kind through a pipe into a peer that unpacks it into out/, compared with the source tree.
// TMPDIR names no folder for the kinds that stream: they need no temporary file (CAB still does).
TEST(CliStream, PeersReadEveryKindFromAPipe) {
  REQUIRE_TOOLS("sh", "tar", "xz", "zstd", "bzip2", "bsdtar", "unzip", "7z", "lhasa", "cabextract");
  TempDir t;
  WriteFile(t / "w/dir/small.txt", "alpha");
  WriteFile(t / "w/dir/sub/text.txt", TextBytes(300000, 1));
  WriteFile(t / "w/dir/sub/random.bin", RandomBytes(70000, 2));
  fs::create_directories(t / "w/dir/empty");
  const auto want = ReadTree(t / "w/dir");
  const std::string cli = std::string(BREL_CLI) + " a -q";
  const std::string noTmp = "TMPDIR=/nonexistent ";
  struct Row {
    const char* kind;
    std::string line;  // unpacks into out/
  };
  const Row rows[] = {
      {"tar", noTmp + cli + " -t tar - dir | tar -xf - -C out"},
      {"tgz", noTmp + cli + " -t tgz - dir | tar -xzf - -C out"},
      {"txz", noTmp + cli + " -t txz - dir | xz -dc | tar -xf - -C out"},
      {"tzst", noTmp + cli + " -t tzst - dir | zstd -dcq | tar -xf - -C out"},
      {"tbz2", noTmp + cli + " -t tbz2 - dir | bzip2 -dc | tar -xf - -C out"},
      {"zip", noTmp + cli + " -t zip - dir | tee s.zip | bsdtar -xf - -C out && unzip -tq s.zip && 7z t s.zip"},
      {"zip -p", noTmp + cli + " -t zip -p pw - dir > s.zip && unzip -tq -P pw s.zip && 7z x -ppw -oout s.zip" +
                     " >/dev/null && " + std::string(BREL_CLI) + " t -q -p pw s.zip"},
      {"zip aes", noTmp + cli + " -t zip -p pw --encryption aes256 - dir > s.zip && 7z x -ppw -oout s.zip >/dev/null"},
      {"lzh", noTmp + cli + " -t lzh - dir > s.lzh && lhasa tq s.lzh && cd out && lhasa xq ../s.lzh"},
      {"cab", cli + " -t cab - dir > s.cab && cabextract -q -d out s.cab"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    fs::remove_all(t / "w/out");
    fs::create_directories(t / "w/out");
    const CommandResult c = testsupport::Run({"sh", "-c", "set -e; " + r.line}, t / "w");
    ASSERT_EQ(c.status, 0) << c.out;
    auto got = ReadTree(t / "w/out/dir");
    if (std::string(r.kind) == "lzh" || std::string(r.kind) == "cab") got["empty/"] = "";  // neither stores folders
    EXPECT_EQ(got, want);
  }
}

// A file that ends before its stated size while it is streamed (a /sys file states 4096 bytes
// and gives a few): the entry is padded with zeros to that size and reported, exit 1, and the
// archive stays whole for the peers.
TEST(CliStream, ShrunkSourceIsPaddedAndReported) {
  REQUIRE_TOOLS("sh", "tar", "unzip");
  const std::string shrinks = "/sys/kernel/uevent_seqnum";
  if (!fs::exists(shrinks) || fs::file_size(shrinks) != 4096) GTEST_SKIP() << "no " << shrinks;
  TempDir t;
  const std::string cli = BREL_CLI;
  const std::pair<const char*, std::string> rows[] = {
      {"tgz", "tar -tvzf s"},
      {"zip", "unzip -tq s && unzip -v s"},
  };
  for (const auto& [kind, check] : rows) {
    SCOPED_TRACE(kind);
    const CommandResult c = testsupport::Run(
        {"sh", "-c",
         cli + " a -t " + kind + " - " + shrinks + " > s 2>err; echo rc=$?; cat err; " + check + " && echo peer-ok"},
        t.path());
    EXPECT_NE(c.out.find("rc=1"), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("padded with zeros"), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("4096"), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("peer-ok"), std::string::npos) << c.out;
  }
}

// A file cut short after the look-ahead sent some of its deflated chunks: the rest of the entry
// is deflated from zeros, the entry keeps its size and CRC, and the cut is reported.
TEST(CliStream, ZipEntryCutAfterChunksWentOut) {
  REQUIRE_TOOLS("unzip");
  TempDir t;
  const fs::path big = t / "src/big.bin";
  WriteFile(big, RandomBytes(2 << 20, 3));
  const int fd = ::open((t / "s.zip").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  TZip zip;
  zip.Workers = 1;
  zip.OutputHandle = fd;
  zip.SetArchiveFile((t / "s.zip").string());
  zip.FileSpec = {(t / "src").string() + "/*.*"};
  std::vector<int32_t> errors;
  zip.OnError = [&errors](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t Code) {
    errors.push_back(Code);
  };
  zip.OnProgress = [&big](TZipCommon*, uint8_t ByFile, uint8_t) {
    if (ByFile > 0 && fs::file_size(big) > 1000) fs::resize_file(big, 1000);
  };
  EXPECT_EQ(zip.Compress(), 1);
  ::close(fd);
  EXPECT_EQ(errors, std::vector<int32_t>{ecReadFile});
  const CommandResult c = testsupport::Run({"unzip", "-v", (t / "s.zip").string()});
  EXPECT_EQ(c.status, 0) << c.out;
  EXPECT_NE(c.out.find("2097152"), std::string::npos) << c.out;
  EXPECT_EQ(testsupport::Run({"unzip", "-tq", (t / "s.zip").string()}).status, 0);
}

}  // namespace

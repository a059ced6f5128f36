// What brel-cli writes as tar and tgz, GNU tar and bsdtar list and extract to the same bytes.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

using namespace testsupport;

TEST(TarInterop, PeerToolsExtractWhatBrelWrites) {
#ifndef BREL_CLI
  GTEST_SKIP() << "brel-cli not built";
#else
  if (!HaveTool("tar") || !HaveTool("bsdtar") || !HaveTool("gzip")) GTEST_SKIP() << "peer tools missing";
  TempDir t;
  const fs::path src = t / "src";
  WriteFile(src / "readme.txt", TextBytes(5000, 1));
  WriteFile(src / "empty.dat", "");
  WriteFile(src / "block.bin", RandomBytes(1024, 2));
  WriteFile(src / "big.bin", RandomBytes(700000, 3));
  WriteFile(src / "日本語/ファイル.txt", TextBytes(700, 4));
  WriteFile(src / std::string(100, 'h'), "name of 100 bytes");
  WriteFile(src / std::string(60, 'd') / std::string(89, 'f'), "name of 150 bytes");
  fs::create_directories(src / "empty-dir/inner");
  const auto expected = ReadTree(src);

  for (const char* name : {"w.tar", "w.tgz", "w.tar.gz"}) {
    SCOPED_TRACE(name);
    const fs::path archive = t / name;
    const CommandResult a = testsupport::RunCli({"a", "-q", "--empty-dirs", archive.string(), src.string() + "/"});
    ASSERT_EQ(a.status, 0) << a.out;
    const bool gz = std::string(name) != "w.tar";
    if (gz) {
      EXPECT_EQ(testsupport::Run({"gzip", "-t", archive.string()}).status, 0);
    }
    for (const std::vector<std::string>& x :
         {std::vector<std::string>{"tar", gz ? "-xzf" : "-xf"}, std::vector<std::string>{"bsdtar", "-xf"}}) {
      SCOPED_TRACE(x[0]);
      const fs::path out = t / "out";
      fs::remove_all(out);
      fs::create_directories(out);
      std::vector<std::string> argv = x;
      argv.insert(argv.end(), {archive.string(), "-C", out.string()});
      const CommandResult r = testsupport::Run(argv);
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(r.out, "");                        // no warning either
      EXPECT_EQ(ReadTree(out / "src"), expected);  // names keep the folder given on the command line
      // Files are stored read-only; let the folder be removed.
      testsupport::Run({"chmod", "-R", "u+w", out.string()});
    }
    fs::remove(archive);
  }
#endif
}

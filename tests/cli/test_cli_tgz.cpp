// brel-cli reads gzip-compressed tar archives (.tgz, .tar.gz) as the tar inside them.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using namespace testsupport;

TEST(CliTgz, ReadsWhatItWritesAndWhatGnuTarWrites) {
  REQUIRE_TOOLS("tar");
  TempDir t;
  WriteFile(t / "src/a.txt", TextBytes(20000, 1));
  WriteFile(t / "src/sub/b.bin", RandomBytes(5000, 2));
  const auto want = ReadTree(t / "src");

  std::vector<std::string> archives = {(t / "own.tgz").string()};
  ASSERT_EQ(RunCli({"a", "-q", archives[0], (t / "src").string()}).status, 0);
  archives.push_back((t / "gnu.tar.gz").string());
  ASSERT_EQ(testsupport::Run({"tar", "czf", archives[1], "src"}, t.path()).status, 0);
  for (const std::string& archive : archives) {
    SCOPED_TRACE(archive);
    const auto out = t / "out";
    fs::remove_all(out);
    const CommandResult x = RunCli({"x", "-q", "-o", out.string(), archive});
    ASSERT_EQ(x.status, 0) << x.out;
    EXPECT_EQ(ReadTree(out / "src"), want);
    EXPECT_EQ(RunCli({"t", "-q", archive}).status, 0);
    const CommandResult l = RunCli({"l", archive});
    EXPECT_NE(l.out.find("src/sub/b.bin"), std::string::npos) << l.out;
  }
  // The temporary tar beside the archive is gone again.
  for (const auto& e : fs::directory_iterator(t.path()))
    EXPECT_NE(e.path().filename().string().rfind("qrv", 0), 0u) << e.path();

  // Cut short: reported, exit status 1.
  const std::string whole = ReadFile(archives[0]);
  WriteFile(t / "cut.tgz", whole.substr(0, whole.size() / 2));
  const CommandResult cut = RunCli({"t", (t / "cut.tgz").string()});
  EXPECT_EQ(cut.status, 1);
  EXPECT_NE(cut.out.find("25236"), std::string::npos) << cut.out;
}

}  // namespace

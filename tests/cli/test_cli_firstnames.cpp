// An archive reads back whatever text its first stored name holds, even text that looks like
// another format's signature.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using namespace testsupport;

TEST(CliFirstNames, ArchivesReadBackWhateverTheFirstNameLooksLike) {
  const char* names[] = {"my-lib/x", "HACKING/x", "PKGBUILD/x",     "-lh5-",        "PK",   "MZ",
                         "Rar!",     "7z",        "\x1f\x8b",       "BZh",          "MSCF", "begin 644",
                         "ZOO",      "%!PS",      "abcdefg**ACE**", "`\xea\xb0\x80"};
  for (const char* name : names) {
    TempDir t;
    WriteFile(t / "src" / name, TextBytes(3000, 1));  // the only entry, so the first
    const auto want = ReadTree(t / "src");
    for (const char* ext : {".tar", ".zip"}) {
      SCOPED_TRACE(std::string(name) + ext);
      // A ZIP name that is not UTF-8 reads back by the code-page rules (CP932, else CP437), as
      // a name from a Windows archive would: only TAR keeps such bytes as they are.
      if (std::string(ext) == ".zip" && std::string(name) == "\x1f\x8b") continue;
      const std::string archive = (t / (std::string("own") + ext)).string();
      ASSERT_EQ(RunCli({"a", "-q", archive, (t / "src/.").string()}).status, 0);
      const CommandResult l = RunCli({"l", archive});
      EXPECT_EQ(l.status, 0) << l.out;
      EXPECT_EQ(RunCli({"t", "-q", archive}).status, 0);
      const auto out = t / "out";
      fs::remove_all(out);
      ASSERT_EQ(RunCli({"x", "-q", "-o", out.string(), archive}).status, 0);
      EXPECT_EQ(ReadTree(out), want);
    }
  }
}

}  // namespace

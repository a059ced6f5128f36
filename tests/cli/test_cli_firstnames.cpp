// An archive reads back whatever text its first stored name holds, even text that looks like
// another format's signature.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using namespace testsupport;

const char kNotUtf8[] = "\x1f\x8b";  // the gzip magic

TEST(CliFirstNames, ArchivesReadBackWhateverTheFirstNameLooksLike) {
  const char* names[] = {"my-lib/x", "HACKING/x", "PKGBUILD/x", "-lh5-", "PK",  "MZ",
                         "Rar!",     "7z",        kNotUtf8,     "BZh",   "MSCF", "begin 644",
                         "ZOO",      "%!PS",      "abcdefg**ACE**",  "`\xea\xb0\x80"};
  for (const char* name : names) {
    TempDir t;
    WriteFile(t / "src" / name, TextBytes(3000, 1));  // the only entry, so the first
    const auto want = ReadTree(t / "src");
    for (const char* ext : {".tar", ".zip"}) {
      SCOPED_TRACE(std::string(name) + ext);
      const std::string archive = (t / (std::string("own") + ext)).string();
      ASSERT_EQ(RunCli({"a", "-q", archive, (t / "src/.").string()}).status, 0);
      const CommandResult l = RunCli({"l", archive});
      EXPECT_EQ(l.status, 0) << l.out;
      EXPECT_EQ(RunCli({"t", "-q", archive}).status, 0);
      const auto out = t / "out";
      fs::remove_all(out);
      ASSERT_EQ(RunCli({"x", "-q", "-o", out.string(), archive}).status, 0);
      // Bytes that are not UTF-8 come back from a ZIP as the reader decodes foreign names
      // (CP932, then CP437); a TAR keeps them as they are.
      if (std::string(ext) == ".zip" && std::string(name) == kNotUtf8) {
        EXPECT_EQ(ReadTree(out).size(), 1u);
      } else {
        EXPECT_EQ(ReadTree(out), want);
      }
    }
  }
}

}  // namespace

// brel-cli x, t and l against archives other programs wrote: the shared samples and archives
// made now by zip, 7z (Deflate, Deflate64, ZipCrypto, AES) and bsdtar. 7z x is the oracle.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

using namespace testsupport;

namespace {

// A tree of files with folders, an empty file, text and binary data, a non-ASCII name.
void MakeTree(const fs::path& Root) {
  WriteFile(Root / "docs/readme.txt", TextBytes(40000, 1));
  WriteFile(Root / "docs/sub/deep.bin", RandomBytes(70000, 2));
  WriteFile(Root / "empty.txt", "");
  WriteFile(Root / "\xe8\xa1\xa8\xe3\x81\xa0\xe3\x82\x88.txt", "japanese name");
  WriteFile(Root / "big.txt", TextBytes(300000, 3));
  fs::create_directories(Root / "emptydir");
}

// Extracts Zip with brel-cli and with 7z (or unzip, which also reads archives behind a stub)
// and compares names and bytes; then t must pass.
void ExpectSameAs7z(const fs::path& Zip, const std::string& Password = {}, bool UnzipOracle = false) {
  TempDir t;
  std::vector<std::string> args = {"x", "-q", "-o", (t / "brel").string()};
  if (!Password.empty()) args.insert(args.end(), {"-p", Password});
  args.push_back(Zip.string());
  const CommandResult b = RunCli(args);
  EXPECT_EQ(b.status, 0) << Zip << "\n" << b.out;
  const CommandResult s =
      UnzipOracle ? testsupport::Run({"unzip", "-q", "-P", Password, "-d", (t / "7z").string(), Zip.string()})
                  : testsupport::Run({"7z", "x", "-y", "-p" + Password, "-o" + (t / "7z").string(), Zip.string()});
  ASSERT_LE(s.status, UnzipOracle ? 1 : 0) << s.out;  // unzip warns (1) about the stub
  EXPECT_EQ(ReadTree(t / "brel"), ReadTree(t / "7z")) << Zip;
  std::vector<std::string> targs = {"t", "-q"};
  if (!Password.empty()) targs.insert(targs.end(), {"-p", Password});
  targs.push_back(Zip.string());
  const CommandResult tr = RunCli(targs);
  EXPECT_EQ(tr.status, 0) << "t " << Zip << "\n" << tr.out;
}

}  // namespace

TEST(ZipRead, AesArchivesOf7z) {
  REQUIRE_TOOLS("7z");
  TempDir t;
  MakeTree(t / "src");
  for (const char* bits : {"AES128", "AES192", "AES256"})
    for (const char* level : {"-mx=0", "-mx=5"}) {
      SCOPED_TRACE(std::string(bits) + " " + level);
      const fs::path zip = t / (std::string(bits) + level + ".zip");
      const CommandResult made = testsupport::Run(
          {"7z", "a", "-tzip", level, "-pse cret", std::string("-mem=") + bits, zip.string(), "."}, t / "src");
      ASSERT_EQ(made.status, 0) << made.out;
      ExpectSameAs7z(zip, "se cret");
    }
}

// A wrong AES password is refused before any output exists; a changed data byte fails the
// authentication code.
TEST(ZipRead, AesWrongPasswordAndDamage) {
  REQUIRE_TOOLS("7z");
  TempDir t;
  WriteFile(t / "src" / "data.bin", RandomBytes(50000, 7));
  const fs::path zip = t / "a.zip";
  ASSERT_EQ(
      testsupport::Run({"7z", "a", "-tzip", "-mx=0", "-psecret", "-mem=AES256", zip.string(), "data.bin"}, t / "src")
          .status,
      0);
  const CommandResult wrong = RunCli({"x", "-q", "-o", (t / "out").string(), "-p", "wrong", zip.string()});
  EXPECT_NE(wrong.status, 0);
  EXPECT_NE(wrong.out.find("26517"), std::string::npos) << wrong.out;
  EXPECT_FALSE(fs::exists(t / "out" / "data.bin"));
  std::string bytes = ReadFile(zip);
  bytes[bytes.find("data.bin") + 8 + 11 + 16 + 2 + 1000] ^= 1;  // name, AES field, salt, verifier
  WriteFile(t / "b.zip", bytes);
  const CommandResult bad = RunCli({"t", "-q", "-p", "secret", (t / "b.zip").string()});
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.out.find("25151"), std::string::npos) << bad.out;
}

TEST(ZipRead, ArchivesOfPeerTools) {
  REQUIRE_TOOLS("zip", "7z", "bsdtar");
  TempDir t;
  MakeTree(t / "src");
  // Python's zipfile with Zip64 records for every entry.
  const std::string py64 =
      "import os, zipfile\n"
      "with zipfile.ZipFile('ARCHIVE', 'w', zipfile.ZIP_DEFLATED) as z:\n"
      "  for r, ds, fs in os.walk('.'):\n"
      "    for f in fs:\n"
      "      with open(os.path.join(r, f), 'rb') as i, z.open(os.path.join(r, f)[2:], 'w', force_zip64=True) as o:\n"
      "        o.write(i.read())\n";
  const struct {
    const char* Tool;
    std::vector<std::string> Argv;  // run in src; ARCHIVE stands for the archive path
    std::string Password;
    bool UnzipOracle = false;
  } tools[] = {
      {"zip", {"zip", "-r", "-q", "ARCHIVE", "."}, ""},
      {"zip", {"zip", "-r", "-q", "-P", "secret", "ARCHIVE", "."}, "secret"},
      {"zip", {"zip", "-r", "-q", "-fd", "ARCHIVE", "."}, ""},     // data descriptors
      {"zip", {"zip", "-r", "-q", "-fz", "ARCHIVE", "."}, ""},     // Zip64
      {"zip", {"sh", "-c", "zip -q -r - . | cat > ARCHIVE"}, ""},  // streamed
      {"zip", {"sh", "-c", "head -c 20000 /dev/urandom > ARCHIVE && zip -q -r - . | cat >> ARCHIVE"}, "", true},
      {"7z", {"7z", "a", "-tzip", "ARCHIVE", "."}, ""},
      {"7z", {"7z", "a", "-tzip", "-mm=Deflate64", "ARCHIVE", "."}, ""},
      {"7z", {"7z", "a", "-tzip", "-psecret", "-mem=ZipCrypto", "ARCHIVE", "."}, "secret"},
      {"7z", {"7z", "a", "-tzip", "-mm=Deflate64", "-psecret", "-mem=AES256", "ARCHIVE", "."}, "secret"},
      {"7z", {"7z", "a", "-tzip", "-mm=Copy", "ARCHIVE", "."}, ""},
      {"7z", {"7z", "a", "-tzip", "-mm=BZip2", "ARCHIVE", "."}, ""},
      {"7z", {"7z", "a", "-tzip", "-mm=LZMA", "ARCHIVE", "."}, ""},  // with an end marker
      {"7z", {"7z", "a", "-tzip", "-mm=LZMA", "-m0=LZMA:eos=off", "ARCHIVE", "."}, ""},
      {"7z", {"7z", "a", "-tzip", "-mm=XZ", "ARCHIVE", "."}, ""},
      {"bsdtar", {"bsdtar", "--format", "zip", "-cf", "ARCHIVE", "."}, ""},
      {"jar", {"jar", "cf", "ARCHIVE", "."}, ""},
      {"python3", {"python3", "-c", py64}, ""},
  };
  int n = 0;
  for (const auto& tool : tools) {
    if (!testsupport::HaveTool(tool.Tool)) continue;
    const fs::path zip = t / ("made" + std::to_string(n++) + ".zip");
    std::vector<std::string> argv = tool.Argv;
    for (std::string& a : argv)
      for (size_t at; (at = a.find("ARCHIVE")) != std::string::npos;) a.replace(at, 7, zip.string());
    const CommandResult made = testsupport::Run(argv, t / "src");
    ASSERT_EQ(made.status, 0) << made.out;
    SCOPED_TRACE(tool.Argv[0] + " " + tool.Argv[1] + " " + tool.Argv[2] +
                 (tool.Argv.size() > 3 ? " " + tool.Argv[3] : ""));
    ExpectSameAs7z(zip, tool.Password, tool.UnzipOracle);
  }
}

// 7z's PPMd is not decoded: each entry says so once, by name; the folders still come out.
TEST(ZipRead, PpmdEntriesAreReportedByName) {
  REQUIRE_TOOLS("7z");
  TempDir t;
  MakeTree(t / "src");
  const fs::path zip = t / "p.zip";
  ASSERT_EQ(testsupport::Run({"7z", "a", "-tzip", "-mm=PPMd", zip.string(), "."}, t / "src").status, 0);
  const CommandResult r = RunCli({"x", "-q", "-o", (t / "o").string(), zip.string()});
  EXPECT_EQ(r.status, 1);
  auto count = [](const std::string& Text, const std::string& What) {
    size_t n = 0;
    for (size_t at = 0; (at = Text.find(What, at)) != std::string::npos; ++at) ++n;
    return n;
  };
  const size_t ppmd = count(testsupport::Run({"7z", "l", "-slt", zip.string()}).out, "Method = PPMd");
  EXPECT_GT(ppmd, 0u);
  EXPECT_EQ(count(r.out, "25326 Unsupported compression method"), ppmd) << r.out;  // 7z stores some
  EXPECT_NE(r.out.find("(PPMd, method 98 is not supported)"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_directory(t / "o/docs/sub"));
}

// The shared samples 7z reads cleanly extract as 7z extracts them (the CP932 names are read
// as CP932 here, where 7z keeps the raw bytes, so that sample is compared by content).
TEST(ZipRead, SharedSamples) {
  for (const auto& f : fs::directory_iterator(Testdata("zip"))) {
    const std::string name = f.path().filename().string();
    const CommandResult probe = testsupport::Run({"7z", "t", "-p12345678", f.path().string()});
    if (probe.status != 0 || name.find("cp932") != std::string::npos) continue;
    SCOPED_TRACE(name);
    ExpectSameAs7z(f.path(), name.find("encryption") != std::string::npos ? "12345678" : "");
  }
}

// Reduce (which neither 7z nor Debian's unzip decodes) and the CP932 names, by fixed expectations.
TEST(ZipRead, ReduceAndCp932Samples) {
  TempDir t;
  const CommandResult r = RunCli({"x", "-q", "-o", (t / "r").string(), Testdata("zip/legacy_reduce.zip").string()});
  EXPECT_EQ(r.status, 0) << r.out;
  // No peer here decodes Reduce: the stored CRC (checked by x) and the size stand in.
  EXPECT_EQ(ReadFile(t / "r/first.txt").size(), 1092u);
  const CommandResult c =
      RunCli({"x", "-q", "-o", (t / "c").string(), Testdata("zip/test_read_format_zip_filename_cp932.zip").string()});
  EXPECT_EQ(c.status, 0);
  const auto tree = ReadTree(t / "c");
  EXPECT_TRUE(tree.count("\xe8\xa1\xa8\xe3\x81\xa0\xe3\x82\x88/\xe6\xbc\xa2\xe5\xad\x97.txt")) << tree.begin()->first;
}

// Flipped bytes in the data: 25151 and exit status 1 from x and t, never a crash.
TEST(ZipRead, DamagedCopyIsReported) {
  TempDir t;
  WriteFile(t / "src/data.txt", TextBytes(200000, 9));
  const fs::path zip = t / "d.zip";
  ASSERT_EQ(testsupport::Run({"zip", "-q", "-r", zip.string(), "data.txt"}, t / "src").status, 0);
  std::string bytes = ReadFile(zip);
  for (size_t i = 2000; i < 2100; ++i) bytes[i] ^= 0x5A;
  WriteFile(zip, bytes);
  for (const char* cmd : {"t", "x"}) {
    std::vector<std::string> args = {cmd, "-q"};
    if (std::string(cmd) == "x") args.insert(args.end(), {"-o", (t / "o").string()});
    args.push_back(zip.string());
    const CommandResult r = RunCli(args);
    EXPECT_EQ(r.status, 1) << cmd << "\n" << r.out;
    EXPECT_NE(r.out.find("25151 File fails CRC check"), std::string::npos) << cmd << "\n" << r.out;
  }
}

// x keeps folders, e flattens them, masks select, --skip-existing keeps what is there, l lists.
TEST(ZipRead, CommandVariants) {
  TempDir t;
  WriteFile(t / "src/a/one.txt", "one");
  WriteFile(t / "src/b/two.log", "two");
  const fs::path zip = t / "v.zip";
  ASSERT_EQ(testsupport::Run({"zip", "-q", "-r", zip.string(), "a", "b"}, t / "src").status, 0);
  EXPECT_EQ(RunCli({"e", "-q", "-o", (t / "e").string(), zip.string()}).status, 0);
  EXPECT_EQ(ReadTree(t / "e"), (std::map<std::string, std::string>{{"one.txt", "one"}, {"two.log", "two"}}));
  EXPECT_EQ(RunCli({"x", "-q", "-o", (t / "m").string(), zip.string(), "*.txt"}).status, 0);
  EXPECT_EQ(ReadTree(t / "m"), (std::map<std::string, std::string>{{"a/", ""}, {"a/one.txt", "one"}}));
  WriteFile(t / "k/a/one.txt", "mine");
  EXPECT_EQ(RunCli({"x", "-q", "--skip-existing", "-o", (t / "k").string(), zip.string()}).status, 0);
  EXPECT_EQ(ReadFile(t / "k/a/one.txt"), "mine");
  EXPECT_EQ(ReadFile(t / "k/b/two.log"), "two");
  const CommandResult l = RunCli({"l", "-v", zip.string()});
  EXPECT_EQ(l.status, 0);
  EXPECT_NE(l.out.find("a/one.txt"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("Stored"), std::string::npos) << l.out;
  EXPECT_EQ(RunCli({"x", (t / "missing.zip").string()}).status, 1);
  EXPECT_EQ(RunCli({"x"}).status, 2);
}

// A set split by zip -s reads as one archive, whether the last or the first volume is named.
TEST(ZipRead, SplitVolumes) {
  TempDir t;
  WriteFile(t / "src/big.bin", RandomBytes(250000, 11));
  WriteFile(t / "src/small.txt", "small");
  ASSERT_EQ(
      testsupport::Run({"zip", "-q", "-s", "100k", (t / "set.zip").string(), "big.bin", "small.txt"}, t / "src").status,
      0);
  ASSERT_TRUE(fs::exists(t / "set.z02"));
  for (const char* named : {"set.zip", "set.z01"}) {
    const fs::path out = t / (std::string("o-") + named);
    const CommandResult r = RunCli({"x", "-q", "-o", out.string(), (t / named).string()});
    EXPECT_EQ(r.status, 0) << named << "\n" << r.out;
    EXPECT_EQ(ReadTree(out), ReadTree(t / "src")) << named;
  }
  fs::remove(t / "set.z01");
  const CommandResult missing = RunCli({"t", "-q", (t / "set.zip").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("25270"), std::string::npos) << missing.out;  // OnNextVolume
}

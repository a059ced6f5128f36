// The libarchive reader: kinds made by peer tools extract to the tree they were made from,
// through the frame's per-entry step (escapes, encrypted entries, lone compressed files, volume
// sets), and brel-cli and the window's job hand those kinds to it.
#include <gtest/gtest.h>

#include "app/ArchiveJobs.h"
#include "archive/libarc/qrvUnLibArc.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

struct TRun {
  int Result = 0;
  std::vector<int32_t> Errors;
  std::vector<std::string> Texts;
  std::map<std::string, std::string> Tree;
  std::vector<TListEntry> Listed;
};

TRun RunLibArc(const fs::path& Archive, const fs::path& Out, TExtractMode Mode = xmExtract) {
  TUnLibArc u;
  u.SetArchiveFile(Archive.string());
  u.SetExtractDir(Out.string() + "/");
  u.FileSpec = {"*"};
  u.CreateStoredDirs = true;
  u.ExtractMode = Mode;
  TRun r;
  u.OnError = [&](TZipCommon*, const std::string&, const std::string& Why, const std::string&, int32_t Code) {
    r.Errors.push_back(Code);
    r.Texts.push_back(Why);
  };
  u.OnListEntry = [&](TZipCommon*, const TListEntry& E) { r.Listed.push_back(E); };
  r.Result = u.Extract();
  if (fs::exists(Out)) r.Tree = ReadTree(Out);
  return r;
}

// The tree every archive is made from: a folder, a subfolder, text, binary data, a link.
void MakeSource(const fs::path& Src) {
  WriteFile(Src / "d/a.txt", TextBytes(5000, 1));
  WriteFile(Src / "d/sub/r.bin", RandomBytes(300000, 2));
  WriteFile(Src / "d/empty", "");
  fs::create_symlink("a.txt", Src / "d/link");
}

struct TKindRow {
  const char* Kind;               // what detection names it
  std::vector<std::string> Make;  // run in Src/Cwd; writes ../arc/<Archive> (or arc/ for lone files)
  const char* Cwd;
  const char* Archive;
  const char* Expected;  // the folder of Src whose tree extraction gives
  bool Stored = false;   // Archive is in data/; Make is the peer that extracts it into Src
};

const fs::path kData = fs::path(BREL_SOURCE_DIR) / "tests/libarc/data";

}  // namespace

TEST(LibArc, PeerKindsExtractToThePeersTree) {
  const TKindRow rows[] = {
      {"7z", {"7z", "a", "-bd", "-bso0", "-snl", "../arc/a.7z", "d"}, "", "a.7z", ""},
      {"7z", {"7z", "a", "-bd", "-bso0", "-snl", "-v100k", "../arc/s.7z", "d"}, "", "s.7z.001", ""},
      {"tar.xz", {"bsdtar", "-cJf", "../arc/a.tar.xz", "d"}, "", "a.tar.xz", ""},
      {"tar.zst", {"bsdtar", "--zstd", "-cf", "../arc/a.tar.zst", "d"}, "", "a.tar.zst", ""},
      {"tar.bz2", {"bsdtar", "-cjf", "../arc/a.tar.bz2", "d"}, "", "a.tar.bz2", ""},
      {"tar.lz4", {"bsdtar", "--lz4", "-cf", "../arc/a.tar.lz4", "d"}, "", "a.tar.lz4", ""},
      {"tar.lz", {"bsdtar", "--lzip", "-cf", "../arc/a.tar.lz", "d"}, "", "a.tar.lz", ""},
      {"tar.Z", {"bsdtar", "-cZf", "../arc/a.tar.Z", "d"}, "", "a.tar.Z", ""},
      {"cpio", {"bsdtar", "--format", "cpio", "-cf", "../arc/a.cpio", "d"}, "", "a.cpio", ""},
      {"xar", {"bsdtar", "--format", "xar", "-cf", "../arc/a.xar", "d"}, "", "a.xar", ""},
      {"ISO 9660", {"genisoimage", "-quiet", "-R", "-o", "../arc/a.iso", "."}, "", "a.iso", ""},
      {"ar", {"ar", "rc", "../../../arc/a.ar", "r.bin"}, "d/sub", "a.ar", "d/sub"},
      // RAR 4 (a folder, an empty one, a link), RAR 5, solid, Japanese names, three volumes.
      {"RAR", {"bsdtar", "-xf"}, "", "test_read_format_rar.rar", "", true},
      {"RAR5", {"bsdtar", "-xf"}, "", "test_read_format_rar5_multiple_files.rar", "", true},
      {"RAR5", {"bsdtar", "-xf"}, "", "test_read_format_rar5_multiple_files_solid.rar", "", true},
      {"RAR", {"env", "LC_ALL=C.UTF-8", "bsdtar", "-xf"}, "", "test_read_format_rar_unicode.rar", "", true},
      {"RAR",
       {"7z", "x", "-bd", "-bso0"},
       "",
       "test_rar_multivolume_single_file.part1.rar",
       "",
       true},  // bsdtar: one volume
  };
  for (const TKindRow& row : rows) {
    SCOPED_TRACE(row.Archive);
    if (!HaveTool(row.Make[0])) {
      ADD_FAILURE() << "peer tool missing: " << row.Make[0];
      continue;
    }
    TempDir t;
    MakeSource(t / "src");
    fs::create_directories(t / "arc");
    const fs::path archive = row.Stored ? kData / row.Archive : t / "arc" / row.Archive;
    std::vector<std::string> make = row.Make;
    if (row.Stored) {
      fs::remove_all(t / "src");
      fs::create_directories(t / "src");
      make.push_back(archive.string());
    }
    const CommandResult made = testsupport::Run(make, t / "src" / row.Cwd);
    ASSERT_EQ(made.status, 0) << made.out;
    EXPECT_EQ(DetectLibArcKind(archive.string()).Name, row.Kind);
    const TRun r = RunLibArc(archive, t / "out");
    EXPECT_TRUE(r.Errors.empty()) << (r.Texts.empty() ? "" : r.Texts[0]);
    EXPECT_EQ(r.Tree, ReadTree(t / "src" / row.Expected));
    // The archive's own root ("." of an ISO image) is the output folder: not an entry.
    for (const TListEntry& e : RunLibArc(archive, t / "none", xmList).Listed)
      EXPECT_NE(e.Name.find_first_not_of("./"), std::string::npos);
    const TRun tested = RunLibArc(archive, t / "none", xmTest);
    EXPECT_TRUE(tested.Errors.empty());
    EXPECT_EQ(tested.Result, r.Result);
    EXPECT_FALSE(fs::exists(t / "none"));
  }
}

TEST(LibArc, LoneCompressedFilesComeOutUnderTheirOwnName) {
  const std::vector<std::vector<std::string>> compressors = {
      {"gzip", "notes.txt"},  {"xz", "notes.txt"},   {"zstd", "-q", "--rm", "notes.txt"},
      {"bzip2", "notes.txt"}, {"lzip", "notes.txt"}, {"lz4", "-q", "--rm", "notes.txt", "notes.txt.lz4"}};
  const std::string text = TextBytes(70000, 3);
  for (const auto& c : compressors) {
    SCOPED_TRACE(c[0]);
    TempDir t;
    WriteFile(t / "notes.txt", text);
    ASSERT_EQ(testsupport::Run(c, t.path()).status, 0);
    fs::path archive;
    for (const auto& e : fs::directory_iterator(t.path())) archive = e.path();
    EXPECT_TRUE(DetectLibArcKind(archive.string()).Single);
    const TRun r = RunLibArc(archive, t / "out");
    EXPECT_TRUE(r.Errors.empty());
    EXPECT_EQ(r.Tree, (std::map<std::string, std::string>{{"notes.txt", text}}));
    const TRun listed = RunLibArc(archive, t / "none", xmList);
    ASSERT_EQ(listed.Listed.size(), 1u);
    EXPECT_EQ(listed.Listed[0].Size, int64_t(text.size()));
  }
  // Damage in a lone gzip file's data, CRC or size fails the entry (libarchive's own gzip
  // filter never looks at the trailer).
  TempDir t;
  WriteFile(t / "n.txt", text);
  ASSERT_EQ(testsupport::Run({"gzip", "n.txt"}, t.path()).status, 0);
  const std::string gz = ReadFile(t / "n.txt.gz");
  for (const size_t back : {gz.size() / 2, size_t(6), size_t(2)}) {
    SCOPED_TRACE(back);
    std::string damaged = gz;
    damaged[damaged.size() - back] ^= 0x01;
    WriteFile(t / "d.txt.gz", damaged);
    for (const TExtractMode mode : {xmTest, xmExtract}) {
      const TRun r = RunLibArc(t / "d.txt.gz", t / "out", mode);
      ASSERT_EQ(r.Errors.size(), 1u);
      if (back < 8) EXPECT_EQ(r.Errors[0], ecCrcCheck);
    }
  }
}

TEST(LibArc, NamesLinksAndEncryptionAreHeldToTheFramesRules) {
  REQUIRE_TOOLS("bsdtar", "7z");
  TempDir t;
  // A link out of the output folder followed by a file below it, and a name climbing out.
  fs::create_directories(t / "src/q");
  fs::create_directories(t / "outside");
  fs::create_symlink("../outside", t / "src/lnk");
  WriteFile(t / "src/q/pwn", "pwn");
  WriteFile(t / "src/f", "up");
  ASSERT_EQ(testsupport::Run({"bsdtar", "-cf", "../h.tar", "lnk"}, t / "src").status, 0);
  ASSERT_EQ(testsupport::Run({"bsdtar", "-rf", "../h.tar", "-s", ",^q,lnk,", "q/pwn"}, t / "src").status, 0);
  ASSERT_EQ(testsupport::Run({"bsdtar", "-P", "-rf", "../h.tar", "-s", ",^f$,../escape.txt,", "f"}, t / "src").status,
            0);
  for (const char* container : {"h.7z", "h.tar.xz", "h.cpio"}) {
    SCOPED_TRACE(container);
    const std::string format = std::string(container) == "h.7z"     ? "7zip"
                               : std::string(container) == "h.cpio" ? "cpio"
                                                                    : "ustar";
    ASSERT_EQ(testsupport::Run({"bsdtar", "--format", format, "-a", "-cf", container, "@h.tar"}, t.path()).status, 0);
    TRun r = RunLibArc(t / container, t / "out" / container);
    EXPECT_TRUE(fs::is_empty(t / "outside"));
    EXPECT_FALSE(fs::exists(t / "out/escape.txt"));
    EXPECT_EQ(r.Tree["escape.txt"], "up");
    EXPECT_EQ(r.Errors, std::vector<int32_t>{ecOpenFile});
  }
  // Encrypted content libarchive cannot decrypt: said once, no file stands for it; an
  // encrypted header: said, nothing written.
  WriteFile(t / "e/a.txt", "secret a");
  WriteFile(t / "e/b.txt", "secret b");
  ASSERT_EQ(testsupport::Run({"7z", "a", "-bd", "-bso0", "-pX", "../e.7z", "a.txt", "b.txt"}, t / "e").status, 0);
  ASSERT_EQ(testsupport::Run({"7z", "a", "-bd", "-bso0", "-pX", "-mhe=on", "../eh.7z", "a.txt"}, t / "e").status, 0);
  TRun r = RunLibArc(t / "e.7z", t / "oe");
  EXPECT_EQ(r.Errors, std::vector<int32_t>{ecUnsupportedMethod});
  EXPECT_TRUE(r.Tree.empty());
  r = RunLibArc(t / "eh.7z", t / "oeh");
  EXPECT_EQ(r.Errors, std::vector<int32_t>{ecBadFileHeader});
  EXPECT_TRUE(r.Tree.empty());
  // Damaged data that libarchive's CRC check catches fails the entry.
  WriteFile(t / "c/r.bin", RandomBytes(50000, 4));
  ASSERT_EQ(testsupport::Run({"7z", "a", "-bd", "-bso0", "-mx0", "../c.7z", "r.bin"}, t / "c").status, 0);
  std::string bytes = ReadFile(t / "c.7z");
  bytes[1000] = char(bytes[1000] ^ 0x55);
  WriteFile(t / "c.7z", bytes);
  EXPECT_EQ(RunLibArc(t / "c.7z", t / "oc", xmTest).Errors, std::vector<int32_t>{ecCrcCheck});
}

TEST(LibArc, VolumeAndMemberNames) {
  TempDir t;
  for (const char* f : {"s.7z.001", "s.7z.002", "s.7z.003", "x.part1.rar", "x.part2.rar", "o.rar", "o.r00", "o.r01"})
    WriteFile(t / f, "");
  const std::string d = t.path().string() + "/";
  EXPECT_EQ(LibArcVolumes(d + "s.7z.001"), (std::vector<std::string>{d + "s.7z.001", d + "s.7z.002", d + "s.7z.003"}));
  EXPECT_EQ(LibArcVolumes(d + "x.part1.rar"), (std::vector<std::string>{d + "x.part1.rar", d + "x.part2.rar"}));
  EXPECT_EQ(LibArcVolumes(d + "o.rar"), (std::vector<std::string>{d + "o.rar", d + "o.r00", d + "o.r01"}));
  EXPECT_EQ(LibArcVolumes(d + "x.part2.rar"), (std::vector<std::string>{d + "x.part2.rar"}));
  const std::pair<std::string, std::string> firsts[] = {{"x.part2.rar", "x.part1.rar"},
                                                        {"y.part03.RAR", "y.part01.RAR"},
                                                        {"s.7z.003", "s.7z.001"},
                                                        {"o.r01", "o.rar"},
                                                        {"x.part1.rar", ""},
                                                        {"s.7z.001", ""},
                                                        {"n.002", ""},
                                                        {"o.rar", ""}};
  for (const auto& [later, first] : firsts)
    EXPECT_EQ(LibArcFirstVolume(d + later), first.empty() ? "" : d + first) << later;
  const std::pair<const char*, const char*> names[] = {
      {"/a/notes.txt.gz", "notes.txt"}, {"n.tar.Z", "n.tar"}, {"x.zst", "x"}, {".gz", ".gz.out"}, {"data", "data.out"}};
  for (const auto& [in, out] : names) EXPECT_EQ(LoneMemberName(in), out) << in;
}

TEST(LibArc, CliAndWindowTakeTheseKinds) {
  REQUIRE_TOOLS("bsdtar", "7z", "xz");
  TempDir t;
  MakeSource(t / "src");
  ASSERT_EQ(testsupport::Run({"bsdtar", "-cJf", "../d.tar.xz", "d"}, t / "src").status, 0);
  ASSERT_EQ(testsupport::Run({"7z", "a", "-bd", "-bso0", "-snl", "../d.7z", "d"}, t / "src").status, 0);
  WriteFile(t / "notes.txt", "notes");
  ASSERT_EQ(testsupport::Run({"xz", "notes.txt"}, t.path()).status, 0);
  const CommandResult type = RunCli({"type", (t / "d.tar.xz").string(), (t / "d.7z").string()});
  EXPECT_NE(type.out.find("d.tar.xz: tar.xz\n"), std::string::npos) << type.out;
  EXPECT_NE(type.out.find("d.7z: 7z\n"), std::string::npos) << type.out;
  const CommandResult x = RunCli({"x", "-q", "-o", (t / "cli").string(), (t / "d.7z").string()});
  EXPECT_EQ(x.status, 0) << x.out;
  // A later volume names the one to open instead, and nothing is written.
  const CommandResult later =
      RunCli({"x", "-o", (t / "vol").string(), (kData / "test_rar_multivolume_single_file.part2.rar").string()});
  EXPECT_EQ(later.status, 1);
  EXPECT_NE(later.out.find("open the set from its first volume, test_rar_multivolume_single_file.part1.rar"),
            std::string::npos)
      << later.out;
  EXPECT_FALSE(fs::exists(t / "vol") && !fs::is_empty(t / "vol"));
  EXPECT_EQ(ReadTree(t / "cli"), ReadTree(t / "src"));
  // The window: a folder named after the archive (d.tar.xz -> d, not doubled), the lone file
  // beside itself.
  for (const char* name : {"d.tar.xz", "notes.txt.xz"}) {
    const TJobResult job = UnpackArchive((t / name).string(), {});
    EXPECT_EQ(job.Outcome, joDone) << name;
  }
  EXPECT_EQ(ReadTree(t / "d"), ReadTree(t / "src/d"));
  EXPECT_EQ(ReadFile(t / "notes.txt"), "notes");
}

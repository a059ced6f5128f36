// LZH archives end to end through brel-cli and the peers (lhasa, jlha, 7z, bsdtar): what brel
// writes they accept with the same content, what they write brel extracts as lhasa does, and
// damage, NUL names, long names and renames are handled entry by entry.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>

#include "archive/lzh/qrvLha.h"
#include "archive/lzh/qrvLhaPack.h"
#include "cab/cab_test_util.h"
#include "lzh/lzh_test_util.h"
#include "platform/CodePage.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

#ifdef BREL_CLI

void MakeTree(const fs::path& Root) {
  WriteFile(Root / "src/readme.txt", TextBytes(70000, 1));
  WriteFile(Root / "src/random.bin", RandomBytes(40000, 2));
  WriteFile(Root / "src/empty.dat", "");
  WriteFile(Root / "src/日本語/ファイル.txt", TextBytes(3000, 3));  // no 0x5C trail byte: lhasa splits there
  fs::create_directories(Root / "src/empty-dir");
}

// A tree a peer extracted: links dropped, names read back as brel reads stored names.
std::map<std::string, std::string> PeerTree(const fs::path& Root) {
  for (auto it = fs::recursive_directory_iterator(Root); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_symlink()) fs::remove(it->path());
  std::map<std::string, std::string> tree;
  for (const auto& [name, data] : ReadTree(Root)) tree[OemToUtf8(name)] = data;
  return tree;
}

std::map<std::string, std::string> LowerNames(const std::map<std::string, std::string>& Tree) {
  std::map<std::string, std::string> out;
  for (const auto& [name, data] : Tree) {
    std::string lower = name;
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    out[lower] = data;
  }
  return out;
}

// What the content trees leave out, by lower-cased name (a peer's read back as PeerTree does):
// link targets, file times after 1980 that a DOS date can hold, and the modes when the archive carries Unix
// modes; then the links are removed.
std::map<std::string, std::string> TakeMeta(const fs::path& Root, bool Modes, bool Peer) {
  std::map<std::string, std::string> meta;
  std::vector<fs::path> links;
  for (auto it = fs::recursive_directory_iterator(Root); it != fs::recursive_directory_iterator(); ++it) {
    std::string name = fs::relative(it->path(), Root).generic_string(), v;
    if (Peer) name = OemToUtf8(name);
    for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
    const fs::file_status st = it->symlink_status();
    if (fs::is_symlink(st)) {
      v = "-> " + fs::read_symlink(it->path()).string();
      links.push_back(it->path());
    } else {
      if (Modes) v = std::to_string(unsigned(st.permissions()) & 0777);
      // DOS dates count 2-second steps from 1980 to 2107.
      const auto time = std::chrono::file_clock::to_sys(fs::last_write_time(it->path()));
      const int64_t secs = std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
      if (fs::is_regular_file(st) && secs > 315532800 && secs < 4354819200)
        v += " " + std::to_string(secs & ~int64_t(1));
    }
    meta[name] = v;
  }
  for (const fs::path& l : links) fs::remove(l);
  return meta;
}

std::map<std::string, std::string> LhasaExtract(const fs::path& Archive, const fs::path& Out) {
  fs::remove_all(Out);
  fs::create_directories(Out);
  EXPECT_EQ(testsupport::Run({"lhasa", "xq", fs::absolute(Archive).string()}, Out).status, 0);
  return PeerTree(Out);
}

void ExpectPeersAccept(const fs::path& Archive, const fs::path& Work, const std::map<std::string, std::string>& Want) {
  EXPECT_EQ(testsupport::Run({"lhasa", "t", Archive.string()}).status, 0);
  if (HaveTool("jlha")) {
    EXPECT_EQ(testsupport::Run({"jlha", "t", Archive.string()}).status, 0);
  }
  if (HaveTool("7z")) {
    EXPECT_EQ(testsupport::Run({"7z", "t", Archive.string()}).status, 0);
  }
  // bsdtar reads level-0 names in the locale unless told they are CP932.
  if (HaveTool("bsdtar")) {
    EXPECT_EQ(testsupport::Run({"bsdtar", "--options", "hdrcharset=CP932", "-tf", Archive.string()}).status, 0);
  }
  EXPECT_EQ(LhasaExtract(Archive, Work / "peer"), Want);
}

#endif

}  // namespace

TEST(LzhArchive, PeersAcceptWhatBrelWrites) {
#ifdef BREL_CLI
  if (!HaveTool("lhasa")) GTEST_SKIP() << "lhasa missing";
  TempDir t;
  const fs::path in = t / "in";
  MakeTree(in);
  const auto want = ReadTree(in);
  for (const char* m : {"lh5", "lh6", "lh7", "store"}) {
    SCOPED_TRACE(m);
    const fs::path a = t / (std::string(m) + ".lzh");
    const auto r = RunCli({"a", "-q", "-m", m, "--empty-dirs", a.string(), (in / "src").string()});
    ASSERT_EQ(r.status, 0) << r.out;
    ExpectPeersAccept(a, t.path() / "x", want);
  }
  // After an update, a delete and a refresh the archive still passes.
  const fs::path a = t / "lh6.lzh";
  WriteFile(in / "src/new.txt", TextBytes(5000, 9));
  ASSERT_EQ(RunCli({"a", "-q", a.string(), (in / "src").string()}).status, 0);
  ASSERT_EQ(RunCli({"d", "-q", a.string(), "src/random.bin"}).status, 0);
  fs::remove(in / "src/random.bin");
  ExpectPeersAccept(a, t.path() / "x", ReadTree(in));
#else
  GTEST_SKIP() << "brel-cli not built";
#endif
}

TEST(LzhArchive, ExtractsWhatPeersWriteAsLhasaDoes) {
#ifdef BREL_CLI
  if (!HaveTool("lhasa")) GTEST_SKIP() << "lhasa missing";
  TempDir t;
  MakeTree(t.path());
  // Archives of many tools and systems; names starting "unix_" carry Unix modes.
  std::vector<fs::path> archives;
  for (const auto& e : fs::directory_iterator(Testdata("lzh"))) archives.push_back(e.path());
  for (const auto& e : fs::directory_iterator(fs::path(BREL_SOURCE_DIR) / "tests/lzh/data"))
    if (e.is_regular_file()) archives.push_back(e.path());
  if (HaveTool("jlha")) {
    for (const char* o : {"c0o5", "c1o6", "c2o7", "c2o5", "c0o7", "cz"}) {
      const fs::path a = t / (std::string("jlha-") + o + ".lzh");
      ASSERT_EQ(testsupport::Run({"jlha", o, a.string(), "src"}, t.path()).status, 0);
      archives.push_back(a);
    }
  } else {
    ADD_FAILURE() << "jlha missing: its archives are not tested";
  }
  for (const fs::path& a : archives) {
    SCOPED_TRACE(a.filename().string());
    fs::remove_all(t / "peer");
    fs::create_directories(t / "peer");
    EXPECT_EQ(testsupport::Run({"lhasa", "xq", a.string()}, t / "peer").status, 0);
    const fs::path ours = t / "ours";
    fs::remove_all(ours);
    const auto x = RunCli({"x", "-q", "-o", ours.string(), a.string()});
    EXPECT_EQ(x.status, 0) << x.out;
    const bool modes = a.filename().string().rfind("unix_", 0) == 0;
    const auto mine = TakeMeta(ours, modes, false);
    auto peer = TakeMeta(t / "peer", modes, true);
    // A date of 0 (a machine without a clock) reads as 1980-01-01 00:01 here, as the time of
    // extraction in lhasa.
    for (auto& [name, v] : peer)
      if (mine.count(name) && mine.at(name).ends_with(" 315532860")) v = mine.at(name);
    EXPECT_EQ(mine, peer);
    // lhasa lower-cases the upper-case names of MS-DOS archives; brel keeps them as stored.
    EXPECT_EQ(LowerNames(ReadTree(ours)), LowerNames(PeerTree(t / "peer")));
    EXPECT_EQ(RunCli({"t", "-q", a.string()}).status, 0);
  }
#else
  GTEST_SKIP() << "brel-cli not built";
#endif
}

// The older methods (lh2, lh3, pm1, pm2, lhx) from real archives: brel's tree equals the oracle's
// (a peer, or another archive holding the same file) and every stored CRC checks.
TEST(LzhArchive, OlderMethodsMatchThePeers) {
#ifdef BREL_CLI
  struct Row {
    const char* Archive;
    const char* Oracle;  // "lhasa", "jlha", or an archive in the same folder with the same tree
    const char* Method;  // as the verbose listing names it
  };
  const Row rows[] = {{"lh2.lzh", "lh3.lzh", "Frozen-2"}, {"lh3.lzh", "jlha", "Frozen-3"},
                      {"pm1.pma", "lhasa", "pm1"},        {"pm2.pma", "lhasa", "pm2"},
                      {"pm1-mtcd.pma", "lhasa", "pm1"},   {"lhx.lzh", "lhasa", "lhx"}};
  const fs::path dir = fs::path(BREL_SOURCE_DIR) / "tests/lzh/data/older";
  TempDir t;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Archive);
    std::string tool = r.Oracle;
    fs::path source = dir / r.Archive;
    if (tool.find('.') != std::string::npos) source = dir / tool, tool = "jlha";
    if (!HaveTool(tool)) {
      ADD_FAILURE() << tool << " missing";
      continue;
    }
    fs::remove_all(t / "peer");
    fs::create_directories(t / "peer");
    const std::vector<std::string> peerArgs = tool == "lhasa" ? std::vector<std::string>{"lhasa", "xq", source.string()}
                                                              : std::vector<std::string>{"jlha", "x", source.string()};
    ASSERT_EQ(testsupport::Run(peerArgs, t / "peer").status, 0);
    fs::remove_all(t / "ours");
    const auto x = RunCli({"x", "-q", "-o", (t / "ours").string(), (dir / r.Archive).string()});
    EXPECT_EQ(x.status, 0) << x.out;
    EXPECT_EQ(LowerNames(ReadTree(t / "ours")), LowerNames(PeerTree(t / "peer")));
    EXPECT_EQ(RunCli({"t", "-q", (dir / r.Archive).string()}).status, 0);
    EXPECT_NE(RunCli({"l", "-v", (dir / r.Archive).string()}).out.find(std::string(" ") + r.Method + " "),
              std::string::npos);
  }
  // Folders that carry OS/2 extended attributes as data: no peer makes them folders, so the
  // tree is written here.
  EXPECT_EQ(RunCli({"x", "-q", "-o", (t / "ea").string(), (dir / "os2-ea-folders.lzh").string()}).status, 0);
  EXPECT_TRUE(fs::is_directory(t / "ea/subdir/subdir2"));
  EXPECT_EQ(fs::file_size(t / "ea/subdir/subdir2/hello.txt"), 14u);
#else
  GTEST_SKIP() << "brel-cli not built";
#endif
}

// Stored names without a mark of their code page, in LZH and CAB alike: valid UTF-8 stays, other
// bytes read as the more plausible of CP932 and CP437, --names overrides the guess, and two
// names that read alike from different bytes both come out.
TEST(LzhArchive, UnmarkedNamesFollowTheCodePageChoice) {
#ifdef BREL_CLI
  const struct {
    std::vector<std::string> Raw;
    const char* Coding;
    std::vector<std::string> Want;
  } rows[] = {
      {{"\x99lf\x84sser.txt"}, "", {"Ölfässer.txt"}},  // CP437 whose bytes are also valid CP932
      {{"\x82\xe9t\x82.txt"}, "", {"éΘté.txt"}},       // CP437, invalid as CP932
      {{"\x93\xfa\x96\x7b\x8c\xea.txt", "\x83\x65\x83\x58\x83\x67"}, "", {"日本語.txt", "テスト"}},
      {{"caf\xc3\xa9.txt"}, "", {"café.txt"}},
      {{"\x93\xfa\x96\x7b\x8c\xea.txt"}, "cp437", {"ô·û{îΩ.txt"}},
      {{"\x99lf\x84sser.txt"}, "cp932", {"冤fгser.txt"}},
      {{"\xc3\xa9.txt", "\x82.txt"}, "", {"é.txt", "é~2.txt"}},
  };
  TempDir t;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Want[0]);
    std::string lzh;
    std::vector<cabtest::TCabFile> cab;
    std::map<std::string, std::string> want;
    for (size_t i = 0; i < r.Raw.size(); ++i) {
      const std::string data = "entry " + std::to_string(i);
      const auto h = LhaBuildHeader0("-lh0-", uint32_t(data.size()), uint32_t(data.size()), 0x5A210000, 0x20, r.Raw[i],
                                     UpdateCrc16(Crc16Init, data.data(), data.size()));
      lzh += std::string(h.begin(), h.end()) + data;
      cab.push_back({r.Raw[i], data});
      want[r.Want[i]] = data;
    }
    WriteFile(t / "n.lzh", lzh);
    WriteFile(t / "n.cab", cabtest::CabOfFiles(cab));
    for (const char* a : {"n.lzh", "n.cab"}) {
      SCOPED_TRACE(a);
      fs::remove_all(t / "out");
      std::vector<std::string> args = {"x", "-q", "-o", (t / "out").string(), (t / a).string()};
      if (*r.Coding) args.insert(args.begin() + 1, {"--names", r.Coding});
      const auto x = RunCli(args);
      EXPECT_EQ(x.status, 0) << x.out;
      EXPECT_EQ(ReadTree(t / "out"), want);
    }
  }
#else
  GTEST_SKIP() << "brel-cli not built";
#endif
}

TEST(LzhArchive, SizesBeyondFourGiBAreReadWhole) {
#ifdef BREL_CLI
  TempDir t;
  using namespace lzhtest;
  // A 4.4 GiB entry of an Amiga tool lists with its 64-bit size, not the low 32 bits.
  const auto l = RunCli({"l", (fs::path(BREL_SOURCE_DIR) / "tests/lzh/data/huge/amiga-64bit.lzh").string()});
  EXPECT_NE(l.out.find("4718592000"), std::string::npos) << l.out;
  // Data that ends before the declared size fails, although its first bytes match the CRC.
  WriteFile(t / "a.lzh",
            Level2({{0x01, "f"}, {0x42, Le64(2) + Le64((1ull << 32) + 2)}}, "ok", 'U', 1700000000, -1, 0x0558));
  const auto r = RunCli({"t", (t / "a.lzh").string()});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("2 of 4294967298 bytes"), std::string::npos) << r.out;
#else
  GTEST_SKIP() << "brel-cli not built";
#endif
}

TEST(LzhArchive, DamageFailsOnlyTheDamagedEntry) {
#ifdef BREL_CLI
  TempDir t;
  WriteFile(t / "in/a.txt", TextBytes(20000, 1));
  WriteFile(t / "in/b.txt", TextBytes(20000, 2));
  const fs::path a = t / "a.lzh";
  ASSERT_EQ(RunCli({"a", "-q", a.string(), (t / "in/a.txt").string(), (t / "in/b.txt").string()}).status, 0);
  const std::string good = ReadFile(a);
  const size_t second = good.find("-lh", 10) - 2;
  const struct {
    const char* Label;
    std::string Bytes;
    const char* Code;
  } cases[] = {
      {"flipped data byte", std::string(good).replace(second + 300, 1, 1, char(good[second + 300] ^ 0x40)), "25151"},
      {"cut inside the second entry", good.substr(0, second + 200), "25114"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    WriteFile(a, c.Bytes);
    fs::remove_all(t / "out");
    const auto r = RunCli({"x", "-o", (t / "out").string(), a.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(c.Code), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(t / "out/a.txt"), TextBytes(20000, 1));
    EXPECT_NE(RunCli({"t", a.string()}).status, 0);
  }
#else
  GTEST_SKIP() << "brel-cli not built";
#endif
}

// The verbose listing names a method by its whole id: one not read here is "Unsupported", never
// the method that shares its last character.
TEST(LzhArchive, ListingNamesMethodsByTheirWholeId) {
#ifdef BREL_CLI
  using namespace lzhtest;
  const std::pair<const char*, const char*> rows[] = {{"-lh0-", "Stored"},      {"-lh5-", "Frozen-5"},
                                                      {"-lz5-", "lz5"},         {"-lhx-", "lhx"},
                                                      {"-lz7-", "Unsupported"}, {"-pm3-", "Unsupported"}};
  TempDir t;
  std::string arc;
  for (const auto& [id, name] : rows) arc += Level0(std::string(id + 1, 3), "ok", id);
  WriteFile(t / "m.lzh", arc + '\0');
  std::istringstream out(RunCli({"l", "-v", (t / "m.lzh").string()}).out);
  std::map<std::string, std::string> listed;  // entry name -> its line
  for (std::string line; std::getline(out, line);) listed[line.substr(line.rfind(' ') + 1)] = line;
  for (const auto& [id, name] : rows)
    EXPECT_NE(listed[std::string(id + 1, 3)].find(std::string(" ") + name + " "), std::string::npos) << id;
#else
  GTEST_SKIP() << "brel-cli not built";
#endif
}

TEST(LzhArchive, RefusedEntriesLeaveTheOthers) {
#ifdef BREL_CLI
  TempDir t;
  using namespace lzhtest;
  const auto good = [](const std::string& Name) {
    const auto h = LhaBuildHeader0("-lh0-", 2, 2, 0x5A210000, 0x20, Name, 0x0558);  // CRC-16 of "ok"
    return std::string(h.begin(), h.end()) + "ok";
  };
  // A NUL in every place a name is stored but the level-0/1 name field (where an Amiga comment
  // follows it): each such entry alone is refused.
  const std::string nul("a\0b", 3), nul16 = Utf16(u"a") + std::string(2, '\0') + Utf16(u"b");
  std::string arc = good("good1") + Level0("bad" + nul, "ok") + Level1("f", {{0x02, nul}}, "ok") +
                    Level2({{0x01, nul}}, "ok") + Level2({{0x01, "x"}, {0x44, nul16}}, "ok") +
                    Level2({{0x01, "y"}, {0x45, nul16}}, "ok") + good("good2");
  // Names that climb out of the output folder stay inside it.
  arc += good("..\\..\\up1") + good("/abs/up2") +
         Level2({{0x01, "up3"}, {0x02, "..\xFF..\xFF"}}, "ok", 'U', 1700000000, -1, 0x0558);
  // An unknown method is listed and fails alone.
  const auto lh9 = LhaBuildHeader0("-lh9-", 2, 2, 0x5A210000, 0x20, "old", 0);
  arc.append(lh9.begin(), lh9.end());
  arc += "zz";
  WriteFile(t / "a.lzh", arc);
  const auto r = RunCli({"x", "-o", (t / "out").string(), (t / "a.lzh").string()});
  EXPECT_EQ(r.status, 1);
  size_t refused = 0;
  for (size_t at = r.out.find("25245"); at != std::string::npos; at = r.out.find("25245", at + 1)) ++refused;
  EXPECT_EQ(refused, 4u) << r.out;
  EXPECT_NE(r.out.find("25326"), std::string::npos) << r.out;
  EXPECT_EQ(ReadTree(t.path()), (std::map<std::string, std::string>{{"a.lzh", arc},
                                                                    {"out/", ""},
                                                                    {"out/good1", "ok"},
                                                                    {"out/good2", "ok"},
                                                                    {"out/bada", "ok"},
                                                                    {"out/up1", "ok"},
                                                                    {"out/abs/", ""},
                                                                    {"out/abs/up2", "ok"},
                                                                    {"out/up3", "ok"}}));
  EXPECT_NE(RunCli({"l", (t / "a.lzh").string()}).out.find("old"), std::string::npos);

  // A name too long for a level-0 header is left out with an error; the other file goes in.
  WriteFile(t / "in" / std::string(240, 'n'), "long");
  WriteFile(t / "in/short", "short");
  const auto w = RunCli({"a", "-q", (t / "b.lzh").string(), (t / "in").string()});
  EXPECT_EQ(w.status, 1);
  EXPECT_NE(w.out.find("25245"), std::string::npos) << w.out;
  ASSERT_EQ(RunCli({"x", "-q", "-o", (t / "bx").string(), (t / "b.lzh").string()}).status, 0);
  EXPECT_EQ(ReadTree(t / "bx"), (std::map<std::string, std::string>{{"in/", ""}, {"in/short", "short"}}));
#else
  GTEST_SKIP() << "brel-cli not built";
#endif
}

TEST(LzhArchive, RenamedLevelTwoEntryGetsALevelZeroHeader) {
  if (!HaveTool("jlha") || !HaveTool("lhasa")) GTEST_SKIP() << "jlha or lhasa missing";
  TempDir t;
  WriteFile(t / "a.txt", TextBytes(9000, 4));
  const fs::path arc = t / "a.lzh";
  ASSERT_EQ(testsupport::Run({"jlha", "c2", arc.string(), "a.txt"}, t.path()).status, 0);
  TLha w;
  w.StoredDirNames = sdNone;
  w.FileSpec = {(t / "a.txt").string()};
  w.SetArchiveFile(arc.string());
  w.OnRenameDupeFile = [](TZipCommon*, const std::string&, std::string& NewName, bool&) { NewName = "old-a.txt"; };
  ASSERT_EQ(w.Compress(), 1);
  const std::string bytes = ReadFile(arc);
  EXPECT_EQ(bytes[20], 0);  // the renamed entry comes first, now at level 0
  EXPECT_EQ(bytes.substr(22, 9), "old-a.txt");
  EXPECT_EQ(LhasaExtract(arc, t / "x"),
            (std::map<std::string, std::string>{{"a.txt", TextBytes(9000, 4)}, {"old-a.txt", TextBytes(9000, 4)}}));
}

// The cabinet reader on hostile and damaged input: names that try to leave the output folder,
// outputs that cannot be created, a set whose next cabinet is missing, and mutated cabinets.
#include <sys/stat.h>

#include <chrono>
#include <random>

#include "cab_test_util.h"
#include "platform/FileInfo.h"

using namespace cabtest;

TEST(CabReader, NamesNeverLeaveTheOutputFolder) {
  TempDir t;
  const std::string nul("..\\..\\nul\0.txt", 14);
  WriteFile(t / "in.cab", CabWithNames({"../../up.txt", "/abs/root.txt", "..\\..\\win.txt", "C:\\drive.txt",
                                        "a/../../../mid.txt", "link/through.txt", nul},
                                       "payload"));
  fs::create_directories(t / "out");
  fs::create_directories(t / "outside");
  fs::create_symlink(t / "outside", t / "out/link");
  TErrors errors;
  ReadCab((t / "in.cab").string(), (t / "out").string(), xmExtract, &errors);
  // The link was not followed (that entry failed alone); everything else landed inside.
  EXPECT_TRUE(fs::is_empty(t / "outside"));
  EXPECT_EQ(errors.Codes, std::vector<int32_t>{ecOpenFile});
  for (const char* inside : {"up.txt", "abs/root.txt", "win.txt", "drive.txt", "a/mid.txt", "nul"})
    EXPECT_EQ(ReadFile(t / "out" / inside), "payload") << inside;
  std::vector<std::string> top;
  for (const auto& e : fs::directory_iterator(t.path())) top.push_back(e.path().filename().string());
  std::sort(top.begin(), top.end());
  EXPECT_EQ(top, (std::vector<std::string>{"in.cab", "out", "outside"}));
}

TEST(CabReader, AnOutputThatCannotBeCreatedFailsAloneAndTheOthersComeOut) {
  TempDir t;
  WriteFile(t / "in.cab", CabWithNames({"a.txt", "b.txt", "c.txt"}, "abc"));
  fs::create_directories(t / "out/b.txt/taken");
  TErrors errors;
  ReadCab((t / "in.cab").string(), (t / "out").string(), xmExtract, &errors);
  EXPECT_EQ(errors.Codes, std::vector<int32_t>{ecOpenFile});
  EXPECT_EQ(ReadFile(t / "out/a.txt"), "abc");
  EXPECT_EQ(ReadFile(t / "out/c.txt"), "abc");
}

TEST(CabReader, SetWhoseNextCabinetIsMissingOrElsewhere) {
  const fs::path p1 = Testdata("cab/test_read_format_cab_multi.p1.cab");
  const fs::path p2 = Testdata("cab/test_read_format_cab_multi.p2.cab");
  struct TCase {
    const char* Label;
    int Answer;  // OnNextVolume: -1 none, 0 cancel, 1 name the moved cabinet
    std::vector<int32_t> Codes;
    bool Extracted;  // else what came out is incomplete, and said so
  } cases[] = {
      {"no handler, missing", -1, {ecEventNotAssigned, ecCorruptInput}, false},
      {"handler cancels", 0, {ecUserCanceled}, false},
      {"handler finds it", 1, {}, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    TempDir t;
    fs::copy_file(p1, t / "set.p1.cab");
    // The second cabinet is not where the first one names it.
    fs::create_directories(t / "elsewhere");
    fs::copy_file(p2, t / "elsewhere/test_read_format_cab_multi.p2.cab");
    TUnCab r;
    if (c.Answer >= 0)
      r.OnNextVolume = [&](TZipCommon*, std::string& Name, const std::string&, bool, bool& Cancel) {
        if (c.Answer == 0)
          Cancel = true;
        else
          Name = (t / "elsewhere/test_read_format_cab_multi.p2.cab").string();
      };
    TErrors errors;
    ReadCab((t / "set.p1.cab").string(), (t / "out").string(), xmExtract, &errors, &r);
    EXPECT_EQ(errors.Codes, c.Codes);
    if (c.Extracted) {
      EXPECT_EQ(ReadFile(t / "out/ones"), std::string(512, '\x01'));
    }
  }
}

// Damage in one folder: a byte flipped in a data block (its checksum fails) or a type that
// cannot be decoded. That folder's file fails (no file left for it, as nothing of it came out),
// the files of the other folders come out whole, and brel-cli ends with 1.
TEST(CabReader, DamageInOneFolderFailsItsFileAlone) {
  const std::vector<TCabFile> files = {
      {"mszip.txt", TextBytes(50000, 1), tcompTypeMsZip},
      {"lzx.txt", TextBytes(50000, 2), CabLzxType(16)},
      {"quantum.txt", TextBytes(50000, 3), CabQuantumType(16, 4, tcompTypeQuantum)},
  };
  const std::string good = CabOfFiles(files);
  auto le = [&good](size_t At, int Bytes) {
    uint32_t v = 0;
    for (int i = Bytes - 1; i >= 0; --i) v = v << 8 | uint8_t(good[At + i]);
    return v;
  };
  const struct {
    size_t Victim;
    int Type;  // -1: flip a data byte, else the type value to store
    int32_t Code;
  } cases[] = {
      {0, -1, ecCorruptInput},
      {1, -1, ecCorruptInput},
      {2, -1, ecCorruptInput},
      {1, CabLzxType(25), ecCorruptInput},  // window beyond 2 MiB
      {1, CabLzxType(14), ecCorruptInput},
      {2, CabQuantumType(9, 4, tcompTypeQuantum), ecCorruptInput},
      {0, 7, ecUnsupportedMethod},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(files[c.Victim].Name + " " + std::to_string(c.Type));
    TempDir t;
    std::string bad = good;
    const size_t folder = CabHeaderSize + CabFolderSize * c.Victim;
    const size_t block = le(folder, 4);  // the folder's first data block
    if (c.Type < 0) {
      bad[block + CabDataHeaderSize + le(block + 4, 2) / 2] ^= 0x10;
    } else {
      bad[folder + 6] = char(c.Type);
      bad[folder + 7] = char(c.Type >> 8);
    }
    WriteFile(t / "bad.cab", bad);
    TErrors errors;
    ReadCab((t / "bad.cab").string(), (t / "out").string(), xmExtract, &errors);
    EXPECT_EQ(errors.Codes, std::vector<int32_t>{c.Code});
    for (size_t i = 0; i < files.size(); ++i)
      if (i != c.Victim) EXPECT_EQ(ReadFile(t / "out" / files[i].Name), files[i].Data);
    EXPECT_FALSE(fs::exists(t / "out" / files[c.Victim].Name));
#ifdef BREL_CLI
    EXPECT_EQ(RunCli({"t", "-q", (t / "bad.cab").string()}).status, 1);
#endif
  }
}

// Truncated, bit-flipped and random cabinets: the reader ends every run (no crash, no hang
// under the sanitizers).
TEST(CabReader, MutatedCabinetsEndCleanly) {
  TempDir t;
  WriteFile(t / "src/text.txt", TextBytes(70000, 7));
  WriteFile(t / "src/rand.bin", RandomBytes(5000, 8));
  WriteFile(t / "src/small.txt", "small");
  const std::string mszip = (t / "mszip.cab").string(), store = (t / "store.cab").string();
  ASSERT_EQ(MakeCab(mszip, (t / "src").string(), cmMsZip), 3);
  ASSERT_EQ(MakeCab(store, (t / "src").string(), cmStore), 3);
  std::vector<std::string> bases = {ReadFile(mszip), ReadFile(store),
                                    ReadFile(Testdata("cab/test_read_format_cab_lzx_16bit.cab")),
                                    ReadFile(Testdata("cab/test_read_format_cab_2.cab"))};
  std::mt19937 rng(1234);
  const auto start = std::chrono::steady_clock::now();
  const std::string victim = (t / "victim.cab").string();
  int runs = 0;
  for (size_t b = 0; b < bases.size(); ++b) {
    const std::string& base = bases[b];
    for (int i = 0; i < 120; ++i) {
      std::string m = base;
      switch (i % 3) {
        case 0: m.resize(std::uniform_int_distribution<size_t>(0, base.size() - 1)(rng)); break;
        case 1:
          for (int k = 0; k < 1 + i % 4; ++k)
            m[std::uniform_int_distribution<size_t>(0, m.size() - 1)(rng)] ^= char(1 << (rng() % 8));
          break;
        default:
          for (size_t k = 8; k < m.size(); ++k) m[k] = char(rng());
          break;
      }
      WriteFile(victim, m);
      TErrors errors;
      const TExtractMode mode = i % 2 ? xmTest : xmExtract;
      const int n = ReadCab(victim, (t / "out").string(), mode, &errors);
      ++runs;
      // Cut short inside the data, our own cabinets cannot pass as whole.
      if (b < 2 && i % 3 == 0 && m.size() < base.size() - 8) {
        EXPECT_FALSE(n == 3 && errors.Codes.empty());
      }
      fs::remove_all(t / "out");
    }
  }
  EXPECT_EQ(runs, 480);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::minutes(5));
}

// A file without a cabinet extracts nothing and reports nothing; one that starts with the
// signature but whose header does not read is damaged, and says so.
TEST(CabReader, ForeignFilesAreSilentDamagedHeadersAreReported) {
  TempDir t;
  WriteFile(t / "src/a.txt", "a");
  ASSERT_EQ(MakeCab((t / "good.cab").string(), (t / "src").string()), 1);
  const struct {
    const char* Label;
    std::string Bytes;
    std::vector<int32_t> Codes;
  } cases[] = {
      {"no signature", "plain text with no cabinet anywhere in it", {}},
      {"signature only", "MSCF but nothing else of a cabinet", {ecCorruptInput}},
      {"header cut short", ReadFile(t / "good.cab").substr(0, 30), {ecCorruptInput}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    WriteFile(t / "in.cab", c.Bytes);
    TErrors errors;
    EXPECT_EQ(ReadCab((t / "in.cab").string(), (t / "out").string(), xmExtract, &errors), 0);
    EXPECT_EQ(errors.Codes, c.Codes);
    EXPECT_TRUE(!fs::exists(t / "out") || fs::is_empty(t / "out"));
  }
}

// The files of one MSZIP folder, read whole or a few at a time (each selection starts the folder
// afresh or reads on from the last file), come out exactly; a damaged block fails the file it
// lies in and every later file of the folder (their history is lost), not the ones before it
// nor an empty one.
TEST(CabReader, FilesOfOneMsZipFolderComeOutWholeOrSelected) {
  const std::vector<TCabFile> files = {
      {"a", TextBytes(40000, 1)}, {"b", TextBytes(70000, 2)}, {"c", "ten bytes!"}, {"d", ""}};
  const std::string good = CabOfFiles(files);
  // A byte in the third data block (inside b): the blocks lie in file order after the file table.
  std::string bad = good;
  auto le = [&good](size_t At, int Bytes) {
    uint32_t v = 0;
    for (int i = Bytes - 1; i >= 0; --i) v = v << 8 | uint8_t(good[At + i]);
    return v;
  };
  size_t third = le(CabHeaderSize, 4);
  for (int i = 0; i < 2; ++i) third += CabDataHeaderSize + le(third + 4, 2);
  bad[third + CabDataHeaderSize + 100] ^= 0x10;
  const struct {
    bool Damaged;
    std::vector<std::string> Masks, Expect;
  } cases[] = {
      {false, {"*"}, {"a", "b", "c", "d"}},
      {false, {"b"}, {"b"}},
      {false, {"c", "a"}, {"a", "c"}},
      {false, {"d"}, {"d"}},
      {true, {"*"}, {"a", "d"}},
      {true, {"c"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.Damaged) + " " + c.Masks[0]);
    TempDir t;
    WriteFile(t / "f.cab", c.Damaged ? bad : good);
    TUnCab r;
    TErrors errors;
    errors.Attach(r);
    r.SetArchiveFile((t / "f.cab").string());
    r.SetExtractDir((t / "out").string());
    r.FileSpec = c.Masks;
    r.Extract();
    EXPECT_EQ(errors.Codes.empty(), !c.Damaged);
    // A failed file keeps what came out before the damage: never its whole content.
    for (const TCabFile& f : files) {
      const std::string got = fs::exists(t / "out" / f.Name) ? ReadFile(t / "out" / f.Name) : "(none)";
      if (std::find(c.Expect.begin(), c.Expect.end(), f.Name) != c.Expect.end())
        EXPECT_EQ(got, f.Data) << f.Name;
      else if (c.Damaged)
        EXPECT_NE(got, f.Data) << f.Name;
      else
        EXPECT_EQ(got, "(none)") << f.Name;
    }
  }
}

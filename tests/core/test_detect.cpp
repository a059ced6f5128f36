// Archive-type detection: the sample archives of other programs, archives behind stubs and
// zero bytes, the signature table, TAR and UUE tests, names and volume numbers, and detection
// on truncated, mutated and random files (run under ASan and UBSan).
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvRegister.h"
#include "core/test_detect_samples.h"
#include "platform/FileInfo.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ds = detect_samples;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::Testdata;
using testsupport::WriteFile;

struct TDetected {
  TArcType Type;
  int64_t Offset, Start;
};

TDetected DetectFile(const fs::path& p) {
  TArvexComponent c;
  c.SetArchiveFile(p.string());
  return {c.ArcType(), c.Offset(), c.ArchiveStart()};
}

TDetected DetectBytes(const std::string& bytes, const std::string& name = "sample.bin") {
  TempDir t("det");
  WriteFile(t / name, bytes);
  return DetectFile(t / name);
}

TEST(Detect, ArchivesOfOtherPrograms) {
  for (const auto& dir : {"cab", "lzh", "tar", "zip"}) {
    for (const auto& e : fs::directory_iterator(Testdata(dir))) {
      const std::string name = e.path().filename().string();
      TArcType want = std::string(dir) == "cab"   ? atCab
                      : std::string(dir) == "lzh" ? atLha
                      : std::string(dir) == "tar" ? atTar
                                                  : atZip;
      if (name.ends_with(".jar")) want = atJar;
      const TDetected d = DetectFile(e.path());
      EXPECT_EQ(d.Type, want) << name;
      const int64_t start = name == "test_read_format_zip_sfx"                       ? 1024
                            : name == "test_compat_zip_4.zip"                        ? 511  // behind 511 zero bytes
                            : name == "test_read_format_tar_empty_with_gnulabel.tar" ? 512
                                                                                     : 0;
      EXPECT_EQ(d.Start, start) << name;
    }
  }
}

TEST(Detect, JarByExtensionInAnyCase) {
  const std::string zip = ds::SmallZip();
  EXPECT_EQ(DetectBytes(zip, "x.JaR").Type, atJar);
  EXPECT_EQ(DetectBytes(zip, "x.zip").Type, atZip);
}

TEST(Detect, ArchivesBehindStubsAndZeros) {
  const std::string zip = ds::SmallZip();
  struct TCase {
    const char* What;
    std::string Bytes;
    TArcType Type;
    int64_t Start;
  };
  const TCase cases[] = {
      {"zip behind a 7,612-byte stub", ds::ExeStub(7612) + zip, atZipExe, 7612},
      {"zip behind a 20,000-byte stub stating its size", ds::ExeStub(20000, 20000) + zip, atZipExe, 20000},
      {"zip behind a 20,000-byte stub", ds::ExeStub(20000) + zip, atZipExe, 20000},
      {"lzh behind 128 zero bytes", ds::LzhBehindZeros(), atLha, 128},
      {"lzh behind a 1,945-byte stub", ds::ExeStub(1945) + ReadFile(Testdata("lzh/test_read_format_lha_lh0.lzh")),
       atLhaExe, 1945},
      {"rar behind a stub stating its size", ds::ExeStub(3000, 3000) + "Rar!\x1A\x07" + std::string(40, 'r'), atRarExe,
       3000},
      {"cab behind a large stub", ds::ExeStub(18000) + "MSCF" + std::string(4, '\0') + std::string(60, 'c'), atCabExe,
       18000},
  };
  for (const TCase& c : cases) {
    const TDetected d = DetectBytes(c.Bytes);
    EXPECT_EQ(d.Type, c.Type) << c.What;
    EXPECT_EQ(d.Start, c.Start) << c.What;
  }
  // The 7,612-byte case keeps the stub size as its offset; ZIP types found through the
  // directory search carry the directory position (the ZIP reader's start).
  EXPECT_EQ(DetectBytes(ds::ExeStub(7612) + zip).Offset, 7612);
  EXPECT_EQ(DetectBytes(ds::ExeStub(20000, 20000) + zip).Offset, 20000 + int64_t(zip.size()) - 22 - 46 * 2 - 10 - 5);
}

TEST(Detect, TextAndSmallFiles) {
  struct TCase {
    const char* What;
    std::string Bytes;
    TArcType Type;
    int64_t Start;
  };
  const TCase cases[] = {
      {"ustar with a volume label", ds::UstarWithLabel(), atTar, 512},
      {"uue text", ds::UueText(), atUUE, 0},
      {"uue text after a preamble", "From: a\nSubject: b\n\nbegin 600 x\nM" + std::string(60, 'A') + "\n", atUUE, 0},
      {"gzip", ds::GzipBytes(), atGZip, 0},
      {"compress", ds::CompressBytes(), atGZip, 0},
      {"19 bytes", ds::SmallZip().substr(0, 19), atNA, -1},
      {"plain text", ds::PlainText(), atNA, -1},
      {"zeros", std::string(70000, '\0'), atNA, -1},
  };
  for (const TCase& c : cases) {
    const TDetected d = DetectBytes(c.Bytes);
    EXPECT_EQ(d.Type, c.Type) << c.What;
    if (c.Start >= 0) {
      EXPECT_EQ(d.Start, c.Start) << c.What;
    }
  }
}

// A TAR file is a TAR file even when it holds another archive near its start.
TEST(Detect, TarHoldingAnArchive) {
  for (const std::string& inner : {ds::SmallZip(), ReadFile(Testdata("lzh/test_read_format_lha_lh0.lzh"))}) {
    std::string data = inner;
    data.resize((data.size() + 511) / 512 * 512, '\0');
    const std::string tar = ds::TarHeader("inner.bin", '0', inner.size()) + data + std::string(1024, '\0');
    EXPECT_EQ(DetectBytes(tar, "t.tar").Type, atTar);
  }
}

TEST(Detect, SignatureTable) {
  struct TCase {
    std::string Head;
    TArcType Type;
  };
  const TCase cases[] = {
      {"BH\x05\x07", atBh},
      {"Rar!", atRar},
      {"PKG5", atUnknown},
      {"MSCF", atCab},
      {"\xB7\xDF\x54\x57", atArc},
      {"\x13\x5D\x65\x8C", atMsGZ},
      {"xx-lh5-", atLha},
      {"\x1A\x02", atArc},
      {"\x1A\x08", atArc},
      {"\x1A\x0B", atPak},
      {"\x1F\x1E", atGZip},
      {"%!PS", atGZip},
      {"\x1F\xA0", atGZip},
      {"HA", atHA},
      {"PK\x03\x04", atZip},
      {"PKG4", atNA},
      {"PKCI", atNA},
      {"PK\x07\x08", atZipMV},
      {"ZOO", atZoo},
      {"\xB7\x92", atArcExe},
      {"\x60\xEA", atArj},
  };
  for (const TCase& c : cases) {
    std::string bytes = c.Head;
    bytes.resize(64, '\x7F');  // no other signature anywhere
    EXPECT_EQ(DetectBytes(bytes).Type, c.Type) << GetArcTypeValueName(c.Type) << " from " << c.Head;
  }
}

TEST(Detect, GenericScanFindsArchivesAfterOtherData) {
  const std::string junk(300, '\x7F');
  EXPECT_EQ(DetectBytes(junk + "Rar!" + junk).Type, atRarExe);
  EXPECT_EQ(DetectBytes("\x7F\x7F" + std::string("-lh5-") + junk).Type, atLha);    // start 0
  EXPECT_EQ(DetectBytes(junk + "MSCF" + std::string(4, '\0') + junk).Type, atNA);  // CAB only behind a stub
  const TDetected sfx = DetectBytes(junk + ds::SmallZip());
  EXPECT_EQ(sfx.Type, atZip);
  EXPECT_EQ(sfx.Start, 300);
  // A pattern must end inside the file.
  EXPECT_EQ(DetectBytes(junk + "Rar").Type, atNA);
}

TEST(Detect, NamesAndSets) {
  EXPECT_STREQ(GetArcTypeName(atNA), "Not avail. ");
  EXPECT_STREQ(GetArcTypeName(atMsGZ), "MsGZ     \t");
  EXPECT_STREQ(GetArcTypeName(atBhExe), "BH  SFX   ");
  for (int t = atUnsupported; t <= atZoo; ++t)
    if (t != atMsGZ) {
      EXPECT_EQ(std::string(GetArcTypeName(TArcType(t))).size(), 10u) << t;
    }
  EXPECT_STREQ(GetArcTypeValueName(atZipExe), "atZipExe");
  EXPECT_STREQ(GetArcTypeName(TArcType(200)), "");
  EXPECT_FALSE(IsValidArcType(atUnknown));
  EXPECT_TRUE(IsValidArcType(atAce));
  EXPECT_EQ(int(atZoo), 34);
  EXPECT_EQ(int(atTar), 27);
}

TEST(Detect, VolumeNumbers) {
  struct TCase {
    const char* Name;
    std::string Bytes;
    int Number;
    char Letter;
  };
  const std::string rar = "Rar!\x1A\x07" + std::string(40, 'r');
  const std::string arj = "\x60\xEA" + std::string(40, 'a');
  const TCase cases[] = {
      {"v.rar", rar, 0, 'q'}, {"v.r05", rar, 6, 'r'}, {"v.part", rar, 0, 'q'},
      {"v", rar, 0, 'q'},     {"v.arj", arj, 1, 'a'}, {"v.a12", arj, 13, 'a'},
  };
  for (const TCase& c : cases) {
    TempDir t("vol");
    WriteFile(t / c.Name, c.Bytes);
    TArvexComponent comp;
    comp.SetArchiveFile((t / c.Name).string());
    EXPECT_EQ(comp.VolumeNumber(), c.Number) << c.Name;
    EXPECT_EQ(comp.VolumeLetter(), c.Letter) << c.Name;
  }
}

TEST(Detect, SettersAndDate) {
  TempDir t("set");
  WriteFile(t / "a.zip", ds::SmallZip());
  TArvexComponent c;
  c.SetArchiveFile((t / "a.zip").string());
  EXPECT_EQ(c.ArcType(), atZip);
  TFileInfo info;
  ASSERT_TRUE(GetFileInfo((t / "a.zip").string(), info));
  EXPECT_EQ(c.ArchiveDate(), info.DosTime);
  EXPECT_TRUE(c.ZipLocation().State & htsCentralHeader);

  fs::remove(t / "a.zip");
  EXPECT_THROW(c.SetArcType(atZip), EFOpenError);
  EXPECT_EQ(c.ArcType(), atNA);
  c.SetArchiveFile((t / "a.zip").string());  // missing: no name, atNA
  EXPECT_EQ(c.ArchiveFile(), "");
  EXPECT_EQ(c.ArcType(), atNA);
}

// Every prefix length of the samples near their edges, random files, and copies with bytes
// flipped: detection must neither crash nor read outside the data (ASan) nor hang.
TEST(Detect, HostileFiles) {
  std::vector<std::string> samples = {ds::SmallZip(), ds::UstarWithLabel(), ds::ExeStub(7612) + ds::SmallZip(),
                                      ds::ExeStub(20000, 20000) + ds::SmallZip(), ds::LzhBehindZeros()};
  for (const char* f :
       {"zip/test_read_format_zip_sfx", "zip/test_read_format_zip_zip64a.zip", "zip/test_compat_zip_4.zip",
        "cab/test_read_format_cab_1.cab", "tar/test_read_format_tar_concatenated.tar"})
    samples.push_back(ReadFile(Testdata(f)));
  std::mt19937 rng(1234);
  int runs = 0;
  // After detection, walk the central directory the search found, as the ZIP reader will.
  auto walk = [](TArvexComponent& c, TStream32& m) {
    const TZipLocation& loc = c.ZipLocation();
    if (!(loc.State & htsCentralHeader)) return;
    m.SetPosition(loc.StartPos);
    TZipCentralRecord r;
    for (int i = 0; i < 100 && ReadCentralRecord(m, r); ++i) m.SetPosition(r.NextPosition());
  };
  for (const std::string& s : samples) {
    for (size_t len = 0; len <= s.size(); len += (len < 64 || s.size() - len < 64) ? 1 : 97) {
      TTestMemStream m(s.substr(0, len));
      TArvexComponent c;
      (void)c.DetectType(m);
      walk(c, m);
      ++runs;
    }
    for (int k = 0; k < 40; ++k) {
      std::string bad = s;
      for (int f = 0; f < 8; ++f) bad[rng() % bad.size()] = char(rng());
      TTestMemStream m(bad);
      TArvexComponent c;
      (void)c.DetectType(m);
      walk(c, m);
      ++runs;
    }
  }
  for (size_t size : {20u, 21u, 100u, 513u, 1500u, 40000u, 400000u}) {
    for (uint32_t seed = 0; seed < 5; ++seed) {
      std::string r = testsupport::RandomBytes(size, seed);
      if (seed == 1) r[0] = 'M', r[1] = 'Z';
      if (seed == 2 && size >= 22) r.replace(r.size() - 22, 4, "PK\x05\x06");
      TTestMemStream m(r);
      TArvexComponent c;
      (void)c.DetectType(m);
      ++runs;
    }
  }
  EXPECT_GT(runs, 1000);
}

}  // namespace

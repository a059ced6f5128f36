// The cabinet writer: its properties, the runs that must leave an existing cabinet as it was,
// the files that fail alone, and stored names.
#include <map>

#include "cab_test_util.h"
#include "platform/CodePage.h"

using namespace cabtest;

TEST(CabWriter, PropertiesClampAndPickTheTypeValue) {
  TMakeCab w;
  EXPECT_EQ(w.CompressMethod(), cmMsZip);
  EXPECT_EQ(w.CompressionType(), tcompTypeMsZip);
  EXPECT_EQ(w.CompressionName(), "MsZIP");
  w.SetCompressMethod(cmDeflate);  // not a cabinet method: ignored
  EXPECT_EQ(w.CompressMethod(), cmMsZip);
  struct {
    void (TMakeCab::*Set)(int);
    int (TMakeCab::*Get)() const;
    int In, Out;
  } clamps[] = {
      {&TMakeCab::SetLzxLevel, &TMakeCab::LzxLevel, 30, 21},
      {&TMakeCab::SetLzxLevel, &TMakeCab::LzxLevel, 3, 15},
      {&TMakeCab::SetQuantumLevel, &TMakeCab::QuantumLevel, 0, 1},
      {&TMakeCab::SetQuantumLevel, &TMakeCab::QuantumLevel, 9, 7},
      {&TMakeCab::SetQuantumMemory, &TMakeCab::QuantumMemory, 5, 10},
      {&TMakeCab::SetQuantumMemory, &TMakeCab::QuantumMemory, 30, 21},
  };
  for (const auto& c : clamps) {
    (w.*c.Set)(c.In);
    EXPECT_EQ((w.*c.Get)(), c.Out) << c.In;
  }
  w.SetLzxLevel(16);
  w.SetCompressMethod(cmLzx);
  EXPECT_EQ(w.CompressionType(), 16 * 256 + 3);
  w.SetCompressMethod(cmQuantum);
  w.QuantumType = ctLzx;
  w.SetQuantumLevel(4);
  w.SetQuantumMemory(20);
  EXPECT_EQ(w.CompressionType(), 20 * 256 + 4 * 16 + 2);
  w.SetArcType(atZip);
  EXPECT_EQ(w.ArcType(), atCab);
}

// Runs that write nothing leave an existing cabinet byte for byte as it was, and no temporary
// file beside it; a run that works holds exactly its own files.
TEST(CabWriter, AnExistingCabinetIsReplacedOnlyByACompleteNewOne) {
  TempDir t;
  WriteFile(t / "old/kept.txt", "old content");
  WriteFile(t / "src/a.txt", TextBytes(100000, 1));
  WriteFile(t / "src/b.txt", "b");
  const std::string cab = (t / "x.cab").string();
  struct TCase {
    const char* Label;
    std::function<void(TMakeCab&)> Setup;
    int32_t Code;  // reported (per file for the methods without an encoder)
  } cases[] = {
      {"delete", [](TMakeCab& w) { w.Switch = swDelete; }, ecUnsupportedType},
      {"cancel", [](TMakeCab& w) { w.OnProgress = [&w](TZipCommon*, uint8_t, uint8_t) { w.SetCancel(true); }; },
       ecUserCanceled},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    fs::remove(cab);
    ASSERT_EQ(MakeCab(cab, (t / "old").string()), 1);
    const std::string before = ReadFile(cab);
    TMakeCab w;
    c.Setup(w);
    TErrors errors;
    EXPECT_EQ(MakeCab(cab, (t / "src").string(), w.CompressMethod(), &errors, &w), 0);
    EXPECT_TRUE(errors.Has(c.Code));
    EXPECT_EQ(ReadFile(cab), before);
    int entries = 0;
    for (const auto& e : fs::directory_iterator(t.path())) entries += e.is_regular_file();
    EXPECT_EQ(entries, 1) << "a temporary file was left";
  }
  ASSERT_EQ(MakeCab(cab, (t / "src").string()), 2);
  ReadCab(cab, (t / "out").string());
  EXPECT_EQ(ReadTree(t / "out"), ReadTree(t / "src"));

  // The read-only pass walks the stored names and writes nothing.
  const std::string written = ReadFile(cab);
  TMakeCab reader;
  reader.Switch = swRead;
  int seen = 0;
  reader.OnRead = [&](TZipCommon*, int64_t, int) { ++seen; };
  EXPECT_EQ(MakeCab(cab, (t / "src").string(), cmMsZip, nullptr, &reader), 2);
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(ReadFile(cab), written);
}

TEST(CabWriter, ASourceThatCannotBeOpenedFailsAlone) {
  TempDir t;
  WriteFile(t / "src/a.txt", "a");
  WriteFile(t / "src/gone.txt", "gone");
  WriteFile(t / "src/z.txt", "z");
  TMakeCab w;
  w.OnBegin = [&](TZipCommon*, const std::string& Name, int, bool&) {
    if (Name == "gone.txt") fs::remove(t / "src/gone.txt");
  };
  TErrors errors;
  EXPECT_EQ(MakeCab((t / "x.cab").string(), (t / "src").string(), cmMsZip, &errors, &w), 2);
  EXPECT_EQ(errors.Codes, std::vector<int32_t>{ecOpenFile});
  ReadCab((t / "x.cab").string(), (t / "out").string());
  EXPECT_EQ(ReadTree(t / "out"), (std::map<std::string, std::string>{{"a.txt", "a"}, {"z.txt", "z"}}));
}

// Non-ASCII names: UTF-8 with the name attribute by default, CP932 on request (and UTF-8 for
// what CP932 lacks); either way they read back as written.
TEST(CabWriter, NamesAndTheirCodePage) {
  struct {
    std::string Name;
    bool Cp932;
    std::string Stored;
    uint16_t Attr;
  } cases[] = {
      {"dir/plain.txt", false, "dir\\plain.txt", 0},
      {"日本語/ファイル.txt", false, "日本語\\ファイル.txt", cfattrNameIsUtf},
      {"日本語/ファイル.txt", true, *Utf8ToCp932("日本語\\ファイル.txt"), 0},
      {"ελληνικά.txt", true, "ελληνικά.txt", cfattrNameIsUtf},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TMakeCab w;
    w.Cp932Names = c.Cp932;
    uint16_t attr = 0;
    EXPECT_EQ(w.StoredBytes(c.Name, attr), c.Stored);
    EXPECT_EQ(attr, c.Attr);
    TempDir t;
    WriteFile(t / "src" / c.Name, "x");
    ASSERT_EQ(MakeCab((t / "x.cab").string(), (t / "src").string(), cmStore, nullptr, &w), 1);
    ReadCab((t / "x.cab").string(), (t / "out").string());
    EXPECT_EQ(ReadTree(t / "out").count(c.Name), 1u);
  }
}

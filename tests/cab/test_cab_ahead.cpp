// Decoding ahead of the writer: one worker and several give the same files, the same reports in
// the same order, over sound, damaged and partly selected cabinets.
#include <filesystem>

#include "cab_test_util.h"

using namespace cabtest;

namespace {

// What a run left: the tree written and every report, in order.
struct TRun {
  std::map<std::string, std::string> Tree;
  std::vector<std::string> Reports;
  int Count = 0;
};

TRun Extract(const fs::path& Cab, const fs::path& Out, int Workers, TExtractMode Mode, const std::string& Mask) {
  fs::remove_all(Out);
  TUnCab r;
  r.Workers = Workers;
  TRun run;
  r.OnError = [&run](TZipCommon*, const std::string& Name, const std::string& Text, const std::string&, int32_t Code) {
    run.Reports.push_back(std::to_string(Code) + " " + Name + " " + Text);
  };
  r.SetArchiveFile(Cab.string());
  r.SetExtractDir(Out.string());
  r.ExtractMode = Mode;
  r.FileSpec = {Mask};
  r.CreateStoredDirs = true;
  run.Count = r.Extract();
  if (fs::exists(Out)) run.Tree = ReadTree(Out);
  return run;
}

// Offset of data block Index of the first folder of the plain cabinet Bytes.
size_t BlockAt(const std::string& Bytes, int Index) {
  auto get16 = [&](size_t At) { return size_t(uint8_t(Bytes[At])) | size_t(uint8_t(Bytes[At + 1])) << 8; };
  size_t at = get16(36) | get16(38) << 16;
  for (int i = 0; i < Index; ++i) at += 8 + get16(at + 4);
  return at;
}

}  // namespace

TEST(CabAhead, OneWorkerAndSeveralGiveTheSameRun) {
  TempDir t;
  // One MSZIP folder of many blocks (more than the decoder holds ahead), several files in it.
  for (int i = 0; i < 6; ++i)
    WriteFile(t / "src" / ("f" + std::to_string(i)), i % 2 ? RandomBytes(70000 + i, i) : TextBytes(150000 + i, i));
  ASSERT_EQ(MakeCab((t / "ok.cab").string(), (t / "src").string()), 6);
  const std::string good = ReadFile(t / "ok.cab");
  std::string bad = good, cut = good.substr(0, BlockAt(good, 12) + 20);
  bad[BlockAt(good, 9) + 40] ^= 0x55;  // a data block whose checksum fails
  WriteFile(t / "bad.cab", bad);
  WriteFile(t / "cut.cab", cut);

  std::vector<fs::path> cabs{t / "ok.cab", t / "bad.cab", t / "cut.cab"};
  for (const fs::path& dir : {fs::path(BREL_SOURCE_DIR) / "tests/cab/wild", fs::path("/work/corpus/ms")})
    if (fs::exists(dir))
      for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.path().extension() == ".cab") cabs.push_back(e.path());
  for (const fs::path& cab : cabs)
    for (TExtractMode mode : {xmExtract, xmTest})
      for (const char* mask : {"*", "f3"}) {
        SCOPED_TRACE(cab.string() + " " + mask + (mode == xmTest ? " test" : ""));
        // One output folder for both: reports may name paths in it.
        const TRun one = Extract(cab, t / "out", 1, mode, mask), four = Extract(cab, t / "out", 4, mode, mask);
        EXPECT_EQ(four.Reports, one.Reports);
        EXPECT_EQ(four.Count, one.Count);
        EXPECT_TRUE(four.Tree == one.Tree);
        if (cab == t / "ok.cab" && mode == xmExtract && *mask == '*') EXPECT_EQ(one.Tree, ReadTree(t / "src"));
        if (cab == t / "bad.cab" && *mask == '*') EXPECT_FALSE(one.Reports.empty());
      }
}

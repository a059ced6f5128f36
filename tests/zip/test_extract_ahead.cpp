// Decoding ahead on the worker pool: one thread and four give the same files, the same reports in
// the same order and the same count, damaged entries included; and the files unzip gives.
#include <gtest/gtest.h>

#include "test_unzip_builder.h"

using namespace testsupport;

namespace {

struct TOutcome {
  std::map<std::string, std::string> Tree;
  std::vector<std::string> Reports;  // name (below the output folder), text, code
  int Count = 0;
  bool operator==(const TOutcome&) const = default;
};

TOutcome Extract(const std::string& Archive, const fs::path& Out, int Workers, TExtractMode Mode) {
  TReaderRun r(Archive, Out.string());
  r.Zip.Workers = Workers;
  r.Zip.ExtractMode = Mode;
  TOutcome o;
  o.Count = r.Zip.Extract();
  o.Tree = fs::exists(Out) ? ReadTree(Out) : decltype(o.Tree){};
  for (TReport& x : r.Reports) {
    if (x.FileName.rfind(Out.string(), 0) == 0) x.FileName.erase(0, Out.string().size());
    o.Reports.push_back(x.FileName + "|" + x.ExtendedMsg + "|" + std::to_string(x.Code));
  }
  return o;
}

// Entries of every outcome: plain and damaged, small and above the in-memory bound.
std::string DamagedArchive() {
  const std::string text = TextBytes(200000, 3), shortText = text.substr(0, 1000);
  const std::string deflated = RawDeflate(text);
  TZipSpec badCrc{"bad-crc.txt", text, 8};
  badCrc.Crc = 0x12345678;
  TZipSpec truncated{"truncated.txt", text, 8};
  truncated.RawPayload = deflated.substr(0, deflated.size() / 2);
  TZipSpec saysLess{"says-less.txt", shortText, 8};  // decodes to more than stated
  saysLess.RawPayload = deflated;
  TZipSpec saysMore{"says-more.txt", text, 8};  // decodes to less than stated
  saysMore.RawPayload = RawDeflate(shortText);
  TZipSpec storedShort{"stored-short.bin", text, 0};
  storedShort.RawPayload = shortText;
  TZipSpec garbage{"garbage.txt", text, 8};
  garbage.RawPayload = RandomBytes(5000, 9);
  TZipSpec scrambled{"scrambled.bin", RandomBytes(3000, 5)};
  scrambled.ScrambleLocal = true;
  // Names longer than a decode job reads ahead for a header: header and data read apart.
  std::string deep;
  for (int i = 0; i < 10; ++i) deep += std::string(200, char('a' + i)) + "/";
  return BuildZip({{"dir/", ""},
                   {"dir/deflated.txt", text, 8},
                   {"dir/stored.bin", RandomBytes(70000, 4)},
                   {"empty.txt", "", 8},
                   {"empty-stored.txt", ""},
                   badCrc,
                   truncated,
                   saysLess,
                   saysMore,
                   storedShort,
                   garbage,
                   scrambled,
                   {deep + "stored.bin", RandomBytes(3000, 6)},
                   {deep + "tiny.txt", "t"},
                   {deep + "deflated.txt", text, 8},
                   {std::string("nul\0name.txt", 12), "x"},
                   {"..", "refused"},
                   {"../climb.txt", "kept below"},
                   {"dup.txt", "first"},
                   {"big.bin", std::string(size_t(17) << 20, 'z'), 8},
                   {"dup.txt", "second", 8}});
}

// A directory of many entries, read in several windows: the first local header displaced (the
// correction found from it holds for all), a later one displaced (left out), one scrambled, and
// names that read alike from other bytes.
std::string LargeDirectory() {
  std::vector<TZipSpec> v;
  for (int i = 0; i < 3000; ++i) {
    v.push_back({"folder-" + std::to_string(i / 100) + "/entry-with-a-longer-name-" + std::to_string(i) + ".txt",
                 std::to_string(i)});
    v.back().StatedShift = 100;
  }
  v[0].Displace = 100;
  v[0].StatedShift = 0;
  v[700].Displace = 50;
  v[900].ScrambleLocal = true;
  v[1200].Name = "caf\x82.txt";      // CP437: "café.txt"
  v[1300].Name = "caf\xc3\xa9.txt";  // UTF-8 "café.txt" from other bytes
  return BuildZip(v);
}

}  // namespace

TEST(ExtractAhead, OneThreadAndFourAgree) {
  TempDir t;
  WriteFile(t / "damaged.zip", DamagedArchive());
  WriteFile(t / "large.zip", LargeDirectory());
  std::vector<std::string> archives = {(t / "damaged.zip").string(), (t / "large.zip").string()};
  for (const auto& f : fs::directory_iterator(Testdata("zip"))) archives.push_back(f.path().string());
  for (const std::string& a : archives)
    for (TExtractMode mode : {xmExtract, xmTest, xmList}) {
      const TOutcome one = Extract(a, t / "one", 1, mode), four = Extract(a, t / "four", 4, mode);
      EXPECT_EQ(one, four) << a << " mode " << int(mode);
      if (mode == xmExtract && a == archives[0]) {
        EXPECT_EQ(one.Tree.at("dir/deflated.txt"), TextBytes(200000, 3));
        EXPECT_EQ(one.Tree.at("dup.txt"), "second");
        EXPECT_EQ(one.Tree.at("scrambled.bin"), RandomBytes(3000, 5));
        EXPECT_EQ(one.Reports.size(), 8u);  // 6 damaged entries, 2 names refused
      }
      if (mode != xmList && a == archives[1]) {
        EXPECT_EQ(one.Count, 2999) << mode;
        EXPECT_EQ(one.Reports, std::vector<std::string>{"folder-7/entry-with-a-longer-name-700.txt||25115"});
      }
      fs::remove_all(t / "one");
      fs::remove_all(t / "four");
    }
}

TEST(ExtractAhead, SameFilesAsUnzip) {
  REQUIRE_TOOLS("zip", "unzip");
  TempDir t;
  for (int i = 0; i < 40; ++i)
    WriteFile(t / "in" / ("d" + std::to_string(i % 5)) / ("f" + std::to_string(i)),
              i % 3 ? TextBytes(size_t(i) * 9000, uint32_t(i)) : RandomBytes(size_t(i) * 700, uint32_t(i)));
  for (const char* method : {"deflate", "bzip2", "store"}) {
    const fs::path zip = t / (std::string(method) + ".zip");
    ASSERT_EQ(testsupport::Run({"zip", "-qr", "-Z", method, zip.string(), "in"}, t.path()).status, 0);
    ASSERT_EQ(testsupport::Run({"unzip", "-qq", zip.string(), "-d", (t / "peer").string()}).status, 0);
    const TOutcome ours = Extract(zip.string(), t / "ours", 4, xmExtract);
    EXPECT_TRUE(ours.Reports.empty()) << method;
    EXPECT_EQ(ours.Tree, ReadTree(t / "peer")) << method;
    fs::remove_all(t / "peer");
    fs::remove_all(t / "ours");
  }
}

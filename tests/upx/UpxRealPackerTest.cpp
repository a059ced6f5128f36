// The UPX job with the packer the program carries, on a static C program built here.
#include "upx/UpxDir.h"
#include "upx/UpxExe.h"
#include "upx/UpxJob.h"
#include "upx/uUPX.h"

#include "app/TextUtils.h"
#include "UpxTestUtil.h"

using namespace upxtest;

using Lines = std::vector<std::string>;

namespace {

// Built once: a static program of several hundred KiB that prints a line. The packer's Linux
// stub of this version needs code and data in one segment, hence noseparate-code.
class UpxRealPacker : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    work_ = new TTempDir;
    WriteFile(*work_ / "hello.c",
              "#include <stdio.h>\n"
              "int main(void) { puts(\"hello from brel\"); return 0; }\n");
    Lines out, err;
    const TPipedResult r = RunPiped(
        {"gcc", "-static", "-O1", "-Wl,-z,noseparate-code", "-o", *work_ / "hello", *work_ / "hello.c"}, out, err);
    built_ = r.Started && r.ExitStatus == 0;
  }
  static void TearDownTestSuite() {
    delete work_;
    work_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(built_) << "gcc -static failed (libc6-dev missing?)";
    ASSERT_TRUE(dir_.WriteUpxExe(UpxExeBytes()));
    exe_ = files_ / "hello.exe";
    fs::copy_file(*work_ / "hello", exe_);
    fs::permissions(exe_, fs::perms::owner_all);
  }

  TUpxJobResult Run(int mode, const std::string& path, TWindow& w) {
    TUpxOptions o;
    o.Mode = mode;
    return RunUpxJob(dir_.Path(), path, o, w.IO());
  }

  // Runs a program and returns its output.
  static std::string Output(const Lines& argv) {
    Lines out, err;
    RunPiped(argv, out, err);
    std::string s;
    for (const auto& l : out) s += l + "\n";
    return s;
  }

  static TTempDir* work_;
  static bool built_;
  TTempDir files_, runtime_;
  TUpxDir dir_{"", runtime_.Path()};
  std::string exe_;
};

TTempDir* UpxRealPacker::work_ = nullptr;
bool UpxRealPacker::built_ = false;

}  // namespace

TEST_F(UpxRealPacker, AutoCompressesThenDecompresses) {
  const std::string original = ReadFile(exe_);
  const int64_t before = FileSizeKB(exe_);
  ASSERT_GT(before, 300);

  TWindow w;
  TUpxJobResult r = Run(uaAuto, exe_, w);
  EXPECT_TRUE(r.Probed);
  EXPECT_EQ(r.Action, uaCompress);
  EXPECT_EQ(r.ProbeCommandLine, dir_.Path() + "/upx -t \"" + exe_ + "\"");
  EXPECT_EQ(r.CommandLine, dir_.Path() + "/upx -7 --backup \"" + exe_ + "\"");
  const int64_t after = FileSizeKB(exe_);
  EXPECT_LT(after, before);
  EXPECT_EQ(w.Head(5), (Lines{"File : " + exe_, "Compression execute...", "", kSep, ""}));
  EXPECT_NE(w.Text().find("Packed 1 file."), std::string::npos);
  EXPECT_EQ(w.Tail(7), (Lines{"", kSep, "", "Compression success...", "",
                              "File Size " + FormatGrouped(before) + "KB -> " + FormatGrouped(after) + "KB",
                              UpxRatioLine(before, after)}));
  EXPECT_FALSE(r.Failed);

  // The packed program is intact: the packer's own test passes and it still runs.
  EXPECT_NE(Output({dir_.UpxPath(), "-t", exe_}).find("[OK]"), std::string::npos);
  EXPECT_EQ(Output({exe_}), "hello from brel\n");
  EXPECT_EQ(ReadFile(files_ / "hello.ex~"), original);  // --backup

  TWindow w2;
  r = Run(uaAuto, exe_, w2);
  EXPECT_EQ(r.Action, uaDecompress);
  EXPECT_EQ(r.CommandLine, dir_.Path() + "/upx -d \"" + exe_ + "\"");
  EXPECT_EQ(w2.Lines.at(1), "DeCompression execute...");
  EXPECT_EQ(w2.Tail(4), (Lines{"Compression success...", "",
                               "File Size " + FormatGrouped(after) + "KB -> " + FormatGrouped(before) + "KB",
                               UpxRatioLine(after, before)}));
  EXPECT_EQ(ReadFile(exe_), original);
}

TEST_F(UpxRealPacker, TestModeOnPackedAndUnpackedFiles) {
  TWindow unpacked;
  TUpxJobResult r = Run(uaTest, exe_, unpacked);
  EXPECT_EQ(unpacked.Lines.at(1), "Testing execute...");
  EXPECT_EQ(unpacked.Lines.back(), "Result : 圧縮されてません ！！");
  EXPECT_TRUE(r.Failed);

  TWindow packing;
  Run(uaCompress, exe_, packing);
  TWindow packed;
  r = Run(uaTest, exe_, packed);
  EXPECT_EQ(packed.Tail(3), (Lines{"Testing success...", "", "Result : 圧縮されています！！"}));
  EXPECT_FALSE(r.Failed);

  TWindow again;
  Run(uaCompress, exe_, again);
  EXPECT_EQ(again.Lines.back(), "Error : 既に圧縮されています ！！");
}

TEST_F(UpxRealPacker, TextFileAndMissingFile) {
  const std::string text = files_ / "notes.exe";
  std::string body;
  for (int i = 0; i < 2000; ++i) body += "line " + std::to_string(i) + "\n";
  WriteFile(text, body);
  TWindow w;
  Run(uaAuto, text, w);
  EXPECT_EQ(w.Lines.back(), "Error : 「.EXE .COM, DLL, .SYS」 のフォーマットのファイルではありません ！！");
  EXPECT_EQ(ReadFile(text), body);

  TWindow missing;
  const TUpxJobResult r = Run(uaAuto, files_ / "gone.exe", missing);
  EXPECT_EQ(missing.Lines.back(), "Error : ファイルが見つかりません ！！");
  EXPECT_EQ(missing.Text().find("File : "), std::string::npos);
  EXPECT_TRUE(r.Failed);
}

TEST_F(UpxRealPacker, VersionQuery) {
  TWindow w;
  TUpxOptions o;
  o.Mode = uaAuto;
  o.Level = 0;
  o.ExtraArg = "-V";
  const TUpxJobResult r = RunUpxJob(dir_.Path(), "", o, w.IO());
  EXPECT_EQ(w.Head(4), (Lines{"Version information of UPX...", "", kSep, ""}));
  EXPECT_EQ(w.Lines.at(4).rfind("upx 3.94", 0), 0u);
  EXPECT_EQ(w.Tail(2), (Lines{"", kSep}));
  EXPECT_FALSE(r.Failed);
}

TEST_F(UpxRealPacker, StandaloneRunForTheCommandLine) {
  // A window that runs at the same time keeps its packer in the shared folder.
  TTempDir runtime;
  fs::create_directory(runtime / "~vxtmp");
  WriteFile(runtime / "~vxtmp/upx", "window's packer");
  TWindow w;
  TUpxOptions o;  // the window's first-run options: auto, level 7, backup, icons
  TUpxJobResult r;
  {
    const testsupport::ScopedEnv env("XDG_RUNTIME_DIR", runtime.Path());
    r = RunUpxStandalone(exe_, o, w.IO());
  }
  EXPECT_EQ(ReadFile(runtime / "~vxtmp/upx"), "window's packer");
  EXPECT_EQ(r.Action, uaCompress);
  EXPECT_FALSE(r.Failed);
  EXPECT_EQ(w.Lines.at(w.Lines.size() - 4), "Compression success...");
  // Its private folder is gone again.
  EXPECT_FALSE(fs::exists(r.CommandLine.substr(0, r.CommandLine.find("/upx "))));
}

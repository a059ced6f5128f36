// The UPX job's command lines, messages and lines, with small stand-in packers written as shell
// scripts, so that every branch can be reached without the real packer.
#include "upx/UpxJob.h"

#include "app/TextUtils.h"
#include "UpxTestUtil.h"

using namespace upxtest;

using Lines = std::vector<std::string>;

TEST(UpxCommand, CommandLinesOfTheTable) {
  const std::string d = "/run/u/~vxtmp";
  const std::string p = "/w/a b/setup.exe";
  const struct {
    int action, level;
    bool backup, icons;
    std::string text;
    Lines argv;
  } cases[] = {
      {uaCompress, 7, true, true, d + "/upx -7 --backup \"" + p + "\"", {d + "/upx", "-7", "--backup", p}},
      {uaCompress,
       1,
       true,
       false,
       d + "/upx -1 --backup --compress-icons=0 \"" + p + "\"",
       {d + "/upx", "-1", "--backup", "--compress-icons=0", p}},
      {uaCompress, 9, false, true, d + "/upx -9  \"" + p + "\"", {d + "/upx", "-9", p}},
      {uaCompress,
       10,
       false,
       false,
       d + "/upx --best --crp-ms=999999 --compress-icons=0 \"" + p + "\"",
       {d + "/upx", "--best", "--crp-ms=999999", "--compress-icons=0", p}},
      {uaCompress,
       0,
       false,
       true,
       d + "/upx --best --crp-ms=999999  \"" + p + "\"",
       {d + "/upx", "--best", "--crp-ms=999999", p}},
      {uaDecompress, 7, true, true, d + "/upx -d \"" + p + "\"", {d + "/upx", "-d", p}},
      {uaTest, 7, true, true, d + "/upx -t \"" + p + "\"", {d + "/upx", "-t", p}},
      {uaAuto, 7, true, true, d + "/upx -t \"" + p + "\"", {d + "/upx", "-t", p}},
  };
  for (const auto& c : cases) {
    TUpxOptions o;
    o.Level = c.level;
    o.Backup = c.backup;
    o.CompressIcons = c.icons;
    const TUpxCommand cmd = UpxCommand(d, c.action, o, p);
    EXPECT_EQ(cmd.Text, c.text);
    EXPECT_EQ(cmd.Argv, c.argv) << c.text;
  }
  EXPECT_EQ(UpxPlainCommand(d, "-V").Text, d + "/upx -V");
  EXPECT_EQ(UpxPlainCommand(d, "-V").Argv, (Lines{d + "/upx", "-V"}));
  EXPECT_EQ(UpxPlainCommand(d, "").Text, d + "/upx ");
  EXPECT_EQ(UpxPlainCommand(d, "").Argv, Lines{d + "/upx"});
  // A relative name that looks like an option is passed so that it cannot be one.
  EXPECT_EQ(UpxCommand(d, uaTest, {}, "-rf.exe").Argv.back(), "./-rf.exe");
  EXPECT_EQ(UpxCommand(d, uaTest, {}, "-rf.exe").Text, d + "/upx -t \"-rf.exe\"");
}

TEST(UpxMessages, ErrorTextToMessage) {
  const std::string unknown = "特定できないエラーが発生しました　！！";
  const struct {
    std::string text, message;
  } cases[] = {
      {"upx: a.exe: FileNotFoundException: a.exe: No such file", "ファイルが見つかりません ！！"},
      {"upx: a.exe: AlreadyPackedException", "既に圧縮されています ！！"},
      {"upx: a.exe: NotPackedException: not packed by UPX", "圧縮されてません ！！"},
      {"upx: a.exe: Permission denied", "ファイルのアクセスを拒否されました ！！"},
      {"upx: a.txt: UnknownExecutableFormatException",
       "「.EXE .COM, DLL, .SYS」 のフォーマットのファイルではありません ！！"},
      // the table's order decides between two names
      {"x NotPackedException\nx FileNotFoundException", "ファイルが見つかりません ！！"},
      // a name at the very first character does not count
      {"NotPackedException", unknown},
      {"upx: e.exe: IOException: empty file -- skipped", unknown},
      {"", unknown},
  };
  for (const auto& c : cases) EXPECT_EQ(UpxErrorMessage(c.text), c.message) << c.text;
}

TEST(UpxMessages, RatioRoundsHalfToEvenAndNeverDividesByZero) {
  const struct {
    int64_t before, after;
    const char* line;
  } cases[] = {
      {200, 91, "Size Ratio 46 %"},  // 45.5
      {200, 93, "Size Ratio 46 %"},  // 46.5
      {8, 1, "Size Ratio 12 %"},     // 12.5
      {8, 3, "Size Ratio 38 %"},     // 37.5
      {3, 1, "Size Ratio 33 %"},    {3, 2, "Size Ratio 67 %"}, {745, 745, "Size Ratio 100 %"},
      {2, 5, "Size Ratio 250 %"},   {1, 0, "Size Ratio 0 %"},  {INT64_MAX, INT64_MAX, "Size Ratio 100 %"},
      {0, 0, "Size Ratio - %"},     {0, 3, "Size Ratio - %"},
  };
  for (const auto& c : cases) EXPECT_EQ(UpxRatioLine(c.before, c.after), c.line) << c.before << " " << c.after;
}

namespace {

// A folder with a stand-in packer "upx": a shell script that logs its arguments and answers each
// kind of call ("-t", "-d", other) with the given script fragments.
class TFakePacker {
 public:
  TFakePacker(const std::string& onTest, const std::string& onDecompress, const std::string& other) {
    WriteFile(dir_ / "upx",
              "#!/bin/sh\n"
              "printf '%s|' \"$@\" >> '" +
                  Log() + "'; echo >> '" + Log() +
                  "'\n"
                  "case \"$1\" in\n"
                  "  -t) " +
                  onTest +
                  " ;;\n"
                  "  -d) " +
                  onDecompress +
                  " ;;\n"
                  "  *) " +
                  other +
                  " ;;\n"
                  "esac\n",
              fs::perms::owner_all);
    WriteFile(dir_ / "prog.exe", std::string(2048 + 1, 'x'));
  }
  std::string Dir() const { return dir_.Path(); }
  std::string Exe() const { return dir_ / "prog.exe"; }
  std::string Log() const { return dir_ / "calls.log"; }
  Lines Calls() const {
    Lines calls;
    std::istringstream in(ReadFile(Log()));
    for (std::string l; std::getline(in, l);) calls.push_back(l);
    return calls;
  }

 private:
  TTempDir dir_;
};

TUpxOptions Opt(int mode, int level = 7, bool backup = true, bool icons = true) {
  TUpxOptions o;
  o.Mode = mode;
  o.Level = level;
  o.Backup = backup;
  o.CompressIcons = icons;
  return o;
}

}  // namespace

TEST(UpxJob, AutoOnATestedOkFileDecompresses) {
  TFakePacker fake("echo 'testing prog.exe [OK]'", "echo 'Unpacked 1 file.'; head -c 9000 /dev/zero > \"$2\"", "");
  TWindow w;
  const TUpxJobResult r = RunUpxJob(fake.Dir(), fake.Exe(), Opt(uaAuto), w.IO());
  EXPECT_TRUE(r.Probed);
  EXPECT_EQ(r.Action, uaDecompress);
  EXPECT_EQ(r.CommandLine, fake.Dir() + "/upx -d \"" + fake.Exe() + "\"");
  EXPECT_EQ(fake.Calls(), (Lines{"-t|" + fake.Exe() + "|", "-d|" + fake.Exe() + "|"}));
  EXPECT_EQ(w.Lines, (Lines{"File : " + fake.Exe(), "DeCompression execute...", "", kSep, "", "Unpacked 1 file.", "",
                            kSep, "", "Compression success...", "", "File Size 3KB -> 9KB", "Size Ratio 300 %"}));
  EXPECT_EQ(w.Gauges, (std::vector<std::pair<int, int>>{{0, 0}, {33, 50}, {66, 100}, {100, 100}}));
  EXPECT_FALSE(r.Failed);
}

TEST(UpxJob, AutoDecisionFromTheTestRun) {
  const struct {
    const char* onTest;
    int action;
    const char* header;
    const char* firstArg;
  } cases[] = {
      {"echo 'upx: prog.exe: NotPackedException: not packed' >&2", uaCompress, "Compression execute...", "-7"},
      {"echo 'upx: prog.exe: AlreadyPackedException' >&2", uaDecompress, "DeCompression execute...", "-d"},
      // both names: the second test wins
      {"echo 'upx: AlreadyPackedException NotPackedException' >&2", uaDecompress, "DeCompression execute...", "-d"},
      // neither name: nothing decided, the file is tested
      {"echo 'upx: prog.exe: IOException' >&2", uaAuto, "Compression execute...", "-t"},
      // no error and no [OK]
      {"echo 'Tested 0 files.'", uaCompress, "Compression execute...", "-7"},
  };
  for (const auto& c : cases) {
    TFakePacker fake(c.onTest, "", "");
    TWindow w;
    const TUpxJobResult r = RunUpxJob(fake.Dir(), fake.Exe(), Opt(uaAuto), w.IO());
    EXPECT_EQ(r.Action, c.action) << c.onTest;
    EXPECT_EQ(w.Head(2), (Lines{"File : " + fake.Exe(), c.header})) << c.onTest;
    ASSERT_EQ(fake.Calls().size(), 2u);
    EXPECT_EQ(fake.Calls()[1].substr(0, fake.Calls()[1].find('|')), c.firstArg) << c.onTest;
  }
}

TEST(UpxJob, ModeChosenByHand) {
  const struct {
    int mode;
    const char* header;
    const char* command;
  } cases[] = {
      {uaCompress, "Compression execute...", " --best --crp-ms=999999 --compress-icons=0 "},
      {uaDecompress, "Compression execute...", " -d "},
      {uaTest, "Testing execute...", " -t "},
  };
  for (const auto& c : cases) {
    TFakePacker fake("", "", "");
    TWindow w;
    const TUpxJobResult r = RunUpxJob(fake.Dir(), fake.Exe(), Opt(c.mode, 10, false, false), w.IO());
    EXPECT_FALSE(r.Probed);
    EXPECT_EQ(fake.Calls().size(), 1u);
    EXPECT_EQ(r.CommandLine, fake.Dir() + "/upx" + c.command + "\"" + fake.Exe() + "\"");
    EXPECT_EQ(w.Lines.at(1), c.header);
  }
}

TEST(UpxJob, ClosingLinesOfErrorsAndTests) {
  const std::string notPacked = "echo 'upx: p: NotPackedException: not packed by UPX' >&2";
  const std::string denied = "echo 'upx: p: Permission denied' >&2";
  const struct {
    int mode;
    std::string onTest, other;
    Lines tail;
    bool failed;
  } cases[] = {
      {uaTest, notPacked, "", {"", kSep, "", "Result : 圧縮されてません ！！"}, true},
      {uaTest,
       "echo 'testing p [OK]'",
       "",
       {"", kSep, "", "Testing success...", "", "Result : 圧縮されています！！"},
       false},
      {uaTest,
       "echo 'Tested 0 files.'",
       "",
       {"", kSep, "", "Testing success...", "", "Result : 圧縮されていません！！"},
       false},
      {uaCompress, "", denied, {"", kSep, "", "Error : ファイルのアクセスを拒否されました ！！"}, true},
      {uaCompress,
       "",
       "echo 'upx: p: AlreadyPackedException' >&2",
       {"", kSep, "", "Error : 既に圧縮されています ！！"},
       true},
  };
  for (const auto& c : cases) {
    TFakePacker fake(c.onTest, "", c.other);
    TWindow w;
    const TUpxJobResult r = RunUpxJob(fake.Dir(), fake.Exe(), Opt(c.mode), w.IO());
    EXPECT_EQ(w.Tail(c.tail.size()), c.tail) << c.onTest << c.other;
    EXPECT_EQ(r.Failed, c.failed);
  }
}

TEST(UpxJob, PackerThatCannotStartIsAnError) {
  for (int mode : {uaAuto, uaCompress, uaTest}) {
    TTempDir emptyDir;
    WriteFile(emptyDir / "prog.exe", std::string(5000, 'x'));
    TWindow w;
    const TUpxJobResult r = RunUpxJob(emptyDir.Path(), emptyDir / "prog.exe", Opt(mode), w.IO());
    EXPECT_FALSE(r.Started);
    EXPECT_TRUE(r.Failed);
    EXPECT_EQ(w.Lines.back(), "Error : 特定できないエラーが発生しました　！！");
    EXPECT_EQ(w.Text().find("success"), std::string::npos);
    EXPECT_EQ(w.Lines.at(5).rfind("Cannot start " + emptyDir / "upx", 0), 0u) << w.Lines.at(5);
  }
  TWindow w;
  const TUpxJobResult r = RunUpxJob(
      "", "",
      [] {
        TUpxOptions o;
        o.ExtraArg = "-V";
        return o;
      }(),
      w.IO());
  EXPECT_TRUE(r.Failed);
}

TEST(UpxJob, PackerStoppedBySignalIsAnError) {
  TFakePacker fake("", "", "echo 'Packing...'; kill -9 $$");
  TWindow w;
  const TUpxJobResult r = RunUpxJob(fake.Dir(), fake.Exe(), Opt(uaCompress), w.IO());
  EXPECT_TRUE(r.Failed);
  EXPECT_EQ(w.Tail(6), (Lines{"Packing...", "The packer was stopped by signal 9", "", kSep, "",
                              "Error : 特定できないエラーが発生しました　！！"}));
}

TEST(UpxJob, EmptyFileGetsARatioWithoutDivision) {
  TFakePacker fake("", "", "echo 'Packed 1 file.'");
  WriteFile(fake.Exe(), "");
  TWindow w;
  RunUpxJob(fake.Dir(), fake.Exe(), Opt(uaCompress), w.IO());
  EXPECT_EQ(w.Tail(3), (Lines{"", "File Size 0KB -> 0KB", "Size Ratio - %"}));
}

TEST(UpxJob, MissingFileIsNamedToThePacker) {
  TFakePacker fake("echo \"upx: $2: FileNotFoundException: $2: No such file\" >&2", "", "");
  const std::string gone = fake.Dir() + "/gone.exe";
  TWindow w;
  const TUpxJobResult r = RunUpxJob(fake.Dir(), gone, Opt(uaAuto), w.IO());
  EXPECT_FALSE(r.Probed);
  EXPECT_EQ(fake.Calls(), Lines{"-t|" + gone + "|"});
  EXPECT_EQ(w.Lines, (Lines{"", kSep, "", "", kSep, "", "Error : ファイルが見つかりません ！！"}));
  EXPECT_EQ(r.SizeBefore, 0);
}

TEST(UpxJob, PackerOutputShownAsItArrives) {
  // The window sees the first chunk while the packer still runs.
  TFakePacker fake("", "", "echo first; sleep 0.3; echo second");
  TWindow w;
  size_t linesAtPump = 0;
  TUpxJobIO io = w.IO();
  io.ProcessMessages = [&] {
    if (std::find(w.Lines.begin(), w.Lines.end(), "first") != w.Lines.end() &&
        std::find(w.Lines.begin(), w.Lines.end(), "second") == w.Lines.end())
      ++linesAtPump;
  };
  RunUpxJob(fake.Dir(), fake.Exe(), Opt(uaCompress), io);
  EXPECT_GT(linesAtPump, 0u);
  EXPECT_EQ(w.Lines.at(5), "first");
  EXPECT_EQ(w.Lines.at(6), "second");
}

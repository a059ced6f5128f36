// The component frame: progress arithmetic, cancel and error reports, the stopwatch, dates,
// method names, the block writer and reader, drive checks and the writer and reader setters.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>

#include "archive/core/qrvBase.h"
#include "core/test_ziprecords_builder.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;
using testsupport::WriteFile;

struct TReport {
  std::string FileName, ExtendedMsg, VolumeID;
  int32_t Code;
};

// A frame component that records its error reports.
struct TRecorder : TZipCommon {
  std::vector<TReport> Reports;
  TRecorder() {
    OnError = [this](TZipCommon*, const std::string& f, const std::string& e, const std::string& v, int32_t c) {
      Reports.push_back({f, e, v, c});
    };
  }
  using TZipCommon::ResetRunState;
  void SetType(TArcType T) { FArcType = T; }
};

TEST(Frame, Percentages) {
  EXPECT_EQ(Percentage(0, 0), 0);
  EXPECT_EQ(Percentage(5, 0), 0);
  EXPECT_EQ(Percentage(1, 3), 33);
  EXPECT_EQ(Percentage(2, 3), 67);
  EXPECT_EQ(Percentage(150, 100), 100);
  EXPECT_EQ(Percentage(-5, 100), 0);
  EXPECT_EQ(Percentage(INT64_MAX, INT64_MAX), 100);
}

TEST(Frame, ProgressStepNeverExceeds100) {
  TRecorder c;
  std::vector<std::pair<int, int>> steps;
  c.OnProgress = [&](TZipCommon*, uint8_t f, uint8_t a) { steps.push_back({f, a}); };
  c.ByteTotal = c.BytesToGo = 1000;
  c.StartEntryProgress(400);
  c.BytesToGo -= 100;
  c.ProgressStep();
  c.BytesToGo -= 500;  // more than the entry's size: a format counted generously
  c.ProgressStep();
  c.ByteTotal = c.BytesToGo = 0;
  c.StartEntryProgress(0);
  c.ProgressStep();
  EXPECT_EQ(steps, (std::vector<std::pair<int, int>>{{25, 10}, {100, 60}, {0, 0}}));
}

TEST(Frame, CancelReportsAndOverridesCodes) {
  TRecorder c;
  c.SetArchiveFile("/x/a.zip");  // the root setter: a missing file gives no name
  c.ResetRunState();
  c.SetCurrentName("entry.txt");
  c.ReportError("f", "", "0", ecCrcCheck);
  c.SetCancel(true);
  c.ReportError("g", "", "0", ecWriteFile);
  EXPECT_NO_THROW(c.RaiseError(ecsWrite, "h", "", "0", ecWriteFile));  // cancelled: no exception
  ASSERT_EQ(c.Reports.size(), 4u);
  EXPECT_EQ(c.Reports[0].Code, ecCrcCheck);
  EXPECT_EQ(c.Reports[1].Code, ecUserCanceled);
  EXPECT_EQ(c.Reports[1].FileName, "entry.txt");
  EXPECT_EQ(c.Reports[2].Code, ecUserCanceled);
  EXPECT_EQ(c.Reports[3].Code, ecUserCanceled);

  c.ResetRunState();  // a new run clears the flag
  EXPECT_FALSE(c.IsCancelled());
  EXPECT_THROW(c.RaiseError(ecsFOpen, "x", "", "0", ecOpenFile), EFOpenError);
  EXPECT_EQ(c.Reports.back().Code, ecOpenFile);
}

TEST(Frame, SharedCancelFlag) {
  TRecorder a, b;
  b.ShareCancelFlag(a.CancelFlag());
  a.SetCancel(true);
  EXPECT_TRUE(b.IsCancelled());
  b.ShareCancelFlag(nullptr);
  EXPECT_FALSE(b.IsCancelled());
}

TEST(Frame, ReportNeverThrows) {
  TRecorder c;
  c.OnError = [](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t) {
    throw std::runtime_error("host failure");
  };
  EXPECT_NO_THROW(c.ReportError("a", "", "0", ecCrcCheck));
}

TEST(Frame, StopwatchLeavesPausesOut) {
  int64_t now = 1000;
  TqrvTimer t;
  t.Ticks = [&] { return now; };
  t.Pause();  // not running: nothing happens
  t.Start();
  now += 1500;
  t.Pause();
  now += 10000;  // time in an error dialogue
  t.Resume();
  now += 500;
  t.Stop();
  EXPECT_FLOAT_EQ(t.ElapsedTime(), 2.0f);
  EXPECT_FALSE(t.Running());
}

TEST(Frame, ZeroDateReadsAs1980) {
  TRecorder c;
  EXPECT_DOUBLE_EQ(c.DosDateToDateTime(0), c.DosDateToDateTime(0x00210020));
  EXPECT_NEAR(c.DosDateToDateTime(0), 29221.000694, 1e-6);
  EXPECT_NEAR(c.DosDateToDateTime(int32_t(0xFFFFFFFF)), 29221.000694, 1e-6);  // not a date
}

TEST(Frame, BlockWriterOutputsChecksumsAndLineEnds) {
  TRecorder c;
  c.ResetRunState();
  c.BlockOutput = boMemory;
  c.StreamState->Crc32Val = Crc32Init;
  c.ConvertLineEnds = true;
  ASSERT_TRUE(c.WriteBlock("a\nb\r", 4, 32));
  ASSERT_TRUE(c.WriteBlock("\nc\n", 3, 32));  // its LF follows the CR that ended the last block
  EXPECT_EQ(std::string(c.OutMemory.begin(), c.OutMemory.end()), "a\r\nb\r\nc\r\n");
  EXPECT_EQ(c.StreamState->Crc32Val ^ 0xFFFFFFFFu, Crc32Of("a\nb\r\nc\n", 7));  // over the data as stored

  TRecorder t;
  t.BlockOutput = boNone;  // testing: nothing written, the block only counts
  t.StreamState->Crc16Val = 0;
  ASSERT_TRUE(t.WriteBlock("abc", 3, 16));
  EXPECT_EQ(t.StreamState->Crc16Val, 0x9738);
  EXPECT_EQ(t.BlockBytesWritten, 3);
}

TEST(Frame, BlockWriterCipherForZipTypesOnly) {
  const std::string plain = "secret data";
  TZipCipher enc;
  enc.Init("pw");
  std::string cipher = plain;
  enc.Encrypt(cipher.data(), cipher.size());

  TRecorder c;
  c.SetType(atZip);
  c.BlockOutput = boMemory;
  c.StreamState->Cipher.Init("pw");
  c.StreamState->Crc32Val = Crc32Init;
  ASSERT_TRUE(c.WriteBlock(cipher.data(), int32_t(cipher.size()), 32, bcDecipher));
  EXPECT_EQ(std::string(c.OutMemory.begin(), c.OutMemory.end()), plain);
  EXPECT_EQ(c.StreamState->Crc32Val ^ 0xFFFFFFFFu, Crc32Of(plain.data(), plain.size()));

  TRecorder tar;
  tar.SetType(atTar);
  tar.BlockOutput = boMemory;
  ASSERT_TRUE(tar.WriteBlock(cipher.data(), int32_t(cipher.size()), 0, bcDecipher));
  EXPECT_EQ(std::string(tar.OutMemory.begin(), tar.OutMemory.end()), cipher);
}

TEST(Frame, BlockWriterShortWriteAndDiskFull) {
  TRecorder c;
  c.SetArchiveFile("");
  c.ResetRunState();
  c.EntryCount = 3;
  c.SetCurrentName("out.txt");
  TempDir t("bw");
  WriteFile(t / "ro", "");
  {
    // A stream on a descriptor opened read-only: every write fails (not a full disk).
    const int fd = open((t / "ro").c_str(), O_RDONLY);
    THandleStream32 s(fd);
    c.OutStream = &s;
    EXPECT_FALSE(c.WriteBlock("abc", 3));
    close(fd);
  }
  EXPECT_EQ(c.EntryCount, 2);
  ASSERT_EQ(c.Reports.size(), 1u);
  EXPECT_EQ(c.Reports[0].Code, ecWriteFile);
  EXPECT_EQ(c.Reports[0].FileName, "out.txt");

  // A full file system: /dev/full reports ENOSPC for every write.
  const int full = open("/dev/full", O_WRONLY);
  if (full < 0) GTEST_SKIP() << "/dev/full missing";
  THandleStream32 s(full);
  c.OutStream = &s;
  EXPECT_THROW(c.WriteBlock("abc", 3), EWriteError);
  EXPECT_EQ(c.EntryCount, 0);
  EXPECT_EQ(c.Reports.back().Code, ecDiskFull);
  close(full);
}

TEST(Frame, BlockReaderDecryptsArjOnly) {
  struct TArj : TRecorder {
    std::string GetPassword() const override { return "ab"; }
  } c;
  TTestMemStream s(std::string("\x01\x02\x03", 3));
  char buf[8];
  c.SetType(atArj);
  ASSERT_EQ(c.ReadBlock(s, buf, 8), 3);
  EXPECT_EQ(std::string(buf, 3), std::string("\x60\x60\x62", 3));  // 1^'a', 2^'b', 3^'a'
  s.SetPosition(0);
  c.SetType(atZip);
  ASSERT_EQ(c.ReadBlock(s, buf, 8), 3);
  EXPECT_EQ(std::string(buf, 3), std::string("\x01\x02\x03", 3));
}

// Drive checks with a replaced prober: answers, retries and the codes.
TEST(Frame, DriveChecks) {
  struct TCase {
    bool Accessible, ReadOnly, Writing;
    int InDrvAnswers;    // -1: no handler; else handler answers "abort" after this many retries
    int ProtectAnswers;  // likewise
    bool Ok;
    int32_t Code;  // last report, 0 for none
  };
  const TCase cases[] = {
      {true, false, true, -1, -1, true, 0},
      {false, false, true, -1, -1, false, ecNotAccessible},
      {false, false, true, 2, -1, false, ecUserCanceled},
      {true, true, true, -1, -1, false, ecWriteProtected},
      {true, true, true, -1, 1, false, ecUserCanceled},
      {true, true, false, -1, -1, true, 0},  // reading a set from a read-only medium is fine
  };
  for (const TCase& k : cases) {
    TRecorder c;
    int probes = 0, asked = 0;
    c.DiskManager().Prober = [&](const std::string&, TDiskManager::TVolumeInfo& i) {
      ++probes;
      i.ReadOnly = k.ReadOnly;
      return k.Accessible;
    };
    auto answer = [&](int retries) { return [&, retries](TZipCommon*, bool& abort) { abort = asked++ >= retries; }; };
    if (k.InDrvAnswers >= 0) c.OnDiskInDrvErr = answer(k.InDrvAnswers);
    if (k.ProtectAnswers >= 0) c.OnDiskWriteProtectErr = answer(k.ProtectAnswers);
    EXPECT_EQ(c.DiskManager().CheckDrive(c, "/tmp/a.zip", k.Writing), k.Ok);
    EXPECT_EQ(c.Reports.empty() ? 0 : c.Reports.back().Code, k.Code);
    if (k.InDrvAnswers > 0) {
      EXPECT_EQ(probes, k.InDrvAnswers + 1);
    }
    if (!c.Reports.empty()) {
      EXPECT_EQ(c.Reports.back().FileName, "/tmp");
    }
  }
}

TEST(Frame, RealDriveProbe) {
  TDiskManager::TVolumeInfo info;
  ASSERT_TRUE(TDiskManager::Probe("/tmp/no/such/dir/a.zip", info));  // the nearest existing folder
  EXPECT_EQ(info.Drive, "/tmp");
  EXPECT_EQ(info.Serial.size(), 8u);
  EXPECT_TRUE(TDiskManager::Probe("/proc/version", info));
  EXPECT_TRUE(info.ReadOnly || info.FileSystem == "proc");
}

struct TWriter : TCompBase {
  TWriter() {
    SetFormatDefaultExt(".zip");
    SetAllowedMethods(MethodBit(cmStore) | MethodBit(cmDeflate), cmDeflate);
  }
  void Allow(TCompressMethods m) { FAllowedMethods = m; }
};

TEST(Frame, WriterArchiveNameAndDefaultExt) {
  TWriter w;
  w.SetArchiveFile("/d/backup");
  EXPECT_EQ(w.ArchiveFile(), "/d/backup.zip");
  w.SetDefaultExt("LZHX");  // dot added, cut to 4, lower case; the old default is replaced
  EXPECT_EQ(w.DefaultExt(), ".lzh");
  EXPECT_EQ(w.ArchiveFile(), "/d/backup.lzh");
  w.SetArchiveFile("/d/other.txt");
  w.SetDefaultExt(".");  // restores the format's own; another extension stays
  EXPECT_EQ(w.DefaultExt(), ".zip");
  EXPECT_EQ(w.ArchiveFile(), "/d/other.txt");

  w.SetCompressMethod(cmLzx);  // not allowed: ignored
  EXPECT_EQ(w.CompressMethod(), cmDeflate);
  w.SetCompressMethod(cmStore);
  EXPECT_EQ(w.CompressMethod(), cmStore);
}

TEST(Frame, WriterTarGzipName) {
  TempDir t("tgz");
  WriteFile(t / "x.tar", "old tar");
  TWriter w;
  w.Allow(MethodBit(cmTarGzip));
  w.SetCompressMethod(cmTarGzip);
  // The frame keeps the name as given: a filter's naming is its writer's (TTar's) own.
  w.SetArchiveFile((t / "x.tar.GZ").string());
  EXPECT_EQ(w.ArchiveFile(), (t / "x.tar.GZ").string());
  EXPECT_EQ(testsupport::ReadFile(t / "x.tar"), "old tar");  // naming an archive moves no file
}

TEST(Frame, WriterTempDir) {
  TempDir t("tmpd");
  TWriter w;
  w.SetArchiveFile((t / "a.zip").string());
  EXPECT_EQ(w.TempDir(), t.path().string() + "/");  // default: beside the archive
  std::string asked;
  w.OnConfirm = [&](TZipCommon*, const std::string& q) {
    asked = q;
    return true;
  };
  w.SetTempDir((t / "work").string());
  EXPECT_EQ(w.TempDir(), (t / "work").string() + "/");
  EXPECT_TRUE(fs::is_directory(t / "work"));
  EXPECT_NE(asked.find("\r\r" + (t / "work").string()), std::string::npos);
  w.OnConfirm = nullptr;  // no handler: no, the default stays
  w.SetTempDir((t / "nope").string());
  EXPECT_EQ(w.TempDir(), t.path().string() + "/");
  EXPECT_FALSE(fs::exists(t / "nope"));
}

TEST(Frame, ReaderExtractDirAndDefaults) {
  TUnBase r;
  EXPECT_EQ(r.ArcType(), atNA);
  EXPECT_TRUE(r.UseStoredDirs);
  EXPECT_TRUE(r.RestoreFileAttr);
  EXPECT_EQ(r.OverwriteMode, omOverwrite);
  r.SetExtractDir("/out/dir");
  EXPECT_EQ(r.ExtractDir(), "/out/dir/");
  TCompBase w;
  EXPECT_EQ(w.Attributes.Bits(), 0x1C3);
  EXPECT_EQ(w.StoreFilesOfType.size(), 24u);
  EXPECT_EQ(w.StoreFilesOfType.front(), ".ACE");
  EXPECT_EQ(w.StoredDirNames, sdRelative);
  EXPECT_EQ(w.DeleteOptions, doAllowUndo);
}

// One deflate profile gives both the ZIP flag bits a writer records and the zlib level it
// compresses at; the two must agree for every profile.
TEST(Frame, DeflateProfileFlagsAndLevelAgree) {
  const struct {
    TDeflateType Type;
    uint16_t Bits;
    int Level;
  } rows[] = {{dtDeflateS, 6, 0}, {dtDeflateF, 4, 1}, {dtDeflateN, 0, 6}, {dtDeflateX, 2, 9}};
  for (const auto& r : rows) {
    EXPECT_EQ(DeflateOptionBits(r.Type), r.Bits) << int(r.Type);
    EXPECT_EQ(ZLevelOf(r.Type), r.Level) << int(r.Type);
  }
}

// The frame is what the temporary archive streams report to: the move events fire on the
// writer, and a cancelled writer leaves the old archive and no temporary file.
TEST(Frame, TemporaryStreamsReportToTheWriter) {
  TempDir t("tmps");
  WriteFile(t / "a.zip", "old");
  for (bool cancel : {false, true}) {
    TWriter w;
    w.SetArchiveFile((t / "a.zip").string());
    std::vector<std::string> events;
    w.OnTmpFileMoveBegin = [&](TZipCommon*, const std::string& a, const std::string& tmp, bool&) {
      events.push_back("begin " + fs::path(a).filename().string() + " " +
                       fs::path(tmp).filename().string().substr(0, 3));
    };
    w.OnTmpFileMoveEnd = [&](TZipCommon*) { events.push_back("end"); };
    {
      TTempFileStream s(w, fmCreate, w.ArchiveFile(), w.TempDir());
      s.WriteBuffer("new", 3);
      if (cancel) w.SetCancel(true);
    }
    if (cancel) {
      EXPECT_TRUE(events.empty());
      EXPECT_EQ(testsupport::ReadFile(t / "a.zip"), "new");  // from the first round
    } else {
      EXPECT_EQ(events, (std::vector<std::string>{"begin a.zip qrv", "end"}));
      EXPECT_EQ(testsupport::ReadFile(t / "a.zip"), "new");
    }
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(t.path())) files += e.is_regular_file();
    EXPECT_EQ(files, 1u) << "no temporary file is left";
  }
}

TEST(Frame, VolumeNames) {
  TRecorder c;
  TempDir t("vn");
  WriteFile(t / "set.zip", BuildTestZip({{"a", "b", "", ""}}));
  c.SetArchiveFile((t / "set.zip").string());
  EXPECT_EQ(c.VolumeName(1), (t / "set.z01").string());
  EXPECT_EQ(c.VolumeName(123), (t / "set.z123").string());
}

}  // namespace

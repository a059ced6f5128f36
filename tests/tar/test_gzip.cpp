// The GZIP member writer: layout, names by Extension, overwrite questions, and what gzip says.
#include <gtest/gtest.h>

#include "archive/zip/qrvGZip.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

struct TGzRun {
  int Result = 0;
  std::vector<int32_t> Errors;
};

TGzRun RunGZip(TGZip& G, const fs::path& Spec) {
  TGzRun r;
  G.FileSpec = {Spec.string()};
  G.OnError = [&](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t c) {
    r.Errors.push_back(c);
  };
  r.Result = G.Compress();
  return r;
}

uint32_t LE32(const std::string& S, size_t At) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(S[At + size_t(i)]);
  return v;
}

}  // namespace

TEST(GZip, MembersThatGzipReadsBack) {
  TempDir t;
  const std::string text = TextBytes(200000, 7);
  WriteFile(t / "notes.txt", text);
  WriteFile(t / "empty.txt", "");
  for (TDeflateType level : {dtDeflateS, dtDeflateF, dtDeflateN, dtDeflateX}) {
    TGZip g;
    g.DeflateType = level;
    g.ConfirmOverwrites = false;
    g.SetArchiveFile((t / "x.gz").string());
    const TGzRun r = RunGZip(g, t / "*.txt");
    EXPECT_EQ(r.Result, 2);
    EXPECT_TRUE(r.Errors.empty());
    const std::string gz = ReadFile(t / "notes.gz");
    ASSERT_GT(gz.size(), 30u);
    EXPECT_EQ(gz.substr(0, 4), std::string("\x1f\x8b\x08\x08", 4));
    EXPECT_EQ(gz.substr(10, 10), std::string("notes.txt\0", 10));
    EXPECT_EQ(LE32(gz, gz.size() - 4), text.size());
    EXPECT_EQ(testsupport::Run({"gzip", "-t", (t / "notes.gz").string()}).status, 0);
    EXPECT_EQ(testsupport::Run({"gzip", "-dc", (t / "notes.gz").string()}).out, text);
  }
  // An empty file: one empty stored block, CRC 0 and size 0.
  const std::string e = ReadFile(t / "empty.gz");
  EXPECT_EQ(e.substr(10), std::string("empty.txt\0\x01\x00\x00\xff\xff\0\0\0\0\0\0\0\0", 23));
}

TEST(GZip, OutputNamesByExtension) {
  struct Case {
    TGZipExt Ext;
    const char* Source;
    const char* Output;
  } cases[] = {
      {exAppendGZ, "/d/report.txt", "/o/report.gz"},
      {exAppendGZ, "/d/README", "/o/README.gz"},
      {exUnderScore, "/d/a.b", "/o/a._"},
      {exNone, "/d/a.b", "/o/a.b"},
  };
  for (const Case& c : cases) {
    TGZip g;
    g.Extension = c.Ext;
    EXPECT_EQ(g.OutputNameFor(c.Source, "/o/"), c.Output);
  }
  TGZip g;
  g.Extension = exNone;
  EXPECT_EQ(g.OutputNameFor("/d/a.b", "/d/"), "/d/a.gz");  // never the source itself
  g.SingleOutput = true;
  EXPECT_EQ(g.OutputNameFor("/d/x.tar", "/d/"), "/d/x.tar.gz");
}

TEST(GZip, RefusalsLeaveFilesAlone) {
  TempDir t;
  WriteFile(t / "a.txt", "new");
  WriteFile(t / "a.gz", "old");
  {
    TGZip g;
    g.Switch = swDelete;
    g.SetArchiveFile((t / "a.gz").string());
    const TGzRun r = RunGZip(g, t / "a.txt");
    EXPECT_EQ(r.Result, 0);
    EXPECT_EQ(r.Errors, std::vector<int32_t>{ecUnsupportedType});
  }
  {
    TGZip g;  // ConfirmOverwrites without OnFileExists: asked of nobody, nothing replaced
    g.SetArchiveFile((t / "a.gz").string());
    const TGzRun r = RunGZip(g, t / "a.txt");
    EXPECT_EQ(r.Errors, std::vector<int32_t>{ecEventNotAssigned});
  }
  {
    TGZip g;
    g.SetArchiveFile((t / "a.gz").string());
    g.OnFileExists = [](TZipCommon*, const std::string&, TDateTime, TOverwriteMode& M) { M = omSkip; };
    EXPECT_EQ(RunGZip(g, t / "a.txt").Result, 0);
  }
  EXPECT_EQ(ReadFile(t / "a.gz"), "old");
  {
    TGZip g;
    g.SetArchiveFile((t / "a.gz").string());
    g.DeleteOptions = doFinal;  // no undo copy in the user's Trash
    g.OnFileExists = [](TZipCommon*, const std::string&, TDateTime, TOverwriteMode& M) { M = omOverwrite; };
    EXPECT_EQ(RunGZip(g, t / "a.txt").Result, 1);
  }
  EXPECT_EQ(ReadFile(t / "a.gz").substr(0, 2), "\x1f\x8b");
  // No temporary file is left beside the outputs.
  EXPECT_EQ(ReadTree(t.path()).size(), 2u);
}

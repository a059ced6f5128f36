// The format table walked row by row: what each writer makes is detected as its row's type,
// taken by its row's reader and read back whole; every extension and method keyword maps back.
#include <gtest/gtest.h>

#include <set>

#include "archive/qrvFormats.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

// Packs src/ into Archive with Row's writer (Method: a keyword of the row, "" its default).
void Pack(const TFormatRow& Row, const std::string& Archive, const fs::path& Src, const std::string& Method) {
  auto w = Row.NewWriter();
  if (Row.Configure) Row.Configure(*w, {});
  if (!Method.empty()) w->SetCompressMethod(MethodOf(Row, Method)->Method);
  w->OnError = [&](TZipCommon*, const std::string& F, const std::string& X, const std::string&, int32_t C) {
    ADD_FAILURE() << Row.Name << ' ' << Method << ": error " << C << ' ' << F << ' ' << X;
  };
  w->SetArchiveFile(Archive);
  w->FileSpec = {(Src / "*.*").string()};
  w->StoredDirNames = sdRelative;
  w->RecurseDirs = true;
  w->Compress();
}

// Detects Archive, takes the reader the table gives for it and extracts into Out.
const TFormatRow* Unpack(const std::string& Archive, const fs::path& Out) {
  TArvexComponent probe;
  probe.SetArchiveFile(Archive);
  const TFormatRow* row = ReaderFormatFor(probe.ArcType(), Archive);
  if (!row) return nullptr;
  auto r = row->NewReader();
  r->OnError = [&](TZipCommon*, const std::string& F, const std::string& X, const std::string&, int32_t C) {
    ADD_FAILURE() << Archive << ": error " << C << ' ' << F << ' ' << X;
  };
  r->SetArchiveFile(Archive);
  r->SetExtractDir(Out.string());
  r->FileSpec = {"*.*"};
  r->CreateStoredDirs = true;
  r->Extract();
  return row;
}

TEST(Formats, EveryWriterRowRoundTripsThroughDetectionAndItsReader) {
  TempDir dir("formats");
  WriteFile(dir / "src/a.txt", TextBytes(20000, 1));
  WriteFile(dir / "src/sub/b.bin", RandomBytes(3000, 2));
  const auto expected = ReadTree(dir / "src");
  int n = 0;
  for (const TFormatRow& row : Formats()) {
    if (!row.Writes()) continue;
    std::vector<std::string> methods = {""};
    for (const TMethodKeyword& m : row.Methods) methods.push_back(m.Keyword);
    for (const std::string& ext : row.Extensions)
      for (const std::string& method : methods) {
        SCOPED_TRACE(row.Name + " " + ext + " " + method);
        const std::string archive = (dir / ("a" + std::to_string(++n) + ext)).string();
        Pack(row, archive, dir / "src", method);
        EXPECT_EQ(FormatOfName(archive), &row);
        TArvexComponent probe;
        probe.SetArchiveFile(archive);
        if (!row.ReadTypes.empty()) {
          EXPECT_EQ(probe.ArcType(), row.WriteType) << GetArcTypeValueName(probe.ArcType());
        }
        EXPECT_EQ(WriterFormatOfType(probe.ArcType(), archive), &row);
        const fs::path out = dir / ("out" + std::to_string(n));
        EXPECT_EQ(Unpack(archive, out), &row);
        EXPECT_EQ(ReadTree(out), expected);
      }
  }
}

TEST(Formats, NamesExtensionsTypesAndKeywordsMapToTheirRows) {
  for (const TFormatRow& row : Formats()) {
    EXPECT_EQ(FormatNamed(row.Name), &row);
    EXPECT_EQ(FormatOfKind(KindOf(row)), &row);
    for (const std::string& ext : row.Extensions) {
      std::string upper = "/x/NAME" + ext;
      for (char& c : upper) c = char(std::toupper((unsigned char)c));
      EXPECT_EQ(FormatOfName(upper), &row) << upper;
      EXPECT_EQ(FormatExtensionOf("/x/n" + ext), ext);
    }
  }
  // Whole extensions only, the longest winning; a bare multi-dot extension names nothing.
  const std::pair<const char*, const char*> names[] = {
      {"a.tar.gz", "tgz"},    {"a.TGZ", "tgz"},   {"a.tar", "tar"},    {"a.lha", "lzh"},
      {".tar.gz", nullptr},   {"a.gz", "libarc"}, {".gz", nullptr},    {"a.ta", nullptr},
      {"a.zip.txt", nullptr}, {"zip", nullptr},   {"a.tar.XZ", "txz"}, {"a.tar.Z", "libarc"}};
  for (const auto& [name, kind] : names) {
    const TFormatRow* row = FormatOfName(name);
    EXPECT_EQ(row ? row->Name.c_str() : nullptr, kind ? FormatNamed(kind)->Name.c_str() : nullptr) << name;
  }
  // Readers by detected type (no file needed where the row accepts every file of its types).
  const std::pair<TArcType, const char*> types[] = {
      {atZip, "zip"},       {atZipExe, "zip"}, {atZipMV, "zip"},  {atJar, "zip"}, {atLha, "lzh"},
      {atLzhExe, "lzh"},    {atCab, "cab"},    {atCabExe, "cab"}, {atTar, "tar"}, {atNA, nullptr},
      {atUnknown, nullptr}, {atRar, nullptr},  {atArj, nullptr}};
  for (const auto& [type, kind] : types) {
    const TFormatRow* row = ReaderFormatFor(type, "/nonexistent");
    EXPECT_EQ(row ? row->Name : "-", kind ? kind : "-") << GetArcTypeValueName(type);
  }
  // A gzip file is a tgz only when it holds a tar.
  EXPECT_EQ(ReaderFormatFor(atGZip, "/nonexistent"), nullptr);
  // Method keywords: each once, each selecting its own method in every row that has it.
  const auto all = AllMethodKeywords();
  EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), all.size());
  for (const TFormatRow& row : Formats())
    for (const TMethodKeyword& m : row.Methods) {
      auto w = row.NewWriter();
      w->SetCompressMethod(m.Method);
      EXPECT_EQ(w->CompressMethod(), m.Method) << row.Name << ' ' << m.Keyword;
    }
}

}  // namespace

// Every kind's method names through the one entry point: the readers' own tables, the frame's
// for the kinds brel only detects.
TEST(Formats, MethodNames) {
  struct TCase {
    TArcType Type;
    int Method;
    uint16_t Flags, Magic;
    const char* Name;
  };
  const TCase cases[] = {
      {atZip, 0, 0, 0, "Stored"},          {atZipExe, 8, 0, 0, "DeflateN"},
      {atZip, 8, 2, 0, "DeflateX"},        {atJar, 8, 4, 0, "DeflateF"},
      {atZip, 8, 6 | 1, 0, "DeflateS"},    {atZip, 9, 2, 0, "Def-64X"},
      {atZip, 5, 0, 0, "Reduce-4"},        {atZip, 10, 0, 0, "DCL-implode"},
      {atZip, 98, 0, 0, "PPMd"},           {atLha, '5', 0, 0, "Frozen-5"},
      {atLzh, '0', 0, 0, "Stored"},        {atLha, '8', 0, 0, "Unsupported"},
      {atCab, 0x1503, 0, 0, "Lzx"},        {atCab, 7, 0, 0, "Lzx7"},
      {atCab, 1, 0, 0, "MsZIP"},           {atGZip, 8, 0, 0, "Deflate"},
      {atGZip, 3, 0, 0x1F1E, "PackMAGIC"}, {atGZip, 3, 0, 0, "Unsupported"},
      {atTar, 0, 0, 0, "Tarred"},          {atArc, 11, 0, 0, "Stored"},
      {atArc, 0, 0, 0, "Unsupported"},     {atArj, 2, 0, 0, "2nd Most"},
      {atBh, 8, 4, 0, "DeflateF"},         {atHA, 14, 0, 0, "<Dir>"},
      {atPak, 9, 0, 0, "Varible"},         {atRar, '3', 0, 0, "Normal"},
      {atRar, '3', 0x10, 0, "<Dir>"},      {atZoo, 2, 0, 0, "Greatest"},
      {atUUE, 0, 0, 0, "Unsupported"},     {atAce, 4, 0, 0, "Best"},
      {atLzhExe, 'x', 0, 0, "lhx"},        {atZip, 99, 0, 0, "AES"},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(MethodName(c.Type, c.Method, c.Flags, c.Magic), c.Name) << GetArcTypeValueName(c.Type) << ' ' << c.Method;
}

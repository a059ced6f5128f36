// ZIP records: layouts checked by peer tools, the end-record search with its state bits and
// offset correction, extra fields (Zip64 and 0x0064), scrambled headers, long names.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "archive/core/qrvZipRecords.h"
#include "core/test_ziprecords_builder.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::HaveTool;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::Testdata;
using testsupport::WriteFile;

const std::vector<TTestZipEntry> kTwo = {{"a.txt", "alpha\n", "", ""}, {"dir/b.txt", "bravo bravo\n", "", ""}};

TZipLocation Locate(const std::string& bytes) {
  TTestMemStream s(bytes);
  TZipLocation loc;
  LocateEndRecord(s, loc);
  return loc;
}

TEST(ZipRecords, LayoutsAreWhatPeerToolsRead) {
  if (!HaveTool("unzip")) GTEST_SKIP() << "unzip missing";
  TempDir t("zrec");
  WriteFile(t / "a.zip", BuildTestZip(kTwo, {.Comment = "note"}));
  const auto r = testsupport::Run({"unzip", "-t", (t / "a.zip").string()});
  EXPECT_EQ(r.status, 0) << r.out;
  const auto l = testsupport::Run({"unzip", "-Z", "-v", (t / "a.zip").string()});
  EXPECT_NE(l.out.find("dir/b.txt"), std::string::npos);
  EXPECT_NE(l.out.find("offset of local header from start of archive:   41"), std::string::npos) << l.out;
}

TEST(ZipRecords, RecordsRoundTrip) {
  CentralDirHeader c;
  c.Flags = 0x0809;
  c.Method = 8;
  c.DosDateTime = 0x12345678;
  c.Crc32 = 0xCAFEBABE;
  c.PackedSize = 0x01020304;
  c.UnpackedSize = 0x05060708;
  c.NameLen = 300;
  c.ExtraLen = 10;
  c.CommentLen = 7;
  c.DiskStart = 2;
  c.ExternalAttr = 0x20;
  c.LocalOffset = 0xA0B0C0D0;
  uint8_t b[CentralHeaderSize];
  c.Store(b);
  EXPECT_EQ(GetLE32(b + 42), 0xA0B0C0D0u);
  EXPECT_EQ(GetLE16(b + 28), 300);
  CentralDirHeader d;
  d.Load(b);
  uint8_t again[CentralHeaderSize];
  d.Store(again);
  EXPECT_EQ(std::memcmp(b, again, sizeof b), 0);

  EndOfCentralDir e;
  e.Signature = sigLargeEndOfCentralDir;
  e.DirOffset = 0x123456789AULL;
  e.CommentLen = 5;
  uint8_t eb[LargeEndRecordSize];
  e.Store(eb);
  EXPECT_EQ(GetLE64(eb + 16), 0x123456789AULL);
  EXPECT_EQ(GetLE16(eb + 24), 5);
  EndOfCentralDir f;
  f.Load(eb);
  EXPECT_TRUE(f.Large());
  EXPECT_EQ(f.DirOffset, e.DirOffset);
}

TEST(ZipRecords, PlainArchive) {
  const std::string zip = BuildTestZip(kTwo);
  const TZipLocation loc = Locate(zip);
  EXPECT_EQ(loc.State, htsEndRecord | htsCentralHeader | htsLocalHeader);
  EXPECT_EQ(loc.StartPos, int64_t(zip.size()) - 22 - loc.DirSize);
  EXPECT_EQ(loc.Correction, 0);
  EXPECT_EQ(loc.AfterEnd, int64_t(zip.size()));
  EXPECT_EQ(loc.End.TotalEntries, 2);
  EXPECT_EQ(ZipArchiveStart(loc), 0);
}

// The tail window is 32768 bytes; the end record must start at its second byte or later.
TEST(ZipRecords, CommentLimitOfTheTailSearch) {
  const std::string fits = BuildTestZip(kTwo, {.Comment = std::string(32745, 'c')});
  const TZipLocation a = Locate(fits);
  EXPECT_TRUE(a.State & htsCentralHeader);
  EXPECT_EQ(a.End.CommentLen, 32745);

  const std::string beyond = BuildTestZip(kTwo, {.Comment = std::string(32746, 'c')});
  const TZipLocation b = Locate(beyond);
  EXPECT_EQ(b.State, htsLocalHeader);  // sequential local-header mode
  EXPECT_EQ(b.StartPos, 0);
}

TEST(ZipRecords, EmptyArchives) {
  EndOfCentralDir e;
  uint8_t b[EndRecordSize];
  e.Store(b);
  const std::string only(reinterpret_cast<char*>(b), sizeof b);
  const TZipLocation a = Locate(only);  // nothing but the end record: a valid empty archive
  EXPECT_EQ(a.StartPos, 0);
  EXPECT_EQ(a.State, htsEndRecord);
  EXPECT_EQ(Locate("").StartPos, 0);

  const TZipLocation c = Locate(BuildTestZip({}, {.Comment = "empty", .Stub = "stub"}));
  EXPECT_EQ(c.State, htsEndRecord);
  EXPECT_EQ(c.StartPos, 4);  // an empty directory where the end record is
}

// Stubs: stored offsets ignoring the stub (cat stub a.zip) and counting it (SFX builders).
TEST(ZipRecords, PrependedStub) {
  const std::string stub = "MZ" + std::string(19998, '\0');
  for (bool large : {false, true}) {
    const TZipLocation raw = Locate(BuildTestZip(kTwo, {.Stub = stub, .Large = large}));
    EXPECT_EQ(raw.State, htsEndRecord | htsCentralHeader | htsLocalHeader) << large;
    EXPECT_EQ(raw.Correction, 20000);
    EXPECT_EQ(raw.FirstLocal, 20000);
    EXPECT_EQ(ZipArchiveStart(raw), 20000);

    const TZipLocation adj = Locate(BuildTestZip(kTwo, {.Stub = stub, .AdjustOffsets = true, .Large = large}));
    EXPECT_EQ(adj.Correction, 0);
    EXPECT_EQ(adj.StartPos, raw.StartPos);
    EXPECT_EQ(ZipArchiveStart(adj), 20000);
  }
  // The libarchive sample: 1,024 bytes of other data, offsets not adjusted.
  TFileStream32 f(Testdata("zip/test_read_format_zip_sfx").string(), fmOpenRead);
  TZipLocation loc;
  LocateEndRecord(f, loc);
  EXPECT_EQ(loc.Correction, 1024);
  EXPECT_EQ(ZipArchiveStart(loc), 1024);
}

TEST(ZipRecords, ScrambledHeaders) {
  const std::string zip = BuildTestZip(kTwo, {.Scramble = true});
  EXPECT_EQ(zip.substr(0, 4), std::string("PL\x03\x04"));
  const TZipLocation loc = Locate(zip);
  EXPECT_TRUE(loc.EndScrambled);
  EXPECT_EQ(loc.State, htsEndRecord | htsCentralHeader | htsLocalHeader);
  TTestMemStream s(zip);
  s.SetPosition(loc.StartPos);
  TZipCentralRecord c;
  ASSERT_TRUE(ReadCentralRecord(s, c));
  EXPECT_TRUE(c.Scrambled);
  EXPECT_EQ(c.Name, "a.txt");
  ASSERT_TRUE(ReadCentralRecord(s, c));
  EXPECT_EQ(c.Name, "dir/b.txt");
  s.SetPosition(c.LocalOffset());
  TZipLocalRecord l;
  ASSERT_TRUE(ReadLocalRecord(s, l));
  EXPECT_EQ(l.Name, "dir/b.txt");
  EXPECT_EQ(l.UnpackedSize(), 12);
}

// Zip64 end records as Info-ZIP writes them (-fz), also behind a stub.
TEST(ZipRecords, Zip64EndRecords) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip missing";
  TempDir t("z64");
  WriteFile(t / "a.txt", "hello\n");
  ASSERT_EQ(testsupport::Run({"zip", "-q", "-fz", "out.zip", "a.txt"}, t.path()).status, 0);
  const std::string zip = ReadFile(t / "out.zip");
  for (const std::string& stub : {std::string(), std::string(3000, 'x')}) {
    const TZipLocation loc = Locate(stub + zip);
    EXPECT_EQ(loc.State, htsEndRecord | htsZip64Locator | htsZip64Record | htsCentralHeader | htsLocalHeader);
    EXPECT_EQ(loc.Correction, int64_t(stub.size()));
    TTestMemStream s(stub + zip);
    s.SetPosition(loc.StartPos);
    TZipCentralRecord c;
    ASSERT_TRUE(ReadCentralRecord(s, c));
    EXPECT_EQ(c.Name, "a.txt");
    EXPECT_EQ(c.UnpackedSize(), 6);
  }
}

// A plain end record holding nothing but placeholders (0xFFFF disks and counts, 0xFFFFFFFF size
// and offset) in front of a valid Zip64 one: peers read it as one volume, and so does brel,
// behind a stub too.
TEST(ZipRecords, PlaceholdersTakeTheZip64Values) {
  REQUIRE_TOOLS("unzip", "7z");
  TempDir t("z64p");
  for (const std::string& stub : {std::string(), std::string(3000, 'x')}) {
    const std::string zip = BuildTestZip(kTwo, {.Stub = stub, .Zip64Placeholders = true});
    const TZipLocation loc = Locate(zip);
    EXPECT_EQ(loc.End.ThisDisk, 0);
    EXPECT_EQ(loc.End.DirDisk, 0);
    EXPECT_EQ(loc.End.TotalEntries, 2);
    EXPECT_EQ(loc.End.DirOffset + uint64_t(loc.Correction), uint64_t(loc.StartPos));
    const std::string a = (t / "a.zip").string();
    WriteFile(a, zip);
    // Peers take the placeholders too (with a stub they warn about the shifted offsets).
    for (const char* peer : {"unzip", "7z"}) {
      if (!stub.empty()) break;
      const auto r = testsupport::Run(std::string(peer) == "7z" ? std::vector<std::string>{"7z", "t", a}
                                                                : std::vector<std::string>{"unzip", "-t", a});
      EXPECT_EQ(r.status, 0) << peer << r.out;
    }
    const auto out = t / "out";
    fs::remove_all(out);
    const auto x = testsupport::RunCli({"x", "-q", "-o", out.string(), a});
    EXPECT_EQ(x.status, 0) << x.out;
    EXPECT_EQ(ReadFile(out / "dir/b.txt"), "bravo bravo\n");
    WriteFile(t / "c.txt", "charlie");
    EXPECT_EQ(testsupport::RunCli({"a", "-q", a, (t / "c.txt").string()}).status, 0);
    EXPECT_EQ(testsupport::RunCli({"t", "-q", a}).status, 0);
    EXPECT_NE(testsupport::RunCli({"l", a}).out.find("dir/b.txt"), std::string::npos);
  }
}

// The libarchive samples carry Zip64 sizes in the local extra field (streamed entries).
TEST(ZipRecords, Zip64ExtraOfTheTestArchives) {
  for (const char* name : {"zip/test_read_format_zip_zip64a.zip", "zip/test_read_format_zip_zip64b.zip"}) {
    TFileStream32 f(Testdata(name).string(), fmOpenRead);
    TZipLocalRecord l;
    ASSERT_TRUE(ReadLocalRecord(f, l)) << name;
    EXPECT_EQ(l.Name, "-");
    EXPECT_EQ(l.Header.PackedSize, 0u) << name;  // the 8-byte value replaced 0xFFFFFFFF
    EXPECT_EQ(l.Hi.Packed, 0);
    TZipLocation loc;
    LocateEndRecord(f, loc);
    f.SetPosition(loc.StartPos);
    TZipCentralRecord c;
    ASSERT_TRUE(ReadCentralRecord(f, c));
    EXPECT_EQ(c.PackedSize(), 8);
    EXPECT_EQ(c.UnpackedSize(), 6);
  }
}

std::string Block(uint16_t id, const std::string& data) {
  uint8_t h[4];
  PutLE16(h, id);
  PutLE16(h + 2, uint16_t(data.size()));
  return std::string(reinterpret_cast<char*>(h), 4) + data;
}

std::string LE64(uint64_t v) {
  uint8_t b[8];
  PutLE64(b, v);
  return std::string(reinterpret_cast<char*>(b), 8);
}

TEST(ZipRecords, ExtraFields) {
  // Central: only the fields holding 0xFFFFFFFF have values, in the order unpacked, packed,
  // offset; bits 32-47 become the high parts.
  CentralDirHeader c;
  c.PackedSize = 0xFFFFFFFF;
  c.LocalOffset = 0xFFFFFFFF;
  c.UnpackedSize = 77;
  TZipHighParts hi;
  ParseExtraField(Block(0x7075, "xyz") + Block(xfZip64, LE64(0x2'0000'0010ULL) + LE64(0x1'0000'000AULL)), c, hi);
  EXPECT_EQ(c.PackedSize, 0x10u);
  EXPECT_EQ(hi.Packed, 2);
  EXPECT_EQ(c.LocalOffset, 0x0Au);
  EXPECT_EQ(hi.Offset, 1);
  EXPECT_EQ(c.UnpackedSize, 77u);

  // 0x0064: 6 bytes in a central header, 4 in a local one; an entry 10 bytes past 4 GiB.
  LargeSizeExtra big;
  big.Hi = {3, 4, 1};
  uint8_t cb[LargeSizeExtra::CentralBlockSize], lb[LargeSizeExtra::LocalBlockSize];
  big.StoreCentral(cb);
  big.StoreLocal(lb);
  EXPECT_EQ(GetLE16(cb + 2), 6);
  EXPECT_EQ(GetLE16(lb + 2), 4);
  TZipCentralRecord r;
  r.Header.LocalOffset = 10;
  ParseExtraField(std::string(reinterpret_cast<char*>(cb), sizeof cb), r.Header, r.Hi);
  EXPECT_EQ(r.LocalOffset(), (int64_t(1) << 32) + 10);
  EXPECT_EQ(r.Hi.Packed, 3);
  LocalFileHeader l;
  TZipHighParts lh;
  ParseExtraField(std::string(reinterpret_cast<char*>(lb), sizeof lb), l, lh);
  EXPECT_EQ(lh.Unpacked, 4);
  EXPECT_EQ(lh.Offset, 0);

  // Blocks claiming more than the field holds are cut there; nothing is read beyond it.
  LocalFileHeader t;
  t.UnpackedSize = 0xFFFFFFFF;
  TZipHighParts th;
  const std::string cut = Block(xfZip64, LE64(5)).substr(0, 9);
  ParseExtraField(cut, t, th);
  EXPECT_EQ(t.UnpackedSize, 0xFFFFFFFFu);
  ParseExtraField(Block(0x9999, "").substr(0, 3), t, th);
  std::string overlong = Block(0x9999, "abc");
  PutLE16(reinterpret_cast<uint8_t*>(overlong.data()) + 2, 60000);
  ParseExtraField(overlong + Block(xfLargeSize, std::string(4, '\x01')), t, th);
  EXPECT_EQ(th.Packed, 0);  // the 0x0064 block lies inside the claimed length: skipped
}

// A 300-byte name is kept whole, and the extra field after it is still found.
TEST(ZipRecords, LongNameKeepsItsExtraField) {
  const std::string name(300, 'n');
  LargeSizeExtra big;
  big.Hi = {0, 7, 0};
  uint8_t lb[8], cb[10];
  big.StoreLocal(lb);
  big.StoreCentral(cb);
  const std::string zip = BuildTestZip(
      {{name, "data", std::string(reinterpret_cast<char*>(lb), 8), std::string(reinterpret_cast<char*>(cb), 10)},
       {"next", "x", "", ""}});
  const TZipLocation loc = Locate(zip);
  TTestMemStream s(zip);
  s.SetPosition(loc.StartPos);
  TZipCentralRecord c;
  ASSERT_TRUE(ReadCentralRecord(s, c));
  EXPECT_EQ(c.Name, name);
  EXPECT_EQ(c.Hi.Unpacked, 7);
  ASSERT_TRUE(ReadCentralRecord(s, c));  // the next header is where the lengths say
  EXPECT_EQ(c.Name, "next");
  s.SetPosition(0);
  TZipLocalRecord l;
  ASSERT_TRUE(ReadLocalRecord(s, l));
  EXPECT_EQ(l.Name, name);
  EXPECT_EQ(l.Hi.Unpacked, 7);
  EXPECT_EQ(l.DataPosition(), 30 + 300 + 8);
}

TEST(ZipRecords, TruncatedRecordsAreNoRecords) {
  const std::string zip = BuildTestZip(kTwo);
  for (size_t cut : {size_t(3), size_t(29), size_t(31), size_t(34)}) {
    TTestMemStream s(zip.substr(0, cut));
    TZipLocalRecord l;
    EXPECT_FALSE(ReadLocalRecord(s, l)) << cut;
  }
  TTestMemStream s(zip);
  TZipCentralRecord c;
  EXPECT_FALSE(ReadCentralRecord(s, c));  // a local header is not a central one
}

}  // namespace

// Records parsed where they lie in memory are those the stream readers give, in records reused
// from a longer one (nothing of it may stay): Zip64 extras, long and empty names, and every
// sample archive's directory.
TEST(ZipRecords, LoadedFromMemoryAsRead) {
  std::vector<std::string> zips = {
      BuildTestZip({{"a.txt", "alpha\n", "", ""},
                    {std::string(300, 'n'), "x", "", Block(0x0001, LE64(7) + LE64(5))},
                    {"", "", "", ""}})};
  for (const char* name : {"zip/test_read_format_zip_zip64a.zip", "zip/test_read_format_zip_zip64b.zip",
                           "zip/test_read_format_zip_comment_stored_1.zip"})
    if (fs::exists(Testdata(name))) zips.push_back(ReadFile(Testdata(name)));
  for (const std::string& zip : zips) {
    const TZipLocation loc = Locate(zip);
    TTestMemStream s(zip);
    const auto* bytes = reinterpret_cast<const uint8_t*>(zip.data());
    TZipCentralRecord read, loaded;
    loaded.Name = loaded.Comment = std::string(500, 'z');
    loaded.Hi.Packed = 99;
    for (int64_t pos = loc.StartPos; s.SetPosition(pos), ReadCentralRecord(s, read); pos = read.NextPosition()) {
      LoadCentralRecord(bytes + pos, pos, loaded);
      EXPECT_TRUE(loaded.Name == read.Name && loaded.Extra == read.Extra && loaded.Comment == read.Comment);
      EXPECT_TRUE(loaded.Position == read.Position && loaded.NextPosition() == read.NextPosition());
      EXPECT_TRUE(loaded.PackedSize() == read.PackedSize() && loaded.UnpackedSize() == read.UnpackedSize() &&
                  loaded.LocalOffset() == read.LocalOffset() && loaded.Header.Crc32 == read.Header.Crc32);
      TZipLocalRecord local, fixed;
      fixed.Name = "left over";
      const int64_t at = read.LocalOffset() + loc.Correction;
      s.SetPosition(at);
      ASSERT_TRUE(ReadLocalRecord(s, local));
      LoadLocalFixed(bytes + at, at, fixed);
      EXPECT_TRUE(fixed.Name.empty() && fixed.DataPosition() == local.DataPosition() &&
                  fixed.Header.DosDateTime == local.Header.DosDateTime);
    }
  }
}

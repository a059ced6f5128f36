// The ZIP writer: method and level choice, headers, names, encryption, updates that keep old
// entries byte for byte, renames, deletes, comments and the end records of large archives.
#include <gtest/gtest.h>

#include <zlib.h>

#include "archive/core/qrvBase.h"
#include "archive/zip/qrvUnZip.h"
#include "platform/CodePage.h"
#include "support/TestSupport.h"
#include "core/test_ziprecords_builder.h"
#include "zip/test_zipwriter_util.h"

using namespace testsupport;
using namespace zipwritertest;

namespace {

// Inflates raw deflate data.
std::string Inflate(const std::string& In, size_t Size) {
  std::string out(Size, '\0');
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(In.data()));
  z.avail_in = uInt(In.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  const int rc = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  return rc == Z_STREAM_END ? out.substr(0, z.total_out) : std::string("<inflate failed>");
}

// The plain data of an entry: deciphered with Password when encrypted, inflated when deflated.
std::string Contents(const std::string& Zip, const TZipCentralRecord& R, const std::string& Password = {}) {
  std::string data = EntryBytes(Zip, R).substr(LocalHeaderSize + R.Header.NameLen);
  const uint16_t extra = GetLE16(reinterpret_cast<const uint8_t*>(Zip.data() + R.LocalOffset() + 28));
  data = data.substr(extra);
  if (R.Header.Flags & gpEncrypted) {
    TZipCipher c;
    c.Init(Password);
    c.Decrypt(data.data(), data.size());
    if (uint8_t(data[11]) != uint8_t(R.Header.Crc32 >> 24)) return "<bad check byte>";
    data = data.substr(12);
  }
  return R.Header.Method == 8 ? Inflate(data, size_t(R.UnpackedSize())) : data;
}

struct ZipWriter : ::testing::Test {
  TempDir T{"zw"};
  ScopedEnv Trash = PrivateTrash(T);
  TZip Z;
  Errors E;
  void SetUp() override {
    Prepare(Z, T);
    E.Attach(Z);
  }
  std::string Zip() { return ReadFile(T / "a.zip"); }
};

}  // namespace

TEST_F(ZipWriter, MethodChoicePerFile) {
  struct Case {
    const char* Name;
    std::string Data;
    uint16_t Method;
  };
  const Case cases[] = {
      {"empty.txt", "", 0},
      {"r100.bin", RandomBytes(100, 1), 0},  // deflate expands a small file: stored
      {"r300.bin", RandomBytes(300, 2), 8},  // at 257 bytes and more deflate stays
      {"text.txt", TextBytes(5000, 3), 8},
      {"inner.ZIP", TextBytes(5000, 4), 0},    // StoreFilesOfType
      {"tiny.txt", std::string(200, 'a'), 8},  // small but compressible
  };
  for (const Case& c : cases) WriteFile(T / "src" / c.Name, c.Data);
  ASSERT_EQ(Z.Compress(), 6);
  const std::string zip = Zip();
  const auto dir = Directory((T / "a.zip").string());
  ASSERT_EQ(dir.size(), 6u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto* r = Find(dir, c.Name);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Header.Method, c.Method);
    EXPECT_EQ(r->Header.Crc32, Crc32Of(c.Data.data(), c.Data.size()));
    EXPECT_EQ(r->UnpackedSize(), int64_t(c.Data.size()));
    EXPECT_EQ(Contents(zip, *r), c.Data);
    // Every central header: made by Unix 2.0 with the file's mode, needed 20, internal
    // attributes 1, archive bit.
    EXPECT_EQ(r->Header.VersionMadeBy, 0x0314);
    EXPECT_EQ(r->Header.ExternalAttr >> 16, unsigned(0100000 | unsigned(fs::status(T / "src" / c.Name).permissions())));
    EXPECT_EQ(r->Header.VersionNeeded, 20);
    EXPECT_EQ(r->Header.InternalAttr, 1);
    EXPECT_EQ(r->Header.ExternalAttr & 0x20u, 0x20u);
  }
}

TEST_F(ZipWriter, DeflateTypeFlagsAndStoreMethod) {
  WriteFile(T / "src" / "t.txt", TextBytes(20000, 5));
  const std::pair<TDeflateType, uint16_t> levels[] = {{dtDeflateF, 4}, {dtDeflateN, 0}, {dtDeflateX, 2}};
  for (const auto& [type, bits] : levels) {
    Z.DeflateType = type;
    std::filesystem::remove(T / "a.zip");
    ASSERT_EQ(Z.Compress(), 1);
    const auto dir = Directory((T / "a.zip").string());
    ASSERT_EQ(dir.size(), 1u);
    EXPECT_EQ(dir[0].Header.Method, 8);
    EXPECT_EQ(dir[0].Header.Flags & 6, bits);
  }
  Z.SetCompressMethod(cmStore);
  std::filesystem::remove(T / "a.zip");
  ASSERT_EQ(Z.Compress(), 1);
  const auto dir = Directory((T / "a.zip").string());
  EXPECT_EQ(dir[0].Header.Method, 0);
  EXPECT_EQ(dir[0].Header.Flags & 6, 0);  // stored entries carry no deflate bits
}

TEST_F(ZipWriter, EncryptionAndEmptyFiles) {
  const std::string big = TextBytes(10000, 6), small = RandomBytes(100, 7), mid = std::string(150, 'z');
  WriteFile(T / "src" / "big.txt", big);
  WriteFile(T / "src" / "small.bin", small);
  WriteFile(T / "src" / "mid.txt", mid);
  WriteFile(T / "src" / "empty.txt", "");
  Z.Password = "sesame";
  ASSERT_EQ(Z.Compress(), 4);
  const std::string zip = Zip();
  const auto dir = Directory((T / "a.zip").string());
  const auto* e = Find(dir, "empty.txt");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->Header.Flags & gpEncrypted, 0);  // an empty file is never encrypted
  EXPECT_EQ(e->Header.Method, 0);
  EXPECT_EQ(e->Header.Crc32, 0u);
  EXPECT_EQ(e->PackedSize(), 0);
  for (const auto& [name, data] : {std::pair{"big.txt", big}, {"small.bin", small}, {"mid.txt", mid}}) {
    SCOPED_TRACE(name);
    const auto* r = Find(dir, name);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(r->Header.Flags & gpEncrypted);
    EXPECT_EQ(Contents(zip, *r, "sesame"), data);
  }
  EXPECT_EQ(Find(dir, "small.bin")->Header.Method, 0);  // stored after deflate expanded it
  EXPECT_EQ(Find(dir, "small.bin")->PackedSize(), 112);
}

TEST_F(ZipWriter, NamesUtf8ByDefaultCp932OnRequest) {
  WriteFile(T / "src" / "日本語.txt", "a");
  WriteFile(T / "src" / "한국어.txt", "b");
  WriteFile(T / "src" / "sub" / "plain.txt", "c");
  for (const bool cp932 : {false, true}) {
    SCOPED_TRACE(cp932 ? "cp932" : "utf8");
    fs::remove(T / "a.zip");
    Z.Cp932Names = cp932;
    ASSERT_EQ(Z.Compress(), 3);
    const auto dir = Directory((T / "a.zip").string());
    const auto* jp = Find(dir, cp932 ? *Utf8ToCp932("日本語.txt") : "日本語.txt");
    ASSERT_NE(jp, nullptr);
    EXPECT_EQ(jp->Header.Flags & gpUtf8Name, cp932 ? 0 : gpUtf8Name);
    // A CP932 name carries its UTF-8 form for readers that do not guess CP932.
    EXPECT_EQ(ZipEntryName(jp->Name, jp->Header.Flags, jp->Extra, false), "日本語.txt");
    const auto* kr = Find(dir, "한국어.txt");  // CP932 cannot hold it: UTF-8 with bit 11
    ASSERT_NE(kr, nullptr);
    EXPECT_EQ(kr->Header.Flags & gpUtf8Name, gpUtf8Name);
    EXPECT_NE(Find(dir, "sub/plain.txt"), nullptr);
  }
}

TEST_F(ZipWriter, UpdateKeepsOldEntriesByteForByte) {
  WriteFile(T / "src" / "one.txt", TextBytes(3000, 8));
  WriteFile(T / "src" / "two.bin", RandomBytes(4000, 9));
  WriteFile(T / "src" / "sub" / "three.txt", TextBytes(50, 10));
  Z.SetArchiveComment("archive note");
  ASSERT_EQ(Z.Compress(), 3);
  const std::string before = Zip();
  const auto oldDir = Directory((T / "a.zip").string());

  WriteFile(T / "src" / "four.txt", TextBytes(700, 11));
  TZip U;
  Prepare(U, T);
  Errors e2;
  e2.Attach(U);
  ASSERT_EQ(U.Compress(), 1);
  const std::string after = ReadFile(T / "a.zip");
  const auto newDir = Directory((T / "a.zip").string());
  ASSERT_EQ(newDir.size(), 4u);
  for (const auto& r : oldDir) {
    SCOPED_TRACE(r.Name);
    const auto* n = Find(newDir, r.Name);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->LocalOffset(), r.LocalOffset());
    EXPECT_EQ(EntryBytes(after, *n), EntryBytes(before, r));
  }
  // The new entry follows the old ones and precedes the new directory; the comment stays.
  const auto* four = Find(newDir, "four.txt");
  ASSERT_NE(four, nullptr);
  EXPECT_EQ(four->LocalOffset(), oldDir.front().Position);
  EXPECT_EQ(after.substr(after.size() - 12), "archive note");
  EXPECT_TRUE(e2.Codes.empty());
}

TEST_F(ZipWriter, DeleteRenameAndRemoveAll) {
  WriteFile(T / "src" / "a.txt", "alpha");
  WriteFile(T / "src" / "b.log", TextBytes(1000, 12));
  WriteFile(T / "src" / "c.txt", "gamma");
  ASSERT_EQ(Z.Compress(), 3);
  const std::string before = Zip();
  const auto b = *Find(Directory((T / "a.zip").string()), "b.log");

  // A kept entry renamed through OnRenameDupeFile keeps its data; the file is added again.
  TZip R;
  Prepare(R, T);
  R.FileSpec = {(T / "src" / "b.log").string()};
  R.OnRenameDupeFile = [](TZipCommon*, const std::string&, std::string& NewName, bool&) { NewName = "old-b.log"; };
  ASSERT_EQ(R.Compress(), 1);
  const std::string renamed = Zip();
  auto dir = Directory((T / "a.zip").string());
  ASSERT_EQ(dir.size(), 4u);
  const auto* old = Find(dir, "old-b.log");
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(EntryBytes(renamed, *old).substr(LocalHeaderSize + 9), EntryBytes(before, b).substr(LocalHeaderSize + 5));
  EXPECT_EQ(Contents(renamed, *old), TextBytes(1000, 12));

  TZip D;
  Prepare(D, T);
  D.Switch = swDelete;
  D.FileSpec = {"*.txt"};
  int deleted = 0;
  D.OnDeleteFile = [&](TZipCommon*, const std::string&, int, int) { ++deleted; };
  ASSERT_EQ(D.Compress(), 2);
  EXPECT_EQ(deleted, 2);
  dir = Directory((T / "a.zip").string());
  ASSERT_EQ(dir.size(), 2u);
  EXPECT_EQ(Contents(Zip(), *Find(dir, "b.log")), TextBytes(1000, 12));

  D.FileSpec = {"*"};
  ASSERT_EQ(D.Compress(), 2);
  std::string empty(22, '\0');
  PutLE32(reinterpret_cast<uint8_t*>(empty.data()), sigEndOfCentralDir);
  EXPECT_EQ(Zip(), empty);
  // An emptied archive can be added to again.
  ASSERT_EQ(Z.Compress(), 3);
  EXPECT_EQ(Directory((T / "a.zip").string()).size(), 3u);
}

TEST_F(ZipWriter, EncryptHeadersScramblesEveryRecord) {
  WriteFile(T / "src" / "secret-name.txt", TextBytes(500, 13));
  Z.EncryptHeaders = true;
  ASSERT_EQ(Z.Compress(), 1);
  const std::string zip = Zip();
  EXPECT_EQ(zip.find("secret-name"), std::string::npos);
  EXPECT_EQ(zip.substr(0, 4), std::string("PL\x03\x04", 4));
  const auto dir = Directory((T / "a.zip").string());  // the reader unscrambles
  ASSERT_EQ(dir.size(), 1u);
  EXPECT_EQ(dir[0].Name, "secret-name.txt");
  EXPECT_TRUE(dir[0].Scrambled);
  // An update reads the scrambled archive and keeps its entry.
  WriteFile(T / "src" / "more.txt", "m");
  ASSERT_EQ(Z.Compress(), 1);
  EXPECT_EQ(Directory((T / "a.zip").string()).size(), 2u);
}

TEST_F(ZipWriter, EntryAndArchiveComments) {
  WriteFile(T / "src" / "a.txt", "alpha");
  WriteFile(T / "src" / "b.txt", "beta");
  ASSERT_EQ(Z.Compress(), 2);
  const std::string data = Zip();
  TZip C;
  Prepare(C, T);
  ASSERT_TRUE(C.LoadCommentList());
  ASSERT_EQ(C.CommentCount(), 2);
  std::string name;
  EXPECT_EQ(C.EntryComment(1, name), "");
  EXPECT_EQ(name, "b.txt");
  C.SetEntryComment(1, "about b");
  C.SetArchiveComment("the archive");
  ASSERT_TRUE(C.WriteComments());
  const auto dir = Directory((T / "a.zip").string());
  EXPECT_EQ(Find(dir, "b.txt")->Comment, "about b");
  EXPECT_EQ(Find(dir, "a.txt")->Comment, "");
  const std::string after = Zip();
  EXPECT_EQ(after.substr(0, size_t(dir[0].Position)), data.substr(0, size_t(dir[0].Position)));
  EXPECT_EQ(after.substr(after.size() - 11), "the archive");
}

// The trailer of a list whose entries sit beyond 4 GiB or outnumber the end record's counters.
struct TrailerZip : TZipBase {
  using TZipBase::WriteTrailer;
};

TEST(ZipWriterTrailer, LargeOffsetsAndManyEntries) {
  TempDir t("zwt");
  TrailerZip z;
  TCompHeaderObj list;
  auto row = [&](const std::string& name, int64_t at) {
    TCompRow r;
    r.Action = eaCopy;
    r.Name = name;
    r.OutOffset = at;
    auto d = std::make_shared<TZipRowData>();
    d->RawName = name;
    r.Data = d;
    list.Add(r);
  };
  row("low", 0);
  row("high", (int64_t(1) << 32) + 10);
  {
    // A sparse file puts the directory past 4 GiB: Zip64 end record, locator and offsets.
    TFileStream32 out((t / "big.zip").string(), fmCreate);
    out.SetSize((int64_t(1) << 32) + 100);
    ASSERT_TRUE(z.WriteTrailer(out, list));
  }
  TFileStream32 in((t / "big.zip").string(), fmOpenRead);
  TZipLocation loc;
  const int64_t start = LocateEndRecord(in, loc);
  EXPECT_FALSE(loc.End.Large());
  EXPECT_TRUE(loc.State & htsZip64Record);
  EXPECT_EQ(loc.End.DirOffset, (uint64_t(1) << 32) + 100);  // from the Zip64 record
  EXPECT_EQ(start, (int64_t(1) << 32) + 100);
  in.SetPosition(start);
  TZipCentralRecord a, b;
  ASSERT_TRUE(ReadCentralRecord(in, a));
  ASSERT_TRUE(ReadCentralRecord(in, b));
  EXPECT_EQ(a.Header.ExtraLen, 0);
  EXPECT_EQ(b.Header.ExtraLen, 12);  // a Zip64 block with the offset alone
  EXPECT_EQ(b.Header.VersionNeeded, 45);
  EXPECT_EQ(b.LocalOffset(), (int64_t(1) << 32) + 10);
  in.Close();
  std::filesystem::remove(t / "big.zip");

  list = TCompHeaderObj{};
  for (int i = 0; i < 70000; ++i) row("f" + std::to_string(i), 0);
  TMemoryStream32 mem;
  ASSERT_TRUE(z.WriteTrailer(mem, list));
  TZipLocation l2;
  LocateEndRecord(mem, l2);
  EXPECT_TRUE(l2.State & htsZip64Record);
  EXPECT_TRUE(l2.State & htsCentralHeader);
  EXPECT_EQ(l2.End.TotalEntries, 0xFFFF);
}

// The writer reads an old entry's name as the reader does, through an Info-ZIP Unicode Path field.
TEST_F(ZipWriter, OldNamesComeThroughTheUnicodePathField) {
  const std::string raw = "x.txt", real = "\xC3\xBCn\xC3\xAF.txt";  // "ünï.txt"
  std::string field = "\x75\x70??\x01????" + real;
  PutLE16(reinterpret_cast<uint8_t*>(field.data() + 2), uint16_t(5 + real.size()));
  PutLE32(reinterpret_cast<uint8_t*>(field.data() + 5), Crc32Of(raw.data(), raw.size()));
  WriteFile(T / "a.zip", BuildTestZip({{raw, "data", field, field}, {"keep.txt", "k", "", ""}}));
  Z.Switch = swDelete;
  Z.FileSpec = {real};
  EXPECT_EQ(Z.Compress(), 1);
  const auto dir = Directory((T / "a.zip").string());
  ASSERT_EQ(dir.size(), 1u);
  EXPECT_EQ(dir[0].Name, "keep.txt");
}

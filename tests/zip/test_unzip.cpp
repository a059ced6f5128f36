// The ZIP reader on archives built field by field: names that try to leave the output folder,
// planted links, CRC checks after skipped entries, passwords, methods, displaced headers,
// stubs, archives without a directory, damaged and random input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bzlib.h>
#include <lzma.h>
#include <zstd.h>

#include "platform/Trash.h"
#include "test_unzip_builder.h"

using namespace testsupport;

namespace {

std::string Write(const TempDir& T, const std::string& Bytes, const std::string& Name = "a.zip") {
  WriteFile(T / Name, Bytes);
  return (T / Name).string();
}

}  // namespace

// No stored name may produce an output outside the output folder.
TEST(UnZip, NamesNeverLeaveTheOutputFolder) {
  const struct {
    const char* Stored;
    const char* Expected;  // relative to the output folder
  } cases[] = {
      {"../evil.txt", "evil.txt"},       {"a/../../b/evil.txt", "a/b/evil.txt"},
      {"/etc/evil.txt", "etc/evil.txt"}, {"C:\\dir\\evil.txt", "dir/evil.txt"},
      {"C:evil.txt", "evil.txt"},        {"..\\..\\evil.txt", "evil.txt"},
      {"./x/./evil.txt", "x/evil.txt"},
  };
  for (const auto& c : cases) {
    TempDir t;
    const std::string out = (t / "deep/out").string();
    TReaderRun r(Write(t, BuildZip({{c.Stored, "payload"}})), out);
    EXPECT_EQ(r.Zip.Extract(), 1) << c.Stored;
    EXPECT_EQ(ReadFile(fs::path(out) / c.Expected), "payload") << c.Stored;
    const auto tree = ReadTree(t.path());
    for (const auto& [name, data] : tree)
      EXPECT_TRUE(name == "a.zip" || name.rfind("deep/", 0) == 0) << c.Stored << " wrote " << name;
  }
}

// A link already in the output tree is never written through, neither as a folder on the way
// nor as the target file itself.
TEST(UnZip, LinksInTheOutputTreeAreNotFollowed) {
  TempDir t;
  const fs::path out = t / "out", outside = t / "outside";
  fs::create_directories(out);
  fs::create_directories(outside);
  WriteFile(outside / "victim.txt", "original");
  fs::create_directory_symlink(outside, out / "dirlink");
  fs::create_symlink(outside / "victim.txt", out / "filelink");
  TReaderRun r(Write(t, BuildZip({{"dirlink/victim.txt", "evil"}, {"filelink", "evil"}})), out.string());
  r.Zip.Extract();
  EXPECT_EQ(ReadFile(outside / "victim.txt"), "original");
  EXPECT_FALSE(fs::is_symlink(out / "filelink"));
  EXPECT_EQ(ReadFile(out / "filelink"), "evil");
  EXPECT_EQ(r.Count(ecOpenFile), 1);
}

// An entry whose output cannot be opened, or whose password is unknown, fails its check even
// when its stored CRC equals the running value the previous entry left.
TEST(UnZip, SkippedEntriesAlwaysFailTheirCheck) {
  TempDir t;
  const std::string good = "first entry";
  const uint32_t crc = Crc32Of(good.data(), good.size());
  TZipSpec blocked{"blocked", "other data"};
  blocked.Crc = crc;
  TZipSpec locked{"locked", "secret"};
  locked.Password = "pw";
  const fs::path out = t / "out";
  fs::create_directories(out / "blocked");  // a folder where the file should go
  TReaderRun r(Write(t, BuildZip({{"good", good}, blocked, {"good2", good}, locked})), out.string());
  std::vector<std::pair<std::string, bool>> ends;
  r.Zip.OnEnd = [&](TZipCommon*, const std::string& F, bool Pass) { ends.emplace_back(fs::path(F).filename(), Pass); };
  r.Zip.Extract();
  const std::vector<std::pair<std::string, bool>> want = {
      {"good", true}, {"blocked", false}, {"good2", true}, {"locked", false}};
  EXPECT_EQ(ends, want);
  EXPECT_EQ(r.Count(ecEventNotAssigned), 1);  // OnGetPassword
  EXPECT_FALSE(fs::exists(out / "locked"));
}

TEST(UnZip, PasswordsFromListHandlerAndRefusal) {
  TempDir t;
  TZipSpec a{"a.txt", TextBytes(5000, 1), 8};
  a.Password = "right";
  TZipSpec b{"b.txt", "stored secret"};
  b.Password = "right";
  const std::string zip = Write(t, BuildZip({a, b}));
  {  // from Passwords: both entries open, the password becomes current
    TReaderRun r(zip, (t / "o1").string());
    r.Zip.Passwords = {"wrong", "right"};
    EXPECT_EQ(r.Zip.Extract(), 2);
    EXPECT_TRUE(r.Reports.empty());
    EXPECT_EQ(ReadFile(t / "o1/a.txt"), a.Data);
    EXPECT_EQ(ReadFile(t / "o1/b.txt"), b.Data);
    EXPECT_EQ(r.Zip.Password, "right");
  }
  {  // asked once, then kept at the front of Passwords
    TReaderRun r(zip, (t / "o2").string());
    int asked = 0;
    r.Zip.OnGetPassword = [&](TZipCommon*, const std::string&, std::string& P, bool&) { ++asked, P = "right"; };
    r.Zip.Extract();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(r.Zip.Passwords.front(), "right");
    EXPECT_EQ(ReadFile(t / "o2/b.txt"), b.Data);
  }
  {  // wrong answers: 26517 per attempt, then once for every other encrypted entry, which is
     // not asked for again; no CRC failure on top of it
    TReaderRun r(zip, (t / "o3").string());
    int asked = 0;
    r.Zip.OnGetPassword = [&](TZipCommon*, const std::string&, std::string& P, bool&) { ++asked, P = "nope"; };
    r.Zip.Extract();
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(r.Count(ecInvalidPassword), 4);
    EXPECT_EQ(r.Count(ecCrcCheck), 0);
    for (const auto& report : r.Reports) EXPECT_EQ(report.ExtendedMsg.find("nope"), std::string::npos);
  }
}

// The library methods' streams as other programs write them (ZIP's LZMA: version, properties
// size, properties, then LZMA1 data with an end marker).
std::string LibCompress(uint16_t Method, const std::string& In) {
  std::string out(In.size() * 2 + 1024, '\0');
  size_t n = 0;
  if (Method == 12) {
    unsigned len = unsigned(out.size());
    BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(In.data()), unsigned(In.size()), 9, 0, 0);
    n = len;
  } else if (Method == 93) {
    n = ZSTD_compress(out.data(), out.size(), In.data(), In.size(), 3);
  } else if (Method == 95) {
    lzma_easy_buffer_encode(6, LZMA_CHECK_CRC32, nullptr, reinterpret_cast<const uint8_t*>(In.data()), In.size(),
                            reinterpret_cast<uint8_t*>(out.data()), &n, out.size());
  } else if (Method == 14) {
    lzma_options_lzma opt;
    lzma_lzma_preset(&opt, 6);
    lzma_filter f[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    uint8_t props[5];
    lzma_properties_encode(f, props);
    out.replace(0, 9, std::string("\x10\x02\x05\x00", 4) + std::string(reinterpret_cast<char*>(props), 5));
    n = 9;
    lzma_raw_buffer_encode(f, nullptr, reinterpret_cast<const uint8_t*>(In.data()), In.size(),
                           reinterpret_cast<uint8_t*>(out.data()), &n, out.size());
  }
  out.resize(n);
  return out;
}

// Method codes: every decoded method round trips; damage fails the check; methods and
// encryption this reader lacks are reported once, by name, and get no output file.
TEST(UnZip, MethodsAndDamage) {
  const std::string text = TextBytes(70000, 7);
  const std::string deflated = RawDeflate(text);
  std::string flipped = deflated;
  flipped[flipped.size() / 2] ^= 0x55;
  auto half = [](const std::string& S) { return S.substr(0, S.size() / 2); };
  const struct {
    uint16_t Method;
    std::string Payload;
    int32_t Code;  // expected report, 0 none
    uint16_t Flags = 0;
    const char* Why = "";
  } cases[] = {
      {8, deflated, 0},
      {8, flipped, ecCrcCheck},
      {8, half(deflated), ecCrcCheck},
      {0, text.substr(0, 100), ecCrcCheck},  // stored, packed size differs from the size
      {12, LibCompress(12, text), 0},
      {12, half(LibCompress(12, text)), ecCrcCheck},
      {14, LibCompress(14, text), 0, 2},
      {14, half(LibCompress(14, text)), ecCrcCheck, 2},
      {14, LibCompress(14, text).substr(0, 6), ecCrcCheck, 2},  // header cut short
      {93, LibCompress(93, text), 0},
      {93, half(LibCompress(93, text)), ecCrcCheck},
      {95, LibCompress(95, text), 0},
      {95, deflated, ecCrcCheck},
      {7, deflated, ecUnsupportedMethod, 0, "method 7"},
      {98, deflated, ecUnsupportedMethod, 0, "PPMd"},
      {8, deflated, ecUnsupportedMethod, 0x41, "strong encryption"},
      {9, "\x03\x00", ecCrcCheck},  // Deflate64 of an empty stream: wrong size
  };
  for (const auto& c : cases) {
    TempDir t;
    TZipSpec e{"f.bin", text, c.Method};
    e.RawPayload = c.Payload;
    e.Flags = c.Flags;
    TReaderRun r(Write(t, BuildZip({e})), (t / "o").string());
    r.Zip.Extract();
    if (c.Code == 0) {
      EXPECT_TRUE(r.Reports.empty()) << c.Method;
      EXPECT_EQ(ReadFile(t / "o/f.bin"), text) << c.Method;
    } else {
      EXPECT_EQ(r.Count(c.Code), 1) << "method " << c.Method;
    }
    if (c.Code == ecUnsupportedMethod) {  // reported once, by name, no output file
      ASSERT_EQ(r.Reports.size(), 1u);
      EXPECT_NE(r.Reports[0].ExtendedMsg.find(c.Why), std::string::npos) << r.Reports[0].ExtendedMsg;
      EXPECT_FALSE(fs::exists(t / "o/f.bin"));
    }
  }
  {  // WinZip AES (method 99, encrypted): unsupported, never taken for a wrong password
    TempDir t;
    TZipSpec e{"aes.bin", text, 99};
    e.RawPayload = deflated;
    e.Flags = gpEncrypted;
    TReaderRun r(Write(t, BuildZip({e})), (t / "o").string());
    r.Zip.Passwords = {"right"};
    r.Zip.Extract();
    EXPECT_EQ(r.Count(ecUnsupportedMethod), 1);
    EXPECT_EQ(r.Reports.size(), 1u);
  }
}

// Where the local headers are: behind a stub, displaced, or without a directory at all.
TEST(UnZip, LocatingLocalHeaders) {
  const std::vector<TZipSpec> plain = {{"one.txt", "1111"}, {"two.txt", TextBytes(3000, 2), 8}};
  struct {
    const char* What;
    std::string Bytes;
    std::vector<std::string> Extracted;
    int Bad;  // 25115 reports
  } cases[] = {
      {"stub", BuildZip(plain, {std::string(20000, 'S'), false, false}), {"one.txt", "two.txt"}, 0},
      {"stub counted", BuildZip(plain, {std::string(20000, 'S'), true, false}), {"one.txt", "two.txt"}, 0},
      {"first displaced",
       [] {
         std::vector<TZipSpec> v = {{"one.txt", "1111"}, {"two.txt", "2222"}};
         v[0].Displace = 100;
         v[1].StatedShift = 100;
         return BuildZip(v);
       }(),
       {"one.txt", "two.txt"},
       0},
      {"later displaced",
       [] {
         std::vector<TZipSpec> v = {{"one.txt", "1111"}, {"two.txt", "2222"}};
         v[1].Displace = 100;
         return BuildZip(v);
       }(),
       {"one.txt"},
       1},
      {"no directory", BuildZip(plain, {"", false, true}), {"one.txt", "two.txt"}, 0},
  };
  for (auto& c : cases) {
    TempDir t;
    TReaderRun r(Write(t, c.Bytes), (t / "o").string());
    r.Zip.Extract();
    std::vector<std::string> got;
    for (const auto& [name, data] : ReadTree(t / "o")) got.push_back(name);
    EXPECT_EQ(got, c.Extracted) << c.What;
    EXPECT_EQ(r.Count(ecBadLocalHeaderOffset), c.Bad) << c.What;
    EXPECT_EQ(r.Count(ecCrcCheck), 0) << c.What;
  }
}

TEST(UnZip, NoDirectoryAndACancellingHandlerReadsNothing) {
  TempDir t;
  TReaderRun r(Write(t, BuildZip({{"one.txt", "1"}}, {"", false, true})), (t / "o").string());
  THeaderTypeState seen = 0;
  r.Zip.OnCorruptZipHeader = [&](TZipCommon*, THeaderTypeState S, bool&) { seen = S; };
  EXPECT_EQ(r.Zip.Extract(), 0);
  EXPECT_EQ(seen, htsLocalHeader);
  EXPECT_FALSE(fs::exists(t / "o/one.txt"));
}

// A local header with CRC 0 (sizes in a data descriptor) is checked against the directory.
TEST(UnZip, LocalCrcZeroUsesTheDirectory) {
  TempDir t;
  TZipSpec e{"d.txt", TextBytes(4000, 3), 8};
  e.LocalCrcZero = true;
  e.Flags = gpDataDescriptor;
  TReaderRun r(Write(t, BuildZip({e})), (t / "o").string());
  r.Zip.ExtractMode = xmTest;
  EXPECT_EQ(r.Zip.Extract(), 1);
  EXPECT_TRUE(r.Reports.empty());
  EXPECT_FALSE(fs::exists(t / "o"));  // testing writes nothing
}

TEST(UnZip, ZipCmntBufSizeIsClamped) {
  TUnZip z;
  for (auto [set, get] : {std::pair{100, 2000}, {40000, 32767}, {32000, 32000}}) {
    z.SetZipCmntBufSize(set);
    EXPECT_EQ(z.ZipCmntBufSize(), get);
  }
}

TEST(UnZip, StoredNamesToUtf8) {
  const std::string raw = "\x95\x5c.txt";  // CP932 for 表, with a 0x5C trail byte
  auto unicodeField = [](const std::string& Raw, const std::string& Utf8, uint32_t Crc) {
    std::string f = "\x75\x70";
    f += char(5 + Utf8.size()), f += '\0', f += '\1';
    for (int i = 0; i < 4; ++i) f += char(Crc >> (8 * i));
    return f + Utf8;
  };
  const uint32_t crc = Crc32Of(raw.data(), raw.size());
  const struct {
    std::string Raw;
    uint16_t Flags;
    std::string Extra;
    std::string Want;
  } cases[] = {
      {"plain/a.txt", 0, "", "plain/a.txt"},
      {"\xe8\xa1\xa8.txt", gpUtf8Name, "", "\xe8\xa1\xa8.txt"},
      {"\xe8\xa1\xa8.txt", 0, "", "\xe8\xa1\xa8.txt"},  // UTF-8 without the flag
      {raw, 0, "", "\xe8\xa1\xa8.txt"},                 // CP932
      {raw, 0, unicodeField(raw, "uni.txt", crc), "uni.txt"},
      {raw, 0, unicodeField(raw, "uni.txt", crc ^ 1), "\xe8\xa1\xa8.txt"},  // stale field ignored
      {"\x80\xff", 0, "", "\xc3\x87\xc2\xa0"},                              // neither: CP437
  };
  for (const auto& c : cases) EXPECT_EQ(ZipEntryName(c.Raw, c.Flags, c.Extra, true), c.Want) << c.Want;
}

// Names that read alike from different bytes (UTF-8 and CP437 "é") never merge; the same bytes
// twice stay one name. --names picks the code page in the reader commands.
TEST(UnZip, NamesNeverMergeAndTheirCodePageCanBeGiven) {
  TempDir t;
  const std::string zip =
      Write(t, BuildZip({{"\xc3\xa9.txt", "utf8"}, {"\x82.txt", "cp437"}, {"\x83\x65.txt", "kana"}}));
  TReaderRun r(zip, (t / "o").string());
  r.Zip.Extract();
  EXPECT_TRUE(r.Reports.empty());
  EXPECT_EQ(ReadTree(t / "o"),
            (std::map<std::string, std::string>{{"é.txt", "utf8"}, {"é~2.txt", "cp437"}, {"テ.txt", "kana"}}));
  EXPECT_NE(RunCli({"l", zip}).out.find("テ.txt"), std::string::npos);
  EXPECT_NE(RunCli({"l", "--names", "cp437", zip}).out.find("âe.txt"), std::string::npos);
  EXPECT_EQ(RunCli({"x", "-q", "--names", "cp437", "-o", (t / "p").string(), zip, "âe.txt"}).status, 0);
  EXPECT_EQ(ReadFile(t / "p/âe.txt"), "kana");
  EXPECT_EQ(RunCli({"t", "--names", "no-such-code-page", zip}).status, 2);
}

// Truncated, flipped and random archives end without a crash or a hang (ASan and UBSan watch).
TEST(UnZip, HostileArchivesNeverCrash) {
  TempDir t;
  TZipSpec enc{"e.txt", TextBytes(3000, 4), 8};
  enc.Password = "pw";
  const std::string base =
      BuildZip({{"a/", ""}, {"a/b.txt", TextBytes(20000, 5), 8}, {"c.bin", RandomBytes(3000, 6)}, enc});
  std::vector<std::string> inputs;
  for (size_t cut = 0; cut < base.size(); cut += 97) inputs.push_back(base.substr(0, cut));
  for (uint32_t seed = 0; seed < 150; ++seed) {
    std::string m = base;
    const std::string r = RandomBytes(8, seed);
    for (int i = 0; i < 4; ++i) m[(uint8_t(r[i]) * 131 + seed * 977) % m.size()] ^= char(r[4 + i] | 1);
    inputs.push_back(m);
  }
  for (uint32_t seed = 0; seed < 20; ++seed) inputs.push_back("PK\x03\x04" + RandomBytes(200 + seed * 50, seed));
  for (const std::string& in : inputs) {
    TempDir u;
    TReaderRun r(Write(u, in), (u / "o").string());
    r.Zip.Passwords = {"pw"};
    r.Zip.Extract();
    r.Zip.ExtractMode = xmTest;
    r.Zip.Extract();
    const auto tree = ReadTree(u.path());
    for (const auto& [name, data] : tree) EXPECT_TRUE(name == "a.zip" || name.rfind("o/", 0) == 0) << name;
  }
}

// A NUL byte in a stored name (local or central name, Unicode Path field) refuses that entry
// with 25245 before any other check: the file system would read "..<NUL>" as "..".
TEST(UnZip, NamesHoldingNulAreRefused) {
  const std::string evil("..\0/..\0/x.txt", 13);
  std::string unicode = std::string("\x75\x70", 2) + char(5 + evil.size()) + '\0' + '\1';
  const uint32_t crc = Crc32Of("plain.txt", 9);
  for (int i = 0; i < 4; ++i) unicode += char(crc >> (8 * i));
  unicode += evil;
  TZipSpec viaUnicode{"plain.txt", "bad"};
  viaUnicode.CentralExtra = unicode;
  const struct {
    const char* What;
    TZipSpec Entry;
    bool NoCentral;
  } cases[] = {
      {"central name", {evil, "bad"}, false},
      {"local name", {evil, "bad"}, true},
      {"Unicode Path", viaUnicode, false},
  };
  for (const auto& c : cases) {
    TempDir t;
    TReaderRun r(Write(t, BuildZip({c.Entry, {"good.txt", "good"}}, {.NoCentral = c.NoCentral})),
                 (t / "a/b/out").string());
    r.Zip.Extract();
    EXPECT_EQ(r.Count(ecInvalidFileName), 1) << c.What;
    EXPECT_EQ(r.Reports.size(), c.NoCentral ? 2u : 1u) << c.What;  // and 25259 without a directory
    EXPECT_EQ(ReadTree(t.path()), (std::map<std::string, std::string>{{"a.zip", ReadFile(t / "a.zip")},
                                                                      {"a/", ""},
                                                                      {"a/b/", ""},
                                                                      {"a/b/out/", ""},
                                                                      {"a/b/out/good.txt", "good"}}))
        << c.What;
  }
}

// TrashChanged: a file the user changed goes to the Trash before the entry replaces it; a file
// identical in size and date to the entry is simply replaced.
TEST(UnZip, TrashChangedKeepsEditedFiles) {
  TempDir t;
  const std::string zip = Write(t, BuildZip({{"a.txt", "archived"}, {"b.txt", "same"}}));
  const fs::path out = t / "out";
  auto run = [&] {
    TReaderRun r(zip, out.string());
    r.Zip.TrashChanged = true;
    EXPECT_EQ(r.Zip.Extract(), 2);
    EXPECT_TRUE(r.Reports.empty());
    return r.Zip.TrashedFiles();
  };
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(run(), 0);
  WriteFile(out / "a.txt", "edited");
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(ReadFile(out / "a.txt"), "archived");
  EXPECT_EQ(ReadFile(fs::path(HomeTrashDir()) / "files" / "a.txt"), "edited");
}

// Entries that share bytes (one local header, or one entry inside another's data) are a known
// zip-bomb shape: reported once, none of them extracted; the others still are, also when a mask
// leaves the other party of an overlap out. Legitimate archives list their entries in any order.
TEST(UnZip, OverlappingEntriesAreRefused) {
  const std::string innerRecord = BuildZip({{"x", "inner"}}).substr(0, LocalHeaderSize + 1 + 5);
  auto shifted = [](TZipSpec S, uint32_t Shift) { return S.StatedShift = Shift, S; };
  auto reversedDirectory = [](std::string Zip, size_t FirstLen, size_t SecondLen) {
    const size_t dir = GetLE32(reinterpret_cast<const uint8_t*>(Zip.data() + Zip.size() - 6));
    const std::string a = Zip.substr(dir, FirstLen), b = Zip.substr(dir + FirstLen, SecondLen);
    return Zip.replace(dir, FirstLen + SecondLen, b + a);
  };
  const std::string ab = BuildZip({{"a.txt", "aaaa"}, {"b.txt", "bbbb"}, {"c.txt", "cccc"}});
  const std::string shared =
      BuildZip({{"a.txt", "aaaa"}, shifted({"b.txt", "aaaa"}, LocalHeaderSize + 5 + 4), {"c.txt", "cccc"}});
  const std::string inner =
      BuildZip({{"o.bin", innerRecord}, shifted({"x", "inner"}, uint32_t(innerRecord.size())), {"c.txt", "cccc"}});
  const size_t entryLen = CentralHeaderSize + 5;
  const struct {
    const char* What;
    std::string Zip;
    std::vector<std::string> Mask, Extracted;
    bool Refused;
  } cases[] = {
      {"one local header", shared, {"*"}, {"c.txt"}, true},
      {"inside another's data", inner, {"*"}, {"c.txt"}, true},
      {"directory out of order", reversedDirectory(ab, entryLen, entryLen), {"*"}, {"a.txt", "b.txt", "c.txt"}, false},
      {"out of order, one local header", reversedDirectory(shared, entryLen, entryLen), {"*"}, {"c.txt"}, true},
      {"only the later of one local header", shared, {"b.txt", "c.txt"}, {"c.txt"}, true},
      {"only the outer entry", inner, {"o.bin"}, {}, true},
      {"only entries apart", shared, {"c.txt"}, {"c.txt"}, false},
  };
  for (const auto& c : cases) {
    TempDir t;
    TReaderRun r(Write(t, c.Zip), (t / "o").string());
    r.Zip.FileSpec = c.Mask;
    r.Zip.Extract();
    std::vector<std::string> got;
    for (const auto& [name, data] : ReadTree(t / "o")) got.push_back(name);
    EXPECT_EQ(got, c.Extracted) << c.What;
    EXPECT_EQ(r.Reports.size(), c.Refused ? 1u : 0u) << c.What;
    if (c.Refused && !r.Reports.empty()) {
      EXPECT_EQ(r.Reports[0].Code, ecBadLocalHeaderOffset);
      EXPECT_NE(r.Reports[0].ExtendedMsg.find("overlapped"), std::string::npos);
    }
  }
}

// An archive of nothing but its end record (22 bytes) is valid and empty, as 7z and bsdtar read
// it: listed, tested and extracted with nothing to do and no error.
TEST(UnZip, AnArchiveOfOnlyItsEndRecordIsEmpty) {
  TempDir t;
  const std::string zip = Write(t, BuildZip({}));
  ASSERT_EQ(ReadFile(zip).size(), size_t(EndRecordSize));
  const std::vector<std::vector<std::string>> runs = {{"l", zip}, {"t", zip}, {"x", "-o", (t / "o").string(), zip}};
  for (const auto& args : runs) {
    const CommandResult r = RunCli(args);
    EXPECT_EQ(r.status, 0) << args[0] << "\n" << r.out;
    EXPECT_NE(r.out.find("0 entries"), std::string::npos) << args[0] << "\n" << r.out;
  }
}

// Deflate64 decoder: archives written by 7-Zip (shared samples and made here) and hand-built
// streams for the boundaries that encoders rarely reach.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "archive/zip/qrvInflate64.h"
#include "zip/zip_test_util.h"

using namespace testsupport;
using namespace ziptest;
namespace fs = std::filesystem;

namespace {

// A dynamic block header whose code-length code gives each of the lengths 0 to 15 a 4-bit code.
void PutDynamicHeader(BitWriter& w, const std::vector<uint8_t>& lit, const std::vector<uint8_t>& dist) {
  static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  w.Put(static_cast<uint32_t>(lit.size() - 257), 5);
  w.Put(static_cast<uint32_t>(dist.size() - 1), 5);
  w.Put(19 - 4, 4);
  for (int sym : order) w.Put(sym < 16 ? 4 : 0, 3);
  for (uint8_t len : lit) w.PutCode(len, 4);
  for (uint8_t len : dist) w.PutCode(len, 4);
}

void PutStored(BitWriter& w, bool last, const std::string& data) {
  w.Put(last, 1);
  w.Put(0, 2);
  w.AlignToByte();
  w.Put(static_cast<uint32_t>(data.size()), 16);
  w.Put(static_cast<uint32_t>(~data.size()) & 0xFFFF, 16);
  for (char c : data) w.PutByte(static_cast<uint8_t>(c));
}

// Fixed-code helpers (RFC 1951 3.2.6).
void PutFixedLiteral(BitWriter& w, unsigned sym) {
  if (sym < 144)
    w.PutCode(0x30 + sym, 8);
  else if (sym < 256)
    w.PutCode(0x190 + sym - 144, 9);
  else if (sym < 280)
    w.PutCode(sym - 256, 7);
  else
    w.PutCode(0xC0 + sym - 280, 8);
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + i / 251) & 0xFF);
  return s;
}

Decoded Inflate(const std::string& data, size_t pieces = 1u << 30) { return Decode(9, 0, data, -1, pieces); }

// Literal 'a', then length code 285 with extra 65535 at distance 1: 65539 bytes of 'a'.
std::string LongestMatchStream() {
  BitWriter w;
  w.Put(1, 1);
  w.Put(1, 2);
  PutFixedLiteral(w, 'a');
  PutFixedLiteral(w, 285);
  w.Put(0xFFFF, 16);
  w.PutCode(0, 5);
  PutFixedLiteral(w, 256);
  return w.Bytes();
}

// 65536 bytes in two stored blocks, then a dynamic block with 32 distance codes that copies
// 3 bytes from distance 65536 (code 31 with extra 16383).
std::string FarthestDistanceStream() {
  std::string p = Pattern(65536);
  BitWriter w;
  PutStored(w, false, p.substr(0, 65535));
  PutStored(w, false, p.substr(65535));
  w.Put(1, 1);
  w.Put(2, 2);
  std::vector<uint8_t> lit(286, 0);
  lit[256] = lit[257] = lit[258] = lit[259] = 2;  // 256: 00, 257: 01, 258: 10, 259: 11
  PutDynamicHeader(w, lit, std::vector<uint8_t>(32, 5));
  w.PutCode(1, 2);  // 257: length 3
  w.PutCode(31, 5);
  w.Put(16383, 14);
  w.PutCode(0, 2);  // end of block
  return w.Bytes();
}

}  // namespace

TEST(Inflate64, SharedSampleMatches7Zip) {
  std::string zip = Testdata("zip/deflate64.zip");
  Entry e = FindEntry(zip, "binary.wmv");
  ASSERT_EQ(e.Method, 9);
  Decoded d = Decode(e);
  ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
  EXPECT_EQ(d.Output.size(), static_cast<size_t>(e.UncompressedSize));
  EXPECT_EQ(Crc32(d.Output), e.Crc);
  TempDir tmp;
  if (!SevenZipExtract(zip, tmp.path())) GTEST_SKIP() << "7-Zip not available";
  EXPECT_TRUE(d.Output == ReadFile(tmp.path() / "binary.wmv"));
}

TEST(Inflate64, DamagedSampleEndsWithError) {
  // A fuzzed archive that claims 4 GB of compressed data and holds 34 bytes.
  std::vector<Entry> all = ReadEntries(Testdata("zip/deflate64_small.zip"));
  ASSERT_EQ(all.size(), 1u);
  Decoded d = Decode(all[0]);
  EXPECT_FALSE(d.Status.Ok());
}

TEST(Inflate64, ArchivesMadeBy7Zip) {
  std::string tool = SevenZip();
  if (tool.empty()) GTEST_SKIP() << "7-Zip not available";
  TempDir tmp;
  std::mt19937 rng(5);
  std::map<std::string, std::string> files;
  static const char* words[] = {"archive ", "window ",  "deflate ",  "block ",      "the ",       "of ",
                                "and ",     "length\n", "distance ", "sixty-four ", "kilobytes ", "code "};
  for (std::string& s = files["text.txt"]; s.size() < 300000;) s += words[rng() % 12];
  for (std::string& s = files["binary.bin"]; s.size() < 200000;) s.push_back(static_cast<char>(rng() >> 5));
  std::string far(40000, '\0');
  for (char& c : far) c = static_cast<char>(rng());
  std::string rep = far + far + std::string(100000, 'x') + far;
  for (int i = 0; i < 50; ++i) rep += far.substr(1000, 1000);
  // Matches beyond 32 KiB, and runs far longer than 258 (which 7-Zip still codes as matches of
  // at most 258: the hand-built streams below cover the longer ones).
  files["repeat.bin"] = rep + far;
  files["empty.txt"] = "";
  std::vector<std::string> argv = {tool, "a", "-tzip", "-mm=Deflate64", "-mx=9", "d64.zip"};
  for (auto& [name, data] : files) {
    WriteFile(tmp.path() / "in" / name, data);
    argv.push_back("in/" + name);
  }
  ASSERT_EQ(testsupport::Run(argv, tmp.path()).status, 0);
  std::string zip = (tmp.path() / "d64.zip").string();
  ASSERT_TRUE(SevenZipExtract(zip, tmp.path() / "out"));
  std::vector<Entry> entries = ReadEntries(zip);
  ASSERT_EQ(entries.size(), files.size());
  for (const Entry& e : entries) {
    SCOPED_TRACE(e.Name);
    std::string expected = ReadFile(tmp.path() / "out" / e.Name);
    ASSERT_EQ(expected, files[fs::path(e.Name).filename().string()]);
    if (e.Method == 0) {  // 7-Zip stores what does not shrink
      EXPECT_EQ(e.Data, expected);
      continue;
    }
    ASSERT_EQ(e.Method, 9);
    for (size_t pieces : {size_t(1) << 30, size_t(7)}) {  // whole reads, and short ones
      Decoded d = Decode(9, e.Flags, e.Data, e.UncompressedSize, pieces);
      ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
      EXPECT_EQ(Crc32(d.Output), e.Crc);
      EXPECT_TRUE(d.Output == expected);
    }
  }
}

TEST(Inflate64, LengthCode285CopiesUpTo65538Bytes) {
  Decoded d = Inflate(LongestMatchStream());
  ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
  EXPECT_TRUE(d.Output == std::string(65539, 'a'));
}

TEST(Inflate64, DistanceCode31ReachesTheOldestByteWith32DistanceCodes) {
  std::string p = Pattern(65536);
  for (size_t pieces : {size_t(1) << 30, size_t(3)}) {
    Decoded d = Inflate(FarthestDistanceStream(), pieces);
    ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
    EXPECT_TRUE(d.Output == p + p.substr(0, 3));
  }
}

TEST(Inflate64, FixedBlockUsesDistanceCodes30And31) {
  // 7-Zip's encoder writes them in fixed blocks: code 30 with extra 0 after 32769 bytes of output.
  std::string p = Pattern(32769);
  BitWriter w;
  PutStored(w, false, p);
  w.Put(1, 1), w.Put(1, 2), PutFixedLiteral(w, 258), w.PutCode(30, 5), w.Put(0, 14);
  PutFixedLiteral(w, 256);
  Decoded d = Inflate(w.Bytes());
  ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
  EXPECT_TRUE(d.Output == p + p.substr(0, 4));
}

TEST(Inflate64, PlainDeflateRejectsDeflate64DistanceCodes) {
  // What the method 8 path (zlib) does with the same stream: 32 distance codes are refused.
  std::string in = FarthestDistanceStream();
  z_stream z{};
  ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
  std::string out(200000, '\0');
  z.next_in = reinterpret_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&z, Z_FINISH), Z_DATA_ERROR);
  inflateEnd(&z);
}

TEST(Inflate64, LoneDistanceCodeAndSingleLiteralCodeAreAccepted) {
  // Literal/length code: only the end code, length 1 (incomplete, as zlib allows); then a block
  // with one distance code of length 1.
  BitWriter w;
  w.Put(0, 1);
  w.Put(2, 2);
  std::vector<uint8_t> lit(257, 0);
  lit[256] = 1;
  PutDynamicHeader(w, lit, {0});
  w.PutCode(0, 1);
  w.Put(1, 1);
  w.Put(2, 2);
  std::vector<uint8_t> lit2(258, 0);
  lit2['z'] = 2;
  lit2[256] = 2;
  lit2[257] = 1;  // 257: 0, 'z': 10, 256: 11
  PutDynamicHeader(w, lit2, {1});
  w.PutCode(2, 2);  // 'z'
  w.PutCode(0, 1);  // length 3
  w.PutCode(0, 1);  // distance 1
  w.PutCode(3, 2);
  Decoded d = Inflate(w.Bytes());
  ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
  EXPECT_EQ(d.Output, "zzzz");
}

struct BadStream {
  const char* name;
  std::string data;
  TDecodeResult expected;
};

TEST(Inflate64, DamagedStreamsEndWithTheirOutcome) {
  std::vector<BadStream> cases;
  {
    BitWriter w;  // stored block, NLEN not the complement of LEN
    w.Put(1, 1), w.Put(0, 2), w.AlignToByte(), w.Put(5, 16), w.Put(0, 16);
    cases.push_back({"bad NLEN", w.Bytes() + "hello", drDataError});
  }
  {
    BitWriter w;
    w.Put(1, 1), w.Put(3, 2);
    cases.push_back({"block type 3", w.Bytes(), drDataError});
  }
  {
    BitWriter w;  // a match before any output
    w.Put(1, 1), w.Put(1, 2), PutFixedLiteral(w, 257), w.PutCode(0, 5), PutFixedLiteral(w, 256);
    cases.push_back({"distance too far", w.Bytes(), drDataError});
  }
  {
    BitWriter w;  // length symbol 286 of the fixed code
    w.Put(1, 1), w.Put(1, 2), PutFixedLiteral(w, 'a'), PutFixedLiteral(w, 286), w.Put(0, 16);
    cases.push_back({"length symbol 286", w.Bytes(), drDataError});
  }
  {
    BitWriter w;  // over-subscribed literal/length code
    w.Put(1, 1), w.Put(2, 2);
    std::vector<uint8_t> lit(257, 1);
    PutDynamicHeader(w, lit, {1});
    cases.push_back({"over-subscribed", w.Bytes() + std::string(8, '\0'), drDataError});
  }
  {
    BitWriter w;  // incomplete literal/length code with more than one symbol
    w.Put(1, 1), w.Put(2, 2);
    std::vector<uint8_t> lit(257, 0);
    lit[0] = 2, lit[256] = 2;
    PutDynamicHeader(w, lit, {1});
    cases.push_back({"incomplete literal code", w.Bytes() + std::string(8, '\0'), drDataError});
  }
  {
    // Repeat code 18 running past the 258 lengths of HLIT + HDIST: the code-length code gives
    // 0 and 18 one bit each (0: "0", 18: "1"), then 138 + 138 zeros are asked for.
    BitWriter w;
    w.Put(1, 1), w.Put(2, 2), w.Put(0, 5), w.Put(0, 5), w.Put(0, 4);
    w.Put(0, 3), w.Put(0, 3), w.Put(1, 3), w.Put(1, 3);  // lengths of 16, 17, 18, 0
    w.PutCode(1, 1), w.Put(127, 7), w.PutCode(1, 1), w.Put(127, 7);
    cases.push_back({"repeat past end", w.Bytes() + std::string(8, '\0'), drDataError});
  }
  {
    std::string s = LongestMatchStream();
    cases.push_back({"truncated", s.substr(0, s.size() - 2), drInputExhausted});
  }
  cases.push_back({"empty input", "", drInputExhausted});
  for (const BadStream& c : cases) {
    Decoded d = Inflate(c.data);
    EXPECT_EQ(d.Status.Result, c.expected) << c.name << ": " << d.Status.Reason;
    EXPECT_EQ(d.Status.ErrorCode, 0) << c.name;
  }
}

TEST(Inflate64, OutputStopsAtTheEntrysSize) {
  // A stream that decodes to more than the entry's stated size (a damaged entry, or one made to
  // fill the disk) ends there with a data error.
  Decoded d = Decode(9, 0, LongestMatchStream(), 1000);
  EXPECT_EQ(d.Status.Result, drDataError);
  EXPECT_EQ(d.Output, std::string(1000, 'a'));
  d = Decode(9, 0, LongestMatchStream(), 65539);
  EXPECT_TRUE(d.Status.Ok()) << d.Status.Reason;
}

TEST(Inflate64, WriteFailureAndCancelStopTheDecoder) {
  BitWriter w;  // 'a' and three matches of 65538: four output blocks
  w.Put(1, 1), w.Put(1, 2), PutFixedLiteral(w, 'a');
  for (int i = 0; i < 3; ++i) PutFixedLiteral(w, 285), w.Put(0xFFFF, 16), w.PutCode(0, 5);
  PutFixedLiteral(w, 256);
  std::string in = w.Bytes();
  Decoded capped = Decode(9, 0, in, -1, 1u << 30, 1000);
  EXPECT_EQ(capped.Status.Result, drWriteFailure);

  bool cancel = true;
  TDecoderIO io;
  io.Read = [&](uint8_t* buf, int64_t n) {
    std::copy_n(in.data(), std::min<int64_t>(n, in.size()), buf);
    return std::min<int64_t>(n, in.size());
  };
  int64_t written = 0;
  io.Write = [&](const uint8_t*, int64_t n) {
    written += n;
    return n;
  };
  io.CancelFlag = &cancel;
  io.CompressedSize = static_cast<int64_t>(in.size());
  EXPECT_EQ(Inflate64(io).Result, drCancelled);
  EXPECT_EQ(written, 0);

  // Cancelled by the sink's progress step after the first 64 KiB block: nothing more arrives.
  cancel = false;
  io.Write = [&](const uint8_t*, int64_t n) {
    written += n;
    cancel = true;
    return n;
  };
  EXPECT_EQ(Inflate64(io).Result, drCancelled);
  EXPECT_EQ(written, 65536);
}

TEST(Inflate64, DeciphersEachPieceAndReadsNoFurther) {
  // The reader hands out enciphered bytes (XOR here) and more data after the entry.
  Entry e = FindEntry(Testdata("zip/deflate64.zip"), "binary.wmv");
  std::string stored = e.Data;
  for (char& c : stored) c ^= 0x5A;
  stored += "trailing bytes of the next entry";
  size_t pos = 0;
  uint32_t crc = 0;
  int64_t pieces = 0;
  TDecoderIO io;
  io.Read = [&](uint8_t* buf, int64_t n) {
    EXPECT_LE(n, 32768);
    size_t k = std::min<size_t>(static_cast<size_t>(n), stored.size() - pos);
    std::copy_n(stored.data() + pos, k, buf);
    pos += k;
    ++pieces;
    return static_cast<int64_t>(k);
  };
  io.Decipher = [](uint8_t* buf, int64_t n) {
    for (int64_t i = 0; i < n; ++i) buf[i] ^= 0x5A;
  };
  io.Write = [&](const uint8_t* buf, int64_t n) {
    crc = static_cast<uint32_t>(crc32(crc, buf, static_cast<uInt>(n)));
    return n;
  };
  io.CompressedSize = e.CompressedSize;
  TDecodeStatus st = Inflate64(io);
  ASSERT_TRUE(st.Ok()) << st.Reason;
  EXPECT_EQ(crc, e.Crc);
  EXPECT_EQ(pos, e.Data.size());
  EXPECT_EQ(pieces, (e.CompressedSize + 32767) / 32768);
}

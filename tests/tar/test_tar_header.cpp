// The tar header format: numbers, checksums, long names, and the walk over archives with
// metadata records, zero blocks and damaged headers.
#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "tar_test_util.h"

using namespace tartest;

namespace {

std::vector<TTarEntry> Walk(const std::string& Archive, int* Bad = nullptr) {
  TMemoryStream32 s;
  s.WriteBuffer(Archive.data(), int64_t(Archive.size()));
  TTarWalker w(s);
  std::vector<TTarEntry> out;
  TTarEntry e;
  while (w.Next(e)) out.push_back(e);
  if (Bad) *Bad = w.BadHeaders();
  return out;
}

std::vector<std::string> Names(const std::vector<TTarEntry>& E) {
  std::vector<std::string> n;
  for (const auto& e : E) n.push_back(e.Name);
  return n;
}

}  // namespace

TEST(TarNumber, WritesOctalOrBase256AndReadsBack) {
  struct Case {
    int Width;
    uint64_t Value;
    std::string Expected;  // empty: base-256
  } cases[] = {
      {12, 0, std::string("00000000000\0", 12)},
      {12, 1, std::string("00000000001\0", 12)},
      {8, 2, std::string("0000002\0", 8)},
      {12, 077777777777ull, std::string("77777777777\0", 12)},
      {12, 1ull << 33, ""},  // 8 GiB does not fit 11 octal digits
      {8, 1ull << 21, ""},
  };
  for (const Case& c : cases) {
    uint8_t f[12] = {};
    TarPutNumber(f, c.Width, c.Value);
    if (!c.Expected.empty()) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(f), size_t(c.Width)), c.Expected) << c.Value;
    } else {
      EXPECT_EQ(f[0], 0x80) << c.Value;
    }
    int64_t back = -1;
    ASSERT_TRUE(TarGetNumber(f, c.Width, back));
    EXPECT_EQ(uint64_t(back), c.Value);
  }
}

TEST(TarNumber, ReadsLooseOctalAndRefusesHostileBase256) {
  struct Case {
    std::string Field;
    bool Ok;
    int64_t Value;
  } cases[] = {
      {std::string(" 123 \0 77", 9), true, 0123},  // stops at the NUL, skips spaces
      {std::string("\0\0\0\0\0\0\0\0", 8), true, 0},
      {"12345670", true, 012345670},  // no NUL: the whole field
      {std::string("\x80\0\0\0\0\0\0\x01", 8), true, 1},
      {std::string("\xff\xff\xff\xff\xff\xff\xff\xff", 8), false, 0},                   // negative
      {std::string("\x80\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff", 12), false, 0},  // > int64
  };
  for (const Case& c : cases) {
    int64_t v = -1;
    EXPECT_EQ(TarGetNumber(reinterpret_cast<const uint8_t*>(c.Field.data()), int(c.Field.size()), v), c.Ok);
    if (c.Ok) {
      EXPECT_EQ(v, c.Value);
    }
  }
}

TEST(TarHeader, BothChecksumFormsMatchTheSum) {
  TTarBlock h = Header("dir/file.txt", 1234);
  const uint32_t sum = TarChecksum(h);
  int64_t stored = 0;
  ASSERT_TRUE(TarGetNumber(h.data() + thChksum, twChksum, stored));
  EXPECT_EQ(stored, int64_t(sum));
  EXPECT_EQ(h[thChksum + 7], 0);
  TarPutChecksum(h, tcSixDigitsSpace);
  EXPECT_EQ(h[thChksum + 6], 0);
  EXPECT_EQ(h[thChksum + 7], ' ');
  ASSERT_TRUE(TarGetNumber(h.data() + thChksum, twChksum, stored));
  EXPECT_EQ(stored, int64_t(sum));
  EXPECT_TRUE(TarChecksumMatches(h));
  h[0] ^= 1;
  EXPECT_FALSE(TarChecksumMatches(h));
}

TEST(TarHeader, FieldsOfFilesAndDirectories) {
  TTarHeaderValues v;
  v.Name = "sub/";
  v.Typeflag = '5';
  v.UName = std::string(40, 'u');
  TTarBlock h;
  TarBuildHeader(h, v);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(h.data() + thMode), 8), std::string("0040555\0", 8));
  EXPECT_EQ(h[thTypeflag], '5');
  EXPECT_EQ(std::string(reinterpret_cast<char*>(h.data() + thSize), 12), std::string("00000000000\0", 12));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(h.data() + thMagic), 8), std::string("ustar  \0", 8));
  // A 40-character user name keeps its first 32 characters, without NUL.
  EXPECT_EQ(std::string(reinterpret_cast<char*>(h.data() + thUname), 32), std::string(32, 'u'));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(h.data() + thGname), 5), std::string("root\0", 5));

  TTarBlock f = Header("a.txt", 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(f.data() + thMode), 8), std::string("0100444\0", 8));
  EXPECT_EQ(f[thTypeflag], '0');
}

TEST(TarHeader, LongNamesGetAGnuRecordAndStayWhole) {
  const std::string n100(100, 'a'), n150 = std::string(60, 'd') + "/" + std::string(89, 'f');
  EXPECT_TRUE(TarLongNameBlocks(n100, {}).empty());
  const std::vector<uint8_t> rec = TarLongNameBlocks(n150, {});
  ASSERT_EQ(rec.size(), 1024u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec.data()), 14), std::string("././@LongLink\0", 14));
  EXPECT_EQ(rec[thTypeflag], 'L');

  const std::string archive = std::string(rec.begin(), rec.end()) + Entry(n150, "xyz") + Entry(n100, "100") + Zeros(2);
  const auto entries = Walk(archive);
  ASSERT_EQ(Names(entries), (std::vector<std::string>{n150, n100}));
  EXPECT_EQ(entries[0].EntryOffset, 0);
  EXPECT_EQ(entries[0].HeaderOffset, 1024);
  EXPECT_EQ(entries[0].Size, 3);
}

TEST(TarWalk, ConcatenatedArchivesZeroChecksumAndDamage) {
  TTarBlock zeroSum = Header("ghost", 0);
  std::memset(zeroSum.data() + thChksum, 0, twChksum);
  TTarBlock damaged = Header("damaged", 0);
  damaged[0] = 'D';  // sum no longer matches
  const std::string archive = Entry("one", "1") + Zeros(20) + Bytes(zeroSum) + Bytes(damaged) + Entry("two/", "", '5') +
                              Entry("three", std::string(512, 'x')) + Zeros(2);
  int bad = 0;
  const auto entries = Walk(archive, &bad);
  EXPECT_EQ(Names(entries), (std::vector<std::string>{"one", "two/", "three"}));
  EXPECT_EQ(bad, 1);
  EXPECT_TRUE(entries[1].IsDir());
  EXPECT_EQ(entries[2].DataOffset + 512, entries[2].EndOffset);
}

TEST(TarWalk, MetadataRecordsApplyToTheNextEntryOnly) {
  const std::string longName = std::string(120, 'n') + ".txt";
  const std::string paxData =
      PaxRecord("path", "pax/named.bin") + PaxRecord("size", "3") + PaxRecord("mtime", "1234567890.5");
  TTarBlock paxSized = Header("plain", 0);  // pax size overrides the header's 0
  std::string archive = Entry("././@LongLink", longName + '\0', 'L') + Entry("short", "data") +
                        Entry("PaxHeaders/x", paxData, 'x') + Entry(paxSized, "abc") +
                        Entry("global", PaxRecord("comment", "hi"), 'g') + Entry("././@LongLink", "link\0", 'K') +
                        Entry("after", "z") + Entry("label", "", 'V') + Zeros(2);
  const auto entries = Walk(archive);
  ASSERT_EQ(Names(entries), (std::vector<std::string>{longName, "pax/named.bin", "after"}));
  EXPECT_EQ(entries[0].Size, 4);
  EXPECT_EQ(entries[1].Size, 3);
  EXPECT_EQ(entries[1].MTime, 1234567890);
  EXPECT_EQ(entries[2].Size, 1);
}

TEST(TarWalk, UstarPrefixBase256SizeAndTruncation) {
  TTarBlock h = Header("name.txt", 0);
  std::memcpy(h.data() + thMagic,
              "ustar\0"
              "00",
              8);
  std::memcpy(h.data() + thPrefix, "very/long/prefix", 16);
  TarPutChecksum(h, tcSevenDigits);
  TTarBlock big = Header("big", 0);
  TarPutNumber(big.data() + thSize, twSize, 1ull << 34);
  TarPutChecksum(big, tcSevenDigits);
  // The big entry claims more data than there is: it is found, and the walk ends after it.
  const auto entries = Walk(Bytes(h) + Bytes(big) + std::string(700, 'q'));
  ASSERT_EQ(Names(entries), (std::vector<std::string>{"very/long/prefix/name.txt", "big"}));
  EXPECT_EQ(entries[1].Size, int64_t(1) << 34);
}

TEST(TarWalk, HostileInputEndsQuietly) {
  // Random blocks, absurd sizes and pax records of every shape: no crash, no entry invented.
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::string junk = testsupport::RandomBytes(4096 + seed * 37, seed);
    if (seed % 2) junk = Bytes(Header("ok", 0)) + junk;
    int bad = 0;
    Walk(junk, &bad);
  }
  std::map<std::string, std::string> out;
  for (const char* pax : {"", "5", "99999999999999999999 a=b\n", "3 =\n", "6 a=b", "0 \n", "7 k=vv\n6 x=y\n"}) {
    TarParsePax(pax, out);
  }
  EXPECT_EQ(out["k"], "vv");
}

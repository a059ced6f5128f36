// Unshrink, Unreduce and Explode: the shared samples against 7-Zip, and hand-built streams for
// the rules that a 1 KB sample does not reach.
#include <gtest/gtest.h>

#include <map>

#include "archive/zip/qrvExplode.h"
#include "archive/zip/qrvUnReduce.h"
#include "archive/zip/qrvUnShrink.h"
#include "zip/zip_test_util.h"

using namespace testsupport;
using namespace ziptest;
namespace fs = std::filesystem;

// ---------------------------------------------------------------- samples

// The three samples hold the same 1,092-byte text. 7-Zip extracts the shrunk and the imploded
// one; it does not support Reduce, whose output is checked against the same text.
TEST(LegacySamples, DecodeTo7ZipOutput) {
  std::string expected;
  TempDir tmp;
  for (const char* oracle : {"legacy_shrink.zip", "legacy_implode.zip"}) {
    fs::path dir = tmp.path() / oracle;
    if (!SevenZipExtract(Testdata(std::string("zip/") + oracle), dir)) GTEST_SKIP() << "no 7-Zip";
    for (const auto& f : fs::directory_iterator(dir)) {
      std::string text = ReadFile(f.path());
      if (!expected.empty()) {
        EXPECT_EQ(text, expected);
      }
      expected = text;
    }
  }
  ASSERT_EQ(expected.size(), 1092u);
  for (auto [file, method] : {std::pair{"legacy_shrink.zip", 1}, {"legacy_reduce.zip", 5}, {"legacy_implode.zip", 6}}) {
    SCOPED_TRACE(file);
    std::vector<Entry> entries = ReadEntries(Testdata(std::string("zip/") + file));
    ASSERT_EQ(entries.size(), 1u);
    const Entry& e = entries[0];
    ASSERT_EQ(e.Method, method);
    for (size_t pieces : {size_t(1) << 30, size_t(1)}) {  // whole reads and one-byte reads
      Decoded d = Decode(e.Method, e.Flags, e.Data, e.UncompressedSize, pieces);
      ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
      EXPECT_EQ(Crc32(d.Output), e.Crc);
      EXPECT_EQ(d.Output, expected);
    }
  }
}

// ---------------------------------------------------------------- Unshrink

namespace {

// Codes of a Shrink stream with their sizes; {256, n} pairs are written as given.
std::string Shrunk(const std::vector<std::pair<uint32_t, unsigned>>& codes) {
  BitWriter w;
  for (auto [code, size] : codes) w.Put(code, size);
  return w.Bytes();
}

Decoded Unshrink(const std::string& data) { return Decode(1, 0, data, 1 << 20, 1u << 30, 1 << 20); }

}  // namespace

TEST(UnShrink, StringPlusFirstByteCase) {
  // 'A', then 257 before it is defined: "A" + "AA".
  Decoded d = Unshrink(Shrunk({{'A', 9}, {257, 9}}));
  ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
  EXPECT_EQ(d.Output, "AAA");
}

TEST(UnShrink, CodeSizeGrowsToThirteenBitsAndBeyond) {
  std::vector<std::pair<uint32_t, unsigned>> codes = {{'A', 9}};
  for (unsigned size = 9; size < 13; ++size) codes.insert(codes.end(), {{256, size}, {1, size}});
  codes.push_back({'B', 13});
  Decoded d = Unshrink(Shrunk(codes));
  ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
  EXPECT_EQ(d.Output, "AB");

  // A fifth increase is accepted; a 14-bit code above 8191 is a bad block.
  codes.insert(codes.end(), {{256, 13}, {1, 13}, {'C', 14}, {8192, 14}});
  d = Unshrink(Shrunk(codes));
  EXPECT_EQ(d.Status.Result, drDataError);
  EXPECT_EQ(d.Status.ErrorCode, 25116);
  EXPECT_EQ(d.Output, "ABC");  // what came before stays
}

TEST(UnShrink, PartialClearReusesTheLowestChildlessCode) {
  // A B C → 257 "AB", 258 "BC"; 257 → 259 "CA"; D → 260 "ABD" (257 gains a child).
  // The clear frees 258, 259 and 260 (257 had a child when the leaves were collected); E
  // defines "DE" in 258, and 257 still reads "AB".
  Decoded d = Unshrink(
      Shrunk({{'A', 9}, {'B', 9}, {'C', 9}, {257, 9}, {'D', 9}, {256, 9}, {2, 9}, {'E', 9}, {258, 9}, {257, 9}}));
  ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
  EXPECT_EQ(d.Output, "ABCABDEDEAB");
}

TEST(UnShrink, PartialClearKeepsCodesWithChildren) {
  // 257 "AB" gets child 259 "ABA"... kept as long as 259 exists: 'C' after the clear goes to
  // the lowest free code, 258, and 257 still reads "AB".
  Decoded d = Unshrink(Shrunk(
      {{'A', 9}, {'B', 9}, {257, 9}, {'A', 9}, {259, 9}, {'X', 9}, {256, 9}, {2, 9}, {'C', 9}, {257, 9}, {258, 9}}));
  ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
  // A B AB A ABA X | C AB XC
  EXPECT_EQ(d.Output, "ABABAABAXCABXC");
}

TEST(UnShrink, DamagedStreamsRaiseTheirCodes) {
  struct Case {
    const char* name;
    std::string data;
    int64_t size;
    TDecodeResult result;
    int code;
  } cases[] = {
      {"no first code", "", 10, drDataError, 25116},
      {"first code short", "\x41", 10, drDataError, 25116},
      {"empty file", "", 0, drSuccess, 0},
      {"bad control code", Shrunk({{'A', 9}, {256, 9}, {3, 9}}), 10, drDataError, 25116},
      {"first code not a byte", Shrunk({{300, 9}}), 10, drDataError, 25116},
      // After a clear that frees the previous code (257), the next code is defined as a child of
      // itself; reading it walks that loop until the string stack is full.
      {"self-referring code", Shrunk({{'A', 9}, {'B', 9}, {'C', 9}, {257, 9}, {256, 9}, {2, 9}, {'D', 9}, {257, 9}}),
       10, drDataError, 25305},
  };
  for (const Case& c : cases) {
    Decoded d = Decode(1, 0, c.data, c.size);
    EXPECT_EQ(d.Status.Result, c.result) << c.name << ": " << d.Status.Reason;
    EXPECT_EQ(d.Status.ErrorCode, c.code) << c.name;
  }
}

// ---------------------------------------------------------------- Unreduce

namespace {

unsigned IndexBits(size_t n) { return n <= 2 ? 1 : n <= 4 ? 2 : n <= 8 ? 3 : n <= 16 ? 4 : 5; }

// Follower sets, then each byte coded against the set of the byte before it.
std::string Reduced(const std::map<int, std::string>& followers, const std::string& bytes) {
  BitWriter w;
  for (int x = 255; x >= 0; --x) {
    auto it = followers.find(x);
    std::string set = it == followers.end() ? "" : it->second;
    w.Put(static_cast<uint32_t>(set.size()), 6);
    for (char c : set) w.PutByte(static_cast<uint8_t>(c));
  }
  uint8_t prev = 0;
  for (char ch : bytes) {
    uint8_t c = static_cast<uint8_t>(ch);
    auto it = followers.find(prev);
    if (it == followers.end()) {
      w.PutByte(c);
    } else if (size_t at = it->second.find(static_cast<char>(c)); at != std::string::npos) {
      w.Put(0, 1);
      w.Put(static_cast<uint32_t>(at), IndexBits(it->second.size()));
    } else {
      w.Put(1, 1);
      w.PutByte(c);
    }
    prev = c;
  }
  return w.Bytes();
}

std::string Text(size_t n) {
  std::string s;
  for (size_t i = 0; s.size() < n; ++i) s.push_back(static_cast<char>('a' + (i * 7 + i / 26) % 26));
  return s;
}

}  // namespace

TEST(UnReduce, ExpansionRules) {
  const std::string t = Text(1000);
  struct Case {
    const char* name;
    int factor;
    std::string bytes;  // before expansion
    std::string expected;
  } cases[] = {
      // 0x3F AND 0x0F = 0x0F, so 0x02 is added to the length: 15 + 2 + 3 bytes from 3*256+5+1.
      {"factor 4 long copy", 4, t + "\x90\x3F\x02\x05", t + t.substr(1000 - 774, 20)},
      {"DLE 0 is one 144", 2, std::string("x\x90\x00y", 4), "x\x90y"},
      // V = 0x81: length 1 (+3), distance (0x81 >> 7) * 256 + 9 + 1 = 266, before the start.
      {"copy before the start", 1, std::string("ab\x90\x81\x09", 5), std::string("ab\0\0\0\0", 6)},
      {"factor 3 short copy", 3, "abcdefgh\x90\x02\x03", "abcdefghefghe"},
  };
  for (const Case& c : cases) {
    Decoded d =
        Decode(static_cast<uint16_t>(c.factor + 1), 0, Reduced({}, c.bytes), static_cast<int64_t>(c.expected.size()));
    ASSERT_TRUE(d.Status.Ok()) << c.name << ": " << d.Status.Reason;
    EXPECT_EQ(d.Output, c.expected) << c.name;
  }
}

TEST(UnReduce, FollowerSetsPickTheNextByte) {
  std::map<int, std::string> sets = {{0, "xyz"}, {'x', "abcdefghijklmnopq"}, {'q', "x"}};
  std::string bytes = "zxqxk";  // each a follower of the byte before (0 at the start)
  for (int f = 1; f <= 4; ++f) {
    Decoded d = Decode(static_cast<uint16_t>(f + 1), 0, Reduced(sets, bytes), 5);
    ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
    EXPECT_EQ(d.Output, bytes);
  }
}

TEST(UnReduce, StopsAtTheUncompressedSize) {
  // 'q' has one follower: the zero padding of the last byte would read as flag 0, index 0,
  // another 'x'. Decoding stops after the 2 bytes of the entry.
  std::string data = Reduced({{0, "ab"}, {'q', "x"}, {'x', "q"}}, "q");
  Decoded d = Decode(5, 0, data, 1);
  ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
  EXPECT_EQ(d.Output, "q");
  // Decoding on to the end of the input would add the padding as "xqx".
  EXPECT_EQ(Decode(5, 0, data, 100).Output, "qxqx");
}

TEST(UnReduce, DamagedStreams) {
  BitWriter big;
  big.Put(33, 6);  // follower set of 255 larger than 32
  Decoded d = Decode(2, 0, big.Bytes() + std::string(40, 'a'), 10);
  EXPECT_EQ(d.Status.Result, drDataError);
  std::string full = Reduced({}, "abcdef");
  d = Decode(2, 0, full.substr(0, full.size() - 2), 6);
  EXPECT_EQ(d.Status.Result, drInputExhausted);
  EXPECT_EQ(d.Output, "abcd");  // what was decoded stays
  BitWriter beyond;             // set of 0 has 3 entries, index 3 read with 2 bits
  for (int x = 255; x > 0; --x) beyond.Put(0, 6);
  beyond.Put(3, 6), beyond.Put('a', 8), beyond.Put('b', 8), beyond.Put('c', 8);
  beyond.Put(0, 1), beyond.Put(3, 2);
  EXPECT_EQ(Decode(2, 0, beyond.Bytes(), 1).Status.Result, drDataError);
  EXPECT_EQ(Decode(2, 0, "", 0).Status.Result, drSuccess);   // an empty file
  EXPECT_EQ(UnReduce(TDecoderIO{}, 5).Result, drDataError);  // factor outside 1 to 4
}

// ---------------------------------------------------------------- Explode

namespace {

// An imploded stream: trees as run-length code lengths, codes sent inverted.
class Imploder {
 public:
  Imploder(bool literalTree, bool bigDictionary) : lit_(literalTree), big_(bigDictionary) {
    if (lit_) PutTree(std::vector<uint8_t>(256, 8));
    PutTree(std::vector<uint8_t>(64, 6));
    PutTree(std::vector<uint8_t>(64, 6));
  }
  uint16_t Flags() const { return static_cast<uint16_t>((big_ ? 2 : 0) | (lit_ ? 4 : 0)); }
  void Literal(uint8_t c) {
    w_.Put(1, 1);
    if (lit_)
      PutInverted(c, 8);
    else
      w_.PutByte(c);
  }
  void Match(unsigned distance, unsigned length) {
    unsigned low = big_ ? 7 : 6;
    w_.Put(0, 1);
    w_.Put((distance - 1) & ((1u << low) - 1), low);
    PutInverted((distance - 1) >> low, 6);
    unsigned code = std::min(length - (lit_ ? 3 : 2), 63u);
    PutInverted(code, 6);
    if (code == 63) w_.PutByte(static_cast<uint8_t>(length - (lit_ ? 3 : 2) - 63));
  }
  std::string Bytes() const { return w_.Bytes(); }
  static std::string Tree(const std::vector<std::pair<unsigned, unsigned>>& runs) {
    BitWriter w;  // (length, count) runs, count <= 16
    w.PutByte(static_cast<uint8_t>(runs.size() - 1));
    for (auto [len, count] : runs) w.PutByte(static_cast<uint8_t>((len - 1) | ((count - 1) << 4)));
    return w.Bytes();
  }

 private:
  void PutTree(const std::vector<uint8_t>& lengths) {
    // Equal lengths only: runs of up to 16.
    std::vector<std::pair<unsigned, unsigned>> runs;
    for (size_t i = 0; i < lengths.size(); i += 16) runs.push_back({lengths[i], 16});
    for (char c : Tree(runs)) w_.PutByte(static_cast<uint8_t>(c));
  }
  // With equal lengths the canonical code of a symbol is the symbol itself.
  void PutInverted(unsigned code, unsigned bits) { w_.PutCode(~code & ((1u << bits) - 1), bits); }

  bool lit_, big_;
  BitWriter w_;
};

}  // namespace

TEST(Explode, ShortestMatchDependsOnTheTrees) {
  for (bool literalTree : {false, true}) {
    for (bool big : {false, true}) {
      Imploder m(literalTree, big);
      unsigned shortest = literalTree ? 3 : 2;
      m.Literal('a');
      m.Literal('b');
      m.Match(2, shortest);
      m.Match(1, shortest + 63 + 200);  // length code 63 with 8 extra bits
      std::string expected = "ab" + std::string("abab").substr(0, shortest);
      expected += std::string(shortest + 263, expected.back());
      Decoded d = Decode(6, m.Flags(), m.Bytes(), static_cast<int64_t>(expected.size()));
      ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
      EXPECT_EQ(d.Output, expected) << literalTree << big;
    }
  }
}

TEST(Explode, DistancesOfBothDictionaries) {
  const std::string t = Text(9000);
  for (bool big : {false, true}) {
    unsigned distance = big ? 8192 : 4096;
    Imploder m(false, big);
    for (char c : t) m.Literal(static_cast<uint8_t>(c));
    m.Match(distance, 10);
    std::string expected = t + t.substr(t.size() - distance, 10);
    Decoded d = Decode(6, m.Flags(), m.Bytes(), static_cast<int64_t>(expected.size()));
    ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
    EXPECT_EQ(d.Output, expected);
  }
}

TEST(Explode, MatchBeforeTheStartGivesZeros) {
  Imploder m(false, false);
  m.Literal('z');
  m.Match(3, 4);  // two positions before the start, then 'z' and the first zero again
  Decoded d = Decode(6, m.Flags(), m.Bytes(), 5);
  ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
  EXPECT_EQ(d.Output, std::string("z\0\0z\0", 5));
}

TEST(Explode, OutputStopsAtTheUncompressedSize) {
  Imploder m(false, false);
  m.Literal('a');
  m.Match(1, 50);
  Decoded d = Decode(6, m.Flags(), m.Bytes(), 20);
  ASSERT_TRUE(d.Status.Ok()) << d.Status.Reason;
  EXPECT_EQ(d.Output, std::string(20, 'a'));
}

TEST(Explode, DamagedTreesAndInput) {
  const std::string lengths64 = Imploder::Tree({{6, 16}, {6, 16}, {6, 16}, {6, 16}});
  struct Case {
    const char* name;
    std::string data;
    TDecodeResult result;
  } cases[] = {
      {"too few lengths", Imploder::Tree({{6, 16}, {6, 16}, {6, 16}, {6, 15}}) + lengths64, drDataError},
      {"too many lengths", Imploder::Tree({{6, 16}, {6, 16}, {6, 16}, {6, 16}, {6, 1}}) + lengths64, drDataError},
      {"incomplete code", Imploder::Tree({{7, 16}, {7, 16}, {7, 16}, {7, 16}}) + lengths64, drDataError},
      {"over-subscribed code", Imploder::Tree({{5, 16}, {5, 16}, {5, 16}, {5, 16}}) + lengths64, drDataError},
      {"no trees", "", drInputExhausted},
      {"trees only", lengths64 + lengths64, drInputExhausted},
  };
  for (const Case& c : cases) {
    Decoded d = Decode(6, 0, c.data, 100);
    EXPECT_EQ(d.Status.Result, c.result) << c.name << ": " << d.Status.Reason;
  }
}

// Rules the cabinet decoders hold the encoders to: the E8 translation's limits, complete prefix
// codes within the length limits, and frames of the cabinet's size.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "archive/cab/qrvLzxEnc.h"
#include "archive/cab/qrvQuantumEnc.h"
#include "archive/core/qrvBitWriter.h"
#include "archive/core/qrvLzMatch.h"
#include "cabenc/cabenc_util.h"

using namespace testsupport;
using namespace cabenc;

namespace {

// E8 bytes at every offset near the ends and starts of frames, with operands on both sides of
// each limit of the translation range, among code-like bytes; the peers must undo exactly what
// the encoder did.
std::string E8Edges(size_t frames) {
  std::string s = Sample("exe", frames * 32768, 3);
  const int32_t size = static_cast<int32_t>(TLzxEncoder::kTranslationSize);
  for (size_t f = 1; f <= frames; ++f) {
    size_t end = f * 32768;
    for (size_t back = 1; back <= 16 && end - back + 5 <= s.size(); ++back) {
      size_t at = end - back;
      int32_t cur = static_cast<int32_t>(at);
      int32_t ops[] = {-cur, -cur - 1, size - 1, size, 0, -1, size - cur, size - cur - 1};
      int32_t op = ops[back % 8];
      s[at] = '\xE8';
      for (int i = 0; i < 4; ++i) s[at + 1 + i] = static_cast<char>(op >> (8 * i));
    }
  }
  return s;
}

TEST(E8, TranslationLimitsRoundTripThroughPeers) {
  struct Row {
    TLzxE8Mode mode;
    std::string data;
    bool expectOn;
  };
  std::vector<Row> rows = {{lxE8On, E8Edges(4), true},
                           {lxE8Auto, E8Edges(3) + "tail", true},
                           {lxE8On, RandomBytes(100000, 5), true},
                           {lxE8Auto, Sample("text", 70000), false},
                           {lxE8Off, E8Edges(2), false},
                           {lxE8Off, RandomBytes(70001, 9), false}};  // stored, odd last frame
  for (const Row& r : rows) {
    TempDir dir("e8");
    TLzxEncoder enc(16, r.mode);
    Files files = {{"x.exe", r.data}};
    std::string cab =
        MakeCab(files, enc.FolderType(), [&](const uint8_t* d, size_t n, bool last, std::vector<uint8_t>& out) {
          return enc.CompressFrame(d, n, last, out);
        });
    EXPECT_EQ(enc.E8Translation(), r.expectOn);
    CheckWithPeers(files, cab, dir.path(), true);
  }
}

// The translation stops at frame 32,768 (a gigabyte into a folder): the frames before it get
// their call operands made absolute, those from it on keep them.
TEST(E8, FramesFromTheLimitOnKeepTheirOperands) {
  std::string frame(TLzxEncoder::kFrameSize, '\x90');
  const size_t at = 1000;
  const int32_t rel = 256;
  frame[at] = '\xE8';
  std::memcpy(&frame[at + 1], &rel, 4);
  const uint32_t limit = TLzxEncoder::kE8Frames;
  for (uint32_t f : {0u, 1u, limit - 1, limit, limit + 1, 2 * limit - 1}) {
    std::string d = frame;
    TLzxEncoder::TranslateE8(reinterpret_cast<uint8_t*>(d.data()), d.size(), f);
    int32_t op;
    std::memcpy(&op, &d[at + 1], 4);
    if (f == 0) EXPECT_EQ(op, rel + int32_t(at));
    EXPECT_EQ(op != rel, f < limit) << "frame " << f;
    EXPECT_EQ(d.substr(0, at + 1) + d.substr(at + 5), frame.substr(0, at + 1) + frame.substr(at + 5));
  }
}

TEST(Codes, LengthsAreCompleteAndLimited) {
  std::vector<std::vector<uint32_t>> sets = {{0, 0, 9}, {1, 1}, std::vector<uint32_t>(20, 3)};
  std::vector<uint32_t> fib = {1, 1};
  while (fib.size() < 40) fib.push_back(fib[fib.size() - 1] + fib[fib.size() - 2]);
  sets.push_back(fib);
  std::mt19937 rng(1);
  std::vector<uint32_t> skewed(656);
  for (auto& f : skewed) f = rng() % 3 ? 0 : 1u << (rng() % 24);
  sets.push_back(skewed);
  for (unsigned limit : {7u, 15u, 16u}) {
    for (const auto& freqs : sets) {
      if (freqs.size() > (1u << limit)) continue;
      std::vector<uint8_t> lens(freqs.size());
      BuildCodeLengths(freqs.data(), static_cast<unsigned>(freqs.size()), limit, lens.data());
      uint64_t kraft = 0;  // in units of 2^-limit
      for (size_t i = 0; i < freqs.size(); ++i) {
        ASSERT_LE(lens[i], limit);
        if (freqs[i]) {
          ASSERT_GT(lens[i], 0) << "used symbol without a code";
        }
        if (lens[i]) kraft += uint64_t(1) << (limit - lens[i]);
      }
      EXPECT_EQ(kraft, uint64_t(1) << limit) << "incomplete or over-full code";
    }
  }
}

// Every match the tree finder gives is real and within reach, nearer ones shorter, across
// frames, window slides and positions left unsearched.
TEST(TreeFinder, MatchesAreRealAndOrdered) {
  std::string data = Sample("reps", 12 * 32768, 4);
  TLzTreeFinder f;
  f.Init(15, 14, 32);
  TLzMatch out[19];
  uint64_t found = 0;
  for (size_t frame = 0; frame * 32768 < data.size(); ++frame) {
    uint8_t* at = f.Append(32768);
    std::memcpy(at, data.data() + frame * 32768, 32768);
    uint32_t end = f.End();
    for (uint32_t pos = end - 32768; pos < end; pos += frame % 3 == 2 && pos % 64 == 0 ? 40 : 1) {
      unsigned maxLen = std::min<uint32_t>(257, end - pos);
      uint32_t maxDist = std::min<uint32_t>(f.Reach(pos), (1u << 15) - 3);
      unsigned n = f.Collect(pos, maxLen, maxDist, 16, out);
      for (unsigned i = 0; i < n; ++i) {
        ASSERT_TRUE(out[i].Dist >= 1 && out[i].Dist <= maxDist);
        ASSERT_TRUE(out[i].Len >= 2 && out[i].Len <= maxLen);
        ASSERT_EQ(std::memcmp(f.Data() + pos - out[i].Dist, f.Data() + pos, out[i].Len), 0);
        if (i) ASSERT_TRUE(out[i].Len > out[i - 1].Len && out[i].Dist > out[i - 1].Dist);
      }
      found += n;
    }
  }
  EXPECT_GT(found, data.size() / 2);
}

TEST(Frames, WrongSizesAndFramesAfterTheLastAreRefused) {
  std::string data(2 * 32768, 'a');
  auto u = reinterpret_cast<const uint8_t*>(data.data());
  auto check = [&](auto& enc) {
    std::vector<uint8_t> out = {1};
    EXPECT_FALSE(enc.CompressFrame(u, 100, false, out));  // short frame that is not the last
    EXPECT_FALSE(enc.CompressFrame(u, 32769, true, out));
    EXPECT_EQ(out.size(), 1u);
    EXPECT_TRUE(enc.CompressFrame(u, 32768, false, out));
    EXPECT_TRUE(enc.CompressFrame(u, 10, true, out));
    EXPECT_FALSE(enc.CompressFrame(u, 10, true, out));
  };
  TLzxEncoder lzx;
  TQuantumEncoder quantum;
  check(lzx);
  check(quantum);
  std::vector<uint8_t> out = {1};
  TLzxEncoder empty;
  EXPECT_TRUE(empty.CompressFrame(u, 0, true, out));
  EXPECT_TRUE(out.empty());
}

// Each window size searches as hard as its level says (chains for the small ones, trees for the
// large): the output is the same bytes on every run, and a text that repeats beyond 32 KiB comes
// out smaller with the largest window than with the smallest.
TEST(Levels, OutputIsDeterministicAndTheLargestWindowIsSmallest) {
  std::string text = Sample("text", 150000, 11);
  text += text.substr(0, 100000);
  auto encode = [&](unsigned window) {
    TLzxEncoder enc(window);
    std::vector<uint8_t> out, all;
    for (size_t pos = 0; pos < text.size(); pos += 32768) {
      size_t n = std::min<size_t>(32768, text.size() - pos);
      EXPECT_TRUE(
          enc.CompressFrame(reinterpret_cast<const uint8_t*>(text.data()) + pos, n, pos + n == text.size(), out));
      all.insert(all.end(), out.begin(), out.end());
    }
    return all;
  };
  std::vector<size_t> sizes;
  for (unsigned w = 15; w <= 21; ++w) {
    std::vector<uint8_t> once = encode(w);
    EXPECT_EQ(once, encode(w)) << "window " << w;
    sizes.push_back(once.size());
  }
  EXPECT_LT(sizes.back(), sizes.front());
}

}  // namespace

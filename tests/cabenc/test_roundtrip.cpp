// Cabinets written by the LZX and Quantum encoders must decode to the same bytes with libmspack,
// cabextract and 7-Zip, at every window size and level, on inputs that stress the match finder,
// the models and the E8 rules.
#include <gtest/gtest.h>

#include "archive/cab/qrvLzxEnc.h"
#include "archive/cab/qrvQuantumEnc.h"
#include "cabenc/cabenc_util.h"

using namespace testsupport;
using namespace cabenc;

namespace {

// Codec 'L': LZX with window A; 'Q': Quantum with level A and memory B.
struct Case {
  char codec;
  unsigned a, b;
  std::string kind;
  size_t size;
};

std::string Encode(const Case& c, const Files& files) {
  auto frames = [&](auto& enc) {
    return MakeCab(files, enc.FolderType(), [&](const uint8_t* d, size_t n, bool last, std::vector<uint8_t>& out) {
      return enc.CompressFrame(d, n, last, out);
    });
  };
  if (c.codec == 'L') {
    TLzxEncoder enc(c.a);
    return frames(enc);
  }
  TQuantumEncoder enc(c.a, c.b);
  return frames(enc);
}

class RoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(RoundTrip, PeersExtractTheSameBytes) {
  const Case& c = GetParam();
  TempDir dir("cabenc");
  Files files = {{"a.bin", Sample(c.kind, c.size)}, {"empty", ""}, {"b.txt", Sample("text", 5000, 7)}};
  CheckWithPeers(files, Encode(c, files), dir.path(), true);
}

// Matches from the window's far end: 7-Zip's decoder gets some bytes wrong at the format's limit
// (window size - 3), which the encoder therefore never uses; one byte nearer is sound.
TEST(SevenZip, ExtractsMatchesFromTheWindowsFarEnd) {
  REQUIRE_TOOLS("7z");
  for (unsigned w : {15u, 21u})
    for (unsigned less : {3u, 4u}) {
      SCOPED_TRACE(std::to_string(w) + " less " + std::to_string(less));
      Case c{'L', w, 0, "far:" + std::to_string((1u << w) - less), (1u << w) + 40000};
      TempDir dir("cabenc");
      Files files = {{"far.bin", Sample(c.kind, c.size)}, {"t.txt", Sample("text", 70000, 3)}};
      CheckWithPeers(files, Encode(c, files), dir.path(), true);
    }
}

std::vector<Case> Cases() {
  std::vector<Case> v;
  for (unsigned w = 15; w <= 21; ++w) {
    v.push_back({'L', w, 0, "text", 300000});
    v.push_back({'L', w, 0, "exe", 200000});
    v.push_back({'L', w, 0, "testdata", 400000});
  }
  for (unsigned level : {1u, 4u, 7u})
    for (unsigned memory : {10u, 16u, 21u}) {
      v.push_back({'Q', level, memory, "text", 200000});
      v.push_back({'Q', level, memory, "exe", 100000});
    }
  for (std::string kind : {"zeros", "random", "period:1", "period:3", "period:100", "period:4099", "period:65536"}) {
    v.push_back({'L', 17, 0, kind, 200000});
    v.push_back({'Q', 7, 17, kind, 200000});
  }
  // The farthest matches the encoder gives: the window less 4 (7-Zip misreads less 3).
  for (unsigned w : {15u, 16u, 18u}) v.push_back({'L', w, 0, "far:" + std::to_string((1u << w) - 4), (3u << w) + 1000});
  for (unsigned m : {10u, 12u, 16u})
    v.push_back({'Q', 7, m, "far:" + std::to_string((1u << m) - 3), (3u << m) + 40000});
  // The window slides (past twice its size) and matches reach its far end.
  v.push_back({'L', 21, 0, "far:" + std::to_string((1u << 21) - 4), (2u << 21) + 300000});
  for (unsigned w : {15u, 21u}) v.push_back({'L', w, 0, "reps", 400000});
  v.push_back({'L', 21, 0, "text", 2500000});
  v.push_back({'Q', 7, 21, "text", 2500000});
  return v;
}

INSTANTIATE_TEST_SUITE_P(Cases, RoundTrip, ::testing::ValuesIn(Cases()), [](const auto& info) {
  const Case& c = info.param;
  std::string name = std::string(1, c.codec) + std::to_string(c.a) + "_" + std::to_string(c.b) + "_" + c.kind + "_" +
                     std::to_string(c.size);
  for (char& ch : name)
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
});

}  // namespace

// LZX cabinets that the encoder writes must decode to the same bytes with libmspack, cabextract
// and 7-Zip, at every window size and on inputs that stress the match finder and the E8 rules.
#include <gtest/gtest.h>

#include "archive/cab/qrvLzxEnc.h"
#include "cabenc/cabenc_util.h"

using namespace testsupport;
using namespace cabenc;

namespace {

std::string LzxCab(const Files& files, unsigned windowBits, TLzxE8Mode e8 = lxE8Auto) {
  TLzxEncoder enc(windowBits, e8);
  return MakeCab(files, enc.FolderType(), [&](const uint8_t* d, size_t n, bool last,
                                              std::vector<uint8_t>& out) {
    return enc.CompressFrame(d, n, last, out);
  });
}

struct Case {
  unsigned windowBits;
  std::string kind;
  size_t size;
};

class LzxRoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(LzxRoundTrip, PeersExtractTheSameBytes) {
  const Case& c = GetParam();
  TempDir dir("lzx");
  Files files = {{"a.bin", Sample(c.kind, c.size)}, {"empty", ""}, {"b.txt", Sample("text", 5000, 7)}};
  CheckWithPeers(files, LzxCab(files, c.windowBits), dir.path(), true);
}

std::vector<Case> Cases() {
  std::vector<Case> v;
  for (unsigned w = 15; w <= 21; ++w) {
    v.push_back({w, "text", 300000});
    v.push_back({w, "exe", 200000});
  }
  for (std::string kind : {"zeros", "random", "period:1", "period:3", "period:100", "period:4099",
                           "period:65536"})
    v.push_back({17, kind, 200000});
  for (unsigned w : {15u, 16u, 18u})
    v.push_back({w, "far:" + std::to_string((1u << w) - 3), (3u << w) + 1000});
  v.push_back({21, "text", 2500000});
  return v;
}

INSTANTIATE_TEST_SUITE_P(Cases, LzxRoundTrip, ::testing::ValuesIn(Cases()),
                         [](const auto& info) {
                           std::string k = info.param.kind;
                           for (char& ch : k)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return "w" + std::to_string(info.param.windowBits) + "_" + k + "_" +
                                  std::to_string(info.param.size);
                         });

}  // namespace

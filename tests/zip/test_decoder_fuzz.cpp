// Seeded mutations of real compressed entries (truncated, bit-flipped, overwritten, random): every
// decoder must end with an outcome, never crash, hang, or write outside its buffers (run under
// ASan and UBSan), and must not hand out more than the entry's size.
#include <gtest/gtest.h>

#include <random>

#include "zip/zip_test_util.h"

using namespace testsupport;
using namespace ziptest;

namespace {

struct Sample {
  std::string name;
  Entry entry;
  int iterations;
};

std::string Mutate(const std::string& in, std::mt19937& rng) {
  std::string s = in;
  auto below = [&](size_t n) { return n == 0 ? size_t(0) : static_cast<size_t>(rng() % n); };
  switch (rng() % 4) {
    case 0:  // truncated
      s.resize(below(s.size() + 1));
      break;
    case 1:  // a few bits flipped
      for (int i = 1 + static_cast<int>(rng() % 4); i > 0 && !s.empty(); --i)
        s[below(s.size())] ^= static_cast<char>(1u << (rng() % 8));
      break;
    case 2:  // a run overwritten with random bytes
      if (!s.empty()) {
        size_t at = below(s.size());
        for (size_t n = 1 + rng() % 16; n > 0 && at < s.size(); --n) s[at++] = static_cast<char>(rng());
      }
      break;
    default:  // random bytes of a random length
      s.resize(below(2 * in.size() + 64));
      for (char& c : s) c = static_cast<char>(rng());
  }
  return s;
}

void CheckOutcome(const Sample& sample, const std::string& data, const Decoded& d) {
  const Entry& e = sample.entry;
  const TDecodeStatus& st = d.Status;
  ASSERT_LE(st.Result, drCancelled);
  ASSERT_NE(st.Result, drCancelled);
  if (e.Method == 1) {
    // Its own errors carry a code; running past the entry's size is left to the CRC check.
    if (st.Result == drDataError && st.ErrorCode == 0) {
      ASSERT_EQ(static_cast<int64_t>(d.Output.size()), e.UncompressedSize) << st.Reason;
    } else if (st.Result == drDataError) {
      ASSERT_TRUE(st.ErrorCode == 25116 || st.ErrorCode == 25305) << st.Reason;
    }
  } else {
    ASSERT_EQ(st.ErrorCode, 0);
  }
  ASSERT_LE(static_cast<int64_t>(d.Output.size()), e.UncompressedSize);
  // A decoder that reports success on damaged data leaves the verdict to the CRC check, which
  // must then see the damage unless the output came out right after all.
  if (st.Ok() && data != e.Data && Crc32(d.Output) == e.Crc) {
    ASSERT_EQ(static_cast<int64_t>(d.Output.size()), e.UncompressedSize);
  }
}

std::vector<Sample> Samples() {
  std::vector<Sample> out;
  for (const char* file : {"legacy_shrink.zip", "legacy_reduce.zip", "legacy_implode.zip"})
    out.push_back({file, ReadEntries(Testdata(std::string("zip/") + file)).at(0), 3000});
  out.push_back({"deflate64_small.zip", ReadEntries(Testdata("zip/deflate64_small.zip")).at(0), 3000});
  Entry big = FindEntry(Testdata("zip/deflate64.zip"), "binary.wmv");
  out.push_back({"deflate64.zip", big, 30});
  // The first 24 KiB of the large stream: blocks of every kind 7-Zip wrote, cut off mid-stream.
  Entry head = big;
  head.Data.resize(24 * 1024);
  head.CompressedSize = static_cast<int64_t>(head.Data.size());
  out.push_back({"deflate64.zip head", head, 1500});
  return out;
}

}  // namespace

TEST(DecoderFuzz, MutatedEntriesEndWithAnOutcome) {
  for (const Sample& sample : Samples()) {
    SCOPED_TRACE(sample.name);
    std::mt19937 rng(1234);
    // The sink also refuses output far beyond the entry, in case the size bound fails.
    const int64_t cap = std::max<int64_t>(4 * sample.entry.UncompressedSize, 1 << 20);
    int failures = 0;
    for (int i = 0; i < sample.iterations; ++i) {
      std::string data = Mutate(sample.entry.Data, rng);
      Decoded d = Decode(sample.entry.Method, sample.entry.Flags, data, sample.entry.UncompressedSize, 1u << 30, cap);
      CheckOutcome(sample, data, d);
      if (HasFatalFailure()) {
        ADD_FAILURE() << "mutation " << i;
        return;
      }
      failures += !d.Status.Ok() || Crc32(d.Output) != sample.entry.Crc;
    }
    EXPECT_GT(failures, sample.iterations / 2);  // most mutations are noticed
  }
}

TEST(DecoderFuzz, RandomInputForEveryMethodAndOption) {
  std::mt19937 rng(99);
  struct Variant {
    uint16_t method, flags;
  };
  std::vector<Variant> variants = {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {6, 2}, {6, 4}, {6, 6}, {9, 0}};
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.method * 10 + v.flags);
    for (int i = 0; i < 500; ++i) {
      std::string data(rng() % 4096, '\0');
      for (char& c : data) c = static_cast<char>(rng());
      // Explode's trees: a plausible start makes the decoder get past them more often.
      if (v.method == 6 && data.size() > 8 && i % 2) data[0] = 3, data[1] = data[2] = data[3] = data[4] = '\xF5';
      int64_t size = rng() % 100000;
      Decoded d = Decode(v.method, v.flags, data, size, 1 + rng() % 5000, 1 << 22);
      ASSERT_NE(d.Status.Result, drCancelled);
      ASSERT_LE(static_cast<int64_t>(d.Output.size()), size);
    }
  }
}

// Deflate engines on whole files: zlib in one call against libdeflate at the levels of the
// deflate profile, time and size (files of one chunk are what DeflateChunk may give libdeflate);
// and 32 KiB blocks primed with the previous 32 KiB (MSZIP) with a fresh zlib stream per block
// against one stream reset between blocks.
// Usage: bench_deflate_engines FILE...   (bench/gz-bench.sh passes the corpus)
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/core/qrvDeflateChunks.h"  // kDeflateChunkSize

namespace {

using TBytes = std::vector<uint8_t>;
using TClock = std::chrono::steady_clock;

struct TTally {
  double Seconds = 0;
  uint64_t Size = 0;
};

TBytes Load(const char* Path) {
  std::ifstream f(Path, std::ios::binary);
  return TBytes(std::istreambuf_iterator<char>(f), {});
}

size_t ZlibWhole(const TBytes& In, int Level) {
  z_stream z{};
  deflateInit2(&z, Level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  TBytes out(deflateBound(&z, In.size()));
  z.next_in = const_cast<Bytef*>(In.data());
  z.avail_in = uInt(In.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  deflateEnd(&z);
  return out.size() - z.avail_out;
}

size_t LibdeflateWhole(libdeflate_compressor* C, const TBytes& In) {
  TBytes out(libdeflate_deflate_compress_bound(C, In.size()));
  return libdeflate_deflate_compress(C, In.data(), In.size(), out.data(), out.size());
}

// MSZIP-style blocks, each primed with the previous 32 KiB: a fresh zlib stream per block, or
// one stream reset between blocks.
size_t Blocks(const TBytes& In, int Level, bool Fresh) {
  size_t total = 0;
  z_stream kept{};
  if (!Fresh) deflateInit2(&kept, Level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  for (size_t at = 0; at < In.size(); at += 32768) {
    const size_t n = std::min<size_t>(32768, In.size() - at), dict = std::min<size_t>(at, 32768);
    z_stream fresh{};
    z_stream& z = Fresh ? fresh : kept;
    if (Fresh)
      deflateInit2(&z, Level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    else
      deflateReset(&z);
    if (dict) deflateSetDictionary(&z, In.data() + at - dict, uInt(dict));
    TBytes out(deflateBound(&z, n) + 16);
    z.next_in = const_cast<Bytef*>(In.data() + at);
    z.avail_in = uInt(n);
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    total += out.size() - z.avail_out;
    if (Fresh) deflateEnd(&z);
  }
  if (!Fresh) deflateEnd(&kept);
  return total;
}

// The best of three passes of Run over the files Take selects (sizes summed over one pass).
template <class TTake, class TRun>
TTally Best(const std::vector<TBytes>& Files, TTake&& Take, TRun&& Run) {
  TTally best;
  for (int pass = 0; pass < 3; ++pass) {
    TTally t;
    const auto t0 = TClock::now();
    for (const TBytes& f : Files)
      if (Take(f)) t.Size += Run(f);
    t.Seconds = std::chrono::duration<double>(TClock::now() - t0).count();
    if (pass == 0 || t.Seconds < best.Seconds) best = t;
  }
  return best;
}

void Row(const char* What, int Level, const TTally& A, const TTally& B, const char* NameA, const char* NameB) {
  std::printf("%-26s level %d  %-10s %7.3fs %11llu B   %-10s %7.3fs %11llu B   time %5.2f  size %6.4f\n", What, Level,
              NameA, A.Seconds, (unsigned long long)A.Size, NameB, B.Seconds, (unsigned long long)B.Size,
              B.Seconds / A.Seconds, double(B.Size) / double(A.Size));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<TBytes> files;
  for (int i = 1; i < argc; ++i) files.push_back(Load(argv[i]));
  const auto oneChunk = [](const TBytes& f) { return f.size() <= kDeflateChunkSize; };
  const auto all = [](const TBytes&) { return true; };
  for (int level : {1, 6, 9}) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    const auto zlib = [level](const TBytes& f) { return ZlibWhole(f, level); };
    const auto libdeflate = [c](const TBytes& f) { return LibdeflateWhole(c, f); };
    Row("whole files <= 128 KiB", level, Best(files, oneChunk, zlib), Best(files, oneChunk, libdeflate), "zlib",
        "libdeflate");
    Row("whole files, all", level, Best(files, all, zlib), Best(files, all, libdeflate), "zlib", "libdeflate");
    Row("32 KiB blocks (MSZIP)", level, Best(files, all, [level](const TBytes& f) { return Blocks(f, level, true); }),
        Best(files, all, [level](const TBytes& f) { return Blocks(f, level, false); }), "init each", "reset");
    libdeflate_free_compressor(c);
  }
  return 0;
}

// Decodes the Deflate64 entries of a ZIP archive the way the reader will: the archive read in
// pieces of at most 32 KiB from the entry's data, each block CRC-checked and, with -o, written
// to a file. Prints the time per entry and the total.
// Usage: bench_deflate64 [-o OUTDIR] ARCHIVE.zip
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/zip/qrvInflate64.h"

namespace {

uint32_t Le(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  std::string outDir;
  int arg = 1;
  if (arg + 1 < argc && std::strcmp(argv[arg], "-o") == 0) outDir = argv[arg + 1], arg += 2;
  if (arg >= argc) {
    std::fprintf(stderr, "usage: bench_deflate64 [-o OUTDIR] ARCHIVE.zip\n");
    return 2;
  }
  FILE* f = std::fopen(argv[arg], "rb");
  if (!f) {
    std::perror(argv[arg]);
    return 1;
  }
  double total = 0;
  int64_t bytes = 0;
  bool ok = true;
  for (long pos = 0;;) {
    uint8_t h[30];
    if (std::fseek(f, pos, SEEK_SET) != 0 || std::fread(h, 1, 30, f) != 30 || Le(h, 4) != 0x04034B50) break;
    uint32_t method = Le(h + 8, 2), crc = Le(h + 14, 4), csize = Le(h + 18, 4);
    uint32_t nameLen = Le(h + 26, 2), extraLen = Le(h + 28, 2);
    std::string name(nameLen, '\0');
    if (std::fread(name.data(), 1, nameLen, f) != nameLen) break;
    long data = pos + 30 + nameLen + extraLen;
    pos = data + static_cast<long>(csize);
    if (method != 9) continue;
    std::fseek(f, data, SEEK_SET);
    FILE* out = nullptr;
    if (!outDir.empty()) {
      std::string base = name.substr(name.find_last_of('/') + 1);
      out = std::fopen((outDir + "/" + base).c_str(), "wb");
    }
    uint32_t running = 0;
    TDecoderIO io;
    io.Read = [&](uint8_t* buf, int64_t n) { return static_cast<int64_t>(std::fread(buf, 1, n, f)); };
    io.Write = [&](const uint8_t* buf, int64_t n) -> int64_t {
      running = static_cast<uint32_t>(crc32(running, buf, static_cast<uInt>(n)));
      if (out && std::fwrite(buf, 1, n, out) != static_cast<size_t>(n)) return 0;
      return n;
    };
    io.CompressedSize = csize;
    auto t0 = std::chrono::steady_clock::now();
    TDecodeStatus st = Inflate64(io);
    if (out) std::fclose(out);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    bool good = st.Ok() && running == crc;
    ok = ok && good;
    total += s;
    bytes += st.BytesOut;
    std::printf("%-40s %12lld bytes %8.3f s %8.1f MB/s %s\n", name.c_str(), static_cast<long long>(st.BytesOut), s,
                st.BytesOut / s / 1e6, good ? "ok" : st.Reason);
  }
  std::fclose(f);
  std::printf("total %lld bytes in %.3f s (%.1f MB/s)\n", static_cast<long long>(bytes), total,
              total > 0 ? bytes / total / 1e6 : 0.0);
  return ok ? 0 : 1;
}

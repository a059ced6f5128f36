// Cabinet encoder benchmark: the files named (folders recursively, in name order) form one folder,
// compressed as MSZIP (zlib level 6 on 32 KiB blocks with the previous block as dictionary), LZX
// and Quantum. Prints size, ratio to MSZIP and speed on one core; with --write DIR also writes
// the LZX and Quantum cabinets there (with their block checksums) for the peer tools to check.
// Usage: bench_cabenc [--lzx N] [--quantum LEVEL,MEMORY] [--only lzx|quantum] [--e8 on|off|auto]
//        [--write DIR] PATH...
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "archive/cab/qrvCabGbls.h"
#include "archive/cab/qrvLzxEnc.h"
#include "archive/cab/qrvQuantumEnc.h"

namespace fs = std::filesystem;

namespace {

using FrameFn = std::function<bool(const uint8_t*, size_t, bool, std::vector<uint8_t>&)>;

struct TFolder {
  std::vector<std::pair<std::string, std::string>> Files;
  std::string Data;
};

void AddPath(const fs::path& p, const fs::path& root, TFolder& f) {
  if (fs::is_directory(p)) {
    std::vector<fs::path> items{fs::directory_iterator(p), fs::directory_iterator()};
    std::sort(items.begin(), items.end());
    for (const auto& i : items) AddPath(i, root, f);
  } else if (fs::is_regular_file(p)) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    f.Files.push_back({fs::relative(p, root).string(), ss.str()});
    f.Data += f.Files.back().second;
  }
}

size_t MsZipSize(const std::string& data) {
  size_t total = 0;
  std::vector<uint8_t> out(70000);
  for (size_t pos = 0; pos < data.size(); pos += 32768) {
    size_t n = std::min<size_t>(32768, data.size() - pos);
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    if (pos) deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(data.data()) + pos - 32768, 32768);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data())) + pos;
    z.avail_in = static_cast<uInt>(n);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    total += 2 + 8 + z.total_out;  // "CK" and the CFDATA header
    deflateEnd(&z);
  }
  return total;
}

void Put(std::string& s, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}

// Compresses the folder; returns the CFDATA bytes (headers included) and the block list.
size_t Encode(const std::string& data, const FrameFn& fn, std::vector<std::string>* blocks) {
  size_t total = 0;
  std::vector<uint8_t> out;
  size_t pos = 0;
  do {
    size_t n = std::min<size_t>(32768, data.size() - pos);
    if (!fn(reinterpret_cast<const uint8_t*>(data.data()) + pos, n, pos + n == data.size(), out)) {
      std::fprintf(stderr, "encoder refused a frame\n");
      std::exit(1);
    }
    if (n) {
      total += 8 + out.size();
      if (blocks) {
        std::string b;
        Put(b, CabDataChecksum(out.data(), static_cast<uint16_t>(out.size()), static_cast<uint16_t>(n)), 4);
        Put(b, static_cast<uint32_t>(out.size()), 2);
        Put(b, static_cast<uint32_t>(n), 2);
        b.append(out.begin(), out.end());
        blocks->push_back(b);
      }
    }
    pos += n;
  } while (pos < data.size());
  return total;
}

void WriteCab(const fs::path& path, const TFolder& f, uint16_t type, const std::vector<std::string>& blocks) {
  std::string files;
  uint32_t off = 0;
  for (const auto& e : f.Files) {
    Put(files, static_cast<uint32_t>(e.second.size()), 4);
    Put(files, off, 4);
    Put(files, 0, 2);
    Put(files, 0x5A21, 2);
    Put(files, 0, 2);
    Put(files, 0x20, 2);
    files += e.first + '\0';
    off += static_cast<uint32_t>(e.second.size());
  }
  size_t start = 36 + 8 + files.size(), total = start;
  for (const auto& b : blocks) total += b.size();
  std::string cab = "MSCF";
  Put(cab, 0, 4), Put(cab, static_cast<uint32_t>(total), 4), Put(cab, 0, 4), Put(cab, 44, 4);
  Put(cab, 0, 4), Put(cab, 0x0103, 2), Put(cab, 1, 2), Put(cab, static_cast<uint32_t>(f.Files.size()), 2);
  Put(cab, 0, 2), Put(cab, 0, 2), Put(cab, 0, 2);
  Put(cab, static_cast<uint32_t>(start), 4), Put(cab, static_cast<uint32_t>(blocks.size()), 2);
  Put(cab, type, 2);
  std::ofstream out(path, std::ios::binary);
  out << cab << files;
  for (const auto& b : blocks) out << b;
}

// Processor time of this process: the machine may be shared, so wall time would mislead.
double Seconds(std::clock_t t0) { return double(std::clock() - t0) / CLOCKS_PER_SEC; }

}  // namespace

int main(int argc, char** argv) {
  unsigned lzx = 21, qLevel = 7, qMemory = 21;
  std::string writeDir, only, e8 = "auto";
  TFolder folder;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--lzx" && i + 1 < argc)
      lzx = std::stoul(argv[++i]);
    else if (a == "--quantum" && i + 1 < argc)
      std::sscanf(argv[++i], "%u,%u", &qLevel, &qMemory);
    else if (a == "--write" && i + 1 < argc)
      writeDir = argv[++i];
    else if (a == "--only" && i + 1 < argc)
      only = argv[++i];
    else if (a == "--e8" && i + 1 < argc)
      e8 = argv[++i];
    else
      AddPath(a, fs::absolute(a).parent_path(), folder);
  }
  const std::string& data = folder.Data;
  double mb = data.size() / 1e6;
  std::printf("%zu files, %zu bytes\n", folder.Files.size(), data.size());
  std::clock_t t0 = std::clock();
  size_t mszip = MsZipSize(data);
  std::printf("%-14s %12zu  1.000  %6.1f MB/s\n", "MSZIP", mszip, mb / Seconds(t0));

  auto run = [&](const char* name, uint16_t type, const FrameFn& fn, const char* file) {
    if (!only.empty() && std::string(file).rfind(only, 0) != 0) return;
    std::vector<std::string> blocks;
    std::clock_t t = std::clock();
    size_t size = Encode(data, fn, writeDir.empty() ? nullptr : &blocks);
    double s = Seconds(t);
    std::printf("%-14s %12zu  %.3f  %6.1f MB/s\n", name, size, double(size) / mszip, mb / s);
    if (!writeDir.empty()) WriteCab(fs::path(writeDir) / file, folder, type, blocks);
  };
  TLzxEncoder lz(lzx, e8 == "on" ? lxE8On : e8 == "off" ? lxE8Off : lxE8Auto);
  run(("LZX " + std::to_string(lzx)).c_str(), lz.FolderType(),
      [&](const uint8_t* d, size_t n, bool l, std::vector<uint8_t>& o) { return lz.CompressFrame(d, n, l, o); },
      "lzx.cab");
  TQuantumEncoder q(qLevel, qMemory);
  run(("Quantum " + std::to_string(qLevel) + "/" + std::to_string(qMemory)).c_str(), q.FolderType(),
      [&](const uint8_t* d, size_t n, bool l, std::vector<uint8_t>& o) { return q.CompressFrame(d, n, l, o); },
      "quantum.cab");
  return 0;
}

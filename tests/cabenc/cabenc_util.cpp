#include "cabenc/cabenc_util.h"

#include <gtest/gtest.h>
#include <mspack.h>

#include <algorithm>
#include <random>

using namespace testsupport;

namespace cabenc {
namespace {

void Put16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v));
  s.push_back(static_cast<char>(v >> 8));
}
void Put32(std::string& s, uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}

}  // namespace

std::string MakeCab(const Files& files, uint16_t folderType, const FrameFn& encode) {
  std::string folder;
  for (const auto& f : files) folder += f.second;
  std::vector<std::string> blocks;
  std::vector<uint8_t> out;
  size_t pos = 0;
  do {
    size_t n = std::min<size_t>(32768, folder.size() - pos);
    bool last = pos + n == folder.size();
    EXPECT_TRUE(encode(reinterpret_cast<const uint8_t*>(folder.data()) + pos, n, last, out));
    std::string block;
    Put32(block, 0);
    Put16(block, static_cast<uint32_t>(out.size()));
    Put16(block, static_cast<uint32_t>(n));
    block.append(out.begin(), out.end());
    if (n) blocks.push_back(block);
    pos += n;
  } while (pos < folder.size());

  std::string fileRecs;
  uint32_t offset = 0;
  for (const auto& f : files) {
    Put32(fileRecs, static_cast<uint32_t>(f.second.size()));
    Put32(fileRecs, offset);
    Put16(fileRecs, 0);       // folder
    Put16(fileRecs, 0x5A21);  // 2025-01-01
    Put16(fileRecs, 0);
    Put16(fileRecs, 0x20);
    fileRecs += f.first + '\0';
    offset += static_cast<uint32_t>(f.second.size());
  }
  size_t dataStart = 36 + 8 + fileRecs.size();
  size_t total = dataStart;
  for (const auto& b : blocks) total += b.size();
  std::string cab = "MSCF";
  Put32(cab, 0);
  Put32(cab, static_cast<uint32_t>(total));
  Put32(cab, 0);
  Put32(cab, 36 + 8);
  Put32(cab, 0);
  cab += '\x03';
  cab += '\x01';
  Put16(cab, 1);
  Put16(cab, static_cast<uint32_t>(files.size()));
  Put16(cab, 0);
  Put16(cab, 0x1234);
  Put16(cab, 0);
  Put32(cab, static_cast<uint32_t>(dataStart));
  Put16(cab, static_cast<uint32_t>(blocks.size()));
  Put16(cab, folderType);
  cab += fileRecs;
  for (const auto& b : blocks) cab += b;
  return cab;
}

std::string MspackExtract(const std::string& cabPath, const fs::path& dir) {
  mscab_decompressor* d = mspack_create_cab_decompressor(nullptr);
  mscabd_cabinet* cab = d->open(d, const_cast<char*>(cabPath.c_str()));
  std::string err;
  if (!cab) err = "open failed: " + std::to_string(d->last_error(d));
  for (mscabd_file* f = cab ? cab->files : nullptr; f && err.empty(); f = f->next) {
    std::string out = (dir / f->filename).string();
    int rc = d->extract(d, f, const_cast<char*>(out.c_str()));
    if (rc != MSPACK_ERR_OK) err = std::string(f->filename) + ": error " + std::to_string(rc);
  }
  if (cab) d->close(d, cab);
  mspack_destroy_cab_decompressor(d);
  return err;
}

void CheckWithPeers(const Files& files, const std::string& cab, const fs::path& dir, bool peers) {
  fs::path cabPath = dir / "t.cab";
  WriteFile(cabPath, cab);
  fs::path out = dir / "mspack";
  fs::create_directories(out);
  ASSERT_EQ(MspackExtract(cabPath.string(), out), "");
  for (const auto& f : files) ASSERT_TRUE(ReadFile(out / f.first) == f.second) << f.first;
  fs::remove_all(out);
  if (!peers) return;
  if (HaveTool("cabextract")) {
    CommandResult r = Run({"cabextract", "-t", cabPath.string()});
    EXPECT_EQ(r.status, 0) << r.out;
  }
  // A cabinet holds no checksum of the files' content: 7-Zip's extraction is compared too.
  if (HaveTool("7z")) {
    CommandResult r = Run({"7z", "x", "-y", "-o" + (dir / "7z").string(), cabPath.string()});
    ASSERT_EQ(r.status, 0) << r.out;
    for (const auto& f : files) EXPECT_TRUE(ReadFile(dir / "7z" / f.first) == f.second) << "7z: " << f.first;
    fs::remove_all(dir / "7z");
  }
}

std::string Sample(const std::string& kind, size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  if (kind == "zeros") return std::string(size, '\0');
  if (kind == "random") return RandomBytes(size, seed);
  if (kind == "text") return TextBytes(size, seed);
  std::string s;
  if (kind.rfind("period:", 0) == 0) {
    size_t period = std::stoul(kind.substr(7));
    std::string unit = RandomBytes(period, seed);
    while (s.size() < size) s += unit;
  } else if (kind.rfind("far:", 0) == 0) {
    size_t dist = std::stoul(kind.substr(4));
    s = RandomBytes(dist, seed);
    while (s.size() < size) s.push_back(s[s.size() - dist]);
  } else if (kind == "reps") {
    // Copies from three distances taken in turn (the repeated offsets), of 2 to 300 bytes, with a
    // literal or two between them.
    s = RandomBytes(32000, seed);
    const size_t dists[] = {1, 777, 4099, 31000};
    while (s.size() < size) {
      size_t d = dists[rng() % 4], n = rng() % 8 ? 2 + rng() % 30 : 300;
      for (size_t i = 0; i < n; ++i) s.push_back(s[s.size() - d]);
      s.push_back(static_cast<char>(rng()));
      if (rng() % 2) s.push_back(static_cast<char>(rng()));
    }
  } else if (kind == "testdata") {
    // Archives other programs wrote, in name order: frames that shrink next to frames that do not.
    std::vector<fs::path> paths;
    for (const auto& e : fs::recursive_directory_iterator(Testdata("")))
      if (e.is_regular_file()) paths.push_back(e.path());
    std::sort(paths.begin(), paths.end());
    for (size_t i = 0; s.size() < size && i < paths.size(); ++i) s += ReadFile(paths[i]);
  } else if (kind == "exe") {
    // x86-like code: calls (E8 + operand) to a few targets between text-like filler.
    s = "MZ";
    std::vector<int32_t> targets = {0x1000, 0x2400, 0x7F000, 0x120000};
    while (s.size() < size) {
      if (rng() % 3 == 0) {
        int32_t rel = targets[rng() % targets.size()] - static_cast<int32_t>(s.size());
        s.push_back('\xE8');
        for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(rel >> (8 * i)));
      } else {
        s += "\x48\x89\xC7\x8B\x45";
        s.push_back(static_cast<char>(rng() % 16));
      }
    }
  }
  s.resize(size);
  return s;
}

}  // namespace cabenc

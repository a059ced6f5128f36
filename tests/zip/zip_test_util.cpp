#include "zip/zip_test_util.h"

#include <zlib.h>

#include <algorithm>

#include "archive/zip/qrvExplode.h"
#include "archive/zip/qrvInflate64.h"
#include "archive/zip/qrvUnReduce.h"
#include "archive/zip/qrvUnShrink.h"

namespace ziptest {

namespace fs = std::filesystem;

static uint32_t Le(const std::string& s, size_t at, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

static uint64_t Le64(const std::string& s, size_t at) { return Le(s, at, 4) | (uint64_t(Le(s, at + 4, 4)) << 32); }

// Zip64 sizes from an extra field (ID 1: uncompressed, then compressed, as far as flagged).
static void Zip64Sizes(const std::string& s, size_t extra, size_t len, Entry& e) {
  for (size_t p = extra; p + 4 <= extra + len && p + 4 <= s.size();) {
    uint32_t id = Le(s, p, 2), n = Le(s, p + 2, 2);
    if (id == 1) {
      size_t q = p + 4;
      if (e.UncompressedSize == 0xFFFFFFFF && q + 8 <= s.size()) e.UncompressedSize = Le64(s, q), q += 8;
      if (e.CompressedSize == 0xFFFFFFFF && q + 8 <= s.size()) e.CompressedSize = Le64(s, q);
      return;
    }
    p += 4 + n;
  }
}

// Central directory sizes and CRC by local header offset (for entries with a data descriptor).
static bool CentralInfo(const std::string& s, size_t localOffset, Entry& e) {
  size_t eocd = s.rfind(std::string("PK\x05\x06", 4));
  if (eocd == std::string::npos || eocd + 22 > s.size()) return false;
  size_t p = Le(s, eocd + 16, 4);
  for (uint32_t n = Le(s, eocd + 10, 2); n > 0 && p + 46 <= s.size(); --n) {
    if (Le(s, p, 4) != 0x02014B50) return false;
    size_t nameLen = Le(s, p + 28, 2), extraLen = Le(s, p + 30, 2), commentLen = Le(s, p + 32, 2);
    if (Le(s, p + 42, 4) == localOffset) {
      e.Crc = Le(s, p + 16, 4);
      e.CompressedSize = Le(s, p + 20, 4);
      e.UncompressedSize = Le(s, p + 24, 4);
      Zip64Sizes(s, p + 46 + nameLen, extraLen, e);
      return true;
    }
    p += 46 + nameLen + extraLen + commentLen;
  }
  return false;
}

std::vector<Entry> ReadEntries(const std::string& Zip) {
  std::string s = testsupport::ReadFile(Zip);
  std::vector<Entry> out;
  size_t p = 0;
  while (p + 30 <= s.size() && Le(s, p, 4) == 0x04034B50) {
    Entry e;
    e.Flags = static_cast<uint16_t>(Le(s, p + 6, 2));
    e.Method = static_cast<uint16_t>(Le(s, p + 8, 2));
    e.Crc = Le(s, p + 14, 4);
    e.CompressedSize = Le(s, p + 18, 4);
    e.UncompressedSize = Le(s, p + 22, 4);
    size_t nameLen = Le(s, p + 26, 2), extraLen = Le(s, p + 28, 2);
    size_t data = std::min(s.size(), p + 30 + nameLen + extraLen);
    e.Name = s.substr(std::min(s.size(), p + 30), nameLen);
    Zip64Sizes(s, p + 30 + nameLen, extraLen, e);
    if ((e.Flags & 8) && e.CompressedSize == 0 && !CentralInfo(s, p, e)) break;
    size_t avail = s.size() - data;
    e.Data = s.substr(data, static_cast<size_t>(std::min<int64_t>(e.CompressedSize, avail)));
    out.push_back(e);
    if (static_cast<int64_t>(avail) <= e.CompressedSize) break;
    p = data + e.CompressedSize;
    if (e.Flags & 8) {  // data descriptor, with or without its signature
      p += Le(s, p, 4) == 0x08074B50 ? 4 : 0;
      p += 12;
    }
  }
  return out;
}

Entry FindEntry(const std::string& Zip, const std::string& Name) {
  for (const Entry& e : ReadEntries(Zip))
    if (e.Name == Name) return e;
  return Entry{};
}

Decoded Decode(uint16_t Method, uint16_t Flags, const std::string& Data, int64_t UncompressedSize, size_t Pieces,
               int64_t OutputCap) {
  Decoded d;
  size_t pos = 0;
  TDecoderIO io;
  io.Read = [&](uint8_t* buf, int64_t n) -> int64_t {
    size_t k = std::min({static_cast<size_t>(n), Data.size() - pos, Pieces});
    std::copy_n(Data.data() + pos, k, buf);
    pos += k;
    return static_cast<int64_t>(k);
  };
  io.Write = [&](const uint8_t* buf, int64_t n) -> int64_t {
    if (OutputCap > 0 && static_cast<int64_t>(d.Output.size()) + n > OutputCap) return 0;
    d.Output.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
    return n;
  };
  io.CompressedSize = static_cast<int64_t>(Data.size());
  io.UncompressedSize = UncompressedSize;
  switch (Method) {
    case 1: d.Status = UnShrink(io); break;
    case 2:
    case 3:
    case 4:
    case 5: d.Status = UnReduce(io, Method - 1); break;
    case 6: d.Status = Explode(io, Flags); break;
    case 9: d.Status = Inflate64(io); break;
    default: d.Status.Result = drDataError; d.Status.Reason = "method not handled by the test";
  }
  return d;
}

Decoded Decode(const Entry& E, int64_t OutputCap) {
  return Decode(E.Method, E.Flags, E.Data, E.UncompressedSize, 1u << 30, OutputCap);
}

uint32_t Crc32(const std::string& Data) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(Data.data()), static_cast<uInt>(Data.size())));
}

void BitWriter::Put(uint32_t Value, unsigned Bits) {
  for (unsigned i = 0; i < Bits; ++i) {
    acc_ |= ((Value >> i) & 1u) << n_;
    if (++n_ == 8) {
      out_.push_back(static_cast<char>(acc_));
      acc_ = n_ = 0;
    }
  }
}

void BitWriter::PutCode(uint32_t Code, unsigned Bits) {
  for (unsigned i = Bits; i-- > 0;) Put((Code >> i) & 1u, 1);
}

void BitWriter::AlignToByte() {
  if (n_ > 0) Put(0, 8 - n_);
}

std::string BitWriter::Bytes() const {
  std::string s = out_;
  if (n_ > 0) s.push_back(static_cast<char>(acc_));
  return s;
}

std::string SevenZip() {
  for (const char* name : {"7z", "7zz"})
    if (testsupport::HaveTool(name)) return name;
  return "";
}

bool SevenZipExtract(const std::string& Zip, const fs::path& Dir) {
  std::string tool = SevenZip();
  return !tool.empty() && testsupport::Run({tool, "x", "-y", "-o" + Dir.string(), Zip}).status == 0;
}

}  // namespace ziptest

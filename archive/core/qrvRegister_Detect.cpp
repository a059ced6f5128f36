// Archive-type detection by content: signature probes, the probes for program stubs, the
// generic scan, the UUE and TAR tests. Every read is bounded by the stream's size.
#include <algorithm>
#include <cstring>

#include "archive/core/qrvBase.h"  // TDiskManager, for the spanning test
#include "archive/core/qrvRegister.h"
#include "platform/FileInfo.h"

namespace {

constexpr int64_t kHeadSize = 32767;
constexpr int64_t kScanBlock = 32768;
constexpr int kScanBlocks = 11;
constexpr int64_t kExeScanStart = 17000;

// Reads up to N bytes at Pos into Out (resized to what arrived).
void ReadAt(TStream32& s, int64_t pos, int64_t n, std::vector<uint8_t>& out) {
  out.clear();
  if (pos < 0 || n <= 0 || s.Seek(pos, soFromBeginning) != pos) return;
  out.resize(size_t(n));
  int64_t done = 0;
  while (done < n) {
    const int32_t got = s.Read(out.data() + done, int32_t(n - done));
    if (got <= 0) break;
    done += got;
  }
  out.resize(size_t(done));
}

bool BytesAt(const std::vector<uint8_t>& b, size_t pos, const char* pattern, size_t len) {
  return pos + len <= b.size() && std::memcmp(b.data() + pos, pattern, len) == 0;
}
bool BytesAt(const std::vector<uint8_t>& b, size_t pos, const char* pattern) {
  return BytesAt(b, pos, pattern, std::strlen(pattern));
}

// An LZH header whose method lies at I: "-l" or "-pm", two characters, "-"; a level of 0 to 3,
// and for levels 0 and 1 a header checksum that holds. A stub's stray method strings fail it.
bool LhaHeaderAt(const std::vector<uint8_t>& B, size_t I) {
  if (I < 2 || I + 20 >= B.size() || B[I] != '-' || B[I + 4] != '-') return false;
  if (!(B[I + 1] == 'l' || (B[I + 1] == 'p' && B[I + 2] == 'm'))) return false;
  const size_t h = I - 2;
  switch (B[h + 20]) {
    case 0:
    case 1: {
      const size_t total = size_t(B[h]) + 2;
      if (B[h] < 22 || h + total > B.size()) return false;
      uint32_t sum = 0;
      for (size_t k = h + 2; k < h + total; ++k) sum += B[k];
      return uint8_t(sum) == B[h + 1];
    }
    case 2: return (B[h] | B[h + 1] << 8) >= 26;
    case 3: return (B[h] | B[h + 1] << 8) == 4;
    default: return false;
  }
}

bool HasJarExtension(const std::string& name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".jar";
}

// Octal number of a TAR checksum field: leading spaces, digits, then anything; -1 without digits.
int64_t ParseOctal(const uint8_t* p, size_t len) {
  size_t i = 0;
  while (i < len && p[i] == ' ') ++i;
  int64_t v = -1;
  for (; i < len && p[i] >= '0' && p[i] <= '7'; ++i) v = (v < 0 ? 0 : v * 8) + (p[i] - '0');
  return v;
}

bool TarHeaderValid(const std::vector<uint8_t>& h) {
  if (h.size() < 512) return false;
  const int64_t stored = ParseOctal(h.data() + 148, 8);
  int64_t sum = 8 * 32;
  for (size_t i = 0; i < 512; ++i)
    if (i < 148 || i >= 156) sum += h[i];
  return stored == sum;
}

bool AllZero(const std::vector<uint8_t>& h) {
  return std::all_of(h.begin(), h.end(), [](uint8_t b) { return b == 0; });
}

// A cabinet header at Pos whose fields hold together (reserved fields zero, version 1.x, a file
// list inside the cabinet, at least one folder and file): evidence enough to find a cabinet
// behind other data in a plain file, as cabinet tools search for one.
bool CabHeaderAt(const std::vector<uint8_t>& b, size_t pos) {
  if (!BytesAt(b, pos, "MSCF\0\0\0\0", 8) || pos + 30 > b.size()) return false;
  const uint8_t* h = b.data() + pos;
  const uint32_t size = GetLE32(h + 8), files = GetLE32(h + 16);
  return GetLE32(h + 12) == 0 && GetLE32(h + 20) == 0 && h[25] == 1 && files >= 36 && files < size &&
         GetLE16(h + 26) != 0 && GetLE16(h + 28) != 0;
}

// The file a stream reads, for its date and extension.
std::string StreamFileName(TStream32& s, const std::string& fallback) {
  if (auto* f = dynamic_cast<TFileStream32*>(&s)) return f->FileName();
  return fallback;
}

}  // namespace

int64_t TArvexComponent::ZipDirectorySearch(TStream32& S) {
  if (!FZipSearched) {
    LocateEndRecord(S, FZipLocation);
    FZipSearched = true;
  }
  return FZipLocation.StartPos;
}

TArcType TArvexComponent::ZipSpanningTest() {
  TDiskManager disk;
  TDiskManager::TVolumeInfo info;
  const std::string path = FArchiveFile.empty() ? std::string(".") : FArchiveFile;
  if (disk.Probe(path, info) && info.Removable) {
    std::string label = info.Label.substr(0, info.Label.find(' '));
    for (char& c : label) c = char(std::toupper(static_cast<unsigned char>(c)));
    if (label == "PKBACK#") return atZipDS;
  }
  return atZipMV;
}

TArcType TArvexComponent::Probe(TStream32& S, int Mode, const uint8_t* B, int64_t Pos) {
  // B holds the bytes at Pos that lie inside the file: four, or fewer at its very end.
  const int64_t avail = std::min<int64_t>(4, FArchiveSize - Pos);
  const bool m1 = Mode == 1;
  FOffset = Pos;
  if (avail >= 4) {
    switch (GetLE32(B)) {
      case 0x07054842: return m1 ? atBh : atBhExe;
      case 0x21726152: return m1 ? atRar : atRarExe;  // "Rar!"
      case 0x35474B50: return atUnknown;              // "PKG5"
      case 0x4643534D: return m1 ? atCab : atCabExe;  // "MSCF"
      case 0x5754DFB7:
        if (m1) return atArc;
        FOffset = 7716;
        return atArcExe;
      case 0x8C655D13: return m1 ? atMsGZ : atUnsupported;
    }
    if (B[2] == '-' && B[3] == 'l') return m1 ? atLha : atLhaExe;
  }
  if (avail < 2) return atNA;
  const uint8_t a = B[0], b = B[1];
  if (a == 0x1A && (b == 0x02 || b == 0x1E)) return m1 ? atArc : atUnsupported;
  if (a == 0x1A && (b == 0x08 || b == 0x09)) return m1 ? atArc : atArcExe;
  if (a == 0x1A && (b == 0x0A || b == 0x0B)) return m1 ? atPak : atPakExe;
  if ((a == 0x1F && (b == 0x1E || b == 0x8B || b == 0x9D || b == 0x9E || b == 0xA0)) || (a == '%' && b == '!'))
    return m1 ? atGZip : atUnsupported;
  if (a == 'H' && b == 'A') return m1 ? atHA : atUnsupported;
  if (a == 'P' && (b == 'K' || b == 'L')) {
    const uint8_t c = avail >= 4 ? B[2] : 0, d = avail >= 4 ? B[3] : 0;
    if ((c == 1 && d == 2) || (c == 7 && d == 8)) return ZipSpanningTest();
    if ((c == 'G' && d == '4') || (c == 'C' && d == 'I')) return atNA;
    return m1 ? atZip : atZipExe;
  }
  if (a == 'Z' && b == 'O') return m1 ? atZoo : atUnsupported;
  if (a == 0xB7 && (b == 0x92 || b == 0xDF)) {
    FOffset = 7716;
    return atArcExe;
  }
  if (a == 0x60 && b == 0xEA) return m1 ? atArj : atArjExe;
  (void)S;
  return atNA;
}

TArcType TArvexComponent::GenericScan(TStream32& S, int64_t From) {
  std::vector<uint8_t> buf;
  ReadAt(S, From, kScanBlock * kScanBlocks, buf);
  const size_t n = buf.size();  // every pattern must end inside what was read (inside the file)
  auto byStart = [](int64_t start, TArcType plain, TArcType exe) { return start == 0 ? plain : exe; };
  for (size_t i = 0; i < n; ++i) {
    const int64_t pos = From + int64_t(i);
    const uint8_t c = buf[i];
    if (c == '*' && pos >= 7 && BytesAt(buf, i, "**ACE")) {
      FOffset = pos - 7;
      return byStart(FOffset, atAce, atAceExe);
    }
    if (c == '-' && pos >= 2 && ((BytesAt(buf, i, "-lh") && i + 4 < n && buf[i + 4] == '-') || LhaHeaderAt(buf, i))) {
      FOffset = pos - 2;
      return byStart(FOffset, atLha, atLhaExe);
    }
    if (c == 0x42 && BytesAt(buf, i, "BH\x05\x07") && !BytesAt(buf, i + 4, "\x0F\x94\xC3\x84")) {
      FOffset = pos;
      return byStart(pos, atBh, atBhExe);
    }
    if (c == 'M' && (From > 0 ? BytesAt(buf, i, "MSCF\0\0\0\0", 8) : CabHeaderAt(buf, i))) {
      FOffset = pos;
      return byStart(pos, atCab, atCabExe);
    }
    if (c == 'P' && BytesAt(buf, i, "PK\x03\x04") && !BytesAt(buf, i + 4, "\x74\x0B\x3D\x00", 4)) {
      const int64_t dir = ZipDirectorySearch(S);
      FOffset = dir > 0 ? dir : pos;
      return From == 0 ? atZip : atZipExe;
    }
    if (c == 'R' && BytesAt(buf, i, "Rar!")) {
      FOffset = pos;
      return byStart(pos, atRar, atRarExe);
    }
    if (c == 0x60 && i + 4 <= n && buf[i + 1] == 0xEA) {
      const size_t next = i + GetLE16(&buf[i + 2]) + 10;  // the following header's id
      if (next + 2 <= n && buf[next] == 0x60 && buf[next + 1] == 0xEA) {
        FOffset = pos;
        return byStart(pos, atArj, atArjExe);
      }
    }
  }
  return atNA;
}

bool TArvexComponent::UueTest(const std::vector<uint8_t>& Head) {
  std::vector<uint8_t> h(Head.begin(), Head.begin() + std::min<size_t>(Head.size(), 5000));
  bool begun = false;
  for (size_t i = 0; i + 2 < h.size(); ++i) {
    if (i != 0 && h[i - 1] != '\n') continue;
    if (BytesAt(h, i, "begin 6") || BytesAt(h, i, "begin 7")) return true;
    if (begun && h[i] == 'M') return true;
    if (BytesAt(h, i, "begin")) begun = true;
  }
  return false;
}

// A valid first header gives atTar. A volume label ("V") moves the start to 512; the header
// after it must be valid too, or be the all-zero end block of an archive holding only the label.
bool TArvexComponent::TarTest(TStream32& S) {
  if (FArchiveSize <= 512) return false;
  std::vector<uint8_t> h;
  ReadAt(S, 0, 512, h);
  bool valid = TarHeaderValid(h);
  if (valid && h[156] == 'V') {
    FOffset = 512;
    ReadAt(S, 512, 512, h);
    valid = h.size() == 512 && (TarHeaderValid(h) || AllZero(h));
  }
  if (!valid) FOffset = -1;
  return valid;
}

TArcType TArvexComponent::ProbeExe(TStream32& S, const std::vector<uint8_t>& Head) {
  std::vector<uint8_t> b;
  // 1. Stubs of known sizes.
  for (int64_t at : {6674, 6867, 7716, 8601, 13138}) {
    if (at + 2 > FArchiveSize) break;
    ReadAt(S, at, 2, b);
    if (b.size() < 2 || b[0] != 0x1A) continue;
    FOffset = at;
    if (b[1] == 0x08 || b[1] == 0x09) return atArcExe;
    if (b[1] == 0x0A || b[1] == 0x0B) return atPakExe;
  }
  FOffset = -1;
  ReadAt(S, 1947, 5, b);
  if (BytesAt(b, 0, "-lh") && b.size() == 5 && b[4] == '-') {
    FOffset = 1945;
    return atLhaExe;
  }
  for (int64_t at : {7612, 25661}) {
    ReadAt(S, at, 4, b);
    if (BytesAt(b, 0, "PK\x03\x04")) {
      FOffset = at;
      return atZipExe;
    }
  }
  // 2. (String resources naming the archive offset: not available on this platform.)
  // 3. The size the executable's header states.
  if (Head.size() >= 6) {
    int64_t at = int64_t(GetLE16(&Head[4])) * 512 + GetLE16(&Head[2]) - 512;
    if (at >= 0 && at + 4 <= FArchiveSize) {
      ReadAt(S, at, 4, b);
      if (b.size() == 4 && b[2] == 0x60 && b[3] == 0xEA) at += 2;
      ReadAt(S, at, 4, b);
      if (b.size() == 4 && !BytesAt(b, 0, "PK\x03\x04")) {
        const TArcType t = Probe(S, 0, b.data(), at);
        if (IsValidArcType(t)) return t;
      }
    }
  }
  FOffset = -1;
  // 4. A ZIP archive found through its directory.
  const int64_t dir = ZipDirectorySearch(S);
  if (dir > 0) {
    FOffset = dir;
    return atZipExe;
  }
  // 5. The generic scan behind the stub.
  const TArcType t = GenericScan(S, kExeScanStart);
  if (t != atNA) return t;
  // 6. An LZH archive behind a stub shorter than the scan's start.
  std::vector<uint8_t> buf;
  ReadAt(S, 0, kExeScanStart + 32, buf);
  for (size_t i = 2; i < buf.size(); ++i)
    if (LhaHeaderAt(buf, i)) {
      FOffset = int64_t(i) - 2;
      return atLhaExe;
    }
  FOffset = -1;
  return atNA;
}

TArcType TArvexComponent::DetectType(TStream32& S) {
  FOffset = -1;
  FZipLocation = TZipLocation{};
  FZipSearched = false;
  TArcType t = atNA;
  try {
    FArchiveSize = S.Size();
    if (FArchiveSize > 19) {
      std::vector<uint8_t> head;
      ReadAt(S, 0, std::min(FArchiveSize, kHeadSize), head);
      // A header whose checksum verifies is stronger evidence than any magic: a TAR file
      // begins with a stored name, which may be any text ("my-lib", "MZ", "PK", "begin 644").
      if (TarTest(S)) {
        t = atTar;
      } else if (BytesAt(head, 0, "MZ")) {
        t = ProbeExe(S, head);
      } else {
        // a. Leading zero bytes: an LHA header at 128, or the first non-zero byte is probed.
        size_t pos = 0;
        while (pos < head.size() && head[pos] == 0) ++pos;
        if (pos > 0 && FArchiveSize - int64_t(pos) >= 133 && BytesAt(head, 130, "-l")) {
          t = atLha;
          FOffset = 128;
        } else {
          // b. The signature probe where the content starts.
          uint8_t four[4] = {};
          if (pos < head.size()) std::copy_n(head.begin() + pos, std::min<size_t>(4, head.size() - pos), four);
          t = pos < head.size() ? Probe(S, 1, four, int64_t(pos)) : atNA;
          if (t == atFileOpenErr || t == atUnknown) {
            // These end the detection with that type.
          } else if (t == atNA) {
            FOffset = -1;
            t = GenericScan(S, 0);
          } else if (IsZipLikeType(t)) {
            const int64_t dir = ZipDirectorySearch(S);
            FOffset = (dir <= 0 && !(FZipLocation.State & htsLocalHeader)) ? int64_t(pos) : dir;
          } else if (t == atZipDS || t == atZipMV) {
            FOffset = ZipDirectorySearch(S);
          }
        }
        // c. The tests for archives without a signature at the start.
        if (t == atNA || t == atUnsupported) {
          FOffset = -1;
          if (BytesAt(head, 7, "**ACE**")) {
            t = atAce;
          } else if (UueTest(head)) {
            t = atUUE;
          } else if (const int64_t dir = ZipDirectorySearch(S); dir > 0) {
            FOffset = dir;
            t = FZipLocation.End.ThisDisk != 0 ? ZipSpanningTest() : atZip;
          } else {
            t = GenericScan(S, 0);
          }
        }
      }
      if (IsValidArcType(t)) {
        if (FOffset < 0) FOffset = 0;
        if (t == atZip && HasJarExtension(StreamFileName(S, FArchiveFile))) t = atJar;
        // The ZIP reader and writer work from the directory search: run it for every ZIP type.
        if (IsZipLikeType(t) || t == atZipDS || t == atZipMV) ZipDirectorySearch(S);
      }
    }
  } catch (...) {
    // A failing read leaves the type found so far.
  }
  TFileInfo info;
  const std::string name = StreamFileName(S, FArchiveFile);
  FArchiveDate = (!name.empty() && GetFileInfo(name, info)) ? info.DosTime : 0x00210020;
  return t;
}

// LZH header layouts: reading levels 0-2 with their extended headers, writing level 0.
#include "archive/lzh/qrvLhaPack.h"

#include <algorithm>
#include <cstring>

#include "platform/CodePage.h"
#include "platform/DosTime.h"

namespace {

uint16_t Le16(const uint8_t* P) { return uint16_t(P[0] | P[1] << 8); }
uint32_t Le32(const uint8_t* P) { return uint32_t(P[0]) | uint32_t(P[1]) << 8 | uint32_t(P[2]) << 16 | uint32_t(P[3]) << 24; }
void PutLe16(uint8_t* P, uint32_t V) { P[0] = uint8_t(V); P[1] = uint8_t(V >> 8); }
void PutLe32(uint8_t* P, uint32_t V) { PutLe16(P, V); PutLe16(P + 2, V >> 16); }

bool ReadAt(TStream32& S, int64_t Pos, uint8_t* Buf, int32_t N) {
  return S.Seek(Pos, soFromBeginning) == Pos && S.Read(Buf, N) == N;
}

// What the extended headers say about the name and the entry.
struct TNameParts {
  std::string File, Dir;          // raw bytes; Dir with "/" separators and a trailing "/"
  std::string File16, Dir16;      // UTF-8 from the UTF-16 headers, Dir16 ending in "/"
  bool HaveFile16 = false, HaveDir16 = false;
  bool Nul = false;
  int Attr = -1;
};

// Directory-name data: 0xFF (and "/") separate the parts.
std::string DirFromRaw(const std::string& Raw) {
  std::string d;
  for (char c : Raw) d += uint8_t(c) == 0xFF ? '/' : c;
  if (!d.empty() && d.back() != '/') d += '/';
  return d;
}

void TakeExtended(uint8_t Type, const uint8_t* D, size_t N, TNameParts& P) {
  const std::string raw(reinterpret_cast<const char*>(D), N);
  const bool nul = raw.find('\0') != std::string::npos;
  switch (Type) {
    case 0x01: P.File = raw; P.Nul |= nul; break;
    case 0x02: P.Dir = DirFromRaw(raw); P.Nul |= nul; break;
    case 0x40: if (N >= 2) P.Attr = D[0]; break;
    case 0x44: case 0x45: {
      // UTF-16LE; in folder names 0xFFFF separates the parts.
      std::string out;
      size_t from = 0;
      for (size_t i = 0; i + 1 < N; i += 2) {
        const uint16_t u = Le16(D + i);
        P.Nul |= u == 0;
        if (Type == 0x45 && u == 0xFFFF) {
          out += Utf16LeToUtf8(D + from, i - from) + '/';
          from = i + 2;
        }
      }
      out += Utf16LeToUtf8(D + from, N - std::min(from, N));
      if (Type == 0x44) {
        P.File16 = out;
        P.HaveFile16 = true;
      } else {
        P.Dir16 = out.empty() || out.back() == '/' ? out : out + '/';
        P.HaveDir16 = true;
      }
      break;
    }
    default: break;
  }
}

// Walks a chain of extended headers in Buf (each: type, data, size of the next). First is the
// size of the first one. Returns the bytes they take, -1 when one does not fit or is too small.
int64_t WalkExtended(const uint8_t* Buf, size_t Len, size_t First, TNameParts& P) {
  size_t at = 0, size = First;
  while (size != 0) {
    if (size < 3 || at + size > Len) return -1;
    TakeExtended(Buf[at], Buf + at + 1, size - 3, P);
    const size_t next = Le16(Buf + at + size - 2);
    at += size;
    size = next;
  }
  return int64_t(at);
}

std::string DecodeRaw(const std::string& Raw, bool Translate) {
  return Translate ? OemToUtf8(Raw) : Raw;
}

void FinishName(TLhaHeader& H, const std::string& RawName, TNameParts& P, bool Translate) {
  H.NameHasNul = P.Nul || RawName.find('\0') != std::string::npos;
  if (P.Attr >= 0) H.Attr = uint8_t(P.Attr);
  std::string file = P.HaveFile16 ? P.File16 : DecodeRaw(RawName, Translate);
  std::string dir = P.HaveDir16 ? P.Dir16 : DecodeRaw(P.Dir, Translate);
  // Separators: "\" of level 0 after decoding (a CP932 trail byte 0x5C is part of its character
  // by then), and "/" of every level.
  std::string name = dir + file;
  std::replace(name.begin(), name.end(), '\\', '/');
  while (!name.empty() && name.back() == '/') name.pop_back();
  const size_t bar = name.find('|');
  if (H.IsDir() && bar != std::string::npos) {
    H.LinkTarget = name.substr(bar + 1);
    name.resize(bar);
  }
  H.Name = name;
}

TLhaRead ReadLevel01(TStream32& S, int64_t Pos, int64_t FileSize, const uint8_t* Fixed, bool Translate, TLhaHeader& H) {
  const size_t total = size_t(Fixed[0]) + 2;
  const size_t n = Fixed[21];
  const size_t tail = H.Level == 1 ? 5 : 0;
  if (total < size_t(LhaFixedSize) + n + tail || Pos + int64_t(total) > FileSize) return lrBad;
  std::vector<uint8_t> h(total);
  if (!ReadAt(S, Pos, h.data(), int32_t(total))) return lrBad;
  if (LhaHeaderSum(h.data(), total) != h[1]) return lrBad;
  const std::string rawName(reinterpret_cast<const char*>(h.data() + 22), n);
  const bool hasCrc = total >= 24 + n;
  H.Crc = hasCrc ? Le16(h.data() + 22 + n) : 0;
  TNameParts parts;
  int64_t dataAt = Pos + int64_t(total);
  H.PackedSize = Le32(h.data() + 7);
  if (H.Level == 1) {
    H.OsId = h[22 + n + 2];
    const size_t first = Le16(h.data() + total - 2);
    // The extended headers lie in the counted data; they are bounded by it and by the file.
    const int64_t room = std::min<int64_t>(H.PackedSize, FileSize - dataAt);
    if (first != 0) {
      std::vector<uint8_t> ext(size_t(std::max<int64_t>(std::min<int64_t>(room, 1 << 20), 0)));
      const int32_t got = ext.empty() ? 0 : (S.Seek(dataAt, soFromBeginning), S.Read(ext.data(), int32_t(ext.size())));
      const int64_t used = WalkExtended(ext.data(), size_t(std::max(got, 0)), first, parts);
      if (used < 0) return lrBad;
      dataAt += used;
      H.PackedSize -= used;
    }
  }
  FinishName(H, rawName, parts, Translate);
  H.DataOffset = dataAt;
  H.NextOffset = dataAt + H.PackedSize;
  return lrEntry;
}

TLhaRead ReadLevel2(TStream32& S, int64_t Pos, int64_t FileSize, const uint8_t* Fixed, bool Translate, TLhaHeader& H) {
  const size_t total = Le16(Fixed);
  if (total < 26 || Pos + int64_t(total) > FileSize) return lrBad;
  std::vector<uint8_t> h(total);
  if (!ReadAt(S, Pos, h.data(), int32_t(total))) return lrBad;
  H.PackedSize = Le32(h.data() + 7);
  H.Crc = Le16(h.data() + 21);
  H.OsId = h[23];
  // Level 2 holds Unix seconds whatever system wrote it.
  H.DosDateTime = UnixToDosDateTime(int64_t(Le32(h.data() + 15)));
  TNameParts parts;
  if (WalkExtended(h.data() + 26, total - 26, Le16(h.data() + 24), parts) < 0) return lrBad;
  FinishName(H, parts.File, parts, Translate);
  H.DataOffset = Pos + int64_t(total);
  H.NextOffset = H.DataOffset + H.PackedSize;
  return lrEntry;
}

}  // namespace

int TLhaHeader::MethodKey() const { return LhaKey(MethodId[1], MethodId[2], MethodId[3]); }

bool TLhaHeader::IsDir() const { return MethodKey() == LhaKey('l', 'h', 'd'); }

TLhaRead LhaReadHeader(TStream32& S, int64_t Pos, int64_t FileSize, bool Translate, TLhaHeader& H) {
  H = TLhaHeader();
  H.HeaderOffset = Pos;
  uint8_t b[LhaFixedSize] = {};
  if (Pos >= FileSize || S.Seek(Pos, soFromBeginning) != Pos) return lrEnd;
  const int32_t got = S.Read(b, LhaFixedSize);
  if (got <= 0 || b[0] == 0) {
    // A level-2 header's size may have a low byte of 0.
    if (!(got == LhaFixedSize && b[20] == 2 && b[1] != 0)) return lrEnd;
  }
  if (got < LhaFixedSize) return lrBad;
  std::memcpy(H.MethodId, b + 2, 5);
  H.Size = Le32(b + 11);
  H.DosDateTime = Le32(b + 15);
  H.Attr = b[19];
  H.Level = b[20];
  TLhaRead r = lrBad;
  if (H.Level == 0 || H.Level == 1)
    r = ReadLevel01(S, Pos, FileSize, b, Translate, H);
  else if (H.Level == 2)
    r = ReadLevel2(S, Pos, FileSize, b, Translate, H);
  if (r == lrEntry && (H.PackedSize < 0 || H.NextOffset > FileSize)) return lrBad;
  if (r == lrEntry) S.Seek(H.DataOffset, soFromBeginning);
  return r;
}

uint8_t LhaHeaderSum(const uint8_t* Header, size_t Length) {
  uint32_t sum = 0;
  for (size_t i = 2; i < Length; ++i) sum += Header[i];
  return uint8_t(sum);
}

std::vector<uint8_t> LhaBuildHeader0(const char* MethodId, uint32_t PackedSize, uint32_t Size, uint32_t DosDateTime,
                                     uint8_t Attr, const std::string& RawName, uint16_t Crc) {
  const size_t n = std::min(RawName.size(), LhaMaxName0);
  std::vector<uint8_t> h(n + 24);
  h[0] = uint8_t(n + 22);
  std::memcpy(h.data() + 2, MethodId, 5);
  PutLe32(h.data() + 7, PackedSize);
  PutLe32(h.data() + 11, Size);
  PutLe32(h.data() + 15, DosDateTime);
  h[19] = Attr;
  h[20] = 0;
  h[21] = uint8_t(n);
  std::memcpy(h.data() + 22, RawName.data(), n);
  PutLe16(h.data() + 22 + n, Crc);
  h[1] = LhaHeaderSum(h.data(), h.size());
  return h;
}

std::string LhaStoredName(const std::string& Name, bool IsDir, bool Translate) {
  std::string raw = Translate ? Utf8ToOem(Name) : Name;
  // Separators after conversion: a "/" byte never occurs inside a CP932 or UTF-8 character.
  std::replace(raw.begin(), raw.end(), '/', '\\');
  if (IsDir && (raw.empty() || raw.back() != '\\')) raw += '\\';
  return raw;
}

std::string Utf16LeToUtf8(const uint8_t* Data, size_t Bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < Bytes; i += 2) {
    uint32_t c = Le16(Data + i);
    if ((c & 0xFC00) == 0xD800 && i + 3 < Bytes && (Le16(Data + i + 2) & 0xFC00) == 0xDC00) {
      c = 0x10000 + ((c - 0xD800) << 10) + (Le16(Data + i + 2) - 0xDC00);
      i += 2;
    } else if ((c & 0xF800) == 0xD800) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6);
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | c >> 12);
      out += char(0x80 | (c >> 6 & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | c >> 18);
      out += char(0x80 | (c >> 12 & 0x3F));
      out += char(0x80 | (c >> 6 & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

int64_t LhaFindFirstHeader(TStream32& S, int64_t FileSize) {
  constexpr int64_t kStubSearch = 65536;
  TLhaHeader h;
  if (LhaReadHeader(S, 0, FileSize, false, h) == lrEntry) return 0;
  std::vector<uint8_t> buf(size_t(std::min(FileSize, kStubSearch)));
  S.SetPosition(0);
  const int32_t got = buf.empty() ? 0 : S.Read(buf.data(), int32_t(buf.size()));
  for (int32_t i = 2; i + 5 <= got; ++i) {
    if (buf[size_t(i)] != '-' || buf[size_t(i) + 1] != 'l' || buf[size_t(i) + 4] != '-') continue;
    if (LhaReadHeader(S, i - 2, FileSize, false, h) == lrEntry) return i - 2;
  }
  return -1;
}

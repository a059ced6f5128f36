// LZH header layouts: reading levels 0-3 with their extended headers, writing level 0.
#include "archive/lzh/qrvLhaPack.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/CodePage.h"
#include "platform/DosTime.h"

namespace {

uint16_t Le16(const uint8_t* P) { return uint16_t(P[0] | P[1] << 8); }
uint32_t Le32(const uint8_t* P) {
  return uint32_t(P[0]) | uint32_t(P[1]) << 8 | uint32_t(P[2]) << 16 | uint32_t(P[3]) << 24;
}
uint64_t Le64(const uint8_t* P) { return Le32(P) | uint64_t(Le32(P + 4)) << 32; }
void PutLe16(uint8_t* P, uint32_t V) {
  P[0] = uint8_t(V);
  P[1] = uint8_t(V >> 8);
}
void PutLe32(uint8_t* P, uint32_t V) {
  PutLe16(P, V);
  PutLe16(P + 2, V >> 16);
}

// A level-3 header (and its extended headers) is read whole; beyond this it is refused.
constexpr size_t kMaxHeader3 = size_t(1) << 20;

bool ReadAt(TStream32& S, int64_t Pos, uint8_t* Buf, int32_t N) {
  return S.Seek(Pos, soFromBeginning) == Pos && S.Read(Buf, N) == N;
}

TLhaRead Bad(TLhaHeader& H, const char* Why) {
  H.Why = Why;
  return lrBad;
}

// What the extended headers (or a level-0 Unix area) say about the name and the entry.
struct TNameParts {
  std::string File, Dir;      // raw bytes; Dir with "/" separators and a trailing "/"
  std::string File16, Dir16;  // UTF-8 from the UTF-16 headers, Dir16 ending in "/"
  bool HaveFile16 = false, HaveDir16 = false;
  bool Nul = false;
  int Attr = -1;
  int Mode = -1;                       // Unix permissions
  int64_t UnixTime = -1;               // Unix modification time
  int64_t Packed64 = -1, Size64 = -1;  // the 64-bit sizes
};

// Directory-name data: 0xFF (and "/") separate the parts.
std::string DirFromRaw(const std::string& Raw) {
  std::string d;
  for (char c : Raw) d += uint8_t(c) == 0xFF ? '/' : c;
  if (!d.empty() && d.back() != '/') d += '/';
  return d;
}

std::string Utf16Path(const uint8_t* D, size_t N, bool Folder, bool& Nul) {
  // UTF-16LE; in folder names 0xFFFF separates the parts.
  std::string out;
  size_t from = 0;
  for (size_t i = 0; i + 1 < N; i += 2) {
    const uint16_t u = Le16(D + i);
    Nul |= u == 0;
    if (Folder && u == 0xFFFF) {
      out += Utf16LeToUtf8(D + from, i - from) + '/';
      from = i + 2;
    }
  }
  return out + Utf16LeToUtf8(D + from, N - std::min(from, N));
}

void TakeExtended(uint8_t Type, const uint8_t* D, size_t N, TNameParts& P) {
  const std::string raw(reinterpret_cast<const char*>(D), N);
  const bool nul = raw.find('\0') != std::string::npos;
  switch (Type) {
    case 0x01:
      P.File = raw;
      P.Nul |= nul;
      break;
    case 0x02:
      P.Dir = DirFromRaw(raw);
      P.Nul |= nul;
      break;
    case 0x40:
      if (N >= 2) P.Attr = D[0];
      break;
    case 0x42:
      if (N >= 16 && Le64(D) < (uint64_t(1) << 62) && Le64(D + 8) < (uint64_t(1) << 62)) {
        P.Packed64 = int64_t(Le64(D));
        P.Size64 = int64_t(Le64(D + 8));
      }
      break;
    case 0x44:
      P.File16 = Utf16Path(D, N, false, P.Nul);
      P.HaveFile16 = true;
      break;
    case 0x45: {
      const std::string d = Utf16Path(D, N, true, P.Nul);
      P.Dir16 = d.empty() || d.back() == '/' ? d : d + '/';
      P.HaveDir16 = true;
      break;
    }
    case 0x50:
      if (N >= 2) P.Mode = Le16(D) & 07777;
      break;
    case 0x54:
      if (N >= 4) P.UnixTime = Le32(D);
      break;
    default: break;
  }
}

// Walks a chain of extended headers in Buf (each: type, data, the size of the next in Width
// bytes). First is the size of the first one. Returns the bytes they take, -1 when one does not
// fit or is too small.
int64_t WalkExtended(const uint8_t* Buf, size_t Len, size_t First, TNameParts& P, size_t Width = 2) {
  size_t at = 0, size = First;
  while (size != 0) {
    if (size < Width + 1 || size > Len - at) return -1;
    TakeExtended(Buf[at], Buf + at + 1, size - Width - 1, P);
    const uint8_t* next = Buf + at + size - Width;
    at += size;
    size = Width == 4 ? Le32(next) : Le16(next);
  }
  return int64_t(at);
}

// The same for a level-1 chain in the archive at Pos, one header at a time, within Limit bytes.
int64_t ReadExtendedAt(TStream32& S, int64_t Pos, int64_t Limit, size_t First, TNameParts& P) {
  std::vector<uint8_t> buf;
  int64_t used = 0;
  for (size_t size = First; size != 0; size = Le16(buf.data() + size - 2)) {
    if (size < 3 || int64_t(size) > Limit - used) return -1;
    buf.resize(size);
    if (!ReadAt(S, Pos + used, buf.data(), int32_t(size))) return -1;
    TakeExtended(buf[0], buf.data() + 1, size - 3, P);
    used += int64_t(size);
  }
  return used;
}

// A level-0 Unix area after the CRC: "U" (or OS-9/68k's "K"), 0, the time, then the mode, the
// user and the group at the end.
void TakeUnixArea(const uint8_t* D, size_t N, TNameParts& P) {
  if (N < 12 || (D[0] != 'U' && D[0] != 'K') || D[1] != 0) return;
  P.UnixTime = Le32(D + 2);
  P.Mode = Le16(D + N - 6) & 07777;
}

// How stored names are read: as stored, or decoded with the user's code page (Coding; empty:
// the plausibility choice between CP932 and CP437 per name).
struct TNameRule {
  bool Translate;
  std::string_view Coding;
};

std::string DecodeRaw(const std::string& Raw, const TNameRule& Names) {
  return Names.Translate ? DecodeStoredName(Raw, Names.Coding) : Raw;
}

void FinishName(TLhaHeader& H, const std::string& RawName, TNameParts& P, const TNameRule& Names) {
  H.NameHasNul = P.Nul || RawName.find('\0') != std::string::npos;
  if (P.Attr >= 0) H.Attr = uint8_t(P.Attr);
  if (P.Mode >= 0) H.UnixMode = uint32_t(P.Mode);
  if (P.UnixTime >= 0) H.DosDateTime = UnixToDosDateTime(P.UnixTime);
  if (P.Size64 >= 0) {
    H.PackedSize = P.Packed64;
    H.Size = P.Size64;
  }
  std::string file = P.HaveFile16 ? P.File16 : DecodeRaw(RawName, Names);
  std::string dir = P.HaveDir16 ? P.Dir16 : DecodeRaw(P.Dir, Names);
  H.RawName = (P.HaveDir16 ? P.Dir16 : P.Dir) + '\0' + (P.HaveFile16 ? P.File16 : RawName);
  // Separators: "\" of level 0 after decoding (a CP932 trail byte 0x5C is part of its character
  // by then), and "/" of every level.
  std::string name = dir + file;
  std::replace(name.begin(), name.end(), '\\', '/');
  // Some tools store folders as empty, stored entries named with a trailing separator.
  H.DirByName = !name.empty() && name.back() == '/' && H.Size == 0 && H.MethodKey() == LhaKey('l', 'h', '0');
  while (!name.empty() && name.back() == '/') name.pop_back();
  const size_t bar = name.find('|');
  if (H.IsDir() && bar != std::string::npos) {
    H.LinkTarget = name.substr(bar + 1);
    name.resize(bar);
  }
  H.Name = name;
}

// The name field of a level-0/1 header: an Amiga comment follows a NUL; Mac tools separate
// folders with 0xFF (never a CP932 lead or trail byte).
std::string BaseName(TLhaHeader& H, const uint8_t* D, size_t N) {
  std::string raw(reinterpret_cast<const char*>(D), N);
  const size_t nul = raw.find('\0');
  if (nul != std::string::npos) {
    H.Comment = raw.substr(nul + 1);
    raw.resize(nul);
  }
  std::replace(raw.begin(), raw.end(), '\xFF', '/');
  return raw;
}

TLhaRead ReadLevel01(TStream32& S, int64_t Pos, int64_t FileSize, const uint8_t* Fixed, const TNameRule& Names,
                     TLhaHeader& H) {
  const size_t total = size_t(Fixed[0]) + 2;
  const size_t n = Fixed[21];
  const size_t tail = H.Level == 1 ? 5 : 0;
  if (total < size_t(LhaFixedSize) + n + tail) return Bad(H, "the name does not fit the header");
  if (Pos + int64_t(total) > FileSize) return Bad(H, "the header is cut short");
  std::vector<uint8_t> h(total);
  if (!ReadAt(S, Pos, h.data(), int32_t(total))) return Bad(H, "the header is cut short");
  if (LhaHeaderSum(h.data(), total) != h[1]) return Bad(H, "header checksum mismatch");
  const std::string rawName = BaseName(H, h.data() + 22, n);
  H.HasCrc = total >= 24 + n;
  H.Crc = H.HasCrc ? Le16(h.data() + 22 + n) : 0;
  TNameParts parts;
  int64_t dataAt = Pos + int64_t(total);
  H.PackedSize = Le32(h.data() + 7);
  if (H.Level == 0 && total > 24 + n && std::memcmp(H.MethodId, "-pm", 3) != 0)
    TakeUnixArea(h.data() + 24 + n, total - 24 - n, parts);
  if (H.Level == 1) {
    H.OsId = h[22 + n + 2];
    const size_t first = Le16(h.data() + total - 2);
    // The extended headers lie in the counted data (a 64-bit size counts them too); they are
    // bounded by the file.
    if (first != 0) {
      const int64_t used = ReadExtendedAt(S, dataAt, FileSize - dataAt, first, parts);
      if (used < 0) return Bad(H, "an extended header does not fit");
      dataAt += used;
      if (parts.Packed64 >= 0) parts.Packed64 -= used;
      H.PackedSize -= used;
    }
  }
  FinishName(H, rawName, parts, Names);
  H.DataOffset = dataAt;
  H.NextOffset = dataAt + H.PackedSize;
  return lrEntry;
}

// Levels 2 and 3: the fields after the common part, the Unix time, the extended headers.
TLhaRead ReadExtendedLevel(const std::vector<uint8_t>& h, size_t First, size_t Width, int64_t Pos,
                           const TNameRule& Names, TLhaHeader& H) {
  H.PackedSize = Le32(h.data() + 7);
  H.Crc = Le16(h.data() + 21);
  H.OsId = h[23];
  // Levels 2 and 3 hold Unix seconds whatever system wrote them.
  H.DosDateTime = UnixToDosDateTime(int64_t(Le32(h.data() + 15)));
  TNameParts parts;
  const size_t at = First + Width;
  const size_t size = Width == 4 ? Le32(h.data() + First) : Le16(h.data() + First);
  if (WalkExtended(h.data() + at, h.size() - at, size, parts, Width) < 0)
    return Bad(H, "an extended header does not fit");
  FinishName(H, parts.File, parts, Names);
  H.DataOffset = Pos + int64_t(h.size());
  H.NextOffset = H.DataOffset + H.PackedSize;
  return lrEntry;
}

TLhaRead ReadLevel2(TStream32& S, int64_t Pos, int64_t FileSize, const uint8_t* Fixed, const TNameRule& Names,
                    TLhaHeader& H) {
  size_t total = Le16(Fixed);
  if (total < 26) return Bad(H, "level-2 header shorter than 26 bytes");
  // OS-9/68k tools count the header without its first two bytes.
  if (Pos + 24 <= FileSize) {
    uint8_t os = 0;
    if (ReadAt(S, Pos + 23, &os, 1) && os == 'K') total += 2;
  }
  if (Pos + int64_t(total) > FileSize) return Bad(H, "the header is cut short");
  std::vector<uint8_t> h(total);
  if (!ReadAt(S, Pos, h.data(), int32_t(total))) return Bad(H, "the header is cut short");
  return ReadExtendedLevel(h, 24, 2, Pos, Names, H);
}

TLhaRead ReadLevel3(TStream32& S, int64_t Pos, int64_t FileSize, const uint8_t* Fixed, const TNameRule& Names,
                    TLhaHeader& H) {
  if (Le16(Fixed) != 4) return Bad(H, "level-3 header with a word size other than 4");
  uint8_t base[32];
  if (Pos + 32 > FileSize || !ReadAt(S, Pos, base, 32)) return Bad(H, "the header is cut short");
  const size_t total = Le32(base + 24);
  if (total < 32 || total > kMaxHeader3) return Bad(H, "level-3 header size out of range");
  if (Pos + int64_t(total) > FileSize) return Bad(H, "the header is cut short");
  std::vector<uint8_t> h(total);
  if (!ReadAt(S, Pos, h.data(), int32_t(total))) return Bad(H, "the header is cut short");
  return ReadExtendedLevel(h, 28, 4, Pos, Names, H);
}

}  // namespace

int TLhaHeader::MethodKey() const { return LhaKey(MethodId[1], MethodId[2], MethodId[3]); }

TLhaRead LhaReadHeader(TStream32& S, int64_t Pos, int64_t FileSize, bool Translate, TLhaHeader& H,
                       std::string_view Coding) {
  const TNameRule names{Translate, Coding};
  H = TLhaHeader();
  H.HeaderOffset = Pos;
  uint8_t b[LhaFixedSize] = {};
  if (Pos >= FileSize || S.Seek(Pos, soFromBeginning) != Pos) return lrEnd;
  const int32_t got = S.Read(b, LhaFixedSize);
  if (got <= 0 || b[0] == 0) {
    // A level-2 header's size may have a low byte of 0.
    if (!(got == LhaFixedSize && b[20] == 2 && b[1] != 0)) return lrEnd;
  }
  if (got < LhaFixedSize) return Bad(H, "the header is cut short");
  std::memcpy(H.MethodId, b + 2, 5);
  H.Size = Le32(b + 11);
  H.DosDateTime = Le32(b + 15);
  H.Attr = b[19];
  H.Level = b[20];
  TLhaRead r = lrBad;
  if (H.Level == 0 || H.Level == 1)
    r = ReadLevel01(S, Pos, FileSize, b, names, H);
  else if (H.Level == 2)
    r = ReadLevel2(S, Pos, FileSize, b, names, H);
  else if (H.Level == 3)
    r = ReadLevel3(S, Pos, FileSize, b, names, H);
  else
    return Bad(H, "unknown header level");
  if (r == lrEntry && (H.PackedSize < 0 || H.NextOffset > FileSize))
    return Bad(H, "the entry's data runs past the end of the file");
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

namespace {

// Where the chain of headers from Pos stops: the end of the file, an end byte, or the first
// header that does not read. Ends holds the end of every header already walked, so that each
// header is read once however many chains meet at it.
int64_t ChainEnd(TStream32& S, int64_t Pos, int64_t FileSize, std::map<int64_t, int64_t>& Ends) {
  std::vector<int64_t> walked;
  TLhaHeader h;
  int64_t end = Pos;
  for (;;) {
    const auto known = Ends.find(end);
    if (known != Ends.end()) {
      end = known->second;
      break;
    }
    if (LhaReadHeader(S, end, FileSize, false, h) != lrEntry) break;
    walked.push_back(end);
    if (h.NextOffset <= end) break;
    end = h.NextOffset;
  }
  for (const int64_t w : walked) Ends[w] = end;
  return end;
}

// A header method: "-l" or "-pm" followed by two characters and "-".
bool MethodAt(const std::vector<uint8_t>& B, size_t I) {
  return I + 5 <= B.size() && B[I] == '-' && B[I + 4] == '-' &&
         (B[I + 1] == 'l' || (B[I + 1] == 'p' && B[I + 2] == 'm'));
}

}  // namespace

int64_t LhaFindFirstHeader(TStream32& S, int64_t FileSize) {
  constexpr int64_t kStubSearch = int64_t(1) << 20;
  TLhaHeader h;
  if (LhaReadHeader(S, 0, FileSize, false, h) == lrEntry) return 0;
  std::vector<uint8_t> buf(size_t(std::min(FileSize, kStubSearch)));
  S.SetPosition(0);
  const int32_t got = buf.empty() ? 0 : S.Read(buf.data(), int32_t(buf.size()));
  buf.resize(size_t(std::max(got, 0)));
  // A stub may hold a small archive of its own or a stray method string: the archive proper is
  // the chain that reaches furthest. Headers already walked as part of a chain are not tried again.
  std::map<int64_t, int64_t> ends;
  int64_t best = -1, bestEnd = -1;
  for (size_t i = 2; i < buf.size() && bestEnd < FileSize; ++i) {
    const int64_t at = int64_t(i) - 2;
    if (!MethodAt(buf, i) || ends.count(at)) continue;
    const int64_t end = ChainEnd(S, at, FileSize, ends);
    if (!ends.count(at)) continue;  // no header there
    if (end > bestEnd) {
      best = at;
      bestEnd = end;
    }
  }
  return best;
}

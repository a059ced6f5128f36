// The tape archive header format and the walk over an archive's entries.
#include <algorithm>
#include <cstring>
#include <limits>

#include "archive/tar/qrvtar.h"

// ---- Numbers and checksums -----------------------------------------------------------------

void TarPutNumber(uint8_t* Field, int Width, uint64_t Value) {
  const int digits = Width - 1;
  const uint64_t limit = digits >= 21 ? std::numeric_limits<uint64_t>::max() : (uint64_t(1) << (3 * digits));
  if (Value < limit) {
    for (int i = digits - 1; i >= 0; --i) {
      Field[i] = uint8_t('0' + (Value & 7));
      Value >>= 3;
    }
    Field[digits] = 0;
    return;
  }
  // GNU base-256: big-endian over the field, the first byte marked.
  for (int i = Width - 1; i >= 1; --i) {
    Field[i] = uint8_t(Value & 0xFF);
    Value >>= 8;
  }
  Field[0] = 0x80;
}

bool TarGetNumber(const uint8_t* Field, int Width, int64_t& Value) {
  Value = 0;
  if (Field[0] & 0x80) {
    if (Field[0] == 0xFF) return false;  // negative
    uint64_t v = Field[0] & 0x7F;
    for (int i = 1; i < Width; ++i) {
      if (v >> 55) return false;  // would pass int64
      v = (v << 8) | Field[i];
    }
    Value = int64_t(v);
    return true;
  }
  uint64_t v = 0;
  for (int i = 0; i < Width && Field[i] != 0; ++i) {
    if (Field[i] < '0' || Field[i] > '7') continue;
    if (v >> 60) return false;
    v = (v << 3) | uint64_t(Field[i] - '0');
  }
  Value = int64_t(v);
  return true;
}

uint32_t TarChecksum(const TTarBlock& H) {
  uint32_t sum = 0;
  for (int i = 0; i < TarBlockSize; ++i)
    sum += (i >= int(thChksum) && i < int(thChksum) + int(twChksum)) ? uint32_t(' ') : H[i];
  return sum;
}

int32_t TarSignedChecksum(const TTarBlock& H) {
  int32_t sum = 0;
  for (int i = 0; i < TarBlockSize; ++i)
    sum += (i >= int(thChksum) && i < int(thChksum) + int(twChksum)) ? int32_t(' ') : int32_t(int8_t(H[i]));
  return sum;
}

void TarPutChecksum(TTarBlock& H, TTarChecksumForm Form) {
  const uint32_t sum = TarChecksum(H);
  uint8_t* f = H.data() + thChksum;
  if (Form == tcSevenDigits) {
    TarPutNumber(f, 8, sum);
  } else {
    TarPutNumber(f, 7, sum);
    f[7] = ' ';
  }
}

bool TarChecksumMatches(const TTarBlock& H) {
  int64_t stored = 0;
  if (!TarGetNumber(H.data() + thChksum, twChksum, stored)) return false;
  return stored == int64_t(TarChecksum(H)) || stored == int64_t(TarSignedChecksum(H));
}

bool TarIsZeroBlock(const TTarBlock& H) {
  return std::all_of(H.begin(), H.end(), [](uint8_t b) { return b == 0; });
}

// ---- Building headers ----------------------------------------------------------------------

namespace {

void PutText(TTarBlock& H, int Offset, int Width, const std::string& Text) {
  std::memcpy(H.data() + Offset, Text.data(), std::min<size_t>(Text.size(), size_t(Width)));
}

}  // namespace

void TarBuildHeader(TTarBlock& H, const TTarHeaderValues& V) {
  H.fill(0);
  PutText(H, thName, TarNameSize, V.Name);
  const bool dir = V.Typeflag == '5';
  const uint32_t type = dir ? 0040000 : V.Typeflag == '2' ? 0120000 : 0100000;
  const uint32_t perm = V.Mode ? (V.Mode & 0777) : (dir ? 0555 : 0444);
  TarPutNumber(H.data() + thMode, twMode, type | perm);
  PutText(H, thLinkname, TarNameSize, V.LinkName);
  TarPutNumber(H.data() + thUid, twUid, V.Uid);
  TarPutNumber(H.data() + thGid, twGid, V.Gid);
  TarPutNumber(H.data() + thSize, twSize, uint64_t(std::max<int64_t>(V.Size, 0)));
  TarPutNumber(H.data() + thMtime, twMtime, uint64_t(std::max<int64_t>(V.MTime, 0)));
  H[thTypeflag] = uint8_t(V.Typeflag);
  std::memcpy(H.data() + thMagic, "ustar  ", 8);  // with its NUL
  PutText(H, thUname, twUname, V.UName);
  PutText(H, thGname, twGname, V.GName);
  TarPutChecksum(H, tcSevenDigits);
}

std::vector<uint8_t> TarLongNameBlocks(const std::string& Name, const TTarHeaderValues& Owner, char Type) {
  if (Name.size() <= size_t(TarNameSize)) return {};
  TTarHeaderValues v = Owner;
  v.Name = "././@LongLink";
  v.Typeflag = Type;
  v.LinkName.clear();
  v.Size = int64_t(Name.size()) + 1;
  TTarBlock h;
  TarBuildHeader(h, v);
  std::vector<uint8_t> out(h.begin(), h.end());
  out.insert(out.end(), Name.begin(), Name.end());
  out.resize(size_t(TarBlockSize + TarPadded(v.Size)), 0);
  return out;
}

// ---- Pax records ---------------------------------------------------------------------------

void TarParsePax(const std::string& Data, std::map<std::string, std::string>& Out) {
  size_t pos = 0;
  while (pos < Data.size()) {
    size_t p = pos, len = 0;
    while (p < Data.size() && Data[p] >= '0' && Data[p] <= '9' && len < Data.size()) {
      len = len * 10 + size_t(Data[p] - '0');
      ++p;
    }
    if (p == pos || p >= Data.size() || Data[p] != ' ' || len > Data.size() - pos || pos + len <= p + 1)
      return;
    const std::string rec = Data.substr(p + 1, pos + len - p - 1);  // "key=value\n"
    const size_t eq = rec.find('=');
    if (rec.empty() || rec.back() != '\n' || eq == std::string::npos || eq == 0) return;
    Out[rec.substr(0, eq)] = rec.substr(eq + 1, rec.size() - eq - 2);
    pos += len;
  }
}

// ---- Entries -------------------------------------------------------------------------------

bool TTarEntry::IsSpecial() const {
  return Typeflag == '1' || Typeflag == '2' || Typeflag == '3' || Typeflag == '4' || Typeflag == '6';
}

bool TTarEntry::IsDir() const {
  return Typeflag == '5' || Typeflag == 'D' || (!Name.empty() && Name.back() == '/' &&
                                                (Typeflag == '0' || Typeflag == 0));
}

namespace {

// A pax value as a non-negative decimal integer (the fraction of a time is dropped).
bool PaxNumber(const std::map<std::string, std::string>& M, const char* Key, int64_t& Value) {
  const auto it = M.find(Key);
  if (it == M.end() || it->second.empty()) return false;
  uint64_t v = 0;
  for (char c : it->second) {
    if (c == '.') break;
    if (c < '0' || c > '9' || v > (uint64_t(1) << 58)) return false;
    v = v * 10 + uint64_t(c - '0');
  }
  Value = int64_t(v);
  return true;
}

// Text of a fixed field up to its first NUL.
std::string FieldText(const TTarBlock& H, int Offset, int Width) {
  const auto* b = reinterpret_cast<const char*>(H.data() + Offset);
  return std::string(b, strnlen(b, size_t(Width)));
}

// Largest size a header may state; beyond it no archive on disk could hold the data and
// position arithmetic could overflow.
constexpr int64_t MaxEntrySize = int64_t(1) << 56;

}  // namespace

TTarWalker::TTarWalker(TStream32& Stream, const bool* CancelFlag)
    : FStream(Stream), FCancel(CancelFlag), FSize(Stream.Size() < 0 ? INT64_MAX : Stream.Size()) {}

bool TTarWalker::ReadBlock(int64_t Pos, TTarBlock& B) {
  if (Pos < 0 || FSize - Pos < TarBlockSize) return false;
  if (FStream.Seek(Pos, soFromBeginning) != Pos) return false;
  return FStream.Read(B.data(), TarBlockSize) == TarBlockSize;
}

bool TTarWalker::ReadData(int64_t Pos, int64_t Size, std::string& Out) {
  Out.clear();
  if (Size > MaxMetaSize || Pos < 0 || Size > FSize - Pos) return false;
  Out.resize(size_t(Size));
  if (Size == 0) return true;
  if (FStream.Seek(Pos, soFromBeginning) != Pos) return false;
  return FStream.Read(Out.data(), int32_t(Size)) == int32_t(Size);
}

void TTarWalker::ClearPending() {
  FLongName.clear();
  FLongLink.clear();
  FHaveLongName = false;
  FPax.clear();
  FEntryStart = -1;
}

bool TTarWalker::Next(TTarEntry& E) {
  TTarBlock h;
  while (!(FCancel && *FCancel)) {
    if (!ReadBlock(FPos, h)) return false;
    const int64_t here = FPos;
    if (TarIsZeroBlock(h)) {
      FPos += TarBlockSize;
      continue;
    }
    int64_t chk = 0, size = 0;
    TarGetNumber(h.data() + thChksum, twChksum, chk);
    const bool sizeOk = TarGetNumber(h.data() + thSize, twSize, size) && size <= MaxEntrySize;
    if (chk != 0 && (!TarChecksumMatches(h) || !sizeOk)) {
      // Not a header: look for the next one block by block.
      ++FBadHeaders;
      ClearPending();
      FPos += TarBlockSize;
      continue;
    }
    if (!sizeOk) size = 0;
    const int64_t data = here + TarBlockSize;
    FPos = data + TarPadded(size);
    if (chk == 0) {
      ClearPending();
      continue;
    }
    if (FEntryStart < 0) FEntryStart = here;
    const char type = char(h[thTypeflag]);
    std::string meta;
    switch (type) {
      case 'L':
        if (ReadData(data, size, meta)) {
          FLongName.assign(meta.c_str());  // up to the first NUL
          FHaveLongName = true;
        }
        continue;
      case 'K':
        if (ReadData(data, size, meta)) FLongLink.assign(meta.c_str());  // up to the first NUL
        continue;
      case 'x':
      case 'X':
        if (ReadData(data, size, meta)) TarParsePax(meta, FPax);
        continue;
      case 'g':  // global values (comments, times) do not name or size an entry
        continue;
      case 'V':  // volume label
        ClearPending();
        continue;
      default:
        break;
    }

    E.Typeflag = type;
    E.Header = h;
    E.Checksum = uint32_t(chk);
    E.EntryOffset = FEntryStart;
    E.HeaderOffset = here;
    E.DataOffset = data;
    if (const auto p = FPax.find("path"); p != FPax.end()) {
      E.Name = p->second;
    } else if (FHaveLongName) {
      E.Name = FLongName;
    } else {
      E.Name = FieldText(h, thName, TarNameSize);
      // POSIX ustar keeps the front of a long name in the prefix field.
      const std::string prefix = FieldText(h, thPrefix, twPrefix);
      if (std::memcmp(h.data() + thMagic, "ustar\0", 6) == 0 && !prefix.empty())
        E.Name = prefix + "/" + E.Name;
    }
    if (const auto p = FPax.find("linkpath"); p != FPax.end())
      E.LinkName = p->second;
    else
      E.LinkName = FLongLink.empty() ? FieldText(h, thLinkname, TarNameSize) : FLongLink;
    int64_t paxSize = 0;
    if (PaxNumber(FPax, "size", paxSize) && paxSize <= MaxEntrySize)
      size = paxSize;
    E.Size = size;
    int64_t mtime = 0;
    TarGetNumber(h.data() + thMtime, twMtime, mtime);
    PaxNumber(FPax, "mtime", mtime);
    E.MTime = mtime;
    E.EndOffset = data + TarPadded(size);
    FPos = E.EndOffset;
    ClearPending();
    if (E.Name.empty()) continue;
    return true;
  }
  return false;
}

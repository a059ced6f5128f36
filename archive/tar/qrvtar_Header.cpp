// The tape archive header format and the walk over an archive's entries.
#include <algorithm>
#include <cstring>
#include <limits>
#include <tuple>

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

bool TarGetTime(const uint8_t* Field, int Width, int64_t& Value) {
  if (Field[0] != 0xFF) return TarGetNumber(Field, Width, Value);
  // Negative: every byte before the last eight is sign, and the last eight hold an int64 < 0.
  for (int i = 0; i < Width - 8; ++i)
    if (Field[i] != 0xFF) return false;
  uint64_t v = 0;
  for (int i = std::max(0, Width - 8); i < Width; ++i) v = (v << 8) | Field[i];
  Value = int64_t(v);
  return Value < 0;
}

void TarPutTime(uint8_t* Field, int Width, int64_t Value) {
  if (Value >= 0) return TarPutNumber(Field, Width, uint64_t(Value));
  std::memset(Field, 0xFF, size_t(Width));
  uint64_t v = uint64_t(Value);
  for (int i = Width - 1; i >= std::max(0, Width - 8); --i, v >>= 8) Field[i] = uint8_t(v & 0xFF);
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
  TarPutTime(H.data() + thMtime, twMtime, V.MTime);
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

void TarForEachPax(const std::string& Data,
                   const std::function<void(const std::string& Key, const std::string& Value)>& Fn) {
  size_t pos = 0;
  while (pos < Data.size()) {
    size_t p = pos, len = 0;
    while (p < Data.size() && Data[p] >= '0' && Data[p] <= '9' && len < Data.size()) {
      len = len * 10 + size_t(Data[p] - '0');
      ++p;
    }
    if (p == pos || p >= Data.size() || Data[p] != ' ' || len > Data.size() - pos || pos + len <= p + 1) return;
    const std::string rec = Data.substr(p + 1, pos + len - p - 1);  // "key=value\n"
    const size_t eq = rec.find('=');
    if (rec.empty() || rec.back() != '\n' || eq == std::string::npos || eq == 0) return;
    Fn(rec.substr(0, eq), rec.substr(eq + 1, rec.size() - eq - 2));
    pos += len;
  }
}

std::string TarPaxRecord(const std::string& Key, const std::string& Value) {
  const std::string body = " " + Key + "=" + Value + "\n";
  size_t len = body.size() + 1;
  while (std::to_string(len).size() + body.size() != len) ++len;
  return std::to_string(len) + body;
}

void TarParsePax(const std::string& Data, std::map<std::string, std::string>& Out) {
  TarForEachPax(Data, [&](const std::string& K, const std::string& V) { Out[K] = V; });
}

// ---- Entries -------------------------------------------------------------------------------

bool TTarEntry::IsSpecial() const {
  return Typeflag == '1' || Typeflag == '2' || Typeflag == '3' || Typeflag == '4' || Typeflag == '6';
}

bool TTarEntry::IsDir() const {
  return Typeflag == '5' || Typeflag == 'D' ||
         (!Name.empty() && Name.back() == '/' && (Typeflag == '0' || Typeflag == 0));
}

bool TTarEntry::IsUnsupported() const {
  // Unknown digits are regular files (POSIX); letters are vendor types: 'D' and 'S' are read.
  const bool letter = (Typeflag >= 'A' && Typeflag <= 'Z') || (Typeflag >= 'a' && Typeflag <= 'z');
  return letter && Typeflag != 'D' && Typeflag != 'S';
}

namespace {

// A decimal number of a pax value or sparse map ("12", "12.5" reads as 12); false for anything
// else, a sign included, and for values beyond 2^58.
bool DecimalNumber(const std::string& Text, int64_t& Value) {
  if (Text.empty() || Text[0] == '.') return false;
  uint64_t v = 0;
  for (char c : Text) {
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

// Records whose data names, sizes or dates the entries after them.
bool IsRecord(char Type) { return Type == 'L' || Type == 'K' || Type == 'x' || Type == 'X' || Type == 'g'; }

// Metadata-only records: a Solaris ACL ('A') or extended attribute ('E'), an inode-only record
// ('I') and old GNU renames ('N') describe other entries and are stepped over.
bool MetadataOnly(char Type) { return Type == 'A' || Type == 'E' || Type == 'I' || Type == 'N'; }

// Old GNU sparse header: four (offset, length) pairs at 386, the extension flag at 482 and the
// full size at 483; an extension block holds 21 pairs and its flag at 504.
constexpr int OldSparseAt = 386, OldSparsePairs = 4, OldIsExtended = 482, OldRealSize = 483;
constexpr int ExtSparsePairs = 21, ExtIsExtended = 504;

// Appends the nonempty pairs of Count (offset, length) fields at Field; false on a bad number.
bool AddOldRuns(const uint8_t* Field, int Count, std::vector<TTarSparseRun>& Runs) {
  for (int i = 0; i < Count; ++i, Field += 24) {
    if (Field[0] == 0) break;
    TTarSparseRun r;
    if (!TarGetNumber(Field, 12, r.Offset) || !TarGetNumber(Field + 12, 12, r.Length)) return false;
    Runs.push_back(r);
  }
  return true;
}

// Checks a sparse map against the stored data: fragments in order, not overlapping, inside the
// full size, and their lengths summing to the stored bytes. Empty fragments are dropped.
std::string CheckRuns(std::vector<TTarSparseRun>& Runs, int64_t FileSize, int64_t Stored) {
  if (FileSize < 0 || FileSize > MaxEntrySize) return "sparse file size out of range";
  int64_t end = 0, sum = 0;
  std::vector<TTarSparseRun> kept;
  for (const TTarSparseRun& r : Runs) {
    if (r.Offset < end || r.Length < 0 || r.Offset > FileSize || r.Length > FileSize - r.Offset)
      return "sparse map out of order or beyond the file's size";
    end = r.Offset + r.Length;
    sum += r.Length;
    if (r.Length > 0) kept.push_back(r);
  }
  if (sum != Stored) return "sparse map does not match the stored data";
  Runs = std::move(kept);
  return {};
}

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
  FPaxSparse.clear();
  FEntryStart = -1;
  FPending = false;
}

void TTarWalker::NoteEnd() {
  if (FCut != tcNone) return;
  const int64_t left = FSize - FPos;
  if (FPending || left < 0) {
    FCut = tcHeader;  // metadata records without their entry, or a record cut short
    return;
  }
  if (left == 0 || FAfterZeros) return;
  // A partial block at the end: a header cut short unless it is only zeros. The stream's size
  // may be unknown (a gunzip stream), so what is left is read, not computed.
  std::string tail(size_t(std::min<int64_t>(left, TarBlockSize)), '\0');
  if (FStream.Seek(FPos, soFromBeginning) != FPos) return;
  const int32_t got = FStream.Read(tail.data(), int32_t(tail.size()));
  if (got > 0 && tail.find_first_not_of('\0') < size_t(got)) FCut = tcHeader;
}

const std::string* TTarWalker::PaxValue(const char* Key) const {
  if (const auto p = FPax.find(Key); p != FPax.end()) return &p->second;
  if (const auto g = FGlobal.find(Key); g != FGlobal.end()) return &g->second;
  return nullptr;
}

void TTarWalker::ApplyMetadata(const TTarBlock& H, TTarEntry& E, int64_t& Size) {
  if (const std::string* p = PaxValue("path")) {
    E.Name = *p;
  } else if (FHaveLongName) {
    E.Name = FLongName;
  } else {
    E.Name = FieldText(H, thName, TarNameSize);
    // POSIX ustar keeps the front of a long name in the prefix field.
    const std::string prefix = FieldText(H, thPrefix, twPrefix);
    if (std::memcmp(H.data() + thMagic, "ustar\0", 6) == 0 && !prefix.empty()) E.Name = prefix + "/" + E.Name;
  }
  if (const std::string* p = PaxValue("linkpath"))
    E.LinkName = *p;
  else
    E.LinkName = FLongLink.empty() ? FieldText(H, thLinkname, TarNameSize) : FLongLink;
  int64_t paxSize = 0;
  if (const std::string* p = PaxValue("size"); p && DecimalNumber(*p, paxSize) && paxSize <= MaxEntrySize)
    Size = paxSize;
  ApplyOwner(H, E.Owner);
  int64_t mtime = 0;
  TarGetTime(H.data() + thMtime, twMtime, mtime);
  if (const std::string* p = PaxValue("mtime")) {
    // "-12.5" is 12.5 seconds before 1970: the whole second at or before it.
    const bool negative = !p->empty() && (*p)[0] == '-';
    int64_t v = 0;
    if (DecimalNumber(negative ? p->substr(1) : *p, v))
      mtime =
          negative ? -v - (p->find_first_of("123456789", std::min(p->find('.'), p->size())) != std::string::npos) : v;
  }
  E.MTime = mtime;
}

void TTarWalker::ApplyOwner(const TTarBlock& H, TEntryOwner& O) const {
  for (auto [field, width, key, id] :
       {std::tuple{thUid, twUid, "uid", &O.Uid}, std::tuple{thGid, twGid, "gid", &O.Gid}}) {
    int64_t v = -1;
    const std::string* p = PaxValue(key);
    if (p ? !DecimalNumber(*p, v) : !TarGetNumber(H.data() + field, width, v)) v = -1;
    *id = v;
  }
  const std::string* u = PaxValue("uname");
  const std::string* g = PaxValue("gname");
  O.UName = u ? *u : FieldText(H, thUname, twUname);
  O.GName = g ? *g : FieldText(H, thGname, twGname);
}

void TTarWalker::TakeRecord(char Type, int64_t Data, int64_t Size) {
  std::string meta;
  if (!ReadData(Data, Size, meta)) {
    // Too large to read (stepped over), or cut short by the end of the archive.
    if (Data + Size > FSize) FCut = tcHeader;
    return;
  }
  if (Type == 'g') {
    TarParsePax(meta, FGlobal);
    return;
  }
  FPending = true;
  if (Type == 'L') {
    FLongName.assign(meta.c_str());  // up to the first NUL
    FHaveLongName = true;
  } else if (Type == 'K') {
    FLongLink.assign(meta.c_str());
  } else {  // 'x' (or Solaris 'X') applies to the next entry alone: a later one replaces it
    FPax.clear();
    FPaxSparse.clear();
    TarForEachPax(meta, [&](const std::string& K, const std::string& V) {
      FPax[K] = V;
      int64_t n = 0;
      if (K == "GNU.sparse.offset" || K == "GNU.sparse.numbytes") FPaxSparse.push_back(DecimalNumber(V, n) ? n : -1);
    });
  }
}

bool TTarWalker::Next(TTarEntry& E) {
  TTarBlock h;
  while (!(FCancel && *FCancel)) {
    if (!ReadBlock(FPos, h)) {
      NoteEnd();
      return false;
    }
    const int64_t here = FPos;
    FAfterZeros = TarIsZeroBlock(h);
    if (FAfterZeros) {
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
    if (IsRecord(type)) {
      TakeRecord(type, data, size);
      continue;
    }
    if (MetadataOnly(type)) continue;
    if (type == 'V') {  // volume label
      ClearPending();
      continue;
    }

    E = TTarEntry();
    E.Typeflag = type;
    E.Header = h;
    E.Checksum = uint32_t(chk);
    E.EntryOffset = FEntryStart;
    E.HeaderOffset = here;
    E.DataOffset = data;
    ApplyMetadata(h, E, size);
    if (E.IsDir() && type != 'D') size = 0;  // a folder has no data, whatever its size says
    E.Size = E.FileSize = size;
    E.EndOffset = data + TarPadded(size);
    if (type == 'S' || PaxValue("GNU.sparse.major") || PaxValue("GNU.sparse.size") || PaxValue("GNU.sparse.map") ||
        !FPaxSparse.empty())
      ReadSparse(h, E);
    // Data cut short is noted; only its padding missing at the very end is not.
    if (E.DataOffset + E.Size > FSize) FCut = tcData;
    FPos = FCut == tcData ? E.EndOffset : std::min(E.EndOffset, std::max(FSize, E.DataOffset));
    ClearPending();
    if (E.Name.empty()) continue;
    return true;
  }
  return false;
}

// ---- Sparse files --------------------------------------------------------------------------

void TTarWalker::ReadSparse(const TTarBlock& H, TTarEntry& E) {
  E.Sparse = true;
  if (const std::string* n = PaxValue("GNU.sparse.name")) E.Name = *n;
  const bool ok = E.Typeflag == 'S'              ? ReadOldGnuSparse(H, E)
                  : PaxValue("GNU.sparse.major") ? ReadSparseMapData(E)
                                                 : ReadPaxSparse(E);
  if (!ok && E.Damage.empty()) E.Damage = "sparse map unreadable";
  if (E.Damage.empty()) E.Damage = CheckRuns(E.Runs, E.FileSize, E.Size);
  if (!E.Damage.empty()) E.Runs.clear();
}

bool TTarWalker::ReadOldGnuSparse(const TTarBlock& H, TTarEntry& E) {
  if (!TarGetNumber(H.data() + OldRealSize, 12, E.FileSize) ||
      !AddOldRuns(H.data() + OldSparseAt, OldSparsePairs, E.Runs))
    return false;
  // Extension blocks sit between the header and the data; the size field counts only the data.
  bool more = H[OldIsExtended] != 0;
  TTarBlock ext;
  for (int64_t blocks = 0; more; ++blocks) {
    if (blocks >= MaxMetaSize / TarBlockSize) {
      E.Damage = "sparse map too long";
      return false;
    }
    if (!ReadBlock(E.DataOffset, ext)) {
      FCut = tcHeader;
      return false;
    }
    if (!AddOldRuns(ext.data(), ExtSparsePairs, E.Runs)) return false;
    more = ext[ExtIsExtended] != 0;
    E.DataOffset += TarBlockSize;
    E.EndOffset += TarBlockSize;
  }
  return true;
}

// pax 0.0: GNU.sparse.offset / numbytes pairs in order; 0.1: GNU.sparse.map "off,len,...".
// Both give the full size in GNU.sparse.size.
bool TTarWalker::ReadPaxSparse(TTarEntry& E) {
  const std::string* full = PaxValue("GNU.sparse.size");
  if (!full || !DecimalNumber(*full, E.FileSize)) return false;
  std::vector<int64_t> values = FPaxSparse;
  if (const std::string* map = PaxValue("GNU.sparse.map")) {
    values.clear();
    size_t i = 0;
    while (i <= map->size() && !map->empty()) {
      const size_t j = std::min(map->find(',', i), map->size());
      int64_t n = 0;
      values.push_back(DecimalNumber(map->substr(i, j - i), n) ? n : -1);
      i = j + 1;
    }
  }
  if (values.size() % 2 != 0) return false;
  for (size_t i = 0; i < values.size(); i += 2) {
    if (values[i] < 0 || values[i + 1] < 0) return false;
    E.Runs.push_back({values[i], values[i + 1]});
  }
  return true;
}

// pax 1.0: the map is decimal lines in front of the data (count, then offset and length per
// fragment), padded to whole blocks; the size field counts it.
bool TTarWalker::ReadSparseMapData(TTarEntry& E) {
  const std::string* major = PaxValue("GNU.sparse.major");
  const std::string* full = PaxValue("GNU.sparse.realsize");
  if (*major != "1" || !full || !DecimalNumber(*full, E.FileSize)) {
    E.Damage = "sparse format " + *major + " not supported";
    return false;
  }
  std::vector<int64_t> values;
  int64_t count = -1;
  std::string line, block;
  int64_t used = 0;
  const auto complete = [&] { return count >= 0 && int64_t(values.size()) == 2 * count; };
  while (!complete()) {
    if (E.Size - used < TarBlockSize || used >= MaxMetaSize) return false;
    if (!ReadData(E.DataOffset + used, TarBlockSize, block)) {
      FCut = tcData;
      return false;
    }
    used += TarBlockSize;
    for (size_t i = 0; i < block.size() && !complete(); ++i) {
      if (block[i] != '\n') {
        if (line.size() > 20) return false;
        line += block[i];
        continue;
      }
      int64_t n = 0;
      if (!DecimalNumber(line, n)) return false;
      line.clear();
      if (count < 0 && n > MaxMetaSize / 4) return false;
      if (count < 0)
        count = n;
      else
        values.push_back(n);
    }
  }
  for (size_t i = 0; i < values.size(); i += 2) E.Runs.push_back({values[i], values[i + 1]});
  E.DataOffset += used;
  E.Size -= used;
  return true;
}

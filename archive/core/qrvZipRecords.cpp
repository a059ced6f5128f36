// ZIP records: layouts, extra fields, header scrambling and the record readers.
#include "archive/core/qrvZipRecords.h"

#include <algorithm>
#include <initializer_list>

TZipSigClass ClassifySig(uint32_t Sig) {
  const bool scrambled = ((Sig >> 8) & 0xFF) == 0x4C;
  const uint32_t plain = scrambled ? ((Sig & 0xFFFF00FFu) | 0x4B00u) : Sig;
  switch (plain) {
    case sigLocalFileHeader: return {zrLocal, scrambled};
    case sigCentralDirHeader: return {zrCentral, scrambled};
    case sigEndOfCentralDir: return {zrEnd, scrambled};
    case sigLargeEndOfCentralDir: return {zrLargeEnd, scrambled};
    default: return {zrInvalid, false};
  }
}

// ---- Fixed records -------------------------------------------------------------------------

void LocalFileHeader::Load(const uint8_t* P) {
  Signature = GetLE32(P);
  VersionNeeded = GetLE16(P + 4);
  Flags = GetLE16(P + 6);
  Method = GetLE16(P + 8);
  DosDateTime = GetLE32(P + 10);
  Crc32 = GetLE32(P + 14);
  PackedSize = GetLE32(P + 18);
  UnpackedSize = GetLE32(P + 22);
  NameLen = GetLE16(P + 26);
  ExtraLen = GetLE16(P + 28);
}

void LocalFileHeader::Store(uint8_t* P) const {
  PutLE32(P, Signature);
  PutLE16(P + 4, VersionNeeded);
  PutLE16(P + 6, Flags);
  PutLE16(P + 8, Method);
  PutLE32(P + 10, DosDateTime);
  PutLE32(P + 14, Crc32);
  PutLE32(P + 18, PackedSize);
  PutLE32(P + 22, UnpackedSize);
  PutLE16(P + 26, NameLen);
  PutLE16(P + 28, ExtraLen);
}

void CentralDirHeader::Load(const uint8_t* P) {
  Signature = GetLE32(P);
  VersionMadeBy = GetLE16(P + 4);
  VersionNeeded = GetLE16(P + 6);
  Flags = GetLE16(P + 8);
  Method = GetLE16(P + 10);
  DosDateTime = GetLE32(P + 12);
  Crc32 = GetLE32(P + 16);
  PackedSize = GetLE32(P + 20);
  UnpackedSize = GetLE32(P + 24);
  NameLen = GetLE16(P + 28);
  ExtraLen = GetLE16(P + 30);
  CommentLen = GetLE16(P + 32);
  DiskStart = GetLE16(P + 34);
  InternalAttr = GetLE16(P + 36);
  ExternalAttr = GetLE32(P + 38);
  LocalOffset = GetLE32(P + 42);
}

void CentralDirHeader::Store(uint8_t* P) const {
  PutLE32(P, Signature);
  PutLE16(P + 4, VersionMadeBy);
  PutLE16(P + 6, VersionNeeded);
  PutLE16(P + 8, Flags);
  PutLE16(P + 10, Method);
  PutLE32(P + 12, DosDateTime);
  PutLE32(P + 16, Crc32);
  PutLE32(P + 20, PackedSize);
  PutLE32(P + 24, UnpackedSize);
  PutLE16(P + 28, NameLen);
  PutLE16(P + 30, ExtraLen);
  PutLE16(P + 32, CommentLen);
  PutLE16(P + 34, DiskStart);
  PutLE16(P + 36, InternalAttr);
  PutLE32(P + 38, ExternalAttr);
  PutLE32(P + 42, LocalOffset);
}

void EndOfCentralDir::Load(const uint8_t* P) {
  Signature = GetLE32(P);
  ThisDisk = GetLE16(P + 4);
  DirDisk = GetLE16(P + 6);
  EntriesOnDisk = GetLE16(P + 8);
  TotalEntries = GetLE16(P + 10);
  DirSize = GetLE32(P + 12);
  if (Large()) {
    DirOffset = GetLE64(P + 16);
    CommentLen = GetLE16(P + 24);
  } else {
    DirOffset = GetLE32(P + 16);
    CommentLen = GetLE16(P + 20);
  }
}

void EndOfCentralDir::Store(uint8_t* P) const {
  PutLE32(P, Signature);
  PutLE16(P + 4, ThisDisk);
  PutLE16(P + 6, DirDisk);
  PutLE16(P + 8, EntriesOnDisk);
  PutLE16(P + 10, TotalEntries);
  PutLE32(P + 12, DirSize);
  if (Large()) {
    PutLE64(P + 16, DirOffset);
    PutLE16(P + 24, CommentLen);
  } else {
    PutLE32(P + 16, uint32_t(DirOffset));
    PutLE16(P + 20, CommentLen);
  }
}

// ---- Extra fields --------------------------------------------------------------------------

std::string UnicodePathExtra(const std::string& StoredName) {
  uint8_t head[9];
  PutLE16(head, xfUnicodePath);
  PutLE16(head + 2, uint16_t(5 + StoredName.size()));
  head[4] = 1;
  PutLE32(head + 5, Crc32Of(StoredName.data(), StoredName.size()));
  return std::string(reinterpret_cast<const char*>(head), sizeof head) + StoredName;
}

void LargeSizeExtra::StoreLocal(uint8_t* P) const {
  PutLE16(P, xfLargeSize);
  PutLE16(P + 2, 4);
  PutLE16(P + 4, Hi.Packed);
  PutLE16(P + 6, Hi.Unpacked);
}

void LargeSizeExtra::StoreCentral(uint8_t* P) const {
  PutLE16(P, xfLargeSize);
  PutLE16(P + 2, 6);
  PutLE16(P + 4, Hi.Packed);
  PutLE16(P + 6, Hi.Unpacked);
  PutLE16(P + 8, Hi.Offset);
}

namespace {

// The walk over the blocks of one extra field. Offset is null in local mode.
void ParseExtra(std::string_view x, uint32_t& packed, uint32_t& unpacked, uint32_t* offset, TZipHighParts& hi) {
  const auto* base = reinterpret_cast<const uint8_t*>(x.data());
  int64_t pos = 0, left = int64_t(x.size());
  while (left >= 4) {
    const uint16_t id = GetLE16(base + pos), len = GetLE16(base + pos + 2);
    pos += 4;
    left -= 4;
    const uint8_t* data = base + pos;
    const int64_t avail = std::min<int64_t>(len, left);  // the block's bytes inside the field
    if (id == xfZip64) {
      int64_t q = 0;
      // Each value is present only when its header field holds 0xFFFFFFFF.
      auto take = [&](uint32_t& low, uint16_t& high) {
        if (low != 0xFFFFFFFFu) return true;
        if (q + 8 > avail) return false;
        const uint64_t v = GetLE64(data + q);
        low = uint32_t(v);
        high = uint16_t(v >> 32);  // bits 48-63 are outside the 48-bit model
        q += 8;
        return true;
      };
      (void)(take(unpacked, hi.Unpacked) && take(packed, hi.Packed) && (!offset || take(*offset, hi.Offset)));
    } else if (id == xfLargeSize && avail >= (offset ? 6 : 4)) {
      hi.Packed = GetLE16(data);
      hi.Unpacked = GetLE16(data + 2);
      if (offset) hi.Offset = GetLE16(data + 4);
    }
    pos += len;
    left -= len;  // a block claiming more than remains ends the walk
  }
}

}  // namespace

void ParseExtraField(std::string_view Extra, LocalFileHeader& H, TZipHighParts& Hi) {
  ParseExtra(Extra, H.PackedSize, H.UnpackedSize, nullptr, Hi);
}

void ParseExtraField(std::string_view Extra, CentralDirHeader& H, TZipHighParts& Hi) {
  ParseExtra(Extra, H.PackedSize, H.UnpackedSize, &H.LocalOffset, Hi);
}

// ---- Header scrambling ---------------------------------------------------------------------

const uint32_t HeaderKeys[3] = {0x5A3C96E1u, 0x0D7B2F48u, 0xC4E1A937u};

namespace {

TZipCipher HeaderCipher() {
  TZipCipher c;
  std::copy(HeaderKeys, HeaderKeys + 3, c.Keys);
  return c;
}

void Apply(TZipCipher& c, uint8_t* p, size_t n, bool encipher) {
  if (encipher)
    c.Encrypt(p, n);
  else
    c.Decrypt(p, n);
}

}  // namespace

void ScrambleRecord(uint8_t* Record, size_t RecordSize, std::string* Name, bool Encipher) {
  TZipCipher c = HeaderCipher();
  if (RecordSize > 4) Apply(c, Record + 4, RecordSize - 4, Encipher);
  if (Name && !Name->empty()) Apply(c, reinterpret_cast<uint8_t*>(Name->data()), Name->size(), Encipher);
}

// ---- Record readers ------------------------------------------------------------------------

namespace {

// Reads exactly N bytes or reports false.
bool ReadExact(TStream32& s, void* buf, int64_t n) {
  auto* p = static_cast<uint8_t*>(buf);
  while (n > 0) {
    const int32_t got = s.Read(p, int32_t(std::min<int64_t>(n, 0x40000000)));
    if (got <= 0) return false;
    p += got;
    n -= got;
  }
  return true;
}

bool ReadString(TStream32& s, std::string& out, size_t n) {
  out.assign(n, '\0');
  return ReadExact(s, out.data(), int64_t(n));
}

// The fixed part of a record of kind Kind at the stream position, unscrambled; the cipher
// continues with the name.
template <class H>
bool ReadFixed(TStream32& s, TZipRecordKind kind, int32_t size, H& header, bool& scrambled, TZipCipher& cipher) {
  uint8_t b[CentralHeaderSize];
  if (!ReadExact(s, b, size)) return false;
  const TZipSigClass c = ClassifySig(GetLE32(b));
  if (c.Kind != kind) return false;
  scrambled = c.Scrambled;
  if (scrambled) {
    cipher = HeaderCipher();
    cipher.Decrypt(b + 4, size - 4);
  }
  header.Load(b);
  return true;
}

}  // namespace

void TZipLocalRecord::Reset() {
  Header = {};
  Scrambled = false;
  Name.clear();
  Extra.clear();
  Hi = {};
  Position = 0;
}

void TZipCentralRecord::Reset() {
  Header = {};
  Scrambled = false;
  Name.clear();
  Extra.clear();
  Comment.clear();
  Hi = {};
  Position = 0;
}

bool ReadLocalRecord(TStream32& Stream, TZipLocalRecord& Rec) {
  Rec.Reset();
  Rec.Position = Stream.Position();
  TZipCipher cipher;
  if (!ReadFixed(Stream, zrLocal, LocalHeaderSize, Rec.Header, Rec.Scrambled, cipher)) return false;
  if (!ReadString(Stream, Rec.Name, Rec.Header.NameLen)) return false;
  if (Rec.Scrambled) cipher.Decrypt(Rec.Name.data(), Rec.Name.size());
  if (!ReadString(Stream, Rec.Extra, Rec.Header.ExtraLen)) return false;
  ParseExtraField(Rec.Extra, Rec.Header, Rec.Hi);
  return true;
}

void LoadCentralRecord(const uint8_t* P, int64_t Pos, TZipCentralRecord& Rec) {
  Rec.Reset();
  Rec.Position = Pos;
  Rec.Header.Load(P);
  const char* v = reinterpret_cast<const char*>(P) + CentralHeaderSize;
  Rec.Name.assign(v, Rec.Header.NameLen);
  Rec.Extra.assign(v + Rec.Header.NameLen, Rec.Header.ExtraLen);
  Rec.Comment.assign(v + Rec.Header.NameLen + Rec.Header.ExtraLen, Rec.Header.CommentLen);
  ParseExtraField(Rec.Extra, Rec.Header, Rec.Hi);
}

void LoadLocalFixed(const uint8_t* P, int64_t Pos, TZipLocalRecord& Rec) {
  Rec.Reset();
  Rec.Position = Pos;
  Rec.Header.Load(P);
}

bool ReadCentralRecord(TStream32& Stream, TZipCentralRecord& Rec) {
  Rec.Reset();
  Rec.Position = Stream.Position();
  TZipCipher cipher;
  if (!ReadFixed(Stream, zrCentral, CentralHeaderSize, Rec.Header, Rec.Scrambled, cipher)) return false;
  if (!ReadString(Stream, Rec.Name, Rec.Header.NameLen)) return false;
  if (Rec.Scrambled) cipher.Decrypt(Rec.Name.data(), Rec.Name.size());
  if (!ReadString(Stream, Rec.Extra, Rec.Header.ExtraLen)) return false;
  if (!ReadString(Stream, Rec.Comment, Rec.Header.CommentLen)) return false;
  ParseExtraField(Rec.Extra, Rec.Header, Rec.Hi);
  return true;
}

// ZIP records: the byte layouts of the local and central headers, the end records (plain,
// large and Zip64), the extra fields this system reads or writes, header scrambling, the record
// readers and the end-record search shared by detection, the ZIP reader and the writer's
// update path. All fields are little-endian.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "archive/core/qrvStreams.h"

// ---- Signatures and sizes ------------------------------------------------------------------

enum : uint32_t {
  sigLocalFileHeader = 0x04034B50,
  sigCentralDirHeader = 0x02014B50,
  sigEndOfCentralDir = 0x06054B50,
  sigLargeEndOfCentralDir = 0x06055B50,
  sigZip64Locator = 0x07064B50,
  sigZip64EndRecord = 0x06064B50,
  sigSpanMarker = 0x08074B50,  // also the data descriptor signature
};

enum : int32_t {
  LocalHeaderSize = 30,
  CentralHeaderSize = 46,
  EndRecordSize = 22,
  LargeEndRecordSize = 26,
  Zip64LocatorSize = 20,
  Zip64EndRecordSize = 56,
};

// A header-scrambled record has "L" (0x4C) instead of "K" as its second signature byte.
constexpr uint32_t ScrambledSig(uint32_t Sig) { return (Sig & 0xFFFF00FFu) | 0x4C00u; }

enum TZipRecordKind : uint8_t { zrInvalid, zrLocal, zrCentral, zrEnd, zrLargeEnd };
struct TZipSigClass {
  TZipRecordKind Kind = zrInvalid;
  bool Scrambled = false;
};
TZipSigClass ClassifySig(uint32_t Sig);

// Little-endian field access on byte buffers.
inline uint16_t GetLE16(const uint8_t* P) { return uint16_t(P[0] | (P[1] << 8)); }
inline uint32_t GetLE32(const uint8_t* P) {
  return uint32_t(P[0]) | (uint32_t(P[1]) << 8) | (uint32_t(P[2]) << 16) | (uint32_t(P[3]) << 24);
}
inline uint64_t GetLE64(const uint8_t* P) { return GetLE32(P) | (uint64_t(GetLE32(P + 4)) << 32); }
inline void PutLE16(uint8_t* P, uint16_t V) {
  P[0] = uint8_t(V);
  P[1] = uint8_t(V >> 8);
}
inline void PutLE32(uint8_t* P, uint32_t V) {
  PutLE16(P, uint16_t(V));
  PutLE16(P + 2, uint16_t(V >> 16));
}
inline void PutLE64(uint8_t* P, uint64_t V) {
  PutLE32(P, uint32_t(V));
  PutLE32(P + 4, uint32_t(V >> 32));
}

// ---- Fixed records -------------------------------------------------------------------------

// General-purpose flag bits.
enum : uint16_t {
  gpEncrypted = 0x0001,
  gpDeflateMax = 0x0002,
  gpDeflateFast = 0x0004,
  gpDataDescriptor = 0x0008,
  gpUtf8Name = 0x0800,
};

// Sizes and offsets are 48-bit: a 32-bit low part from the fixed record and a 16-bit high part
// from an extra field (0 without one).
struct TZipHighParts {
  uint16_t Packed = 0;
  uint16_t Unpacked = 0;
  uint16_t Offset = 0;
};
inline int64_t Join48(uint32_t Low, uint16_t High) { return int64_t(Low) | (int64_t(High) << 32); }

// 30 bytes, followed by the name and the extra field.
struct LocalFileHeader {
  uint32_t Signature = sigLocalFileHeader;
  uint16_t VersionNeeded = 20;
  uint16_t Flags = 0;
  uint16_t Method = 0;
  uint32_t DosDateTime = 0;  // time in the low 16 bits, date in the high 16 bits
  uint32_t Crc32 = 0;
  uint32_t PackedSize = 0;
  uint32_t UnpackedSize = 0;
  uint16_t NameLen = 0;
  uint16_t ExtraLen = 0;

  void Load(const uint8_t* P);
  void Store(uint8_t* P) const;
};

// 46 bytes, followed by the name, the extra field and the comment.
struct CentralDirHeader {
  uint32_t Signature = sigCentralDirHeader;
  uint16_t VersionMadeBy = 20;
  uint16_t VersionNeeded = 20;
  uint16_t Flags = 0;
  uint16_t Method = 0;
  uint32_t DosDateTime = 0;
  uint32_t Crc32 = 0;
  uint32_t PackedSize = 0;
  uint32_t UnpackedSize = 0;
  uint16_t NameLen = 0;
  uint16_t ExtraLen = 0;
  uint16_t CommentLen = 0;
  uint16_t DiskStart = 0;
  uint16_t InternalAttr = 1;
  uint32_t ExternalAttr = 0;
  uint32_t LocalOffset = 0;

  void Load(const uint8_t* P);
  void Store(uint8_t* P) const;
};

// The end record: 22 bytes, or 26 for this system's large variant (signature 0x06055B50, an
// 8-byte directory offset), followed by the archive comment.
struct EndOfCentralDir {
  uint32_t Signature = sigEndOfCentralDir;
  uint16_t ThisDisk = 0;
  uint16_t DirDisk = 0;
  uint16_t EntriesOnDisk = 0;
  uint16_t TotalEntries = 0;
  uint32_t DirSize = 0;
  uint64_t DirOffset = 0;  // 32 bits in the plain record
  uint16_t CommentLen = 0;

  bool Large() const { return ClassifySig(Signature).Kind == zrLargeEnd; }
  int32_t FixedSize() const { return Large() ? LargeEndRecordSize : EndRecordSize; }
  // Load reads the layout the signature at P names.
  void Load(const uint8_t* P);
  void Store(uint8_t* P) const;
};

// ---- Extra fields --------------------------------------------------------------------------

enum : uint16_t { xfZip64 = 0x0001, xfLargeSize = 0x0064, xfUnicodePath = 0x7075 };

// The Info-ZIP Unicode Path block (version 1, CRC-32 of the stored name bytes, the UTF-8 name)
// for a name stored as UTF-8. Flag bit 11 alone is not enough for every peer: some extract a
// name marked as made on FAT through the OEM code page unless this block confirms it.
std::string UnicodePathExtra(const std::string& StoredName);

// This system's own field for entries beyond 4 GiB, still read in archives that hold it (the
// writer now writes Zip64 blocks): the high 16 bits of the packed size, the
// unpacked size and (central headers only) the local header offset.
struct LargeSizeExtra {
  TZipHighParts Hi;
  enum : int32_t { LocalBlockSize = 8, CentralBlockSize = 10 };
  void StoreLocal(uint8_t* P) const;    // 8 bytes: id, length 4, packed hi, unpacked hi
  void StoreCentral(uint8_t* P) const;  // 10 bytes: id, length 6, + offset hi
};

// Parses an extra field. Zip64 (0x0001) values replace the low parts of the header fields that
// hold 0xFFFFFFFF (local: unpacked, packed; central: unpacked, packed, offset) and give their
// bits 32-47 as high parts; 0x0064 gives the high parts directly; other blocks are skipped.
// Nothing is read outside the field or outside a block's declared length.
void ParseExtraField(std::string_view Extra, LocalFileHeader& H, TZipHighParts& Hi);
void ParseExtraField(std::string_view Extra, CentralDirHeader& H, TZipHighParts& Hi);

// ---- Header scrambling ---------------------------------------------------------------------

// The fixed keys the header cipher restarts from before each record (independent of any
// password).
extern const uint32_t HeaderKeys[3];

// Enciphers (Encipher) or deciphers every byte of Record after its 4-byte signature, then the
// name, with the traditional cipher restarted from HeaderKeys.
void ScrambleRecord(uint8_t* Record, size_t RecordSize, std::string* Name, bool Encipher);

// ---- Record readers ------------------------------------------------------------------------

// A local header read from an archive, unscrambled, with its full name (raw bytes) and extra.
struct TZipLocalRecord {
  LocalFileHeader Header;
  bool Scrambled = false;
  std::string Name;
  std::string Extra;
  TZipHighParts Hi;
  int64_t Position = 0;

  // Every member back to its default, the strings keeping their memory (a reader that reuses
  // one record over a million entries allocates nothing per entry).
  void Reset();
  int64_t PackedSize() const { return Join48(Header.PackedSize, Hi.Packed); }
  int64_t UnpackedSize() const { return Join48(Header.UnpackedSize, Hi.Unpacked); }
  int64_t DataPosition() const { return Position + LocalHeaderSize + Header.NameLen + Header.ExtraLen; }
};

// A central header, likewise, with its comment.
struct TZipCentralRecord {
  CentralDirHeader Header;
  bool Scrambled = false;
  std::string Name;
  std::string Extra;
  std::string Comment;
  TZipHighParts Hi;
  int64_t Position = 0;

  // As TZipLocalRecord::Reset.
  void Reset();
  int64_t PackedSize() const { return Join48(Header.PackedSize, Hi.Packed); }
  int64_t UnpackedSize() const { return Join48(Header.UnpackedSize, Hi.Unpacked); }
  int64_t LocalOffset() const { return Join48(Header.LocalOffset, Hi.Offset); }
  int64_t NextPosition() const {
    return Position + CentralHeaderSize + Header.NameLen + Header.ExtraLen + Header.CommentLen;
  }
};

// Read the record at the stream's position. False (the stream position then undefined) when
// the fixed part is short, its signature is not of the asked kind, or the variable part is cut
// off by the end of the stream. Names are kept whole (a name is never shortened, so two long
// names cannot collapse into one).
bool ReadLocalRecord(TStream32& Stream, TZipLocalRecord& Rec);
bool ReadCentralRecord(TStream32& Stream, TZipCentralRecord& Rec);
// The same from memory, for a plain (unscrambled) record read from Pos: P holds the central
// record whole (fixed part, name, extra field, comment), or the local header's fixed part
// (its name and extra field are left empty).
void LoadCentralRecord(const uint8_t* P, int64_t Pos, TZipCentralRecord& Rec);
void LoadLocalFixed(const uint8_t* P, int64_t Pos, TZipLocalRecord& Rec);

// ---- End-record search ---------------------------------------------------------------------

// State bits of LocateEndRecord (the value OnCorruptZipHeader receives as HeadFlag).
using THeaderTypeState = uint8_t;
enum : uint8_t {
  htsLocalHeader = 1,    // a valid local header where reading starts (or: local-header mode)
  htsCentralHeader = 2,  // a valid central directory header was found
  htsEndRecord = 4,      // an end record was found
  htsZip64Locator = 8,   // a Zip64 locator precedes it
  htsZip64Record = 16,   // a Zip64 end record precedes the locator
};

struct TZipLocation {
  int64_t StartPos = 0;        // the result: where reading starts
  THeaderTypeState State = 0;  // hts* bits; exactly htsLocalHeader in local-header mode
  int64_t Correction = 0;      // bytes by which the archive was shifted (a prepended stub)
  EndOfCentralDir End;         // the end record's fields, unscrambled
  bool EndScrambled = false;
  int64_t EndPosition = -1;  // position of the end record's signature
  int64_t AfterEnd = 0;      // position just after the end record
  int64_t DirSize = 0;       // size of the central directory (Zip64 value when present)
  int64_t FirstLocal = -1;   // the first entry's local header when verified (bit 1)
};

// Finds the end record in the last 32 KiB (the whole file when smaller, so that an archive of
// nothing but its end record is an empty archive), then the central directory: at the end
// record's position minus the directory size (the offset correction being that position minus
// the stored directory offset) or else at the stored offset. Without a central directory it
// scans for the first local header (state exactly 1). Returns Loc.StartPos: the directory start, the local header found, 0 for an empty
// file, or -1. Never reads outside the stream; never throws for a short stream.
int64_t LocateEndRecord(TStream32& Stream, TZipLocation& Loc);

// The position at which the archive proper begins (the length of any stub in front), from a
// search result: the verified first local header, else the local header of local-header mode,
// else the offset correction.
int64_t ZipArchiveStart(const TZipLocation& Loc);

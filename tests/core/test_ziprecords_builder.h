// Builds small stored ZIP archives byte by byte, so tests control every field (comments,
// stubs, shifted offsets, extra fields, scrambled headers).
#pragma once

#include <string>
#include <vector>

#include "archive/core/qrvStreams.h"
#include "archive/core/qrvZipRecords.h"

struct TTestZipEntry {
  std::string Name;
  std::string Data;
  std::string LocalExtra;
  std::string CentralExtra;
};

struct TTestZipOptions {
  std::string Comment = {};
  std::string Stub = {};           // bytes in front of the archive
  bool AdjustOffsets = false;      // stored offsets count the stub (as SFX builders write them)
  bool Scramble = false;           // header-scrambled records ("PL" signatures)
  bool Large = false;              // the large end record
  bool Zip64Placeholders = false;  // a Zip64 end record and locator; the plain one holds 0xFF..
};

// A Zip64 end record (disk numbers 0) and its locator, for a directory at DirOffset.
inline std::string Zip64EndRecords(uint64_t Entries, uint64_t DirSize, uint64_t DirOffset, uint64_t RecordPos) {
  std::string out;
  auto le = [&out](uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out += char(v >> (8 * i));
  };
  le(sigZip64EndRecord, 4), le(Zip64EndRecordSize - 12, 8), le(45, 2), le(45, 2), le(0, 4), le(0, 4);
  le(Entries, 8), le(Entries, 8), le(DirSize, 8), le(DirOffset, 8);
  le(sigZip64Locator, 4), le(0, 4), le(RecordPos, 8), le(1, 4);
  return out;
}

inline std::string BuildTestZip(const std::vector<TTestZipEntry>& Entries, const TTestZipOptions& O = {}) {
  std::string out = O.Stub;
  const uint32_t bias = O.AdjustOffsets ? uint32_t(O.Stub.size()) : 0;
  std::vector<uint32_t> offsets;
  auto put = [&](const uint8_t* p, size_t n) { out.append(reinterpret_cast<const char*>(p), n); };
  for (const TTestZipEntry& e : Entries) {
    offsets.push_back(uint32_t(out.size() - O.Stub.size()) + bias);
    LocalFileHeader h;
    h.Crc32 = Crc32Of(e.Data.data(), e.Data.size());
    h.PackedSize = h.UnpackedSize = uint32_t(e.Data.size());
    h.NameLen = uint16_t(e.Name.size());
    h.ExtraLen = uint16_t(e.LocalExtra.size());
    h.DosDateTime = 0x5A2B6000;
    if (O.Scramble) h.Signature = ScrambledSig(sigLocalFileHeader);
    uint8_t b[LocalHeaderSize];
    h.Store(b);
    std::string name = e.Name;
    if (O.Scramble) ScrambleRecord(b, LocalHeaderSize, &name, true);
    put(b, sizeof b);
    out += name + e.LocalExtra + e.Data;
  }
  const uint32_t dirStart = uint32_t(out.size() - O.Stub.size()) + bias;
  for (size_t i = 0; i < Entries.size(); ++i) {
    const TTestZipEntry& e = Entries[i];
    CentralDirHeader h;
    h.Crc32 = Crc32Of(e.Data.data(), e.Data.size());
    h.PackedSize = h.UnpackedSize = uint32_t(e.Data.size());
    h.NameLen = uint16_t(e.Name.size());
    h.ExtraLen = uint16_t(e.CentralExtra.size());
    h.DosDateTime = 0x5A2B6000;
    h.ExternalAttr = 0x20;
    h.LocalOffset = offsets[i];
    if (O.Scramble) h.Signature = ScrambledSig(sigCentralDirHeader);
    uint8_t b[CentralHeaderSize];
    h.Store(b);
    std::string name = e.Name;
    if (O.Scramble) ScrambleRecord(b, CentralHeaderSize, &name, true);
    put(b, sizeof b);
    out += name + e.CentralExtra;
  }
  EndOfCentralDir end;
  end.Signature = O.Large ? sigLargeEndOfCentralDir : sigEndOfCentralDir;
  end.EntriesOnDisk = end.TotalEntries = uint16_t(Entries.size());
  end.DirSize = uint32_t(out.size() - O.Stub.size()) + bias - dirStart;
  end.DirOffset = dirStart;
  end.CommentLen = uint16_t(O.Comment.size());
  if (O.Zip64Placeholders) {
    out += Zip64EndRecords(Entries.size(), end.DirSize, end.DirOffset, out.size() - O.Stub.size() + bias);
    end.ThisDisk = end.DirDisk = end.EntriesOnDisk = end.TotalEntries = 0xFFFF;
    end.DirSize = 0xFFFFFFFF;
    end.DirOffset = 0xFFFFFFFF;
  }
  if (O.Scramble) end.Signature = ScrambledSig(end.Signature);
  uint8_t b[LargeEndRecordSize];
  end.Store(b);
  if (O.Scramble) ScrambleRecord(b, size_t(end.FixedSize()), nullptr, true);
  put(b, size_t(end.FixedSize()));
  return out + O.Comment;
}

// A memory stream holding Bytes, positioned at 0.
class TTestMemStream : public TMemoryStream32 {
 public:
  explicit TTestMemStream(const std::string& Bytes) {
    if (!Bytes.empty()) WriteBuffer(Bytes.data(), int64_t(Bytes.size()));
    SetPosition(0);
  }
};

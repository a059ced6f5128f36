// Builds ZIP archives field by field for the reader tests: stored, deflated or raw payloads,
// traditional encryption, data-descriptor style headers, displaced local headers, stubs and
// archives cut before their central directory.
#pragma once

#include <zlib.h>

#include <optional>
#include <string>
#include <vector>

#include "archive/core/qrvStreams.h"
#include "archive/core/qrvZipRecords.h"
#include "archive/zip/qrvUnZip.h"
#include "support/TestSupport.h"

struct TZipSpec {
  std::string Name;
  std::string Data;
  uint16_t Method = 0;  // 0 stored, 8 deflated; others take RawPayload
  std::optional<std::string> RawPayload = {};
  uint16_t Flags = 0;
  std::optional<uint32_t> Crc = {};  // stored CRC instead of the data's
  std::string Password = {};         // traditional encryption when not empty
  bool LocalCrcZero = false;         // local header CRC 0 (as with a data descriptor)
  uint32_t ExtAttr = 0x20;
  std::string CentralExtra = {};
  size_t Displace = 0;         // junk bytes in front of the local header
  uint32_t StatedShift = 0;    // the directory states the offset this much too low
  bool ScrambleLocal = false;  // the local header scrambled (the directory stays plain)
};

struct TZipBuild {
  std::string Stub;
  bool AdjustOffsets = false;
  bool NoCentral = false;
};

inline std::string RawDeflate(const std::string& In) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, uLong(In.size())) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(In.data()));
  z.avail_in = uInt(In.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline std::string BuildZip(const std::vector<TZipSpec>& Entries, const TZipBuild& B = {}) {
  std::string out = B.Stub;
  const size_t bias = B.AdjustOffsets ? B.Stub.size() : 0;
  std::vector<std::pair<uint32_t, std::string>> central;
  auto bytes = [](const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); };
  for (const TZipSpec& e : Entries) {
    out += std::string(e.Displace, 'J');
    const uint32_t crc = e.Crc.value_or(Crc32Of(e.Data.data(), e.Data.size()));
    std::string payload = e.RawPayload ? *e.RawPayload : e.Method == 8 ? RawDeflate(e.Data) : e.Data;
    uint16_t flags = e.Flags;
    if (!e.Password.empty()) {
      flags |= gpEncrypted;
      TZipCipher c;
      c.Init(e.Password);
      std::string head = "0123456789";
      head += char(crc >> 16);
      head += char(crc >> 24);
      payload = head + payload;
      c.Encrypt(payload.data(), payload.size());
    }
    const uint32_t offset = uint32_t(out.size() - B.Stub.size() + bias - e.Displace - e.StatedShift);
    LocalFileHeader h;
    h.Flags = flags;
    h.Method = e.Method;
    h.DosDateTime = 0x5A2B6000;
    h.Crc32 = e.LocalCrcZero ? 0 : crc;
    h.PackedSize = uint32_t(payload.size());
    h.UnpackedSize = uint32_t(e.Data.size());
    h.NameLen = uint16_t(e.Name.size());
    if (e.ScrambleLocal) h.Signature = ScrambledSig(sigLocalFileHeader);
    uint8_t b[CentralHeaderSize];
    h.Store(b);
    std::string localName = e.Name;
    if (e.ScrambleLocal) ScrambleRecord(b, LocalHeaderSize, &localName, true);
    out += bytes(b, LocalHeaderSize) + localName + payload;
    CentralDirHeader c;
    c.Flags = flags;
    c.Method = e.Method;
    c.DosDateTime = h.DosDateTime;
    c.Crc32 = crc;
    c.PackedSize = h.PackedSize;
    c.UnpackedSize = h.UnpackedSize;
    c.NameLen = h.NameLen;
    c.ExtraLen = uint16_t(e.CentralExtra.size());
    c.ExternalAttr = e.ExtAttr;
    c.LocalOffset = offset;
    c.Store(b);
    central.emplace_back(offset, bytes(b, CentralHeaderSize) + e.Name + e.CentralExtra);
  }
  if (B.NoCentral) return out;
  const uint32_t dirStart = uint32_t(out.size() - B.Stub.size() + bias);
  for (auto& [off, rec] : central) out += rec;
  EndOfCentralDir end;
  end.EntriesOnDisk = end.TotalEntries = uint16_t(Entries.size());
  end.DirSize = uint32_t(out.size() - B.Stub.size() + bias - dirStart);
  end.DirOffset = dirStart;
  uint8_t b[LargeEndRecordSize];
  end.Store(b);
  return out + bytes(b, EndRecordSize);
}

// One error report of a run.
struct TReport {
  std::string FileName, ExtendedMsg;
  int32_t Code;
};

// A reader on an archive file with its reports collected.
struct TReaderRun {
  TUnZip Zip;
  std::vector<TReport> Reports;
  explicit TReaderRun(const std::string& Archive, const std::string& OutDir = {}) {
    Zip.OnError = [this](TZipCommon*, const std::string& F, const std::string& X, const std::string&, int32_t C) {
      Reports.push_back({F, X, C});
    };
    Zip.SetArchiveFile(Archive);
    Zip.FileSpec = {"*"};
    Zip.CreateStoredDirs = true;
    if (!OutDir.empty()) Zip.SetExtractDir(OutDir);
  }
  int Count(int32_t Code) const {
    int n = 0;
    for (const TReport& r : Reports) n += r.Code == Code;
    return n;
  }
};

// LocateEndRecord: the end record in the file's tail, the central directory it points to, the
// offset correction for data in front of the archive, and the fallback local-header scan.
#include <algorithm>
#include <vector>

#include "archive/core/qrvZipRecords.h"

namespace {

constexpr int64_t kWindow = 32768;
constexpr int kFallbackChunks = 4;

// Reads up to N bytes at Pos; returns the count read (0 for a position outside the stream).
int64_t ReadAt(TStream32& s, int64_t pos, void* buf, int64_t n) {
  if (pos < 0 || n <= 0) return 0;
  if (s.Seek(pos, soFromBeginning) != pos) return 0;
  auto* p = static_cast<uint8_t*>(buf);
  int64_t done = 0;
  while (done < n) {
    const int32_t got = s.Read(p + done, int32_t(std::min<int64_t>(n - done, 0x40000000)));
    if (got <= 0) break;
    done += got;
  }
  return done;
}

bool IsRecordAt(TStream32& s, int64_t pos, int64_t size, int32_t len, TZipRecordKind kind) {
  if (pos < 0 || pos > size - len) return false;
  uint8_t b[4];
  return ReadAt(s, pos, b, 4) == 4 && ClassifySig(GetLE32(b)).Kind == kind;
}

// Sequential local-header mode: the first local header signature in the first chunks of the
// file. Returns its position or -1.
int64_t ScanForLocalHeader(TStream32& s, int64_t size, int64_t window, TZipLocation& loc) {
  const int64_t n = std::min<int64_t>(size, window * kFallbackChunks);
  std::vector<uint8_t> buf(size_t(std::max<int64_t>(n, 0)));
  const int64_t got = ReadAt(s, 0, buf.data(), n);
  for (int64_t i = 0; i + 4 <= got; ++i) {
    if (buf[i] != 'P' || ClassifySig(GetLE32(&buf[i])).Kind != zrLocal) continue;
    loc.State = htsLocalHeader;
    loc.StartPos = loc.FirstLocal = i;
    return i;
  }
  loc.StartPos = -1;
  return -1;
}

// Position of the last end record signature in the window whose fixed part fits in it, down to
// From (0 when the window is the whole file, so that an archive of nothing but its end record
// is found; else the window's second byte); -1 when there is none.
int64_t FindEndSig(const std::vector<uint8_t>& buf, int64_t From) {
  const int64_t w = int64_t(buf.size());
  for (int64_t i = w - EndRecordSize; i >= From; --i) {
    const TZipSigClass c = ClassifySig(GetLE32(&buf[i]));
    if (c.Kind == zrEnd || (c.Kind == zrLargeEnd && i + LargeEndRecordSize <= w)) return i;
  }
  return -1;
}

// Where a field of the plain end record holds its Zip64 placeholder (all bits set), the value
// of the Zip64 end record at P replaces it, as far as the plain field can hold it.
void TakeZip64Values(const uint8_t* P, EndOfCentralDir& End) {
  auto take16 = [](uint16_t& field, uint64_t value) {
    if (field == 0xFFFF) field = uint16_t(std::min<uint64_t>(value, 0xFFFF));
  };
  take16(End.ThisDisk, GetLE32(P + 16));
  take16(End.DirDisk, GetLE32(P + 20));
  take16(End.EntriesOnDisk, GetLE64(P + 24));
  take16(End.TotalEntries, GetLE64(P + 32));
  if (End.DirSize == 0xFFFFFFFF) End.DirSize = uint32_t(std::min<uint64_t>(GetLE64(P + 40), 0xFFFFFFFF));
  if (!End.Large() && End.DirOffset == 0xFFFFFFFF) End.DirOffset = GetLE64(P + 48);
}

}  // namespace

int64_t LocateEndRecord(TStream32& Stream, TZipLocation& Loc) {
  Loc = TZipLocation{};
  const int64_t size = Stream.Size();
  if (size <= 0) return Loc.StartPos = 0;
  const int64_t w = std::min(size, kWindow);
  const int64_t base = size - w;
  std::vector<uint8_t> buf(static_cast<size_t>(w));
  if (ReadAt(Stream, base, buf.data(), w) != w) return ScanForLocalHeader(Stream, size, w, Loc);
  const int64_t hit = FindEndSig(buf, base == 0 ? 0 : 1);
  if (hit < 0) return ScanForLocalHeader(Stream, size, w, Loc);

  // The end record, unscrambled.
  uint8_t rec[LargeEndRecordSize] = {};
  std::copy_n(&buf[hit], std::min<int64_t>(LargeEndRecordSize, w - hit), rec);
  const TZipSigClass sc = ClassifySig(GetLE32(rec));
  const int32_t recSize = sc.Kind == zrLargeEnd ? LargeEndRecordSize : EndRecordSize;
  if (sc.Scrambled) ScrambleRecord(rec, recSize, nullptr, false);
  Loc.End.Load(rec);
  Loc.EndScrambled = sc.Scrambled;
  Loc.State = htsEndRecord;
  const int64_t sigPos = base + hit;
  Loc.EndPosition = sigPos;
  Loc.AfterEnd = sigPos + recSize;

  // Zip64 locator 20 bytes before, Zip64 end record 76 bytes before.
  uint64_t dirSize = Loc.End.DirSize, storedOffset = Loc.End.DirOffset;
  int64_t dirEnd = sigPos;
  if (hit >= Zip64LocatorSize && GetLE32(&buf[hit - Zip64LocatorSize]) == sigZip64Locator) {
    Loc.State |= htsZip64Locator;
    dirEnd = sigPos - Zip64LocatorSize;
    const int64_t r = hit - Zip64LocatorSize - Zip64EndRecordSize;
    if (r >= 0 && GetLE32(&buf[r]) == sigZip64EndRecord) {
      Loc.State |= htsZip64Record;
      dirEnd = base + r;
      dirSize = GetLE64(&buf[r + 40]);
      if (!Loc.End.Large()) storedOffset = GetLE64(&buf[r + 48]);
      TakeZip64Values(&buf[r], Loc.End);
    }
  }
  Loc.DirSize = dirSize > uint64_t(size) ? size : int64_t(dirSize);

  // The directory lies right before the end records in every archive, shifted or not; the
  // stored offset then tells how far the whole archive was shifted. The stored offset itself
  // and the plain record's own figures are the fallbacks.
  std::vector<int64_t> candidates;
  if (dirSize <= uint64_t(dirEnd)) candidates.push_back(dirEnd - int64_t(dirSize));
  if (storedOffset < uint64_t(size)) candidates.push_back(int64_t(storedOffset));
  if (Loc.End.DirSize <= uint64_t(sigPos)) candidates.push_back(sigPos - int64_t(Loc.End.DirSize));
  for (int64_t start : candidates) {
    if (!IsRecordAt(Stream, start, size, CentralHeaderSize, zrCentral)) continue;
    Loc.State |= htsCentralHeader;
    Loc.StartPos = start;
    Loc.Correction = storedOffset < uint64_t(size) ? start - int64_t(storedOffset) : 0;
    TZipCentralRecord first;
    Stream.Seek(start, soFromBeginning);
    if (ReadCentralRecord(Stream, first)) {
      const int64_t local = first.LocalOffset() + Loc.Correction;
      if (IsRecordAt(Stream, local, size, LocalHeaderSize, zrLocal)) {
        Loc.State |= htsLocalHeader;
        Loc.FirstLocal = local;
      }
    }
    return Loc.StartPos;
  }

  // An empty directory: reading starts at the end record, where no central header follows.
  if (Loc.End.TotalEntries == 0 && dirSize == 0) return Loc.StartPos = sigPos;
  return ScanForLocalHeader(Stream, size, w, Loc);
}

int64_t ZipArchiveStart(const TZipLocation& Loc) {
  if (Loc.FirstLocal >= 0) return Loc.FirstLocal;
  return std::max<int64_t>(Loc.Correction, 0);
}

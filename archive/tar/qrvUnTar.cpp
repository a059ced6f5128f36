// The TAR reader: selection over the walked headers, then extraction entry by entry.
#include "archive/tar/qrvUnTar.h"

#include <algorithm>

TUnTar::TUnTar() = default;

namespace {

constexpr int32_t CopyBlock = 256 * 1024;

uint32_t EntryDosDate(const TTarEntry& E) { return E.MTime > 0 ? UnixToDosDateTime(E.MTime) : 0; }

}  // namespace

int TUnTar::SelectEntries(TStream32& Stream, std::vector<TTarEntry>& Selected) {
  TTarWalker walker(Stream, CancelFlag());
  TTarEntry e;
  int64_t total = 0;
  while (walker.Next(e)) {
    if (!EntrySelected(e.Name)) continue;
    NoteEntryDate(EntryDosDate(e));
    if (!e.IsDir()) total += e.Size;
    Selected.push_back(e);
  }
  // Blocks that looked like headers but failed their checksum: the archive is damaged there.
  if (walker.BadHeaders() > 0) ReportError(FArchiveFile, "", FRunArchiveName, ecBadFileHeader);
  ByteTotal = BytesToGo = total;
  return int(Selected.size());
}

int TUnTar::ExtractArchive(TStream32& Stream, int Flag) {
  std::vector<TTarEntry> selected;
  FTimer.Pause();
  const int count = SelectEntries(Stream, selected);
  FTimer.Resume();
  if (count == 0) return 0;
  try {
    for (const TTarEntry& e : selected) {
      if (IsCancelled()) break;
      if (ExtractMode == xmList)
        ListEntry(e);
      else
        ExtractEntry(Stream, e);
    }
  } catch (const EArchiveError&) {
    // Disk full and the like end the pass; what was reported stays reported.
  }
  return EntryCount;
}

void TUnTar::ListEntry(const TTarEntry& E) {
  ++EntryCount;
  if (!OnListEntry) return;
  TListEntry l;
  l.Name = E.Name;
  l.DosDateTime = EntryDosDate(E);
  l.Attr = E.IsDir() ? faDirectory : faArchive;
  l.Size = l.PackedSize = E.IsDir() ? 0 : E.Size;
  l.Method = 0;
  l.MethodName = MethodName(atTar, 0);
  l.Crc32 = E.Checksum;
  OnListEntry(this, l);
}

void TUnTar::ExtractEntry(TStream32& Stream, const TTarEntry& E) {
  SetCurrentName(E.Name);
  const uint32_t dos = EntryDosDate(E);
  if (E.IsDir()) {
    if (!OpenOutput(true)) ReportError(FCurrentName, "", FRunArchiveName, ecOpenFile);
    return;
  }
  StartEntryProgress(E.Size);
  if (!BeginEntry(false)) {
    BytesToGo -= E.Size;
    return;
  }
  if (!OpenOutput(false)) {
    ReportError(FCurrentName, "", "0", ecOpenFile);
    BytesToGo -= E.Size;
    --EntryCount;
    return;
  }
  bool copied = false;
  try {
    copied = CopyData(Stream, E);
  } catch (...) {
    CloseOutput(dos, faArchive);
    throw;
  }
  CloseOutput(dos, faArchive);
  // Tar data has no checksum: an entry passes when all of it was copied. A failed copy was
  // reported already and is not reported again as a CRC error.
  MarkEntryDecoded(copied);
  if (copied)
    CheckCRC(32, StreamState->Crc32Val);
  else if (OnEnd)
    OnEnd(this, FCurrentName, false);
}

bool TUnTar::CopyData(TStream32& Stream, const TTarEntry& E) {
  StreamState->Crc32Val = Crc32Init;
  if (Stream.Seek(E.DataOffset, soFromBeginning) != E.DataOffset) {
    ReportError(FCurrentName, "", FRunArchiveName, ecReadFile);
    return false;
  }
  std::vector<uint8_t> buf(size_t(std::min<int64_t>(std::max<int64_t>(E.Size, 1), CopyBlock)));
  int64_t left = E.Size;
  while (left > 0) {
    if (IsCancelled()) return false;
    const int32_t want = int32_t(std::min<int64_t>(left, CopyBlock));
    const int32_t got = ReadBlock(Stream, buf.data(), want);
    if (got > 0 && !WriteBlock(buf.data(), got)) return false;
    left -= std::max(got, 0);
    BytesToGo -= std::max(got, 0);
    ProgressStep();
    if (got < want) {
      // The archive ends inside the entry's data: what there was is kept, and said so.
      BytesToGo -= left;
      ReportError(FCurrentName, "", FRunArchiveName, ecReadFile);
      return false;
    }
  }
  return true;
}

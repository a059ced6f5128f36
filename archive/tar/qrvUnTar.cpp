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
  // A gzip-compressed tar is read through one gunzip stream: no temporary file, flat memory.
  if (!TGunzipStream::IsGzip(Stream)) return ExtractTar(Stream);
  TGunzipStream gz(Stream);
  gz.CancelFlag = CancelFlag();
  const int count = ExtractTar(gz);
  if (gz.Error().Code != 0) ReportError(FArchiveFile, gz.Error().Reason, FRunArchiveName, gz.Error().Code);
  return count;
}

int TUnTar::ExtractTar(TStream32& Stream) {
  std::vector<TTarEntry> selected;
  FTimer.Pause();
  const int count = SelectEntries(Stream, selected);
  FTimer.Resume();
  if (count == 0) return 0;
  return ForEachSelected(selected.size(), [&](size_t I) {
    if (ExtractMode == xmList)
      ListEntry(selected[I]);
    else
      ExtractEntry(Stream, selected[I]);
  });
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

// Devices and FIFOs are not made: each is reported with what it is, and nothing is written in
// its place. Links are made by the extract step.
bool TUnTar::RefuseSpecial(const TTarEntry& E) {
  if (!E.IsSpecial() || E.Typeflag == '1' || E.Typeflag == '2') return false;
  if (ExtractMode != xmExtract) return true;
  if (HasNul(E.Name)) {
    ReportError(ShownName(E.Name), "NUL byte in the stored name", FRunArchiveName, ecInvalidFileName);
    return true;
  }
  SetCurrentName(E.Name);
  ReportError(CurrentName().empty() ? ShownName(E.Name) : CurrentName(),
              std::string(E.Typeflag == '6' ? "FIFO" : "device") + ", not extracted", FRunArchiveName,
              ecUnknownFileType);
  return true;
}

void TUnTar::ExtractEntry(TStream32& Stream, const TTarEntry& E) {
  if (RefuseSpecial(E)) return;
  TStepEntry step;
  step.Name = E.Name;
  step.IsDir = E.IsDir();
  step.Size = step.IsDir ? 0 : E.Size;
  step.DosDateTime = EntryDosDate(E);
  step.Attr = faArchive;
  step.Check = ckNone;
  int64_t mode = 0;
  if (TarGetNumber(E.Header.data() + thMode, twMode, mode)) step.UnixMode = uint32_t(mode) & 0777;
  if (E.Typeflag == '1' || E.Typeflag == '2') {
    // A link has no data of its own: test mode checks it as an entry without data.
    step.Link = E.Typeflag == '1' ? lkHard : lkSymbolic;
    step.LinkTarget = E.LinkName;
    step.Size = 0;
    ExtractStep(step, [] { return true; });
    return;
  }
  // Tar data has no checksum: an entry passes when all of it was copied.
  ExtractStep(step, [&] { return CopyData(Stream, E); });
}

bool TUnTar::CopyData(TStream32& Stream, const TTarEntry& E) {
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

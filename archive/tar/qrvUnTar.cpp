// The TAR reader: selection over the walked headers, then extraction entry by entry.
#include "archive/tar/qrvUnTar.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/core/qrvDecoder.h"

TUnTar::TUnTar() = default;

namespace {

constexpr int32_t CopyBlock = 256 * 1024;

uint32_t EntryDosDate(const TTarEntry& E) { return E.MTime > 0 ? UnixToDosDateTime(E.MTime) : 0; }

// A hard link names an earlier entry as it was stored; that entry was extracted under its
// cleaned name (no leading "/", no "." or ".." parts), so the link is made to that name.
std::string CleanLinkTarget(const std::string& Target) {
  std::string out;
  size_t i = 0;
  while (i <= Target.size()) {
    const size_t j = std::min(Target.find('/', i), Target.size());
    const std::string part = Target.substr(i, j - i);
    if (!part.empty() && part != "." && part != "..") out += (out.empty() ? "" : "/") + part;
    i = j + 1;
  }
  return out;
}

// Why an entry is not made, or "" when it is: devices and FIFOs are left out on purpose, and
// types this reader does not know are not guessed at.
std::string NotMadeReason(const TTarEntry& E) {
  if (E.Typeflag == '3' || E.Typeflag == '4') return "device, not extracted";
  if (E.Typeflag == '6') return "FIFO, not extracted";
  if (E.Typeflag == 'M') return "continuation of a file from another volume, not extracted";
  if (E.IsUnsupported()) return std::string("entry type '") + E.Typeflag + "' not supported, not extracted";
  return {};
}

}  // namespace

int TUnTar::SelectEntries(TStream32& Stream, std::vector<TTarEntry>& Selected) {
  TTarWalker walker(Stream, CancelFlag());
  TTarEntry e;
  int64_t total = 0;
  while (walker.Next(e)) {
    if (!EntrySelected(e.Name)) continue;
    NoteEntryDate(EntryDosDate(e));
    if (!e.IsDir()) total += e.FileSize;
    Selected.push_back(std::move(e));
  }
  ReportWalk(walker, Selected);
  ByteTotal = BytesToGo = total;
  return int(Selected.size());
}

void TUnTar::ReportWalk(const TTarWalker& Walker, const std::vector<TTarEntry>& Selected) {
  // Blocks that looked like headers but failed their checksum: the archive is damaged there.
  // (Where the decoding stream failed, that failure is the cause, reported once on its own.)
  if (Walker.BadHeaders() > 0 && !DecoderFailed()) ReportError(FArchiveFile, "", FRunArchiveName, ecBadFileHeader);
  ReportCut(Walker, Selected);
}

// An archive cut short inside a header or record, or inside data that no copy will read (the
// copy of a selected file reports its own cut), is reported here, once.
void TUnTar::ReportCut(const TTarWalker& Walker, const std::vector<TTarEntry>& Selected) {
  if (Walker.Truncated() == TTarWalker::tcNone || DecoderFailed()) return;
  if (Walker.Truncated() == TTarWalker::tcData && ExtractMode != xmList && !Selected.empty()) {
    const TTarEntry& last = Selected.back();
    if (last.EndOffset == Walker.Position() && !last.IsDir() && !last.IsSpecial() && NotMadeReason(last).empty() &&
        last.Damage.empty())
      return;
  }
  ReportError(FArchiveFile,
              Walker.Truncated() == TTarWalker::tcHeader ? "the archive ends inside a header"
                                                         : "the archive ends inside an entry's data",
              FRunArchiveName, ecBadFileHeader);
}

int TUnTar::ExtractArchive(TStream32& Stream, int Flag) {
  // A compressed tar (gzip, xz, zstd, bzip2) is read through one decoding stream: no temporary
  // file, flat memory. A tar whose first name starts with a magic is still a tar: its header
  // checksum says so.
  TTarBlock first{};
  const int64_t at = Stream.Position();
  const bool tarHeader = Stream.Read(first.data(), TarBlockSize) == TarBlockSize && TarChecksumMatches(first);
  Stream.SetPosition(at);
  std::unique_ptr<TDecodeStream> in;
  try {
    if (!tarHeader) in = NewDecodeStream(DetectStreamFilter(Stream), Stream);
  } catch (const EArchiveError& e) {
    ReportError(FArchiveFile, e.what(), FRunArchiveName, e.ECode);
    return 0;
  }
  if (!in) return ExtractTar(Stream);
  in->CancelFlag = CancelFlag();
  FDecoder = in.get();
  FDecoderReported = false;
  FPackedSize = Stream.Size() - at;
  const int count = ExtractTarOnePass(*in);
  FDecoder = nullptr;
  if (in->Error().Code != 0 && !FDecoderReported)
    ReportError(FArchiveFile, in->Error().Reason, FRunArchiveName, in->Error().Code);
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

// A compressed tar is walked and copied in one pass, so it is decoded once (a second pass
// would decode it all again); progress follows the compressed bytes read.
int TUnTar::ExtractTarOnePass(TStream32& Stream) {
  TTarWalker walker(Stream, CancelFlag());
  TTarEntry e;
  std::vector<TTarEntry> last;  // the last selected entry, for ReportCut
  ByteTotal = BytesToGo = std::max<int64_t>(FPackedSize, 0);
  FTimer.Pause();
  bool found = walker.Next(e);
  FTimer.Resume();
  if (!found) {
    ReportWalk(walker, last);
    return 0;
  }
  // One step of the frame's loop holds the whole walk: a failure such as a full disk ends it.
  ForEachSelected(1, [&](size_t) {
    --EntryNumber;  // counted per selected entry below
    for (; found && !IsCancelled(); found = walker.Next(e)) {
      if (!EntrySelected(e.Name)) continue;
      ++EntryNumber;
      NoteEntryDate(EntryDosDate(e));
      if (ExtractMode == xmList)
        ListEntry(e);
      else
        ExtractEntry(Stream, e);
      last.assign(1, std::move(e));
      StepPacked();
    }
  });
  ReportWalk(walker, last);
  return EntryCount;
}

void TUnTar::StepPacked() {
  if (FPackedSize <= 0 || !FDecoder) return;
  BytesToGo = std::max<int64_t>(0, FPackedSize - FDecoder->InputRead());
  ProgressStep();
}

// A tar stores its files as they are: one method.
std::string TarMethodName(int Method) { return Method == 0 ? "Tarred" : kUnsupportedMethod; }

void TUnTar::ListEntry(const TTarEntry& E) {
  ++EntryCount;
  if (!E.Damage.empty()) ReportError(ShownName(E.Name), E.Damage, FRunArchiveName, ecBadFileHeader);
  if (!OnListEntry) return;
  TListEntry l;
  l.Name = E.Name;
  l.DosDateTime = EntryDosDate(E);
  l.Attr = E.IsDir() ? faDirectory : faArchive;
  l.Size = E.IsDir() ? 0 : E.FileSize;
  l.PackedSize = E.IsDir() ? 0 : E.Size;
  l.Method = 0;
  l.MethodName = TarMethodName(0);
  l.Crc32 = E.Checksum;
  OnListEntry(this, l);
}

// Entries that are not made are reported once with the reason, and nothing is written in their
// place: devices and FIFOs (extract mode; a test has nothing to check), unknown types and
// damaged sparse maps. Links are made by the extract step.
bool TUnTar::RefuseEntry(const TTarEntry& E) {
  const std::string reason = E.Damage.empty() ? NotMadeReason(E) : E.Damage;
  if (reason.empty()) return false;
  BytesToGo -= E.FileSize;
  const bool device = E.IsSpecial() && E.Damage.empty();
  if (device && ExtractMode != xmExtract) return true;
  if (HasNul(E.Name)) {
    ReportError(ShownName(E.Name), "NUL byte in the stored name", FRunArchiveName, ecInvalidFileName);
    return true;
  }
  SetCurrentName(E.Name);
  ReportError(CurrentName().empty() ? ShownName(E.Name) : CurrentName(), reason, FRunArchiveName,
              E.Damage.empty() ? ecUnknownFileType : ecBadFileHeader);
  return true;
}

void TUnTar::ExtractEntry(TStream32& Stream, const TTarEntry& E) {
  if (RefuseEntry(E)) return;
  TStepEntry step;
  step.Name = E.Name;
  step.IsDir = E.IsDir();
  step.Size = step.IsDir ? 0 : E.FileSize;
  step.DosDateTime = EntryDosDate(E);
  step.UnixTime = E.MTime;  // restored as stored, before 1980 or after 2107 too
  step.Attr = faArchive;
  step.Check = ckNone;
  step.Owner = E.Owner;
  int64_t mode = 0;
  if (TarGetNumber(E.Header.data() + thMode, twMode, mode)) step.UnixMode = uint32_t(mode) & 0777;
  if (E.Typeflag == '1' || E.Typeflag == '2') {
    // A link has no data of its own: test mode checks it as an entry without data.
    step.Link = E.Typeflag == '1' ? lkHard : lkSymbolic;
    step.LinkTarget = E.Typeflag == '1' ? CleanLinkTarget(E.LinkName) : E.LinkName;
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
  if (!E.Sparse) return CopyBytes(Stream, E.Size);
  // A sparse file: each fragment at its offset, the holes between them skipped over (they read
  // as zeros), then the file set to its full size.
  int64_t pos = 0;
  for (const TTarSparseRun& r : E.Runs) {
    if (!SkipHole(r.Offset - pos) || !CopyBytes(Stream, r.Length)) return false;
    pos = r.Offset + r.Length;
  }
  if (!SkipHole(E.FileSize - pos)) return false;
  if (!OutStream || BlockOutput != boFile) return true;
  try {
    OutStream->SetSize(E.FileSize);
  } catch (const EArchiveError&) {
    // A size the file system cannot hold: this entry fails, the run goes on.
    ReportError(FCurrentName, std::strerror(OutStream->LastError() ? OutStream->LastError() : EFBIG), FRunArchiveName,
                ecWriteFile);
    return false;
  }
  return true;
}

bool TUnTar::SkipHole(int64_t Count) {
  if (Count <= 0) return true;
  BytesToGo -= Count;
  if (!OutStream || BlockOutput != boFile) return true;  // testing: nothing to write
  if (OutStream->Seek(Count, soFromCurrent) >= 0) return true;
  ReportError(FCurrentName, std::strerror(OutStream->LastError() ? OutStream->LastError() : EIO), FRunArchiveName,
              ecWriteFile);
  return false;
}

bool TUnTar::CopyBytes(TStream32& Stream, int64_t Count) {
  std::vector<uint8_t> buf(size_t(std::min<int64_t>(std::max<int64_t>(Count, 1), CopyBlock)));
  int64_t left = Count;
  while (left > 0) {
    if (IsCancelled()) return false;
    const int32_t want = int32_t(std::min<int64_t>(left, CopyBlock));
    const int32_t got = ReadBlock(Stream, buf.data(), want);
    if (got > 0 && !WriteBlock(buf.data(), got)) return false;
    left -= std::max(got, 0);
    BytesToGo -= std::max(got, 0);
    if (FDecoder)
      StepPacked();
    else
      ProgressStep();
    if (got < want) {
      // The archive ends inside the entry's data: what there was is kept, and said so (with
      // the decoding stream's reason when it stopped).
      BytesToGo -= left;
      FDecoderReported = DecoderFailed();
      ReportError(FCurrentName, FDecoderReported ? FDecoder->Error().Reason : "", FRunArchiveName,
                  FDecoderReported ? FDecoder->Error().Code : ecReadFile);
      return false;
    }
  }
  return true;
}

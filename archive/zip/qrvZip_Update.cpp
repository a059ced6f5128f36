// ZIP writer, the old archive: reading its entries for an update (central directory, else local
// headers), copying kept entries byte for byte, renaming them, swRead, and comment editing.
#include <algorithm>

#include "archive/zip/qrvZip.h"
#include "archive/zip/qrvUnZip.h"  // ZipEntryName, the reader's name decoder

namespace {

// Walks the blocks of an extra field; Fn(id, offset of the block, its whole length).
template <typename Fn>
void ForEachBlock(const std::string& Extra, Fn&& F) {
  size_t pos = 0;
  while (pos + 4 <= Extra.size()) {
    const auto* p = reinterpret_cast<const uint8_t*>(Extra.data() + pos);
    const size_t len = std::min<size_t>(4 + GetLE16(p + 2), Extra.size() - pos);
    F(GetLE16(p), pos, len);
    pos += len;
  }
}

bool HasBlock(const std::string& Extra, uint16_t Id) {
  bool found = false;
  ForEachBlock(Extra, [&](uint16_t id, size_t, size_t) { found = found || id == Id; });
  return found;
}

// The extra field without the size blocks: the writer writes its own for the new offsets.
std::string WithoutSizeBlocks(const std::string& Extra) {
  std::string out;
  ForEachBlock(Extra, [&](uint16_t id, size_t pos, size_t len) {
    if (id != xfZip64 && id != xfLargeSize) out.append(Extra, pos, len);
  });
  return out;
}

// A kept row of the old archive, from its central header.
TCompRow KeptRow(const TZipCentralRecord& Rec, int64_t Correction, std::string Name) {
  TCompRow r;
  r.Action = eaCopy;
  r.Offset = Rec.LocalOffset() + Correction;
  r.Name = std::move(Name);
  r.Info = {Rec.UnpackedSize(), Rec.PackedSize(), Rec.Header.DosDateTime, Rec.Header.ExternalAttr};
  auto d = std::make_shared<TZipRowData>();
  d->Central = Rec.Header;
  d->RawName = Rec.Name;
  d->Extra = WithoutSizeBlocks(Rec.Extra);
  d->Comment = Rec.Comment;
  d->Hi = Rec.Hi;
  d->Scrambled = Rec.Scrambled;
  r.Data = d;
  return r;
}

// The central form of a local header (archives read in local-header mode).
TZipCentralRecord CentralFromLocal(const TZipLocalRecord& L) {
  TZipCentralRecord c;
  const LocalFileHeader& h = L.Header;
  c.Header.VersionNeeded = h.VersionNeeded;
  c.Header.Flags = h.Flags;
  c.Header.Method = h.Method;
  c.Header.DosDateTime = h.DosDateTime;
  c.Header.Crc32 = h.Crc32;
  c.Header.PackedSize = h.PackedSize;
  c.Header.UnpackedSize = h.UnpackedSize;
  c.Header.NameLen = h.NameLen;
  c.Header.LocalOffset = uint32_t(L.Position);
  c.Scrambled = L.Scrambled;
  c.Name = L.Name;
  c.Extra = L.Extra;
  c.Hi = L.Hi;
  c.Hi.Offset = uint16_t(uint64_t(L.Position) >> 32);
  return c;
}

bool StartsWithEndRecord(TStream32& S) {
  uint8_t sig[4];
  S.SetPosition(0);
  if (S.Read(sig, 4) != 4) return false;
  const TZipRecordKind k = ClassifySig(GetLE32(sig)).Kind;
  return k == zrEnd || k == zrLargeEnd;
}

}  // namespace

std::string TZipBase::DecodeName(const std::string& Raw, uint16_t Flags, const std::string& Extra) const {
  std::string s = ZipEntryName(Raw, Flags, Extra, TranslateOemChar, NameCoding);
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

bool TZipBase::ReadArchive(TStream32& Old, TCompHeaderObj& List) { return ReadEntries(Old, List, Switch == swDelete); }

bool TZipBase::ReadEntries(TStream32& Old, TCompHeaderObj& List, bool ForDelete) {
  TZipLocation loc;
  const int64_t start = LocateEndRecord(Old, loc);
  const int64_t size = Old.Size();
  FCommentDirStart = -1;
  if ((loc.State & htsEndRecord) && !FCommentsChanged) {
    const int64_t n = std::clamp<int64_t>(loc.End.CommentLen, 0, std::max<int64_t>(0, size - loc.AfterEnd));
    FArchiveComment.assign(size_t(n), '\0');
    Old.SetPosition(loc.AfterEnd);
    if (n > 0 && Old.Read(FArchiveComment.data(), int32_t(n)) != int32_t(n)) FArchiveComment.clear();
  }
  auto add = [&](const TZipCentralRecord& Rec, int64_t Correction) {
    TCompRow r = KeptRow(Rec, Correction, DecodeName(Rec.Name, Rec.Header.Flags, Rec.Extra));
    if (ForDelete && SelectedForDelete(r.Name)) {
      r.Action = eaDrop;
      ++FMarkedForDelete;
    }
    List.Add(std::move(r));
  };
  auto corrupt = [&] {
    // An update must not drop entries it could not read: the archive is left alone.
    ReportError(FArchiveFile, "", FRunArchiveName, ecHeaderNotFound);
    return false;
  };

  if (loc.State & htsCentralHeader) {
    FCommentDirStart = start;
    Old.SetPosition(start);
    int read = 0;
    TZipCentralRecord rec;
    while (!IsCancelled() && ReadCentralRecord(Old, rec)) {
      add(rec, loc.Correction);
      ++read;
    }
    const bool countKnown = loc.End.TotalEntries != 0xFFFF && !(loc.State & htsZip64Record);
    if (!IsCancelled() && countKnown && read < loc.End.TotalEntries) return corrupt();
    return true;
  }
  if (loc.State == htsLocalHeader && start >= 0) {
    int64_t pos = start;
    while (pos >= 0 && pos < size && !IsCancelled()) {
      Old.SetPosition(pos);
      TZipLocalRecord rec;
      if (!ReadLocalRecord(Old, rec)) break;
      // Without a directory, an entry whose size is only in a data descriptor cannot be walked.
      if ((rec.Header.Flags & gpDataDescriptor) && rec.PackedSize() == 0) return corrupt();
      add(CentralFromLocal(rec), 0);
      const int64_t next = rec.DataPosition() + rec.PackedSize();
      if (next <= pos || next > size) break;
      pos = next;
    }
    return true;
  }
  if (size == 0 || ((loc.State & htsEndRecord) && loc.End.TotalEntries == 0) || StartsWithEndRecord(Old)) return true;
  return corrupt();
}

int64_t TZipBase::KeptDataLength(TStream32& Old, const TZipLocalRecord& Rec, const TCompRow& Row) {
  int64_t packed = Rec.PackedSize();
  if (Rec.Header.PackedSize == 0 || Rec.Header.UnpackedSize == 0) packed = Row.Info.PackedSize;
  const int64_t end = Rec.DataPosition() + packed;
  const int64_t size = Old.Size();
  if (packed < 0 || end > size) return -1;
  int64_t len = packed;
  if (Rec.Header.Flags & gpDataDescriptor) {
    // The descriptor after the data belongs to the entry: peers reading sequentially need it.
    uint8_t sig[4] = {};
    Old.SetPosition(end);
    const bool hasSig = Old.Read(sig, 4) == 4 && GetLE32(sig) == sigSpanMarker;
    const int64_t d = (hasSig ? 4 : 0) + 4 + (HasBlock(Rec.Extra, xfZip64) ? 16 : 8);
    if (end + d <= size) len += d;
  }
  return len;
}

int64_t TZipBase::EntrySize(TStream32& Old, TCompHeaderObj& List, int Index) {
  TZipLocalRecord rec;
  if (!ReadLocalRecord(Old, rec)) return 0;
  const int64_t n = KeptDataLength(Old, rec, List[Index]);
  return n < 0 ? 0 : rec.DataPosition() - rec.Position + n;
}

void TZipBase::RenameEntry(TStream32& Out, TStream32& Old, TCompHeaderObj& List, int Index) {
  TCompRow& row = List[Index];
  auto d = std::dynamic_pointer_cast<TZipRowData>(row.Data);
  TZipLocalRecord rec;
  if (!d || !ReadLocalRecord(Old, rec)) RaiseError(ecsWrite, row.Name, "", FRunArchiveName, ecWriteFile);
  const int64_t n = KeptDataLength(Old, rec, row);
  if (n < 0) RaiseError(ecsRead, row.Name, "", FRunArchiveName, ecBadLocalHeaderOffset);
  bool utf8 = false;
  std::string name = StoredBytes(row.Name, utf8);
  if (name.empty() || name.size() > 0xFFFF) RaiseError(ecsWrite, row.Name, "", FRunArchiveName, ecInvalidFileName);
  const uint16_t flags = uint16_t((rec.Header.Flags & ~gpUtf8Name) | (utf8 ? gpUtf8Name : 0));
  uint8_t fixed[LocalHeaderSize];
  if (rec.Scrambled) {
    LocalFileHeader h = rec.Header;
    h.Signature = ScrambledSig(sigLocalFileHeader);
    h.Flags = flags;
    h.NameLen = uint16_t(name.size());
    h.Store(fixed);
    std::string scrambled = name;
    ScrambleRecord(fixed, LocalHeaderSize, &scrambled, true);
    Out.WriteBuffer(fixed, LocalHeaderSize);
    Out.WriteBuffer(scrambled.data(), int64_t(scrambled.size()));
  } else {
    // Only the flags and the name length change; every other byte stays as it was.
    Old.SetPosition(rec.Position);
    Old.ReadBuffer(fixed, LocalHeaderSize);
    PutLE16(fixed + 6, flags);
    PutLE16(fixed + 26, uint16_t(name.size()));
    Out.WriteBuffer(fixed, LocalHeaderSize);
    Out.WriteBuffer(name.data(), int64_t(name.size()));
  }
  Out.WriteBuffer(rec.Extra.data(), int64_t(rec.Extra.size()));
  Old.SetPosition(rec.DataPosition());
  if (n > 0) Out.CopyFrom(Old, n);
  d->RawName = name;
  d->Central.Flags = flags;
  d->Central.NameLen = uint16_t(name.size());
}

// ---- swRead --------------------------------------------------------------------------------

bool TZipBase::ReadFirstHeader(std::string& Name, TStream32& Stream) {
  TZipLocation loc;
  const int64_t start = LocateEndRecord(Stream, loc);
  if (loc.State & htsCentralHeader)
    FLocalMode = false;
  else if (loc.State == htsLocalHeader && start >= 0)
    FLocalMode = true;
  else
    return false;
  Stream.SetPosition(start);
  return ReadHeader(Stream, Name);
}

int64_t TZipBase::StubLength(TStream32& Old) {
  if (!IsZipFamilyType(FArcType) || !IsValidArcType(DetectType(Old))) return 0;
  return std::clamp<int64_t>(ArchiveStart(), 0, FArchiveSize);
}

bool TZipBase::ReadHeader(TStream32& Stream, std::string& Name) {
  FNextHeader = 0;
  if (FLocalMode) {
    TZipLocalRecord rec;
    if (!ReadLocalRecord(Stream, rec)) return false;
    Name = DecodeName(rec.Name, rec.Header.Flags, rec.Extra);
    FNextHeader = rec.DataPosition() + rec.PackedSize();
    return true;
  }
  TZipCentralRecord rec;
  if (!ReadCentralRecord(Stream, rec)) return false;
  Name = DecodeName(rec.Name, rec.Header.Flags, rec.Extra);
  FNextHeader = rec.NextPosition();
  return true;
}

// ---- Comments ------------------------------------------------------------------------------

bool TZipBase::LoadCommentList() {
  FComments.Clear();
  FRunArchiveName = FArchiveFile;
  try {
    TFileStream32 old(FArchiveFile, fmOpenRead | fmShareDenyNone);
    return ReadEntries(old, FComments, false) && FCommentDirStart >= 0;
  } catch (const EArchiveError&) {
    ReportError(FArchiveFile, "", FArchiveFile, ecOpenFile);
    return false;
  }
}

std::string TZipBase::EntryComment(int Index, std::string& Name) const {
  if (Index < 0 || Index >= FComments.Count()) return {};
  Name = FComments[Index].Name;
  const auto* d = dynamic_cast<const TZipRowData*>(FComments[Index].Data.get());
  return d ? d->Comment : std::string();
}

void TZipBase::SetEntryComment(int Index, const std::string& Value) {
  if (Index < 0 || Index >= FComments.Count()) return;
  auto* d = dynamic_cast<TZipRowData*>(FComments[Index].Data.get());
  if (!d || d->Comment == Value) return;
  d->Comment = Value.substr(0, 0xFFFF);
  FCommentsChanged = true;
}

bool TZipBase::WriteComments() {
  if (!FCommentsChanged || IsCancelled() || FCommentDirStart < 0 || FComments.Count() == 0) return false;
  FRunArchiveName = FArchiveFile;
  try {
    TFileStream32 old(FArchiveFile, fmOpenRead | fmShareDenyWrite);
    TTempFileStream out(*this, fmCreate, FArchiveFile, TempDir());
    out.AllowUndo = BackupOldArchive;
    // Entries stay where they are: only the directory and the end record are new.
    if (FCommentDirStart > 0) {
      old.SetPosition(0);
      out.CopyFrom(old, FCommentDirStart);
    }
    for (TCompRow& r : FComments.Rows) r.OutOffset = r.Offset;
    const TSwitch saved = Switch;
    Switch = swAdd;
    const bool ok = WriteTrailer(out, FComments);
    Switch = saved;
    if (!ok) {
      out.Discard();
      return false;
    }
    const bool done = out.Finish();
    if (done) FCommentsChanged = false;
    return done;
  } catch (const EArchiveError& e) {
    ReportError(FArchiveFile, "", FArchiveFile, e.ECode ? e.ECode : ecWriteFile);
    return false;
  }
}

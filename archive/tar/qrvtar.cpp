// The TAR writer: one header (and a long-name record when needed) per entry, the data padded to
// whole blocks, the archive padded to a multiple of 10,240 bytes; then the optional gzip pass.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "archive/tar/qrvtar.h"
#include "archive/core/qrvDeflateChunks.h"
#include "platform/FileInfo.h"
#include "platform/Paths.h"

namespace {

// Where a kept entry's header and end lie in the old archive.
struct TTarRowData : TRowData {
  int64_t HeaderOffset = 0;
  int64_t EndOffset = 0;
};

constexpr int32_t CopyBlock = 1 << 20;

bool EndsWithNoCase(const std::string& S, const std::string& Suffix) {
  if (S.size() < Suffix.size()) return false;
  for (size_t i = 0; i < Suffix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(S[S.size() - Suffix.size() + i])) != Suffix[i]) return false;
  return true;
}

}  // namespace

TStreamFilter CompressedTarFilter(const std::string& Path) {
  try {
    TFileStream32 file(Path, fmOpenRead | fmShareDenyWrite);
    const TStreamFilter filter = DetectStreamFilter(file);
    const std::unique_ptr<TDecodeStream> in = NewDecodeStream(filter, file);
    if (!in) return sfNone;
    TTarBlock h{};
    if (in->Read(h.data(), TarBlockSize) < TarBlockSize) return in->Error().Code != 0 ? filter : sfNone;
    return TarIsZeroBlock(h) || TarChecksumMatches(h) ? filter : sfNone;
  } catch (const EArchiveError&) {
    return sfNone;
  }
}

bool GzipHoldsTar(const std::string& Path) { return CompressedTarFilter(Path) == sfGzip; }

TTar::TTar() {
  SetFormatDefaultExt(".tar");
  SetAllowedMethods(MethodBit(cmTarred) | MethodBit(cmTarGzip), cmTarred);
  FArcType = atTar;
}

void TTar::SetArchiveFile(const std::string& Value) {
  TCompBase::SetArchiveFile(Value);
  FArcType = atTar;
  if (FCompressMethod == cmTarGzip && (EndsWithNoCase(Value, ".tgz") || EndsWithNoCase(Value, ".gz"))) {
    // The archive is the .gz itself: the tar is streamed through gzip into it.
    FArchiveFile = Value;
    FArcType = atTarGZip;
  }
}

void TTar::SetFilter(TStreamFilter Value) {
  SetCompressMethod(Value == sfGzip ? cmTarGzip : cmTarred);
  FFilter = Value == sfGzip ? sfNone : Value;
}

int TTar::Compress() {
  FLinked.clear();
  FOwnerNames.clear();
  return TCompBase::Compress();
}

// ---- The compression filter ----------------------------------------------------------------

std::unique_ptr<TStream32> TTar::OldArchiveFilter(TStream32& Old) {
  const TStreamFilter filter = Filter();
  if (filter == sfNone || Old.Size() == 0) return nullptr;
  // Updating other data as a tar would lose what it holds.
  if (DetectStreamFilter(Old) != filter)
    RaiseError(ecsRead, FArchiveFile, std::string("not ") + StreamFilterName(filter) + " data", FRunArchiveName,
               ecBadFileHeader);
  std::unique_ptr<TDecodeStream> in = NewDecodeStream(filter, Old);
  in->CancelFlag = CancelFlag();
  return in;
}

std::unique_ptr<TStream32> TTar::OutputFilter(TStream32& Out) {
  const TStreamFilter filter = Filter();
  if (filter == sfNone) return nullptr;
  TEncodeOptions o;
  o.Level = FilterLevel(filter, DeflateType);
  o.Threads = Workers <= 0 ? DefaultWorkerCount() : Workers;
  if (filter == sfGzip || filter == sfBzip2) o.Pool = &Pool();
  o.CancelFlag = CancelFlag();
  o.OnProgress = [this] { ProgressStep(); };
  // A gzip member is named after the tar it holds, as gzip names it: x.tgz and x.tar.gz hold x.tar.
  // A stream gets no name, as gzip gives none to what it packs from a pipe.
  std::string name = Streaming() ? std::string() : BaseOf(FArchiveFile);
  if (!name.empty())
    name = EndsWithNoCase(name, ".tgz") ? name.substr(0, name.size() - 4) + ".tar" : name.substr(0, name.size() - 3);
  const int64_t now = int64_t(std::time(nullptr));
  return NewEncodeStream(filter, Out, o, now > 0 && now <= int64_t(UINT32_MAX) ? uint32_t(now) : 0, name);
}

// ---- Reading the old archive ---------------------------------------------------------------

bool TTar::ReadArchive(TStream32& Old, TCompHeaderObj& List) {
  TTarWalker walker(Old, CancelFlag());
  TTarEntry e;
  int64_t lastEnd = 0;
  std::string lastName;
  while (walker.Next(e)) {
    lastEnd = e.EndOffset;
    lastName = e.Name;
    TCompRow r;
    r.Action = eaCopy;
    r.Offset = e.EntryOffset;
    r.Name = e.Name;
    const bool dir = e.IsDir();
    if (dir && r.Name.back() != '/') r.Name += '/';
    r.Info = {dir ? 0 : e.Size, dir ? 0 : e.Size, e.MTime > 0 ? UnixToDosDateTime(e.MTime) : 0,
              uint32_t(dir ? faDirectory : faArchive)};
    r.Header.assign(e.Header.begin(), e.Header.end());
    auto data = std::make_shared<TTarRowData>();
    data->HeaderOffset = e.HeaderOffset;
    data->EndOffset = e.EndOffset;
    r.Data = data;
    if (Switch == swDelete && SelectedForDelete(r.Name)) {
      r.Action = eaDrop;
      ++FMarkedForDelete;
    }
    List.Add(std::move(r));
  }
  if (const auto* gz = dynamic_cast<const TDecodeStream*>(&Old); gz && gz->Error().Code != 0) {
    // Damaged compressed data: what follows the damage would be lost.
    ReportError(FArchiveFile, gz->Error().Reason, FRunArchiveName, gz->Error().Code);
    return false;
  }
  // The size is known once the walk reached the end (a gzip stream knows it only then).
  if (const int64_t size = Old.Size(); size >= 0 && lastEnd > size) {
    // The last entry's data is cut short: copying it would write a broken archive.
    ReportError(lastName, "", FRunArchiveName, ecReadFile);
    return false;
  }
  if (walker.BadHeaders() > 0) {
    // Damaged blocks would be dropped by the rewrite: the archive is left as it is.
    ReportError(FArchiveFile, "", FRunArchiveName, ecBadFileHeader);
    return false;
  }
  return !IsCancelled();
}

int64_t TTar::EntrySize(TStream32& Old, TCompHeaderObj& List, int Index) {
  const auto* d = dynamic_cast<const TTarRowData*>(List[Index].Data.get());
  return d ? d->EndOffset - List[Index].Offset : 0;
}

bool TTar::ReadHeader(TStream32& Stream, std::string& Name) {
  TTarWalker walker(Stream, CancelFlag());
  walker.SetPosition(Stream.Position());
  TTarEntry e;
  if (!walker.Next(e)) {
    FNextHeader = 0;
    return false;
  }
  Name = e.Name;
  FNextHeader = e.EndOffset;
  Stream.SetPosition(e.DataOffset);
  return true;
}

// ---- Writing entries -----------------------------------------------------------------------

TTarHeaderValues TTar::HeaderValues(const std::string& Name, char Typeflag, int64_t Size, int64_t MTime,
                                    uint32_t Mode) const {
  TTarHeaderValues v;
  v.Name = Name;
  v.Typeflag = Typeflag;
  v.Size = Typeflag == '0' ? Size : 0;
  v.MTime = MTime;
  v.Mode = Mode & 0777;
  v.Uid = uint64_t(std::max(UnixUID, 0));
  v.Gid = uint64_t(std::max(UnixGID, 0));
  v.UName = UnixUName;
  v.GName = UnixGName;
  return v;
}

void TTar::ApplyOwners(TTarHeaderValues& V, const std::string& Path) {
  struct stat st {};
  if ((FileOwner || FileGroup) && lstat(Path.c_str(), &st) == 0) {
    auto nameOf = [this](char Kind, uint32_t Id) -> const std::string& {
      auto it = FOwnerNames.find({Kind, Id});
      if (it != FOwnerNames.end()) return it->second;
      std::vector<char> buf(16384);
      std::string name;
      if (Kind == 'u') {
        passwd pw{}, *found = nullptr;
        if (getpwuid_r(Id, &pw, buf.data(), buf.size(), &found) == 0 && found) name = pw.pw_name;
      } else {
        group gr{}, *found = nullptr;
        if (getgrgid_r(Id, &gr, buf.data(), buf.size(), &found) == 0 && found) name = gr.gr_name;
      }
      return FOwnerNames.emplace(std::make_pair(Kind, Id), name).first->second;
    };
    if (FileOwner) {
      V.Uid = st.st_uid;
      V.UName = nameOf('u', st.st_uid);
    }
    if (FileGroup) {
      V.Gid = st.st_gid;
      V.GName = nameOf('g', st.st_gid);
    }
  }
  if (NumericOwner) {
    V.UName.clear();
    V.GName.clear();
  }
}

void TTar::AppendHeaders(std::vector<uint8_t>& Buf, const TTarBlock& Header, const std::string& Name,
                         const std::string& LinkName) {
  TTarHeaderValues owner = HeaderValues("", '0', 0, 0);
  TarGetTime(Header.data() + thMtime, twMtime, owner.MTime);
  for (const auto& [text, type] : {std::pair{LinkName, 'K'}, std::pair{Name, 'L'}}) {
    const std::vector<uint8_t> record = TarLongNameBlocks(text, owner, type);
    Buf.insert(Buf.end(), record.begin(), record.end());
  }
  Buf.insert(Buf.end(), Header.begin(), Header.end());
}

bool TTar::CopySource(TStream32& Out, std::vector<uint8_t>& Buf, TStream32& Source, int64_t Size,
                      const std::string& Name) {
  // Headers, data and padding leave in large writes: a small file takes one.
  int64_t left = Size;
  while (left > 0) {
    if (IsCancelled()) return false;
    const int32_t want = int32_t(std::min<int64_t>(left, CopyBlock));
    const size_t at = Buf.size();
    Buf.resize(at + size_t(want));
    const int32_t got = Source.Read(Buf.data() + at, want);
    if (got < want) {
      // The file shrank since it was measured: the header's size would no longer hold.
      ReportError(Name, "", FRunArchiveName, ecReadFile);
      return false;
    }
    left -= got;
    BytesToGo -= got;
    if (left == 0) Buf.resize(Buf.size() + size_t(TarPadded(Size) - Size), 0);
    if (Buf.size() >= size_t(CopyBlock) || left == 0) {
      Out.WriteBuffer(Buf.data(), int64_t(Buf.size()));
      Buf.clear();
    }
    ProgressStep();
  }
  return true;
}

bool TTar::DescribeSource(const TCompRow& Row, const std::string& Name, TTarHeaderValues& V,
                          std::unique_ptr<TFileStream32>& Src) {
  auto fail = [&](int Err) {
    ReportError(Name, std::strerror(Err), "0", ecOpenFile);
    FSourceOpenFailed = true;
    return false;
  };
  struct stat st {};
  if (S_ISLNK(Row.Info.Mode)) {
    // A symbolic link is stored as itself: its target, no data.
    if (lstat(Row.FullPath.c_str(), &st) != 0) return fail(errno);
    if (!S_ISLNK(st.st_mode)) return fail(EINVAL);
    if (!ReadLinkTarget(Row.FullPath, V.LinkName)) return fail(errno);
    V.Typeflag = '2';
    V.Mode = uint32_t(st.st_mode) & 0777;
    V.MTime = int64_t(st.st_mtime);
    return true;
  }
  try {
    Src = std::make_unique<TFileStream32>(Row.FullPath, fmOpenRead | fmShareDenyNone);
  } catch (const EArchiveError&) {
    return fail(errno ? errno : EIO);
  }
  if (fstat(Src->Handle(), &st) != 0) return fail(errno);
  V.Mode = uint32_t(st.st_mode) & 0777;
  V.MTime = int64_t(st.st_mtime);
  V.Size = int64_t(st.st_size);
  if (st.st_nlink > 1) {
    // A second name of a file already in the archive is stored as a hard link to the first.
    const auto key = std::make_pair(uint64_t(st.st_dev), uint64_t(st.st_ino));
    const auto [it, first] = FLinked.emplace(key, Name);
    if (!first) {
      V.Typeflag = '1';
      V.LinkName = it->second;
      V.Size = 0;
      Src.reset();
    }
  }
  return true;
}

bool TTar::CompressData(TStream32& Out, TCompHeaderObj& List, int Index) {
  FSourceOpenFailed = false;
  TCompRow& row = List[Index];
  const bool dir = (row.Info.Attr & faDirectory) != 0;
  std::string name = row.Name;
  if (dir && (name.empty() || name.back() != '/')) name += '/';

  TTarHeaderValues v = HeaderValues(name, dir ? '5' : '0', 0, DosDateTimeToUnix(row.Info.Date), row.Info.Mode);
  std::unique_ptr<TFileStream32> src;
  if (!dir) {
    if (!DescribeSource(row, name, v, src)) return false;
    if (DateAttribute == daMaxFileDate) v.MTime = DosDateTimeToUnix(NewestDate);
  }
  if (DateAttribute == daSysDate) v.MTime = int64_t(std::time(nullptr));
  ApplyOwners(v, row.FullPath);
  const int64_t size = v.Size;

  TTarBlock h;
  TarBuildHeader(h, v);
  std::vector<uint8_t> buf;
  buf.reserve(size_t(std::min<int64_t>(size, CopyBlock) + 5 * TarBlockSize));
  AppendHeaders(buf, h, name, v.LinkName);
  StartEntryProgress(size);
  // Streamed, the header's size must hold whatever the file does meanwhile.
  std::unique_ptr<TStream32> source = std::move(src);
  if (source && FEntryStreamed) source = PaddedSource(std::move(source), size, name);
  if (source && !CopySource(Out, buf, *source, size, name)) return false;
  if (!buf.empty()) Out.WriteBuffer(buf.data(), int64_t(buf.size()));
  row.Header.assign(h.begin(), h.end());
  row.Info = {size, size, UnixToDosDateTime(v.MTime), uint32_t(dir ? faDirectory : faArchive), row.Info.Mode};
  return true;
}

void TTar::EndFile(TCompHeaderObj& List, int Index, bool Ok) {
  if (OnEnd) OnEnd(this, List[Index].Name, Ok && !IsCancelled());
}

bool TTar::CopyRenamedRecords(TStream32& Old, int64_t End, const std::string& Name, std::vector<uint8_t>& Buf) {
  bool nameInPax = false;
  int64_t pos = Old.Position();
  TTarBlock h;
  while (pos < End) {
    Old.ReadBuffer(h.data(), TarBlockSize);
    int64_t size = 0;
    if (TarIsZeroBlock(h) || !TarGetNumber(h.data() + thSize, twSize, size) || size < 0 || size > End - pos)
      size = 0;  // blocks the walker stepped over between the records
    const int64_t data = TarPadded(size);
    const char type = char(h[thTypeflag]);
    if (TarIsZeroBlock(h) || type == 'L') {
      Old.Seek(data, soFromCurrent);  // the old long name goes; a zero block in between too
    } else if ((type == 'x' || type == 'X') && size <= TTarWalker::MaxMetaSize) {
      std::string meta(size_t(size), '\0');
      Old.ReadBuffer(meta.data(), size);
      Old.Seek(data - size, soFromCurrent);
      std::string kept;
      TarForEachPax(meta, [&](const std::string& K, const std::string& V) {
        if (K != "path") kept += TarPaxRecord(K, K == "GNU.sparse.name" ? Name : V);
      });
      if (Name.size() > size_t(TarNameSize)) {
        kept += TarPaxRecord("path", Name);
        nameInPax = true;
      }
      TarPutNumber(h.data() + thSize, twSize, kept.size());
      TarPutChecksum(h, tcSevenDigits);
      Buf.insert(Buf.end(), h.begin(), h.end());
      Buf.insert(Buf.end(), kept.begin(), kept.end());
      Buf.resize(Buf.size() + size_t(TarPadded(int64_t(kept.size())) - int64_t(kept.size())), 0);
    } else {
      // Long link names, global and other records stay as they are.
      Buf.insert(Buf.end(), h.begin(), h.end());
      const size_t at = Buf.size();
      Buf.resize(at + size_t(data));
      Old.ReadBuffer(Buf.data() + at, data);
    }
    pos += TarBlockSize + data;
  }
  return nameInPax;
}

void TTar::RenameEntry(TStream32& Out, TStream32& Old, TCompHeaderObj& List, int Index) {
  const TCompRow& row = List[Index];
  const auto* d = dynamic_cast<const TTarRowData*>(row.Data.get());
  if (!d) RaiseError(ecsRead, row.Name, "", FRunArchiveName, ecBadFileHeader);
  SetCurrentName(row.Name);
  // The records in front of the entry keep what they say about it but its old name.
  std::vector<uint8_t> buf;
  Old.SetPosition(row.Offset);
  const bool nameInPax = CopyRenamedRecords(Old, d->HeaderOffset, row.Name, buf);
  TTarBlock h;
  Old.SetPosition(d->HeaderOffset);
  Old.ReadBuffer(h.data(), TarBlockSize);
  std::memset(h.data() + thName, 0, TarNameSize);
  std::memcpy(h.data() + thName, row.Name.data(), std::min<size_t>(row.Name.size(), TarNameSize));
  // A ustar prefix would be put in front of the new name.
  if (std::memcmp(h.data() + thMagic, "ustar\0", 6) == 0) std::memset(h.data() + thPrefix, 0, twPrefix);
  TarPutChecksum(h, tcSixDigitsSpace);
  if (nameInPax)
    buf.insert(buf.end(), h.begin(), h.end());
  else
    AppendHeaders(buf, h, row.Name);
  Out.WriteBuffer(buf.data(), int64_t(buf.size()));
  // CopyFrom takes a count of 0 as "the whole source": an entry without data copies nothing.
  if (const int64_t data = d->EndOffset - d->HeaderOffset - TarBlockSize; data > 0) Out.CopyFrom(Old, data);
}

bool TTar::WriteTrailer(TStream32& Out, TCompHeaderObj& List) {
  const int64_t end = Out.Seek(0, soFromEnd);
  const int64_t pad = (TarRecordSize - end % TarRecordSize) % TarRecordSize;
  const std::vector<uint8_t> zeros(size_t(pad), 0);
  if (pad > 0) Out.WriteBuffer(zeros.data(), pad);
  auto* filter = dynamic_cast<TFilterOutStream*>(&Out);
  if (filter == nullptr || filter->Finish()) return true;
  if (!IsCancelled()) ReportError(FArchiveFile, filter->Error(), FRunArchiveName, ecWriteFile);
  return false;
}

void TTar::FinishList(TCompHeaderObj& List) { ReportAddedOffsets(List); }

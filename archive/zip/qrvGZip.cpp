// TGZip: one GZIP member per selected file, written beside it (or into the host's folder).
#include "archive/zip/qrvGZip.h"

#include <unistd.h>

#include <ctime>

#include "archive/core/qrvDecoder.h"
#include "archive/core/qrvDeflateChunks.h"
#include "archive/core/qrvWorkerPool.h"
#include "platform/FileInfo.h"
#include "platform/Paths.h"
#include "platform/TempFiles.h"
#include "platform/Trash.h"

namespace {

std::string ExtensionOf(const std::string& Path) {
  const size_t slash = Path.rfind('/'), dot = Path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return Path.substr(dot);
}

}  // namespace

TGZip::TGZip() {
  SetFormatDefaultExt(".gz");
  SetAllowedMethods(MethodBit(cmDeflate), cmDeflate);
  DeleteOptions = doAllowUndo;
  DeflateType = dtDeflateN;
  ConfirmOverwrites = true;
  FArcType = atGZip;
}

void TGZip::SetArchiveFile(const std::string& Value) {
  std::string name = Value;
  if (!name.empty() && ExtensionOf(name).empty()) name += FDefaultExt;
  FArchiveFile = name;
  SfxOffset = 0;
  *CancelFlag() = false;
}

std::string TGZip::OutputNameFor(const std::string& Source, const std::string& Dir) const {
  if (SingleOutput) return OutputName.empty() ? Dir + BaseOf(Source) + FDefaultExt : OutputName;
  std::string out = Dir + BaseOf(Source);
  const std::string ext = ExtensionOf(out);
  switch (Extension) {
    case exAppendGZ: out = out.substr(0, out.size() - ext.size()) + FDefaultExt; break;
    case exUnderScore:
      if (!out.empty()) out.back() = '_';
      break;
    case exNone:
      if (out == Source) out = out.substr(0, out.size() - ext.size()) + FDefaultExt;
      break;
  }
  return out;
}

bool TGZip::BeginFile(const std::string& Source) {
  SetCurrentName(Source);  // the stored name by StoredDirNames
  bool go = true;
  if (OnBegin) OnBegin(this, FCurrentName, EntryNumber, go);
  if (go && OnRenameFile) {
    std::string renamed;
    OnRenameFile(this, FCurrentName, renamed);
    if (!renamed.empty()) FCurrentName = BaseOf(renamed);
  }
  return go && !IsCancelled();
}

bool TGZip::ConfirmOverwrite(const std::string& Output, const TFileInfo& Source, bool& EndRun) {
  if (!ConfirmOverwrites || !FileExists(Output)) return true;
  if (!OnFileExists) {
    ReportError(Output, "OnFileExists", "0", ecEventNotAssigned);
    EndRun = true;
    return false;
  }
  TOverwriteMode mode = omOverwrite;
  OnFileExists(this, Output, DosDateToDateTime(int32_t(Source.DosTime)), mode);
  if (mode != omOverwrite) return false;
  if (access(Output.c_str(), W_OK) != 0) {
    ReportError(Output, "", FRunArchiveName, ecWriteFile);
    EndRun = true;
    return false;
  }
  return true;
}

int TGZip::Compress() {
  ResetRunState();
  if ((FArchiveFile.empty() && OutputDir.empty()) || FileSpec.empty()) return 0;
  if (Switch == swDelete) {
    ReportError(FArchiveFile, "", "0", ecUnsupportedType);
    return 0;
  }
  if (Switch == swRead) return 0;
  if (!DiskManager().CheckDrive(*this, FArchiveFile.empty() ? OutputDir : FArchiveFile, true)) return 0;

  TRunActivation activation(*this);
  Pool().Reset();
  OpenRunTrash();

  struct TFound {
    std::string Path;
    std::string Root;  // the scan folder the stored name is relative to
    TFileInfo Info;
  };
  std::vector<TFound> found;
  TqrvFileScan scan;
  scan.SetFileSpec(FileSpec);
  scan.Attributes = Attributes;
  scan.AttributesEx = AttributesEx;
  scan.RecurseDirs = RecurseDirs;
  scan.SetCancelFlag(CancelFlag());
  std::string root;
  scan.RootDirProc = [&](const std::string& Dir) { root = WithTrailingSlash(Dir); };
  scan.EntryProc = [&](const std::string& Dir, const TqrvFindData& D) {
    if (D.Info.IsDir) return;
    found.push_back({Dir + D.Name, root, D.Info});
    if (D.Info.DosTime > NewestDate) NewestDate = D.Info.DosTime;
  };
  scan.Scan();

  const std::string dir = !OutputDir.empty()      ? WithTrailingSlash(OutputDir)
                          : !FArchiveFile.empty() ? WithTrailingSlash(DirOf(FArchiveFile))
                                                  : std::string("./");
  ByteTotal = BytesToGo = scan.FilesSize();

  int done = 0;
  for (const TFound& f : found) {
    ProcessMessages();
    if (IsCancelled()) break;
    ++EntryNumber;
    StoredRoot = f.Root;
    if (!BeginFile(f.Path)) {
      BytesToGo -= f.Info.Size;
      if (OnEnd) OnEnd(this, f.Path, true);
      continue;
    }
    const std::string out = OutputNameFor(f.Path, dir);
    bool endRun = false;
    if (!ConfirmOverwrite(out, f.Info, endRun)) {
      if (endRun) break;
      BytesToGo -= f.Info.Size;
      if (OnEnd) OnEnd(this, out, true);
      continue;
    }
    uint32_t crc = 0;
    const bool ok = WriteMember(f.Path, out, f.Info, crc);
    if (ok) ++done;
    if (OnEnd) OnEnd(this, out, ok && !IsCancelled());
  }
  AddedCount = done;
  return IsCancelled() ? 0 : done;
}

bool TGZip::WriteMember(const std::string& Source, const std::string& Output, const TFileInfo& Info, uint32_t& Crc) {
  int64_t mtime = Info.MTime;
  if (DateAttribute == daSysDate) mtime = int64_t(std::time(nullptr));
  if (DateAttribute == daMaxFileDate) mtime = DosDateTimeToUnix(NewestDate);
  // MTIME holds 32 bits; 0 means "no time" to gzip readers.
  const uint32_t stamp = mtime > 0 && mtime <= int64_t(UINT32_MAX) ? uint32_t(mtime) : 0;
  StartEntryProgress(Info.Size);
  // The member is built in a file beside the output and renamed over it when complete, so an
  // existing output is never left half written.
  std::string tmpName;
  const int fd = CreateUniqueFile(DirOf(Output), "qrv", tmpName);
  if (fd < 0) {
    ReportError(Output, "", "0", ecOpenFile);
    return false;
  }
  TTempFileGuard guard(tmpName);
  struct TCloser {
    int Fd;
    ~TCloser() { close(Fd); }
  } closer{fd};
  bool complete = false;
  try {
    TFileStream32 in(Source, fmOpenRead | fmShareDenyNone);
    THandleStream32 out(fd);
    const std::vector<uint8_t> head = GzipHeader(stamp, FCurrentName);
    out.WriteBuffer(head.data(), int64_t(head.size()));

    // Chunks deflated on the run's pool join into one stream, the same for any worker count.
    const int level = Info.Size == 0 ? 0 : ZLevelOf(DeflateType);
    const TChunkedResult d =
        DeflateChunked(in, out, level, Pool(), CancelFlag(), &BytesToGo, [this] { ProgressStep(); });
    Crc = d.Crc;
    uint8_t tail[8];
    PutLE32(tail, Crc);
    PutLE32(tail + 4, uint32_t(d.InSize));
    out.WriteBuffer(tail, sizeof tail);
    if (d.Ok && !IsCancelled()) {
      if (FileExists(Output) && BackupOldArchive) KeepCopyInTrash(Output);
      const int err = CommitFileOver(fd, tmpName, Output);
      complete = err == 0;
      if (complete)
        guard.Release();
      else
        ReportError(Output, "", FRunArchiveName, IsDiskFullErrno(err) ? ecDiskFull : ecWriteFile);
    }
  } catch (const EFOpenError& e) {
    ReportError(e.FileName.empty() ? Source : e.FileName, "", "0", ecOpenFile);
  } catch (const EArchiveError& e) {
    ReportError(Output, "", FRunArchiveName, e.ECode ? e.ECode : ecWriteFile);
  }
  if (!complete) return false;
  SetFileMTime(Output, stamp ? int64_t(stamp) : mtime);
  if (Switch == swMove) {
    std::string why;
    if (!DeleteSource(Source, why)) ReportError(Source, why, FRunArchiveName, ecWriteFile);
  }
  if (OnRead) OnRead(this, 0, 1);
  return true;
}

std::string GZipMethodName(int Method, uint16_t Magic) {
  if (Method == 0) return "Stored";
  if (Method == 8) return "Deflate";
  if (Method == 144) return "LzwMAGIC";
  if (Magic == 0x1F1E) return "PackMAGIC";
  if (Magic == 0x1FA0) return "LzhMAGIC";
  return kUnsupportedMethod;
}

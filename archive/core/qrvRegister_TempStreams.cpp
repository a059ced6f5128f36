// The temporary archive streams of a writer run and the move of the new archive into place.
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <system_error>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvRegister.h"
#include "platform/FileInfo.h"
#include "platform/Paths.h"
#include "platform/TempFiles.h"
#include "platform/Trash.h"

namespace {

// The folder the temporary archive goes to: TempDir when it exists, else the system temporary
// folder, created when missing.
std::string TempFolder(const std::string& TempDir) {
  if (!TempDir.empty() && DirectoryExists(TempDir)) return TempDir;
  std::string Dir = SystemTempDir();
  std::error_code Ec;
  std::filesystem::create_directories(Dir, Ec);
  return Dir;
}

// Raises the exception for a failed move: 25160 is also reported for a full disk.
[[noreturn]] void RaiseMoveError(ITempStreamOwner& Owner, const std::string& Archive, int Err, bool OpenFailed) {
  if (IsDiskFullErrno(Err)) {
    Owner.ReportError(Archive, "", "0", ecDiskFull);
    ThrowError(ecsWrite, ecDiskFull, Archive, true);
  }
  if (OpenFailed) throw EFOpenError(ecOpenFile, Archive);
  throw EWriteError(ecWriteFile, Archive);
}

// Keeps the old archive in the Trash before it is replaced, when asked to (best effort: the
// replacement itself never depends on it).
void KeepUndoCopy(bool AllowUndo, const std::string& Archive) {
  if (AllowUndo && FileExists(Archive)) KeepCopyInTrash(Archive);
}

// Hooks every temporary stream takes from its component.
void BindHooks(TStream32& Stream, ITempStreamOwner& Owner) {
  Stream.CancelFlag = Owner.TempCancelFlag();
  Stream.BytesToGo = Owner.TempBytesToGo();
  Stream.OnProgress = [&Owner] { Owner.DoStreamProgress(); };
}

// One progress step of the move copy: count the block, report, keep the host responsive.
bool MoveStep(ITempStreamOwner& Owner, int64_t Block, int64_t Position) {
  if (int64_t* ToGo = Owner.TempBytesToGo()) *ToGo -= Block;
  Owner.DoTmpFileProgress(Position);
  ProcessMessages();
  bool* Cancel = Owner.TempCancelFlag();
  return Cancel == nullptr || !*Cancel;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TTempFileStream

int TTempFileStream::OpenOrCreate(uint16_t Mode, const std::string& ArchiveName, const std::string& TempDir,
                                  std::string& Name) {
  if (Mode != fmCreate) {
    Name = ArchiveName;
    const int Fd = FileOpenHandle(ArchiveName, Mode);
    if (Fd < 0) throw EFOpenError(ecOpenFile, ArchiveName);
    return Fd;
  }
  const std::string Dir = TempFolder(TempDir);
  const int Fd = CreateUniqueFile(Dir, "qrv", Name);
  if (Fd < 0) throw EFOpenError(ecOpenFile, std::strerror(errno), Dir);  // the reason goes with it
  return Fd;
}

TTempFileStream::TTempFileStream(ITempStreamOwner& Component, uint16_t Mode, const std::string& ArchiveName,
                                 const std::string& TempDir)
    : TFileStream32(std::string(), TAdoptHandle{-1}),
      FOwner(Component),
      FArchiveName(ArchiveName),
      FTemporary(Mode == fmCreate),
      FUncaught(std::uncaught_exceptions()) {
  FHandle = OpenOrCreate(Mode, ArchiveName, TempDir, FFileName);
  BindHooks(*this, FOwner);
}

TTempFileStream::~TTempFileStream() {
  if (FDone) return;
  // Dropped while an exception unwinds: the new archive is incomplete, keep the old one.
  if (std::uncaught_exceptions() > FUncaught) {
    Discard();
    return;
  }
  try {
    Finish();
  } catch (...) {
  }
  if (!FDone) Discard();
}

int32_t TTempFileStream::Read(void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  const int32_t N = ReadRaw(Buffer, Count);
  if (BytesToGo != nullptr) *BytesToGo -= Count;
  FOwner.DoTmpFileProgress(Position());
  return N;
}

int32_t TTempFileStream::Write(const void* Buffer, int32_t Count) {
  const int32_t N = THandleStream32::Write(Buffer, Count);
  if (N != Count && Count > 0) FWriteFailed = true;
  return N;
}

int64_t TTempFileStream::CopyFrom(TStream32& Source, int64_t Count) {
  return CopyBlocks(Source, Count, TempCopyBlockSize);
}

void TTempFileStream::Discard() {
  FDone = true;
  Close();
  if (FTemporary && !FFileName.empty()) RemoveTempFile(FFileName);
}

bool TTempFileStream::Finish() {
  if (FDone) return false;
  if (!FTemporary) {
    FDone = true;
    Close();
    return false;
  }
  if (IsCancelled() || Abandoned || FWriteFailed) {
    Discard();
    return false;
  }
  if (!Close()) {
    // A delayed write error (e.g. a full disk found at close): the file is incomplete.
    const int Err = FLastError;
    Discard();
    RaiseMoveError(FOwner, FArchiveName, Err, false);
  }
  FDone = true;
  TTempFileGuard Temp(FFileName);
  bool Cancel = false;
  FOwner.DoTmpFileMoveBegin(FArchiveName, FFileName, Cancel);
  if (Cancel) return false;
  KeepUndoCopy(AllowUndo, FArchiveName);
  int64_t Previous = 0;
  auto Progress = [&](int64_t Done, int64_t Total) {
    if (Done == 0) FOwner.SetTempByteTotal(Total);
    const int64_t Block = Done - Previous;
    Previous = Done;
    return MoveStep(FOwner, Block, Done);
  };
  int Err = 0;
  const TReplaceResult R = ReplaceFile(FFileName, FArchiveName, Err, Progress, TempCopyBlockSize);
  FOwner.DoTmpFileMoveEnd();
  if (R == rrDone) {
    Temp.Release();
    return true;
  }
  if (R == rrCancelled) return false;
  RaiseMoveError(FOwner, FArchiveName, Err, R == rrOpenFailed);
}

// ---------------------------------------------------------------------------------------------
// TTempMemStream

TTempMemStream::TTempMemStream(ITempStreamOwner& Component, uint16_t Mode, const std::string& ArchiveName)
    : FOwner(Component),
      FArchiveName(ArchiveName),
      FTemporary(Mode == fmCreate),
      FUncaught(std::uncaught_exceptions()) {
  if (!FTemporary) LoadFromFile(ArchiveName);
  BindHooks(*this, FOwner);
}

TTempMemStream::~TTempMemStream() {
  if (FDone) return;
  if (std::uncaught_exceptions() > FUncaught) {
    Discard();
    return;
  }
  try {
    Finish();
  } catch (...) {
  }
  FDone = true;
}

int32_t TTempMemStream::Read(void* Buffer, int32_t Count) {
  const int32_t N = TMemoryStream32::Read(Buffer, Count);
  if (Count > 0) {
    if (BytesToGo != nullptr) *BytesToGo -= Count;
    FOwner.DoTmpFileProgress(FPosition);
  }
  return N;
}

int32_t TTempMemStream::Write(const void* Buffer, int32_t Count) {
  try {
    const int32_t N = TMemoryStream32::Write(Buffer, Count);
    if (N != Count && Count > 0) FWriteFailed = true;
    return N;
  } catch (...) {
    FWriteFailed = true;
    throw;
  }
}

void TTempMemStream::Discard() {
  FDone = true;
  Clear();
}

bool TTempMemStream::Finish() {
  if (FDone) return false;
  if (!FTemporary || IsCancelled() || Abandoned || FWriteFailed) {
    Discard();
    return false;
  }
  FDone = true;
  // Written beside the archive and renamed over it, so the old archive survives any failure.
  std::string TmpName;
  const int Fd = CreateUniqueFile(DirOf(FArchiveName), "qrv", TmpName);
  if (Fd < 0) RaiseMoveError(FOwner, FArchiveName, errno, true);
  TTempFileGuard Temp(TmpName);
  THandleStream32 Out(Fd);
  struct FdCloser {
    int Fd;
    ~FdCloser() { ::close(Fd); }
  } Closer{Fd};
  bool Cancel = false;
  FOwner.DoTmpFileMoveBegin(FArchiveName, TmpName, Cancel);
  if (Cancel) return false;
  FOwner.SetTempByteTotal(FSize);
  bool Completed = true;
  try {
    for (int64_t Pos = 0; Pos < FSize;) {
      const int32_t N = static_cast<int32_t>(std::min<int64_t>(FSize - Pos, TempCopyBlockSize));
      Out.WriteBuffer(FMemory + Pos, N);
      Pos += N;
      if (!MoveStep(FOwner, N, Pos)) {
        Completed = false;
        break;
      }
    }
  } catch (const EWriteError&) {
    FOwner.DoTmpFileMoveEnd();
    RaiseMoveError(FOwner, FArchiveName, Out.LastError(), false);
  }
  int Err = 0;
  if (Completed) {
    KeepUndoCopy(AllowUndo, FArchiveName);
    Err = CommitFileOver(Fd, TmpName, FArchiveName);
    if (Err == 0) Temp.Release();
  }
  FOwner.DoTmpFileMoveEnd();
  if (Err != 0) RaiseMoveError(FOwner, FArchiveName, Err, false);
  if (Completed) Clear();
  return Completed;
}

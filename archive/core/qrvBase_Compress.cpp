// The writer run: Compress, the entry list, the update decisions, stored names, exclusion
// masks, the per-file loop, the temporary output and the deletion of moved sources.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "archive/core/qrvBase.h"
#include "platform/Paths.h"
#include "platform/TempFiles.h"
#include "platform/Trash.h"

namespace {

bool StartsWith(const std::string& S, const std::string& Prefix) {
  return S.size() >= Prefix.size() && S.compare(0, Prefix.size(), Prefix) == 0;
}

bool StartsWithNoCase(const std::string& S, const std::string& Prefix) {
  if (S.size() < Prefix.size()) return false;
  for (size_t i = 0; i < Prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(S[i])) != std::tolower(static_cast<unsigned char>(Prefix[i])))
      return false;
  return true;
}

bool EqualNoCase(const std::string& A, const std::string& B) { return A.size() == B.size() && StartsWithNoCase(A, B); }

// Folder part with its trailing "/" ("" for a bare name).
std::string DirPart(const std::string& Path) {
  const size_t slash = Path.rfind('/');
  return slash == std::string::npos ? std::string() : Path.substr(0, slash + 1);
}

std::string NamePart(const std::string& Path) {
  const size_t slash = Path.find_last_of("/\\");
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

// A folder without any entry (what an empty-folder row needs).
bool FolderIsEmpty(const std::string& Dir) {
  DIR* d = opendir(Dir.c_str());
  if (!d) return false;
  bool empty = true;
  while (const dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") {
      empty = false;
      break;
    }
  }
  closedir(d);
  return empty;
}

// Attribute bits compared by the update decision (the DOS ones; peers keep Unix modes above).
constexpr uint32_t kDosAttrMask = 0x3F;

// Bounds the questions a host may be asked for one name (a handler that keeps answering a
// taken name must not hang the run).
constexpr int kMaxRenameQuestions = 100;

// A descriptor that cannot seek (a pipe): bytes go out in order through a small buffer, and
// only the current end is a position. Taking back bytes already made, or seeking elsewhere,
// raises EWriteError, so a writer that would need it fails instead of sending a broken archive.
class TDescriptorOut : public TStream32 {
 public:
  explicit TDescriptorOut(int Handle) : FHandle(Handle) {}
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* Buffer, int32_t Count) override {
    if (Count <= 0) return 0;
    const auto* p = static_cast<const uint8_t*>(Buffer);
    if (FBuf.size() + size_t(Count) > kBufferSize) Flush();
    if (size_t(Count) >= kBufferSize) {
      if (!Send(p, size_t(Count))) return 0;
    } else {
      FBuf.insert(FBuf.end(), p, p + Count);
    }
    FPos += Count;
    return Count;
  }
  int64_t Size() override { return FPos; }
  void SetSize(int64_t NewSize) override {
    if (NewSize != FPos) throw EWriteError(ecWriteFile, "bytes already sent cannot be taken back", {});
  }
  void SetSize32(int32_t NewSize) override { SetSize(NewSize); }
  int64_t Seek(int64_t Offset, uint16_t Origin) override {
    const int64_t to = Origin == soFromBeginning ? Offset : FPos + Offset;
    if (to != FPos) throw EWriteError(ecWriteFile, "standard output cannot seek", {});
    return FPos;
  }
  int32_t Seek32(int32_t Offset, uint16_t Origin) override { return int32_t(Seek(Offset, Origin)); }
  // Sends what the buffer holds; raises EWriteError when the descriptor refuses it.
  void Flush() {
    if (!FBuf.empty() && !Send(FBuf.data(), FBuf.size())) throw EWriteError(ecWriteFile, std::strerror(FLastError), {});
    FBuf.clear();
  }

 private:
  static constexpr size_t kBufferSize = 65536;
  bool Send(const uint8_t* P, size_t N) {
    while (N > 0) {
      const ssize_t n = ::write(FHandle, P, N);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        FLastError = n < 0 ? errno : EIO;
        return false;
      }
      P += n;
      N -= size_t(n);
    }
    return true;
  }
  int FHandle;
  int64_t FPos = 0;
  std::vector<uint8_t> FBuf;
};

// A seekable stream for one staged entry: memory up to a bound, then an unlinked temporary
// file (nothing is left behind on any way out, signals included).
class TStageStream : public TStream32 {
 public:
  explicit TStageStream(std::string Dir) : FDir(std::move(Dir)) {}
  ~TStageStream() override {
    if (FFile) ::close(FFile->Handle());
  }
  int32_t Read(void* Buffer, int32_t Count) override { return Current().Read(Buffer, Count); }
  int32_t Write(const void* Buffer, int32_t Count) override {
    if (!FFile && FMem.Position() + Count > kStageMemory) Spill();
    return Current().Write(Buffer, Count);
  }
  int64_t Size() override { return Current().Size(); }
  void SetSize(int64_t NewSize) override { Current().SetSize(NewSize); }
  void SetSize32(int32_t NewSize) override { SetSize(NewSize); }
  int64_t Seek(int64_t Offset, uint16_t Origin) override { return Current().Seek(Offset, Origin); }
  int32_t Seek32(int32_t Offset, uint16_t Origin) override { return int32_t(Seek(Offset, Origin)); }
  // Copies the whole entry to Out.
  void SendTo(TStream32& Out) {
    const int64_t n = Size();
    Current().SetPosition(0);
    if (n > 0 && Out.CopyFrom(Current(), n) != n) throw EWriteError(ecWriteFile, {});
  }

 private:
  static constexpr int64_t kStageMemory = int64_t(16) << 20;
  TStream32& Current() { return FFile ? static_cast<TStream32&>(*FFile) : FMem; }
  void Spill() {
    std::string path;
    const int fd = CreateUniqueFile(FDir, "qrv", path);
    if (fd < 0) throw EWriteError(ecWriteFile, std::strerror(errno), FDir);
    RemoveTempFile(path);
    FFile = std::make_unique<THandleStream32>(fd);
    const int64_t at = FMem.Position();
    FFile->WriteBuffer(FMem.Memory(), FMem.Size());
    FFile->SetPosition(at);
    FMem.Clear();
  }
  std::string FDir;
  TMemoryStream32 FMem;
  std::unique_ptr<THandleStream32> FFile;
};

// A source read for a streamed entry: never more than Size bytes, and zeros in place of what
// the file no longer gives (reported once).
class TPaddedSource : public TStream32 {
 public:
  TPaddedSource(std::unique_ptr<TStream32> In, int64_t Size, std::function<void(const std::string&)> Report)
      : FIn(std::move(In)), FSize(Size), FReport(std::move(Report)) {
    CancelFlag = FIn->CancelFlag;
  }
  int64_t Size() override { return FSize; }
  int32_t Read(void* Buffer, int32_t Count) override {
    Count = int32_t(std::min<int64_t>(std::max(Count, 0), FSize - FPos));
    int32_t got = FShort ? 0 : std::max(FIn->Read(Buffer, Count), 0);
    if (got < Count) {
      if (!FShort && !FReported) {
        const int err = FIn->LastError();
        FReport((err ? std::string(std::strerror(err))
                     : "file shrank by " + std::to_string(FSize - FPos - got) + " bytes") +
                "; padded with zeros");
        FReported = true;
      }
      FShort = true;
      std::memset(static_cast<uint8_t*>(Buffer) + got, 0, size_t(Count - got));
      got = Count;
    }
    FPos += got;
    return got;
  }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t Offset, uint16_t Origin) override {
    if (Origin == soFromCurrent && Offset == 0) return FPos;
    const int64_t to = Origin == soFromBeginning ? Offset : (Origin == soFromEnd ? FSize : FPos) + Offset;
    if (to < 0 || to > FSize) return -1;
    // Read again from there: what the file gives now, padded as before.
    FShort = FIn->Seek(to, soFromBeginning) != to;
    FPos = to;
    return FPos;
  }
  int32_t Seek32(int32_t Offset, uint16_t Origin) override { return int32_t(Seek(Offset, Origin)); }

 private:
  std::unique_ptr<TStream32> FIn;
  int64_t FSize, FPos = 0;
  bool FShort = false, FReported = false;
  std::function<void(const std::string&)> FReport;
};

// The new archive: a temporary file, a memory stream or a descriptor, finished or abandoned as
// one.
class TRunOutput {
 public:
  TRunOutput(TCompBase& Owner, TCompressionMethod Method, const std::string& Archive, const std::string& TempDir,
             bool AllowUndo) {
    if (Owner.OutputHandle >= 0) {
      FOut = std::make_unique<TDescriptorOut>(Owner.OutputHandle);
    } else if (Method == cmInMemory) {
      FMem = std::make_unique<TTempMemStream>(Owner, fmCreate, Archive);
      FMem->AllowUndo = AllowUndo;
    } else {
      FFile = std::make_unique<TTempFileStream>(Owner, fmCreate, Archive, TempDir);
      FFile->AllowUndo = AllowUndo;
    }
  }
  TStream32& Stream() { return FOut ? *FOut : FFile ? static_cast<TStream32&>(*FFile) : *FMem; }
  std::string TempName() const { return FFile ? FFile->TempFileName() : std::string(); }
  bool Finish() {
    if (FOut) FOut->Flush();
    return FOut ? true : FFile ? FFile->Finish() : FMem->Finish();
  }
  void Abandon() {
    if (FOut)
      FOut->Flush();  // what was sent stays sent; the run reported why it stopped
    else if (FFile)
      FFile->Discard();
    else
      FMem->Discard();
  }

 private:
  std::unique_ptr<TDescriptorOut> FOut;
  std::unique_ptr<TTempFileStream> FFile;
  std::unique_ptr<TTempMemStream> FMem;
};

}  // namespace

std::string CommonDir(const std::vector<std::string>& Spec) {
  std::string base = DirPart(Spec.front());
  for (size_t i = 1; i < Spec.size(); ++i) {
    const std::string& s = Spec[i];
    size_t n = 0;
    while (n < base.size() && n < s.size() && base[n] == s[n]) ++n;
    base = DirPart(base.substr(0, n));
  }
  return base;
}

// ---- Entry list ----------------------------------------------------------------------------

int TCompHeaderObj::Add(TCompRow Row) {
  Rows.push_back(std::move(Row));
  FIndex[Rows.back().Name] = Count() - 1;
  return Count() - 1;
}

int TCompHeaderObj::IndexOf(const std::string& Name) const {
  const auto it = FIndex.find(Name);
  return it == FIndex.end() ? -1 : it->second;
}

void TCompHeaderObj::Rename(int Index, const std::string& NewName) {
  TCompRow& row = Rows[size_t(Index)];
  const auto it = FIndex.find(row.Name);
  if (it != FIndex.end() && it->second == Index) FIndex.erase(it);
  row.Name = NewName;
  FIndex[NewName] = Index;
}

void TCompHeaderObj::Clear() {
  Rows.clear();
  FIndex.clear();
}

// ---- Names and masks -----------------------------------------------------------------------

std::string TCompBase::StoredNameOf(const std::string& FullPath) const {
  // A folder row keeps its trailing "/" through every rule.
  const bool folder = FullPath.size() > 1 && FullPath.back() == '/';
  const std::string p = folder ? FullPath.substr(0, FullPath.size() - 1) : FullPath;
  const std::string& r = StoredRoot;
  auto relativeTo = [&](const std::string& Root) { return StartsWith(p, Root) ? p.substr(Root.size()) : p; };
  std::string name;
  switch (StoredDirNames) {
    case sdNone: name = NamePart(p); break;
    case sdAbsolute:
    case sdAbsoluteNoDrv: name = p; break;
    case sdAbsoluteNoRoot: name = !p.empty() && p[0] == '/' ? p.substr(1) : p; break;
    case sdRelative: name = relativeTo(r); break;
    case sdRelativeStoreStart: {
      // The root's own folder name stays in front: root /data/ and /data/sub/f give data/sub/f.
      const std::string parent = r.size() > 1 ? WithTrailingSlash(DirOf(r.substr(0, r.size() - 1))) : r;
      name = relativeTo(parent);
      break;
    }
    case sdExplorer_Auto:
    case sdExplorer_UserDefineDefaultDir:
      // Below the base folder the name is relative to it (which is sdRelative when the scan
      // root is the base folder itself).
      name = relativeTo(DefaultDir.empty() ? r : DefaultDir);
      break;
  }
  return folder && !name.empty() ? name + "/" : name;
}

void TCompBase::SetCurrentName(const std::string& Name) { FCurrentName = StoredNameOf(Name); }

bool TCompBase::Excluded(const std::string& FullPath, const std::string& StoredName) const {
  const std::string fileName = NamePart(FullPath);
  for (const std::string& mask : ExcludeSpec) {
    if (mask.empty()) continue;
    const bool absolute = mask[0] == '/';
    if (!RecurseDirs) {
      if (Match(StoredName, absolute ? StoredNameOf(mask) : mask, CaseSensitiveMasks)) return true;
      continue;
    }
    const size_t slash = mask.rfind('/');
    if (slash == std::string::npos) {
      if (Match(fileName, mask, CaseSensitiveMasks)) return true;
      continue;
    }
    // A mask with a folder applies below that folder (full path or stored name).
    const std::string maskDir = mask.substr(0, slash + 1);
    const std::string fileDir = absolute ? DirPart(FullPath) : DirPart(StoredName);
    if ((CaseSensitiveMasks ? fileDir.rfind(maskDir, 0) == 0 : StartsWithNoCase(fileDir, maskDir)) &&
        Match(fileName, mask.substr(slash + 1), CaseSensitiveMasks))
      return true;
  }
  return false;
}

bool TCompBase::SelectedForDelete(const std::string& StoredName) const {
  const bool nameHasDot = NamePart(StoredName).find('.') != std::string::npos;
  for (const std::string& mask : FileSpec) {
    if (mask.empty()) continue;
    const bool maskHasDot = mask.find('.') != std::string::npos;
    const std::string subject = maskHasDot && !nameHasDot ? StoredName + "." : StoredName;
    if (!Match(subject, mask, CaseSensitiveMasks)) continue;
    for (const std::string& ex : ExcludeSpec)
      if (!ex.empty() && Match(StoredName, ex, CaseSensitiveMasks)) return false;
    return true;
  }
  return false;
}

// ---- Compress ------------------------------------------------------------------------------

TWorkerPool& TCompBase::Pool() {
  const int wanted = Workers <= 0 ? DefaultWorkerCount() : Workers;
  if (!FPool || FPool->Workers() != wanted) FPool = std::make_unique<TWorkerPool>(wanted);
  return *FPool;
}

int TCompBase::Compress() {
  ResetRunState();
  FMoved.clear();
  FMarkedForDelete = 0;
  FNextHeader = 0;
  FWorkToDo = false;
  FNameClash = false;
  FScannedNames.clear();
  FOutName.clear();
  StoredRoot.clear();
  if (FArchiveFile.empty()) {
    ReportError("", "ArchiveFile", "0", ecPropertyNotAssigned);
    return 0;
  }
  OpenRunTrash();
  if (!Streaming() && !FDiskManager.CheckDrive(*this, FArchiveFile, Switch != swRead)) return 0;
  if (!FileSpec.empty() && !PrepareBaseDir()) return 0;
  if (!Streaming() && !DirectoryExists(DirOf(FArchiveFile))) {
    ReportError(FCurrentName, DirOf(FArchiveFile), FRunArchiveName, ecInvalidDir);
    return 0;
  }
  TCompHeaderObj list;
  try {
    CompressArchive(list);
  } catch (const EArchiveError& e) {
    // Raised failures were reported where they happened; others (stream errors) are reported here.
    // A message other than the code's own text is the system's reason.
    const int32_t code = e.ECode ? e.ECode : ecWriteFile;
    const std::string msg = e.what();
    const std::string why = msg == ErrorText(code) || msg == "Error " + std::to_string(code) ? std::string() : msg;
    if (!e.Reported && !IsCancelled())
      ReportError(e.FileName.empty() ? FCurrentName : e.FileName, why, FRunArchiveName, code);
    AddedCount = DeletedCount = 0;
  } catch (const std::bad_alloc&) {
    ReportError(FCurrentName, "", FRunArchiveName, ecOutOfMemory);
    AddedCount = DeletedCount = 0;
  }
  if (FTimer.Running()) FTimer.Stop();
  if (IsCancelled()) return 0;
  if (Switch == swRead) return EntryNumber;
  return Switch == swDelete ? DeletedCount : AddedCount;
}

bool TCompBase::PrepareBaseDir() {
  if (Switch == swDelete) {
    DefaultDir.clear();
    return true;
  }
  if (StoredDirNames == sdExplorer_Auto) {
    DefaultDir = CommonDir(FileSpec);
  } else if (StoredDirNames == sdExplorer_UserDefineDefaultDir) {
    if (DefaultDir.empty()) {
      ReportError("", "DefaultDir", FRunArchiveName, ecPropertyNotAssigned);
      return false;
    }
    DefaultDir = WithTrailingSlash(DefaultDir);
  }
  return true;
}

bool TCompBase::CheckOldArchiveWritable() {
  if (IsCancelled() || OverwriteMode == omSkip) return false;
  // Read-only as the archive attribute means it: the owner may not write (root included).
  struct stat st {};
  if (stat(FArchiveFile.c_str(), &st) == 0 && (st.st_mode & S_IWUSR)) return true;
  if (!OnNonWriteableArchive) {
    ReportError(FArchiveFile, "OnNonWriteableArchive", FRunArchiveName, ecEventNotAssigned);
    return false;
  }
  bool writeToFile = false;
  OnNonWriteableArchive(this, FArchiveFile, writeToFile);
  if (!writeToFile) return false;
  chmod(FArchiveFile.c_str(), st.st_mode | S_IWUSR);
  return true;
}

// swRead: the old archive's headers are walked and OnRead fires for each; nothing is written.
int TCompBase::ReadOnlyRun() {
  if (!OnRead) {
    ReportError("", "OnRead", FArchiveFile, ecEventNotAssigned);
    return 0;
  }
  if (FNewArchive) {
    ReportError(FCurrentName, "", FArchiveFile, ecOpenFile);
    return 0;
  }
  std::unique_ptr<TFileStream32> s;
  try {
    s = std::make_unique<TFileStream32>(FArchiveFile, fmOpenRead | fmShareDenyNone);
  } catch (const EArchiveError&) {
    ReportError(FCurrentName, "", FArchiveFile, ecOpenFile);
    return 0;
  }
  SfxOffset = StubLength(*s);
  const std::unique_ptr<TStream32> filter = OldArchiveFilter(*s);
  TStream32& in = filter ? *filter : *s;
  int count = 0;
  std::string name;
  bool more = ReadFirstHeader(name, in);
  while (more && !IsCancelled()) {
    ++count;
    EntryNumber = count;
    OnRead(this, in.Position(), count);
    const int64_t before = FNextHeader;
    more = ReadNextHeader(name, in) && FNextHeader != before;
  }
  return count;
}

bool TCompBase::ReadFirstHeader(std::string& Name, TStream32& Stream) {
  Stream.SetPosition(std::max<int64_t>(0, SfxOffset));
  return ReadHeader(Stream, Name);
}

bool TCompBase::ReadNextHeader(std::string& Name, TStream32& Stream) {
  const int64_t size = Stream.Size();  // -1 for a stream that learns it only at its end
  if (FNextHeader <= 0 || (size >= 0 && FNextHeader >= size)) return false;
  Stream.SetPosition(FNextHeader);
  return ReadHeader(Stream, Name);
}

// ---- CompressArchive -----------------------------------------------------------------------

void TCompBase::CompressArchive(TCompHeaderObj& List) {
  FNewArchive = Streaming() || !FileExists(FArchiveFile);
  FOutDev = FOutIno = 0;
  if (Streaming() && (Switch == swDelete || Switch == swRead)) {
    ReportError("", "", FRunArchiveName, ecNothingToDo);
    return;
  }
  if (struct stat st{}; Streaming() && fstat(OutputHandle, &st) == 0 && S_ISREG(st.st_mode)) {
    FOutDev = uint64_t(st.st_dev);
    FOutIno = uint64_t(st.st_ino);
  }
  if (Switch == swRead) {
    EntryNumber = ReadOnlyRun();
    return;
  }
  if (Switch == swDelete && FNewArchive) {
    ReportError("", "", FArchiveFile, ecNothingToDelete);
    return;
  }
  if (!FNewArchive && !CheckOldArchiveWritable()) return;
  TRunActivation activation(*this);

  std::unique_ptr<TFileStream32> old;
  if (!FNewArchive) {
    try {
      old = std::make_unique<TFileStream32>(FArchiveFile, fmOpenRead | fmShareDenyWrite);
    } catch (const EArchiveError&) {
      ReportError(FCurrentName, "", FArchiveFile, ecOpenFile);
      return;
    }
    FArchiveSize = old->Size();
    SfxOffset = StubLength(*old);
  }
  std::unique_ptr<TStream32> oldFilter = old ? OldArchiveFilter(*old) : nullptr;
  TStream32* oldIn = oldFilter ? oldFilter.get() : old.get();
  TRunOutput output(*this, CompressionMethod, FArchiveFile, TempDir(), BackupOldArchive);
  FOutName = output.TempName();
  std::unique_ptr<TStream32> outFilter = OutputFilter(output.Stream());
  TStream32& out = outFilter ? *outFilter : output.Stream();

  if (old && SfxOffset > 0) {
    old->SetPosition(0);
    out.CopyFrom(*old, SfxOffset);
  }
  if (Switch == swDelete) ExcludeSpec.clear();
  if (old) {
    oldIn->SetPosition(SfxOffset);
    if (!ReadArchive(*oldIn, List)) {
      output.Abandon();
      return;
    }
  }
  if (List.Count() == 0) FArchiveSize = 0;
  if (!BuildList(List)) {
    output.Abandon();
    return;
  }
  ProcessList(List, out, oldIn);
  if (FTimer.Running()) FTimer.Pause();

  if (AddedCount == 0 && DeletedCount == 0) {
    if (Switch == swDelete && !IsCancelled()) ReportError("", "", FRunArchiveName, ecNothingToDelete);
    output.Abandon();
    return;
  }
  const bool everyEntryDeleted =
      Switch == swDelete &&
      std::all_of(List.Rows.begin(), List.Rows.end(), [](const TCompRow& r) { return r.Action == eaDrop; });
  if (everyEntryDeleted) RemoveArchive(out);
  if (!IsCancelled()) {
    if (!WriteTrailer(out, List)) {
      AddedCount = DeletedCount = 0;
      output.Abandon();
      return;
    }
    FinishList(List);
  }
  oldFilter.reset();
  old.reset();
  const bool replaced = output.Finish();
  if (!replaced) AddedCount = DeletedCount = 0;
  activation.Deactivate();
  if (replaced && Switch == swMove) DeleteSources(List);
}

// ---- Building the list ---------------------------------------------------------------------

bool TCompBase::BuildList(TCompHeaderObj& List) {
  if (Switch != swDelete) {
    TqrvFileScan scan;
    scan.SetFileSpec(FileSpec);
    scan.Attributes = Attributes;
    if (StoreEmptySubDirs) scan.Attributes.Include(fsDirectory);
    scan.AttributesEx = AttributesEx;
    scan.RecurseDirs = RecurseDirs;
    scan.IncludeHiddenDirs = IncludeHiddenDirs;
    scan.FollowLinks = !StoresLinks();
    scan.SetCancelFlag(CancelFlag());
    if (OnFileScanStatus)
      scan.OnScanFile = [this](TqrvFileScan*, const std::string& F, int N, int64_t S) {
        OnFileScanStatus(this, F, N, S);
      };
    if (OnRecurseDir) scan.OnRecurseDir = [this](TqrvFileScan*, const std::string& D) { OnRecurseDir(this, D); };
    scan.RootDirProc = [this](const std::string& Dir) { StoredRoot = WithTrailingSlash(Dir); };
    scan.EntryProc = [this, &List](const std::string& Dir, const TqrvFindData& Data) {
      OnScannedEntry(List, Dir, Data);
    };
    scan.SkippedProc = [this](const std::string& Path, const std::string& Kind) {
      ReportError(Path, Kind, FRunArchiveName, ecUnknownFileType);
    };
    scan.Scan();
    // The run's byte total: what the new entries will read.
    int64_t total = 0;
    for (const TCompRow& r : List.Rows)
      if (r.Action == eaCompress) total += r.Info.Size;
    ByteTotal = BytesToGo = total;
  }
  if (FNameClash) {
    List.Clear();
    return false;
  }
  if (IsCancelled() || (Switch != swDelete && !FWorkToDo)) {
    if (!IsCancelled()) ReportError("", "", FRunArchiveName, ecNothingToDo);
    List.Clear();
    return false;
  }
  return true;
}

void TCompBase::OnScannedEntry(TCompHeaderObj& List, const std::string& Dir, const TqrvFindData& Data) {
  const bool isDir = Data.Info.IsDir;
  const std::string full = isDir ? Dir : Dir + Data.Name;
  if (isDir && (!StoreEmptySubDirs || !FolderIsEmpty(full))) return;
  if (!isDir) {
    // Neither the archive itself nor the run's own temporary output goes into the archive.
    if (!Streaming() && (full == FArchiveFile || (!FOutName.empty() && full == FOutName))) return;
    if (FOutIno != 0 && Data.Info.Ino == FOutIno && Data.Info.Dev == FOutDev) return;
    std::string ext = NamePart(full);
    const size_t dot = ext.rfind('.');
    ext = dot == std::string::npos ? std::string() : ext.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (!ext.empty() &&
        std::find(ExcludedExtensions.begin(), ExcludedExtensions.end(), ext) != ExcludedExtensions.end())
      return;
  }
  SetCurrentName(full);
  const std::string stored = FCurrentName;
  if (stored.empty()) return;
  if (!isDir && Excluded(full, stored)) return;
  if (Data.Info.Size > MaxFileSize()) {
    ReportError(stored, "", FRunArchiveName, ecFileSizeNotSupported);
    return;
  }
  if (!isDir) NewestDate = std::max(NewestDate, Data.Info.DosTime);
  if (!FScannedNames.insert(stored).second) {
    // Two files of this run under one stored name: one would silently vanish, so the run
    // writes nothing.
    ReportError(full, "two files have the stored name " + stored, FRunArchiveName, ecInvalidFileName);
    FNameClash = true;
    return;
  }
  int row = List.IndexOf(stored);
  if (row < 0 && !FNewArchive && FileSpec.size() > 1) row = List.IndexOf(full);
  if (row < 0) {
    if (Switch != swRefresh) AppendNewRow(List, stored, full, Data.Info);
    return;
  }
  DecideKept(List, row, full, Data.Info);
}

void TCompBase::AppendNewRow(TCompHeaderObj& List, const std::string& Name, const std::string& FullPath,
                             const TFileInfo& Info) {
  TCompRow r;
  r.Action = eaCompress;
  r.Name = Name;
  r.FullPath = FullPath;
  r.RootLength = StoredRoot.size();
  r.Info = {Info.Size, Info.Size, Info.DosTime, Info.Attr, Info.Mode};
  FillHeader(r, Info);
  List.Add(std::move(r));
  FWorkToDo = true;
}

void TCompBase::DecideKept(TCompHeaderObj& List, int Row, const std::string& FullPath, const TFileInfo& Info) {
  TEntryInfo stored;
  HeaderToInfo(List[Row], stored);
  const bool unchanged = stored.Size == Info.Size && stored.Date == Info.DosTime &&
                         (FArcType == atTar || (stored.Attr & kDosAttrMask) == (Info.Attr & kDosAttrMask));
  const std::string name = List[Row].Name;
  if (!unchanged) {
    if (Switch == swRefresh) {
      TCompRow& r = List[Row];
      r.Action = eaCompress;
      r.FullPath = FullPath;
      r.RootLength = StoredRoot.size();
      r.Info = {Info.Size, Info.Size, Info.DosTime, Info.Attr, Info.Mode};
      r.Data.reset();
      r.Header.clear();
      FillHeader(r, Info);
      FWorkToDo = true;
      return;
    }
    if (!OnReplaceFile) {
      ReportError(name, "OnReplaceFile", FRunArchiveName, ecEventNotAssigned);
      return;
    }
    bool replace = false;
    OnReplaceFile(this, name, FullPath, DosDateToDateTime(int32_t(stored.Date)),
                  DosDateToDateTime(int32_t(Info.DosTime)), stored.Size, Info.Size, int32_t(stored.Attr),
                  int32_t(Info.Attr), replace);
    if (replace) {
      List[Row].Action = eaDrop;
      AppendNewRow(List, name, FullPath, Info);
    }
    return;
  }
  if (Switch == swRefresh || !OnRenameDupeFile) return;
  for (int i = 0; i < kMaxRenameQuestions; ++i) {
    std::string newName = name;
    bool rename = true;
    OnRenameDupeFile(this, name, newName, rename);
    if (!rename || newName.empty() || EqualNoCase(newName, name)) return;
    if (List.IndexOf(newName) >= 0) continue;
    List[Row].Action = eaRename;
    List.Rename(Row, newName);
    AppendNewRow(List, name, FullPath, Info);
    return;
  }
}

// ---- The per-file loop ---------------------------------------------------------------------

void TCompBase::ProcessList(TCompHeaderObj& List, TStream32& Out, TStream32* Old) {
  // The look-ahead ends with the loop, on every way out: its jobs are aborted or waited for.
  struct TAheadScope {
    std::unique_ptr<TCompressAhead>& Ahead;
    ~TAheadScope() { Ahead.reset(); }
  } scope{FAhead};
  FAhead = PlanAhead(List);
  for (int i = 0; i < List.Count(); ++i) {
    if (IsCancelled()) {
      for (int j = i; j < List.Count(); ++j)
        if (List[j].Action == eaCompress) List[j].Action = eaDrop;
      break;
    }
    EntryNumber = i + 1;
    if (!ProcessRow(List, i, Out, Old) && IsCancelled()) {
      --EntryNumber;
      for (int j = i; j < List.Count(); ++j)
        if (List[j].Action == eaCompress) List[j].Action = eaDrop;
      break;
    }
  }
}

bool TCompBase::ProcessRow(TCompHeaderObj& List, int Index, TStream32& Out, TStream32* Old) {
  TCompRow& row = List[Index];
  const int64_t mark = Out.Seek(0, soFromEnd);
  row.OutOffset = mark;
  switch (row.Action) {
    case eaCopy: {
      Old->SetPosition(row.Offset);
      const int64_t n = EntrySize(*Old, List, Index);
      if (n <= 0) {
        // A kept entry that cannot be found would be lost: keep the old archive instead.
        RaiseError(ecsRead, row.Name, "", FRunArchiveName, ecBadLocalHeaderOffset);
        return false;
      }
      Old->SetPosition(row.Offset);
      Out.CopyFrom(*Old, n);
      return true;
    }
    case eaDrop:
      ++DeletedCount;
      if (OnDeleteFile) OnDeleteFile(this, row.Name, DeletedCount, FMarkedForDelete);
      return true;
    case eaRename:
      Old->SetPosition(row.Offset);
      RenameEntry(Out, *Old, List, Index);
      return true;
    case eaCompress: break;
  }
  if ((row.Info.Attr & faDirectory) && !StoreEmptySubDirs) {
    row.Action = eaDrop;
    return true;
  }
  StartEntryProgress(row.Info.Size);
  const bool staged = Streaming() && StagesEntry(row);
  FEntryStreamed = Streaming() && !staged;
  std::unique_ptr<TStageStream> stage = staged ? std::make_unique<TStageStream>(StageDir()) : nullptr;
  bool ok = false;
  try {
    ok = CompressFile(stage ? *stage : Out, List, Index);
    if (ok && stage) {
      List[Index].OutOffset = mark;
      stage->SendTo(Out);
    }
  } catch (const EWriteError&) {
    throw;  // the output failed: the whole run fails and the old archive stays
  } catch (const EArchiveError& e) {
    // A source that cannot be read fails its entry only.
    if (!e.Reported && !IsCancelled())
      ReportError(List[Index].Name, "", FRunArchiveName, e.ECode ? e.ECode : ecReadFile);
    ok = false;
  }
  TCompRow& done = List[Index];
  if (ok) {
    ++AddedCount;
    if (Switch == swMove && !(done.Info.Attr & faDirectory)) FMoved.push_back(done.FullPath);
    return true;
  }
  // A failed entry leaves nothing behind in the output.
  Out.SetSize(mark);
  Out.SetPosition(mark);
  done.Action = eaDrop;
  return false;
}

bool TCompBase::CompressFile(TStream32& Out, TCompHeaderObj& List, int Index) {
  TCompRow& row = List[Index];
  FCurrentName = row.Name;
  StoredRoot = row.FullPath.substr(0, std::min(row.RootLength, row.FullPath.size()));
  bool extract = true;
  if (OnBegin) OnBegin(this, row.Name, EntryNumber, extract);
  AskRename(List, Index);
  if (!extract) return false;
  List[Index].OutOffset = Out.Position();
  bool ok = false;
  try {
    ok = CompressData(Out, List, Index);
  } catch (...) {
    EndFile(List, Index, false);
    throw;
  }
  EndFile(List, Index, ok);
  return ok;
}

void TCompBase::AskRename(TCompHeaderObj& List, int Index) {
  if (!OnRenameFile) return;
  const std::string current = List[Index].Name;
  const bool folder = !current.empty() && current.back() == '/';
  const std::string bare = folder ? current.substr(0, current.size() - 1) : current;
  const std::string dir = DirPart(bare);
  for (int i = 0; i < kMaxRenameQuestions; ++i) {
    std::string answer = current;
    OnRenameFile(this, current, answer);
    if (!answer.empty() && answer.back() == '/') answer.pop_back();
    const std::string name = NamePart(answer);
    if (name.empty() || EqualNoCase(name, NamePart(bare))) return;
    const std::string candidate = dir + name + (folder ? "/" : "");
    if (List.IndexOf(candidate) >= 0) continue;
    List.Rename(Index, candidate);
    FCurrentName = candidate;
    return;
  }
}

std::unique_ptr<TStream32> TCompBase::PaddedSource(std::unique_ptr<TStream32> In, int64_t Size,
                                                   const std::string& Name) {
  return std::make_unique<TPaddedSource>(std::move(In), Size, [this, Name](const std::string& Why) {
    ReportError(Name, Why, FRunArchiveName, ecReadFile);
  });
}

std::string TCompBase::StageDir() const { return FTempDir.empty() ? SystemTempDir() : TempDir(); }

// ---- Moved sources -------------------------------------------------------------------------

void TCompBase::OpenRunTrash() {
  FTrash.reset();
  if (Switch != swMove || DeleteOptions != doAllowUndo) return;
  FTrash = std::make_unique<TTrash>();
  FTrash->Open();
}

bool TCompBase::DeleteSource(const std::string& Path, std::string& Why) {
  if (DeleteOptions == doFinal) {
    if (::unlink(Path.c_str()) == 0) return true;
    Why = std::strerror(errno);
    return false;
  }
  if (!FTrash) OpenRunTrash();
  return FTrash && FTrash->Move(Path, &Why);
}

void TCompBase::DeleteSources(const TCompHeaderObj& List) {
  const int n = int(FMoved.size());
  for (int i = 0; i < n; ++i) {
    const std::string& path = FMoved[size_t(i)];
    std::string why;
    if (!DeleteSource(path, why)) {
      ReportError(path, why, FRunArchiveName, ecDeleteFile);
      continue;
    }
    if (OnDeleteFile) OnDeleteFile(this, path, i, n);
  }
}

void TCompBase::ReportAddedOffsets(const TCompHeaderObj& List) {
  if (!OnRead || Switch == swDelete) return;
  for (int i = 0; i < List.Count(); ++i) {
    const TCompRow& r = List[i];
    if (r.Action != eaCompress) continue;
    FCurrentName = r.Name;
    OnRead(this, r.OutOffset, i);
  }
}

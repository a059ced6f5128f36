// The reader run of TUnBase: Extract and the services a format's loop calls (entry masks,
// BeginEntry with the overwrite rules, output names, the output opener and closer, CheckCRC,
// the password check, volume names).
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <utility>

#include "archive/core/qrvBase.h"
#include "platform/FileInfo.h"
#include "platform/DosTime.h"
#include "platform/Paths.h"
#include "platform/Trash.h"

namespace {

bool IEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool IsSep(char c) { return c == '/' || c == '\\'; }

// The components of a stored name that may form a path below the output root, in order, to
// Fn: separators are "/" and "\\", a drive prefix ("C:") is dropped, and so are empty, "." and
// ".." components, so no name can climb out of the root or start at the file system's root.
template <class Fn>
void ForEachSafeComponent(std::string_view Name, Fn&& Visit) {
  if (Name.size() >= 2 && Name[1] == ':' && std::isalpha(static_cast<unsigned char>(Name[0]))) Name.remove_prefix(2);
  size_t i = 0;
  while (i <= Name.size()) {
    size_t j = i;
    while (j < Name.size() && !IsSep(Name[j])) ++j;
    const std::string_view part = Name.substr(i, j - i);
    if (!part.empty() && part != "." && part != "..") Visit(part);
    i = j + 1;
  }
}

// Whether anything of a stored name is left as a path below the output root.
bool HasSafeComponent(std::string_view Name) {
  bool any = false;
  ForEachSafeComponent(Name, [&any](std::string_view) { any = true; });
  return any;
}

// Whether a stored name has a ".." component.
bool HasDotDot(std::string_view Name) {
  size_t i = 0;
  while (i <= Name.size()) {
    size_t j = i;
    while (j < Name.size() && !IsSep(Name[j])) ++j;
    if (Name.substr(i, j - i) == "..") return true;
    i = j + 1;
  }
  return false;
}

// Splits a "/" path into its components (no empty ones).
std::vector<std::string> SplitPath(std::string_view Path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < Path.size()) {
    size_t j = Path.find('/', i);
    if (j == std::string_view::npos) j = Path.size();
    if (j > i) parts.emplace_back(Path.substr(i, j - i));
    i = j + 1;
  }
  return parts;
}

// Directory part of a "/" stored name ("" for none) and its last non-empty component.
std::string_view NameDir(std::string_view s) {
  const size_t p = s.rfind('/');
  return p == std::string_view::npos ? std::string_view() : s.substr(0, p);
}
std::string_view NamePart(std::string_view s) {
  while (!s.empty() && s.back() == '/') s.remove_suffix(1);
  const size_t p = s.rfind('/');
  return p == std::string_view::npos ? s : s.substr(p + 1);
}

std::string WithDot(std::string_view s) {
  std::string r(s);
  if (NamePart(r).find('.') == std::string_view::npos) r += '.';
  return r;
}

// Opens directory Name below the open directory Dir, creating it when asked; never follows a
// symbolic link. Returns the new descriptor or -1.
int OpenSubDir(int Dir, const std::string& Name, bool Create) {
  if (Create && mkdirat(Dir, Name.c_str(), 0777) != 0 && errno != EEXIST) return -1;
  return openat(Dir, Name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// A file stream over a descriptor this unit opened itself.
class TOutputFile : public TFileStream32 {
 public:
  TOutputFile(const std::string& Name, int Fd) : TFileStream32(Name, TAdoptHandle{Fd}) {}
};

}  // namespace

std::string ShownName(std::string_view Name) {
  std::string r;
  for (char c : Name) r += c ? std::string(1, c) : std::string("\\0");
  return r;
}

bool HasNul(std::string_view Name) { return Name.find('\0') != std::string_view::npos; }

TUnBase::~TUnBase() {
  DropDirCache();
  if (FRootFd >= 0) close(FRootFd);
}

// ---- Output names --------------------------------------------------------------------------

std::string TUnBase::EffectiveExtractDir() const {
  if (!FExtractDir.empty()) return WithTrailingSlash(FExtractDir);
  if (!FArchiveFile.empty()) return WithTrailingSlash(DirOf(FArchiveFile));
  std::error_code ec;
  return WithTrailingSlash(std::filesystem::current_path(ec).string());
}

const std::string& TUnBase::NameRoot() {
  if (!FRootDir.empty()) return FRootDir;
  // Kept while ExtractDir and the archive stay the same; the current folder is asked each time.
  if (FExtractDir.empty() && FArchiveFile.empty()) {
    FNameRoot.Dir = EffectiveExtractDir();
    FNameRoot.Valid = false;
  } else if (!FNameRoot.Valid || FNameRoot.ExtractDir != FExtractDir || FNameRoot.Archive != FArchiveFile) {
    FNameRoot = {FExtractDir, FArchiveFile, EffectiveExtractDir(), true};
  }
  return FNameRoot.Dir;
}

void TUnBase::SetCurrentName(const std::string& Name) {
  const bool dirName = !Name.empty() && IsSep(Name.back());
  const std::string& root = NameRoot();
  // The safe components joined below the root in one pass, into the name's own memory.
  std::string& out = FCurrentName;
  out.assign(root);
  std::string_view last;
  size_t count = 0;
  ForEachSafeComponent(Name, [&](std::string_view Part) {
    if (UseStoredDirs) {
      if (count) out += '/';
      out += Part;
    }
    last = Part;
    ++count;
  });
  if (count == 0) {
    if (!dirName) out.clear();
  } else if (UseStoredDirs) {
    if (dirName) out += '/';
  } else if (!dirName) {
    out += last;
  }
}

// ---- Entry masks ---------------------------------------------------------------------------

TUnBase::TEntryMasks::TEntryMasks(const TUnBase& R)
    : Spec(R.FileSpec), Exclude(R.ExcludeSpec), Recurse(R.RecurseDirs), CaseSensitive(R.CaseSensitiveMasks) {
  for (const std::string& pattern : Spec) {
    if (pattern.empty()) continue;
    TMask m;
    m.Text = pattern;
    for (char& c : m.Text)
      if (c == '\\') c = '/';
    m.DottedText = WithDot(m.Text);
    m.Plain.Compile(m.Text, CaseSensitive);
    m.Dotted.Compile(m.DottedText, CaseSensitive);
    Masks.push_back(std::move(m));
  }
  for (const std::string& x : Exclude)
    if (!x.empty()) Excluded.emplace_back(x, CaseSensitive);
}

bool TUnBase::TEntryMasks::Current(const TUnBase& R) const {
  return Recurse == R.RecurseDirs && CaseSensitive == R.CaseSensitiveMasks && Spec == R.FileSpec &&
         Exclude == R.ExcludeSpec;
}

bool TUnBase::TEntryMasks::Selects(std::string_view S, std::string_view Part) const {
  auto same = [this](std::string_view a, std::string_view b) { return CaseSensitive ? a == b : IEqual(a, b); };
  // A name against one form of the mask: by its folder too without Recurse, whole when the
  // mask holds a folder, else by the name part alone.
  auto test = [&](std::string_view name, std::string_view part, std::string_view text, const TInternalMask& mask) {
    if (!Recurse) return same(NameDir(name), NameDir(text)) && mask.Matches(name);
    if (!NameDir(text).empty()) return mask.Matches(name);
    return mask.Matches(part);
  };
  for (const TMask& m : Masks) {
    if (same(S, m.Text)) return true;
    if (!test(S, Part, m.Text, m.Plain)) {
      const std::string dotted = WithDot(S);
      if (!test(dotted, NamePart(dotted), m.DottedText, m.Dotted)) continue;
    }
    for (const TInternalMask& x : Excluded)
      if (x.Matches(S) || x.Matches(Part)) return false;
    return true;
  }
  return false;
}

bool TUnBase::EntrySelected(std::string_view StoredName) {
  std::string_view s = StoredName;
  if (s.find('\\') != std::string_view::npos) {
    FSelectName.assign(s);
    for (char& c : FSelectName)
      if (c == '\\') c = '/';
    s = FSelectName;
  }
  const std::string_view part = NamePart(s);
  if (part.empty()) return false;
  // The masks are compiled once and kept while FileSpec, ExcludeSpec and the switches stay.
  if (!FMasks || !FMasks->Current(*this)) FMasks = std::make_unique<TEntryMasks>(*this);
  return FMasks->Selects(s, part);
}

// ---- BeginEntry ----------------------------------------------------------------------------

bool TUnBase::AskOverwrite() {
  OverwriteMode = omOverwrite;
  struct stat st {};
  bool found = StatOutput(FCurrentName, st);
  if (!found) return true;
  if (!OnFileExists) {
    ReportError(FCurrentName, "OnFileExists", FRunArchiveName, ecEventNotAssigned);
    OverwriteMode = omSkip;
    return false;
  }
  // Ask until the answer names the same file, a file that does not exist, or skip.
  for (int asked = 0; asked < 1000; ++asked) {
    std::string answer;
    OnFileExists(this, FCurrentName, answer, OverwriteMode);
    DropDirCache();  // the host may have changed the tree meanwhile
    if (answer.empty() || answer == FCurrentName) break;
    if (!TakeHostName(answer)) return false;
    if (OverwriteMode != omOverwrite || IEqual(answer, FCurrentName)) break;
    FCurrentName = answer;
    found = StatOutput(FCurrentName, st);
    if (!found || S_ISDIR(st.st_mode) || IsCancelled()) break;
  }
  if (IsCancelled() || OverwriteMode == omSkip) return false;
  // A read-only file is made writable so it can be replaced; a read-only folder cannot be.
  if (found && !(st.st_mode & S_IWUSR)) {
    if (S_ISDIR(st.st_mode)) {
      ReportError(FCurrentName, "", FRunArchiveName, ecWriteFile);
      return false;
    }
    if (S_ISREG(st.st_mode)) {
      // Through the folder the opener reaches (no link followed), not by name.
      std::string base;
      const int dir = OpenParentDir(FCurrentName, base, false);
      if (dir >= 0) fchmodat(dir, base.c_str(), (st.st_mode & 07777) | S_IWUSR, 0);
      if (dir >= 0) close(dir);
    }
  }
  return true;
}

bool TUnBase::TakeHostName(const std::string& Name) {
  if (HasNul(Name)) {
    ReportError(ShownName(Name), "NUL byte in the name", FRunArchiveName, ecInvalidFileName);
    return false;
  }
  DropDirCache();
  std::string base;
  if (FRootFd >= 0 && Name.compare(0, FRootDir.size(), FRootDir) == 0) {
    const int dir = OpenParentDir(Name, base, true);
    if (dir >= 0) close(dir);
    return true;
  }
  std::error_code ec;
  std::filesystem::create_directories(DirOf(Name), ec);
  return true;
}

bool TUnBase::BeginEntry(bool IsDir) {
  FTimer.Pause();
  FEntryDecoded = false;
  bool extract = true;
  const bool toFiles = ExtractMode == xmExtract;
  if (OnBegin) {
    if (toFiles && OnRenameFile) {
      std::string renamed;
      OnRenameFile(this, FCurrentName, renamed);
      if (!renamed.empty()) {
        if (!TakeHostName(renamed)) {
          FTimer.Resume();
          return false;
        }
        FCurrentName = renamed;
      }
    }
    OnBegin(this, FCurrentName, EntryCount + 1, extract);
  }
  bool go = extract && !IsCancelled();
  if (go && toFiles && !IsDir) {
    if (ConfirmOverwrites)
      go = AskOverwrite() && !IsCancelled() && OverwriteMode == omOverwrite;
    else
      go = OverwriteMode == omOverwrite;
    go = go && !FCurrentName.empty();
  }
  if (go) ++EntryCount;
  FTimer.Resume();
  return go;
}

// ---- Output opener and closer --------------------------------------------------------------

TUnBase::TDirRef::~TDirRef() {
  if (Owned && Fd >= 0) close(Fd);
}

int TUnBase::TDirRef::Take() {
  if (Fd < 0 || Owned) return std::exchange(Fd, -1);
  return fcntl(Fd, F_DUPFD_CLOEXEC, 0);
}

void TUnBase::DropDirCache() {
  for (const TChainDir& d : FDirChain) close(d.Fd);
  FDirChain.clear();
}

TUnBase::TDirRef TUnBase::ReachDir(const std::vector<std::string>& Parts, bool Create) {
  bool cacheable = true;
  for (const std::string& p : Parts) cacheable = cacheable && p != "." && p != "..";
  // The longest start of Parts the chain holds; the rest of the chain is another branch.
  size_t k = 0;
  if (cacheable) {
    while (k < FDirChain.size() && k < Parts.size() && FDirChain[k].Name == Parts[k]) ++k;
    while (FDirChain.size() > k) {
      close(FDirChain.back().Fd);
      FDirChain.pop_back();
    }
  }
  int fd = k ? FDirChain[k - 1].Fd : FRootFd;
  bool owned = false;
  for (size_t i = k; i < Parts.size(); ++i) {
    const int next = OpenSubDir(fd, Parts[i], Create);
    const int err = errno;
    if (owned) close(fd);
    if (next < 0) {
      errno = err;
      return TDirRef(-1, false);
    }
    // Past the chain's depth (or off it) each step's folder is the caller's alone.
    owned = !cacheable || owned || FDirChain.size() >= kDirChainDepth;
    if (!owned) FDirChain.push_back({Parts[i], next});
    fd = next;
  }
  return TDirRef(fd, owned);
}

TUnBase::TDirRef TUnBase::OutputDir(const std::string& Path, bool Create) {
  if (FRootFd >= 0 && Path.compare(0, FRootDir.size(), FRootDir) == 0)
    return ReachDir(SplitPath(std::string_view(Path).substr(FRootDir.size())), Create);
  if (Create) {
    std::error_code ec;
    std::filesystem::create_directories(Path, ec);
  }
  return TDirRef(open(Path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), true);
}

// The folder that is to hold Path, opened without following links below the output root (the
// host may name a path elsewhere through OnRenameFile or OnFileExists: that one is opened as
// given). Base receives the last component.
TUnBase::TDirRef TUnBase::ParentDir(const std::string& Path, std::string& Base, bool Create) {
  if (FRootFd >= 0 && Path.compare(0, FRootDir.size(), FRootDir) == 0) {
    std::vector<std::string> parts = SplitPath(std::string_view(Path).substr(FRootDir.size()));
    if (parts.empty()) return TDirRef(-1, false);
    Base = parts.back();
    parts.pop_back();
    return ReachDir(parts, Create);
  }
  Base = BaseOf(Path);
  return OutputDir(DirOf(Path), Create);
}

int TUnBase::OpenParentDir(const std::string& Path, std::string& Base, bool Create) {
  return ParentDir(Path, Base, Create).Take();
}

bool TUnBase::StatOutput(const std::string& Path, struct stat& St) {
  std::string base;
  const TDirRef dir = ParentDir(Path, base, false);
  return dir.Fd >= 0 && fstatat(dir.Fd, base.c_str(), &St, AT_SYMLINK_NOFOLLOW) == 0;
}

bool TUnBase::OpenOutput(bool IsDir) {
  FOutputIsDir = IsDir;
  FOutFile.reset();
  FOutputErrno = 0;
  if (ExtractMode != xmExtract) return true;
  // A NUL byte would cut the path short at the system call, whatever the checks saw before.
  if (HasNul(FCurrentName)) {
    FOutputErrno = EINVAL;
    return false;
  }
  const bool ok = OpenOutputAt(IsDir);
  if (!ok && FOutputErrno == 0) FOutputErrno = errno ? errno : EIO;
  return ok;
}

bool TUnBase::OpenOutputAt(bool IsDir) {
  errno = 0;
  if (IsDir) {
    if (!CreateStoredDirs || FCurrentName == FRootDir) return true;
    // Opened (and kept in the chain) so the entries inside it start from it.
    return OutputDir(FCurrentName, true).Fd >= 0;
  }
  std::string base;
  const TDirRef dir = ParentDir(FCurrentName, base, true);
  if (dir.Fd < 0) return false;
  // A new file is created without following anything; an old file (or a link planted in its
  // place) is removed first, never written through.
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(dir.Fd, base.c_str(), flags, 0666);
  if (fd < 0 && errno == EEXIST) {
    if (unlinkat(dir.Fd, base.c_str(), 0) != 0 && (errno == EISDIR || errno == EPERM)) {
      FOutputErrno = errno;
      return false;
    }
    fd = openat(dir.Fd, base.c_str(), flags, 0666);
  }
  FOutputErrno = fd < 0 ? errno : 0;
  if (fd < 0) return false;
  FOutFile = std::make_unique<TOutputFile>(FCurrentName, fd);
  OutStream = FOutFile.get();
  return true;
}

bool TUnBase::CloseOutput(uint32_t DosDateTime, uint32_t Attr, uint32_t UnixMode, std::optional<int64_t> UnixTime) {
  if (!FOutFile) return true;
  const int fd = FOutFile->Handle();
  uint32_t dos = DosDateTime;
  if (DateAttribute == daMaxFileDate) dos = NewestDate;
  if (DateAttribute == daSysDate) {
    futimens(fd, nullptr);
  } else {
    const int64_t t = UnixTime && DateAttribute == daFileDate ? *UnixTime : DosDateTimeToUnix(dos);
    const struct timespec ts[2] = {{time_t(t), 0}, {time_t(t), 0}};
    futimens(fd, ts);
  }
  const uint16_t dosAttr = uint16_t(Attr & 0xFF);
  if (RestoreFileAttr && UnixMode != 0) {
    fchmod(fd, mode_t(UnixMode & 0777 & ~FUmask));
  } else if (RestoreFileAttr && dosAttr != faArchive) {
    struct stat st {};
    if (fstat(fd, &st) == 0) {
      const mode_t mode = st.st_mode & 07777;
      fchmod(fd, (dosAttr & faReadOnly) ? (mode & ~mode_t(0222)) : (mode | S_IWUSR));
    }
  }
  const bool closed = FOutFile->Close();
  FOutFile.reset();
  OutStream = nullptr;
  if (!closed) ReportError(FCurrentName, "", FRunArchiveName, ecCloseFile);
  if (closed) FMadeFiles.insert(FCurrentName);
  return closed;
}

void TUnBase::DiscardOutput() {
  if (!FOutFile) return;
  FOutFile.reset();
  OutStream = nullptr;
  std::string base;
  const int dir = OpenParentDir(FCurrentName, base, false);
  if (dir < 0) return;
  unlinkat(dir, base.c_str(), 0);
  close(dir);
  DropDirCache();
}

int64_t TUnBase::SinkWrite(const uint8_t* Data, int64_t Count, int CrcBits) {
  int64_t done = 0;
  while (done < Count) {
    const int32_t n = int32_t(std::min<int64_t>(Count - done, 1 << 20));
    if (!WriteBlock(Data + done, n, CrcBits)) return done;
    done += n;
  }
  BytesToGo -= Count;
  ProgressStep();
  return Count;
}

// ---- The per-entry step --------------------------------------------------------------------

void TUnBase::ReportError(const std::string& FileName, const std::string& ExtendedMsg, const std::string& VolumeID,
                          int32_t ECode) {
  FEntryReported = true;
  if (ECode == ecWriteFile || ECode == ecDiskFull) FWriteFailed = true;
  TZipCommon::ReportError(FileName, ExtendedMsg, VolumeID, ECode);
}

namespace {

// Whether an existing file's time matches the entry's, at the precision the entry carries:
// the second for an exact time, else the DOS date's two seconds (both sides normalised, so
// a stored 0 or invalid date matches what it was restored as).
bool SameTime(const TStepEntry& E, const struct stat& St) {
  if (E.UnixTime) return St.st_mtime == *E.UnixTime;
  return UnixToDosDateTime(St.st_mtime) == UnixToDosDateTime(DosDateTimeToUnix(E.DosDateTime));
}

}  // namespace

bool TUnBase::TrashIfChanged(const TStepEntry& E) {
  if (!TrashChanged || ExtractMode != xmExtract || E.IsDir) return true;
  // A file this run wrote is simply replaced: the Trash keeps what was there before the run.
  if (FMadeFiles.count(FCurrentName)) return true;
  // Only a plain file reached without links: a folder on the way that is a link leads
  // outside, where nothing may be touched (the opener then refuses the entry).
  struct stat st {};
  if (!StatOutput(FCurrentName, st) || !S_ISREG(st.st_mode) || (st.st_size == E.Size && SameTime(E, st))) return true;
  std::string base;
  const int dir = OpenParentDir(FCurrentName, base, false);
  std::string why = FTrash ? FTrash->OpenError() : "the Trash is not open";
  const bool ok = dir >= 0 && FTrash && FTrash->MoveAt(dir, base, FCurrentName, &why);
  DropDirCache();  // the tree changed other than by creating
  if (dir >= 0) close(dir);
  if (ok)
    ++FTrashed;
  else
    ReportError(FCurrentName, why, FRunArchiveName, ecDeleteFile);
  return ok;
}

namespace {

// The id of a user ("u") or group ("g") name on this system; -1 when unknown.
int64_t LookUpOwnerId(char Kind, const std::string& Name) {
  std::vector<char> buf(16384);
  if (Kind == 'u') {
    passwd pw{}, *found = nullptr;
    return getpwnam_r(Name.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found ? int64_t(pw.pw_uid) : -1;
  }
  group gr{}, *found = nullptr;
  return getgrnam_r(Name.c_str(), &gr, buf.data(), buf.size(), &found) == 0 && found ? int64_t(gr.gr_gid) : -1;
}

}  // namespace

void TUnBase::RestoreOwner(const TStepEntry& E, int Fd, int Dir, const std::string& Base) {
  if (!E.Owner || !RestoreOwners || ExtractMode != xmExtract || geteuid() != 0) return;
  auto idOf = [this](char Kind, const std::string& Name, int64_t Stored) {
    if (!NumericOwners && !Name.empty() && Name.find('\0') == std::string::npos) {
      const std::string key = std::string(1, Kind) + ":" + Name;
      auto it = FOwnerIds.find(key);
      if (it == FOwnerIds.end()) it = FOwnerIds.emplace(key, LookUpOwnerId(Kind, Name)).first;
      if (it->second >= 0) return it->second;
    }
    return Stored >= 0 && Stored <= int64_t(UINT32_MAX - 1) ? Stored : int64_t(-1);
  };
  const uid_t uid = uid_t(idOf('u', E.Owner->UName, E.Owner->Uid));
  const gid_t gid = gid_t(idOf('g', E.Owner->GName, E.Owner->Gid));
  if (uid == uid_t(-1) && gid == gid_t(-1)) return;
  const int rc = Fd >= 0 ? fchown(Fd, uid, gid) : fchownat(Dir, Base.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW);
  if (rc != 0)
    ReportError(FCurrentName, std::string("cannot set the owner: ") + std::strerror(errno), FRunArchiveName,
                ecWriteFile);
}

bool TUnBase::FinishStep(const TStepEntry& E, bool Decoded) {
  if (!E.IsDir && Decoded && FOutFile) RestoreOwner(E, FOutFile->Handle());
  if (E.IsDir && Decoded && E.Owner && ExtractMode == xmExtract && CreateStoredDirs && FCurrentName != FRootDir) {
    std::string base;
    if (const int dir = OpenParentDir(FCurrentName, base, false); dir >= 0) {
      RestoreOwner(E, -1, dir, base);
      close(dir);
    }
  }
  if (!E.IsDir && !CloseOutput(E.DosDateTime, E.Attr, E.UnixMode, E.UnixTime)) Decoded = false;
  if (E.IsDir && Decoded && E.UnixMode && RestoreFileAttr && ExtractMode == xmExtract && CreateStoredDirs &&
      FCurrentName != FRootDir)
    FDirModes.emplace_back(FCurrentName, E.UnixMode);
  if (E.Check != ckNone && Decoded) {
    MarkEntryDecoded(true);
    return CheckCRC(E.Check == ckCrc16 ? 16 : 32, E.Stored);
  }
  return EndEntry(Decoded && !IsCancelled());
}

bool TUnBase::EndEntry(bool Pass) {
  MarkEntryDecoded(false);
  if (OnEnd)
    OnEnd(this, FCurrentName, Pass);
  else if (!Pass && !FEntryReported && !IsCancelled())
    ReportError(FCurrentName, "", FRunArchiveName, ecCrcCheck);
  return Pass;
}

bool TUnBase::RefuseRootClimb(const TStepEntry& E) {
  if (!E.IsDir || ExtractMode != xmExtract || HasSafeComponent(E.Name)) return true;
  // "." or "/" is the output folder itself (left as it is); "../" would be the one above it.
  if (!HasDotDot(E.Name)) return true;
  ReportError(ShownName(E.Name), "names a folder above the output folder", FRunArchiveName, ecInvalidFileName);
  return false;
}

bool TUnBase::ExtractStep(const TStepEntry& E, const std::function<bool()>& Decode,
                          const std::function<bool()>& Prepare) {
  if (HasNul(E.Name)) {
    ReportError(ShownName(E.Name), "NUL byte in the stored name", FRunArchiveName, ecInvalidFileName);
    BytesToGo -= E.Size;
    return false;
  }
  if (!RefuseRootClimb(E)) {
    BytesToGo -= E.Size;
    return false;
  }
  // A folder entry of nothing but ".", separators or a drive is the output folder itself.
  if (E.IsDir && !HasSafeComponent(E.Name))
    SetCurrentName("/");
  else
    SetCurrentName(E.Name);
  if (FCurrentName.empty()) {
    // Nothing of the name is left once "..", "." and separators are dropped.
    ReportError(ShownName(E.Name), "no name left below the output folder", FRunArchiveName, ecInvalidFileName);
    BytesToGo -= E.Size;
    return false;
  }
  StartEntryProgress(E.IsDir ? 0 : E.Size);
  FEntryReported = false;
  FWriteFailed = false;
  if (!BeginEntry(E.IsDir)) {
    BytesToGo -= E.Size;
    ProgressStep();
    return false;
  }
  if ((Prepare && !Prepare()) || !TrashIfChanged(E)) {
    BytesToGo -= E.Size;
    ProgressStep();
    return FinishStep(E, false);
  }
  if (E.Link != lkNone && ExtractMode == xmExtract) return LinkStep(E, Decode);
  if (!OpenOutput(E.IsDir)) {
    ReportError(CurrentName(), std::strerror(FOutputErrno), FRunArchiveName, ecOpenFile);
    BytesToGo -= E.Size;
    return FinishStep(E, false);
  }
  if (E.IsDir) return FinishStep(E, true);
  StreamState->Crc32Val = Crc32Init;
  StreamState->Crc16Val = Crc16Init;
  const int64_t toGo = BytesToGo - E.Size;
  bool decoded = false;
  // A link's stored target is checked but is no file's content: it never reaches a data sink.
  const TBlockOutput output = BlockOutput;
  if (E.Link != lkNone && BlockOutput == boStream) BlockOutput = boNone;
  try {
    decoded = Decode();
  } catch (...) {
    BlockOutput = output;
    DiscardOutput();
    throw;
  }
  BlockOutput = output;
  BytesToGo = toGo;
  if (!decoded && FWriteFailed) DiscardOutput();
  return FinishStep(E, decoded);
}

// ---- Links ---------------------------------------------------------------------------------

namespace {

// A stored hard-link target that names something outside the output folder.
bool LeavesRoot(std::string_view Name) {
  return Name.empty() || IsSep(Name[0]) || (Name.size() >= 2 && Name[1] == ':') || HasDotDot(Name);
}

}  // namespace

bool TUnBase::HardLink(int Dir, const std::string& Base, const std::string& TargetName) {
  const std::string self = FCurrentName;
  SetCurrentName(TargetName);
  const std::string target = FCurrentName;
  FCurrentName = self;
  // Only a file this run extracted, so a link can neither reach outside the output folder nor
  // take hold of a file that was there before.
  if (LeavesRoot(TargetName) || !FMadeFiles.count(target)) {
    ReportError(self, "hard link to " + ShownName(TargetName) + ": no earlier entry in the output folder",
                FRunArchiveName, ecUnknownFileType);
    return false;
  }
  std::string targetBase;
  const int from = OpenParentDir(target, targetBase, false);
  bool ok = from >= 0 && linkat(from, targetBase.c_str(), Dir, Base.c_str(), 0) == 0;
  if (!ok && from >= 0 &&
      (errno == EPERM || errno == EXDEV || errno == EMLINK || errno == EOPNOTSUPP || errno == EACCES))
    ok = CopyFileAt(from, targetBase, Dir, Base);  // the file system refuses links: a copy
  const int err = errno;
  if (from >= 0) close(from);
  if (!ok) ReportError(self, std::strerror(err ? err : EIO), FRunArchiveName, ecOpenFile);
  if (ok) FMadeFiles.insert(self);
  return ok;
}

bool TUnBase::MakeLink(const TStepEntry& E, const std::string& Target) {
  if (Target.empty() || HasNul(Target)) {
    ReportError(FCurrentName, "link target empty or holding a NUL byte", FRunArchiveName, ecInvalidFileName);
    return false;
  }
  std::string base;
  const int dir = OpenParentDir(FCurrentName, base, true);
  if (dir < 0) {
    ReportError(FCurrentName, std::strerror(errno ? errno : EIO), FRunArchiveName, ecOpenFile);
    return false;
  }
  bool ok = unlinkat(dir, base.c_str(), 0) == 0 || errno == ENOENT;
  DropDirCache();  // a link now stands where a folder could be looked for
  if (ok && E.Link == lkHard) {
    ok = HardLink(dir, base, Target);
    close(dir);
    return ok;
  }
  // Made relative to the folder already open and never followed afterwards.
  ok = ok && symlinkat(Target.c_str(), dir, base.c_str()) == 0;
  if (ok) RestoreOwner(E, -1, dir, base);
  if (ok && DateAttribute == daFileDate) {
    const int64_t t = E.UnixTime ? *E.UnixTime : DosDateTimeToUnix(E.DosDateTime);
    const struct timespec ts[2] = {{time_t(t), 0}, {time_t(t), 0}};
    utimensat(dir, base.c_str(), ts, AT_SYMLINK_NOFOLLOW);
  }
  if (!ok) ReportError(FCurrentName, std::strerror(errno ? errno : EIO), FRunArchiveName, ecOpenFile);
  close(dir);
  return ok;
}

bool TUnBase::LinkStep(const TStepEntry& E, const std::function<bool()>& Decode) {
  std::string target = E.LinkTarget;
  bool ok = true;
  if (E.LinkInData && E.Size >= PATH_MAX) {
    // No system takes a target this long; it is not decoded into memory either.
    ReportError(FCurrentName, "link target too long", FRunArchiveName, ecInvalidFileName);
    ok = false;
  } else if (E.LinkInData && Decode) {
    const TBlockOutput saved = BlockOutput;
    BlockOutput = boMemory;
    OutMemory.clear();
    StreamState->Crc32Val = Crc32Init;
    StreamState->Crc16Val = Crc16Init;
    const int64_t toGo = BytesToGo - E.Size;
    try {
      ok = Decode();
    } catch (...) {
      BlockOutput = saved;
      throw;
    }
    BlockOutput = saved;
    BytesToGo = toGo;
    target.assign(OutMemory.begin(), OutMemory.end());
    OutMemory.clear();
    const uint32_t running = E.Check == ckCrc16 ? StreamState->Crc16Val : StreamState->Crc32Val;
    if (ok && E.Check != ckNone && E.Stored != running && E.Stored != (running ^ 0xFFFFFFFFu)) {
      ReportError(FCurrentName, "", FRunArchiveName, ecCrcCheck);
      ok = false;
    }
  }
  return EndEntry(ok && !IsCancelled() && MakeLink(E, target));
}

void TUnBase::ApplyDirModes() {
  for (auto it = FDirModes.rbegin(); it != FDirModes.rend(); ++it) {
    const TDirRef dir = OutputDir(it->first, false);
    if (dir.Fd >= 0) fchmod(dir.Fd, mode_t(it->second & 0777 & ~FUmask));
  }
  FDirModes.clear();
}

int TUnBase::ForEachSelected(size_t Count, const std::function<void(size_t I)>& Step) {
  try {
    for (size_t i = 0; i < Count && !IsCancelled(); ++i) {
      ++EntryNumber;
      Step(i);
    }
  } catch (const EArchiveError& e) {
    // Disk full and the like end the pass; a failure not yet reported is reported here.
    if (!e.Reported && !IsCancelled())
      ReportError(e.FileName.empty() ? FCurrentName : e.FileName, "", FRunArchiveName,
                  e.ECode ? e.ECode : ecStreamReadWrite);
  }
  return EntryCount;
}

// ---- CRC check -----------------------------------------------------------------------------

bool TUnBase::CheckCRC(uint8_t Bits, uint32_t Stored) {
  bool pass = false;
  if (!IsCancelled() && FEntryDecoded) {
    const uint32_t running = Bits == 16 ? StreamState->Crc16Val : StreamState->Crc32Val;
    pass = Stored == running || Stored == (running ^ 0xFFFFFFFFu);
  }
  FEntryDecoded = false;
  if (OnEnd)
    OnEnd(this, FCurrentName, pass);
  else if (!pass)
    ReportError(FCurrentName, "", FRunArchiveName, ecCrcCheck);
  return pass;
}

// ---- Passwords -----------------------------------------------------------------------------

bool TUnBase::CheckPassword(const std::string& EntryName, const std::function<bool(const std::string&)>& Test) {
  FTimer.Pause();
  bool ok = !Password.empty() && Test(Password);
  for (size_t i = 0; !ok && i < Passwords.size(); ++i) {
    if (Passwords[i].empty() || !Test(Passwords[i])) continue;
    Password = Passwords[i];
    ok = true;
  }
  if (!ok && OnGetPassword) {
    for (int i = 0; i < PasswordAttempts && !IsCancelled(); ++i) {
      std::string answer = Password;
      bool tryAgain = true;
      OnGetPassword(this, EntryName, answer, tryAgain);
      if (!tryAgain) {
        ReportError(EntryName, ErrorText(ecUserCanceled), FRunArchiveName, ecInvalidPassword);
        break;
      }
      if (!answer.empty() && Test(answer)) {
        Password = answer;
        Passwords.insert(Passwords.begin(), answer);
        ok = true;
        break;
      }
      // The refused answer itself is never shown: it may be close to the real one.
      ReportError(EntryName, "password refused", FRunArchiveName, ecInvalidPassword);
      Password.clear();
    }
  } else if (!ok) {
    ReportError(EntryName, "OnGetPassword", FRunArchiveName, ecEventNotAssigned);
  }
  FTimer.Resume();
  return ok;
}

// ---- Volumes -------------------------------------------------------------------------------

std::string TUnBase::FindVolume(int N) {
  std::string name = VolumeName(N);
  if (N > 999) {
    ReportError("", "", name, ecMaxVolumes);
    return {};
  }
  if (name.empty()) {
    ReportError("", "", "", ecInvalidFileName);
    return {};
  }
  if (name.find('/') == std::string::npos) name = JoinPath(EffectiveExtractDir(), name);
  if (!OnNextVolume) {
    if (FileExists(name)) return name;
    ReportError("", "OnNextVolume", name, ecEventNotAssigned);
    return {};
  }
  // A handler that never finds the file and never cancels is not asked forever.
  for (int asked = 0; asked < 100; ++asked) {
    bool cancel = false;
    OnNextVolume(this, name, std::to_string(N), FileExists(name), cancel);
    if (cancel) {
      SetCancel(true);
      return {};
    }
    if (FileExists(name)) return name;
  }
  ReportError("", "", name, ecOpenFile);
  return {};
}

// ---- Extract -------------------------------------------------------------------------------

int TUnBase::Extract() {
  if (FArchiveFile.empty()) {
    ReportError("", "", "", ecFileNotFound);
    return 0;
  }
  std::unique_ptr<TFileStream32> archive;
  try {
    archive = std::make_unique<TFileStream32>(FArchiveFile, fmOpenRead | fmShareDenyWrite);
  } catch (const EArchiveError&) {
    ReportError("", "", FArchiveFile, ecOpenFile);
    return 0;
  }
  ResetRunState();
  DropDirCache();
  FTrashed = 0;
  FEntryReported = false;
  FMadeFiles.clear();
  FDirModes.clear();
  FUmask = umask(0);
  umask(mode_t(FUmask));
  if (CpuType == cpt80486) CpuType = cptAuto;
  ClearExcludedExtensions();
  const std::string savedName = FArchiveFile;
  const bool toSink = ExtractMode == xmTest && DataSink;
  BlockOutput = ExtractMode == xmExtract ? boFile : toSink ? boStream : boNone;
  OutStream = toSink ? DataSink : nullptr;
  TRunActivation activation(*this);

  int result = 0;
  try {
    bool ready = true;
    if (ExtractMode == xmExtract) {
      // The output root is opened once: every output path below it is reached from this
      // descriptor without following links.
      FRootDir = EffectiveExtractDir();
      std::error_code ec;
      std::filesystem::create_directories(FRootDir, ec);
      // Not even the root itself is reached through a link (a trailing "/" would follow one).
      const std::string root = FRootDir.size() > 1 ? FRootDir.substr(0, FRootDir.size() - 1) : FRootDir;
      FRootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (FRootFd < 0) {
        ReportError(FRootDir, std::strerror(errno), FRunArchiveName, ecOpenFile);
        ready = false;
      }
      // So is the Trash, before anything the archive holds can be written: a link the archive
      // plants where the Trash is looked for cannot redirect it. A failure here is reported
      // only when a file would have to go there.
      if (TrashChanged) {
        FTrash = std::make_unique<TTrash>();
        FTrash->Open();
      }
    }
    ByteTotal = BytesToGo = archive->Size();
    if (ready) ExtractArchive(*archive, 0);
    result = EntryCount;
  } catch (const EArchiveError& e) {
    // What was raised is reported already; anything else is reported here.
    if (!e.Reported) ReportError(e.FileName, "", FRunArchiveName, e.ECode ? e.ECode : ecStreamReadWrite);
    result = 0;
  } catch (const std::bad_alloc&) {
    ReportError(FCurrentName, "", FRunArchiveName, ecOutOfMemory);
    result = 0;
  }
  FOutFile.reset();
  OutStream = nullptr;
  ApplyDirModes();
  DropDirCache();
  if (FRootFd >= 0) close(FRootFd);
  FRootFd = -1;
  FTrash.reset();
  FRootDir.clear();
  activation.Deactivate();
  FArchiveFile = savedName;
  return result;
}

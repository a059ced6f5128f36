#include "app/ArchiveJobs.h"

#include "app/TextUtils.h"
#include "archive/core/qrvBase.h"
#include "archive/core/qrvErrors.h"
#include "archive/core/qrvRegister.h"
#include "archive/qrvFormats.h"
#include "platform/FileInfo.h"
#include "platform/Paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>

const char* const kFolderMask = "/*.*";

namespace {

// "/a/b/" -> "/a/b"; "/" stays "/".
std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Folder part of a path, without a trailing "/" except for the root; "" for a bare name. The
// counterpart of ExtractFileName (both split at the last "/"), unlike DirOf, which gives "." for
// a bare name and skips trailing slashes.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A file name without its extension. A leading dot starts a hidden name, not an extension.
std::string NameWithoutExt(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  return (dot == std::string::npos || dot == 0) ? name : name.substr(0, dot);
}

// Identity of the file at a path, to tell whether a job wrote it.
struct TFileStamp {
  bool Exists = false;
  dev_t Dev = 0;
  ino_t Ino = 0;
  off_t Size = 0;
  struct timespec MTime {};
};

TFileStamp StampOf(const std::string& path) {
  TFileStamp s;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    s.Exists = true;
    s.Dev = st.st_dev;
    s.Ino = st.st_ino;
    s.Size = st.st_size;
    s.MTime = st.st_mtim;
  }
  return s;
}

bool WrittenBetween(const TFileStamp& before, const TFileStamp& after) {
  if (!after.Exists) return false;
  if (!before.Exists) return true;
  return before.Dev != after.Dev || before.Ino != after.Ino || before.Size != after.Size ||
         before.MTime.tv_sec != after.MTime.tv_sec || before.MTime.tv_nsec != after.MTime.tv_nsec;
}

// Passes a job's error reports on and counts them. "Nothing to do" is held back: only the job
// knows afterwards whether it means an archive already up to date or a failure. Once the user
// declined a password, the "invalid password" reports of the entries left out are counted as
// skipped, not as errors. The window's Cancel reaches the component at each progress step.
class TJobErrors {
 public:
  explicit TJobErrors(const TArchiveJobEvents& outer) : FOuter(outer) {}

  // The events a component of the job gets: progress as given, errors through this object.
  TArchiveJobEvents Events() {
    TArchiveJobEvents e = FOuter;
    e.OnError = [this](TZipCommon* sender, const std::string& file, const std::string& msg, const std::string& volume,
                       int32_t code) {
      if (code == ecNothingToDo) {
        FHeld = {file, msg, volume};
        FHolding = true;
        return;
      }
      if (code == ecInvalidPassword && FDeclined && (msg.empty() || msg == ErrorText(ecUserCanceled))) {
        ++FSkipped;
        return;
      }
      Forward(sender, file, msg, volume, code);
    };
    e.OnProgress = [this](TZipCommon* sender, uint8_t byFile, uint8_t byArchive) {
      PollCancel(sender);
      if (FOuter.OnProgress) FOuter.OnProgress(sender, byFile, byArchive);
    };
    return e;
  }
  void Forward(TZipCommon* sender, const std::string& file, const std::string& msg, const std::string& volume,
               int32_t code) {
    ++FCount;
    if (FOuter.OnError) FOuter.OnError(sender, file, msg, volume, code);
  }
  // Reports a held "Nothing to do" after all.
  void ReleaseHeld() {
    if (std::exchange(FHolding, false)) Forward(nullptr, FHeld[0], FHeld[1], FHeld[2], ecNothingToDo);
  }
  // Sets the component's cancel flag once the window asked to cancel.
  void PollCancel(TZipCommon* component) {
    if (CancelRequested() && component && !component->IsCancelled()) component->SetCancel(true);
  }
  bool CancelRequested() const { return FOuter.Cancel && FOuter.Cancel->load(); }
  const TArchiveJobEvents& Outer() const { return FOuter; }
  void DeclinePasswords() { FDeclined = true; }
  int Count() const { return FCount; }
  int Skipped() const { return FSkipped; }

 private:
  const TArchiveJobEvents& FOuter;
  int FCount = 0;
  int FSkipped = 0;
  bool FHolding = false;
  bool FDeclined = false;
  std::array<std::string, 3> FHeld;
};

void ReportUnsupported(TJobErrors& errors, const std::string& archive) {
  errors.Forward(nullptr, archive, std::string(), archive, kUnsupportedArchiveType);
}

// Connects a component of a job to the window's two handlers.
void Connect(TZipCommon& component, const TArchiveJobEvents& events) {
  component.OnError = events.OnError;
  component.OnProgress = events.OnProgress;
}

// Runs the writer of that kind on the paths, configured as the window always packs. True when
// the run was cancelled.
bool RunWriter(int kind, const std::vector<std::string>& paths, const std::string& archive, bool recurse,
               TJobErrors& errors) {
  std::unique_ptr<TCompBase> writer = NewWriter(kind);
  if (!writer) {
    ReportUnsupported(errors, archive);
    return false;
  }
  Connect(*writer, errors.Events());
  TZipCommon* component = writer.get();
  writer->OnFileScanStatus = [&errors, component](TZipCommon*, const std::string&, int, int64_t) {
    errors.PollCancel(component);
  };
  // The window packs what is listed: a listed file replaces a changed entry of that name.
  writer->OnReplaceFile = [](TZipCommon*, const std::string&, const std::string&, TDateTime, TDateTime, int64_t,
                             int64_t, int32_t, int32_t, bool& replace) { replace = true; };
  writer->SetArchiveFile(archive);
  writer->CompressionMethod = cmTempFile;
  writer->DateAttribute = daFileDate;
  writer->ExcludeSpec.clear();
  writer->FileSpec = paths;
  writer->RecurseDirs = recurse;
  writer->StoredDirNames = sdRelativeStoreStart;
  writer->StoreEmptySubDirs = false;
  writer->Switch = swAdd;
  if (errors.Outer().OnWriter) errors.Outer().OnWriter(*writer);
  errors.PollCancel(component);
  writer->Compress();
  return writer->IsCancelled();
}

// One writer run of MakeArchive: folder masks recurse, plain files do not.
struct TWriterRun {
  std::vector<std::string> Paths;
  bool Recurse = false;
};

// Files and folder masks apart, the group of the first path first, each in list order.
std::vector<TWriterRun> SplitByRecursion(const std::vector<std::string>& paths) {
  const auto isFolder = [](const std::string& p) { return p.ends_with(kFolderMask); };
  const bool firstIsFolder = isFolder(paths.front());
  std::vector<TWriterRun> runs(2);
  runs[0].Recurse = firstIsFolder;
  runs[1].Recurse = !firstIsFolder;
  for (const std::string& p : paths) runs[isFolder(p) == firstIsFolder ? 0 : 1].Paths.push_back(p);
  if (runs[1].Paths.empty()) runs.pop_back();
  return runs;
}

// Asks the job's OnGetPassword for the reader's encrypted entries. Declining skips every
// encrypted entry of the archive; a password given for all is kept while it opens entries, one
// given for a single entry is forgotten before the next.
void ConnectPasswords(TUnBase& reader, const std::string& archive, TJobErrors& errors) {
  auto forAll = std::make_shared<bool>(false);
  reader.OnGetPassword = [&errors, archive, forAll](TZipCommon* sender, const std::string& entry, std::string& password,
                                                    bool& tryAgain) {
    const auto& ask = errors.Outer().OnGetPassword;
    if (!ask || !ask(archive, entry, password, *forAll)) {
      errors.DeclinePasswords();
      tryAgain = false;
    }
    errors.PollCancel(sender);
  };
  reader.OnBegin = [forAll](TZipCommon* sender, const std::string&, int, bool&) {
    auto* r = static_cast<TUnBase*>(sender);
    if (!*forAll) {
      r->Password.clear();
      r->Passwords.clear();
    }
  };
}

// Extracts the archive Source into Folder, as the window always extracts. Returns the number of
// files trashed; Cancelled tells whether the run was cancelled.
int RunReader(const TFormatRow& format, const std::string& source, const std::string& archive,
              const std::string& folder, TJobErrors& errors, bool& cancelled) {
  std::unique_ptr<TUnBase> reader = format.NewReader();
  reader->FileSpec = {"*.*"};
  reader->SetArchiveFile(source);
  reader->SetExtractDir(folder);
  Connect(*reader, errors.Events());
  ConnectPasswords(*reader, archive, errors);
  reader->UseStoredDirs = true;
  reader->DateAttribute = daFileDate;
  reader->ConfirmOverwrites = false;
  reader->OverwriteMode = omOverwrite;
  reader->TrashChanged = true;
  reader->RestoreFileAttr = false;
  reader->CreateStoredDirs = true;
  reader->TranslateOemChar = true;
  reader->RecurseDirs = true;
  reader->Extract();
  cancelled = reader->IsCancelled() || errors.CancelRequested();
  return reader->TrashedFiles();
}

// A lone compressed file (notes.txt.gz) is decompressed beside itself (notes.txt), as file
// managers' "extract here" does; a changed file of that name goes to the Trash first.
TJobResult UnpackLoneFile(const TFormatRow& format, const std::string& Path, const std::string& member,
                          TJobErrors& errors) {
  TJobResult result;
  result.Target = JoinPath(FolderOf(Path), member);
  bool cancelled = false;
  result.Trashed = RunReader(format, Path, Path, FolderOf(Path), errors, cancelled);
  errors.ReleaseHeld();
  result.Outcome = cancelled ? joCancelled : errors.Count() > 0 ? joFailed : joDone;
  return result;
}

}  // namespace

std::string ArchiveExtension(int Kind) {
  const TFormatRow* row = FormatOfKind(Kind);
  return row && row->Writes() ? row->Extensions.front() : std::string();
}

TNewArchive NewArchiveFor(int Kind, const std::string& FirstPath) {
  TNewArchive target;
  const std::string ext = ArchiveExtension(Kind);
  if (FirstPath.ends_with(kFolderMask)) {
    const std::string folder = WithoutTrailingSlash(FirstPath.substr(0, FirstPath.size() - std::strlen(kFolderMask)));
    const std::string base = folder.empty() ? std::string("/") : folder;
    target.Path = JoinPath(FolderOf(base), ExtractFileName(base) + ext);
    target.Recurse = true;
  } else {
    target.Path = JoinPath(FolderOf(FirstPath), NameWithoutExt(ExtractFileName(FirstPath)) + ext);
  }
  return target;
}

std::string UnpackFolderFor(const std::string& Path) {
  const std::string name = ExtractFileName(Path);
  // An archive extension goes whole (src.tar.gz gives src), another one from its last dot.
  const std::string ext = FormatExtensionOf(name);
  std::string base = ext.empty() ? NameWithoutExt(name) : name.substr(0, name.size() - ext.size());
  // Never the folder above, the archive's own folder, or the archive itself.
  if (base.empty() || base == "." || base == ".." || base == name || base.find('/') != std::string::npos)
    base = name + "_files";
  return JoinPath(FolderOf(Path), base);
}

std::unique_ptr<TCompBase> NewWriter(int Kind) {
  const TFormatRow* row = FormatOfKind(Kind);
  return row && row->Writes() ? row->NewWriter() : nullptr;
}

TArchivePlan PlanArchiveJobs(std::vector<std::string>& Paths) {
  TArchivePlan plan;
  for (std::string& path : Paths) {
    if (DirectoryExists(path)) path = JoinPath(path, "*.*");
    (IsArchiveName(path) ? plan.Extract : plan.Pack).push_back(path);
  }
  return plan;
}

bool IsUpxJob(const std::vector<std::string>& Paths, bool UseUpx) {
  return UseUpx && Paths.size() == 1 && IsUpxTarget(Paths.front());
}

TJobResult MakeArchive(int Kind, const std::vector<std::string>& Paths, const TArchiveJobEvents& Events) {
  TJobResult result;
  if (Paths.empty()) return result;
  result.Target = NewArchiveFor(Kind, Paths.front()).Path;
  if (ArchiveExtension(Kind).empty()) return result;  // no writer for that kind: nothing is created
  const TFileStamp before = StampOf(result.Target);
  TJobErrors errors(Events);
  bool cancelled = false;
  for (const TWriterRun& run : SplitByRecursion(Paths)) {
    if ((cancelled = cancelled || errors.CancelRequested())) break;
    try {
      cancelled = RunWriter(Kind, run.Paths, result.Target, run.Recurse, errors);
    } catch (...) {
      // The writer has reported its errors through OnError already.
    }
  }
  const TFileStamp after = StampOf(result.Target);
  const bool written = WrittenBetween(before, after);
  if (!after.Exists && !cancelled) errors.ReleaseHeld();  // nothing to do and no archive: nothing was packed
  result.Outcome = cancelled ? joCancelled : errors.Count() > 0 ? joFailed : written ? joDone : joUpToDate;
  return result;
}

TJobResult UnpackArchive(const std::string& Path, const TArchiveJobEvents& Events) {
  ProcessMessages();
  TJobResult result;
  result.Target = UnpackFolderFor(Path);
  // Detection reads the file itself: an archive larger than memory is still recognised.
  TArvexComponent probe;
  probe.SetArchiveFile(Path);
  if (probe.ArchiveFile().empty()) return result;  // unreadable: skipped without a report
  TJobErrors errors(Events);
  if (errors.CancelRequested()) {
    result.Outcome = joCancelled;
    return result;
  }
  const TFormatRow* format = ReaderFormatFor(probe.ArcType(), Path);
  if (!format) return result;  // not an archive: skipped without a report
  if (const std::string member = format->LoneMember ? format->LoneMember(Path) : std::string(); !member.empty())
    return UnpackLoneFile(*format, Path, member, errors);
  TUnpackFolder folder;
  if (!folder.Create(FolderOf(result.Target), ExtractFileName(result.Target))) {
    errors.Forward(nullptr, result.Target, folder.Reason, Path, ecOpenFile);
    result.Outcome = joFailed;
    return result;
  }
  result.Target = folder.Path();
  bool cancelled = false;
  result.Trashed = RunReader(*format, Path, Path, result.Target, errors, cancelled);
  errors.ReleaseHeld();
  result.Skipped = errors.Skipped();
  if (result.Skipped > 0) result.SkipReason = "encrypted, no password given";
  if (cancelled || errors.Count() > 0 || result.Skipped > 0) folder.RemoveIfEmpty();
  folder.LiftSingleTop();
  result.Outcome = cancelled ? joCancelled : errors.Count() > 0 ? joFailed : joDone;
  return result;
}

// The archive jobs behind "Execute": which listed path is extracted and which are packed, the
// creation of one new archive and the extraction of one archive into a folder beside it.
// Qt-free: used by the window and by brel-cli run.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TZipCommon;
class TCompBase;
class TUnBase;

// Shapes of the components' OnError and OnProgress events (sender first).
using TArchiveErrorEvent =
    std::function<void(TZipCommon* Sender, const std::string& FileName, const std::string& ExtendedMsg,
                       const std::string& VolumeID, int32_t ECode)>;
using TArchiveProgressEvent = std::function<void(TZipCommon* Sender, uint8_t ByFile, uint8_t ByArchive)>;

// The two handlers every component of a job gets.
struct TArchiveJobEvents {
  TArchiveErrorEvent OnError;
  TArchiveProgressEvent OnProgress;
  // Asked for an encrypted entry's password (Entry: its stored name). Return false to skip
  // the encrypted entries of this archive; ForAll: use Password for all its entries.
  std::function<bool(const std::string& Archive, const std::string& Entry, std::string& Password, bool& ForAll)>
      OnGetPassword;
  // The window's Cancel: set to true to stop the running job at its next check (the
  // component's cancel flag); the old archive stays as it was, temporary files are removed.
  std::atomic<bool>* Cancel = nullptr;
  // The writer of MakeArchive, configured as the window packs, just before it runs: a host's
  // own settings (brel-cli run -p: the password).
  std::function<void(TCompBase& Writer)> OnWriter;
};

// Kind of a new archive: its row in the format table (archive/qrvFormats.h). The first four
// are the window's radio buttons, in their order.
enum TArchiveKind { akZip, akLzh, akCab, akTar };

// Code reported while a job needs a writer or reader that is not available.
constexpr int32_t kUnsupportedArchiveType = 25244;

// Mask appended to a listed folder so that the writer packs its content.
extern const char* const kFolderMask;  // "/*.*"

// Extension of a new archive of that kind (".zip", ".lzh", ".cab", ".tar", ".tgz"...); "" for a
// kind that has no writer.
std::string ArchiveExtension(int Kind);

// Where MakeArchive puts the new archive, from the first path only: a file /a/report.txt gives
// /a/report.<ext>; a folder mask /a/docs/*.* gives /a/docs.<ext>. Recurse tells whether that
// first path is a folder mask (MakeArchive recurses into every listed folder, never below a
// listed file).
struct TNewArchive {
  std::string Path;
  bool Recurse = false;
};
TNewArchive NewArchiveFor(int Kind, const std::string& FirstPath);

// Folder an archive is extracted into: its folder + "/" + its name without extension
// (/in/photos.zip gives /in/photos; /in/src.tar.gz and /in/src.tgz give /in/src). A name that
// would be empty, ".", "..", or the archive's own name becomes the whole file name + "_files"
// (/in/...zip gives /in/...zip_files), so the folder is always one new name beside the archive.
std::string UnpackFolderFor(const std::string& Path);

// The new folder UnpackArchive writes into, beside the archive, made and reached through the
// archive folder's descriptor without following a link.
class TUnpackFolder {
 public:
  TUnpackFolder() = default;
  TUnpackFolder(const TUnpackFolder&) = delete;
  TUnpackFolder& operator=(const TUnpackFolder&) = delete;
  ~TUnpackFolder();
  // Makes Name in Parent, or "Name (2)", "Name (3)"... when a folder of that name exists.
  // False, with Reason, when Parent cannot be opened, a link or a file holds Name, or the
  // folder cannot be made.
  bool Create(const std::string& Parent, const std::string& Name);
  std::string Path() const;
  // When the folder holds nothing but one folder named Name, that folder takes its place.
  void LiftSingleTop();
  // Removes the folder when it holds nothing but (empty) folders.
  void RemoveIfEmpty();
  std::string Reason;

 private:
  int FParent = -1;
  std::string FParentPath, FBase, FName;
};

// The writer of an archive kind; null while this build has none for it (the jobs then report
// kUnsupportedArchiveType).
std::unique_ptr<TCompBase> NewWriter(int Kind);

// The split of a listed set of paths: every folder gets kFolderMask appended in place; archives
// (by name) are extracted in list order, everything else goes into one new archive.
struct TArchivePlan {
  std::vector<std::string> Extract;
  std::vector<std::string> Pack;
};
TArchivePlan PlanArchiveJobs(std::vector<std::string>& Paths);

// True when "Execute" runs the UPX job: exactly one listed path, an executable by name, and
// "UPXを使う" ticked.
bool IsUpxJob(const std::vector<std::string>& Paths, bool UseUpx);

// What a job did: the archive made or the folder extracted into (Target), and how it went.
enum TJobOutcome {
  joDone,      // the archive was written, or the archive extracted
  joUpToDate,  // the archive already held every listed file as it is
  joSkipped,   // nothing to do: not an archive, or no writer kind
  joFailed,    // at least one error was reported
  joCancelled  // stopped through Events.Cancel: an old archive stays as it was
};
struct TJobResult {
  TJobOutcome Outcome = joSkipped;
  std::string Target;
  int Trashed = 0;  // changed files an extraction moved to the Trash before replacing them
  // Entries an extraction left out without an error, and why (encrypted entries whose
  // password was not given: "encrypted, no password given").
  int Skipped = 0;
  std::string SkipReason;
};

// Packs Paths (files and folder masks) into one new archive of the given kind beside the first
// path. A folder mask adds the folder's whole tree, a file only itself, in any order (files and
// folders then take one writer run each). The listed files win over changed entries of an
// existing archive. An archive that already holds everything unchanged is up to date, not an
// error: "Nothing to do" (25268) reaches Events.OnError only when no archive exists afterwards.
// Other errors reach Events.OnError as reported. The archive is what the writer made, byte for
// byte (as brel-cli a makes it).
TJobResult MakeArchive(int Kind, const std::vector<std::string>& Paths, const TArchiveJobEvents& Events);

// Recognises the archive at Path by its content (reading the file itself, never a copy in
// memory) and extracts it into a new folder beside it: UnpackFolderFor(Path), or "NAME (2)",
// "NAME (3)"... when a folder of that name exists (never merged into). When every entry lies
// below one top folder of that same name, that level is not doubled: proj.zip holding proj/...
// gives proj/... . A link or a file in the way of the name is reported (25235 with the reason)
// and nothing is extracted. The folder is created and opened without following a link. Target
// is the folder used. Encrypted entries ask Events.OnGetPassword; declined ones are counted in
// Skipped. A folder that ends up holding nothing is removed. The reader is the format table's
// for the detected type (a gzip-compressed tar is read through its gunzip stream). A file that
// no row reads is skipped without a report.
TJobResult UnpackArchive(const std::string& Path, const TArchiveJobEvents& Events);

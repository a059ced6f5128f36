// The archive component frame: TZipCommon (everything writers and readers share: properties,
// events, error reports, cancel flag, progress, stopwatch, block writer and reader, drive
// checks), the writer base TCompBase and the reader base TUnBase.
//
// Layout of the unit: qrvBase.cpp holds the frame's shared operations and the property setters;
// the writer run (Compress and its steps) goes to qrvBase_Compress.cpp and the reader run
// (Extract and its services) to qrvBase_Extract.cpp.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvCompressAhead.h"
#include "archive/core/qrvFileScan.h"
#include "archive/core/qrvRegister.h"
#include "archive/core/qrvStreams.h"
#include "archive/core/qrvWorkerPool.h"
#include "platform/DosTime.h"
#include "platform/Trash.h"

// ---- Enumerations (order binding: a value is its position) ---------------------------------

enum TCompressMethod : uint8_t {
  cmStore,
  cmDeflate,
  cmFuse,
  cmFrozen5,
  cmFrozen6,
  cmMsZip,
  cmLzx,
  cmQuantum,
  cmUUEncode,
  cmXXEncode,
  cmBase64,
  cmTarred,
  cmTarGzip,
  cmFrozen7
};
enum TCompressionMethod : uint8_t { cmInMemory, cmTempFile };
enum TDateAttribute : uint8_t { daFileDate, daSysDate, daMaxFileDate };
enum TOverwriteMode : uint8_t { omOverwrite, omSkip };
enum TStoredDirNames : uint8_t {
  sdNone,
  sdAbsolute,
  sdAbsoluteNoDrv,
  sdAbsoluteNoRoot,
  sdRelative,
  sdRelativeStoreStart,
  sdExplorer_Auto,
  sdExplorer_UserDefineDefaultDir
};
enum TSwitch : uint8_t { swAdd, swRefresh, swMove, swDelete, swRead };
enum TDeleteOptions : uint8_t { doFinal, doAllowUndo };
enum TDeflateType : uint8_t { dtDeflateS, dtDeflateF, dtDeflateN, dtDeflateX };
enum TCpuType : uint8_t { cptAuto, cpt80286, cpt80386, cpt80486 };

// A set of TCompressMethod (the methods a format accepts).
using TCompressMethods = uint16_t;
constexpr TCompressMethods MethodBit(TCompressMethod M) { return TCompressMethods(1u << M); }

// The ZIP general-purpose flag bits that DeflateType stands for (dtDeflateS 6, F 4, N 0, X 2).
uint16_t DeflateOptionBits(TDeflateType T);
// The zlib level a DeflateType stands for: fast 1, normal 6, max 9 (dtDeflateS 0: stored blocks).
int ZLevelOf(TDeflateType T);

// percentage(part, whole) = round(part x 100 / whole), 0 when whole is 0, clamped to 0..100.
uint8_t Percentage(int64_t Part, int64_t Whole);

// Listing name of Deflate (Method 8, "DeflateN"...) or Deflate64 (9, "Def-64N"...) by the
// deflate option bits of the general-purpose Flags (ZIP and BH name them alike).
std::string DeflateMethodName(int Method, uint16_t Flags);
// Listing name of a method of a kind brel detects but does not read itself (ACE, ARC, ARJ, BH,
// HA, PAK, RAR, ZOO); "Unsupported" for other types and codes. Readers name their own methods;
// MethodName (qrvFormats.h) asks each.
std::string DetectedMethodName(TArcType ArcType, int Method, uint16_t Flags = 0);

// The default StoreFilesOfType list (24 extensions, upper case with dot).
const std::vector<std::string>& DefaultStoreFilesOfType();

// ---- Stopwatch -----------------------------------------------------------------------------

// Start records the tick count; Pause and Resume leave the paused span out of the measure;
// Stop stores the elapsed seconds. Pause and Resume do nothing while the watch is not running.
class TqrvTimer {
 public:
  void Start();
  void Pause();
  void Resume();
  void Stop();
  bool Running() const { return FRunning; }
  float ElapsedTime() const { return FElapsed; }

  // The clock, replaceable in tests (milliseconds).
  std::function<int64_t()> Ticks = DefaultTicks;
  static int64_t DefaultTicks();

 private:
  int64_t FStart = 0;
  int64_t FPausedAt = 0;
  bool FRunning = false;
  bool FPaused = false;
  float FElapsed = 0;
};

// ---- Drive checks --------------------------------------------------------------------------

class TZipCommon;

// The "drive" of an archive is the file system holding its folder (the nearest existing folder
// of the path). Not accessible: statvfs fails. Write protected: mounted read-only. Serial:
// f_fsid. Removable: the block device's removable flag. Label: /dev/disk/by-label.
class TDiskManager {
 public:
  struct TVolumeInfo {
    std::string Drive;       // the folder examined
    std::string Label;       // volume label, "" when none
    std::string Serial;      // eight hex digits
    std::string FileSystem;  // file system type, "" when unknown
    bool Removable = false;
    bool ReadOnly = false;
  };

  // Examines the file system of Path's folder; false when it is not accessible.
  static bool Probe(const std::string& Path, TVolumeInfo& Info);

  // The check before a run. No medium: OnDiskInDrvErr (Abort starts true; false tries again,
  // true reports 25443) or, without it, 25170. Writing to a read-only file system:
  // OnDiskWriteProtectErr likewise or 25171. Reports go through Owner.ReportError(drive, "0",
  // "0", code). Returns whether the run may go on; Info holds what was found.
  bool CheckDrive(TZipCommon& Owner, const std::string& ArchivePath, bool ForWriting);

  TVolumeInfo Info;
  // Replaceable in tests.
  std::function<bool(const std::string& Path, TVolumeInfo& Info)> Prober = Probe;
};

// ---- The frame -----------------------------------------------------------------------------

// Where the block writer sends decoded data.
enum TBlockOutput : uint8_t { boFile, boStream, boMemory, boNone };
// Cipher step of the block writer (ZIP-family and BH types only).
enum TBlockCipher : uint8_t { bcNone, bcEncipher, bcDecipher };

class TZipCommon : public TArvexComponent, public ITempStreamOwner {
 public:
  TZipCommon();
  ~TZipCommon() override;

  // ---- Properties (the frame holds them all; each format publishes its own) ----
  std::vector<std::string> FileSpec;
  std::vector<std::string> ExcludeSpec;
  std::vector<std::string> Passwords;
  int PasswordAttempts = 3;
  bool RecurseDirs = true;
  TqrvFileAttrs Attributes{fsZeroAttr, fsReadOnly, fsArchive, fsCompressed, fsEncrypted};
  TqrvFileAttrs AttributesEx;
  bool IncludeHiddenDirs = false;
  TStoredDirNames StoredDirNames = sdRelative;
  bool StoreEmptySubDirs = false;
  TSwitch Switch = swAdd;
  TCompressionMethod CompressionMethod = cmTempFile;
  TDeflateType DeflateType = dtDeflateN;
  TDateAttribute DateAttribute = daFileDate;
  TDeleteOptions DeleteOptions = doAllowUndo;
  bool VerifyBeforeDelete = false;
  bool ConfirmOverwrites = false;
  TOverwriteMode OverwriteMode = omOverwrite;
  bool UseStoredDirs = true;
  bool CreateStoredDirs = false;
  bool RestoreFileAttr = true;
  bool TranslateOemChar = true;
  // The code page of stored names that carry no mark of their own ("cp932", "cp437", any iconv
  // name); empty: guessed per name. Used where TranslateOemChar converts names.
  std::string NameCoding;
  TCpuType CpuType = cptAuto;
  // Extensions (lower case, with dot) whose files writers leave out; empty unless the host
  // fills it.
  std::vector<std::string> ExcludedExtensions;
  // FileSpec and ExcludeSpec tell letter case apart (off: "A.TXT" selects a.txt).
  bool CaseSensitiveMasks = false;

  TCompressMethod CompressMethod() const { return FCompressMethod; }
  // Ignores a method the format does not accept.
  void SetCompressMethod(TCompressMethod Value);
  TCompressMethods AllowedMethods() const { return FAllowedMethods; }

  // ---- Events (Sender first; reference arguments are answers) ----
  std::function<void(TZipCommon*Sender)> OnActivate, OnDeactivate;
  std::function<void(TZipCommon* Sender, uint8_t ByFile, uint8_t ByArchive)> OnProgress;
  std::function<void(TZipCommon* Sender, const std::string& FileName, const std::string& ExtendedMsg,
                     const std::string& VolumeID, int32_t ECode)>
      OnError;
  std::function<void(TZipCommon* Sender, const std::string& FileName, int Count, bool& Extract)> OnBegin;
  std::function<void(TZipCommon* Sender, const std::string& FileName, bool CRC_PASS)> OnEnd;
  std::function<void(TZipCommon* Sender, float ElapsedTime)> OnElapsedTime;
  std::function<void(TZipCommon* Sender, const std::string& FileName, std::string& NewFileName)> OnRenameFile;
  std::function<void(TZipCommon* Sender, const std::string& FileName, std::string& NewFileName, bool& Rename)>
      OnRenameDupeFile;
  std::function<void(TZipCommon* Sender, const std::string& FileName, const std::string& NewFileName, TDateTime Date,
                     TDateTime NewDate, int64_t FileSize, int64_t NewFileSize, int32_t Attr, int32_t NewAttr,
                     bool& Replace)>
      OnReplaceFile;
  std::function<void(TZipCommon* Sender, const std::string& ArchiveFile, bool& WriteToFile)> OnNonWriteableArchive;
  std::function<void(TZipCommon* Sender, const std::string& FileName, int Count, int MaxCount)> OnDeleteFile;
  std::function<void(TZipCommon* Sender, int64_t Offset, int Filenum)> OnRead;
  std::function<void(TZipCommon* Sender, const std::string& FileName, int FilesCount, int64_t FilesSize)>
      OnFileScanStatus;
  std::function<void(TZipCommon* Sender, const std::string& Directory)> OnRecurseDir;
  std::function<void(TZipCommon* Sender, const std::string& Archive, const std::string& TempFileName, bool& Cancel)>
      OnTmpFileMoveBegin;
  std::function<void(TZipCommon* Sender, uint8_t ByFile, uint8_t ByArchive)> OnTmpFileProgress;
  std::function<void(TZipCommon* Sender)> OnTmpFileMoveEnd;
  std::function<void(TZipCommon*Sender, bool&Abort)> OnDiskInDrvErr, OnDiskWriteProtectErr;
  // A yes/no question outside the event table (the 26899 "create the temporary folder?"
  // question); without a handler the answer is no.
  std::function<bool(TZipCommon* Sender, const std::string& Question)> OnConfirm;

  // ---- Errors and cancel ----
  // Pauses the stopwatch, fires OnError (25443 instead of ECode once cancelled), resumes it.
  // Never throws.
  void ReportError(const std::string& FileName, const std::string& ExtendedMsg, const std::string& VolumeID,
                   int32_t ECode) override;
  // ReportError, then, unless cancelled, throws an exception of Class with the text of ECode.
  void RaiseError(TErrorClass Class, const std::string& FileName, const std::string& ExtendedMsg,
                  const std::string& VolumeID, int32_t ECode);
  virtual bool IsCancelled() const { return *FCancelFlag; }
  // Stores Value; True also reports 25443 for the current entry.
  void SetCancel(bool Value);
  // The flag the component's loops, streams and scanners check. ShareCancelFlag points the
  // component at another component's flag (nullptr: its own again).
  bool* CancelFlag() const { return FCancelFlag; }
  void ShareCancelFlag(bool* Flag) { FCancelFlag = Flag ? Flag : &FOwnCancel; }

  // ---- Progress ----
  // The run's byte total and the bytes still to process (streams count the latter down).
  int64_t ByteTotal = 0;
  int64_t BytesToGo = 0;
  // Starts a new entry of EntrySize bytes for ByFile.
  void StartEntryProgress(int64_t EntrySize);
  // ByFile from the bytes done in the entry, ByArchive from the run's counters; processes
  // window messages, then fires OnProgress.
  void ProgressStep();
  uint8_t LastByFile() const { return FLastByFile; }
  uint8_t LastByArchive() const { return FLastByArchive; }

  TqrvTimer& Timer() { return FTimer; }
  TDiskManager& DiskManager() { return FDiskManager; }

  // ---- Virtual operations ----
  virtual TDateTime DosDateToDateTime(int32_t DosDateTime) const;
  // Membership in the ZIP family (atZip, atZipExe, atZipMV).
  virtual bool IsTypeIn(TArcType T) const { return IsZipFamilyType(T); }
  virtual int DefaultLevel() const { return 9; }
  virtual int DefaultBufferSize() const { return 65536; }
  virtual void ClearExcludedExtensions() { ExcludedExtensions.clear(); }
  // Writers: the stored name; readers: the output path (their runs override it).
  virtual void SetCurrentName(const std::string& Name) { FCurrentName = Name; }
  const std::string& CurrentName() const { return FCurrentName; }
  virtual std::string GetPassword() const { return {}; }
  // A format kept inside a filter (a gzip-compressed tar) reads its old archive and writes
  // the new one through these; nullptr: the plain streams. The output filter is finished by the
  // format's WriteTrailer.
  virtual std::unique_ptr<TStream32> OldArchiveFilter(TStream32& Old) { return nullptr; }
  virtual std::unique_ptr<TStream32> OutputFilter(TStream32& Out) { return nullptr; }
  // Name of volume N of a ZIP multi-volume set: the extension becomes ".z" and N with at least
  // two digits (z01 .. z99, z100 ...). "" for an empty archive name.
  virtual std::string VolumeName(int N) const;

  // Block writer: sends Count bytes to the current output (BlockOutput). The cipher step
  // (ZIP-family, JAR and BH types only) runs first when deciphering and after the checksum when
  // enciphering; CrcBits 16 or 32 updates that running checksum over the plain data; with
  // ConvertLineEnds a lone LF is written as CR LF. Disk full raises EWriteError (25160) and sets
  // the entry count to 0; another short write decrements it and reports 25136. Returns whether
  // everything was written.
  bool WriteBlock(const void* Buffer, int32_t Count, int CrcBits = 0, TBlockCipher Cipher = bcNone);
  TBlockOutput BlockOutput = boFile;
  TStream32* OutStream = nullptr;  // boFile and boStream
  std::vector<uint8_t> OutMemory;  // boMemory appends here
  bool ConvertLineEnds = false;
  int64_t BlockBytesWritten = 0;  // what the block writer handled in the run (boNone too)

  // Block reader: reads up to Count bytes (a read error counts as 0) and passes them to the
  // block decrypter. Returns the count read.
  int32_t ReadBlock(TStream32& Stream, void* Buffer, int32_t Count);
  // ARJ types with a password: XOR with the password's characters in turn.
  virtual void DecryptBlock(void* Buffer, int32_t Count);

  // The stream state (running CRCs and cipher keys) the component's streams share.
  TStreamState* StreamState = &GlobalStreamState();

  // ---- Temporary streams (ITempStreamOwner) ----
  bool* TempCancelFlag() override { return FCancelFlag; }
  int64_t* TempBytesToGo() override { return &BytesToGo; }
  void SetTempByteTotal(int64_t Total) override;
  void DoStreamProgress() override { ProgressStep(); }
  void DoTmpFileMoveBegin(const std::string& Archive, const std::string& TempFileName, bool& Cancel) override;
  void DoTmpFileMoveEnd() override;
  void DoTmpFileProgress(int64_t Position) override;

  // ---- Run state ----
  const std::string& RunArchiveName() const { return FRunArchiveName; }
  int EntryNumber = 0;  // number of the current entry
  int EntryCount = 0;   // entries processed by a reader run
  int AddedCount = 0;
  int DeletedCount = 0;
  std::string StoredRoot;   // stored root of the current scan folder
  int64_t SfxOffset = 0;    // where the archive proper begins after a self-extractor stub
  uint32_t NewestDate = 0;  // newest packed date of the run (daMaxFileDate)

 protected:
  // Resets the run state shared by writer and reader runs.
  void ResetRunState();
  void SetAllowedMethods(TCompressMethods Methods, TCompressMethod Default);
  // Writes bytes to the block writer's output; false on a short write (LastError in Err).
  bool SendBlock(const uint8_t* P, int32_t N, int& Err);

  std::string FRunArchiveName;
  std::string FCurrentName;
  TCompressMethod FCompressMethod = cmStore;
  TCompressMethods FAllowedMethods = MethodBit(cmStore);
  TqrvTimer FTimer;
  TDiskManager FDiskManager;
  int64_t FEntrySize = 0;
  int64_t FEntryToGoAtStart = 0;
  uint8_t FLastByFile = 0, FLastByArchive = 0;
  size_t FArjKeyPos = 0;
  bool FLastWasCr = false;  // line-end conversion across blocks

 private:
  bool FOwnCancel = false;
  bool* FCancelFlag = &FOwnCancel;
};

// One run's activation, paired on every way out: the constructor starts the stopwatch when
// OnElapsedTime is assigned and fires OnActivate; Deactivate fires OnDeactivate (once); the
// destructor fires it when the run left early (a return or an exception), then stops the
// stopwatch and fires OnElapsedTime. An exception from a handler fired by the destructor is
// dropped.
class TRunActivation {
 public:
  explicit TRunActivation(TZipCommon& Component);
  ~TRunActivation();
  TRunActivation(const TRunActivation&) = delete;
  TRunActivation& operator=(const TRunActivation&) = delete;
  void Deactivate();

 private:
  TZipCommon& FComponent;
  bool FActive = true;
};

// ---- Writer base ---------------------------------------------------------------------------

// What a row's entry holds: sizes, packed DOS date-time and attributes (fa* bits).
struct TEntryInfo {
  int64_t Size = 0;
  int64_t PackedSize = 0;
  uint32_t Date = 0;
  uint32_t Attr = 0;
  uint32_t Mode = 0;  // Unix st_mode of a new row's file (type and permissions); 0 unknown
};

// What a writer does with one row of its entry list.
enum TEntryAction : uint8_t { eaCompress, eaCopy, eaDrop, eaRename };

// Per-row data a format keeps (its headers, extra fields, comments).
struct TRowData {
  virtual ~TRowData() = default;
};

// One entry of the future archive.
struct TCompRow {
  TEntryAction Action = eaCompress;
  int64_t Offset = 0;              // kept rows: position in the old archive
  int64_t OutOffset = -1;          // where the entry was written in the new archive
  std::string Name;                // stored name, "/" separators
  std::string FullPath;            // new rows: the source file
  size_t RootLength = 0;           // length of the stored root the name was derived from
  TEntryInfo Info;                 // the entry's (new rows: the file's) information
  std::vector<uint8_t> Header;     // the format's stored header, when it keeps one
  std::shared_ptr<TRowData> Data;  // the format's per-row data
};

// The writer's entry list, in archive order, with a name index. Names are compared exactly:
// two files whose names differ only in case are two entries on Linux.
class TCompHeaderObj {
 public:
  std::vector<TCompRow> Rows;
  int Count() const { return int(Rows.size()); }
  TCompRow& operator[](int I) { return Rows[size_t(I)]; }
  const TCompRow& operator[](int I) const { return Rows[size_t(I)]; }
  int Add(TCompRow Row);
  // The row stored under Name (the last one added under it), -1 when none.
  int IndexOf(const std::string& Name) const;
  void Rename(int Index, const std::string& NewName);
  void Clear();

 private:
  std::unordered_map<std::string, int> FIndex;
};

// The longest common folder (trailing "/") of full paths or masks, compared byte for byte:
// the base folder of sdExplorer_Auto.
std::string CommonDir(const std::vector<std::string>& Spec);

class TCompBase : public TZipCommon {
 public:
  TCompBase();

  // Writers: a name without extension gets DefaultExt; the stub offset and the CancelFlag are
  // cleared. The type is not detected.
  void SetArchiveFile(const std::string& Value) override;
  // Writers take the type their format gives them (formats narrow it).
  void SetArcType(TArcType Value) override { FArcType = Value; }

  const std::string& DefaultExt() const { return FDefaultExt; }
  // "" or "." restores the format's own; otherwise a dot is prefixed when missing, the value is
  // cut to 4 characters and lower-cased; ArchiveFile follows (see the .cpp).
  void SetDefaultExt(const std::string& Value);

  // Where the temporary archive is built: the set folder when it exists, else the archive's
  // own folder, else the system temporary folder (always with a trailing "/").
  std::string TempDir() const;
  // "" restores the default. A missing folder asks OnConfirm with the 26899 question: yes
  // creates it, no restores the default.
  void SetTempDir(const std::string& Value);

  std::vector<std::string> StoreFilesOfType = DefaultStoreFilesOfType();

  // Compression threads of the writer run: 0 one per core, 1 none (all work on the caller's
  // thread). The archive's bytes are the same whatever the count.
  int Workers = 0;
  // The pool of the writer run, made at first use with Workers threads (again when Workers
  // changed since).
  TWorkerPool& Pool();

  // ---- The writer run (qrvBase_Compress.cpp) ----

  // Base folder of the explorer modes (trailing "/"): set by the host for
  // sdExplorer_UserDefineDefaultDir, computed from FileSpec for sdExplorer_Auto.
  std::string DefaultDir;

  // One update: returns the entries added (swDelete: deleted; swRead: headers read); 0 when
  // nothing was done, on error or when cancelled. The old archive is replaced only by a
  // complete new one.
  virtual int Compress();
  // The stored name of a file (full path): StoredDirNames applied with the current StoredRoot
  // and DefaultDir; "/" separators.
  std::string StoredNameOf(const std::string& FullPath) const;
  void SetCurrentName(const std::string& Name) override;
  // Whether ExcludeSpec leaves out the file FullPath stored as StoredName.
  bool Excluded(const std::string& FullPath, const std::string& StoredName) const;
  // The test of old entries under swDelete: whether FileSpec selects StoredName (and
  // ExcludeSpec does not reject it).
  bool SelectedForDelete(const std::string& StoredName) const;
  // Keeps a copy of the archive an update replaces in the Trash (an undo copy). Off by
  // default: the replacement is atomic, the old archive stays until the new one is complete.
  // DeleteOptions governs only the sources of swMove.
  bool BackupOldArchive = false;
  // Sources of swMove deleted after the run (full paths), for hosts and tests.
  const std::vector<std::string>& MovedSources() const { return FMoved; }
  // The new archive goes to this descriptor as it is made (standard output, a pipe that
  // cannot seek): no old archive is read, no temporary file is made, ArchiveFile only names the
  // kind. -1 (the default): the archive is ArchiveFile.
  int OutputHandle = -1;
  // Whether the format can write to OutputHandle.
  virtual bool WritesStreams() const { return false; }

 protected:
  // For format constructors: the extension a name without one gets.
  void SetFormatDefaultExt(const std::string& Ext);

  bool Streaming() const { return OutputHandle >= 0; }
  // Streaming: whether Row's entry is made in a staging stream first (memory, then an unlinked
  // temporary file beyond a bound) and sent once complete, for writers that seek back in an
  // entry. A staged entry that fails leaves nothing behind, as in a file.
  virtual bool StagesEntry(const TCompRow& Row) const { return true; }
  // Streaming: the entry being written goes straight out, so a failure cannot take its bytes
  // back. Its source is read through PaddedSource.
  bool FEntryStreamed = false;
  // The source of a streamed entry of Size bytes: a source that ends early or fails to read is
  // padded with zeros to Size, reported once (ecReadFile) for Name, so the entry stays whole
  // and the archive valid, as GNU tar does with a file that shrank.
  std::unique_ptr<TStream32> PaddedSource(std::unique_ptr<TStream32> In, int64_t Size, const std::string& Name);
  // Where staged entries spill: an explicitly set TempDir, else the system temporary folder.
  std::string StageDir() const;

  // ---- Format operations (the base does nothing unless stated) ----
  // Builds the new archive in Out from List; the frame's version runs the whole update.
  virtual void CompressArchive(TCompHeaderObj& List);
  // Reads the old archive (positioned at the archive proper) into List with eaCopy rows;
  // under swDelete the rows SelectedForDelete picks become eaDrop and count as deleted.
  // False when the old archive cannot be read (the run then stops).
  virtual bool ReadArchive(TStream32& Old, TCompHeaderObj& List) { return true; }
  // Fills the format's part of a new row from the file's information (Row.Info is set).
  virtual void FillHeader(TCompRow& Row, const TFileInfo& Info) {}
  // Largest file the format holds; a larger one is reported (25298) and skipped.
  virtual int64_t MaxFileSize() const { return INT32_MAX; }
  // Whether the format stores a symbolic link as a link: the scan then hands links on as
  // themselves instead of following them.
  virtual bool StoresLinks() const { return false; }
  // Size, packed size, date and attributes of a row's stored entry.
  virtual void HeaderToInfo(const TCompRow& Row, TEntryInfo& Info) { Info = Row.Info; }
  // Adds new row Index: OnBegin, OnRenameFile, then CompressData and EndFile. True on success.
  virtual bool CompressFile(TStream32& Out, TCompHeaderObj& List, int Index);
  // The look-ahead of the per-file loop: the rows of List the format compresses ahead on the
  // pool, registered in list order; nullptr (the default) when none.
  virtual std::unique_ptr<TCompressAhead> PlanAhead(TCompHeaderObj& List) { return nullptr; }
  // Writes the current row's entry; true on success.
  virtual bool CompressData(TStream32& Out, TCompHeaderObj& List, int Index) { return false; }
  // After CompressData, also when it failed or raised.
  virtual void EndFile(TCompHeaderObj& List, int Index, bool Ok) {}
  // Bytes row Index occupies in the old archive at Row.Offset (Old is positioned there).
  virtual int64_t EntrySize(TStream32& Old, TCompHeaderObj& List, int Index) { return 0; }
  // Writes kept row Index under its new name (Old positioned at the entry).
  virtual void RenameEntry(TStream32& Out, TStream32& Old, TCompHeaderObj& List, int Index) {}
  // swDelete removed every entry.
  virtual void RemoveArchive(TStream32& Out) {}
  // Length of a program stub in front of the old archive's first entry, copied as it is to the
  // new archive (a ZIP self-extractor); 0 for none.
  virtual int64_t StubLength(TStream32& Old) { return 0; }
  // The closing records; false on failure.
  virtual bool WriteTrailer(TStream32& Out, TCompHeaderObj& List) { return true; }
  // Last pass over the list after everything was written.
  virtual void FinishList(TCompHeaderObj& List) {}
  // For FinishList: OnRead for every entry this run added, with its offset in the new archive
  // (nothing under swDelete or without a handler).
  void ReportAddedOffsets(const TCompHeaderObj& List);
  // swRead: walk the headers. ReadFirstHeader seeks to the archive proper and reads one;
  // ReadNextHeader reads at FNextHeader (false when it is 0); ReadHeader reads one header at
  // the stream position and sets FNextHeader.
  virtual bool ReadFirstHeader(std::string& Name, TStream32& Stream);
  virtual bool ReadNextHeader(std::string& Name, TStream32& Stream);
  virtual bool ReadHeader(TStream32& Stream, std::string& Name) { return false; }

  // Steps of the run.
  bool PrepareBaseDir();
  bool CheckOldArchiveWritable();
  int ReadOnlyRun();
  bool BuildList(TCompHeaderObj& List);
  void OnScannedEntry(TCompHeaderObj& List, const std::string& Dir, const TqrvFindData& Data);
  void DecideKept(TCompHeaderObj& List, int Row, const std::string& FullPath, const TFileInfo& Info);
  void AppendNewRow(TCompHeaderObj& List, const std::string& Name, const std::string& FullPath, const TFileInfo& Info);
  void ProcessList(TCompHeaderObj& List, TStream32& Out, TStream32* Old);
  bool ProcessRow(TCompHeaderObj& List, int Index, TStream32& Out, TStream32* Old);
  void AskRename(TCompHeaderObj& List, int Index);
  void DeleteSources(const TCompHeaderObj& List);
  bool DeleteSource(const std::string& Path, std::string& Why);
  // Opens the Trash the moved sources go to (swMove with doAllowUndo) before the run writes.
  void OpenRunTrash();

  std::string FDefaultExt;
  std::string FFormatDefaultExt;
  std::string FTempDir;
  bool FNewArchive = false;             // the run creates the archive
  bool FWorkToDo = false;               // the list holds work for the run
  bool FNameClash = false;              // two files of the run map to one stored name
  std::set<std::string> FScannedNames;  // stored names the run's scan gave so far
  int FMarkedForDelete = 0;             // rows ReadArchive marked for deletion
  int64_t FNextHeader = 0;              // swRead: the next header's position (0: none)
  std::string FOutName;                 // the temporary output's file name (cmTempFile)
  uint64_t FOutDev = 0, FOutIno = 0;    // streaming into a regular file: that file (not packed)
  std::vector<std::string> FMoved;
  std::unique_ptr<TTrash> FTrash;  // the Trash of the moved sources, opened once per run
  std::unique_ptr<TWorkerPool> FPool;
  // The look-ahead of PlanAhead while the per-file loop runs (nullptr otherwise).
  std::unique_ptr<TCompressAhead> FAhead;
};

// ---- Reader base ---------------------------------------------------------------------------

// What a reader run does with the selected entries: write them out, decode and check them
// without writing anything, or only list them (no decoding).
enum TExtractMode : uint8_t { xmExtract, xmTest, xmList };

// One entry as the listing pass reports it.
struct TListEntry {
  std::string Name;          // stored name, converted, "/" separated
  uint32_t DosDateTime = 0;  // packed DOS date-time
  uint32_t Attr = 0;         // DOS attribute bits (0x10 a directory)
  int64_t Size = 0;
  int64_t PackedSize = 0;
  int Method = 0;
  std::string MethodName;
  uint32_t Crc32 = 0;
  bool Encrypted = false;
};

// A stored name as a report shows it: each NUL byte written as "\\0".
std::string ShownName(std::string_view Name);
// Whether a name holds a NUL byte (which would cut it short at any system call).
bool HasNul(std::string_view Name);

// How the per-entry step checks an entry's data once it is decoded: not at all (the data came
// out whole or not: TAR, folders), or against a stored CRC-16 or CRC-32.
enum TCheckKind : uint8_t { ckNone, ckCrc16, ckCrc32 };

// A link entry: made as a symbolic link, or as a hard link to an earlier entry.
enum TLinkKind : uint8_t { lkNone, lkSymbolic, lkHard };

// An entry's owner as a format stores it: ids (-1: none) and names ("" : none).
struct TEntryOwner {
  int64_t Uid = -1, Gid = -1;
  std::string UName, GName;
};

// One selected entry as the per-entry extract step (TUnBase::ExtractStep) takes it.
struct TStepEntry {
  std::string Name;  // stored name, converted ("/" or "\\" separated)
  bool IsDir = false;
  int64_t Size = 0;          // unpacked size: progress and the overwrite comparison
  uint32_t DosDateTime = 0;  // packed DOS date-time restored on the output
  // The exact modification time (Unix seconds) when the format stores one: restored as it is,
  // any year, and compared to the second; without it the DOS date applies, to two seconds.
  std::optional<int64_t> UnixTime;
  uint32_t Attr = 0;  // DOS attribute bits restored with RestoreFileAttr
  TCheckKind Check = ckCrc32;
  uint32_t Stored = 0;  // the stored CRC (ckCrc16, ckCrc32)
  // Unix permission bits restored with RestoreFileAttr (masked by the umask, never set-id or
  // sticky); 0 for none, when the DOS attributes apply.
  uint32_t UnixMode = 0;
  TLinkKind Link = lkNone;
  // Symbolic: the target as stored; hard: the stored name of the earlier entry.
  std::string LinkTarget;
  // The symbolic link's target is the entry's data (ZIP): decoded and checked, then made.
  bool LinkInData = false;
  // The stored owner (TAR), restored under RestoreOwners.
  std::optional<TEntryOwner> Owner;
};

class TUnBase : public TZipCommon {
 public:
  TUnBase();
  ~TUnBase() override;

  // OnFileExists of readers (asked when ConfirmOverwrites is set and the target exists).
  using TOnFileExistsFn = std::function<void(TZipCommon* Sender, const std::string& FileName, std::string& NewFileName,
                                             TOverwriteMode& OverwriteMode)>;
  TOnFileExistsFn OnFileExists;
  // Asked when no known password opens an encrypted entry (TryAgain false stops asking).
  std::function<void(TZipCommon* Sender, const std::string& FileName, std::string& Password, bool& TryAgain)>
      OnGetPassword;
  // Asked for a volume of a multi-volume set until the named file exists or Cancel is set.
  std::function<void(TZipCommon* Sender, std::string& VolumeName, const std::string& VolumeID, bool fExists,
                     bool& Cancel)>
      OnNextVolume;
  // The listing pass (xmList): one call per selected entry.
  std::function<void(TZipCommon* Sender, const TListEntry& Entry)> OnListEntry;

  // The output root; "" falls back to the archive's folder (then the current folder).
  const std::string& ExtractDir() const { return FExtractDir; }
  // Keeps the folder part with a trailing "/"; "" takes the archive's folder.
  void SetExtractDir(const std::string& Value);

  TExtractMode ExtractMode = xmExtract;
  // xmTest only: the decoded bytes of each selected file also go here, one after another in
  // archive order (brel-cli x -o -); nothing is made on disk.
  TStream32* DataSink = nullptr;
  // An existing output file whose size or date differs from the entry goes to the Trash before
  // the entry replaces it, so nothing the user changed is lost; an identical file, or one this
  // run wrote itself, is replaced. A file that cannot be trashed is kept and its entry reported
  // and skipped. The Trash is opened before the first entry and used through its descriptors.
  bool TrashChanged = false;
  // Extracting as root, entries that store an owner get it back, as GNU tar gives it: the user
  // and group named when this system knows them (not with NumericOwners), else the stored ids.
  // Never through a link; never for other users, who cannot give files away.
  bool RestoreOwners = true;
  bool NumericOwners = false;
  // Decoding threads of the reader run (formats that decode ahead): 0 one per core, 1 none (all
  // work on the caller's thread). Output, reports and events are the same whatever the count.
  int Workers = 0;
  // Files the last run moved to the Trash under TrashChanged.
  int TrashedFiles() const { return FTrashed; }
  // The current password (the one that opened the last encrypted entry).
  std::string Password;
  std::string GetPassword() const override { return Password; }

  // One reader run: opens the archive, lets the format select and extract (or test, or list)
  // its entries, closes everything. Returns the number of entries processed; 0 on failure.
  int Extract();

  // After an entry: passes when Stored equals the running CRC-16 (Bits 16) or CRC-32, or its
  // complement. An entry that was never decoded (skipped, output not opened, unsupported,
  // damaged) always fails. Fires OnEnd, or reports 25151 on failure without it.
  virtual bool CheckCRC(uint8_t Bits, uint32_t Stored);

  // Marks the entry in the per-entry step as reported, so that the step adds no CRC failure to
  // a failure someone has told already.
  void ReportError(const std::string& FileName, const std::string& ExtendedMsg, const std::string& VolumeID,
                   int32_t ECode) override;

  // Readers: the output path of stored name Name below ExtractDir (see the .cpp for how
  // ".." components, absolute paths and drive prefixes are neutralised). "" when nothing of
  // the name is left.
  void SetCurrentName(const std::string& Name) override;

  // The entry-mask test of a stored name against FileSpec, ExcludeSpec and RecurseDirs.
  bool EntrySelected(std::string_view StoredName);

 protected:
  // The format's loop over its entries (selection, then BeginEntry, OpenOutput, decoding,
  // CloseOutput and CheckCRC for each). Flag is reserved for the format. The frame's own
  // reads nothing.
  virtual int ExtractArchive(TStream32& Stream, int Flag) { return 0; }

  // The per-entry step every format's loop runs for a selected entry (test and extract modes):
  // a stored name holding a NUL byte is refused (25245) before anything else; then the output
  // name, BeginEntry, Prepare (optional: false skips the entry, having reported why), the output
  // (folders created, files opened; 25235 with the system's reason on failure, no CRC report),
  // Decode (writes the data through the block writer; true when all of it came out), closing,
  // and the check of E.Check. A write failure or a full disk removes the partial file. Returns
  // whether the entry passed; exceptions of Decode pass through after the output is discarded.
  bool ExtractStep(const TStepEntry& E, const std::function<bool()>& Decode, const std::function<bool()>& Prepare = {});
  // The loop of a format over its Count selected entries: Step(I) lists or extracts entry I,
  // until the run is cancelled; a raised error (a full disk) ends the pass, already reported.
  // Returns the entries processed.
  int ForEachSelected(size_t Count, const std::function<void(size_t I)>& Step);

  // Per entry, after SetCurrentName: OnRenameFile, OnBegin and the overwrite rules decide
  // whether the entry proceeds; counts it when it does.
  bool BeginEntry(bool IsDir);
  // Creates the directory (IsDir; only with CreateStoredDirs) or the output file, with its
  // missing parent folders, never following a symbolic link below ExtractDir. In test mode
  // nothing is created. False on failure (the caller reports it).
  bool OpenOutput(bool IsDir);
  // Sets the file's date (by DateAttribute) and, with RestoreFileAttr, its Unix mode (when not
  // 0) or else its DOS attributes, then closes it (25138 when closing fails). Test mode:
  // nothing to close.
  // UnixTime, when given, is restored instead of the DOS date (daFileDate).
  bool CloseOutput(uint32_t DosDateTime, uint32_t Attr, uint32_t UnixMode = 0,
                   std::optional<int64_t> UnixTime = std::nullopt);
  // Closes and deletes a half-written output (after a failed entry when nothing may stay).
  void DiscardOutput();
  // The data of the current entry went through the decoder completely and at its full size:
  // only then can its CRC check pass.
  void MarkEntryDecoded(bool Value = true) { FEntryDecoded = Value; }

  // The password check: Test tells whether a candidate opens the entry (it leaves the cipher
  // ready for the data when it does). Tries Password, then Passwords, then OnGetPassword up to
  // PasswordAttempts times. Reports 25270 without a handler, 26517 for refused answers.
  bool CheckPassword(const std::string& EntryName, const std::function<bool(const std::string&)>& Test);

  // The file of volume N of a ZIP multi-volume set, asking OnNextVolume until it exists.
  // "" when there is none (reported: 25251, 25245, 25270 or 25443).
  std::string FindVolume(int N);

  // The newest packed date of the selected entries (daMaxFileDate).
  void NoteEntryDate(uint32_t DosDateTime) { NewestDate = std::max(NewestDate, DosDateTime); }
  // Output sink shared by the decoders: CRC-32, bytes still to process, progress.
  // CrcBits 0: the caller has the CRC already (decoded ahead) and sets it itself.
  int64_t SinkWrite(const uint8_t* Data, int64_t Count, int CrcBits = 32);

  std::string FExtractDir;
  int FTrashed = 0;           // files trashed under TrashChanged in the current run
  int FOutputErrno = 0;       // why the last OpenOutput failed
  bool FWriteFailed = false;  // the current entry's output could not be written
  // Something reported since the per-entry step began the current entry (ReportError sets it;
  // the step clears it): that entry's failure is told.
  bool FEntryReported = false;
  bool FEntryDecoded = false;
  bool FOutputIsDir = false;

 private:
  std::string EffectiveExtractDir() const;
  // The folder output names start from: the run's root, else EffectiveExtractDir (kept).
  const std::string& NameRoot();
  struct TNameRoot {
    std::string ExtractDir, Archive, Dir;  // Dir as computed from the other two
    bool Valid = false;
  } FNameRoot;
  // FileSpec and ExcludeSpec compiled for the entry test, with the settings they were made for.
  struct TEntryMasks {
    explicit TEntryMasks(const TUnBase& R);
    // Whether they still are R's settings.
    bool Current(const TUnBase& R) const;
    // The test of a "/" separated stored name S with its non-empty name part Part.
    bool Selects(std::string_view S, std::string_view Part) const;
    struct TMask {
      std::string Text, DottedText;  // "/" separated; with "." added as the retry uses it
      TInternalMask Plain, Dotted;
    };
    std::vector<std::string> Spec, Exclude;
    bool Recurse, CaseSensitive;
    std::vector<TMask> Masks;
    std::vector<TInternalMask> Excluded;
  };
  std::unique_ptr<TEntryMasks> FMasks;
  std::string FSelectName;  // a stored name with "\\" turned into "/"
  bool AskOverwrite();
  // A name the host answered (OnRenameFile, OnFileExists): refused (reported, false) when it
  // holds a NUL byte; else its folder is made, below the output root without following links.
  bool TakeHostName(const std::string& Name);
  // A folder entry that names the output root itself: ".." in it is refused (reported); the
  // root's own mode and times are never changed.
  bool RefuseRootClimb(const TStepEntry& E);
  bool TrashIfChanged(const TStepEntry& E);
  bool FinishStep(const TStepEntry& E, bool Decoded);
  // The end of an entry without a CRC to check: OnEnd, or else one 25151 for a failure that
  // nothing reported; returns Pass.
  bool EndEntry(bool Pass);
  // Gives the output its stored owner (RestoreOwners): the open file Fd, else Base in folder Dir
  // without following a link. Reports a failure.
  void RestoreOwner(const TStepEntry& E, int Fd, int Dir = -1, const std::string& Base = {});
  // Extract mode, a link entry: its target (decoded first when LinkInData), then the link.
  bool LinkStep(const TStepEntry& E, const std::function<bool()>& Decode);
  // Makes the link at the current output name (what was there goes, a folder excepted); a
  // hard link only to a file this run extracted, a copy where the file system refuses links.
  // Reports its failures.
  bool MakeLink(const TStepEntry& E, const std::string& Target);
  bool HardLink(int Dir, const std::string& Base, const std::string& TargetName);
  // Folder modes wait for the end of the run, so a read-only folder still takes its entries.
  void ApplyDirModes();
  bool OpenOutputAt(bool IsDir);
  // A folder descriptor: borrowed from FDirChain (valid until the chain changes) or owned and
  // closed with this object.
  struct TDirRef {
    int Fd = -1;
    bool Owned = false;
    TDirRef(int F, bool O) : Fd(F), Owned(O) {}
    TDirRef(TDirRef&& Other) noexcept : Fd(Other.Fd), Owned(Other.Owned) { Other.Fd = -1; }
    TDirRef& operator=(TDirRef&&) = delete;
    ~TDirRef();
    int Take();  // a descriptor the caller owns: this one, or a duplicate of a borrowed one
  };
  // The folder named by Parts below the output root, continuing the chain of folders already
  // open; every step is a no-follow open from a descriptor of this run, a missing folder is
  // made when Create. A name with "." or ".." is walked afresh and never cached.
  TDirRef ReachDir(const std::vector<std::string>& Parts, bool Create);
  // The folder at Path itself, or the one that is to hold Path (Base receives the last
  // component): through ReachDir below the output root, opened as given elsewhere (a path the
  // host named).
  TDirRef OutputDir(const std::string& Path, bool Create);
  TDirRef ParentDir(const std::string& Path, std::string& Base, bool Create);
  // As ParentDir, a descriptor the caller closes.
  int OpenParentDir(const std::string& Path, std::string& Base, bool Create);
  // Closes the chain: whenever the run changes the tree other than by creating, the host
  // answered a name, and at the start and end of a run.
  void DropDirCache();
  // What is at Path, seen the way the opener sees it: no link is followed below the output
  // root, the last component's included. False when nothing is there or a folder on the way
  // is a link.
  bool StatOutput(const std::string& Path, struct stat& St);
  std::unique_ptr<TFileStream32> FOutFile;
  std::set<std::string> FMadeFiles;                         // output paths of the files this run extracted
  std::vector<std::pair<std::string, uint32_t>> FDirModes;  // folders and their modes
  std::map<std::string, int64_t> FOwnerIds;                 // "u:NAME" / "g:NAME" -> id (-1: unknown here)
  uint32_t FUmask = 022;                                    // the process's umask, read at the start of a run
  int FRootFd = -1;                                         // ExtractDir, opened once per run
  // Folders below the root the run opened, as a chain: FDirChain[i] is the folder named by the
  // first i+1 components of the last path reached (at most kDirChainDepth, bounding the
  // descriptors one run holds).
  struct TChainDir {
    std::string Name;
    int Fd;
  };
  static constexpr size_t kDirChainDepth = 32;
  std::vector<TChainDir> FDirChain;
  std::unique_ptr<TTrash> FTrash;  // the home Trash under TrashChanged, opened once per run
  std::string FRootDir;            // its path with trailing "/"
};

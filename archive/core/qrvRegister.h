// Root of the archive components and the temporary archive streams a writer run builds its new
// archive in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/core/qrvStreams.h"
#include "archive/core/qrvZipRecords.h"

// What the temporary archive streams need from the component that owns them. The component
// frame implements it.
class ITempStreamOwner {
 public:
  virtual ~ITempStreamOwner() = default;
  // The component's CancelFlag and its counter of bytes still to process.
  virtual bool* TempCancelFlag() = 0;
  virtual int64_t* TempBytesToGo() = 0;
  // Sets the run's byte total and the bytes still to process to Total (before the move copy).
  virtual void SetTempByteTotal(int64_t Total) = 0;
  // The component's progress step (the stream copy with progress).
  virtual void DoStreamProgress() = 0;
  // OnTmpFileMoveBegin(Archive, TempFileName, Cancel); Cancel starts false.
  virtual void DoTmpFileMoveBegin(const std::string& Archive, const std::string& TempFileName, bool& Cancel) = 0;
  virtual void DoTmpFileMoveEnd() = 0;
  // OnTmpFileProgress, percentages from Position against the run's byte total.
  virtual void DoTmpFileProgress(int64_t Position) = 0;
  // Fires OnError; never throws.
  virtual void ReportError(const std::string& FileName, const std::string& ExtendedMsg, const std::string& VolumeID,
                           int32_t ECode) = 0;
};

// The new archive of a writer run, built in a uniquely named "qrv" file in TempDir (or the
// system temporary folder when TempDir does not exist) when Mode is fmCreate; with any other
// Mode it just opens ArchiveName (the old archive, for reading).
//
// Finish() moves the finished file over ArchiveName: fires OnTmpFileMoveBegin, renames it
// (same file system) or copies it beside the archive with OnTmpFileProgress and renames that,
// fires OnTmpFileMoveEnd. The old archive stays intact until the new one is complete and in
// place. Nothing is moved, and the temporary file is deleted, when the CancelFlag is set, the
// stream is Abandoned, OnTmpFileMoveBegin cancels, or any write to the stream failed. A failure
// while moving reports 25160 for a full disk and raises. The destructor runs Finish() when it
// was not called, swallowing exceptions; during exception unwinding it only deletes.
class TTempFileStream : public TFileStream32 {
 public:
  TTempFileStream(ITempStreamOwner& Component, uint16_t Mode, const std::string& ArchiveName,
                  const std::string& TempDir);
  ~TTempFileStream() override;

  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;
  int64_t CopyFrom(TStream32& Source, int64_t Count) override;

  // True when the archive was replaced.
  bool Finish();
  // Deletes the temporary file without touching the archive.
  void Discard();

  bool Abandoned = false;  // the run added and deleted nothing: leave the archive as it was
  bool AllowUndo = false;  // keep the old archive in the Trash when it is replaced
  bool IsTemporary() const { return FTemporary; }
  const std::string& TempFileName() const { return FFileName; }
  const std::string& ArchiveName() const { return FArchiveName; }
  bool WriteFailed() const { return FWriteFailed; }

 private:
  static int OpenOrCreate(uint16_t Mode, const std::string& ArchiveName, const std::string& TempDir, std::string& Name);
  ITempStreamOwner& FOwner;
  std::string FArchiveName;
  bool FTemporary;
  bool FWriteFailed = false;
  bool FDone = false;
  int FUncaught;
};

// The new archive of a writer run built in memory. Finish() writes it to a temporary file beside
// ArchiveName with progress and renames that over the archive (OnTmpFileMoveBegin before,
// OnTmpFileMoveEnd after); the same rules as TTempFileStream for cancel, Abandoned and
// failures. With a Mode other than fmCreate the memory is loaded from ArchiveName.
class TTempMemStream : public TMemoryStream32 {
 public:
  TTempMemStream(ITempStreamOwner& Component, uint16_t Mode, const std::string& ArchiveName);
  ~TTempMemStream() override;

  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;

  bool Finish();
  void Discard();

  bool Abandoned = false;
  bool AllowUndo = false;
  const std::string& ArchiveName() const { return FArchiveName; }

 private:
  ITempStreamOwner& FOwner;
  std::string FArchiveName;
  bool FTemporary;
  bool FWriteFailed = false;
  bool FDone = false;
  int FUncaught;
};

// ---------------------------------------------------------------------------------------------
// Archive types and detection by content

// The order is binding: a value is its position.
enum TArcType : uint8_t {
  atNA,
  atUnsupported,
  atFileOpenErr,
  atUnknown,
  atAce,
  atAceExe,
  atArc,
  atArcExe,
  atArj,
  atArjExe,
  atBh,
  atBhExe,
  atCab,
  atCabExe,
  atGZip,
  atHA,
  atJar,
  atJarExe,
  atLha,
  atLhaExe,
  atLzh,
  atLzhExe,
  atMsGZ,
  atPak,
  atPakExe,
  atRar,
  atRarExe,
  atTar,
  atTarGZip,
  atUUE,
  atZip,
  atZipExe,
  atZipDS,
  atZipMV,
  atZoo
};
constexpr int ArcTypeCount = atZoo + 1;

// Display name, padded to 10 characters ("Not avail. " has 11; "MsGZ" ends in five spaces and a
// tab). Out-of-range values give "".
const char* GetArcTypeName(TArcType ArcType);
// The value's own name ("atZipExe"); "" out of range.
const char* GetArcTypeValueName(TArcType ArcType);
// Not one of atNA, atUnsupported, atFileOpenErr, atUnknown.
bool IsValidArcType(TArcType ArcType);

// The fixed type sets.
bool IsZipFamilyType(TArcType T);    // atZip, atZipExe, atZipMV (IsTypeIn of the frame)
bool IsZipLikeType(TArcType T);      // atJar, atJarExe, atZip, atZipExe: located via the directory
bool IsSelfOpenedType(TArcType T);   // atAce(Exe), atCab(Exe), atRar(Exe): the reader opens them
bool IsMultiVolumeType(TArcType T);  // atAce, atArj, atJar, atJarExe, atRar, atRarExe

// Root of the archive components: the archive file name, its type and where it begins, found
// by content.
class TArvexComponent {
 public:
  TArvexComponent() = default;
  virtual ~TArvexComponent() = default;
  TArvexComponent(const TArvexComponent&) = delete;
  TArvexComponent& operator=(const TArvexComponent&) = delete;

  virtual std::string ArchiveFile() const { return FArchiveFile; }
  // Root and readers: an existing file is named and its type detected (atNA when it cannot be
  // opened); a missing file gives atNA and an empty name. Volume numbering follows for
  // recognised multi-volume types.
  virtual void SetArchiveFile(const std::string& Value);
  TArcType ArcType() const { return FArcType; }
  // Root: detects the type of ArchiveFile again (the value is not taken); a file that cannot be
  // opened gives atNA and raises EFOpenError (25235). Formats override it to take their types.
  virtual void SetArcType(TArcType Value);

  // Runs the whole detection on Stream (from its start) and returns the type; sets Offset,
  // ArchiveSize, ZipLocation and ArchiveDate on the way. Never throws.
  TArcType DetectType(TStream32& Stream);

  // Detection results.
  int64_t Offset() const { return FOffset; }  // ZIP types: central directory (or local header)
  int64_t ArchiveSize() const { return FArchiveSize; }
  uint32_t ArchiveDate() const { return FArchiveDate; }  // packed DOS date-time of the file
  const TZipLocation& ZipLocation() const { return FZipLocation; }
  int VolumeNumber() const { return FVolumeNumber; }
  char VolumeLetter() const { return FVolumeLetter; }
  // Where the archive proper begins, i.e. the length of a stub in front of it: Offset for
  // every type but ZIP types found through the directory, whose first local header it is.
  int64_t ArchiveStart() const;

 protected:
  // Detection when the file starts with "MZ".
  TArcType ProbeExe(TStream32& S, const std::vector<uint8_t>& Head);
  // Content probes at a position; Mode 1 the start of a file, 0 behind a program stub.
  TArcType Probe(TStream32& S, int Mode, const uint8_t* Bytes, int64_t Pos);
  TArcType ZipSpanningTest();
  // The end-record search; sets FZipLocation. Returns its result.
  int64_t ZipDirectorySearch(TStream32& S);
  TArcType GenericScan(TStream32& S, int64_t From);
  bool UueTest(const std::vector<uint8_t>& Head);
  bool TarTest(TStream32& S);
  void ReadVolumeNumbering();

  std::string FArchiveFile;
  TArcType FArcType = atNA;
  int64_t FOffset = -1;
  int64_t FArchiveSize = 0;
  uint32_t FArchiveDate = 0x00210020;
  TZipLocation FZipLocation;
  bool FZipSearched = false;
  int FVolumeNumber = 0;
  char FVolumeLetter = 0;
};

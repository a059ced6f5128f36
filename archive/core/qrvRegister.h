// Root of the archive components and the temporary archive streams a writer run builds its new
// archive in.
#pragma once

#include <cstdint>
#include <string>

#include "archive/core/qrvStreams.h"

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
  virtual void DoTmpFileMoveBegin(const std::string& Archive, const std::string& TempFileName,
                                  bool& Cancel) = 0;
  virtual void DoTmpFileMoveEnd() = 0;
  // OnTmpFileProgress, percentages from Position against the run's byte total.
  virtual void DoTmpFileProgress(int64_t Position) = 0;
  // Fires OnError; never throws.
  virtual void ReportError(const std::string& FileName, const std::string& ExtendedMsg,
                           const std::string& VolumeID, int32_t ECode) = 0;
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
  static int OpenOrCreate(uint16_t Mode, const std::string& ArchiveName, const std::string& TempDir,
                          std::string& Name);
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

// Numbered error codes, their English texts and the exception classes of the archive components.
//
// The error contract of every component:
// - A decoder reports nothing: it returns its status (TDecodeStatus) and the format turns a
//   failure into one report naming the entry.
// - One entry failed (damaged data, bad CRC, unknown method, output not writable): the format
//   or the frame's per-entry step reports it once through ReportError and the run goes on with
//   the next entry. Any report made while the step has an entry open marks that entry as
//   reported; the step adds its one CRC report (25151) only to a failed entry nothing reported.
// - The run cannot go on (disk full, the archive unreadable, the output lost): throw. Whoever
//   reports before throwing uses RaiseError (or sets Reported); the exception then says so.
//   The run's boundary (Compress, ProcessRow, Extract, ForEachSelected) catches it and reports
//   it only when it is not Reported: exactly one report per failure, none swallowed.
// - Every report reaches OnError; the host counts them: the archive jobs give joFailed,
//   brel-cli prints each and exits 1.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// Codes the components raise or report (the full table, including texts no component uses,
// is in qrvErrors.cpp; ErrorText looks any code up).
enum : int32_t {
  ecNone = 0,
  ecBadFileHeader = 25114,
  ecBadLocalHeaderOffset = 25115,
  ecBadBlock = 25116,
  ecWriteFile = 25136,
  ecCloseFile = 25138,
  ecCorruptInput = 25140,
  ecCrcCheck = 25151,
  ecSpanLabel = 25154,
  ecInvalidDir = 25158,
  ecDiskFull = 25160,
  ecNotAccessible = 25170,
  ecWriteProtected = 25171,
  ecDeleteFile = 25180,
  ecFileNotFound = 25192,
  ecOpenFile = 25235,
  ecReadFile = 25236,
  ecUnsupportedType = 25244,
  ecInvalidFileName = 25245,
  ecMaxVolumes = 25251,
  ecOutOfMemory = 25253,
  ecMemStreamExpand = 25254,
  ecCabinetDll = 25261,
  ecNothingToDo = 25268,
  ecEventNotAssigned = 25270,
  ecPropertyNotAssigned = 25271,
  ecSeekError = 25292,
  ecFileSizeNotSupported = 25298,
  ecStackOverflow = 25305,
  ecStreamReadWrite = 25310,
  ecUnsupportedMethod = 25326,
  ecUnknownFileType = 25327,
  ecUserCanceled = 25443,
  ecInvalidPassword = 26517,
  ecNothingToDelete = 26859,
  ecCreateTempDirQuestion = 26899,
  ecHeaderNotFound = 25259,
};

// Text of a code (or of one of the non-error string ids 25232, 26000-26002); "" for unknown.
std::string ErrorText(int32_t Code);

// Texts of the stream classes that are not numbered resources.
extern const char* const SReadError;   // "Stream read error"
extern const char* const SWriteError;  // "Stream write error"
extern const char* const SRangeError;  // "Range check error"

// Root of every exception the archive code throws. ECode is the numbered code (0 when the
// failure has no number of its own, e.g. a range check); FileName names the file concerned.
class EArchiveError : public std::runtime_error {
 public:
  explicit EArchiveError(int32_t Code, const std::string& FileName = {});
  EArchiveError(int32_t Code, const std::string& Message, const std::string& FileName);
  int32_t ECode;
  std::string FileName;
  bool Reported = false;  // OnError has been fired for it already (RaiseError)
};

// A file could not be opened or created (code 25235 unless stated otherwise).
class EFOpenError : public EArchiveError {
 public:
  using EArchiveError::EArchiveError;
};

// A short read in ReadBuffer: message "Stream read error", code 25236.
class EReadError : public EArchiveError {
 public:
  using EArchiveError::EArchiveError;
};

// A short write in WriteBuffer: "Stream write error" with code 25136, or "Disk full" with 25160.
class EWriteError : public EArchiveError {
 public:
  using EArchiveError::EArchiveError;
};

// A size or offset outside the range a stream supports: "Range check error", code 0.
class ERangeError : public EArchiveError {
 public:
  using EArchiveError::EArchiveError;
};

// Failures of the cabinet binding.
class ECabinetError : public EArchiveError {
 public:
  using EArchiveError::EArchiveError;
};

// Which exception class a raise should use (for RaiseError-style helpers that pick a class).
enum TErrorClass { ecsArchive, ecsFOpen, ecsRead, ecsWrite, ecsRange, ecsCabinet };

// Throws an exception of the given class whose message is the text of Code; Reported: the
// failure was reported already.
[[noreturn]] void ThrowError(TErrorClass Class, int32_t Code, const std::string& FileName = {}, bool Reported = false);

// True when an errno value means the file system is full (ENOSPC, EDQUOT).
bool IsDiskFullErrno(int Err);

// TUnLibArc: extracts, tests or lists the archives brel has no reader of its own for (7z, RAR,
// cpio, ISO 9660, ar, xar, tar under xz, zstd, bzip2, lz4, lzip, lzma, compress, uuencode, rpm)
// and lone compressed files (notes.txt.gz), through libarchive. libarchive only parses and
// decodes: every entry goes through the frame's per-entry step, which owns every path, link,
// mode and overwrite decision. One pass: entries are taken in archive order as they stream by.
#pragma once

#include <locale.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/core/qrvBase.h"

struct archive;
struct archive_entry;

// What libarchive makes of a file.
struct TLibArcKind {
  std::string Name;           // "7z", "RAR5", "tar.xz", "ISO 9660", "cpio", "ar", "gzip"...; "" when not read
  bool Single = false;        // a lone compressed file: one member, named after the file
  std::string FirstVolume{};  // a later volume of a set: the set's first volume (read nothing)
};

// Asks libarchive whether it reads Path (its first volume, for a volume set) as one of the kinds
// above. Formats and filters brel reads itself are not asked for here; callers try those first.
TLibArcKind DetectLibArcKind(const std::string& Path);

// The files of the volume set Path opens (.7z.001 .002..., .part1.rar .part2.rar..., .rar .r00
// .r01...), in order; just Path when it is not the first volume of a set.
std::vector<std::string> LibArcVolumes(const std::string& Path);

// The first volume of the set when Path names a later one (x.part2.rar -> x.part1.rar, x.r00 ->
// x.rar, x.7z.002 -> x.7z.001; the last two only when the first is there), else "".
std::string LibArcFirstVolume(const std::string& Path);

// The name a lone compressed file extracts under: its own name without the compressor's
// extension (notes.txt.gz -> notes.txt), or with ".out" added when it has none of them, so the
// output never takes the archive's own name.
std::string LoneMemberName(const std::string& ArchivePath);

// libarchive converts stored names (RAR's UTF-16, for one) to the charset of the current
// locale, and gives none where that fails. For its lifetime this gives the calling thread a
// UTF-8 locale, so every name comes out as UTF-8 whatever the process's locale is.
class TUtf8Names {
 public:
  TUtf8Names();
  ~TUtf8Names();
  TUtf8Names(const TUtf8Names&) = delete;
  TUtf8Names& operator=(const TUtf8Names&) = delete;

 private:
  locale_t FLocale;
  locale_t FOld = nullptr;
};

// Shared by the reader and detection: a libarchive reader with the kinds above enabled; the
// kind of an open one; an open over a frame stream (read, seek and skip callbacks, stopped by
// the cancel flag).
archive* NewLibArcReader();
TLibArcKind LibArcKindOf(archive* A);
// A stream of unknown size (a decoding stream) is read forward only; when Decoder is set, its
// failure ends the read with the codec's reason.
struct TLibArcSource {
  TStream32* Stream = nullptr;
  TDecodeStream* Decoder = nullptr;
  bool* Cancel = nullptr;
  std::vector<uint8_t> Buffer;
};
int OpenLibArcStream(archive* A, TLibArcSource& Source);

class TUnLibArc : public TUnBase {
 public:
  TUnLibArc();
  ~TUnLibArc() override;

 protected:
  int ExtractArchive(TStream32& Stream, int Flag) override;

 private:
  // Opens the archive over Stream (or the whole volume set) with the kinds above enabled.
  bool Open(TStream32& Stream);
  void Close();
  // The loop over the entries; ends at the archive's end, a fatal error or a cancel.
  void ReadEntries();
  void ListEntry(archive_entry* E, const std::string& Name);
  void ExtractEntry(archive_entry* E, const std::string& Name);
  // Passes each data block of the open entry to Take (data, size, offset) until the entry ends
  // (true) or Take refuses one, the run is cancelled or libarchive fails (reported at Where).
  bool ReadBlocks(const std::string& Where, const std::function<bool(const void*, size_t, int64_t)>& Take);
  // Reports a failed check of libarchive's (a warning on the data) at Where; false.
  bool CheckFailed(const std::string& Where);
  // The size of the open entry's data, by decoding it (list mode, lone files).
  int64_t CountData();
  TStepEntry StepOf(archive_entry* E, const std::string& Name) const;
  // Reads the entry's first data block before any output exists, so an entry whose data cannot
  // be read (encrypted, damaged at its start) leaves no empty file. False when reported.
  bool FetchFirstBlock(archive_entry* E);
  // Writes the fetched block and the rest of the entry's data through the block writer.
  bool CopyData(int64_t Size);
  bool WriteAt(const void* Data, size_t Count, int64_t Offset);
  // The next password for libarchive: OnGetPassword, PasswordAttempts times at most.
  const char* NextPassphrase();
  static const char* PassphraseCallback(archive* A, void* Self);
  // Progress of a streaming read: the share of the archive's bytes libarchive has consumed.
  void StreamProgress();
  void ReportArchive(const std::string& Why, int32_t Code);
  // libarchive's text for its last failure.
  std::string LibError() const;
  // The code of a failure: the damage brel's decoder found (a CRC failure, a cut stream), else
  // Default.
  int32_t FailCode(int32_t Default) const;
  // For a volume set: how many volumes were read, so a missing one is easy to spot.
  std::string VolumeNote() const;

  // Opens a compressed tar (tar.xz, tar.zst...) through brel's decoding stream, which decodes
  // in a thread of its own ahead of libarchive; false when Stream is not one (R is then not set).
  bool OpenDecoded(TStream32& Stream, int& R);

  archive* FArc = nullptr;
  TLibArcSource FSource;
  std::unique_ptr<TDecodeStream> FDecoder;
  std::vector<std::string> FVolumes;
  int64_t FArcBytes = 0;         // size of the archive (all volumes)
  const void* FBlock = nullptr;  // the fetched first block
  size_t FBlockSize = 0;
  int64_t FBlockOffset = 0;
  bool FBlockEnd = false;     // the entry ended at or before the fetched block
  bool FBlockWarn = false;    // libarchive's check failed at the fetched block
  int64_t FWritten = 0;       // output position in the current entry
  int64_t FDoneOut = 0;       // bytes the run wrote out so far
  bool FFatal = false;        // libarchive can go no further
  int FEncryptedSkipped = 0;  // encrypted entries libarchive could not decrypt
  int FPassAsked = 0;
  std::string FPassAnswer;
  std::string FKindName;
  bool FSingle = false;
};

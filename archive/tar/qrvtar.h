// Tape archives: the 512-byte header format (numbers, checksums, GNU long names, pax records),
// the walk over an archive's entries that the writer and the reader share, and the writer TTar.
//
// Layout of the unit: qrvtar_Header.cpp holds the header format and the walk; qrvtar.cpp the
// writer and its gzip pass.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "archive/core/qrvBase.h"

// ---- Header format -------------------------------------------------------------------------

constexpr int TarBlockSize = 512;
constexpr int64_t TarRecordSize = 10240;  // archives are padded to a multiple of this
constexpr int TarNameSize = 100;

using TTarBlock = std::array<uint8_t, TarBlockSize>;

// Field offsets and widths.
enum : int {
  thName = 0, thMode = 100, thUid = 108, thGid = 116, thSize = 124, thMtime = 136,
  thChksum = 148, thTypeflag = 156, thLinkname = 157, thMagic = 257, thUname = 265,
  thGname = 297, thPrefix = 345,
};
enum : int {
  twMode = 8, twUid = 8, twGid = 8, twSize = 12, twMtime = 12, twChksum = 8, twUname = 32,
  twGname = 32, twPrefix = 155,
};

// Rounds a data size up to whole blocks.
constexpr int64_t TarPadded(int64_t Size) {
  return (Size + TarBlockSize - 1) / TarBlockSize * TarBlockSize;
}

// Writes Value as Width-1 zero-padded octal digits and a NUL; a value too large for them is
// written in GNU base-256 form (0x80 marker, big-endian binary over the whole field).
void TarPutNumber(uint8_t* Field, int Width, uint64_t Value);

// Reads a number field: GNU base-256 when the first byte has bit 7 set (false for negative
// values and values beyond int64), else the octal digits up to the first NUL, other characters
// skipped; an empty field reads as 0.
bool TarGetNumber(const uint8_t* Field, int Width, int64_t& Value);

// Sum of the header bytes with the checksum field counted as spaces: bytes taken unsigned, and
// signed as some old writers did.
uint32_t TarChecksum(const TTarBlock& H);
int32_t TarSignedChecksum(const TTarBlock& H);

// The two forms of the stored checksum: 7 digits and NUL (new entries), 6 digits, NUL and space
// (renamed entries). Both read back to the same value.
enum TTarChecksumForm { tcSevenDigits, tcSixDigitsSpace };
void TarPutChecksum(TTarBlock& H, TTarChecksumForm Form);
// The stored checksum equals the unsigned or the signed sum.
bool TarChecksumMatches(const TTarBlock& H);

bool TarIsZeroBlock(const TTarBlock& H);

// Values of one header as TTar writes it.
struct TTarHeaderValues {
  std::string Name;       // "/" separated; a directory's ends in "/"; at most 100 bytes used
  char Typeflag = '0';    // '0' file, '5' directory, 'L' long name record
  int64_t Size = 0;
  int64_t MTime = 0;      // Unix seconds
  uint64_t Uid = 2, Gid = 2;
  std::string UName = "root", GName = "root";  // cut to 32 bytes
};

// Fills a header (mode 0100444 for files, 0040555 for directories, magic "ustar  ") with its
// checksum in the 7-digit form.
void TarBuildHeader(TTarBlock& H, const TTarHeaderValues& V);

// The blocks that announce Name when it does not fit the name field: a GNU long-name record
// (typeflag 'L', name "././@LongLink") and its data, the name and a NUL padded to whole blocks.
// Empty when Name fits.
std::vector<uint8_t> TarLongNameBlocks(const std::string& Name, const TTarHeaderValues& Owner);

// ---- Walking an archive --------------------------------------------------------------------

// One entry of an archive, with the metadata records in front of it applied.
struct TTarEntry {
  std::string Name;          // "/" separated, as stored (long name, pax path or ustar prefix)
  char Typeflag = '0';
  int64_t Size = 0;          // data bytes
  int64_t MTime = 0;         // Unix seconds
  uint32_t Checksum = 0;     // the stored checksum's value
  int64_t EntryOffset = 0;   // first block of the entry (its first metadata record)
  int64_t HeaderOffset = 0;  // the entry's own header
  int64_t DataOffset = 0;    // HeaderOffset + 512
  int64_t EndOffset = 0;     // after the data's padding
  TTarBlock Header{};
  std::string LinkName;      // link target (pax linkpath, GNU long link or the linkname field)
  bool IsDir() const;
  // A hard link ('1'), symbolic link ('2'), device ('3', '4') or FIFO ('6'): no file data.
  bool IsSpecial() const;
};

// Walks the headers of a tape archive from offset 0. Zero blocks and headers without a name or
// with a zero checksum field are stepped over; a block whose checksum does not match is stepped
// over one block at a time and counted. GNU 'L' and 'K' records, pax 'x' and 'g' records and
// volume labels are not entries: long names and pax path and size apply to the entry that
// follows. Every read is bounded by the stream's
// size; a short read ends the walk.
class TTarWalker {
 public:
  TTarWalker(TStream32& Stream, const bool* CancelFlag = nullptr);
  // The next entry; false at the end of the archive (or when cancelled).
  bool Next(TTarEntry& E);
  int BadHeaders() const { return FBadHeaders; }
  // Position where the next header is looked for.
  int64_t Position() const { return FPos; }
  void SetPosition(int64_t Pos) { FPos = Pos; }

  // Largest metadata record that is read (larger ones are stepped over).
  static constexpr int64_t MaxMetaSize = 1 << 20;

 private:
  bool ReadBlock(int64_t Pos, TTarBlock& B);
  bool ReadData(int64_t Pos, int64_t Size, std::string& Out);
  void ClearPending();
  TStream32& FStream;
  const bool* FCancel;
  int64_t FSize;
  int64_t FPos = 0;
  int FBadHeaders = 0;
  std::string FLongName;
  std::string FLongLink;
  bool FHaveLongName = false;
  std::map<std::string, std::string> FPax;
  int64_t FEntryStart = -1;
};

// Parses pax extended header records ("LEN key=value\n") into Out (later keys win). Stops at
// the first malformed record.
void TarParsePax(const std::string& Data, std::map<std::string, std::string>& Out);

// ---- The writer ----------------------------------------------------------------------------

#include "archive/zip/qrvGZip.h"

// Writes uncompressed tape archives; with CompressMethod cmTarGzip the finished archive is
// gzipped afterwards (x.tar.gz or x.tgz). Names longer than 100 bytes get a GNU long-name record.
class TTar : public TCompBase {
 public:
  TTar();

  int UnixUID = 2;
  int UnixGID = 2;
  std::string UnixUName = "root";  // at most 32 bytes are written
  std::string UnixGName = "root";

  // Asked by the gzip pass when the .gz file exists (taken over by its TGZip).
  std::function<void(TZipCommon* Sender, const std::string& FileName, TDateTime FileDate,
                     TOverwriteMode& OverwriteMode)> OnFileExists;

  // Writers' rules; with cmTarGzip a name ending in ".tgz" or ".gz" is built as "NAME.tar"
  // (at Compress, "NAME.1.tar" and so on when that exists) and gzipped to the name given. No
  // existing file is moved or replaced on the way.
  void SetArchiveFile(const std::string& Value) override;
  // The type stays atTar (atTarGZip with the gzip pass).
  void SetArcType(TArcType Value) override {}
  // With the gzip pass an existing .gz archive is unpacked first, so an update keeps its
  // entries; the unpacked tar is removed again at the end.
  int Compress() override;

 protected:
  bool ReadArchive(TStream32& Old, TCompHeaderObj& List) override;
  bool CompressData(TStream32& Out, TCompHeaderObj& List, int Index) override;
  void EndFile(TCompHeaderObj& List, int Index, bool Ok) override;
  int64_t EntrySize(TStream32& Old, TCompHeaderObj& List, int Index) override;
  void RenameEntry(TStream32& Out, TStream32& Old, TCompHeaderObj& List, int Index) override;
  bool WriteTrailer(TStream32& Out, TCompHeaderObj& List) override;
  void FinishList(TCompHeaderObj& List) override;
  bool ReadHeader(TStream32& Stream, std::string& Name) override;
  void AfterArchiveWritten(const std::string& ArchiveName) override;

 private:
  TTarHeaderValues HeaderValues(const std::string& Name, bool IsDir, int64_t Size, int64_t MTime) const;
  // Appends the header blocks of an entry (long-name record first when needed).
  void AppendHeaders(std::vector<uint8_t>& Buf, const TTarBlock& Header, const std::string& Name);
  // Writes Buf (the headers) and Size bytes of Source with their padding; false when the source
  // shrank (reported) or the run was cancelled.
  bool CopySource(TStream32& Out, std::vector<uint8_t>& Buf, TStream32& Source, int64_t Size,
                  const std::string& Name);
  std::string FGzName;          // the .gz archive of the gzip pass
  bool FUnpackedOld = false;    // the run unpacked the old .gz archive into the tar
  bool FGzipped = false;
  bool FPassRan = false;         // the gzip pass ran (the tar is kept when it failed)
  bool FSourceOpenFailed = false;
};

// Tape archives: the 512-byte header format (numbers, checksums, GNU long names, pax records),
// the walk over an archive's entries that the writer and the reader share, and the writer TTar.
//
// Layout of the unit: qrvtar_Header.cpp holds the header format and the walk; qrvtar.cpp the
// writer and its gzip pass.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
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
  thName = 0,
  thMode = 100,
  thUid = 108,
  thGid = 116,
  thSize = 124,
  thMtime = 136,
  thChksum = 148,
  thTypeflag = 156,
  thLinkname = 157,
  thMagic = 257,
  thUname = 265,
  thGname = 297,
  thPrefix = 345,
};
enum : int {
  twMode = 8,
  twUid = 8,
  twGid = 8,
  twSize = 12,
  twMtime = 12,
  twChksum = 8,
  twUname = 32,
  twGname = 32,
  twPrefix = 155,
};

// Rounds a data size up to whole blocks.
constexpr int64_t TarPadded(int64_t Size) { return (Size + TarBlockSize - 1) / TarBlockSize * TarBlockSize; }

// Writes Value as Width-1 zero-padded octal digits and a NUL; a value too large for them is
// written in GNU base-256 form (0x80 marker, big-endian binary over the whole field).
void TarPutNumber(uint8_t* Field, int Width, uint64_t Value);

// Reads a number field: GNU base-256 when the first byte has bit 7 set (false for negative
// values and values beyond int64), else the octal digits up to the first NUL, other characters
// skipped; an empty field reads as 0.
bool TarGetNumber(const uint8_t* Field, int Width, int64_t& Value);
// A time field: TarGetNumber, and also negative times in GNU base-256 form (the two's
// complement over the field, first byte 0xFF), as GNU tar writes times before 1970.
bool TarGetTime(const uint8_t* Field, int Width, int64_t& Value);
// Writes a time: TarPutNumber, negative times in GNU base-256 form.
void TarPutTime(uint8_t* Field, int Width, int64_t Value);

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
  std::string Name;      // "/" separated; a directory's ends in "/"; at most 100 bytes used
  char Typeflag = '0';   // '0' file, '1' hard link, '2' symbolic link, '5' directory, 'L' 'K'
  uint32_t Mode = 0;     // permission bits (0: 0444 for files, 0555 for folders)
  std::string LinkName;  // link target; at most 100 bytes used
  int64_t Size = 0;
  int64_t MTime = 0;  // Unix seconds
  uint64_t Uid = 2, Gid = 2;
  std::string UName = "root", GName = "root";  // cut to 32 bytes
};

// Fills a header (mode: the file type's bits and the permission bits without set-id or sticky
// bits; magic "ustar  ") with its checksum in the 7-digit form.
void TarBuildHeader(TTarBlock& H, const TTarHeaderValues& V);

// The blocks that announce Name when it does not fit its 100-byte field: a GNU record (typeflag
// Type: 'L' for the entry's name, 'K' for a link target; name "././@LongLink") and its data,
// the name and a NUL padded to whole blocks. Empty when Name fits.
std::vector<uint8_t> TarLongNameBlocks(const std::string& Name, const TTarHeaderValues& Owner, char Type = 'L');

// ---- Walking an archive --------------------------------------------------------------------

// A data fragment of a sparse file: Length bytes at Offset of the restored file. The fragments
// are stored one after another from the entry's DataOffset.
struct TTarSparseRun {
  int64_t Offset = 0;
  int64_t Length = 0;
};

// One entry of an archive, with the metadata records in front of it applied.
struct TTarEntry {
  std::string Name;  // "/" separated, as stored (long name, pax path or ustar prefix)
  char Typeflag = '0';
  int64_t Size = 0;          // data bytes stored (a folder's size field is not counted)
  int64_t FileSize = 0;      // size of the file made: Size, or a sparse file's full size
  int64_t MTime = 0;         // Unix seconds
  uint32_t Checksum = 0;     // the stored checksum's value
  int64_t EntryOffset = 0;   // first block of the entry (its first metadata record)
  int64_t HeaderOffset = 0;  // the entry's own header
  int64_t DataOffset = 0;    // first data byte (after a sparse file's extension blocks or map)
  int64_t EndOffset = 0;     // after the data's padding
  TTarBlock Header{};
  std::string LinkName;             // link target (pax linkpath, GNU long link or the linkname field)
  bool Sparse = false;              // a GNU sparse file (old 'S' or pax 0.0, 0.1, 1.0): Runs apply
  std::vector<TTarSparseRun> Runs;  // in file order, inside FileSize, summing to Size
  std::string Damage;               // why the entry cannot be restored (a bad sparse map); "" if fine
  TEntryOwner Owner;                // uid, gid and names (header fields, pax uid, gid, uname, gname)
  bool IsDir() const;
  // A hard link ('1'), symbolic link ('2'), device ('3', '4') or FIFO ('6'): no file data.
  bool IsSpecial() const;
  // A type this reader does not restore: a volume continuation ('M') or an unknown letter.
  bool IsUnsupported() const;
};

// Walks the headers of a tape archive from offset 0, forward only. Zero blocks and headers
// without a name or with a zero checksum field are stepped over; a block whose checksum does
// not match is stepped over one block at a time and counted. GNU 'L' and 'K' records, pax 'x'
// (Solaris 'X') and 'g' records, ACLs and other metadata-only records and volume labels are not
// entries: long names and an 'x' record apply to the entry that follows (a later 'x' replaces
// an earlier one), a 'g' record to every entry after it. A folder's size field is ignored, as
// GNU tar and libarchive do. Sparse maps are read and bounded. Every read is bounded by the
// stream's size; a short read ends the walk, and Truncated tells whether it ended inside a
// header, a metadata record or an entry's data.
class TTarWalker {
 public:
  TTarWalker(TStream32& Stream, const bool* CancelFlag = nullptr);
  // The next entry; false at the end of the archive (or when cancelled).
  bool Next(TTarEntry& E);
  int BadHeaders() const { return FBadHeaders; }
  // Where the archive was found cut short: nowhere, inside a header or metadata record, or
  // inside the data of the last entry Next returned.
  enum TCut { tcNone, tcHeader, tcData };
  TCut Truncated() const { return FCut; }
  // Position where the next header is looked for.
  int64_t Position() const { return FPos; }
  void SetPosition(int64_t Pos) { FPos = Pos; }

  // Largest metadata record that is read (larger ones are stepped over); it bounds sparse maps
  // too.
  static constexpr int64_t MaxMetaSize = 1 << 20;

 private:
  bool ReadBlock(int64_t Pos, TTarBlock& B);
  bool ReadData(int64_t Pos, int64_t Size, std::string& Out);
  void ClearPending();
  // Reads a GNU long name or link, or a pax 'x' or 'g' record, into the pending metadata.
  void TakeRecord(char Type, int64_t Data, int64_t Size);
  // At the end of the stream: notes a cut when a header, a record or pending metadata was left.
  void NoteEnd();
  // Fills the entry's fields from its header and the pending metadata.
  void ApplyMetadata(const TTarBlock& H, TTarEntry& E, int64_t& Size);
  void ApplyOwner(const TTarBlock& H, TEntryOwner& O) const;
  // Sparse files: reads the map (old GNU header and extension blocks, pax keys or the map in
  // front of the data), moves DataOffset past it and checks it.
  void ReadSparse(const TTarBlock& H, TTarEntry& E);
  bool ReadOldGnuSparse(const TTarBlock& H, TTarEntry& E);
  bool ReadPaxSparse(TTarEntry& E);
  bool ReadSparseMapData(TTarEntry& E);
  const std::string* PaxValue(const char* Key) const;
  TStream32& FStream;
  const bool* FCancel;
  int64_t FSize;
  int64_t FPos = 0;
  int FBadHeaders = 0;
  TCut FCut = tcNone;
  bool FAfterZeros = false;  // the last block read was a zero block
  bool FPending = false;     // a long name, long link or 'x' record waits for its entry
  std::string FLongName;
  std::string FLongLink;
  bool FHaveLongName = false;
  std::map<std::string, std::string> FPax;     // the last 'x' record
  std::map<std::string, std::string> FGlobal;  // every 'g' record so far
  std::vector<int64_t> FPaxSparse;             // GNU.sparse.offset / numbytes values of the 'x', in order
  int64_t FEntryStart = -1;
};

// Calls Fn(key, value) for each pax extended header record ("LEN key=value\n") in order.
// Stops at the first malformed record.
void TarForEachPax(const std::string& Data,
                   const std::function<void(const std::string& Key, const std::string& Value)>& Fn);

// One pax record "LEN key=value\n".
std::string TarPaxRecord(const std::string& Key, const std::string& Value);

// Parses pax extended header records ("LEN key=value\n") into Out (later keys win). Stops at
// the first malformed record.
void TarParsePax(const std::string& Data, std::map<std::string, std::string>& Out);

// ---- The writer ----------------------------------------------------------------------------

#include "archive/zip/qrvGZip.h"

// The compressed file Path (gzip, xz, zstd or bzip2) is read as a tape archive: its first block
// is a tar header or zero, or its compressed data is damaged there (the TAR reader then reports
// the damage). sfNone for other data.
TStreamFilter CompressedTarFilter(const std::string& Path);
// The same for gzip alone.
bool GzipHoldsTar(const std::string& Path);

// Writes tape archives; with CompressMethod cmTarGzip and a name ending in ".tgz" or ".gz" the
// tar is streamed through gzip into the archive (one member, chunks deflated on the run's
// workers); with Filter xz, zstd or bzip2 through that codec (any name). An old archive is read
// through the matching decoding stream: no intermediate tar. Names longer than 100 bytes get a
// GNU long-name record.
class TTar : public TCompBase {
 public:
  TTar();

  int UnixUID = 2;
  int UnixGID = 2;
  std::string UnixUName = "root";  // at most 32 bytes are written
  std::string UnixGName = "root";
  // Each entry's own owner (uid and user name) or group instead of the fixed values above, as
  // GNU tar stores them; NumericOwner leaves every name empty (GNU tar's --numeric-owner).
  bool FileOwner = false;
  bool FileGroup = false;
  bool NumericOwner = false;

  // Writers' rules; with cmTarGzip a name ending in ".tgz" or ".gz" is kept and the type
  // becomes atTarGZip.
  void SetArchiveFile(const std::string& Value) override;
  // The type stays atTar (atTarGZip through gzip).
  void SetArcType(TArcType Value) override {}
  int Compress() override;
  // A tar never seeks back: it streams, entry by entry.
  bool WritesStreams() const override { return true; }

  // The compression filter around the tar. sfGzip stands for CompressMethod cmTarGzip (which
  // needs a name ending in ".tgz" or ".gz"); another filter sets cmTarred. Set it before
  // ArchiveFile.
  TStreamFilter Filter() const { return FArcType == atTarGZip ? sfGzip : FFilter; }
  void SetFilter(TStreamFilter Value);

 protected:
  // Sizes beyond 8 GiB are written in base-256 form, as GNU tar does.
  int64_t MaxFileSize() const override { return INT64_MAX; }
  bool StoresLinks() const override { return true; }
  bool StagesEntry(const TCompRow&) const override { return false; }
  bool ReadArchive(TStream32& Old, TCompHeaderObj& List) override;
  bool CompressData(TStream32& Out, TCompHeaderObj& List, int Index) override;
  void EndFile(TCompHeaderObj& List, int Index, bool Ok) override;
  int64_t EntrySize(TStream32& Old, TCompHeaderObj& List, int Index) override;
  void RenameEntry(TStream32& Out, TStream32& Old, TCompHeaderObj& List, int Index) override;
  bool WriteTrailer(TStream32& Out, TCompHeaderObj& List) override;
  void FinishList(TCompHeaderObj& List) override;
  bool ReadHeader(TStream32& Stream, std::string& Name) override;
  std::unique_ptr<TStream32> OldArchiveFilter(TStream32& Old) override;
  std::unique_ptr<TStream32> OutputFilter(TStream32& Out) override;

 private:
  TTarHeaderValues HeaderValues(const std::string& Name, char Typeflag, int64_t Size, int64_t MTime,
                                uint32_t Mode = 0) const;
  // Appends the header blocks of an entry (long-name and long-link records first when needed).
  void AppendHeaders(std::vector<uint8_t>& Buf, const TTarBlock& Header, const std::string& Name,
                     const std::string& LinkName = {});
  // The header of row Index's source: its type (a hard link to a file written earlier in the
  // run, or a symbolic link with its target), size and time. Src is opened for regular files
  // that are not such links. False when the source cannot be read (reported).
  bool DescribeSource(const TCompRow& Row, const std::string& Name, TTarHeaderValues& V,
                      std::unique_ptr<TFileStream32>& Src);
  // The owner and group of the file at Path (not followed when a link) under FileOwner and
  // FileGroup; names dropped under NumericOwner.
  void ApplyOwners(TTarHeaderValues& V, const std::string& Path);
  std::map<std::pair<char, uint32_t>, std::string> FOwnerNames;  // ('u' or 'g', id) -> name
  // Files with more than one link written in this run: (device, inode) -> stored name.
  std::map<std::pair<uint64_t, uint64_t>, std::string> FLinked;
  // Writes Buf (the headers) and Size bytes of Source with their padding; false when the source
  // shrank (reported) or the run was cancelled.
  bool CopySource(TStream32& Out, std::vector<uint8_t>& Buf, TStream32& Source, int64_t Size, const std::string& Name);
  // Copies the metadata records of a kept entry renamed to Name (Old positioned at the first,
  // End the entry's header) into Buf: GNU long names go, a pax record loses its path (and
  // carries the new one when it is longer than the name field: true then); everything else
  // (long link names, sizes, times, attributes) stays.
  bool CopyRenamedRecords(TStream32& Old, int64_t End, const std::string& Name, std::vector<uint8_t>& Buf);
  bool FSourceOpenFailed = false;
  TStreamFilter FFilter = sfNone;
};

// The ZIP writer: TZipBase (the format on the writer run) and TZip. New files are stored or
// deflated (zlib, raw), optionally with the traditional cipher; kept entries of an old archive
// are copied byte for byte (or under a new name); the central directory and end record close
// the archive.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/core/qrvBase.h"
#include "archive/core/qrvZipRecords.h"
#include "archive/zip/qrvZipAes.h"

// What the ZIP writer keeps per row: the central header and everything written after it.
struct TZipRowData : TRowData {
  CentralDirHeader Central;
  std::string RawName;  // the name's bytes as stored (unscrambled)
  std::string Extra;    // central extra field, without the size blocks the writer rebuilds
  std::string Comment;  // file comment
  TZipHighParts Hi;     // high 16 bits of the sizes (the offset's comes from the new position)
  bool Scrambled = false;
};

class TZipBase : public TCompBase {
 public:
  TZipBase();

  // Streamed, an entry's sizes and CRC follow its data in a data descriptor (flag bit 3).
  bool WritesStreams() const override { return true; }

  bool EncryptHeaders = false;
  int LeaveSpaceOnFirstDisk = 0;
  std::string Password;
  // A symbolic link is stored as a link (its target as the data, Unix link mode) instead of
  // the file it points to.
  bool StoreSymlinks = false;
  // 0: the traditional cipher; 1, 2, 3: WinZip AES (AE-2) with 128, 192 or 256-bit keys.
  uint8_t AesStrength = 0;
  // With TranslateOemChar: non-ASCII names as CP932 (plus a Unicode Path field for UTF-8
  // readers) instead of UTF-8 with flag bit 11. Names CP932 cannot hold stay UTF-8.
  bool Cp932Names = false;

  // Disk events. Archives are written in place on every drive; spanning across disks would
  // need OnInsertDisk and is not done by this writer.
  std::function<void(TZipCommon* Sender, const std::string& DiskNumber, bool& Cancel)> OnInsertDisk;
  std::function<void(TZipCommon* Sender, const std::string& Drive, int64_t RequiredSpace, int64_t FreeSpace,
                     int64_t TotalSpace, bool& Cancel)>
      OnClearDisk;
  std::function<void(TZipCommon* Sender, const std::string& FileName, TDateTime FileDate,
                     TOverwriteMode& OverwriteMode)>
      OnDiskSpanFileExists;

  std::string GetPassword() const override { return Password; }

  // ---- Comments ----
  // The archive comment written by the next run (or by WriteComments). Until the host sets
  // one, an update keeps the old archive's comment.
  const std::string& ArchiveComment() const { return FArchiveComment; }
  void SetArchiveComment(const std::string& Value);
  // Loads an existing archive's entries for comment editing; false (reported) when it cannot
  // be read.
  bool LoadCommentList();
  int CommentCount() const { return FComments.Count(); }
  // Entry Index's comment; Name receives its stored name.
  std::string EntryComment(int Index, std::string& Name) const;
  void SetEntryComment(int Index, const std::string& Value);
  // Writes the changed comments: the old archive up to its central directory, then a new
  // directory and end record, replacing the archive. False when nothing was written.
  bool WriteComments();

 protected:
  // Sizes and offsets are 48-bit values (Zip64 records beyond 4 GiB).
  int64_t MaxFileSize() const override { return (int64_t(1) << 48) - 1; }
  bool StoresLinks() const override { return StoreSymlinks; }
  bool ReadArchive(TStream32& Old, TCompHeaderObj& List) override;
  void FillHeader(TCompRow& Row, const TFileInfo& Info) override;
  bool CompressData(TStream32& Out, TCompHeaderObj& List, int Index) override;
  // Streaming: files under 257 bytes (which may go stored when deflate expands them) and
  // folders are staged and written as in a file; the others go out with a data descriptor.
  bool StagesEntry(const TCompRow& Row) const override;
  void EndFile(TCompHeaderObj& List, int Index, bool Ok) override;
  int64_t EntrySize(TStream32& Old, TCompHeaderObj& List, int Index) override;
  void RenameEntry(TStream32& Out, TStream32& Old, TCompHeaderObj& List, int Index) override;
  void RemoveArchive(TStream32& Out) override;
  bool WriteTrailer(TStream32& Out, TCompHeaderObj& List) override;
  void FinishList(TCompHeaderObj& List) override;
  bool ReadFirstHeader(std::string& Name, TStream32& Stream) override;
  bool ReadHeader(TStream32& Stream, std::string& Name) override;
  // A self-extractor's program in front of the old archive stays in front of the new one.
  int64_t StubLength(TStream32& Old) override;

  // The name as stored: CP932 when Cp932Names, TranslateOemChar and CP932 holds it, else UTF-8
  // (Utf8 set when it holds a non-ASCII character).
  std::string StoredBytes(const std::string& Name, bool& Utf8) const;
  // The stored name read back as the reader reads it (ZipEntryName: flag bit 11, the Unicode
  // Path field in Extra, the code pages), with "/" separators.
  std::string DecodeName(const std::string& Raw, uint16_t Flags, const std::string& Extra) const;
  // The packed date-time a new entry gets (DateAttribute).
  uint32_t StampDate(uint32_t FileDate) const;
  // Reads the old archive's entries (central directory, else local headers) into List.
  bool ReadEntries(TStream32& Old, TCompHeaderObj& List, bool ForDelete);
  // Bytes after a kept entry's local header: data plus any data descriptor; -1 when the
  // entry does not lie inside the old archive.
  int64_t KeptDataLength(TStream32& Old, const TZipLocalRecord& Rec, const TCompRow& Row);
  // Writes a local header and name (scrambled when asked), then, with Sizes, a Zip64 block
  // holding Sizes[0] (unpacked) and Sizes[1] (packed) with both header fields 0xFFFFFFFF, then
  // Extra.
  void WriteLocal(TStream32& Out, const LocalFileHeader& H, const std::string& Name, bool Scramble,
                  const int64_t* Sizes, const std::string& Extra);
  // The central header of a new entry from its finished local header: made by Unix with the
  // row's mode in the high half of the external attributes when the mode is known.
  void LoadHeader(TCompRow& Row, const LocalFileHeader& H, const TZipHighParts& Hi);
  // The source of a new file row: the file, or a symbolic link's target (Link set).
  std::unique_ptr<TStream32> OpenSource(const TCompRow& Row, bool& Link);
  // The level a new entry of that stored name gets (CompressMethod, DeflateType and
  // StoreFilesOfType); dtDeflateS: stored.
  TDeflateType LevelFor(const std::string& Name) const;
  // Whether new entries get the traditional cipher.
  bool UsesZipCrypto() const;
  std::unique_ptr<TCompressAhead> PlanAhead(TCompHeaderObj& List) override;
  // Writes the current row's chunks deflated ahead to Target, summing the running CRC and
  // counting progress per chunk. Expanded: a file under 257 bytes that deflate made larger,
  // nothing written (the caller stores it). False when cancelled.
  bool WriteAhead(TStream32& Target, int64_t Size, bool& Expanded);
  // The current row's next chunk deflated ahead: progress counted, its CRC joined to Crc.
  TAheadBlock NextAhead(uint32_t& Crc, bool& Last);
  // Takes every chunk of the current row (for the traditional cipher, whose header carries the
  // CRC); the running CRC is set. False when cancelled.
  bool TakeAhead(std::vector<TAheadBlock>& Blocks);
  // A new file entry on its way into the archive, and the steps of CompressData over it: the
  // name and header, the source, the cipher's header, one data path, the closing header.
  struct TEntryWrite;
  bool StartHeader(TEntryWrite& E);
  bool OpenEntrySource(TEntryWrite& E);
  // The cipher's header (AES salt, or the traditional header with the CRC: the look-ahead's
  // chunks are taken first, or the source read once); the look-ahead is begun.
  bool BeginData(TEntryWrite& E, TStream32& Out, TZipAes& Aes);
  // The data by one of the paths below; Method becomes 0 where the data went stored.
  bool WriteEntryData(TEntryWrite& E);
  void StoreData(TEntryWrite& E, bool CountProgress);
  bool WriteHeldEnciphered(TEntryWrite& E);
  bool WriteAheadData(TEntryWrite& E);
  bool DeflateData(TEntryWrite& E, TStream32& Target, bool Encipher);
  // A small file, deflated in memory and stored when deflate would make it larger.
  bool DeflateSmall(TEntryWrite& E);
  void EndAes(TEntryWrite& E, TStream32& Out, TZipAes& Aes, TZipAesInfo& Info);
  // The local header again, with the sizes and CRC (Zip64: the sizes' block), and the central
  // header from it. False (reported) when the packed size outgrew a header without Zip64.
  bool RewriteLocal(TEntryWrite& E, TStream32& Out, int64_t Start, int64_t Packed, int64_t* Zip64);
  // The finished entry's header fields (method, CRC, sizes, flags); the high parts returned.
  TZipHighParts SealHeader(TEntryWrite& E, int64_t Packed);
  // A streamed entry: the local header with flag bit 3 and no sizes, the data, then the data
  // descriptor (Zip64 sizes when the local header has a Zip64 block).
  bool CompressStreamed(TEntryWrite& E, TStream32& Out);
  // A streamed entry's chunks deflated ahead; a file that fails to read midway is finished from
  // its padded source.
  bool StreamAhead(TEntryWrite& E);
  void WriteEncryptionHeader(TStream32& Out, uint32_t Crc);
  // Salt and password verifier of an AES entry; keys Aes for the data. False (reported) when
  // libcrypto fails.
  bool WriteAesHeader(TStream32& Out, TZipAes& Aes, const std::string& Name);
  bool WriteEnd(TStream32& Out, int64_t DirStart, int64_t DirSize, uint64_t Entries);

  std::string FArchiveComment;
  bool FCommentsChanged = false;
  TCompHeaderObj FComments;       // the list of LoadCommentList
  int64_t FCommentDirStart = -1;  // where the loaded archive's central directory starts
  bool FEntryOk = false;          // the last entry's CRC matched what was written
  bool FLocalMode = false;        // swRead walks local headers instead of the directory
};

class TZip : public TZipBase {
 public:
  TZip() = default;
};

// The ZIP reader: finds the entries through the central directory (or, for an archive without
// one, by walking the local headers), checks each local header, asks for passwords, dispatches
// every method to its decoder and reads multi-volume sets as one stream.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/core/qrvBase.h"
#include "archive/core/qrvExtractAhead.h"
#include "archive/core/qrvStoredNames.h"
#include "archive/core/qrvZipRecords.h"
#include "archive/zip/qrvZipAes.h"

// A stored ZIP name as UTF-8: flag bit 11, or an Info-ZIP Unicode Path field (0x7075) whose CRC
// matches the stored bytes, gives UTF-8; otherwise (with Translate) the bytes are read in
// Coding, or as DecodeStoredName guesses without it. Without Translate the bytes stay as stored.
std::string ZipEntryName(std::string_view Raw, uint16_t Flags, std::string_view Extra, bool Translate,
                         std::string_view Coding = {});
// The same into Out, reusing its memory.
void ReadZipEntryName(std::string& Out, std::string_view Raw, uint16_t Flags, std::string_view Extra, bool Translate,
                      std::string_view Coding = {});

// The listing name of ZIP method Method ("Stored", "DeflateN" by the deflate option bits of
// Flags, "BZip2"...); "Unsupported" for methods no table names.
std::string ZipMethodName(int Method, uint16_t Flags);

class TUnZip : public TUnBase {
 public:
  TUnZip();
  ~TUnZip() override;

  // Clamped to 2000..32767.
  int ZipCmntBufSize() const { return FZipCmntBufSize; }
  void SetZipCmntBufSize(int Value);

  // An archive without a central directory: Cancel starts true; left true, nothing is read.
  std::function<void(TZipCommon* Sender, THeaderTypeState HeadFlag, bool& Cancel)> OnCorruptZipHeader;
  // Disk prompts of spanned sets (atZipDS).
  std::function<void(TZipCommon*Sender, bool&Cancel)> OnGetZipFirstDisk, OnGetZipLastDisk;
  std::function<void(TZipCommon* Sender, const std::string& VolumeName, bool& Cancel)> OnGetZipNextDisk;

  // One selected entry: 64 bytes, its name in the run's name arena (a million entries cost
  // their names and 64 MB).
  struct TEntry {
    int64_t Position = 0;  // local header, corrected
    int64_t PackedSize = 0;
    int64_t UnpackedSize = 0;
    uint32_t ExtAttr = 0;
    uint32_t DosDateTime = 0;
    // The local header's date, as the selection read it: the extraction need not read the
    // header again.
    uint32_t LocalDosDateTime = 0;
    uint32_t Crc32 = 0;
    uint32_t LocalSize = 0;  // the local header with its name and extra field
    uint16_t Flags = 0;
    uint16_t Method = 0;
    uint32_t IsDir : 1 = false;
    // Method 99 with a well-formed 0x9901 field in its local header (then in FEntryAes).
    uint32_t HasAes : 1 = false;
    uint32_t MadeByUnix : 1 = false;  // the upper half of ExtAttr holds a Unix mode

    // Converted, "/" separated.
    std::string Name() const { return {FName, FNameSize}; }
    std::string_view NameView() const { return {FName, FNameSize}; }
    // Name must outlive the entry (a view into the run's name arena).
    void SetName(std::string_view Name) {
      FName = Name.data();
      FNameSize = uint32_t(Name.size());
    }

   private:
    uint32_t FNameSize : 29 = 0;  // names are at most three bytes per stored byte
    const char* FName = "";
  };

 protected:
  int ExtractArchive(TStream32& Stream, int Flag) override;

 private:
  // Selection.
  int SelectFromDirectory(TStream32& S, const TZipLocation& Loc);
  int SelectByLocalHeaders(TStream32& S, const TZipLocation& Loc);
  bool FindDisplacedLocal(TStream32& S, int64_t Stated, int64_t& Found);
  bool MeasureStreamedEntry(TStream32& S, const TZipLocalRecord& L, TEntry& E, int64_t& Next);
  void AddEntry(TEntry E, std::string_view Name);
  void CountEntry(const TEntry& E);  // its date and size into the run's totals
  // Extraction.
  void ExtractEntries(TStream32& S, bool CentralMode);
  // What the extraction takes from an entry's local header.
  struct TLocalFacts {
    int64_t DataPosition = 0;
    uint32_t DosDateTime = 0, Crc32 = 0;
  };
  // The local header of E: from Ahead when the job read it, from what the selection kept of
  // it, else read through S; sets E.HasAes.
  bool ReadLocal(TStream32& S, TEntry& E, bool CentralMode, const TAheadResult* Ahead, TLocalFacts& L);
  // One entry; its header and data come from Ahead when that read or decoded them.
  void ExtractOne(TStream32& S, TEntry& E, bool CentralMode, const TAheadResult* Ahead);
  // What the per-entry step's two calls of ExtractOne share.
  struct TEntryRun {
    TStream32& S;
    TEntry& E;
    const TAheadResult* Ahead;
    TLocalFacts Local;
    bool Encrypted = false;
    int64_t HeadSize = 0;  // the encryption's own header before the data
  };
  // Whether the entry can be decoded, asking for its password; reports why not.
  bool PrepareEntry(TEntryRun& R);
  bool DecodeEntry(TEntryRun& R);
  // Decoding ahead on Workers threads (qrvUnZip_Decode.cpp): every entry that fits the bound,
  // with a method the table decodes and no encryption, is registered. Null when S is no plain
  // file or the run has one thread; Pool is made here and must outlive the result.
  std::unique_ptr<TExtractAhead> StartAhead(TStream32& S, std::unique_ptr<TWorkerPool>& Pool);
  // Hands an entry decoded ahead to the output as the decoders would, with its CRC.
  bool DeliverAhead(const TAheadResult& R);
  void ListOne(const TEntry& E);
  bool PasswordOpens(TStream32& S, const TEntry& E, int64_t DataPos);
  // The AES password check: the verifier after the salt; leaves FAes ready for the data.
  bool AesPasswordOpens(TStream32& S, const TEntry& E, int64_t DataPos);
  bool Decode(TStream32& S, const TEntry& E, bool Encrypted);
  // An AES entry from after its verifier: decrypts, decodes the inner method, then compares the
  // authentication code (a mismatch fails the entry with 25151).
  bool DecodeAes(TStream32& S, const TEntry& E);
  // Whether this reader decodes the entry's method and encryption; Why names what it lacks.
  bool CanDecode(const TEntry& E, std::string& Why) const;
  // The volumes of a multi-volume set as one stream ("" members missing); null for one file.
  std::unique_ptr<TStream32> OpenVolumes(TStream32& Last, const TZipLocation& Loc, TZipLocation& Joined);

  // The name of an entry read from Raw into Out: decoded, and made different from every
  // earlier entry's name that came from other bytes.
  void EntryName(std::string_view Raw, uint16_t Flags, std::string_view Extra, std::string& Out);

  TBlockList<TEntry> FEntries;
  TNameArena FNameArena;  // the entries' names
  TStoredNames FNames;
  TStepEntry FStep;        // the entry in the per-entry step
  TZipLocalRecord FLocal;  // the local header the extraction read last
  int64_t FLocalCorrection = 0;
  bool FPasswordFailed = false;
  TZipAes FAes;
  TZipAesInfo FEntryAes;  // the 0x9901 field of the entry being extracted (when HasAes)
  int FZipCmntBufSize = 32000;
};

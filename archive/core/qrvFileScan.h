// File scanning: TqrvFileScan walks folders, filters entries by attribute sets and wildcard
// masks, counts files and bytes and hands each accepted entry to a callback or to its own
// sortable list. The unit also supplies the wildcard matcher every mask test of the archive
// components uses.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileInfo.h"

// ---- Wildcard masks ------------------------------------------------------------------------

// One compiled mask: "*" any run of characters, "?" one character, everything else literal and
// case-insensitive (ASCII letters). "[" and "]" are literal. Items are matched left to right; an
// item with Star may be preceded by any run of name characters; the last item (ikEnd) matches
// the end of the name.
class TInternalMask {
 public:
  enum TItemKind : unsigned char { ikLiteral, ikAnyChar, ikEnd };
  struct TItem {
    bool Star = false;
    TItemKind Kind = ikEnd;
    char Ch = 0;  // for ikLiteral; upper case unless the mask is case-sensitive
  };

  TInternalMask() { Compile(""); }
  explicit TInternalMask(std::string_view Mask, bool CaseSensitive = false) { Compile(Mask, CaseSensitive); }

  void Compile(std::string_view Mask, bool CaseSensitive = false);
  bool Matches(std::string_view Name) const;

  const std::vector<TItem>& Items() const { return FItems; }
  bool EndsWithDot() const { return FEndsWithDot; }

 private:
  std::vector<TItem> FItems;
  bool FEndsWithDot = false;
  bool FCaseSensitive = false;
};

// Compiles Mask and tests Name. A mask ending in "." matches a name without "." as if the name
// ended in "." ("*." matches README); "*?" acts as "*". Time O(len(Name) x len(Mask)) at worst;
// memory does not depend on the mask's shape, so every mask works.
// CaseSensitive tells letter case apart.
bool Match(std::string_view Name, std::string_view Mask, bool CaseSensitive = false);

// The scanner's form of a mask: an empty mask and "*.*" both mean "*".
std::string NormalizeMask(std::string_view Mask);

// True when every name Narrow matches is matched by Wide too. Sound and conservative: it may
// answer false for some covering pairs, never true for a pair that does not cover.
bool MaskCovers(std::string_view Wide, std::string_view Narrow);

// ---- Attribute sets ------------------------------------------------------------------------

enum TqrvFileAttr : uint8_t {
  fsZeroAttr,
  fsReadOnly,
  fsHidden,
  fsSysFile,
  fsVolumeID,
  fsDirectory,
  fsArchive,
  fsCompressed,
  fsEncrypted
};

// A set of TqrvFileAttr, 16 bits wide: member n is bit n.
class TqrvFileAttrs {
 public:
  constexpr TqrvFileAttrs() = default;
  constexpr TqrvFileAttrs(std::initializer_list<TqrvFileAttr> Members) {
    for (TqrvFileAttr m : Members) Include(m);
  }
  static constexpr TqrvFileAttrs FromBits(uint16_t Bits) {
    TqrvFileAttrs a;
    a.FBits = Bits;
    return a;
  }
  constexpr uint16_t Bits() const { return FBits; }
  constexpr bool Contains(TqrvFileAttr A) const { return (FBits >> A) & 1; }
  constexpr void Include(TqrvFileAttr A) { FBits = uint16_t(FBits | (1u << A)); }
  constexpr void Exclude(TqrvFileAttr A) { FBits = uint16_t(FBits & ~(1u << A)); }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr bool operator==(const TqrvFileAttrs&) const = default;

  // Operating-system attribute bits of the members (fsReadOnly 0x01 ... fsEncrypted 0x4000).
  uint32_t OsBits() const;
  // Whether any attribute bit of an entry with attributes Attr is in the set; fsZeroAttr stands
  // for entries with no attribute (0) or only the normal one (0x80).
  bool Hits(uint32_t Attr) const;

 private:
  uint16_t FBits = 0;
};

// The scan filter: admitted when Attributes hits the entry (entries marked not content indexed,
// 0x2000, always) and AttributesEx does not.
bool AttrAdmitted(uint32_t Attr, TqrvFileAttrs Attributes, TqrvFileAttrs AttributesEx);

// ---- The scanner's own list ----------------------------------------------------------------

// One listed entry.
struct TFileObject {
  std::string FileName;  // empty for a directory
  std::string DirPath;   // with trailing "/"
  int64_t Size = 0;
  uint32_t Attr = 0;
  uint32_t DosDate = 0;  // last write, packed DOS date-time, local time
};

enum TqrvSortOptions : uint8_t { soUnsort, soByName, soByType, soBySize, soByTime };

class TFilesList {
 public:
  std::vector<TFileObject> Items;
  TqrvSortOptions SortMode = soUnsort;
  bool CaseSensitive = false;

  void Sort();  // by SortMode; equal entries keep their order
  void Clear() { Items.clear(); }
  size_t Count() const { return Items.size(); }
};

// One compiled mask of a directory group.
struct TMultiMask {
  std::string Text;
  TInternalMask Mask;
};

// What the scanner knows about an entry when it hands it on.
struct TqrvFindData {
  std::string Name;  // the entry's own name
  TFileInfo Info;    // size, attributes (fa* bits), last-write time
};

// ---- The scanner ---------------------------------------------------------------------------

enum TfsScanOptions : uint8_t { soScanDir, soScanDrvs };

class TqrvFileScan {
 public:
  TqrvFileScan();
  virtual ~TqrvFileScan() = default;

  // Entry callback: a file's folder, or a directory's own path (trailing "/" in both), and the
  // entry's data. Default: add to List().
  using TEntryProc = std::function<void(const std::string& Dir, const TqrvFindData& Data)>;
  // Called when a directory group starts, with its folder (the writer's stored root).
  using TRootDirProc = std::function<void(const std::string& Dir)>;
  // Called for an entry the masks select that is neither a regular file nor a folder (a FIFO,
  // a device, a socket), with its path and kind ("FIFO", "socket", ...). It is never handed on.
  using TSkippedProc = std::function<void(const std::string& Path, const std::string& Kind)>;

  // Full paths with masks. Setting it replaces the default mask; Scan consumes it.
  const std::vector<std::string>& FileSpec() const { return FFileSpec; }
  void SetFileSpec(std::vector<std::string> Value);
  // Masks (comma separated) used on RootDir when FileSpec is not used; "*" by default.
  std::string DefaultMask = "*";
  // Folder scanned without FileSpec, and folder of masks without a path; trailing "/" added.
  const std::string& RootDir() const { return FRootDir; }
  void SetRootDir(const std::string& Value);

  TqrvFileAttrs Attributes{fsZeroAttr, fsReadOnly, fsArchive, fsCompressed, fsEncrypted};
  TqrvFileAttrs AttributesEx;
  bool IncludeHiddenDirs = false;
  bool RecurseDirs = true;
  // False: a symbolic link is handed on as itself (never recursed into, dangling ones too).
  bool FollowLinks = true;
  bool UpdateList = true;
  TfsScanOptions ScanOptions = soScanDir;
  TqrvSortOptions Sorted() const { return FList.SortMode; }
  void SetSorted(TqrvSortOptions Value);  // re-sorts the list; OnFinished when not empty

  std::function<void(TqrvFileScan* Sender, const std::string& FileName, int FilesCount, int64_t FilesSize)> OnScanFile;
  std::function<void(TqrvFileScan* Sender, int FilesCount, int64_t FilesSize)> OnFinished;
  std::function<void(TqrvFileScan* Sender, const std::string& Dir)> OnRootDirChange;
  std::function<void(TqrvFileScan* Sender, const std::string& Directory)> OnRecurseDir;

  TEntryProc EntryProc;      // empty: the own list
  TRootDirProc RootDirProc;  // optional
  TSkippedProc SkippedProc;  // optional

  // Shares another flag (the owning component's) instead of the scanner's own; nullptr resets.
  void SetCancelFlag(bool* Flag) { FCancel = Flag ? Flag : &FOwnCancel; }
  bool IsCancelled() const { return *FCancel; }
  void SetCancel(bool Value) { *FCancel = Value; }

  // Clears list, counters and the cancel flag, scans, then fires OnFinished. Nothing happens
  // (and OnFinished does not fire) without FileSpec and without an existing RootDir.
  virtual void Scan();

  TFilesList& List() { return FList; }
  int FilesCount() const { return FCount; }
  int64_t FilesSize() const { return FSize; }

 private:
  struct TDirKey {
    uint64_t Dev, Ino;
  };
  void ScanGroups();
  void ScanDrives();
  void ScanDir(const std::string& Dir, const std::vector<TMultiMask>& Masks, bool OneFileSystem,
               std::vector<TDirKey>& Ancestors);
  void HandleEntry(const std::string& Dir, const TqrvFindData& Data, const std::vector<TMultiMask>& Masks);
  void AddToOwnList(const std::string& Dir, const TqrvFindData& Data);

  std::vector<std::string> FFileSpec;
  std::string FRootDir = "/";
  TFilesList FList;
  int FCount = 0;
  int64_t FSize = 0;
  bool FOwnCancel = false;
  bool* FCancel = &FOwnCancel;
};

// Groups FileSpec entries by folder as the scanner does: the first entry's folder, with every
// further entry of the same folder joining it (covered masks dropped, a wider mask replacing
// the narrower). Consumes the joined entries from Spec. Exposed for tests.
struct TScanGroup {
  std::string Dir;                 // with trailing "/"
  std::vector<std::string> Masks;  // normalised
};
TScanGroup TakeScanGroup(std::vector<std::string>& Spec, const std::string& RootDir);

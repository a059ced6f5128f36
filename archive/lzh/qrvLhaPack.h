// LZH headers: levels 0, 1 and 2 read (extended headers, Unicode names, time stamps), level 0
// written, and the walk from one header to the next that the writer and the reader share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/core/qrvStreams.h"

constexpr int LhaFixedSize = 22;      // bytes read first: enough to tell the level
constexpr size_t LhaMaxName0 = 233;   // longest name a level-0 header can hold
constexpr int LhaHeadCopySize = 37;   // the header copy a writer row keeps
constexpr int LhaExtraHeadSize = 24;  // level-0 header bytes besides the name

constexpr int LhaKey(char A, char B, char C) { return (A << 16) | (B << 8) | C; }

// One header as read. Offsets are absolute positions in the archive.
struct TLhaHeader {
  char MethodId[5] = {'-', 'l', 'h', '0', '-'};
  int Level = 0;
  int64_t PackedSize = 0;  // data bytes only (level 1: the extended headers taken off)
  int64_t Size = 0;
  uint32_t DosDateTime = 0;  // level 2's Unix seconds converted
  uint8_t Attr = 0x20;
  uint16_t Crc = 0;
  uint8_t OsId = 0;
  uint32_t UnixMode = 0;    // permission bits of a Unix extended header or area, 0 for none
  bool HasCrc = true;       // false: an old level-0 header without the CRC field
  bool DirByName = false;   // a stored (-lh0-), empty entry whose name ends in a separator
  std::string Comment;      // an Amiga comment: what follows a NUL in a level-0/1 name
  const char* Why = "";     // why the header was not accepted (lrBad)
  std::string Name;         // UTF-8 (or the raw bytes without Translate), "/" separated,
                            // a directory without its trailing "/"
  std::string LinkTarget;   // a Unix symbolic link ("-lhd-" named "link|target")
  std::string RawName;      // the stored folder and name the Name was read from
  bool NameHasNul = false;  // some stored form of the name holds a NUL: never extracted
  int64_t HeaderOffset = 0;
  int64_t DataOffset = 0;
  int64_t NextOffset = 0;  // where the next header starts

  // The method key of the decoder table: the three letters between the dashes ("lh5").
  int MethodKey() const;
  char MethodChar() const { return MethodId[3]; }
  bool DashesOk() const { return MethodId[0] == '-' && MethodId[4] == '-'; }
  // OS/2 tools store a folder that carries extended attributes as a packed entry with the
  // directory attribute: a folder all the same, its data skipped.
  bool IsDir() const { return DirByName || (Attr & 0x10) != 0 || MethodKey() == LhaKey('l', 'h', 'd'); }
  bool IsLink() const { return !LinkTarget.empty(); }
  int64_t EntryBytes() const { return NextOffset - HeaderOffset; }
};

enum TLhaRead : uint8_t { lrEntry, lrEnd, lrBad };

// Reads the header at Pos of an archive of FileSize bytes (levels 0 to 3). lrEnd at the end of
// the file or a size byte of 0; lrBad, with the reason in H.Why, for a header that is cut short,
// has a wrong checksum, an unknown level or an extended header that does not fit (the walk stops
// there). Translate: names as DESIGN.md says (valid UTF-8 stays; other bytes in the code page
// Coding names, or without it the more plausible of CP932 and CP437); the UTF-16 names win over
// them.
TLhaRead LhaReadHeader(TStream32& S, int64_t Pos, int64_t FileSize, bool Translate, TLhaHeader& H,
                       std::string_view Coding = {});

// The level-0 header of an entry: MethodId the five bytes ("-lh5-"), RawName the stored bytes
// ("\" separators), at most 233 of them.
std::vector<uint8_t> LhaBuildHeader0(const char* MethodId, uint32_t PackedSize, uint32_t Size, uint32_t DosDateTime,
                                     uint8_t Attr, const std::string& RawName, uint16_t Crc);

// The sum modulo 256 of a level-0 or level-1 header's bytes from offset 2 to its end.
uint8_t LhaHeaderSum(const uint8_t* Header, size_t Length);

// Where the first header lies: 0 for a plain archive, else, within the first MiB (a
// self-extractor's stub), the header whose chain of headers reaches furthest towards the end of
// the file (a stub may hold a small archive of its own, or a stray "-lhd-"); -1 when none reads.
int64_t LhaFindFirstHeader(TStream32& S, int64_t FileSize);

// A name as a level-0 header stores it: CP932 when Translate and CP932 holds it, else the UTF-8
// bytes; "\" separators; a directory gets a trailing "\".
std::string LhaStoredName(const std::string& Name, bool IsDir, bool Translate);

// UTF-16LE to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16LeToUtf8(const uint8_t* Data, size_t Bytes);

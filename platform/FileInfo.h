// File information as the archive code sees it: size, DOS-style attributes and last-write time,
// and restoring time and attributes on extracted files.
#pragma once

#include <cstdint>
#include <string>

// DOS attribute bits as stored in archives.
enum : uint16_t {
  faReadOnly = 0x01,
  faHidden = 0x02,
  faSysFile = 0x04,
  faVolumeID = 0x08,
  faDirectory = 0x10,
  faArchive = 0x20,
};

struct TFileInfo {
  int64_t Size = 0;           // bytes (0 for directories)
  uint16_t Attr = 0;          // fa* bits
  int64_t MTime = 0;          // last write, Unix seconds
  uint32_t MTimeNsec = 0;     // nanoseconds part of MTime
  uint32_t DosTime = 0;       // last write as packed DOS date-time (local time)
  uint32_t Mode = 0;          // st_mode (of the link itself when a link is described)
  uint64_t Dev = 0, Ino = 0;  // identity of the file (hard links share it)
  uint64_t NLink = 0;         // number of hard links to the file
  bool IsDir = false;
  bool IsLink = false;  // the path itself is a symbolic link
};

// Attributes of a file: 0x10 directory; 0x01 when the owner may not write; 0x02 when the
// name starts with "."; 0x20 on every regular file.
uint16_t AttrFromMode(uint32_t Mode, const std::string& Path);

// Fills Info; false (errno set) when the path does not exist or cannot be examined. With
// FollowLinks false a symbolic link is described itself.
bool GetFileInfo(const std::string& Path, TFileInfo& Info, bool FollowLinks = true);
// The target a symbolic link holds, as stored; false (errno set) when Path is no link.
bool ReadLinkTarget(const std::string& Path, std::string& Target);
bool FileExists(const std::string& Path);       // exists and is not a directory
bool DirectoryExists(const std::string& Path);  // exists and is a directory

// Sets the last-write (and access) time; false on failure.
bool SetFileMTime(const std::string& Path, int64_t UnixSeconds);
bool SetFileDosTime(const std::string& Path, uint32_t Dos);
// Applies stored attributes: faReadOnly clears every write bit, its absence gives the owner
// write permission back; the other bits have no Linux meaning. False on failure.
bool SetFileAttr(const std::string& Path, uint16_t Attr);

// The notices the cabinet decompressor's copy operation sends to its caller, and what a caller
// answers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

enum TCabNotice : uint8_t {
  cnCabinetInfo,  // a cabinet was opened: set information in the notice
  cnPartialFile,  // a file continued from a cabinet that is not at hand: it cannot be copied
  cnCopyFile,     // a file: answer 1 to copy it, 0 to skip it (or after Extract), -1 to abort
  cnCloseFile,    // the copied file is complete (Ok) or failed (Error holds why)
  cnNextCabinet,  // the named cabinet is needed: answer 1 once NextPath names it, else -1
  cnEnumerate,    // reserved; sent by no operation
};

// One notice. Fields a notice does not concern are left empty or zero.
struct TCabNotification {
  TCabNotice Notice = cnCabinetInfo;
  // cnCopyFile, cnPartialFile, cnCloseFile: the file.
  std::string Name;  // stored bytes as they are (no code page conversion)
  uint32_t Size = 0;
  uint16_t Date = 0;  // packed DOS date and time
  uint16_t Time = 0;
  uint16_t Attribs = 0;
  uint16_t CompType = 0;  // its folder's compression type value
  // cnCopyFile: copies the file now through the copy's Write; an fdierr* code (exceptions of
  // Write pass through).
  std::function<int32_t()> Extract;
  // cnCloseFile: the file went through the decoder completely and its data checked.
  bool Ok = false;
  // cnCloseFile: the fdierr* code when not Ok. cnCopyFile: the code Extract would fail with at
  // once, before any data, because the folder's type cannot be decoded (fdierrBadComprType, or
  // fdierrCorruptCabinet for a window outside the type's range); 0 otherwise.
  int32_t Error = 0;
  // cnCabinetInfo: the cabinet; cnNextCabinet: the cabinet asked for (NextName, NextDisk) in
  // CabinetPath; the answer puts the full path of the file to use into NextPath.
  std::string CabinetPath;
  std::string NextName;
  std::string NextDisk;
  std::string NextPath;
  uint16_t SetID = 0;
  uint16_t CabinetIndex = 0;
};

// The caller's notice handler (the answer as described at TCabNotice).
using TCabNotify = std::function<int(TCabNotification& Notice)>;
// Receives the data of the file being copied; false refuses it (the copy then fails).
using TCabWrite = std::function<bool(const uint8_t* Data, int32_t Count)>;

// What is-cabinet tells about a file.
struct TCabInfo {
  int64_t Offset = 0;  // where the cabinet starts in the file
  int64_t Size = 0;    // the cabinet's own length
  uint16_t Folders = 0;
  uint16_t Files = 0;
  uint16_t SetID = 0;
  uint16_t CabinetIndex = 0;
  bool HasReserve = false;
  bool HasPrev = false;
  bool HasNext = false;
  bool HeadDamaged = false;  // the file starts with the signature, yet no cabinet reads there
};

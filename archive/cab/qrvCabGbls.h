// What the cabinet writer and reader share: the record layouts and limits of the cabinet file
// format, the compression type values, the cabinet parameters, the error record and the data
// block checksum.
#pragma once

#include <cstdint>
#include <string>

// ---- Format ---------------------------------------------------------------------------------

constexpr uint32_t CabSignature = 0x4643534D;           // "MSCF"
constexpr int CabHeaderSize = 36;                       // CFHEADER without reserve fields and names
constexpr int CabFolderSize = 8;                        // CFFOLDER without its reserved area
constexpr int CabFileFixedSize = 16;                    // CFFILE before its name
constexpr int CabDataHeaderSize = 8;                    // CFDATA before its reserved area and data
constexpr int CabBlockSize = 32768;                     // uncompressed bytes of a full data block
constexpr int CabMaxPackedBlock = CabBlockSize + 6144;  // largest packed block we accept
constexpr uint32_t CabMaxFolderBlocks = 65535;          // cCFData is 16 bits
constexpr uint32_t CabMaxFiles = 65535;                 // cFiles is 16 bits
constexpr int64_t CabMaxLength = 0x7FFFFFFF;            // cabinet and folder size limit

// CFHEADER flags.
enum : uint16_t { cfhdrPrevCabinet = 0x0001, cfhdrNextCabinet = 0x0002, cfhdrReservePresent = 0x0004 };

// CFFILE attribute bits beyond the DOS ones: run after extraction, name is UTF-8.
enum : uint16_t { cfattrExec = 0x40, cfattrNameIsUtf = 0x80 };

// Compression type values of a folder (the low four bits; LZX and Quantum keep their window and
// level in the bits above).
enum : uint16_t {
  tcompTypeNone = 0,
  tcompTypeMsZip = 1,
  tcompTypeQuantum = 2,
  tcompTypeLzx = 3,
  tcompMaskType = 0x000F,
};

// Writers' compression choice for Quantum's type bits.
enum TCompressionType : uint8_t { ctStore, ctMsZip, ctLzx };

// The type value of LZX with a window of 2^Window bytes (15..21).
constexpr uint16_t CabLzxType(int Window) { return uint16_t(Window * 256 + tcompTypeLzx); }
// The type value of Quantum: memory exponent, level and the low type bits T (tcompTypeQuantum).
constexpr uint16_t CabQuantumType(int Memory, int Level, int T) { return uint16_t(Memory * 256 + Level * 16 + T); }

// Little-endian 16- and 32-bit fields of the cabinet records.
inline uint16_t CabGet16(const uint8_t* P) { return uint16_t(P[0] | P[1] << 8); }
inline uint32_t CabGet32(const uint8_t* P) { return uint32_t(CabGet16(P)) | uint32_t(CabGet16(P + 2)) << 16; }

// Checksum of a data block as CFDATA stores it: Seed folded with Data four bytes at a time
// (little-endian), the last one to three bytes taken high byte first.
uint32_t CabChecksum(const uint8_t* Data, size_t Count, uint32_t Seed);
// The stored checksum of a CFDATA block: its data, then its two 16-bit sizes.
uint32_t CabDataChecksum(const uint8_t* Data, uint16_t Packed, uint16_t Unpacked);

// ---- Library records ------------------------------------------------------------------------

// The cabinet parameters a creation context starts with (names as the format's documents use).
struct TCCAB {
  uint32_t cb = 0x7FFFFFFF;              // largest cabinet
  uint32_t cbFolderThresh = 0x7FFFFFFF;  // largest folder before a new one starts
  uint32_t cbReserveCFHeader = 0;
  uint32_t cbReserveCFFolder = 0;
  uint32_t cbReserveCFData = 0;
  int iCab = 0;
  int iDisk = 0;
  bool fFailOnIncompressible = true;
  uint16_t setID = 0;
  std::string szDisk;
  std::string szCab;      // file name of the cabinet
  std::string szCabPath;  // its folder
};

// The error record both sides fill: operation code, the system's error number, and the flag.
struct TCabError {
  int32_t erfOper = 0;
  int32_t erfType = 0;
  bool fError = false;
  void Set(int32_t Oper, int32_t Type = 0) {
    erfOper = Oper;
    erfType = Type;
    fError = true;
  }
  void Clear() { *this = TCabError(); }
};

// Operation codes of the create side.
enum : int32_t {
  fcierrNone,
  fcierrOpenSrc,
  fcierrReadSrc,
  fcierrAllocFail,
  fcierrTempFile,
  fcierrBadComprType,
  fcierrCabFile,
  fcierrUserAbort,
  fcierrMciFail,
  fcierrCabFormatLimit,
};

// Operation codes of the decompress side.
enum : int32_t {
  fdierrNone,
  fdierrCabinetNotFound,
  fdierrNotACabinet,
  fdierrUnknownCabinetVersion,
  fdierrCorruptCabinet,
  fdierrAllocFail,
  fdierrBadComprType,
  fdierrMdiFail,
  fdierrTargetFile,
  fdierrReserveMismatch,
  fdierrWrongCabinet,
  fdierrUserAbort,
};

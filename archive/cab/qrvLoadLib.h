// Our cabinet library: the create operations (a creation context, add file, flush cabinet,
// destroy) that write the cabinet format on zlib, and the decompress operations (a decompress
// context, is-cabinet, copy with notices) that read it through libmspack, MSZIP folders of a
// cabinet outside a set on libdeflate.
//
// Layout of the unit: qrvLoadLib_Create.cpp holds the creation context,
// qrvLoadLib_Encoders.cpp the per-folder block encoders, qrvLoadLib_Copy.cpp the decompress
// side, qrvLoadLib_MsZip.cpp its MSZIP folders.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/cab/qrvCabGbls.h"
#include "archive/cab/qrvUnCabTypes.h"
#include "archive/core/qrvStreams.h"
#include "archive/core/qrvWorkerPool.h"

// ---- Per-folder compression ------------------------------------------------------------------

// One packed data block, as a job on a worker gives it back.
struct TPackedBlock {
  std::vector<uint8_t> Data;  // the packed bytes (at most CabMaxPackedBlock)
  uint32_t Unpacked = 0;      // the block's uncompressed size
  bool Ok = false;
};
// Packs one block on any thread; it holds copies of everything it reads.
using TCabBlockJob = std::function<TPackedBlock()>;

// Packs the data blocks of one folder, one CFDATA block at a time, carrying whatever state its
// compression type keeps from block to block (MSZIP: the last 32 KiB as history).
class TCabBlockEncoder {
 public:
  virtual ~TCabBlockEncoder() = default;
  // Packs Count (1..CabBlockSize) bytes into Out (replaced; at most CabMaxPackedBlock bytes).
  // Every block but a folder's last holds exactly CabBlockSize bytes. False on failure.
  virtual bool Encode(const uint8_t* In, uint32_t Count, std::vector<uint8_t>& Out) = 0;
  // For a type whose blocks depend on earlier blocks only through their bytes (MSZIP): a job
  // packing this block exactly as Encode would, the encoder's state moved on as if it had.
  // Null (the default) when blocks must go through Encode in turn.
  virtual TCabBlockJob Prepare(const uint8_t* In, uint32_t Count) { return {}; }
};

// Makes the encoder of a folder of compression type TypeCompress (the whole value: LZX and
// Quantum keep their parameters above the low four bits). Level is the zlib level for MSZIP.
using TCabEncoderFactory = std::unique_ptr<TCabBlockEncoder> (*)(uint16_t TypeCompress, int Level);

// The encoder for TypeCompress from the table of known types; null when this build has none
// (store, MSZIP, Quantum and LZX; a new type is one more row).
std::unique_ptr<TCabBlockEncoder> NewCabEncoder(uint16_t TypeCompress, int Level);

// ---- Create --------------------------------------------------------------------------------

// What a creation context asks its owner for.
struct TCabCreateCallbacks {
  // Opens a source for reading and gives its packed DOS date, time and attributes. Null on
  // failure (the owner has reported it).
  std::function<std::unique_ptr<TStream32>(const std::string& Path, uint16_t& Date, uint16_t& Time, uint16_t& Attribs)>
      OpenInfo;
  // Reads up to Count bytes of an open source; a negative result fails the file.
  std::function<int32_t(TStream32& Source, void* Buffer, int32_t Count)> Read;
  // After each data block: source bytes taken and packed bytes made. -1 aborts.
  std::function<int(uint32_t Consumed, uint32_t Packed)> Status;
  // A stream for the folder data until the cabinet is written (deleted when it is freed).
  std::function<std::unique_ptr<TStream32>()> CreateTemp;
  // The stream the finished cabinet is written to.
  std::function<TStream32*(const TCCAB& Cabinet)> OpenCabinet;
};

// A creation context: files go into folders (a new one whenever the compression type changes
// or a folder would outgrow its limits), their data into 32 KiB blocks, packed and spilled to a
// temporary stream; FlushCabinet writes header, folders, files and data to the cabinet.
// Failures set the error record and return false; stream exceptions (disk full) pass through.
// Blocks that can be packed apart (MSZIP) are packed ahead on a worker pool and written in
// order, so the cabinet's bytes do not depend on the number of workers.
class TCabCreator {
 public:
  // Pool: where blocks are packed ahead (null: on the caller's thread).
  TCabCreator(const TCCAB& Params, TCabCreateCallbacks Callbacks, TCabError& Err, int Level = 6,
              TWorkerPool* Pool = nullptr);
  ~TCabCreator();
  TCabCreator(const TCabCreator&) = delete;
  TCabCreator& operator=(const TCabCreator&) = delete;

  // Adds the file at Source as Name (stored bytes; Attribs are added to the file's own, e.g.
  // cfattrNameIsUtf), compressed with TypeCompress. False when it could not be added: nothing
  // of it is listed (data already packed stays in the folder unreferenced).
  bool AddFile(const std::string& Source, const std::string& Name, bool Execute, uint16_t TypeCompress,
               uint16_t Attribs = 0);
  // Completes the open folder and writes the cabinet. False (error record set) when it holds no
  // file or exceeds the cabinet limits.
  bool FlushCabinet();
  int FileCount() const { return int(FFiles.size()); }

 private:
  struct TFolder {
    uint16_t Type = 0;
    int64_t DataOffset = 0;  // in the temporary stream
    uint32_t Blocks = 0;
    int64_t Unpacked = 0;
  };
  struct TFile {
    uint32_t Size = 0;
    uint32_t Offset = 0;  // in its folder's uncompressed data
    uint16_t Folder = 0;
    uint16_t Date = 0, Time = 0, Attribs = 0;
    std::string Name;
  };
  bool StartFolder(uint16_t TypeCompress);
  // Packs the filled block: as a job when the encoder gives one, else in turn after the jobs.
  bool FlushBlock();
  // Writes packed blocks, in order, while more than Keep are pending.
  bool WriteReady(size_t Keep);
  // Appends one packed block to the open folder's data and reports the status.
  bool WriteBlock(const TPackedBlock& Block);
  bool CloseFolder();
  bool Fail(int32_t Oper, int32_t Type = 0);
  void WriteHeader(TStream32& Out, int64_t HeaderSize, int64_t DataSize);

  TCCAB FParams;
  TCabCreateCallbacks FCb;
  TCabError& FErr;
  int FLevel;
  std::unique_ptr<TStream32> FTemp;
  std::unique_ptr<TCabBlockEncoder> FEncoder;
  std::vector<TFolder> FFolders;
  std::vector<TFile> FFiles;
  std::vector<uint8_t> FBlock;  // uncompressed bytes of the block being filled
  bool FFolderOpen = false;
  TWorkerPool FInline{1};  // the pool when none is given: jobs run as they are submitted
  TWorkerPool& FPool;
  TOrderedJobs<TPackedBlock> FJobs;  // blocks being packed, oldest first
};

// ---- Decompress ----------------------------------------------------------------------------

struct TCabSystem;
struct mscabd_cabinet;

// The file Name in folder Dir: the exact name when it exists, else the entry of Dir that matches
// it ignoring ASCII case (a set written on Windows names "Split-2.CAB" for "split-2.cab").
std::string CabNeighbour(const std::string& Dir, const std::string& Name);

// The MSZIP folders of one cabinet outside a set, decoded on libdeflate from the cabinet's own data
// blocks (each checksum checked) rather than through libmspack. It keeps the folder being read
// and where it stands, so the files of a folder copied in order decode it once. With more than
// one worker a thread decodes the folder's blocks ahead of the caller (at most kAhead blocks
// held), so decoding overlaps writing; the bytes and codes given are the same either way.
class TMsZipFolders {
 public:
  static constexpr size_t kAhead = 16;
  TMsZipFolders();
  ~TMsZipFolders();
  TMsZipFolders(const TMsZipFolders&) = delete;
  TMsZipFolders& operator=(const TMsZipFolders&) = delete;

  // Worker count: 1 decodes on the caller's thread, 0 one per core (one core: the same as 1).
  void SetWorkers(int Workers) { FWorkers = Workers; }
  // Reads the folder table of the cabinet at Base in Path (kept while the same is asked for).
  // False, holding nothing, when it does not read, belongs to a set or does not hold
  // FolderCount folders: libmspack then decodes.
  bool Open(const std::string& Path, int64_t Base, size_t FolderCount);
  // Whether folder number Folder (from 0) is an MSZIP folder held here.
  bool Handles(size_t Folder) const;
  // Sends Length bytes from Offset of the folder's data through Write: an fdierr* code
  // (fdierrCorruptCabinet for a damaged block, fdierrTargetFile when Write refused or the run
  // was cancelled). Exceptions of Write pass through.
  int32_t Extract(size_t Folder, uint32_t Offset, uint32_t Length, const TCabWrite& Write, const bool* Cancel);
  void Close();

  struct TFolder {
    int64_t DataAt;  // first CFDATA in the file
    uint16_t Blocks;
    uint16_t Type;
  };
  struct TReader;
  struct TAhead;

 private:
  void Restart(size_t Folder);
  // The folder's next block into FOut: an fdierr* code.
  int32_t NextBlock();
  void Stop();

  int FFd = -1;
  int FWorkers = 0;
  std::string FPath;
  int64_t FBase = 0;
  uint32_t FDataResv = 0;
  std::vector<TFolder> FFolders;
  int FFolder = -1;        // the folder being read (-1: none)
  uint64_t FOutStart = 0;  // the folder offset of FOut's first byte
  std::vector<uint8_t> FOut;
  std::unique_ptr<TReader> FReader;  // decoding on the caller's thread
  std::unique_ptr<TAhead> FAhead;    // or ahead of it
};

// A decompress context over libmspack. Cabinets are read through file descriptors with every
// read, seek and size bounded by the file; copied data never reaches a file libmspack names,
// only the caller's Write. Errors come back as codes in the error record.
class TCabDecompressor {
 public:
  explicit TCabDecompressor(TCabError& Err);
  ~TCabDecompressor();
  TCabDecompressor(const TCabDecompressor&) = delete;
  TCabDecompressor& operator=(const TCabDecompressor&) = delete;

  // The library context exists (false: fdierrAllocFail is in the error record).
  bool Ready() const { return FD != nullptr; }
  // Threads decoding ahead of the copy (see TMsZipFolders::SetWorkers).
  void SetWorkers(int Workers) { FMsZip.SetWorkers(Workers); }
  // Whether the file at Path holds a cabinet whose headers read: the one at its start, else
  // those found inside it (behind a setup program, say); Info describes the first. False with
  // fdierrNotACabinet for a file without one, fdierrCorruptCabinet for a file that starts with
  // the signature but holds none that reads.
  bool IsCabinet(const std::string& Path, TCabInfo& Info);
  // Opens the cabinets of Path as IsCabinet finds them; for each, joins the cabinets of its set
  // it needs (the previous ones when they lie beside it, the next ones through cnNextCabinet),
  // sends cnCabinetInfo, then for each file cnPartialFile or cnCopyFile. A cnCopyFile handler
  // copies the file at once through the notice's Extract, or answers 1 to have it copied
  // afterwards and hear cnCloseFile; the data goes through Write either way. A file that fails
  // to decode fails alone. False (error record set) when no cabinet opens or a notice aborted;
  // an exception thrown by Write or Notify is passed on once libmspack is out of the way.
  bool Copy(const std::string& Path, const TCabNotify& Notify, const TCabWrite& Write, const bool* Cancel = nullptr);

 private:
  friend struct TCabSystem;
  // The cabinet at the start of Path, else the chain of those found inside it; null (error
  // record set) when there is none. HeadDamaged: Path starts with the signature, yet no
  // cabinet reads there.
  mscabd_cabinet* OpenCabinets(const char* Path, bool& HeadDamaged);
  // Joins Cab's set neighbour before (Prev) or after it; false when there is none to join
  // (what needs it then fails alone).
  bool Join(mscabd_cabinet* Cab, bool Prev, const std::string& Dir, std::set<std::string>& Used,
            const TCabNotify& Notify);
  // The notices of one cabinet (with its joined set): false when a notice aborted.
  bool CopyFiles(mscabd_cabinet* Cab, const std::string& Dir, const TCabNotify& Notify);
  // Copies one file of Cab through FWrite: an fdierr* code; a pending exception is rethrown.
  int32_t Extract(mscabd_cabinet* Cab, struct mscabd_file* F);
  TCabError& FErr;
  std::unique_ptr<TCabSystem> FSys;
  struct mscab_decompressor* FD = nullptr;
  TCabWrite FWrite;
  const bool* FCancel = nullptr;
  TMsZipFolders FMsZip;
  std::exception_ptr FPending;  // thrown inside a callback, rethrown after libmspack returns
};

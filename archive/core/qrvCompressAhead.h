// Compressing ahead in the writer run: while the run writes entry i, the worker pool already
// compresses the files of the entries after it. Files are read on the caller's thread, block by
// block and in list order; each block is compressed by one job; the run takes its current row's
// results in order. What is held in memory (blocks read and results not yet taken) stays under a
// bound, whatever the number and size of the files.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/core/qrvStreams.h"
#include "archive/core/qrvWorkerPool.h"

// What a job made of one block.
struct TAheadBlock {
  std::vector<uint8_t> Data;   // the compressed bytes
  uint32_t Check = 0;          // the format's checksum of the block's input
  size_t InSize = 0;           // input bytes of the block
  bool Ok = false;             // false: the job failed or was aborted
  bool Store = false;          // the encoder found that packing does not pay
  std::vector<int64_t> Steps;  // input counts at which the format's own run counts progress
};

// Runs on a worker: compresses Len bytes at In, the HistoryLen bytes before them at History.
// Last: the block ends the file. Must touch nothing but its arguments.
using TAheadEncoder =
    std::function<TAheadBlock(const uint8_t* History, size_t HistoryLen, const uint8_t* In, size_t Len, bool Last)>;

class TCompressAhead {
 public:
  // Files are cut into blocks of BlockSize bytes; each job also gets the HistorySize bytes
  // before its block. At most MaxHeld bytes of blocks are read and not yet taken (one block
  // always may be). Resets the pool's abort flag.
  TCompressAhead(TWorkerPool& Pool, size_t BlockSize, size_t HistorySize, size_t MaxHeld);
  // Aborts the jobs not started, waits for the running ones, closes the file being read.
  ~TCompressAhead();
  TCompressAhead(const TCompressAhead&) = delete;
  TCompressAhead& operator=(const TCompressAhead&) = delete;

  // Registers row Row (rows in increasing order): its file Path of Size (> 0) bytes, Key the
  // format's setting the result depends on (level, method), and its encoder.
  void Add(int Row, const std::string& Path, int64_t Size, int Key, TAheadEncoder Encoder);
  // Starts taking row Row. True: its blocks come from here (it was added with this Size and
  // Key, and its first block was read and compressed). False: the caller compresses the row
  // itself. Rows before Row that were not taken are dropped.
  bool Begin(int Row, int64_t Size, int Key);
  // The current row's next block, waiting for it; Last tells that it ends the row. Throws
  // EReadError (ecReadFile) when a later block of the file could not be read (it shrank).
  TAheadBlock Next(bool& Last);

 private:
  struct TItem {
    int Row;
    std::string Path;
    int64_t Size;
    int Key;
    TAheadEncoder Encoder;
  };
  struct TPending {
    int Row;
    size_t Held;  // bytes of the block's buffer
    bool Last;
    bool Failed;  // the block could not be read: the item ends here
  };

  // Reads and submits blocks while the bound allows.
  void Pump();
  // Bytes the next block read will hold (history included).
  size_t NextBlockBytes() const;
  // Reads the next block of the item at FRead and submits its job (or a failure mark).
  void ReadBlock();
  void SubmitFailure(int Row);
  void EndReading();
  // Takes the oldest job's result (waiting for it).
  TAheadBlock TakeFront(TPending& P);
  // Drops the item at FTake with its blocks not taken.
  void DropItem();

  TWorkerPool& FPool;
  size_t FBlockSize, FHistorySize, FMaxHeld;
  std::vector<TItem> FItems;
  size_t FTake = 0;  // the next item to take
  size_t FRead = 0;  // the item being read
  std::unique_ptr<TFileStream32> FIn;
  int64_t FReadPos = 0;
  std::vector<uint8_t> FTail;  // the last HistorySize bytes read of the item being read
  std::deque<TPending> FPending;
  size_t FHeld = 0;
  bool FHavePeeked = false;
  TAheadBlock FPeeked;
  bool FPeekedLast = false;
  TOrderedJobs<TAheadBlock> FJobs;
};

// Decoding ahead in the reader run: while the run hands entry i through its per-entry step, the
// worker pool already reads and decodes entries after it into memory. Each job reads the
// archive by itself (pread at its own offsets), never through the run's stream. A job takes a
// batch of entries (small entries cost one job together, not one each), results are taken in
// the order the entries were added, whichever worker finished first, and what is held in
// memory (jobs running and results not yet taken) stays under a bound. Batches and their
// buffers are reused, so a long run stops allocating (and faulting in pages) once it is going.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "archive/core/qrvStreams.h"
#include "archive/core/qrvWorkerPool.h"

// Frees a TAheadBuffer's memory: a mapping of Mapped bytes, or memory from new[] when 0.
struct TAheadFree {
  size_t Mapped;
  void operator()(uint8_t* P) const;
};

// A byte buffer that keeps its memory when resized smaller and leaves new bytes uninitialised.
class TAheadBuffer {
 public:
  uint8_t* Data() const { return FData.get(); }
  size_t Size() const { return FSize; }
  size_t Capacity() const { return FCapacity; }
  // Size bytes; the contents are undefined afterwards.
  void Resize(size_t Size);

 private:
  std::unique_ptr<uint8_t, TAheadFree> FData;
  size_t FSize = 0, FCapacity = 0;
};

// What a job made of one entry.
struct TAheadResult {
  const uint8_t* Data = nullptr;  // the decoded bytes, in the batch's buffers
  size_t Size = 0;
  uint32_t Crc32 = Crc32Init;  // running CRC-32 of the bytes
  bool Ok = false;             // false: not decoded whole here; the run decodes the entry itself
  // The entry's own header as the job read and checked it, so the run need not read it again:
  // where the data starts, and the date and CRC-32 the header holds.
  bool HeaderRead = false;
  int64_t DataPosition = 0;
  uint32_t HeaderDosDateTime = 0, HeaderCrc32 = 0;
};

// One job's entries: a result per key of its item, in order, and the memory they point into
// (what the job read and what it decoded; Scratch for what it read by itself).
struct TAheadBatch {
  std::vector<TAheadResult> Results;
  TAheadBuffer Memory, Scratch;
};

// Runs on a worker: reads and decodes the entries of one item into Batch, whose Results come
// sized, one per key, all not Ok. Must touch nothing but what it captured, and must not throw
// (an exception counts as a failed job).
using TAheadJob = std::function<void(TAheadBatch& Batch)>;

// Reads exactly Count bytes at Offset of Fd without moving its file position (safe from any
// thread); false on a short read or an error.
bool ReadAt(int Fd, int64_t Offset, void* Buffer, size_t Count);
// The same up to the end of the file: the number of bytes read, -1 on an error.
int64_t ReadUpTo(int Fd, int64_t Offset, void* Buffer, size_t Count);

// Entries to decode ahead in one job: their keys (increasing), about how many bytes the job
// holds, the job.
struct TAheadItem {
  std::vector<size_t> Keys;
  size_t Held = 0;
  TAheadJob Job;
};

// Gives the next item to decode ahead; false when there are no more. Asked only as the bounds
// allow, so a million entries never wait in memory as jobs.
using TAheadSource = std::function<bool(TAheadItem& Item)>;

class TExtractAhead {
 public:
  // At most MaxHeld bytes (by the items' Held figures, or the reused buffers' size when larger)
  // are in flight; one item always may be.
  // At most a few items per worker are queued. Resets the pool's abort flag.
  TExtractAhead(TWorkerPool& Pool, size_t MaxHeld, TAheadSource Source);
  // Aborts the jobs not started and waits for the running ones.
  ~TExtractAhead();
  TExtractAhead(const TExtractAhead&) = delete;
  TExtractAhead& operator=(const TExtractAhead&) = delete;

  // Takes entry Key, waiting for its job: its result when the source gave it, else null. Valid
  // until the next Take. Entries before Key that were not taken are dropped. Starts further
  // jobs as the bounds allow.
  const TAheadResult* Take(size_t Key);

 private:
  struct TRunning {
    std::vector<size_t> Keys;
    size_t Held;
  };
  // The source's next item into FPending; false when it has no more.
  bool Peek();
  // Starts jobs while the bounds allow.
  void Pump();
  // Makes the oldest running job's batch the current one.
  void TakeFront();
  // Key's result in the current batch, null when it holds none; passes over earlier keys.
  const TAheadResult* FindCurrent(size_t Key);
  // Returns a batch for reuse; its buffers are kept while the free ones stay under a bound.
  void Recycle(std::shared_ptr<TAheadBatch> Batch);
  // A batch for an item of about Need bytes: a free one, else a new one.
  std::shared_ptr<TAheadBatch> FreeBatch(size_t Need);
  static size_t Capacity(const TAheadBatch& B);

  TWorkerPool& FPool;
  size_t FMaxHeld, FMaxQueued;
  TAheadSource FSource;
  TAheadItem FPending;
  bool FHasPending = false, FSourceDone = false;
  std::deque<TRunning> FRunning;  // started and not taken
  size_t FHeld = 0;
  std::shared_ptr<TAheadBatch> FCurrent;  // the batch results are taken from
  std::vector<size_t> FCurrentKeys;
  size_t FCurrentAt = 0;
  std::vector<std::shared_ptr<TAheadBatch>> FFree;
  size_t FFreeBytes = 0;  // the capacity of FFree's buffers
  TOrderedJobs<std::shared_ptr<TAheadBatch>> FJobs;
};

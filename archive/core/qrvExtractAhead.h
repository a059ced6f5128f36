// Decoding ahead in the reader run: while the run hands entry i through its per-entry step, the
// worker pool already reads and decodes entries after it into memory. Each job reads the
// archive by itself (pread at its own offsets), never through the run's stream. Results are
// taken in the order the entries were added, whichever worker finished first, and what is held
// in memory (jobs running and results not yet taken) stays under a bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "archive/core/qrvStreams.h"
#include "archive/core/qrvWorkerPool.h"

// What a job made of one entry.
struct TAheadResult {
  std::vector<uint8_t> Data;   // the decoded bytes
  uint32_t Crc32 = Crc32Init;  // running CRC-32 of Data
  bool Ok = false;             // false: not decoded whole here; the run decodes the entry itself
};

// Runs on a worker: reads and decodes one entry. Must touch nothing but what it captured, and
// must not throw (an exception counts as a failed job).
using TAheadJob = std::function<TAheadResult()>;

// Reads exactly Count bytes at Offset of Fd without moving its file position (safe from any
// thread); false on a short read or an error.
bool ReadAt(int Fd, int64_t Offset, void* Buffer, size_t Count);

class TExtractAhead {
 public:
  // At most MaxHeld bytes (by the items' Held figures) are in flight; one item always may be.
  // At most a few items per worker are queued. Resets the pool's abort flag.
  TExtractAhead(TWorkerPool& Pool, size_t MaxHeld);
  // Aborts the jobs not started and waits for the running ones.
  ~TExtractAhead();
  TExtractAhead(const TExtractAhead&) = delete;
  TExtractAhead& operator=(const TExtractAhead&) = delete;

  // Registers entry Key (keys in increasing order), whose job holds about Held bytes.
  void Add(size_t Key, size_t Held, TAheadJob Job);
  // Takes entry Key, waiting for its job: true with its result when it was added. Entries
  // before Key that were not taken are dropped. Starts further jobs as the bounds allow.
  bool Take(size_t Key, TAheadResult& Result);

 private:
  struct TItem {
    size_t Key;
    size_t Held;
    TAheadJob Job;
  };
  // Starts jobs while the bounds allow.
  void Pump();
  // Takes the oldest running job's result.
  TAheadResult TakeFront();

  TWorkerPool& FPool;
  size_t FMaxHeld, FMaxQueued;
  std::deque<TItem> FItems;     // a deque: running jobs refer to their items
  size_t FNext = 0;             // the next item to start
  std::deque<TItem*> FRunning;  // started and not taken, oldest first
  size_t FHeld = 0;
  TOrderedJobs<TAheadResult> FJobs;
};

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
#include <utility>
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

// One entry to decode ahead: its key (increasing), about how many bytes its job holds, the job.
struct TAheadItem {
  size_t Key = 0;
  size_t Held = 0;
  TAheadJob Job;
};

// Gives the next entry to decode ahead into Item; false when there are no more. Asked only as
// the bounds allow, so a million entries never wait in memory as jobs.
using TAheadSource = std::function<bool(TAheadItem& Item)>;

class TExtractAhead {
 public:
  // At most MaxHeld bytes (by the items' Held figures) are in flight; one item always may be.
  // At most a few items per worker are queued. Resets the pool's abort flag.
  TExtractAhead(TWorkerPool& Pool, size_t MaxHeld, TAheadSource Source);
  // Aborts the jobs not started and waits for the running ones.
  ~TExtractAhead();
  TExtractAhead(const TExtractAhead&) = delete;
  TExtractAhead& operator=(const TExtractAhead&) = delete;

  // Takes entry Key, waiting for its job: true with its result when the source gave it.
  // Entries before Key that were not taken are dropped. Starts further jobs as the bounds allow.
  bool Take(size_t Key, TAheadResult& Result);

 private:
  // The source's next item into FPending; false when it has no more.
  bool Peek();
  // Starts jobs while the bounds allow.
  void Pump();
  // Takes the oldest running job's result.
  TAheadResult TakeFront();

  TWorkerPool& FPool;
  size_t FMaxHeld, FMaxQueued;
  TAheadSource FSource;
  TAheadItem FPending;
  bool FHasPending = false, FSourceDone = false;
  std::deque<std::pair<size_t, size_t>> FRunning;  // key and held bytes, started and not taken
  size_t FHeld = 0;
  TOrderedJobs<TAheadResult> FJobs;
};

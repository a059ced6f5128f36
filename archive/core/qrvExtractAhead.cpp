// TExtractAhead: entries decoded on the worker pool ahead of the reader's per-entry step.
#include "archive/core/qrvExtractAhead.h"

#include <unistd.h>

#include <cerrno>

namespace {

constexpr size_t kQueuedPerWorker = 4;

}  // namespace

bool ReadAt(int Fd, int64_t Offset, void* Buffer, size_t Count) {
  size_t done = 0;
  while (done < Count) {
    const ssize_t n = pread(Fd, static_cast<char*>(Buffer) + done, Count - done, off_t(Offset + int64_t(done)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

TExtractAhead::TExtractAhead(TWorkerPool& Pool, size_t MaxHeld, TAheadSource Source)
    : FPool(Pool),
      FMaxHeld(MaxHeld),
      FMaxQueued(size_t(Pool.Workers()) * kQueuedPerWorker),
      FSource(std::move(Source)),
      FJobs(Pool) {
  FPool.Reset();
}

TExtractAhead::~TExtractAhead() {
  if (FJobs.Pending() > 0) FPool.Abort();
  FJobs.Drain();
}

bool TExtractAhead::Peek() {
  if (!FHasPending && !FSourceDone) {
    FPending = {};
    FHasPending = FSource(FPending);
    FSourceDone = !FHasPending;
  }
  return FHasPending;
}

void TExtractAhead::Pump() {
  while (FRunning.size() < FMaxQueued && Peek() && (FRunning.empty() || FHeld + FPending.Held <= FMaxHeld)) {
    FHasPending = false;
    FRunning.emplace_back(FPending.Key, FPending.Held);
    FHeld += FPending.Held;
    const TWorkerPool* pool = &FPool;
    FJobs.Submit([pool, job = std::move(FPending.Job)]() -> TAheadResult {
      if (pool->Aborted()) return {};
      try {
        return job();
      } catch (...) {
        return {};
      }
    });
  }
}

TAheadResult TExtractAhead::TakeFront() {
  FHeld -= FRunning.front().second;
  FRunning.pop_front();
  return FJobs.Next();
}

bool TExtractAhead::Take(size_t Key, TAheadResult& Result) {
  while (!FRunning.empty() && FRunning.front().first < Key) TakeFront();
  // Items before Key never started are passed over.
  while (FRunning.empty() && Peek() && FPending.Key < Key) FHasPending = false;
  Pump();
  if (FRunning.empty() || FRunning.front().first != Key) return false;
  Result = TakeFront();
  Pump();
  return true;
}

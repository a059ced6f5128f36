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

TExtractAhead::TExtractAhead(TWorkerPool& Pool, size_t MaxHeld)
    : FPool(Pool), FMaxHeld(MaxHeld), FMaxQueued(size_t(Pool.Workers()) * kQueuedPerWorker), FJobs(Pool) {
  FPool.Reset();
}

TExtractAhead::~TExtractAhead() {
  if (FJobs.Pending() > 0) FPool.Abort();
  FJobs.Drain();
}

void TExtractAhead::Add(size_t Key, size_t Held, TAheadJob Job) { FItems.push_back({Key, Held, std::move(Job)}); }

void TExtractAhead::Pump() {
  while (FNext < FItems.size() && FRunning.size() < FMaxQueued &&
         (FRunning.empty() || FHeld + FItems[FNext].Held <= FMaxHeld)) {
    TItem& item = FItems[FNext++];
    FRunning.push_back(&item);
    FHeld += item.Held;
    const TWorkerPool* pool = &FPool;
    TAheadJob* job = &item.Job;
    FJobs.Submit([pool, job]() -> TAheadResult {
      if (pool->Aborted()) return {};
      try {
        return (*job)();
      } catch (...) {
        return {};
      }
    });
  }
}

TAheadResult TExtractAhead::TakeFront() {
  TItem* item = FRunning.front();
  FRunning.pop_front();
  TAheadResult r = FJobs.Next();
  FHeld -= item->Held;
  item->Job = nullptr;
  return r;
}

bool TExtractAhead::Take(size_t Key, TAheadResult& Result) {
  while (!FRunning.empty() && FRunning.front()->Key < Key) TakeFront();
  // Items before Key never started are passed over.
  while (FRunning.empty() && FNext < FItems.size() && FItems[FNext].Key < Key) ++FNext;
  Pump();
  if (FRunning.empty() || FRunning.front()->Key != Key) return false;
  Result = TakeFront();
  Pump();
  return true;
}

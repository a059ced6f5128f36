// TExtractAhead: entries decoded on the worker pool ahead of the reader's per-entry step.
#include "archive/core/qrvExtractAhead.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace {

constexpr size_t kQueuedPerWorker = 4;
constexpr size_t kHugePage = size_t(2) << 20;

}  // namespace

void TAheadFree::operator()(uint8_t* P) const {
  if (Mapped)
    munmap(P, Mapped);
  else
    delete[] P;
}

void TAheadBuffer::Resize(size_t Size) {
  if (Size > FCapacity) {
    FSize = 0;
    if (Size < kHugePage) {
      FData.reset();
      FCapacity = 0;
      FData = std::unique_ptr<uint8_t, TAheadFree>(new uint8_t[Size], TAheadFree{0});
      FCapacity = Size;
    } else {
      // Large buffers are mapped with huge pages where the system allows (a fresh 8 MiB buffer
      // costs four page faults, not two thousand), and a mapped buffer grows by remapping: the
      // pages it has are kept, only the new ones must be cleared by the system.
      const size_t mapped = (Size + kHugePage - 1) / kHugePage * kHugePage;
      void* p = MAP_FAILED;
      if (FData && FData.get_deleter().Mapped) {
        p = mremap(FData.get(), FData.get_deleter().Mapped, mapped, MREMAP_MAYMOVE);
        if (p != MAP_FAILED) (void)FData.release();
      }
      if (p == MAP_FAILED) {
        FData.reset();
        FCapacity = 0;
        p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
      }
      madvise(p, mapped, MADV_HUGEPAGE);
      FData = std::unique_ptr<uint8_t, TAheadFree>(static_cast<uint8_t*>(p), TAheadFree{mapped});
      FCapacity = mapped;
    }
  }
  FSize = Size;
}

int64_t ReadUpTo(int Fd, int64_t Offset, void* Buffer, size_t Count) {
  size_t done = 0;
  while (done < Count) {
    const ssize_t n = pread(Fd, static_cast<char*>(Buffer) + done, Count - done, off_t(Offset + int64_t(done)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += size_t(n);
  }
  return int64_t(done);
}

bool ReadAt(int Fd, int64_t Offset, void* Buffer, size_t Count) {
  return ReadUpTo(Fd, Offset, Buffer, Count) == int64_t(Count);
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
    FPending.Keys.clear();
    FPending.Held = 0;
    FPending.Job = nullptr;
    FHasPending = FSource(FPending) && !FPending.Keys.empty();
    FSourceDone = !FHasPending;
  }
  return FHasPending;
}

size_t TExtractAhead::Capacity(const TAheadBatch& B) { return B.Memory.Capacity() + B.Scratch.Capacity(); }

std::shared_ptr<TAheadBatch> TExtractAhead::FreeBatch(size_t Need) {
  // The smallest that holds Need, else the largest: big buffers go to big items.
  auto better = [Need](size_t C, size_t B) {
    return (C >= Need) != (B >= Need) ? C >= Need : C >= Need ? C < B : C > B;
  };
  size_t best = FFree.size();
  for (size_t i = 0; i < FFree.size(); ++i)
    if (best == FFree.size() || better(Capacity(*FFree[i]), Capacity(*FFree[best]))) best = i;
  if (best == FFree.size()) return std::make_shared<TAheadBatch>();
  std::shared_ptr<TAheadBatch> batch = std::move(FFree[best]);
  FFree.erase(FFree.begin() + std::ptrdiff_t(best));
  FFreeBytes -= Capacity(*batch);
  return batch;
}

void TExtractAhead::Pump() {
  while (FRunning.size() < FMaxQueued && Peek()) {
    std::shared_ptr<TAheadBatch> batch = FreeBatch(FPending.Held);
    // A reused batch holds its buffers' memory whatever its item needs.
    const size_t held = std::max(FPending.Held, Capacity(*batch));
    if (!FRunning.empty() && FHeld + held > FMaxHeld) {
      Recycle(std::move(batch));
      return;
    }
    FHasPending = false;
    batch->Results.assign(FPending.Keys.size(), TAheadResult{});
    const TWorkerPool* pool = &FPool;
    FJobs.Submit([pool, job = std::move(FPending.Job), b = std::move(batch)] {
      if (pool->Aborted()) return b;
      try {
        job(*b);
      } catch (...) {
        b->Results.assign(b->Results.size(), TAheadResult{});
      }
      return b;
    });
    FHeld += held;
    FRunning.push_back({std::move(FPending.Keys), held});
  }
}

void TExtractAhead::Recycle(std::shared_ptr<TAheadBatch> Batch) {
  if (!Batch) return;
  // Kept buffers stay under half the in-flight bound; beyond it they go back to the allocator.
  if (FFreeBytes + Capacity(*Batch) > FMaxHeld / 2)
    for (TAheadBuffer* b : {&Batch->Memory, &Batch->Scratch}) *b = TAheadBuffer{};
  FFreeBytes += Capacity(*Batch);
  FFree.push_back(std::move(Batch));
}

void TExtractAhead::TakeFront() {
  Recycle(std::move(FCurrent));
  FHeld -= FRunning.front().Held;
  FCurrentKeys = std::move(FRunning.front().Keys);
  FRunning.pop_front();
  FCurrentAt = 0;
  FCurrent = FJobs.Next();
}

const TAheadResult* TExtractAhead::FindCurrent(size_t Key) {
  if (!FCurrent) return nullptr;
  while (FCurrentAt < FCurrentKeys.size() && FCurrentKeys[FCurrentAt] < Key) ++FCurrentAt;
  if (FCurrentAt == FCurrentKeys.size() || FCurrentKeys[FCurrentAt] != Key) return nullptr;
  return &FCurrent->Results[FCurrentAt++];
}

const TAheadResult* TExtractAhead::Take(size_t Key) {
  if (FCurrent && !FCurrentKeys.empty() && FCurrentKeys.back() >= Key) return FindCurrent(Key);
  // Everything decoded ahead was taken: the rest of the run costs no work here.
  if (FSourceDone && FRunning.empty()) return nullptr;
  while (!FRunning.empty() && FRunning.front().Keys.back() < Key) TakeFront();
  // Items wholly before Key never started are passed over.
  while (FRunning.empty() && Peek() && FPending.Keys.back() < Key) FHasPending = false;
  Pump();
  if (FRunning.empty() || FRunning.front().Keys.front() > Key) return nullptr;
  TakeFront();
  Pump();
  return FindCurrent(Key);
}

// Compressing ahead in the writer run: reading on the caller's thread, jobs on the pool.
#include "archive/core/qrvCompressAhead.h"

#include <algorithm>
#include <cstring>

#include "archive/core/qrvErrors.h"

TCompressAhead::TCompressAhead(TWorkerPool& Pool, size_t BlockSize, size_t HistorySize, size_t MaxHeld)
    : FPool(Pool), FBlockSize(BlockSize), FHistorySize(HistorySize), FMaxHeld(MaxHeld), FJobs(Pool) {
  FPool.Reset();
}

TCompressAhead::~TCompressAhead() {
  FPool.Abort();
  FJobs.Drain();
}

void TCompressAhead::Add(int Row, const std::string& Path, int64_t Size, int Key, TAheadEncoder Encoder) {
  if (Size > 0) FItems.push_back({Row, Path, Size, Key, std::move(Encoder)});
}

// ---- Reading -------------------------------------------------------------------------------

void TCompressAhead::Pump() {
  while (FRead < FItems.size() && (FPending.empty() || FHeld + NextBlockBytes() <= FMaxHeld)) ReadBlock();
}

size_t TCompressAhead::NextBlockBytes() const {
  const int64_t left = FItems[FRead].Size - FReadPos;
  return FTail.size() + size_t(std::min<int64_t>(int64_t(FBlockSize), left));
}

void TCompressAhead::ReadBlock() {
  const TItem& item = FItems[FRead];
  if (!FIn) {
    try {
      FIn = std::make_unique<TFileStream32>(item.Path, fmOpenRead | fmShareDenyNone);
    } catch (const EArchiveError&) {
      SubmitFailure(item.Row);
      return;
    }
  }
  const size_t n = size_t(std::min<int64_t>(int64_t(FBlockSize), item.Size - FReadPos));
  auto buf = std::make_shared<std::vector<uint8_t>>(FTail.size() + n);
  if (!FTail.empty()) std::memcpy(buf->data(), FTail.data(), FTail.size());
  size_t got = 0;
  while (got < n) {
    const int32_t r = FIn->Read(buf->data() + FTail.size() + got, int32_t(n - got));
    if (r <= 0) break;
    got += size_t(r);
  }
  if (got < n) {
    // The file shrank since the scan (or cannot be read): its row fails here.
    SubmitFailure(item.Row);
    return;
  }
  const size_t history = FTail.size();
  FReadPos += int64_t(n);
  const bool last = FReadPos == item.Size;
  const size_t keep = std::min(FHistorySize, buf->size());
  FTail.assign(buf->end() - std::ptrdiff_t(keep), buf->end());
  TWorkerPool* pool = &FPool;
  TAheadEncoder encoder = item.Encoder;
  FJobs.Submit([pool, buf, history, n, last, encoder]() -> TAheadBlock {
    if (pool->Aborted()) return {};
    try {
      return encoder(buf->data(), history, buf->data() + history, n, last);
    } catch (...) {
      return {};  // out of memory: the row goes the caller's own way
    }
  });
  FPending.push_back({item.Row, buf->size(), last, false});
  FHeld += buf->size();
  if (last) EndReading();
}

void TCompressAhead::SubmitFailure(int Row) {
  FJobs.Submit([]() { return TAheadBlock{}; });
  FPending.push_back({Row, 0, true, true});
  EndReading();
}

void TCompressAhead::EndReading() {
  FIn.reset();
  FReadPos = 0;
  FTail.clear();
  ++FRead;
}

// ---- Taking --------------------------------------------------------------------------------

TAheadBlock TCompressAhead::TakeFront(TPending& P) {
  P = FPending.front();
  FPending.pop_front();
  FHeld -= P.Held;
  return FJobs.Next();
}

void TCompressAhead::DropItem() {
  const int row = FItems[FTake].Row;
  if (FRead == FTake) EndReading();  // being read (or not yet): stop there
  TPending p;
  while (!FPending.empty() && FPending.front().Row == row) TakeFront(p);
  ++FTake;
}

bool TCompressAhead::Begin(int Row, int64_t Size, int Key) {
  FHavePeeked = false;
  while (FTake < FItems.size() && FItems[FTake].Row < Row) DropItem();
  if (FTake == FItems.size() || FItems[FTake].Row != Row) return false;
  if (FItems[FTake].Size != Size || FItems[FTake].Key != Key) {
    DropItem();
    return false;
  }
  Pump();
  TPending p;
  FPeeked = TakeFront(p);
  if (p.Failed || !FPeeked.Ok) {
    // Nothing of the row was written yet: the caller's own path reports what went wrong.
    DropItem();
    return false;
  }
  FPeekedLast = p.Last;
  FHavePeeked = true;
  if (p.Last) ++FTake;
  Pump();
  return true;
}

TAheadBlock TCompressAhead::Next(bool& Last) {
  if (FHavePeeked) {
    FHavePeeked = false;
    Last = FPeekedLast;
    return std::move(FPeeked);
  }
  Pump();
  TPending p;
  TAheadBlock b = TakeFront(p);
  Last = p.Last;
  if (p.Last) ++FTake;
  if (p.Failed || !b.Ok) ThrowError(ecsRead, ecReadFile);
  Pump();
  return b;
}

// Chunked deflate on zlib (a whole input at the common levels on libdeflate), and a whole stream
// deflated chunk by chunk on a worker pool.
#include "archive/core/qrvDeflateChunks.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <deque>
#include <memory>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvStreams.h"
#include "archive/core/qrvWorkerPool.h"

namespace {

// Levels at which libdeflate deflates a whole input: on the benchmark corpus it is faster than
// zlib there and its output no larger (bench/gz-bench.sh prints the figures). Other levels,
// and every chunk with history or a sync flush, stay with zlib.
bool WholeByLibdeflate(int ZLevel) { return ZLevel == 1 || ZLevel == 6 || ZLevel == 9; }

// libdeflate compressors of this thread, one per level, made at first use.
class TThreadCompressors {
 public:
  ~TThreadCompressors() {
    for (libdeflate_compressor* c : FByLevel)
      if (c != nullptr) libdeflate_free_compressor(c);
  }
  libdeflate_compressor* Get(int Level) {
    libdeflate_compressor*& c = FByLevel[size_t(Level)];
    if (c == nullptr) c = libdeflate_alloc_compressor(Level);
    return c;
  }

 private:
  std::array<libdeflate_compressor*, 10> FByLevel{};
};

thread_local TThreadCompressors tCompressors;

// Output room kept per thread: deflate writes there and the result copies exactly what came
// out, instead of zero-filling a fresh worst-case buffer per chunk (which also faults in new
// pages each time). Rooms above kKeptRoom are the caller's own, so no thread keeps a large one.
constexpr size_t kKeptRoom = size_t(1) << 20;
thread_local std::unique_ptr<uint8_t[]> tRoom;
thread_local size_t tRoomSize = 0;

// Room for Size bytes: the thread's kept room, or Own when Size is above kKeptRoom.
uint8_t* OutputRoom(size_t Size, std::unique_ptr<uint8_t[]>& Own) {
  if (Size > kKeptRoom) {
    Own = std::make_unique_for_overwrite<uint8_t[]>(Size);
    return Own.get();
  }
  if (Size > tRoomSize) {
    tRoom = std::make_unique_for_overwrite<uint8_t[]>(Size);
    tRoomSize = Size;
  }
  return tRoom.get();
}

// The whole of In as one final deflate stream by libdeflate; false when it could not.
bool DeflateWhole(const uint8_t* In, size_t Len, int ZLevel, std::vector<uint8_t>& Out) {
  libdeflate_compressor* c = tCompressors.Get(ZLevel);
  if (c == nullptr) return false;
  const size_t bound = libdeflate_deflate_compress_bound(c, Len);
  std::unique_ptr<uint8_t[]> own;
  uint8_t* room = OutputRoom(bound, own);
  const size_t n = libdeflate_deflate_compress(c, In, Len, room, bound);
  Out.assign(room, room + n);
  return n > 0;
}

}  // namespace

TDeflatedChunk DeflateChunk(const uint8_t* Dict, size_t DictLen, const uint8_t* In, size_t Len,
                            int ZLevel, bool Last) {
  TDeflatedChunk r;
  r.InSize = Len;
  r.Crc = uint32_t(crc32(0L, In, uInt(Len)));
  if (Last && DictLen == 0 && WholeByLibdeflate(ZLevel) && DeflateWhole(In, Len, ZLevel, r.Data)) {
    r.Ok = true;
    return r;
  }
  z_stream z{};
  if (deflateInit2(&z, ZLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return r;
  bool ok = DictLen == 0 || deflateSetDictionary(&z, Dict, uInt(DictLen)) == Z_OK;
  // deflateBound covers the final block; a sync flush adds at most an empty stored block.
  const size_t bound = deflateBound(&z, uLong(Len)) + 16;
  std::unique_ptr<uint8_t[]> own;
  uint8_t* room = OutputRoom(bound, own);
  z.next_in = const_cast<Bytef*>(In);
  z.avail_in = uInt(Len);
  z.next_out = room;
  z.avail_out = uInt(bound);
  const int rc = ok ? deflate(&z, Last ? Z_FINISH : Z_SYNC_FLUSH) : Z_STREAM_ERROR;
  ok = Last ? rc == Z_STREAM_END : rc == Z_OK && z.avail_in == 0 && z.avail_out > 0;
  r.Data.assign(room, room + (bound - z.avail_out));
  deflateEnd(&z);
  r.Ok = ok;
  return r;
}

uint32_t CombineCrc32(uint32_t A, uint32_t B, int64_t LenB) {
  return uint32_t(crc32_combine64(A, B, LenB));
}

// ---- A whole stream ------------------------------------------------------------------------

namespace {

// One input chunk; its buffer is reused once no job reads it any more.
struct TChunk {
  std::unique_ptr<uint8_t[]> Data = std::make_unique_for_overwrite<uint8_t[]>(kDeflateChunkSize);
  size_t Size = 0;
};

// Chunks in flight per worker: enough to keep every worker busy while the caller reads and
// writes. Each holds up to about 0.3 MiB (its input and its output), so many cores get only a
// few more chunks than workers: memory stays within about 32 MiB.
constexpr size_t kChunksPerWorker = 3;
constexpr size_t kChunksAboveWorkers = 64;

// The input chunks of one stream in reading order: chunk i is read by job i (its data) and job
// i + 1 (its history), so it is free again once the results of both were taken.
class TChunkQueue {
 public:
  // Fills a free chunk with the next bytes of Input (kDeflateChunkSize, fewer only at its end).
  // Left counts the bytes Input still holds (negative: unknown, read until it gives none).
  const TChunk* Read(TStream32& Input, int64_t& Left) {
    std::unique_ptr<TChunk> c;
    if (FSpare.empty()) {
      c = std::make_unique<TChunk>();
    } else {
      c = std::move(FSpare.back());
      FSpare.pop_back();
    }
    TChunk* at = c.get();
    FHeld.push_back(std::move(c));
    at->Size = Fill(Input, Left, at->Data.get());
    return at;
  }
  // The result of job Taken - 1 was taken: the chunks before Taken - 1 are free.
  void Release(size_t Taken) {
    while (!FHeld.empty() && FFirst + 2 <= Taken) {
      FSpare.push_back(std::move(FHeld.front()));
      FHeld.pop_front();
      ++FFirst;
    }
  }

 private:
  static size_t Fill(TStream32& Input, int64_t& Left, uint8_t* To) {
    if (Left >= 0) {
      const size_t n = size_t(std::min<int64_t>(Left, int64_t(kDeflateChunkSize)));
      Input.ReadBuffer(To, int64_t(n));
      Left -= int64_t(n);
      return n;
    }
    size_t got = 0;
    while (got < kDeflateChunkSize) {
      const int32_t n = Input.Read(To + got, int32_t(kDeflateChunkSize - got));
      if (n < 0 || (n == 0 && Input.LastError() != 0)) throw EReadError(ecReadFile, SReadError, {});
      if (n == 0) break;
      got += size_t(n);
    }
    return got;
  }

  std::deque<std::unique_ptr<TChunk>> FHeld;  // chunk FFirst and those read after it
  std::vector<std::unique_ptr<TChunk>> FSpare;
  size_t FFirst = 0;
};

// Deflates Cur primed with the end of Prev; an aborted pool gives a failed chunk at once.
TDeflatedChunk DeflateJob(const TWorkerPool& Pool, const TChunk* Prev, const TChunk* Cur, int ZLevel, bool Last) {
  if (Pool.Aborted()) return {};
  const size_t dict = Prev ? std::min(Prev->Size, kDeflateHistory) : 0;
  const uint8_t* at = dict > 0 ? Prev->Data.get() + Prev->Size - dict : nullptr;
  return DeflateChunk(at, dict, Cur->Data.get(), Cur->Size, ZLevel, Last);
}

}  // namespace

TChunkedResult DeflateChunked(TStream32& Input, TStream32& Output, int ZLevel, TWorkerPool& Pool,
                              const bool* CancelFlag, int64_t* BytesToGo,
                              const std::function<void()>& OnProgress) {
  TChunkedResult r;
  TChunkQueue chunks;  // outlives the jobs that read it
  TOrderedJobs<TDeflatedChunk> jobs(Pool);
  const size_t workers = size_t(Pool.Workers());
  const size_t inFlight = std::min(workers * kChunksPerWorker, workers + kChunksAboveWorkers);
  size_t taken = 0;
  const auto writeNext = [&] {
    const TDeflatedChunk c = jobs.Next();
    chunks.Release(++taken);
    r.Ok = r.Ok && c.Ok;
    if (!r.Ok) return;
    Output.WriteBuffer(c.Data.data(), int64_t(c.Data.size()));
    r.Crc = CombineCrc32(r.Crc, c.Crc, int64_t(c.InSize));
    r.InSize += int64_t(c.InSize);
    if (BytesToGo != nullptr) *BytesToGo -= int64_t(c.InSize);
    if (OnProgress) OnProgress();
  };
  int64_t left = Input.Size();
  if (left >= 0) left = std::max<int64_t>(0, left - Input.Position());
  const TChunk* prev = nullptr;
  const TChunk* cur = chunks.Read(Input, left);
  for (bool last = false; !last && r.Ok;) {
    ProcessMessages();
    if (CancelFlag != nullptr && *CancelFlag) {
      Pool.Abort();
      r.Ok = false;
      break;
    }
    // Every chunk but the last is full; a full one is last when nothing follows it.
    const TChunk* next = nullptr;
    last = cur->Size < kDeflateChunkSize || (next = chunks.Read(Input, left))->Size == 0;
    jobs.Submit([&Pool, prev, cur, ZLevel, last] { return DeflateJob(Pool, prev, cur, ZLevel, last); });
    while (r.Ok && jobs.Pending() >= inFlight) writeNext();
    prev = cur;
    cur = next;
  }
  while (r.Ok && jobs.Pending() > 0) writeNext();
  return r;
}

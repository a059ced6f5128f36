// Chunked deflate on zlib (a whole input at the common levels on libdeflate), and a whole stream
// deflated chunk by chunk on a worker pool.
#include "archive/core/qrvDeflateChunks.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>

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

TDeflatedChunk DeflateChunk(const uint8_t* Dict, size_t DictLen, const uint8_t* In, size_t Len, int ZLevel, bool Last) {
  TDeflatedChunk r;
  r.InSize = Len;
  r.Crc = Crc32Of(In, Len);
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

uint32_t CombineCrc32(uint32_t A, uint32_t B, int64_t LenB) { return uint32_t(crc32_combine64(A, B, LenB)); }

// ---- A whole stream ------------------------------------------------------------------------

namespace {

// One input chunk; its buffer is reused once no job reads it any more.
struct TChunk {
  std::unique_ptr<uint8_t[]> Data = std::make_unique_for_overwrite<uint8_t[]>(kDeflateChunkSize);
  size_t Size = 0;
  size_t Room() const { return kDeflateChunkSize - Size; }
};

// Chunks in flight per worker: enough to keep every worker busy while the caller reads and
// writes. Each holds up to about 0.3 MiB (its input and its output), so many cores get only a
// few more chunks than workers: memory stays within about 32 MiB.
constexpr size_t kChunksPerWorker = 3;
constexpr size_t kChunksAboveWorkers = 64;

// The input chunks of one stream in order: chunk i is read by job i (its data) and job i + 1
// (its history), so it is free again once the results of both were taken.
class TChunkQueue {
 public:
  // An empty chunk, after every chunk handed out before.
  TChunk* Take() {
    std::unique_ptr<TChunk> c;
    if (FSpare.empty()) {
      c = std::make_unique<TChunk>();
    } else {
      c = std::move(FSpare.back());
      FSpare.pop_back();
    }
    c->Size = 0;
    FHeld.push_back(std::move(c));
    return FHeld.back().get();
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
  std::deque<std::unique_ptr<TChunk>> FHeld;  // chunk FFirst and those taken after it
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

struct TChunkedDeflater::TState {
  TState(TStream32& O, int L, TWorkerPool& P, const bool* C, int64_t* B, std::function<void()> Pr)
      : Output(O),
        ZLevel(L),
        Pool(P),
        Cancel(C),
        BytesToGo(B),
        OnProgress(std::move(Pr)),
        Jobs(P),
        InFlight(std::min(size_t(P.Workers()) * kChunksPerWorker, size_t(P.Workers()) + kChunksAboveWorkers)) {}
  TStream32& Output;
  int ZLevel;
  TWorkerPool& Pool;
  const bool* Cancel;
  int64_t* BytesToGo;
  std::function<void()> OnProgress;
  TChunkQueue Chunks;  // declared before Jobs: outlives the jobs that read it
  TOrderedJobs<TDeflatedChunk> Jobs;
  size_t InFlight;
  size_t Taken = 0;
  const TChunk* Prev = nullptr;
  TChunk* Cur = Chunks.Take();
  TChunk* Next = nullptr;  // the chunk after a full Cur, read before Cur leaves
  int64_t Submitted = 0;   // input bytes handed to jobs
  bool Finished = false;
  TChunkedResult R;

  void WriteNext() {
    const TDeflatedChunk c = Jobs.Next();
    Chunks.Release(++Taken);
    R.Ok = R.Ok && c.Ok;
    if (!R.Ok) return;
    Output.WriteBuffer(c.Data.data(), int64_t(c.Data.size()));
    R.Crc = CombineCrc32(R.Crc, c.Crc, int64_t(c.InSize));
    R.InSize += int64_t(c.InSize);
    if (BytesToGo != nullptr) *BytesToGo -= int64_t(c.InSize);
    if (OnProgress) OnProgress();
  }
  // Hands Cur to a worker and starts the next chunk.
  void Submit(bool Last) {
    ProcessMessages();
    if (Cancel != nullptr && *Cancel) {
      Pool.Abort();
      R.Ok = false;
      return;
    }
    const TChunk* prev = Prev;
    const TChunk* cur = Cur;
    Jobs.Submit([this, prev, cur, Last] { return DeflateJob(Pool, prev, cur, ZLevel, Last); });
    Submitted += int64_t(cur->Size);
    while (R.Ok && Jobs.Pending() >= InFlight) WriteNext();
    Prev = Cur;
    Cur = Last ? nullptr : Next ? std::exchange(Next, nullptr) : Chunks.Take();
  }
  // Room for more input: a full Cur leaves first, now that a byte follows it.
  bool MakeRoom() {
    if (R.Ok && Cur->Room() == 0) Submit(false);
    return R.Ok;
  }
};

TChunkedDeflater::TChunkedDeflater(TStream32& Output, int ZLevel, TWorkerPool& Pool, const bool* CancelFlag,
                                   int64_t* BytesToGo, std::function<void()> OnProgress)
    : F(std::make_unique<TState>(Output, ZLevel, Pool, CancelFlag, BytesToGo, std::move(OnProgress))) {}

TChunkedDeflater::~TChunkedDeflater() {
  if (!F->Finished) F->Pool.Abort();
}

int64_t TChunkedDeflater::TotalIn() const { return F->Submitted + (F->Cur ? int64_t(F->Cur->Size) : 0); }

bool TChunkedDeflater::Write(const void* Data, size_t Len) {
  const auto* p = static_cast<const uint8_t*>(Data);
  while (Len > 0 && !F->Finished && F->MakeRoom()) {
    const size_t n = std::min(Len, F->Cur->Room());
    std::memcpy(F->Cur->Data.get() + F->Cur->Size, p, n);
    F->Cur->Size += n;
    p += n;
    Len -= n;
  }
  return F->R.Ok && !F->Finished;
}

bool TChunkedDeflater::WriteFrom(TStream32& Input, int64_t Left) {
  TState& s = *F;
  // Reads up to Room bytes (all of them when the size is known); 0 at the end of Input.
  const auto read = [&](uint8_t* To, size_t Room) -> size_t {
    if (Left >= 0) {
      const int64_t n = std::min<int64_t>(Left, int64_t(Room));
      Input.ReadBuffer(To, n);
      Left -= n;
      return size_t(n);
    }
    const int32_t n = Input.Read(To, int32_t(Room));
    if (n < 0 || (n == 0 && Input.LastError() != 0)) throw EReadError(ecReadFile, SReadError, {});
    return size_t(n);
  };
  while (!s.Finished && s.R.Ok) {
    if (s.Cur->Room() > 0) {
      const size_t n = read(s.Cur->Data.get() + s.Cur->Size, s.Cur->Room());
      if (n == 0) break;
      s.Cur->Size += n;
      continue;
    }
    // A full chunk leaves only once bytes follow it: read them into the next chunk first.
    if (s.Next == nullptr) s.Next = s.Chunks.Take();
    const size_t n = read(s.Next->Data.get(), kDeflateChunkSize);
    if (n == 0) break;
    s.Next->Size = n;
    s.Submit(false);
  }
  return s.R.Ok && !s.Finished;
}

TChunkedResult TChunkedDeflater::Finish() {
  TState& s = *F;
  if (!s.Finished && s.R.Ok) s.Submit(true);
  s.Finished = true;
  while (s.R.Ok && s.Jobs.Pending() > 0) s.WriteNext();
  if (!s.R.Ok) {
    s.Pool.Abort();
    s.Jobs.Drain();
  }
  return s.R;
}

TChunkedResult DeflateChunked(TStream32& Input, TStream32& Output, int ZLevel, TWorkerPool& Pool,
                              const bool* CancelFlag, int64_t* BytesToGo, const std::function<void()>& OnProgress) {
  TChunkedDeflater d(Output, ZLevel, Pool, CancelFlag, BytesToGo, OnProgress);
  int64_t left = Input.Size();
  if (left >= 0) left = std::max<int64_t>(0, left - Input.Position());
  if (!d.WriteFrom(Input, left)) {
    TChunkedResult failed = d.Finish();
    failed.Ok = false;
    return failed;
  }
  return d.Finish();
}

// ---- A gzip member -------------------------------------------------------------------------

std::vector<uint8_t> GzipHeader(uint32_t MTime, const std::string& Name) {
  std::vector<uint8_t> h = {0x1F, 0x8B, 8, uint8_t(Name.empty() ? 0 : 0x08), 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) h[size_t(4 + i)] = uint8_t(MTime >> (8 * i));
  if (!Name.empty()) h.insert(h.end(), Name.c_str(), Name.c_str() + Name.size() + 1);
  return h;
}

TGzipOutStream::TGzipOutStream(TStream32& Output, int ZLevel, TWorkerPool& Pool, uint32_t MTime,
                               const std::string& Name, const bool* ACancelFlag, std::function<void()> AOnProgress)
    : TFilterOutStream(Output, ACancelFlag, AOnProgress),
      FDeflater(Output, ZLevel, Pool, ACancelFlag, nullptr, std::move(AOnProgress)) {
  const std::vector<uint8_t> h = GzipHeader(MTime, Name);
  Output.WriteBuffer(h.data(), int64_t(h.size()));
}

bool TGzipOutStream::Encode(const uint8_t* Data, size_t Len, bool Last) {
  if (Len > 0 && !FDeflater.Write(Data, Len)) return false;
  if (!Last) return true;
  const TChunkedResult r = FDeflater.Finish();
  if (!r.Ok) return false;
  uint8_t tail[8];
  for (int i = 0; i < 4; ++i) {
    tail[i] = uint8_t(r.Crc >> (8 * i));
    tail[4 + i] = uint8_t(uint32_t(r.InSize) >> (8 * i));
  }
  FOutput.WriteBuffer(tail, sizeof tail);
  return true;
}

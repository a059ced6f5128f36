// Deflate in independent chunks: each chunk's window starts with the 32 KiB before it and
// ends byte aligned, so chunks deflated on different workers join into one stream. The split
// depends only on the data, so the bytes are the same whatever the number of workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/core/qrvStreams.h"

class TWorkerPool;

// Input bytes per chunk, and the history each chunk's window is primed with.
constexpr size_t kDeflateChunkSize = size_t(128) << 10;
constexpr size_t kDeflateHistory = size_t(32) << 10;

struct TDeflatedChunk {
  std::vector<uint8_t> Data;  // raw deflate bytes
  uint32_t Crc = 0;           // CRC-32 of the chunk's input (zlib's crc32 form)
  size_t InSize = 0;          // input bytes the chunk holds
  bool Ok = false;            // false: deflate failed (out of memory)
};

// Deflates Len bytes at In as raw deflate at zlib level ZLevel (0..9), the window primed with
// the DictLen (<= 32 KiB) bytes at Dict. Last ends the stream (final block); otherwise the
// output ends with a sync flush, non-final and byte aligned, for the next chunk to follow.
// A whole input given as one Last chunk without history is deflated by libdeflate at levels
// 1, 6 and 9 (faster, and no larger on the corpus), otherwise zlib gives its one-call bytes.
TDeflatedChunk DeflateChunk(const uint8_t* Dict, size_t DictLen, const uint8_t* In, size_t Len, int ZLevel, bool Last);

// The CRC-32 of A's data followed by B's data of LenB bytes (zlib's crc32 form).
uint32_t CombineCrc32(uint32_t A, uint32_t B, int64_t LenB);

// What DeflateChunked did: Ok false when cancelled or deflate failed; the CRC-32 (final form)
// and the count of the input bytes deflated.
struct TChunkedResult {
  bool Ok = true;
  uint32_t Crc = 0;
  int64_t InSize = 0;
};

// Deflates what is written to it as one raw deflate stream at zlib level ZLevel: chunks of
// kDeflateChunkSize deflated on Pool, a few per worker in flight, written to Output in order.
// A full chunk leaves for a worker only once a byte follows it (or at Finish, as the last), so
// the split, and the bytes, depend only on the data, never on the worker count or on how the
// writes were cut. Writing, window messages and progress (BytesToGo lowered by each chunk
// written, then OnProgress) stay on the caller's thread. A set *CancelFlag aborts the pool
// (Write and Finish then give false / Ok false). Output failures raise once the jobs in flight
// have finished; a deflater dropped unfinished aborts its jobs.
class TChunkedDeflater {
 public:
  TChunkedDeflater(TStream32& Output, int ZLevel, TWorkerPool& Pool, const bool* CancelFlag = nullptr,
                   int64_t* BytesToGo = nullptr, std::function<void()> OnProgress = {});
  ~TChunkedDeflater();
  TChunkedDeflater(const TChunkedDeflater&) = delete;
  TChunkedDeflater& operator=(const TChunkedDeflater&) = delete;
  // Takes Len bytes; false once cancelled or failed.
  bool Write(const void* Data, size_t Len);
  // Takes the bytes of Input up to its end (Left of them when Left >= 0, else until it gives
  // none); false once cancelled or failed. Read failures raise.
  bool WriteFrom(TStream32& Input, int64_t Left);
  // Bytes taken so far.
  int64_t TotalIn() const;
  // Ends the stream with the final block and writes everything still in flight.
  TChunkedResult Finish();

 private:
  struct TState;
  std::unique_ptr<TState> F;
};

// Deflates Input from its position to its end (its size when it knows it) into Output through
// a TChunkedDeflater: the same bytes for any worker count.
TChunkedResult DeflateChunked(TStream32& Input, TStream32& Output, int ZLevel, TWorkerPool& Pool,
                              const bool* CancelFlag = nullptr, int64_t* BytesToGo = nullptr,
                              const std::function<void()>& OnProgress = {});

// The 10-byte gzip member header (deflate, MTIME, XFL 0, OS 0), with FNAME when Name is not
// empty (FLG 0x08, the name and a NUL).
std::vector<uint8_t> GzipHeader(uint32_t MTime, const std::string& Name);

// One gzip member written as a stream: the header at construction, what is written deflated
// through a TChunkedDeflater, CRC-32 and ISIZE by Finish.
class TGzipOutStream : public TFilterOutStream {
 public:
  // OnProgress runs after every chunk written (the bytes were counted when they were written).
  TGzipOutStream(TStream32& Output, int ZLevel, TWorkerPool& Pool, uint32_t MTime, const std::string& Name,
                 const bool* CancelFlag = nullptr, std::function<void()> OnProgress = {});

 protected:
  bool Encode(const uint8_t* Data, size_t Len, bool Last) override;

 private:
  TChunkedDeflater FDeflater;
};

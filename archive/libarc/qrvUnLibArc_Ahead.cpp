// Decoding ahead: the xz or zstd stream around a tar is decoded in a thread of its own while the
// reader writes the files, so the two overlap on two cores as tar and its decompressor do.
#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <thread>

#include "archive/libarc/qrvUnLibArc.h"

namespace {

constexpr size_t kPiece = 1 << 20;  // bytes per decoded piece
constexpr size_t kAhead = 8;        // pieces decoded ahead at most: flat memory

const char* LzmaText(lzma_ret R) {
  switch (R) {
    case LZMA_MEM_ERROR: return "out of memory decoding xz";
    case LZMA_FORMAT_ERROR: return "not an xz stream";
    case LZMA_OPTIONS_ERROR: return "xz options not supported";
    case LZMA_DATA_ERROR: return "xz data damaged";
    case LZMA_BUF_ERROR: return "xz stream cut short";
    default: return "xz decoding failed";
  }
}

}  // namespace

TLibArcAhead::TLibArcAhead(TStream32& Source, TAheadKind Kind) : FSource(Source), FKind(Kind) {
  FThread = std::thread([this] { Run(); });
}

TLibArcAhead::~TLibArcAhead() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FStop = true;
  }
  FChanged.notify_all();
  if (FThread.joinable()) FThread.join();
}

int64_t TLibArcAhead::Next(const void** Buffer, std::string& Error) {
  std::unique_lock<std::mutex> lock(FMutex);
  FChanged.wait(lock, [this] { return !FQueue.empty() || FDone; });
  if (FQueue.empty()) {
    Error = FError;
    return FError.empty() ? 0 : -1;
  }
  FCurrent = std::move(FQueue.front());
  FQueue.pop_front();
  lock.unlock();
  FChanged.notify_all();
  *Buffer = FCurrent.data();
  return int64_t(FCurrent.size());
}

bool TLibArcAhead::Push(std::vector<uint8_t>& Piece) {
  std::unique_lock<std::mutex> lock(FMutex);
  FChanged.wait(lock, [this] { return FQueue.size() < kAhead || FStop; });
  if (FStop) return false;
  FQueue.push_back(std::move(Piece));
  lock.unlock();
  FChanged.notify_all();
  Piece.assign(kPiece, 0);
  return true;
}

size_t TLibArcAhead::ReadSource(uint8_t* Buf, size_t Size) {
  const int32_t n = FSource.Read(Buf, int32_t(Size));
  if (n <= 0) return 0;
  FConsumed += n;
  return size_t(n);
}

void TLibArcAhead::Run() {
  std::string error;
  try {
    error = FKind == akXz ? DecodeXz() : DecodeZstd();
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "decoding failed";
  }
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FError = error;
    FDone = true;
  }
  FChanged.notify_all();
}

std::string TLibArcAhead::DecodeXz() {
  lzma_stream s = LZMA_STREAM_INIT;
  lzma_mt mt{};
  mt.flags = LZMA_CONCATENATED;
  mt.threads = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
  mt.memlimit_threading = uint64_t(512) << 20;  // beyond that, one thread
  mt.memlimit_stop = UINT64_MAX;
  lzma_ret r = lzma_stream_decoder_mt(&s, &mt);
  if (r != LZMA_OK) return LzmaText(r);
  std::vector<uint8_t> in(kPiece), out(kPiece);
  lzma_action action = LZMA_RUN;
  s.next_out = out.data();
  s.avail_out = out.size();
  std::string error;
  for (;;) {
    if (s.avail_in == 0 && action == LZMA_RUN) {
      s.next_in = in.data();
      s.avail_in = ReadSource(in.data(), in.size());
      if (s.avail_in == 0) action = LZMA_FINISH;
    }
    r = lzma_code(&s, action);
    const bool end = r == LZMA_STREAM_END;
    if (s.avail_out == 0 || end) {
      out.resize(out.size() - s.avail_out);
      if (!out.empty() && !Push(out)) break;
      out.assign(kPiece, 0);
      s.next_out = out.data();
      s.avail_out = out.size();
    }
    if (end) break;
    if (r != LZMA_OK) {
      error = LzmaText(r);
      break;
    }
  }
  lzma_end(&s);
  return error;
}

std::string TLibArcAhead::DecodeZstd() {
  ZSTD_DStream* d = ZSTD_createDStream();
  if (!d) return "out of memory decoding zstd";
  std::vector<uint8_t> in(ZSTD_DStreamInSize()), out(kPiece);
  ZSTD_outBuffer ob{out.data(), out.size(), 0};
  size_t last = 0;
  std::string error;
  bool stopped = false;
  // Each call either takes input or fills the output; a full output is passed on.
  auto step = [&](ZSTD_inBuffer& In) {
    last = ZSTD_decompressStream(d, &ob, &In);
    if (ZSTD_isError(last)) error = std::string("zstd: ") + ZSTD_getErrorName(last);
    if (ob.pos == ob.size) {
      stopped = !Push(out);
      ob = {out.data(), out.size(), 0};
    }
  };
  while (error.empty() && !stopped) {
    ZSTD_inBuffer ib{in.data(), ReadSource(in.data(), in.size()), 0};
    if (ib.size == 0) break;
    while (ib.pos < ib.size && error.empty() && !stopped) step(ib);
  }
  // What the decoder still holds after the last input.
  for (size_t before = SIZE_MAX; last != 0 && error.empty() && !stopped && ob.pos != before;) {
    before = ob.pos;
    ZSTD_inBuffer none{nullptr, 0, 0};
    step(none);
  }
  if (error.empty() && !stopped && ob.pos > 0) {
    out.resize(ob.pos);
    Push(out);
  }
  if (error.empty() && !stopped && last != 0) error = "zstd stream cut short";
  ZSTD_freeDStream(d);
  return error;
}

// The xz codec of the compression filters: liblzma's multi-threaded encoder (the same bytes for
// any thread count: the blocks are cut by size) and its stream decoder.
#include <lzma.h>

#include <algorithm>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvStreams.h"

namespace {

constexpr size_t kXzOut = size_t(1) << 20;
// Decoding refuses streams whose dictionary needs more (any xz preset needs at most 65 MiB).
constexpr uint64_t kXzDecodeLimit = uint64_t(1) << 30;
// The encoder's threads return at least this often (ms) so that the host stays responsive.
constexpr uint32_t kXzTimeout = 250;

std::string XzReason(lzma_ret Rc) {
  switch (Rc) {
    case LZMA_MEM_ERROR: return "out of memory";
    case LZMA_MEMLIMIT_ERROR: return "the xz data needs more than 1 GiB of memory to decode";
    case LZMA_FORMAT_ERROR: return "not xz data";
    case LZMA_OPTIONS_ERROR: return "xz options not supported";
    case LZMA_DATA_ERROR: return "damaged xz data";
    case LZMA_BUF_ERROR: return "the xz data ends early";
    default: return "xz error " + std::to_string(int(Rc));
  }
}

int XzCode(lzma_ret Rc) {
  switch (Rc) {
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR: return ecOutOfMemory;
    case LZMA_FORMAT_ERROR:
    case LZMA_OPTIONS_ERROR: return ecBadFileHeader;
    default: return ecCorruptInput;
  }
}

class TXzDecodeStream : public TDecodeStream {
 public:
  explicit TXzDecodeStream(TStream32& Source) : TDecodeStream(Source, 6, "xz") { Start(); }
  ~TXzDecodeStream() override {
    StopAhead();
    lzma_end(&FZ);
  }

 protected:
  TStep Decode(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen) override {
    FZ.next_in = In;
    FZ.avail_in = InLen;
    FZ.next_out = Out;
    FZ.avail_out = OutLen;
    // Without more input the stream must end here: LZMA_FINISH tells a cut from an end.
    const lzma_ret rc = lzma_code(&FZ, InLen == 0 ? LZMA_FINISH : LZMA_RUN);
    In = FZ.next_in;
    InLen = FZ.avail_in;
    Out = FZ.next_out;
    OutLen = FZ.avail_out;
    if (rc == LZMA_STREAM_END) return dsMemberEnd;
    // No progress without input: the caller says that the data ends early.
    if (rc == LZMA_OK || rc == LZMA_BUF_ERROR) return dsGoOn;
    Fail(XzCode(rc), XzReason(rc));
    return dsFailed;
  }
  void ResetCodec() override { Start(); }
  bool IsMagic(const uint8_t* P) const override {
    static const uint8_t kMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
    return std::equal(kMagic, kMagic + 6, P);
  }

 private:
  // liblzma's threaded decoder: a stream of several blocks (xz -T, brel) is decoded on up to
  // four threads; one block, or one that needs much memory, on this thread.
  void Start() {
    lzma_mt mt{};
    mt.threads = std::clamp(lzma_cputhreads(), 1u, 4u);
    mt.memlimit_threading = uint64_t(512) << 20;
    mt.memlimit_stop = kXzDecodeLimit;
    const lzma_ret rc = lzma_stream_decoder_mt(&FZ, &mt);
    if (rc != LZMA_OK) throw EArchiveError(XzCode(rc));
  }
  lzma_stream FZ = LZMA_STREAM_INIT;
};

// A quarter of the machine's memory: the encoder drops threads (never bytes) to stay below it.
uint64_t XzMemoryBudget() { return MachineMemory() / 4; }

class TXzEncodeStream : public TFilterOutStream {
 public:
  TXzEncodeStream(TStream32& Output, const TEncodeOptions& O)
      : TFilterOutStream(Output, O.CancelFlag, O.OnProgress), FBuf(kXzOut) {
    lzma_mt mt{};
    mt.preset = uint32_t(std::clamp(O.Level, 0, 9));
    mt.check = LZMA_CHECK_CRC64;
    mt.timeout = kXzTimeout;
    mt.threads = uint32_t(std::clamp(O.Threads, 1, int(lzma_cputhreads() ? lzma_cputhreads() * 2 : 64)));
    const uint64_t budget = XzMemoryBudget();
    while (mt.threads > 1 && lzma_stream_encoder_mt_memusage(&mt) > budget) --mt.threads;
    const lzma_ret rc = lzma_stream_encoder_mt(&FZ, &mt);
    if (rc != LZMA_OK) throw EArchiveError(XzCode(rc), XzReason(rc), {});
  }
  ~TXzEncodeStream() override { lzma_end(&FZ); }

 protected:
  bool Encode(const uint8_t* Data, size_t Len, bool Last) override {
    FZ.next_in = Data;
    FZ.avail_in = Len;
    for (;;) {
      FZ.next_out = FBuf.data();
      FZ.avail_out = FBuf.size();
      const lzma_ret rc = lzma_code(&FZ, Last ? LZMA_FINISH : LZMA_RUN);
      if (FBuf.size() > FZ.avail_out) {
        FOutput.WriteBuffer(FBuf.data(), int64_t(FBuf.size() - FZ.avail_out));
        Progress();
      }
      if (rc == LZMA_STREAM_END) return true;
      if (rc != LZMA_OK) {
        FError = XzReason(rc);
        return false;
      }
      if (Cancelled()) return false;
      if (!Last && FZ.avail_in == 0 && FZ.avail_out > 0) return true;
      if (FZ.avail_out > 0) Progress();  // the threads' timeout: window messages meanwhile
    }
  }

 private:
  lzma_stream FZ = LZMA_STREAM_INIT;
  std::vector<uint8_t> FBuf;
};

}  // namespace

std::unique_ptr<TDecodeStream> NewXzDecodeStream(TStream32& Source) {
  return std::make_unique<TXzDecodeStream>(Source);
}

std::unique_ptr<TFilterOutStream> NewXzEncodeStream(TStream32& Output, const TEncodeOptions& O) {
  return std::make_unique<TXzEncodeStream>(Output, O);
}

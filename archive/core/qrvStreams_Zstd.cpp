// The zstd codec of the compression filters: libzstd with worker threads (always at least one,
// so the bytes are the same for any count) and its streaming decoder.
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvStreams.h"

namespace {

// Frame magic, and the skippable frames (0x184D2A50..5F) that may sit between frames.
bool ZstdMagic(const uint8_t* P) {
  const uint32_t m = uint32_t(P[0]) | uint32_t(P[1]) << 8 | uint32_t(P[2]) << 16 | uint32_t(P[3]) << 24;
  return m == 0xFD2FB528u || (m & 0xFFFFFFF0u) == 0x184D2A50u;
}

int ZstdCode(size_t Rc) {
  switch (ZSTD_getErrorCode(Rc)) {
    case ZSTD_error_checksum_wrong: return ecCrcCheck;
    case ZSTD_error_memory_allocation:
    case ZSTD_error_frameParameter_windowTooLarge: return ecOutOfMemory;
    case ZSTD_error_prefix_unknown:
    case ZSTD_error_version_unsupported:
    case ZSTD_error_frameParameter_unsupported: return ecBadFileHeader;
    default: return ecCorruptInput;
  }
}

class TZstdDecodeStream : public TDecodeStream {
 public:
  explicit TZstdDecodeStream(TStream32& Source) : TDecodeStream(Source, 4, "zstd"), FD(ZSTD_createDCtx()) {
    // The default window limit (128 MiB) bounds what a hostile frame header can ask for.
    if (!FD) throw EArchiveError(ecOutOfMemory);
  }
  ~TZstdDecodeStream() override {
    StopAhead();
    ZSTD_freeDCtx(FD);
  }

 protected:
  TStep Decode(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen) override {
    ZSTD_inBuffer in{In, InLen, 0};
    ZSTD_outBuffer out{Out, OutLen, 0};
    const size_t rc = ZSTD_decompressStream(FD, &out, &in);
    In += in.pos;
    InLen -= in.pos;
    Out += out.pos;
    OutLen -= out.pos;
    if (ZSTD_isError(rc)) {
      Fail(ZstdCode(rc), ZSTD_getErrorName(rc));
      return dsFailed;
    }
    return rc == 0 ? dsMemberEnd : dsGoOn;
  }
  void ResetCodec() override { ZSTD_DCtx_reset(FD, ZSTD_reset_session_only); }
  bool IsMagic(const uint8_t* P) const override { return ZstdMagic(P); }

 private:
  ZSTD_DCtx* FD;
};

class TZstdEncodeStream : public TFilterOutStream {
 public:
  TZstdEncodeStream(TStream32& Output, const TEncodeOptions& O)
      : TFilterOutStream(Output, O.CancelFlag, O.OnProgress), FC(ZSTD_createCCtx()), FBuf(ZSTD_CStreamOutSize()) {
    if (!FC) throw EArchiveError(ecOutOfMemory);
    // Worker threads even for a count of one: the output of ZSTD's threaded mode does not depend
    // on the count, while its single-threaded mode gives other bytes. A checksum, as zstd writes.
    for (const auto& [param, value] :
         {std::pair{ZSTD_c_compressionLevel, std::clamp(O.Level, 1, ZSTD_maxCLevel())},
          std::pair{ZSTD_c_checksumFlag, 1}, std::pair{ZSTD_c_nbWorkers, std::clamp(O.Threads, 1, 200)}}) {
      const size_t rc = ZSTD_CCtx_setParameter(FC, param, value);
      if (ZSTD_isError(rc)) {
        ZSTD_freeCCtx(FC);
        throw EArchiveError(ecStreamReadWrite, ZSTD_getErrorName(rc), {});
      }
    }
  }
  ~TZstdEncodeStream() override { ZSTD_freeCCtx(FC); }

 protected:
  bool Encode(const uint8_t* Data, size_t Len, bool Last) override {
    ZSTD_inBuffer in{Data, Len, 0};
    for (;;) {
      ZSTD_outBuffer out{FBuf.data(), FBuf.size(), 0};
      const size_t rc = ZSTD_compressStream2(FC, &out, &in, Last ? ZSTD_e_end : ZSTD_e_continue);
      if (ZSTD_isError(rc)) {
        FError = ZSTD_getErrorName(rc);
        return false;
      }
      if (out.pos > 0) {
        FOutput.WriteBuffer(FBuf.data(), int64_t(out.pos));
        Progress();
      }
      if (Last ? rc == 0 : in.pos == in.size) return true;
      if (Cancelled()) return false;
    }
  }

 private:
  ZSTD_CCtx* FC;
  std::vector<uint8_t> FBuf;
};

}  // namespace

std::unique_ptr<TDecodeStream> NewZstdDecodeStream(TStream32& Source) {
  return std::make_unique<TZstdDecodeStream>(Source);
}

std::unique_ptr<TFilterOutStream> NewZstdEncodeStream(TStream32& Output, const TEncodeOptions& O) {
  return std::make_unique<TZstdEncodeStream>(Output, O);
}

// Library decoders of ZIP methods: one streaming loop (input in pieces of at most 32 KiB,
// deciphered; output bounded by the entry's size; the CancelFlag checked per piece) around one
// small step function per library.
#include "archive/zip/qrvZipCodecs.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int64_t kPiece = 32768;
constexpr size_t kOutBlock = 65536;
constexpr int64_t kLzmaHeader = 9;  // version, properties size, properties

enum TStep : uint8_t { stMore, stEnd, stError };

// One library stream: Step decodes from In into Out, advancing both; Ended says no more input
// will come. Reason names a failure.
struct TCodec {
  virtual ~TCodec() = default;
  virtual TStep Step(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen, bool Ended) = 0;
  const char* Reason = "invalid compressed data";
};

TDecodeStatus RunCodec(const TDecoderIO& IO, TCodec& C) {
  TDecodeStatus st;
  std::vector<uint8_t> in(kPiece), out(kOutBlock);
  int64_t left = std::max<int64_t>(IO.CompressedSize, 0);
  const int64_t limit = IO.UncompressedSize >= 0 ? IO.UncompressedSize : INT64_MAX;
  const uint8_t* next = in.data();
  size_t avail = 0;
  auto stop = [&st](TDecodeResult R, const char* Why) {
    st.Result = R;
    st.Reason = Why;
    return st;
  };
  for (;;) {
    if (IO.CancelFlag && *IO.CancelFlag) return stop(drCancelled, "cancelled");
    if (avail == 0 && left > 0) {
      const int64_t got = IO.Read ? std::min(IO.Read(in.data(), std::min(left, kPiece)), left) : 0;
      left = got > 0 ? left - got : 0;
      if (got > 0 && IO.Decipher) IO.Decipher(in.data(), got);
      next = in.data();
      avail = size_t(std::max<int64_t>(got, 0));
    }
    const bool ended = avail == 0 && left == 0;
    const size_t before = avail;
    uint8_t* o = out.data();
    size_t room = out.size();
    const TStep step = C.Step(next, avail, o, room, ended);
    const int64_t n = int64_t(out.size() - room);
    const int64_t take = std::min(n, limit - st.BytesOut);
    if (take > 0 && (!IO.Write || IO.Write(out.data(), take) != take))
      return stop(drWriteFailure, "output could not be written");
    st.BytesOut += std::max<int64_t>(take, 0);
    if (take < n) return stop(drDataError, "more data than the entry's size");
    if (step == stEnd) return st;
    if (step == stError) return stop(drDataError, C.Reason);
    if (n == 0 && avail == before && (ended || avail > 0))
      return ended ? stop(drInputExhausted, "compressed data ends early")
                   : stop(drDataError, "the decoder makes no progress");
  }
}

// Runs a codec whose set-up may fail (Ok false, Reason set). A codec that reads a header of
// HeaderBytes itself leaves the rest of the entry's data to the loop.
template <class Codec>
TDecodeStatus Decode(const TDecoderIO& IO, int64_t HeaderBytes = 0) {
  std::unique_ptr<Codec> c;
  try {
    c = std::make_unique<Codec>(IO);
  } catch (const std::bad_alloc&) {
    return {drDataError, 0, "out of memory"};
  }
  if (!c->Ok) return {drDataError, 0, c->Reason};
  TDecoderIO rest = IO;
  rest.CompressedSize = std::max<int64_t>(IO.CompressedSize - HeaderBytes, 0);
  return RunCodec(rest, *c);
}

struct TZlibCodec : TCodec {
  z_stream Z{};
  bool Ok;
  explicit TZlibCodec(const TDecoderIO&) : Ok(inflateInit2(&Z, -15) == Z_OK) { Reason = "invalid deflate data"; }
  ~TZlibCodec() override { inflateEnd(&Z); }
  TStep Step(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen, bool) override {
    Z.next_in = const_cast<Bytef*>(In);
    Z.avail_in = uInt(InLen);
    Z.next_out = Out;
    Z.avail_out = uInt(OutLen);
    const int rc = inflate(&Z, Z_NO_FLUSH);
    In = Z.next_in, InLen = Z.avail_in, Out = Z.next_out, OutLen = Z.avail_out;
    return rc == Z_STREAM_END ? stEnd : rc == Z_OK || rc == Z_BUF_ERROR ? stMore : stError;
  }
};

struct TBzipCodec : TCodec {
  bz_stream B{};
  bool Ok;
  explicit TBzipCodec(const TDecoderIO&) : Ok(BZ2_bzDecompressInit(&B, 0, 0) == BZ_OK) {
    Reason = "invalid bzip2 data";
  }
  ~TBzipCodec() override { BZ2_bzDecompressEnd(&B); }
  TStep Step(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen, bool) override {
    B.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(In));
    B.avail_in = unsigned(InLen);
    B.next_out = reinterpret_cast<char*>(Out);
    B.avail_out = unsigned(OutLen);
    const int rc = BZ2_bzDecompress(&B);
    In = reinterpret_cast<const uint8_t*>(B.next_in), InLen = B.avail_in;
    Out = reinterpret_cast<uint8_t*>(B.next_out), OutLen = B.avail_out;
    return rc == BZ_STREAM_END ? stEnd : rc == BZ_OK ? stMore : stError;
  }
};

// liblzma for xz streams and raw LZMA1; a set-up failure leaves Ok false.
struct TLzmaCodec : TCodec {
  lzma_stream L = LZMA_STREAM_INIT;
  bool Ok = false;
  ~TLzmaCodec() override { lzma_end(&L); }
  TStep Step(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen, bool Ended) override {
    L.next_in = In;
    L.avail_in = InLen;
    L.next_out = Out;
    L.avail_out = OutLen;
    const lzma_ret rc = lzma_code(&L, Ended ? LZMA_FINISH : LZMA_RUN);
    In = L.next_in, InLen = L.avail_in, Out = L.next_out, OutLen = L.avail_out;
    if (rc == LZMA_MEMLIMIT_ERROR || rc == LZMA_MEM_ERROR) Reason = "needs more memory than allowed";
    return rc == LZMA_STREAM_END ? stEnd : rc == LZMA_OK || rc == LZMA_BUF_ERROR ? stMore : stError;
  }
};

struct TXzCodec : TLzmaCodec {
  explicit TXzCodec(const TDecoderIO&) {
    Reason = "invalid xz data";
    Ok = lzma_stream_decoder(&L, kCodecMemoryLimit, 0) == LZMA_OK;
  }
};

// ZIP's LZMA: version (2 bytes), properties size (2), properties (5: lc/lp/pb, dictionary
// size), then LZMA1 data, with an end marker when flag bit 1 is set, which is accepted either way
// once the entry's size is reached.
struct TZipLzmaCodec : TLzmaCodec {
  explicit TZipLzmaCodec(const TDecoderIO& IO) {
    Reason = "invalid LZMA data";
    uint8_t head[kLzmaHeader];
    if (IO.CompressedSize < int64_t(sizeof head) || !IO.Read || IO.Read(head, sizeof head) != int64_t(sizeof head)) {
      Reason = "LZMA header missing";
      return;
    }
    if (IO.Decipher) IO.Decipher(head, sizeof head);
    if (head[2] != 5 || head[3] != 0) {
      Reason = "LZMA properties of an unknown size";
      return;
    }
    lzma_options_lzma* opt = nullptr;
    lzma_filter f[2] = {{LZMA_FILTER_LZMA1EXT, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_properties_decode(&f[0], nullptr, head + 4, 5) != LZMA_OK) return;
    opt = static_cast<lzma_options_lzma*>(f[0].options);
    // The dictionary need never exceed the entry: a hostile header cannot ask for 4 GiB.
    if (IO.UncompressedSize >= 0)
      opt->dict_size =
          uint32_t(std::clamp<uint64_t>(uint64_t(IO.UncompressedSize), LZMA_DICT_SIZE_MIN, opt->dict_size));
    if (opt->dict_size > kCodecMemoryLimit) {
      Reason = "needs more memory than allowed";
    } else {
      opt->ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
      lzma_set_ext_size(*opt, IO.UncompressedSize >= 0 ? uint64_t(IO.UncompressedSize) : UINT64_MAX);
      Ok = lzma_raw_decoder(&L, f) == LZMA_OK;
    }
    free(opt);
  }
};

struct TZstdCodec : TCodec {
  ZSTD_DStream* D;
  bool Ok;
  explicit TZstdCodec(const TDecoderIO&) : D(ZSTD_createDStream()) {
    Reason = "invalid zstd data";
    Ok = D && !ZSTD_isError(ZSTD_DCtx_setParameter(D, ZSTD_d_windowLogMax, 30));
  }
  ~TZstdCodec() override { ZSTD_freeDStream(D); }
  bool FrameDone = false;  // the last call ended a frame
  TStep Step(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen, bool Ended) override {
    // Frames may follow each other until the entry's data ends.
    if (Ended && InLen == 0 && FrameDone) return stEnd;
    ZSTD_inBuffer i{In, InLen, 0};
    ZSTD_outBuffer o{Out, OutLen, 0};
    const size_t rc = ZSTD_decompressStream(D, &o, &i);
    In += i.pos, InLen -= i.pos, Out += o.pos, OutLen -= o.pos;
    if (ZSTD_isError(rc)) {
      Reason = ZSTD_getErrorCode(rc) == ZSTD_error_frameParameter_windowTooLarge ? "needs more memory than allowed"
                                                                                 : "invalid zstd data";
      return stError;
    }
    FrameDone = rc == 0;
    return FrameDone && Ended && InLen == 0 ? stEnd : stMore;
  }
};

}  // namespace

TDecodeStatus InflateRaw(const TDecoderIO& IO, int) { return Decode<TZlibCodec>(IO); }
TDecodeStatus BZip2Decode(const TDecoderIO& IO, int) { return Decode<TBzipCodec>(IO); }
TDecodeStatus LzmaDecode(const TDecoderIO& IO, int) { return Decode<TZipLzmaCodec>(IO, kLzmaHeader); }
TDecodeStatus ZstdDecode(const TDecoderIO& IO, int) { return Decode<TZstdCodec>(IO); }
TDecodeStatus XzDecode(const TDecoderIO& IO, int) { return Decode<TXzCodec>(IO); }

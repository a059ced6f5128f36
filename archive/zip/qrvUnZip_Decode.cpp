// TUnZip: decoding one entry by its method into the frame's block writer. Decoders come from a
// table keyed by the method number. An entry counts as decoded only when its decoder finished
// cleanly and produced exactly the stated size.
#include <zlib.h>

#include <algorithm>
#include <vector>

#include "archive/zip/qrvExplode.h"
#include "archive/zip/qrvInflate64.h"
#include "archive/zip/qrvUnReduce.h"
#include "archive/zip/qrvUnShrink.h"
#include "archive/zip/qrvUnZip.h"

namespace {

constexpr int32_t kBlock = 32768;

// Method 8 through zlib (raw Deflate). Output beyond a known size is damage and is not written.
TDecodeStatus InflateRaw(const TDecoderIO& IO, int) {
  TDecodeStatus st;
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return {drDataError, 0, "zlib could not start"};
  std::vector<uint8_t> in(kBlock), out(kBlock);
  int64_t left = std::max<int64_t>(IO.CompressedSize, 0);
  const int64_t limit = IO.UncompressedSize >= 0 ? IO.UncompressedSize : INT64_MAX;
  auto stop = [&st](TDecodeResult R, const char* Why) { st.Result = R; st.Reason = Why; };
  for (int rc = Z_OK; rc != Z_STREAM_END;) {
    if (IO.CancelFlag && *IO.CancelFlag) { stop(drCancelled, "cancelled"); break; }
    if (z.avail_in == 0 && left > 0) {
      const int64_t got = IO.Read ? std::min<int64_t>(IO.Read(in.data(), std::min<int64_t>(left, kBlock)), left) : 0;
      left = got > 0 ? left - got : 0;
      if (got > 0 && IO.Decipher) IO.Decipher(in.data(), got);
      z.next_in = in.data();
      z.avail_in = uInt(std::max<int64_t>(got, 0));
    }
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    rc = inflate(&z, Z_NO_FLUSH);
    const int64_t n = int64_t(out.size() - z.avail_out);
    const int64_t take = std::min(n, limit - st.BytesOut);
    if (take > 0 && IO.Write(out.data(), take) != take) { stop(drWriteFailure, "output could not be written"); break; }
    st.BytesOut += std::max<int64_t>(take, 0);
    if (take < n) { stop(drDataError, "more data than the entry's size"); break; }
    if (rc == Z_BUF_ERROR && z.avail_in == 0 && left == 0) { stop(drInputExhausted, "compressed data ends early"); break; }
    if (rc != Z_OK && rc != Z_BUF_ERROR && rc != Z_STREAM_END) { stop(drDataError, "invalid deflate data"); break; }
  }
  inflateEnd(&z);
  return st;
}

const TMethodDecoder kZipDecoders[] = {
    {0, StoreCopy, 0},
    {1, [](const TDecoderIO& IO, int) { return UnShrink(IO); }, 0},
    {2, UnReduce, 1}, {3, UnReduce, 2}, {4, UnReduce, 3}, {5, UnReduce, 4},
    {6, [](const TDecoderIO& IO, int) { return Explode(IO, uint16_t(IO.Flags)); }, 0},
    {8, InflateRaw, 0},
    {9, [](const TDecoderIO& IO, int) { return Inflate64(IO); }, 0},
};

}  // namespace

bool TUnZip::CanDecode(const TEntry& E, std::string& Why) {
  // Bit 6 is PKWARE's strong encryption; method 99 is WinZip AES around another method.
  if (E.Flags & 0x40) {
    Why = "strong encryption";
    return false;
  }
  if (E.Method == kAesMethod) {
    if (!E.HasAes) {
      Why = "WinZip AES encryption without a valid 0x9901 field";
      return false;
    }
    TEntry inner = E;
    inner.Method = E.Aes.Method;
    inner.HasAes = false;
    return inner.Method != kAesMethod && CanDecode(inner, Why);
  }
  if (FindDecoder(kZipDecoders, E.Method)) return true;
  Why = "method " + std::to_string(E.Method);
  return false;
}

bool TUnZip::DecodeAes(TStream32& S, const TEntry& E) {
  const int64_t data = E.PackedSize - AesOverhead(E.Aes.Strength);
  if (data < 0) return false;
  TAesReadStream in(S, FAes, data);
  TEntry inner = E;
  inner.Method = E.Aes.Method;
  inner.PackedSize = data;
  const bool ok = Decode(in, inner, false);
  if (IsCancelled()) return false;
  // The authentication code covers all of the data, also what a decoder left unread.
  std::vector<uint8_t> rest(size_t(std::min<int64_t>(std::max<int64_t>(in.Left(), 1), kBlock)));
  while (in.Left() > 0 && in.Read(rest.data(), int32_t(rest.size())) > 0) {
  }
  uint8_t stored[kAesMacSize], mac[kAesMacSize];
  FAes.Mac(mac);
  if (in.Left() > 0 || S.Read(stored, kAesMacSize) != kAesMacSize || !std::equal(mac, mac + kAesMacSize, stored)) {
    ReportError(E.Name, "authentication code mismatch", FRunArchiveName, ecCrcCheck);
    return false;
  }
  return ok;
}

bool TUnZip::Decode(TStream32& S, const TEntry& E, bool Encrypted) {
  StreamState->Crc32Val = Crc32Init;
  const int64_t packed = E.PackedSize - (Encrypted ? 12 : 0);
  const int64_t unpacked = E.UnpackedSize;
  if (packed < 0) return false;
  const TMethodDecoder* decoder = FindDecoder(kZipDecoders, E.Method);
  if (!decoder) {
    ReportError(E.Name, "", FRunArchiveName, ecUnsupportedMethod);
    return false;
  }
  TDecoderIO io;
  io.Read = [&S](uint8_t* Buf, int64_t N) -> int64_t { return S.Read(Buf, int32_t(std::min<int64_t>(N, kBlock))); };
  if (Encrypted) io.Decipher = [this](uint8_t* Buf, int64_t N) { StreamState->Cipher.Decrypt(Buf, size_t(N)); };
  io.Write = [this](const uint8_t* Data, int64_t N) { return SinkWrite(Data, N); };
  io.CancelFlag = CancelFlag();
  io.CompressedSize = packed;
  io.UncompressedSize = unpacked;
  io.Flags = E.Flags;
  const TDecodeStatus st = decoder->Run(io, decoder->Param);
  if (st.ErrorCode) ReportError(E.Name, "", FRunArchiveName, st.ErrorCode);
  return st.Ok() && st.BytesOut == unpacked && !IsCancelled();
}

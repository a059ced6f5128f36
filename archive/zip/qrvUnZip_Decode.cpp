// TUnZip: decoding one entry by its method into the frame's block writer. Decoders come from a
// table keyed by the method number. An entry counts as decoded only when its decoder finished
// cleanly and produced exactly the stated size.
#include <algorithm>
#include <vector>

#include "archive/zip/qrvExplode.h"
#include "archive/zip/qrvInflate64.h"
#include "archive/zip/qrvUnReduce.h"
#include "archive/zip/qrvUnShrink.h"
#include "archive/zip/qrvUnZip.h"
#include "archive/zip/qrvZipCodecs.h"

namespace {

constexpr int32_t kBlock = 32768;

// Deflate (8) and Deflate64 (9) are named by their option flags (DeflateMethodName); the rows
// without a decoder name later methods for listings and for the reports of those not decoded.
const TMethodDecoder kZipDecoders[] = {
    {0, StoreCopy, 0, "Stored"},
    {1, [](const TDecoderIO& IO, int) { return UnShrink(IO); }, 0, "Shrunk"},
    {2, UnReduce, 1, "Reduce-1"},
    {3, UnReduce, 2, "Reduce-2"},
    {4, UnReduce, 3, "Reduce-3"},
    {5, UnReduce, 4, "Reduce-4"},
    {6, [](const TDecoderIO& IO, int) { return Explode(IO, uint16_t(IO.Flags)); }, 0, "Imploded"},
    {7, nullptr, 0, "Tokened"},
    {8, InflateRaw, 0},
    {9, [](const TDecoderIO& IO, int) { return Inflate64(IO); }, 0},
    {10, nullptr, 0, "DCL-implode"},
    {12, BZip2Decode, 0, "BZip2"},
    {14, LzmaDecode, 0, "LZMA"},
    {93, ZstdDecode, 0, "Zstd"},
    {95, XzDecode, 0, "XZ"},
    {96, nullptr, 0, "JPEG"},
    {97, nullptr, 0, "WavPack"},
    {98, nullptr, 0, "PPMd"},
    {99, nullptr, 0, "AES"},
};

}  // namespace

std::string ZipMethodName(int Method, uint16_t Flags) {
  if (Method == 8 || Method == 9) return DeflateMethodName(Method, Flags);
  return MethodListName(kZipDecoders, Method);
}

bool TUnZip::CanDecode(const TEntry& E, std::string& Why) {
  // Bit 6 is PKWARE's strong encryption; method 99 is WinZip AES around another method.
  if (E.Flags & 0x40) {
    Why = "PKWARE strong encryption is not supported";
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
  const std::string name = ZipMethodName(E.Method, E.Flags);
  Why = (name == kUnsupportedMethod ? "" : name + ", ") + "method " + std::to_string(E.Method) + " is not supported";
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

// TUnZip: decoding one entry by its method into the frame's block writer. An entry counts as
// decoded only when its decoder finished cleanly and produced exactly the stated size.
#include <algorithm>
#include <vector>

#include "archive/zip/qrvExplode.h"
#include "archive/zip/qrvInflate64.h"
#include "archive/zip/qrvUnReduce.h"
#include "archive/zip/qrvUnShrink.h"
#include "archive/zip/qrvUnZip.h"

namespace {
constexpr int32_t kBlock = 32768;
}

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
  switch (E.Method) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 8: case 9: return true;
    default:
      Why = "method " + std::to_string(E.Method);
      return false;
  }
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
  switch (E.Method) {
    case 0: return CopyStored(S, packed, unpacked, Encrypted);
    case 8: return Inflate(S, packed, unpacked, Encrypted);
    case 1: case 2: case 3: case 4: case 5: case 6: case 9: break;
    default:
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
  TDecodeStatus st;
  if (E.Method == 1)
    st = UnShrink(io);
  else if (E.Method <= 5)
    st = UnReduce(io, E.Method - 1);
  else if (E.Method == 6)
    st = Explode(io, E.Flags);
  else
    st = Inflate64(io);
  if (st.ErrorCode) ReportError(E.Name, "", FRunArchiveName, st.ErrorCode);
  return st.Ok() && st.BytesOut == unpacked;
}

bool TUnZip::CopyStored(TStream32& S, int64_t Packed, int64_t Unpacked, bool Encrypted) {
  std::vector<uint8_t> buf(size_t(std::min<int64_t>(std::max<int64_t>(Packed, 1), kBlock)));
  int64_t left = Packed;
  while (left > 0 && !IsCancelled()) {
    const int32_t got = S.Read(buf.data(), int32_t(std::min<int64_t>(left, kBlock)));
    if (got <= 0) break;
    ProcessMessages();
    if (!WriteBlock(buf.data(), got, 32, Encrypted ? bcDecipher : bcNone)) return false;
    left -= got;
    BytesToGo -= got;
    ProgressStep();
  }
  return left == 0 && Packed == Unpacked && !IsCancelled();
}

bool TUnZip::Inflate(TStream32& S, int64_t Packed, int64_t Unpacked, bool Encrypted) {
  TDecompressStream ds(S, -15, StreamState);
  ds.InputLimit = Packed;
  ds.Encrypt = Encrypted;
  std::vector<uint8_t> buf(size_t(std::min<int64_t>(std::max<int64_t>(Unpacked, 1), kBlock)));
  int64_t done = 0;
  while (!IsCancelled()) {
    ProcessMessages();
    const int32_t got = ds.Read(buf.data(), int32_t(buf.size()));
    if (got <= 0) break;
    // More output than the stated size is damage: the surplus is not written.
    const int64_t take = std::min<int64_t>(got, Unpacked - done);
    if (take > 0 && SinkWrite(buf.data(), take) != take) return false;
    done += take;
    if (take < got) return false;
  }
  return ds.EndOfData() && done == Unpacked && !IsCancelled();
}

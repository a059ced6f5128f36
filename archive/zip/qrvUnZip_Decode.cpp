// TUnZip: decoding one entry by its method into the frame's block writer. Decoders come from a
// table keyed by the method number. An entry counts as decoded only when its decoder finished
// cleanly and produced exactly the stated size. Entries that fit in memory are decoded ahead on
// the worker pool (deflate in one libdeflate call); whatever fails there is decoded again on
// the run's thread as before, so damaged entries give the same output and reports.
#include <libdeflate.h>

#include <algorithm>
#include <cstring>
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

// Decoding ahead: what is held in flight, and the largest entry (packed and unpacked bytes
// together) that is decoded in memory rather than streamed.
constexpr size_t kAheadHeld = size_t(64) << 20;
constexpr int64_t kAheadEntryMax = int64_t(16) << 20;
// Deflate's highest ratio (258 bytes from two bits): sizes that claim more cannot decode
// whole, so a directory of such claims never costs an allocation each.
constexpr int64_t kAheadRatio = 1032;

libdeflate_decompressor* ThreadInflater() {
  thread_local const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> d(
      libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
  return d.get();
}

// Runs a table decoder over In into Out, which holds exactly the stated size: more output than
// that, or less, fails.
bool DecodeInMemory(const TMethodDecoder& D, const TUnZip::TEntry& E, const std::vector<uint8_t>& In,
                    std::vector<uint8_t>& Out) {
  size_t inPos = 0, outPos = 0;
  bool overflow = false;
  TDecoderIO io;
  io.Read = [&](uint8_t* Buf, int64_t N) -> int64_t {
    const size_t n = std::min(size_t(std::min<int64_t>(N, kBlock)), In.size() - inPos);
    std::memcpy(Buf, In.data() + inPos, n);
    inPos += n;
    return int64_t(n);
  };
  io.Write = [&](const uint8_t* Data, int64_t N) -> int64_t {
    if (size_t(N) > Out.size() - outPos) {
      overflow = true;
    } else if (N > 0) {
      std::memcpy(Out.data() + outPos, Data, size_t(N));
      outPos += size_t(N);
    }
    return N;
  };
  io.CompressedSize = int64_t(In.size());
  io.UncompressedSize = int64_t(Out.size());
  io.Flags = E.Flags;
  const TDecodeStatus st = D.Run(io, D.Param);
  return st.Ok() && !overflow && outPos == Out.size();
}

// A worker's job: reads the entry's local header and data by pread and decodes them whole.
TAheadResult DecodeWhole(int Fd, const TUnZip::TEntry& E) {
  TAheadResult r;
  uint8_t h[LocalHeaderSize];
  if (!ReadAt(Fd, E.Position, h, sizeof h) || ClassifySig(GetLE32(h)).Kind != zrLocal) return r;
  const int64_t data = E.Position + LocalHeaderSize + GetLE16(h + 26) + GetLE16(h + 28);
  r.Data.resize(size_t(E.UnpackedSize));
  if (E.Method == 0) {
    // Stored: read straight into the result.
    if (E.PackedSize != E.UnpackedSize || !ReadAt(Fd, data, r.Data.data(), r.Data.size())) return r;
  } else {
    std::vector<uint8_t> in(size_t(E.PackedSize));
    if (!ReadAt(Fd, data, in.data(), in.size())) return r;
    if (E.Method == 8) {
      libdeflate_decompressor* d = ThreadInflater();
      if (!d || libdeflate_deflate_decompress(d, in.data(), in.size(), r.Data.data(), r.Data.size(), nullptr) !=
                    LIBDEFLATE_SUCCESS)
        return r;
    } else if (!DecodeInMemory(*FindDecoder(kZipDecoders, E.Method), E, in, r.Data)) {
      return r;
    }
  }
  r.Crc32 = UpdateCrc32(Crc32Init, r.Data.data(), r.Data.size());
  r.Ok = true;
  return r;
}

// Plain data of a table method, small enough to hold, with sizes that may be true.
bool FitsAhead(const TUnZip::TEntry& E) {
  return !E.IsDir && !(E.Flags & (gpEncrypted | 0x40)) && E.Method != kAesMethod &&
         FindDecoder(kZipDecoders, E.Method) && E.PackedSize >= 0 && E.UnpackedSize >= 0 &&
         E.PackedSize <= kAheadEntryMax && E.UnpackedSize <= kAheadEntryMax - E.PackedSize &&
         E.UnpackedSize <= E.PackedSize * kAheadRatio + kAheadRatio;
}

}  // namespace

std::string ZipMethodName(int Method, uint16_t Flags) {
  if (Method == 8 || Method == 9) return DeflateMethodName(Method, Flags);
  return MethodListName(kZipDecoders, Method);
}

std::unique_ptr<TExtractAhead> TUnZip::StartAhead(TStream32& S, std::unique_ptr<TWorkerPool>& Pool) {
  const auto* file = dynamic_cast<const TFileStream32*>(&S);
  if (!file || file->Handle() < 0 || (Workers <= 0 ? DefaultWorkerCount() : Workers) == 1) return nullptr;
  Pool = std::make_unique<TWorkerPool>(Workers);
  const int fd = file->Handle();
  // The entries are walked as the bounds allow; each job copies the one entry it decodes.
  return std::make_unique<TExtractAhead>(*Pool, kAheadHeld, [this, fd, next = size_t(0)](TAheadItem& Item) mutable {
    for (; next < FEntries.size(); ++next) {
      const TEntry& e = FEntries[next];
      if (!FitsAhead(e)) continue;
      Item = {next, size_t(e.PackedSize + e.UnpackedSize), [fd, e] { return DecodeWhole(fd, e); }};
      ++next;
      return true;
    }
    return false;
  });
}

bool TUnZip::DeliverAhead(const TAheadResult& R) {
  // Pieces of 1 MiB: few writes, and still a progress event per MiB.
  constexpr size_t kPiece = size_t(1) << 20;
  for (size_t done = 0; done < R.Data.size();) {
    const size_t n = std::min(R.Data.size() - done, kPiece);
    if (SinkWrite(R.Data.data() + done, int64_t(n), 0) != int64_t(n)) return false;
    done += n;
  }
  StreamState->Crc32Val = R.Crc32;
  return !IsCancelled();
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
    ReportError(E.Name(), "authentication code mismatch", FRunArchiveName, ecCrcCheck);
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
    ReportError(E.Name(), "", FRunArchiveName, ecUnsupportedMethod);
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
  if (st.ErrorCode) ReportError(E.Name(), "", FRunArchiveName, st.ErrorCode);
  return st.Ok() && st.BytesOut == unpacked && !IsCancelled();
}

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
// Stored entries smaller than this are copied on the run's thread: taking one over from a job
// costs the run more than copying it.
constexpr int64_t kAheadStoredMin = int64_t(64) << 10;
// One job takes entries that follow each other in the archive, up to these bounds: how many,
// their packed and unpacked bytes, and the span of the archive read for them at once. A local
// header is counted with this much room for its name and extra field.
constexpr size_t kBatchEntries = 1024;
constexpr size_t kBatchBytes = size_t(256) << 10;
constexpr int64_t kBatchSpan = int64_t(512) << 10;
constexpr int64_t kHeaderRoom = 1024;
// The most a local header can take: its fixed part, a name and an extra field.
constexpr size_t kLocalHeaderMax = LocalHeaderSize + 2 * 0xFFFF;

libdeflate_decompressor* ThreadInflater() {
  thread_local const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> d(
      libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
  return d.get();
}

// Runs a table decoder over In into Out, which holds exactly the stated size: more output than
// that, or less, fails.
bool DecodeInMemory(const TMethodDecoder& D, uint16_t Flags, const uint8_t* In, size_t InSize, uint8_t* Out,
                    size_t OutSize) {
  size_t inPos = 0, outPos = 0;
  bool overflow = false;
  TDecoderIO io;
  io.Read = [&](uint8_t* Buf, int64_t N) -> int64_t {
    const size_t n = std::min(size_t(std::min<int64_t>(N, kBlock)), InSize - inPos);
    std::memcpy(Buf, In + inPos, n);
    inPos += n;
    return int64_t(n);
  };
  io.Write = [&](const uint8_t* Data, int64_t N) -> int64_t {
    if (size_t(N) > OutSize - outPos) {
      overflow = true;
    } else if (N > 0) {
      std::memcpy(Out + outPos, Data, size_t(N));
      outPos += size_t(N);
    }
    return N;
  };
  io.CompressedSize = int64_t(InSize);
  io.UncompressedSize = int64_t(OutSize);
  io.Flags = Flags;
  const TDecodeStatus st = D.Run(io, D.Param);
  return st.Ok() && !overflow && outPos == OutSize;
}

// What a job needs of an entry.
struct TAheadEntry {
  int64_t Position, PackedSize, UnpackedSize;
  uint16_t Method, Flags;
};

// The bytes of the archive a job read at once: Size bytes from Start.
struct TWindow {
  const uint8_t* Data;
  int64_t Start, Size;
  bool Holds(int64_t Pos, int64_t N) const { return Pos >= Start && N <= Start + Size - Pos; }
};

// The local header at Pos, checked as the run checks it: from the window when it lies there,
// else read by itself into Scratch. Gives where the entry's data starts.
bool ReadLocalAhead(int Fd, const TWindow& W, int64_t Pos, TAheadBuffer& Scratch, TZipLocalRecord& L,
                    int64_t& DataPos) {
  auto parse = [&](const uint8_t* P, int64_t N) {
    TCustomMemoryStream32 m;
    m.SetPointer(const_cast<uint8_t*>(P), N);
    if (!ReadLocalRecord(m, L)) return false;
    DataPos = Pos + L.DataPosition();
    return true;
  };
  if (W.Holds(Pos, LocalHeaderSize) && parse(W.Data + (Pos - W.Start), W.Start + W.Size - Pos)) return true;
  Scratch.Resize(kLocalHeaderMax);
  const int64_t got = ReadUpTo(Fd, Pos, Scratch.Data(), Scratch.Size());
  return got > 0 && parse(Scratch.Data(), got);
}

// N bytes of the archive at Pos: in the window, or read into Scratch.
const uint8_t* AheadBytes(int Fd, const TWindow& W, int64_t Pos, size_t N, TAheadBuffer& Scratch) {
  if (W.Holds(Pos, int64_t(N))) return W.Data + (Pos - W.Start);
  Scratch.Resize(N);
  return ReadAt(Fd, Pos, Scratch.Data(), N) ? Scratch.Data() : nullptr;
}

// The entry's local header into R, checked as the run checks it.
void ReadHeaderAhead(int Fd, const TWindow& W, const TAheadEntry& E, TAheadBuffer& Scratch, TAheadResult& R) {
  TZipLocalRecord l;
  R.HeaderRead = ReadLocalAhead(Fd, W, E.Position, Scratch, l, R.DataPosition);
  R.HeaderDosDateTime = l.Header.DosDateTime;
  R.HeaderCrc32 = l.Header.Crc32;
}

// Decodes one entry of a batch, whose header R holds, into R; Out has room for exactly its
// stated size.
void DecodeAhead(int Fd, const TWindow& W, const TAheadEntry& E, uint8_t* Out, TAheadBuffer& Scratch, TAheadResult& R) {
  const size_t packed = size_t(E.PackedSize), unpacked = size_t(E.UnpackedSize);
  const int64_t data = R.DataPosition;
  const uint8_t* bytes = Out;
  if (E.Method == 0) {
    // Stored: the bytes as they lie in the window, else read straight into the output.
    if (packed != unpacked) return;
    if (W.Holds(data, E.PackedSize)) {
      bytes = W.Data + (data - W.Start);
    } else if (!ReadAt(Fd, data, Out, unpacked)) {
      return;
    }
  } else {
    const uint8_t* in = AheadBytes(Fd, W, data, packed, Scratch);
    if (!in) return;
    if (E.Method == 8) {
      libdeflate_decompressor* d = ThreadInflater();
      if (!d || libdeflate_deflate_decompress(d, in, packed, Out, unpacked, nullptr) != LIBDEFLATE_SUCCESS) return;
    } else if (!DecodeInMemory(*FindDecoder(kZipDecoders, E.Method), E.Flags, in, packed, Out, unpacked)) {
      return;
    }
  }
  R.Data = bytes;
  R.Size = unpacked;
  R.Crc32 = UpdateCrc32(Crc32Init, bytes, unpacked);
  R.Ok = true;
}

// A worker's job: reads the span of the archive that holds the batch's entries in one go and
// decodes each after it (stored data is used where it lies); what lies outside the span is
// read by itself.
void DecodeBatch(int Fd, int64_t Start, int64_t End, const std::vector<TAheadEntry>& Entries, TAheadBatch& B) {
  const size_t span = size_t(End - Start);
  size_t total = span;
  for (const TAheadEntry& e : Entries) total += size_t(e.UnpackedSize);
  B.Memory.Resize(total);
  const int64_t got = ReadUpTo(Fd, Start, B.Memory.Data(), span);
  const TWindow w{B.Memory.Data(), Start, std::max<int64_t>(got, 0)};
  uint8_t* out = B.Memory.Data() + span;
  for (size_t k = 0; k < Entries.size(); ++k) {
    ReadHeaderAhead(Fd, w, Entries[k], B.Scratch, B.Results[k]);
    if (B.Results[k].HeaderRead) DecodeAhead(Fd, w, Entries[k], out, B.Scratch, B.Results[k]);
    out += size_t(Entries[k].UnpackedSize);
  }
}

// Plain data of a table method, small enough to hold, with sizes that may be true.
bool FitsAhead(const TUnZip::TEntry& E) {
  return !E.IsDir && !(E.Method == 0 && E.PackedSize < kAheadStoredMin) && !(E.Flags & (gpEncrypted | 0x40)) &&
         E.Method != kAesMethod && FindDecoder(kZipDecoders, E.Method) && E.PackedSize >= 0 && E.UnpackedSize >= 0 &&
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
  // The entries are walked as the bounds allow; each job copies what it needs of its entries.
  return std::make_unique<TExtractAhead>(*Pool, kAheadHeld, [this, fd, next = size_t(0)](TAheadItem& Item) mutable {
    std::vector<TAheadEntry> batch;
    int64_t start = 0, end = 0;
    size_t bytes = 0;
    for (; next < FEntries.size() && batch.size() < kBatchEntries; ++next) {
      const TEntry& e = FEntries[next];
      if (!FitsAhead(e)) continue;
      const size_t held = size_t(e.PackedSize + e.UnpackedSize);
      const int64_t stop = e.Position + LocalHeaderSize + kHeaderRoom + e.PackedSize;
      if (!batch.empty() && (bytes + held > kBatchBytes || e.Position < start || stop - start > kBatchSpan)) break;
      if (batch.empty()) start = e.Position;
      end = std::max(end, stop);
      bytes += held;
      batch.push_back({e.Position, e.PackedSize, e.UnpackedSize, e.Method, e.Flags});
      Item.Keys.push_back(next);
    }
    if (batch.empty()) return false;
    Item.Held = bytes + size_t(end - start);
    Item.Job = [fd, start, end, batch = std::move(batch)](TAheadBatch& B) { DecodeBatch(fd, start, end, batch, B); };
    return true;
  });
}

bool TUnZip::DeliverAhead(const TAheadResult& R) {
  // Pieces of 1 MiB: few writes, and still a progress event per MiB.
  constexpr size_t kPiece = size_t(1) << 20;
  for (size_t done = 0; done < R.Size;) {
    const size_t n = std::min(R.Size - done, kPiece);
    if (SinkWrite(R.Data + done, int64_t(n), 0) != int64_t(n)) return false;
    done += n;
  }
  StreamState->Crc32Val = R.Crc32;
  return !IsCancelled();
}

bool TUnZip::CanDecode(const TEntry& E, std::string& Why) const {
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
    inner.Method = FEntryAes.Method;
    inner.HasAes = false;
    return inner.Method != kAesMethod && CanDecode(inner, Why);
  }
  if (FindDecoder(kZipDecoders, E.Method)) return true;
  const std::string name = ZipMethodName(E.Method, E.Flags);
  Why = (name == kUnsupportedMethod ? "" : name + ", ") + "method " + std::to_string(E.Method) + " is not supported";
  return false;
}

bool TUnZip::DecodeAes(TStream32& S, const TEntry& E) {
  const int64_t data = E.PackedSize - AesOverhead(FEntryAes.Strength);
  if (data < 0) return false;
  TAesReadStream in(S, FAes, data);
  TEntry inner = E;
  inner.Method = FEntryAes.Method;
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

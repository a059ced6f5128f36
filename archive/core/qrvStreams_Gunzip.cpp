// TGunzipStream: the gzip codec of the decoding stream (zlib, every member checked; large
// members of a file decoded whole by libdeflate).
#include <libdeflate.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvExtractAhead.h"
#include "archive/core/qrvStreams.h"

namespace {

// zlib's window bits for a gzip wrapper (header, CRC-32 and ISIZE checked).
constexpr int kGzipWindow = 15 + 16;

// The failure code for zlib's reason: a trailer that does not match is a CRC failure.
int CodeForZlib(const char* Msg) {
  const std::string m = Msg ? Msg : "";
  if (m == "incorrect data check" || m == "incorrect length check") return ecCrcCheck;
  if (m == "incorrect header check" || m == "unknown compression method" || m == "unknown header flags set" ||
      m == "header crc mismatch")
    return ecBadFileHeader;
  return ecCorruptInput;
}

uint64_t DefaultWholeLimit() { return std::min<uint64_t>(uint64_t(256) << 20, MachineMemory() / 8); }

// Decodes the gzip member at the start of Packed into Out (Size bytes, all of them); the
// compressed bytes it took, or 0 when libdeflate refuses it.
size_t DecodeMember(const TAheadBuffer& Packed, TAheadBuffer& Out, uint64_t Size) {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  if (!d) return 0;
  size_t inUsed = 0, outGot = 0;
  const libdeflate_result r =
      libdeflate_gzip_decompress_ex(d, Packed.Data(), Packed.Size(), Out.Data(), Size, &inUsed, &outGot);
  libdeflate_free_decompressor(d);
  return r == LIBDEFLATE_SUCCESS && outGot == Size ? inUsed : 0;
}

// Faults the pages of the blocks in on a thread of its own, without touching their bytes; no
// thread when none can be had.
std::thread Prefault(std::initializer_list<std::pair<uint8_t*, size_t>> Blocks) {
  std::vector<std::pair<uint8_t*, size_t>> blocks(Blocks);
  try {
    return std::thread([blocks] {
      for (const auto& [p, n] : blocks) madvise(p, n, MADV_POPULATE_WRITE);
    });
  } catch (const std::system_error&) {
    return {};
  }
}

}  // namespace

uint64_t MachineMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  return pages > 0 && size > 0 ? uint64_t(pages) * uint64_t(size) : uint64_t(4) << 30;
}

TGunzipStream::TGunzipStream(TStream32& Source) : TDecodeStream(Source, 2, "gzip"), WholeLimit(DefaultWholeLimit()) {
  const int rc = inflateInit2(&FZ, kGzipWindow);
  if (rc != Z_OK) throw EArchiveError(rc == Z_MEM_ERROR ? ecOutOfMemory : ecStreamReadWrite);
}

TGunzipStream::~TGunzipStream() {
  StopAhead();
  inflateEnd(&FZ);
}

void TGunzipStream::ResetCodec() {
  inflateReset2(&FZ, kGzipWindow);
  FWholeTried = false;
  FWhole.reset();
}

TDecodeStream::TStep TGunzipStream::Decode(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen) {
  if (FWhole) return ServeWhole(In, InLen, Out, OutLen);
  FZ.next_in = const_cast<Bytef*>(In);
  FZ.avail_in = uInt(InLen);
  FZ.next_out = Out;
  FZ.avail_out = uInt(OutLen);
  const int rc = inflate(&FZ, Z_NO_FLUSH);
  In += InLen - FZ.avail_in;
  InLen = FZ.avail_in;
  Out += OutLen - FZ.avail_out;
  OutLen = FZ.avail_out;
  if (rc == Z_STREAM_END) return dsMemberEnd;
  if (rc == Z_OK || rc == Z_BUF_ERROR) {
    if (!FWholeTried && FZ.total_out >= kWholeFrom) TryWhole(InLen);
    return dsGoOn;
  }
  Fail(rc == Z_MEM_ERROR ? ecOutOfMemory : CodeForZlib(FZ.msg), FZ.msg ? FZ.msg : "damaged gzip data");
  return dsFailed;
}

uint64_t TGunzipStream::WholeSize(int Handle, int64_t Start, int64_t FileSize) {
  if (WholeLimit == 0 || Start < 0 || FileSize - Start < 8 || uint64_t(FileSize - Start) > WholeLimit) return 0;
  // ISIZE of the file's last member: this one's size when it is the last.
  uint8_t isize[4];
  if (!ReadAt(Handle, FileSize - 4, isize, 4)) return 0;
  const uint64_t size =
      uint64_t(isize[0]) | uint64_t(isize[1]) << 8 | uint64_t(isize[2]) << 16 | uint64_t(isize[3]) << 24;
  // Deflate gives at most 1032 bytes for one: a larger claim is a lie, not worth the memory.
  const uint64_t most = uint64_t(FileSize - Start) * 1032;
  return size > FZ.total_out && size <= WholeLimit && size <= most ? size : 0;
}

void TGunzipStream::TryWhole(size_t InLen) {
  FWholeTried = true;
  auto* file = dynamic_cast<THandleStream32*>(&Source());
  if (!file) return;
  const int64_t fileSize = file->Size(), at = file->Position() - int64_t(InLen);
  const int64_t start = at - int64_t(FZ.total_in);
  const uint64_t size = at <= fileSize ? WholeSize(file->Handle(), start, fileSize) : 0;
  if (size == 0) return;
  size_t inUsed = 0;
  auto out = std::make_unique<TAheadBuffer>();
  try {
    TAheadBuffer packed;
    packed.Resize(size_t(fileSize - start));
    out->Resize(size);
    // The system clears every new page on its first write: another core does that ahead of
    // the read and the decoder (without touching the bytes; a system without the advice
    // leaves it to the first write).
    std::thread prefault = Prefault({{packed.Data(), packed.Capacity()}, {out->Data(), out->Capacity()}});
    if (ReadAt(file->Handle(), start, packed.Data(), packed.Size())) inUsed = DecodeMember(packed, *out, size);
    if (prefault.joinable()) prefault.join();
  } catch (const std::bad_alloc&) {
    // Not enough memory for it: zlib goes on.
  }
  if (start + int64_t(inUsed) < at || inUsed == 0) return;
  FWhole = std::move(out);
  FWholeSize = size;
  FWholeFrom = FWholePos = FZ.total_out;
  FWholeIn = uint64_t(start + int64_t(inUsed) - at);
  FWholeTaken = 0;
}

TDecodeStream::TStep TGunzipStream::ServeWhole(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen) {
  const size_t n = size_t(std::min<uint64_t>(OutLen, FWholeSize - FWholePos));
  std::memcpy(Out, FWhole->Data() + FWholePos, n);
  Out += n;
  OutLen -= n;
  FWholePos += n;
  FWholeServed += n;
  // The compressed bytes go by in proportion, so that progress counted on them stays true.
  const uint64_t due =
      FWholePos == FWholeSize ? FWholeIn : FWholeIn * (FWholePos - FWholeFrom) / (FWholeSize - FWholeFrom);
  const size_t take = size_t(std::min<uint64_t>(InLen, due - FWholeTaken));
  In += take;
  InLen -= take;
  FWholeTaken += take;
  if (FWholePos < FWholeSize || FWholeTaken < FWholeIn) return dsGoOn;
  FWhole.reset();
  return dsMemberEnd;
}

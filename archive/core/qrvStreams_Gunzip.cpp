// TGunzipStream: the gzip codec of the decoding stream (zlib, every member checked; large
// members of a file decoded whole by libdeflate beside it).
#include <libdeflate.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

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

}  // namespace

uint64_t MachineMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  return pages > 0 && size > 0 ? uint64_t(pages) * uint64_t(size) : uint64_t(4) << 30;
}

// One member decoded whole: the file's bytes from the member's start read and decoded on a
// thread of its own, which only reads the file at its own offsets.
struct TGunzipStream::TWhole {
  int64_t Start = 0;  // the member's offset in the file
  uint64_t Size = 0;  // its decoded size, from ISIZE
  TAheadBuffer Out;
  size_t InUsed = 0;  // the member's compressed size; 0 when libdeflate refused it
  std::atomic<bool> Done{false};
  std::thread Thread;

  void Run(int Fd, int64_t FileSize) {
    try {
      TAheadBuffer packed;
      packed.Resize(size_t(FileSize - Start));
      Out.Resize(Size);
      if (ReadAt(Fd, Start, packed.Data(), packed.Size())) InUsed = Decode(packed);
    } catch (const std::bad_alloc&) {
      // Not enough memory for it: zlib goes on.
    }
    Done.store(true, std::memory_order_release);
  }

  size_t Decode(const TAheadBuffer& Packed) {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    if (!d) return 0;
    size_t inUsed = 0, outGot = 0;
    const libdeflate_result r =
        libdeflate_gzip_decompress_ex(d, Packed.Data(), Packed.Size(), Out.Data(), Size, &inUsed, &outGot);
    libdeflate_free_decompressor(d);
    return r == LIBDEFLATE_SUCCESS && outGot == Size ? inUsed : 0;
  }
};

TGunzipStream::TGunzipStream(TStream32& Source) : TDecodeStream(Source, 2, "gzip"), WholeLimit(DefaultWholeLimit()) {
  const int rc = inflateInit2(&FZ, kGzipWindow);
  if (rc != Z_OK) throw EArchiveError(rc == Z_MEM_ERROR ? ecOutOfMemory : ecStreamReadWrite);
}

TGunzipStream::~TGunzipStream() {
  StopAhead();
  DropWhole();
  inflateEnd(&FZ);
}

void TGunzipStream::ResetCodec() {
  inflateReset2(&FZ, kGzipWindow);
  DropWhole();
}

void TGunzipStream::DropWhole() {
  if (FWhole && FWhole->Thread.joinable()) FWhole->Thread.join();
  FWhole.reset();
  FWholeTried = FServing = false;
}

TDecodeStream::TStep TGunzipStream::Decode(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen) {
  if (FServing) return ServeWhole(In, InLen, Out, OutLen);
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
    if (!FWholeTried && FZ.total_out >= kWholeFrom) StartWhole(InLen);
    // zlib goes on while libdeflate works, but not past half the member: a busy machine must
    // not make it decode everything twice.
    if (FWhole && (FWhole->Done.load(std::memory_order_acquire) || FZ.total_out >= FWhole->Size / 2)) TakeWhole(InLen);
    return dsGoOn;
  }
  Fail(rc == Z_MEM_ERROR ? ecOutOfMemory : CodeForZlib(FZ.msg), FZ.msg ? FZ.msg : "damaged gzip data");
  return dsFailed;
}

void TGunzipStream::StartWhole(size_t InLen) {
  FWholeTried = true;
  auto* file = dynamic_cast<THandleStream32*>(&Source());
  if (!file || WholeLimit == 0) return;
  const int64_t size = file->Size(), end = file->Position();
  if (size < 8 || end < 0 || end > size) return;
  const int64_t start = end - int64_t(InLen) - int64_t(FZ.total_in);
  if (start < 0 || uint64_t(size - start) > WholeLimit) return;
  // ISIZE of the file's last member: this one's size when it is the last.
  uint8_t isize[4];
  if (!ReadAt(file->Handle(), size - 4, isize, 4)) return;
  const uint64_t outSize =
      uint64_t(isize[0]) | uint64_t(isize[1]) << 8 | uint64_t(isize[2]) << 16 | uint64_t(isize[3]) << 24;
  if (outSize <= FZ.total_out || outSize > WholeLimit) return;
  FWhole = std::make_unique<TWhole>();
  FWhole->Start = start;
  FWhole->Size = outSize;
  FWhole->Thread = std::thread([w = FWhole.get(), fd = file->Handle(), size] { w->Run(fd, size); });
}

void TGunzipStream::TakeWhole(size_t InLen) {
  FWhole->Thread.join();
  const int64_t at = Source().Position() - int64_t(InLen);
  const TWhole& w = *FWhole;
  if (w.InUsed == 0 || w.Start + int64_t(w.InUsed) < at || FZ.total_out > w.Size) {
    FWhole.reset();
    return;
  }
  FServing = true;
  FWholeFrom = FWholePos = FZ.total_out;
  FWholeIn = uint64_t(w.Start + int64_t(w.InUsed) - at);
  FWholeTaken = 0;
}

TDecodeStream::TStep TGunzipStream::ServeWhole(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen) {
  const uint64_t size = FWhole->Size;
  const size_t n = size_t(std::min<uint64_t>(OutLen, size - FWholePos));
  std::memcpy(Out, FWhole->Out.Data() + FWholePos, n);
  Out += n;
  OutLen -= n;
  FWholePos += n;
  FWholeServed += n;
  // The compressed bytes go by in proportion, so that progress counted on them stays true.
  const uint64_t due = FWholePos == size ? FWholeIn : FWholeIn * (FWholePos - FWholeFrom) / (size - FWholeFrom);
  const size_t take = size_t(std::min<uint64_t>(InLen, due - FWholeTaken));
  In += take;
  InLen -= take;
  FWholeTaken += take;
  if (FWholePos < size || FWholeTaken < FWholeIn) return dsGoOn;
  DropWhole();
  return dsMemberEnd;
}

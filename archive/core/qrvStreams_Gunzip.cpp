// TGunzipStream: every member of a gzip file read as one forward stream.
#include <algorithm>
#include <climits>
#include <cstring>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvStreams.h"

namespace {

constexpr size_t kGzInput = size_t(128) << 10;
constexpr int32_t kSkipBlock = 64 << 10;

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

}  // namespace

TGunzipStream::TGunzipStream(TStream32& Source)
    : FSource(Source), FStart(Source.Position()), FInBuf(kGzInput) {
  const int rc = inflateInit2(&FZ, kGzipWindow);
  if (rc != Z_OK) throw EArchiveError(rc == Z_MEM_ERROR ? ecOutOfMemory : ecStreamReadWrite);
  FInitOk = true;
}

TGunzipStream::~TGunzipStream() {
  if (FInitOk) inflateEnd(&FZ);
}

bool TGunzipStream::IsGzip(TStream32& Source) {
  const int64_t at = Source.Position();
  uint8_t m[2] = {};
  const bool yes = Source.Read(m, 2) == 2 && m[0] == 0x1F && m[1] == 0x8B;
  Source.SetPosition(at);
  return yes;
}

void TGunzipStream::Fail(int Code, const std::string& Reason) {
  FStopped = FEnded = true;
  if (FError.Code == 0) FError = {Code, Reason};
}

void TGunzipStream::Restart() {
  inflateReset2(&FZ, kGzipWindow);
  FZ.next_in = nullptr;
  FZ.avail_in = 0;
  FIn = FOut = 0;
  FEnded = FStopped = false;
  FSource.SetPosition(FStart);
}

bool TGunzipStream::Refill() {
  const int32_t n = FSource.Read(FInBuf.data(), int32_t(FInBuf.size()));
  if (n <= 0) return false;
  FIn += n;
  FZ.next_in = FInBuf.data();
  FZ.avail_in = uInt(n);
  return true;
}

bool TGunzipStream::NextMember() {
  // Another member starts with the magic; anything else after a member is trailing padding.
  if (FZ.avail_in < 2) {
    // Keep the odd byte left over, then top up behind it.
    uint8_t keep = FZ.avail_in == 1 ? FZ.next_in[0] : 0;
    const bool had = FZ.avail_in == 1;
    const int32_t n = FSource.Read(FInBuf.data() + (had ? 1 : 0), int32_t(FInBuf.size() - 1));
    FInBuf[0] = had ? keep : FInBuf[0];
    FIn += std::max(n, 0);
    FZ.next_in = FInBuf.data();
    FZ.avail_in = uInt((had ? 1 : 0) + std::max(n, 0));
  }
  if (FZ.avail_in < 2 || FZ.next_in[0] != 0x1F || FZ.next_in[1] != 0x8B) return false;
  inflateReset(&FZ);
  return true;
}

int32_t TGunzipStream::Read(void* Buffer, int32_t Count) {
  if (Count <= 0 || FStopped) return 0;
  FZ.next_out = static_cast<Bytef*>(Buffer);
  FZ.avail_out = uInt(Count);
  while (FZ.avail_out > 0 && !FStopped) {
    if (FZ.avail_in == 0 && !Refill()) {
      Fail(ecReadFile, FOut == 0 && FIn == 0 ? "no gzip data" : "the gzip data ends early");
      break;
    }
    const int rc = inflate(&FZ, Z_NO_FLUSH);
    if (rc == Z_STREAM_END) {
      if (!NextMember()) FStopped = FEnded = true;
      continue;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      Fail(rc == Z_MEM_ERROR ? ecOutOfMemory : CodeForZlib(FZ.msg), FZ.msg ? FZ.msg : "damaged gzip data");
      break;
    }
  }
  const int32_t got = Count - int32_t(FZ.avail_out);
  FOut += got;
  if (OnProgress && got > 0) OnProgress();
  return got;
}

int32_t TGunzipStream::Write(const void*, int32_t) { return 0; }

int32_t TGunzipStream::Seek32(int32_t Offset, uint16_t Origin) {
  const int64_t r = Seek(Offset, Origin);
  return r >= 0 && r <= INT32_MAX ? int32_t(r) : -1;
}

int64_t TGunzipStream::Seek(int64_t Offset, uint16_t Origin) {
  int64_t target;
  if (Origin == soFromBeginning) target = Offset;
  else if (Origin == soFromCurrent) target = FOut + Offset;
  else return FEnded && Offset <= 0 ? Seek(FOut + Offset, soFromBeginning) : -1;
  if (target < 0) return -1;
  if (target < FOut) Restart();
  std::vector<uint8_t> scratch;
  while (FOut < target && !FStopped && !IsCancelled()) {
    if (scratch.empty()) scratch.resize(size_t(kSkipBlock));
    const int32_t want = int32_t(std::min<int64_t>(target - FOut, kSkipBlock));
    if (Read(scratch.data(), want) < want) break;
    ProcessMessages();
  }
  return FOut;
}

// TGunzipStream: the gzip codec of the decoding stream (zlib, every member checked).
#include "archive/core/qrvErrors.h"
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

}  // namespace

TGunzipStream::TGunzipStream(TStream32& Source) : TDecodeStream(Source, 2, "gzip") {
  const int rc = inflateInit2(&FZ, kGzipWindow);
  if (rc != Z_OK) throw EArchiveError(rc == Z_MEM_ERROR ? ecOutOfMemory : ecStreamReadWrite);
}

TGunzipStream::~TGunzipStream() {
  StopAhead();
  inflateEnd(&FZ);
}

void TGunzipStream::ResetCodec() { inflateReset2(&FZ, kGzipWindow); }

TDecodeStream::TStep TGunzipStream::Decode(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen) {
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
  if (rc == Z_OK || rc == Z_BUF_ERROR) return dsGoOn;
  Fail(rc == Z_MEM_ERROR ? ecOutOfMemory : CodeForZlib(FZ.msg), FZ.msg ? FZ.msg : "damaged gzip data");
  return dsFailed;
}

// Chunked deflate on zlib.
#include "archive/core/qrvDeflateChunks.h"

#include <zlib.h>

TDeflatedChunk DeflateChunk(const uint8_t* Dict, size_t DictLen, const uint8_t* In, size_t Len,
                            int ZLevel, bool Last) {
  TDeflatedChunk r;
  r.InSize = Len;
  r.Crc = uint32_t(crc32(0L, In, uInt(Len)));
  z_stream z{};
  if (deflateInit2(&z, ZLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return r;
  bool ok = DictLen == 0 || deflateSetDictionary(&z, Dict, uInt(DictLen)) == Z_OK;
  // deflateBound covers the final block; a sync flush adds at most an empty stored block.
  r.Data.resize(deflateBound(&z, uLong(Len)) + 16);
  z.next_in = const_cast<Bytef*>(In);
  z.avail_in = uInt(Len);
  z.next_out = r.Data.data();
  z.avail_out = uInt(r.Data.size());
  const int rc = ok ? deflate(&z, Last ? Z_FINISH : Z_SYNC_FLUSH) : Z_STREAM_ERROR;
  ok = Last ? rc == Z_STREAM_END : rc == Z_OK && z.avail_in == 0 && z.avail_out > 0;
  r.Data.resize(r.Data.size() - z.avail_out);
  deflateEnd(&z);
  r.Ok = ok;
  return r;
}

uint32_t CombineCrc32(uint32_t A, uint32_t B, int64_t LenB) {
  return uint32_t(crc32_combine64(A, B, LenB));
}

// ZIP methods decoded through libraries, each on the decoder contract of
// archive/core/qrvDecoder.h: Deflate (8, zlib), bzip2 (12, libbz2), LZMA (14, liblzma with the
// ZIP header of version and properties; flag bit 1 marks an end marker), zstd (93, libzstd) and
// xz (95, liblzma). Memory stays bounded: a dictionary or window beyond kCodecMemoryLimit is
// refused as damage, and an LZMA dictionary is never larger than the entry itself.
#pragma once

#include <cstdint>

#include "archive/core/qrvDecoder.h"

constexpr uint64_t kCodecMemoryLimit = uint64_t(1) << 30;

TDecodeStatus InflateRaw(const TDecoderIO& IO, int Param);
TDecodeStatus BZip2Decode(const TDecoderIO& IO, int Param);
TDecodeStatus LzmaDecode(const TDecoderIO& IO, int Param);
TDecodeStatus ZstdDecode(const TDecoderIO& IO, int Param);
TDecodeStatus XzDecode(const TDecoderIO& IO, int Param);

// Unreduce (ZIP methods 2 to 5, compression factors 1 to 4): follower sets per byte value, then
// a DLE-escaped run-length/copy scheme over a 4 KiB window.
#pragma once

#include "archive/core/qrvDecoder.h"

// Decodes one entry (see qrvDecoder.h for IO); Factor is method - 1. Stops at UncompressedSize,
// or with drInputExhausted when the compressed bytes run out first. A follower count above 32
// or a follower index beyond its set is drDataError. ErrorCode is always 0: the CRC check decides.
TDecodeStatus UnReduce(const TDecoderIO& IO, int Factor);

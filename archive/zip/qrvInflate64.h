// Deflate64 (ZIP method 9): Deflate with a 64 KiB window, length code 285 taking 16 extra bits
// (lengths 3 to 65538) and distance codes 30 and 31 (distances up to 65536).
#pragma once

#include "archive/core/qrvDecoder.h"

// Decodes one entry (see qrvDecoder.h for IO). Ends after the final block; UncompressedSize is
// not used. Outcomes: drSuccess, drDataError (reason says which check failed), drInputExhausted,
// drWriteFailure, drCancelled.
TDecodeStatus Inflate64(const TDecoderIO& IO);

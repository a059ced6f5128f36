// Unshrink (ZIP method 1): dynamic LZW with 9- to 13-bit codes, code-size increases and partial
// clears sent as control code 256.
#pragma once

#include "archive/core/qrvDecoder.h"

// Decodes one entry until its compressed bytes are used up (see qrvDecoder.h for IO). A missing
// first code, a bad control code, a code above 8191 or a chain through a free code end it with
// drDataError and ErrorCode 25116 ("Bad block"); a string longer than 8192 bytes with 25305
// ("Stack overflow"). An empty input with UncompressedSize 0 is an empty file, not an error.
TDecodeStatus UnShrink(const TDecoderIO& IO);

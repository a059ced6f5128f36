// Explode (ZIP method 6, imploded): a 4 or 8 KiB sliding dictionary with Shannon-Fano coded
// lengths and distances, and literals coded with a third tree or sent as plain bytes.
#pragma once

#include "archive/core/qrvDecoder.h"

// Decodes one entry of UncompressedSize bytes (see qrvDecoder.h for IO). Flags are the entry's
// general-purpose flags: bit 1 selects the 8 KiB dictionary, bit 2 the literal tree. Outcomes:
// drSuccess, drDataError (bad tree), drInputExhausted, drWriteFailure, drCancelled.
TDecodeStatus Explode(const TDecoderIO& IO, uint16_t Flags);

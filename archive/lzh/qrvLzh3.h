// The LZH decoders: static-Huffman blocks (methods lh4 to lh7) and the adaptive-Huffman coder
// of lh1. Both read most significant bit first through the shared decoder kit.
#pragma once

#include "archive/core/qrvDecoder.h"

// Static-Huffman blocks with a dictionary of 2^DicBit bytes (lh4 12, lh5 13, lh6 15, lh7 16).
// Decodes exactly UncompressedSize bytes. Outcomes: drSuccess, drDataError (a block count of 0,
// a table count above its table, an invalid code), drInputExhausted, drWriteFailure, drCancelled.
TDecodeStatus LzhUnpackStatic(const TDecoderIO& IO, int DicBit);

// lh1: a 4 KiB ring that starts as spaces, lengths 3 to 60 and literals in one adaptive
// Huffman tree, positions with a fixed prefix code. Same outcomes, without drDataError.
TDecodeStatus LzhUnpackAdaptive(const TDecoderIO& IO, int Unused);

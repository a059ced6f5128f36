// The LZH decoders: static-Huffman blocks (methods lh4 to lh7), the adaptive-Huffman coder
// of lh1, LHarc's older 8 KiB methods (lh2, lh3), the plain LZSS of LArc (lz5, lzs) and PMarc's
// methods (pm1, pm2). All read most significant bit first through the shared decoder kit.
#pragma once

#include "archive/core/qrvDecoder.h"

// Static-Huffman blocks with a dictionary of 2^DicBit bytes (lh4 12, lh5 13, lh6 15, lh7 16).
// Decodes exactly UncompressedSize bytes. Outcomes: drSuccess, drDataError (a block count of 0,
// a table count above its table, an invalid code), drInputExhausted, drWriteFailure, drCancelled.
TDecodeStatus LzhUnpackStatic(const TDecoderIO& IO, int DicBit);

// lh1: a 4 KiB ring that starts as spaces, lengths 3 to 60 and literals in one adaptive
// Huffman tree, positions with a fixed prefix code. Same outcomes, without drDataError.
TDecodeStatus LzhUnpackAdaptive(const TDecoderIO& IO, int Unused);

// LArc's lz5 (4 KiB ring, byte-aligned flags and pairs) and lzs (2 KiB ring, bit-packed items).
// Same outcomes as lh1.
TDecodeStatus LzhUnpackLz5(const TDecoderIO& IO, int Unused);
TDecodeStatus LzhUnpackLzs(const TDecoderIO& IO, int Unused);

// lh2: an adaptive Huffman tree for literals and lengths, another for positions that gains a
// leaf per 64 bytes of output; lh3: static Huffman blocks with plain 4-bit code lengths and a
// fixed position code when the block sends none. Both an 8 KiB ring of spaces; same outcomes as
// LzhUnpackStatic.
TDecodeStatus LzhUnpackLh2(const TDecoderIO& IO, int Unused);
TDecodeStatus LzhUnpackLh3(const TDecoderIO& IO, int Unused);

// PMarc's pm1 (fixed codes, 16 KiB ring) and pm2 (codes sent in the stream, 8 KiB ring). pm1
// reads a few zero bytes past the end of its input, as PMarc's own decoder does. Same outcomes
// as LzhUnpackStatic (drDataError also for a copy from before the start of the output).
TDecodeStatus LzhUnpackPm1(const TDecoderIO& IO, int Unused);
TDecodeStatus LzhUnpackPm2(const TDecoderIO& IO, int Unused);

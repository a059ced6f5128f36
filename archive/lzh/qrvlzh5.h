// The LZH encoder of methods lh5, lh6 and lh7: a sliding dictionary searched through hash chains,
// one-step lazy matching, and static Huffman blocks as the lh4-lh7 decoders read them.
#pragma once

#include <cstdint>
#include <functional>

// Parameters of one method.
struct TLzhMethod {
  char Char;   // '5', '6' or '7'
  int DicBit;  // 13 for lh5; 14 for lh6 (its codes allow 32 KiB, this encoder uses 16 KiB);
               // 16 for lh7
  int NP;      // position codes: DicBit + 1
  int PBit;    // bits of the position-code count: 4 or 5
};
constexpr TLzhMethod LzhMethod5{'5', 13, 14, 4};
constexpr TLzhMethod LzhMethod6{'6', 14, 15, 5};
constexpr TLzhMethod LzhMethod7{'7', 16, 17, 5};

enum TLzhEncodeResult : uint8_t { erPacked, erIncompressible, erCancelled };

struct TLzhEncodeIO {
  // Source bytes: up to Count into Buffer; fewer (0) at the end.
  std::function<int64_t(uint8_t* Buffer, int64_t Count)> Read;
  // Packed bytes out; throws on a write failure.
  std::function<void(const uint8_t* Data, int64_t Count)> Write;
  const bool* CancelFlag = nullptr;
};

// Packs the whole source. erIncompressible as soon as the packed bytes would reach the bytes
// read so far (nothing more is written then: the caller stores the file instead); erCancelled
// when the CancelFlag was set. PackedSize receives the bytes written.
TLzhEncodeResult LzhEncode(const TLzhEncodeIO& IO, const TLzhMethod& Method, int64_t& PackedSize);

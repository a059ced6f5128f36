// Bit writers and prefix-code builders for the encoders that need more than zlib: codes whose bits
// go most significant first, packed into 16-bit little-endian words (LZX) or into bytes in order
// (Quantum), and Huffman code lengths limited to a maximum length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Collects bits most significant first. Word16LE packs each 16 bits as a little-endian word;
// otherwise bytes follow in stream order. Output is appended to Out().
class TMsbBitWriter {
 public:
  explicit TMsbBitWriter(bool Word16LE) : word16_(Word16LE) {}

  // Appends the low Count bits of Value (Count at most 32), highest first.
  void PutBits(uint32_t Value, unsigned Count) {
    if (Count == 0) return;
    acc_ = (acc_ << Count) | (Value & (Count == 32 ? 0xFFFFFFFFu : ((1u << Count) - 1)));
    bits_ += Count;
    while (bits_ >= 16) EmitWord();
  }

  // Pads with zero bits to the next multiple of Bits (8 or 16) and moves them to Out().
  void Align(unsigned Bits) {
    PutBits(0, (Bits - bits_ % Bits) % Bits);
    if (bits_ == 8 && !word16_) {
      out_.push_back(static_cast<uint8_t>(acc_));
      bits_ = 0;
      acc_ = 0;
    }
  }

  // Bits written so far, including those not yet moved to Out().
  uint64_t BitCount() const { return written_ + bits_; }
  std::vector<uint8_t>& Out() { return out_; }

 private:
  void EmitWord() {
    uint32_t w = static_cast<uint32_t>(acc_ >> (bits_ - 16)) & 0xFFFF;
    if (word16_) {
      out_.push_back(static_cast<uint8_t>(w));
      out_.push_back(static_cast<uint8_t>(w >> 8));
    } else {
      out_.push_back(static_cast<uint8_t>(w >> 8));
      out_.push_back(static_cast<uint8_t>(w));
    }
    bits_ -= 16;
    written_ += 16;
  }

  bool word16_;
  uint64_t acc_ = 0;
  unsigned bits_ = 0;
  uint64_t written_ = 0;
  std::vector<uint8_t> out_;
};

// Huffman code lengths for Count symbols with the given frequencies, none longer than MaxBits
// (Count 2 to 1 << MaxBits). Symbols of frequency 0 get length 0. When fewer than two symbols
// occur, the first two symbols (or the one and another) get length 1, so that the code is always
// complete: decoders of these formats reject incomplete codes.
void BuildCodeLengths(const uint32_t* Freqs, unsigned Count, unsigned MaxBits, uint8_t* Lengths);

// Canonical codes for the lengths (shorter codes first, then by symbol), to be written most
// significant bit first. Codes[i] is undefined where Lengths[i] is 0.
void CanonicalCodes(const uint8_t* Lengths, unsigned Count, uint16_t* Codes);

// Canonical prefix-code tables for the Deflate64 and Explode decoders.
//
// A table maps the next input bits (least significant first) to a 32-bit entry: the bits the code
// takes, a kind, and the symbol's payload (a literal, or a base value with a count of extra bits).
// Codes up to RootBits long are found in one lookup; a longer code, or a bit pattern that no code
// has, goes to a canonical walk over the code lengths (rare: such codes are long because their
// symbols are rare).
#pragma once

#include <cstdint>

enum THuffKind : uint8_t { hkLiteral, hkBase, hkEnd, hkInvalid, hkSlow };

constexpr uint32_t HuffEntry(THuffKind Kind, uint32_t Value, uint32_t Extra = 0) {
  return (Value << 16) | (Extra << 8) | (uint32_t(Kind) << 5);
}
constexpr unsigned HuffLen(uint32_t E) { return E & 31; }
constexpr THuffKind HuffKindOf(uint32_t E) { return THuffKind((E >> 5) & 7); }
constexpr unsigned HuffExtra(uint32_t E) { return (E >> 8) & 31; }
constexpr uint32_t HuffValue(uint32_t E) { return E >> 16; }

// What a code set may lack: Deflate allows an incomplete distance code (a lone distance code is
// common) and, as zlib does, a literal/length code made of one code of length 1.
enum THuffPolicy : uint8_t { hpComplete, hpSingleAllowed, hpIncompleteAllowed };

class THuffman {
public:
  static constexpr unsigned kMaxBits = 16;
  static constexpr unsigned kMaxSymbols = 320;
  static constexpr unsigned kMaxRoot = 10;

  // Lengths[i] (0 = unused, at most 16) of Count symbols; Payload[i] the entry of symbol i without
  // its length. Returns false for an over-subscribed code, a length above 16, or an incomplete
  // code the policy does not allow. Payload must outlive the table.
  bool Build(const uint8_t* Lengths, unsigned Count, const uint32_t* Payload, unsigned RootBits,
             THuffPolicy Policy);

  // The entry for the next bits; Peek must hold at least 16 bits. HuffLen of the result is the
  // number of bits the code takes; an unassigned pattern gives hkInvalid.
  uint32_t Lookup(uint64_t Peek) const {
    uint32_t e = root_[Peek & rootMask_];
    return HuffKindOf(e) != hkSlow ? e : LookupLong(static_cast<uint32_t>(Peek));
  }

private:
  uint32_t LookupLong(uint32_t Peek) const;

  uint32_t root_[1u << kMaxRoot];
  uint32_t rootMask_ = 0;
  unsigned maxLen_ = 0;
  uint16_t count_[kMaxBits + 1];       // codes per length
  uint16_t sorted_[kMaxSymbols];       // symbols by length, then value
  const uint32_t* payload_ = nullptr;
};

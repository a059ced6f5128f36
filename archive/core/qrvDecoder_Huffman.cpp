#include "archive/core/qrvDecoder.h"

#include <algorithm>
#include <iterator>

static uint32_t ReverseBits(uint32_t Code, unsigned Len) {
  uint32_t r = 0;
  for (unsigned i = 0; i < Len; ++i) {
    r = (r << 1) | (Code & 1);
    Code >>= 1;
  }
  return r;
}

bool THuffman::Build(const uint8_t* Lengths, unsigned Count, const uint32_t* Payload, unsigned RootBits,
                     THuffPolicy Policy, bool MsbFirst) {
  if (Count > kMaxSymbols || RootBits == 0 || RootBits > kMaxRoot) return false;
  std::fill(std::begin(count_), std::end(count_), 0);
  unsigned codes = 0;
  maxLen_ = 0;
  for (unsigned i = 0; i < Count; ++i) {
    if (Lengths[i] > kMaxBits) return false;
    if (Lengths[i] == 0) continue;
    ++count_[Lengths[i]];
    ++codes;
    maxLen_ = std::max<unsigned>(maxLen_, Lengths[i]);
  }
  // Kraft sum: a negative remainder is an over-subscribed code, a positive one an incomplete one.
  int32_t left = 1;
  for (unsigned len = 1; len <= kMaxBits; ++len) {
    left = (left << 1) - count_[len];
    if (left < 0) return false;
  }
  if (left > 0) {
    bool single = codes == 1 && maxLen_ == 1;
    if (Policy == hpComplete || (Policy == hpSingleAllowed && !single)) return false;
  }

  uint16_t offset[kMaxBits + 2] = {};
  for (unsigned len = 1; len <= kMaxBits; ++len) offset[len + 1] = offset[len] + count_[len];
  for (unsigned i = 0; i < Count; ++i)
    if (Lengths[i] != 0) sorted_[offset[Lengths[i]]++] = static_cast<uint16_t>(i);

  payload_ = Payload;
  rootMask_ = (1u << RootBits) - 1;
  rootBits_ = RootBits;
  std::fill(root_, root_ + (1u << RootBits), HuffEntry(hkSlow, 0));
  uint32_t code = 0;
  unsigned index = 0;
  for (unsigned len = 1; len <= std::min(maxLen_, RootBits); ++len) {
    for (unsigned k = 0; k < count_[len]; ++k, ++code) {
      uint32_t entry = Payload[sorted_[index++]] | len;
      if (MsbFirst)
        std::fill_n(root_ + (code << (RootBits - len)), 1u << (RootBits - len), entry);
      else
        for (uint32_t r = ReverseBits(code, len); r <= rootMask_; r += 1u << len) root_[r] = entry;
    }
    code <<= 1;
  }
  return true;
}

// Canonical walk, one bit at a time: codes of each length follow those of the length before.
// Msb: the code's bits from bit 15 of Peek down, else from bit 0 up.
template <bool Msb>
uint32_t THuffman::Walk(uint32_t Peek) const {
  int32_t code = 0, first = 0, index = 0;
  for (unsigned len = 1; len <= maxLen_; ++len) {
    code |= (Msb ? Peek >> (16 - len) : Peek >> (len - 1)) & 1;
    int32_t count = count_[len];
    if (code - first < count) return payload_[sorted_[index + code - first]] | len;
    index += count;
    first = (first + count) << 1;
    code <<= 1;
  }
  return HuffEntry(hkInvalid, 0) | 1;
}

uint32_t THuffman::LookupLong(uint32_t Peek) const { return Walk<false>(Peek); }
uint32_t THuffman::LookupLongMsb(uint32_t Peek16) const { return Walk<true>(Peek16); }

#include "archive/core/qrvLzMatch.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr unsigned kHash3Bits = 14;
}

void TLzMatchFinder::Init(unsigned WindowBits, unsigned HashBits) {
  windowSize_ = 1u << WindowBits;
  hashShift_ = 32 - HashBits;
  buf_.assign(2 * size_t(windowSize_) + 2 * 65536, 0);
  head_.assign(size_t(1) << HashBits, 0);
  head3_.assign(size_t(1) << kHash3Bits, 0);
  prev_.assign(windowSize_, 0);
  end_ = hashed_ = first_ = 0;
}

uint8_t* TLzMatchFinder::Append(size_t Count) {
  if (end_ + Count > buf_.size()) Slide();
  uint8_t* at = buf_.data() + end_;
  end_ += static_cast<uint32_t>(Count);
  return at;
}

// Moves at least the last window of bytes to the start of the buffer; chain links move with them.
// The shift is a whole number of windows, so each position keeps its chain slot.
void TLzMatchFinder::Slide() {
  uint32_t shift = (end_ - windowSize_) / windowSize_ * windowSize_;
  std::memmove(buf_.data(), buf_.data() + shift, end_ - shift);
  auto rebase = [shift](uint32_t& v) { v = v > shift ? v - shift : 0; };
  std::for_each(head_.begin(), head_.end(), rebase);
  std::for_each(head3_.begin(), head3_.end(), rebase);
  std::for_each(prev_.begin(), prev_.end(), rebase);
  end_ -= shift;
  hashed_ = hashed_ > shift ? hashed_ - shift : 0;
  first_ = first_ > shift ? first_ - shift : 0;
}

uint32_t TLzMatchFinder::Hash4(uint32_t Pos) const {
  uint32_t v;
  std::memcpy(&v, buf_.data() + Pos, 4);
  return (v * 2654435761u) >> hashShift_;
}

uint32_t TLzMatchFinder::Hash3(uint32_t Pos) const {
  const uint8_t* p = buf_.data() + Pos;
  uint32_t v = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
  return (v * 2654435761u) >> (32 - kHash3Bits);
}

void TLzMatchFinder::InsertUpTo(uint32_t Pos) {
  uint32_t limit = std::min(Pos, end_ >= 3 ? end_ - 3 : 0);
  for (; hashed_ < limit; ++hashed_) {
    uint32_t h = Hash4(hashed_);
    prev_[hashed_ & (windowSize_ - 1)] = head_[h];
    head_[h] = hashed_ + 1;
    head3_[Hash3(hashed_)] = hashed_ + 1;
  }
}

unsigned TLzMatchFinder::MatchLength(uint32_t A, uint32_t B, unsigned MaxLen) const {
  const uint8_t* a = buf_.data() + A;
  const uint8_t* b = buf_.data() + B;
  unsigned n = 0;
  while (n + 8 <= MaxLen) {
    uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) return n + (__builtin_ctzll(x ^ y) >> 3);
    n += 8;
  }
  while (n < MaxLen && a[n] == b[n]) ++n;
  return n;
}

unsigned TLzMatchFinder::Collect(uint32_t Pos, unsigned MaxLen, uint32_t MaxDist, unsigned Depth,
                                 unsigned NiceLen, TLzMatch* Out) {
  InsertUpTo(Pos);
  unsigned count = 0;
  if (Pos + 4 > end_ || MaxLen < 3) return 0;
  MaxDist = std::min(MaxDist, Pos - first_);
  const uint8_t* cur = buf_.data() + Pos;
  unsigned best = 2;
  auto take = [&](uint32_t cand, uint32_t d) {
    unsigned len = MatchLength(cand, Pos, MaxLen);
    if (len <= best) return false;
    best = len;
    Out[count++] = {len, d};
    return len >= NiceLen || len >= MaxLen;
  };
  bool done = false;
  if (uint32_t near = head3_[Hash3(Pos)]) {
    uint32_t d = Pos - (near - 1);
    if (d <= MaxDist && d) done = take(near - 1, d);
  }
  for (uint32_t link = head_[Hash4(Pos)]; link && !done && Depth--;) {
    uint32_t cand = link - 1;
    uint32_t d = Pos - cand;
    if (d > MaxDist || d == 0) break;
    const uint8_t* c = buf_.data() + cand;
    if (c[best] == cur[best] && c[0] == cur[0] && c[1] == cur[1] && c[2] == cur[2] && c[3] == cur[3])
      done = take(cand, d);
    link = prev_[cand & (windowSize_ - 1)];
  }
  // Hash the position itself so the next search finds it.
  InsertUpTo(Pos + 1);
  return count;
}

unsigned TLzMatchFinder::Longest(uint32_t Pos, unsigned MaxLen, uint32_t MaxDist, unsigned Depth,
                                 unsigned NiceLen, uint32_t& Dist, uint32_t* Near3) {
  TLzMatch found[kMaxCollect];
  unsigned n = Collect(Pos, MaxLen, MaxDist, std::min(Depth, kMaxCollect - 1), NiceLen, found);
  Dist = n ? found[n - 1].Dist : 0;
  if (Near3) *Near3 = n ? found[0].Dist : 0;
  return n ? found[n - 1].Len : 0;
}

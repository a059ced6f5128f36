#include "archive/core/qrvLzMatch.h"

#include <algorithm>
#include <cstring>

void TLzWindow::InitWindow(unsigned WindowBits) {
  windowSize_ = 1u << WindowBits;
  buf_.assign(2 * size_t(windowSize_) + 2 * 65536, 0);
  end_ = first_ = 0;
}

uint8_t* TLzWindow::Append(size_t Count) {
  if (end_ + Count > buf_.size()) Slide();
  uint8_t* at = buf_.data() + end_;
  end_ += static_cast<uint32_t>(Count);
  return at;
}

// Moves at least the last window of bytes to the start of the buffer; chain links move with them.
// The shift is a whole number of windows, so each position keeps its chain slot.
void TLzWindow::Slide() {
  uint32_t shift = (end_ - windowSize_) / windowSize_ * windowSize_;
  std::memmove(buf_.data(), buf_.data() + shift, end_ - shift);
  end_ -= shift;
  first_ = first_ > shift ? first_ - shift : 0;
  Rebase(shift);
}

void TLzWindow::Rebase(std::vector<uint32_t>& Table, uint32_t Shift) {
  for (uint32_t& v : Table) v = v > Shift ? v - Shift : 0;
}

uint32_t TLzWindow::Hash3(uint32_t Pos) const {
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

void TLzMatchFinder::Init(unsigned WindowBits, unsigned HashBits) {
  InitWindow(WindowBits);
  hashShift_ = 32 - HashBits;
  head_.assign(size_t(1) << HashBits, 0);
  head3_.assign(size_t(1) << kHash3Bits, 0);
  prev_.assign(windowSize_, 0);
  hashed_ = 0;
}

void TLzMatchFinder::Rebase(uint32_t Shift) {
  TLzWindow::Rebase(head_, Shift);
  TLzWindow::Rebase(head3_, Shift);
  TLzWindow::Rebase(prev_, Shift);
  hashed_ = hashed_ > Shift ? hashed_ - Shift : 0;
}

uint32_t TLzMatchFinder::Hash4(uint32_t Pos) const {
  uint32_t v;
  std::memcpy(&v, buf_.data() + Pos, 4);
  return (v * 2654435761u) >> hashShift_;
}

unsigned TLzWindow::MatchLength(uint32_t A, uint32_t B, unsigned MaxLen) const {
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

unsigned TLzMatchFinder::Collect(uint32_t Pos, unsigned MaxLen, uint32_t MaxDist, unsigned Depth, unsigned NiceLen,
                                 TLzMatch* Out) {
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

unsigned TLzMatchFinder::Longest(uint32_t Pos, unsigned MaxLen, uint32_t MaxDist, unsigned Depth, unsigned NiceLen,
                                 uint32_t& Dist, uint32_t* Near3) {
  TLzMatch found[kMaxCollect];
  unsigned n = Collect(Pos, MaxLen, MaxDist, std::min(Depth, kMaxCollect - 1), NiceLen, found);
  Dist = n ? found[n - 1].Dist : 0;
  if (Near3) *Near3 = n ? found[0].Dist : 0;
  return n ? found[n - 1].Len : 0;
}

void TLzTreeFinder::Init(unsigned WindowBits, unsigned HashBits, unsigned NiceLen) {
  InitWindow(WindowBits);
  hashShift_ = 32 - HashBits;
  nice_ = std::clamp(NiceLen, 4u, 258u);
  next_ = 0;
  head_.assign(size_t(1) << HashBits, 0);
  head3_.assign(size_t(1) << kHash3Bits, 0);
  son_.assign(2 * size_t(windowSize_), 0);
  head2_.assign(65536, 0);
  pending_.clear();
}

void TLzTreeFinder::Rebase(uint32_t Shift) {
  TLzWindow::Rebase(head_, Shift);
  TLzWindow::Rebase(head3_, Shift);
  TLzWindow::Rebase(son_, Shift);
  TLzWindow::Rebase(head2_, Shift);
  for (uint32_t& p : pending_) p -= Shift;  // pending positions are never older than the window
  next_ = next_ > Shift ? next_ - Shift : 0;
}

uint32_t TLzTreeFinder::Hash(uint32_t Pos) const {
  uint32_t v;
  std::memcpy(&v, buf_.data() + Pos, 4);
  return (v * 2654435761u) >> hashShift_;
}

// Each node left behind on the walk is smaller (or larger) than Pos in its first len0 (len1)
// bytes, so the bytes known equal on both sides need no comparing. Inserting re-hangs the nodes
// passed on either side of Pos; a node as long as Limit takes Pos's place with its subtrees.
unsigned TLzTreeFinder::Walk(uint32_t Pos, unsigned Limit, uint32_t MaxDist, unsigned Depth, bool Insert, unsigned Best,
                             TLzMatch* Out, unsigned Count) {
  const uint32_t mask = windowSize_ - 1;
  uint32_t& head = head_[Hash(Pos)];
  uint32_t link = head;
  if (Insert) head = Pos + 1;
  uint32_t scratch[2];
  uint32_t* smaller = Insert ? &son_[2 * (Pos & mask)] : &scratch[0];
  uint32_t* larger = Insert ? &son_[2 * (Pos & mask) + 1] : &scratch[1];
  unsigned lenSmaller = 0, lenLarger = 0;
  const uint8_t* cur = buf_.data() + Pos;
  for (; link; --Depth) {
    uint32_t cand = link - 1, d = Pos - cand;
    if (Depth == 0 || d > MaxDist || d >= windowSize_) break;
    uint32_t* pair = &son_[2 * (cand & mask)];
    const uint8_t* c = buf_.data() + cand;
    unsigned len = std::min(lenSmaller, lenLarger);
    // The walk goes on to one of the two children: start loading both while this one compares.
    for (uint32_t child : {pair[0], pair[1]})
      if (child) {
        __builtin_prefetch(&son_[2 * ((child - 1) & mask)]);
        __builtin_prefetch(buf_.data() + child - 1 + len);
      }
    if (c[len] == cur[len]) {
      len += MatchLength(cand + len + 1, Pos + len + 1, Limit - len - 1) + 1;
      if (len > Best) {
        Best = len;
        Out[Count++] = {len, d};
      }
      if (len >= Limit) {
        *smaller = pair[0];
        *larger = pair[1];
        return Count;
      }
    }
    if (c[len] < cur[len]) {
      *smaller = link;
      smaller = &pair[1];
      link = *smaller;
      lenSmaller = len;
    } else {
      *larger = link;
      larger = &pair[0];
      link = *larger;
      lenLarger = len;
    }
  }
  *smaller = *larger = 0;
  return Count;
}

unsigned TLzTreeFinder::Collect(uint32_t Pos, unsigned MaxLen, uint32_t MaxDist, unsigned Depth, TLzMatch* Out) {
  // Positions searched before their data was complete enter the trees first, in order.
  size_t done = 0;
  for (; done < pending_.size() && pending_[done] + nice_ <= end_ && pending_[done] < Pos; ++done)
    Walk(pending_[done], nice_, pending_[done] - first_, Depth, true, ~0u, nullptr, 0);
  pending_.erase(pending_.begin(), pending_.begin() + done);
  if (Pos < next_ || Pos + 4 > end_ || MaxLen < 2) return 0;
  next_ = Pos + 1;
  MaxDist = std::min(MaxDist, Pos - first_);
  unsigned count = 0, best = 1;
  uint32_t& near2 = head2_[buf_[Pos] | buf_[Pos + 1] << 8];
  if (near2 && Pos - (near2 - 1) <= MaxDist) {
    unsigned len = MatchLength(near2 - 1, Pos, MaxLen);
    if (len > best) Out[count++] = {len, Pos - (near2 - 1)}, best = len;
  }
  near2 = Pos + 1;
  uint32_t& near = head3_[Hash3(Pos)];
  if (near && Pos - (near - 1) <= MaxDist) {
    unsigned len = MatchLength(near - 1, Pos, MaxLen);
    if (len > best) Out[count++] = {len, Pos - (near - 1)}, best = len;
  }
  near = Pos + 1;
  if (Pos + 5 <= end_) __builtin_prefetch(&head_[Hash(Pos + 1)]);
  bool insert = Pos + nice_ <= end_ && pending_.empty();
  if (!insert) pending_.push_back(Pos);
  unsigned limit = std::min<uint32_t>(nice_, end_ - Pos);
  count = Walk(Pos, limit, MaxDist, Depth, insert, count ? Out[count - 1].Len : best, Out, count);
  // A match that reached the search's limit may go on further.
  if (count && Out[count - 1].Len >= limit && limit < MaxLen) {
    TLzMatch& m = Out[count - 1];
    m.Len = MatchLength(Pos - m.Dist, Pos, MaxLen);
  }
  // Lengths cut to MaxLen: the nearest match of MaxLen ends the list.
  for (unsigned i = 0; i < count; ++i)
    if (Out[i].Len >= MaxLen) {
      Out[i].Len = MaxLen;
      return i + 1;
    }
  return count;
}

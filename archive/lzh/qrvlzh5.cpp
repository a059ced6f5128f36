#include "archive/lzh/qrvlzh5.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <queue>
#include <vector>

namespace {

constexpr int kMaxMatch = 256, kThreshold = 3;
constexpr int kNC = 510, kNT = 19, kTBit = 5, kCBit = 9, kMaxNP = 17;
constexpr int kHashBits = 15;
constexpr int kMaxChain = 256;  // candidates tried per position
constexpr size_t kBlockSymbols = 16384;
constexpr size_t kOutChunk = 32768;
constexpr int kLookahead = kMaxMatch + 3;

// Bits most significant first into a byte buffer that goes out in 32 KiB pieces.
class TBitSink {
 public:
  explicit TBitSink(const TLzhEncodeIO& IO) : io_(IO) { buf_.reserve(kOutChunk + 64); }
  void Put(unsigned N, uint32_t V) {
    if (N == 0) return;
    acc_ = (acc_ << N) | (V & ((1u << N) - 1));
    bits_ += N;
    while (bits_ >= 8) {
      bits_ -= 8;
      buf_.push_back(uint8_t(acc_ >> bits_));
    }
    acc_ &= (uint64_t(1) << bits_) - 1;
  }
  void PadToByte() {
    if (bits_ > 0) Put(8 - bits_, 0);
  }
  void Drain() {
    if (buf_.size() < kOutChunk) return;
    io_.Write(buf_.data(), int64_t(buf_.size()));
    written_ += int64_t(buf_.size());
    buf_.clear();
  }
  void Flush() {
    if (!buf_.empty()) io_.Write(buf_.data(), int64_t(buf_.size()));
    written_ += int64_t(buf_.size());
    buf_.clear();
  }
  int64_t Count() const { return written_ + int64_t(buf_.size()); }

 private:
  const TLzhEncodeIO& io_;
  std::vector<uint8_t> buf_;
  uint64_t acc_ = 0;
  unsigned bits_ = 0;
  int64_t written_ = 0;
};

// Huffman code lengths (at most 16) and canonical codes for N symbols of Freq. Returns the
// number of symbols used; with fewer than two, Single is the one (or 0) and every length is 0.
int MakeCode(int N, const uint32_t* Freq, uint8_t* Len, uint16_t* Code, int& Single) {
  std::fill(Len, Len + N, 0);
  std::fill(Code, Code + N, 0);
  std::vector<int> used;
  for (int i = 0; i < N; ++i)
    if (Freq[i] > 0) used.push_back(i);
  Single = used.empty() ? 0 : used[0];
  if (used.size() < 2) return int(used.size());
  // Tree depths through a heap of (frequency, node).
  using TNode = std::pair<uint64_t, int>;
  std::priority_queue<TNode, std::vector<TNode>, std::greater<TNode>> heap;
  std::vector<int> parent(used.size() * 2, -1);
  for (size_t i = 0; i < used.size(); ++i) heap.push({Freq[used[i]], int(i)});
  int next = int(used.size());
  while (heap.size() > 1) {
    const TNode a = heap.top();
    heap.pop();
    const TNode b = heap.top();
    heap.pop();
    parent[size_t(a.second)] = parent[size_t(b.second)] = next;
    heap.push({a.first + b.first, next++});
  }
  std::vector<int> depth(size_t(next), 0);
  for (int i = next - 2; i >= 0; --i) depth[size_t(i)] = depth[size_t(parent[size_t(i)])] + 1;
  // Lengths over 16 count as 16; then the code is made complete again by moving codes down.
  uint32_t count[18] = {};
  for (size_t i = 0; i < used.size(); ++i) ++count[std::min(depth[i], 16)];
  uint32_t sum = 0;
  for (int i = 1; i <= 16; ++i) sum += count[i] << (16 - i);
  for (; sum > (1u << 16); --sum) {
    --count[16];
    for (int i = 15; i > 0; --i)
      if (count[i] != 0) {
        --count[i];
        count[i + 1] += 2;
        break;
      }
  }
  // The most frequent symbols get the shortest codes.
  std::vector<int> order(used);
  std::stable_sort(order.begin(), order.end(), [Freq](int a, int b) { return Freq[a] > Freq[b]; });
  size_t k = 0;
  for (int len = 1; len <= 16; ++len)
    for (uint32_t c = 0; c < count[len]; ++c) Len[order[k++]] = uint8_t(len);
  uint16_t start[18] = {};
  for (int len = 1; len <= 16; ++len) start[len + 1] = uint16_t((start[len] + count[len]) << 1);
  for (int i = 0; i < N; ++i)
    if (Len[i]) Code[i] = start[Len[i]]++;
  return int(used.size());
}

int BitLength(uint32_t V) { return V == 0 ? 0 : 32 - __builtin_clz(V); }

class TEncoder {
 public:
  TEncoder(const TLzhEncodeIO& IO, const TLzhMethod& M)
      : io_(IO), m_(M), dic_(1 << M.DicBit), bufSize_(size_t(4) << M.DicBit), out_(IO) {
    win_.assign(bufSize_ + 8, 0);
    head_.assign(size_t(1) << kHashBits, 0);
    prev_.assign(size_t(dic_), 0);
    syms_.reserve(kBlockSymbols);
    dists_.reserve(kBlockSymbols);
  }

  TLzhEncodeResult Run(int64_t& Packed) {
    const TLzhEncodeResult r = Pack();
    Packed = out_.Count();
    return r;
  }

 private:
  bool Cancelled() const { return io_.CancelFlag && *io_.CancelFlag; }
  const uint8_t* At(int64_t Pos) const { return win_.data() + (Pos - base_); }

  // Keeps at least kLookahead bytes ahead of Pos (unless the source ends) and the dictionary
  // behind it.
  void Refill(int64_t Pos) {
    while (!eof_ && filled_ - Pos < kLookahead) {
      if (filled_ - base_ == int64_t(bufSize_)) {
        const int64_t shift = Pos - dic_ - base_;
        std::memmove(win_.data(), win_.data() + shift, size_t(filled_ - base_ - shift));
        base_ += shift;
      }
      const int64_t room = int64_t(bufSize_) - (filled_ - base_);
      const int64_t got = io_.Read ? io_.Read(win_.data() + (filled_ - base_), room) : 0;
      if (got <= 0) {
        eof_ = true;
      } else {
        filled_ += got;
        read_ += got;
      }
    }
  }

  uint32_t Hash(int64_t Pos) const {
    const uint8_t* p = At(Pos);
    return ((uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]) * 2654435761u) >> (32 - kHashBits);
  }

  // Links Pos into its hash chain; returns the previous head of the chain.
  uint32_t Insert(int64_t Pos) {
    const uint32_t h = Hash(Pos);
    const uint32_t old = head_[h];
    prev_[size_t(Pos & (dic_ - 1))] = old;
    head_[h] = uint32_t(Pos + 1);
    return old;
  }

  // The longest match for Pos longer than Shorter, among the chain that starts at Cand.
  int FindMatch(int64_t Pos, uint32_t Cand, int Shorter, int64_t& Dist) {
    const int maxLen = int(std::min<int64_t>(kMaxMatch, filled_ - Pos));
    int best = std::max(Shorter, kThreshold - 1);
    if (best >= maxLen) return 0;
    const int64_t oldest = Pos - (dic_ - 1);
    const uint8_t* s = At(Pos);
    int found = 0;
    for (int chain = kMaxChain; Cand != 0 && int64_t(Cand) - 1 >= oldest && chain > 0; --chain) {
      const int64_t c = int64_t(Cand) - 1;
      const uint8_t* m = At(c);
      if (m[best] == s[best] && m[0] == s[0] && m[1] == s[1]) {
        int len = 2;
        while (len < maxLen && m[len] == s[len]) ++len;
        if (len > best) {
          best = found = len;
          Dist = Pos - c;
          if (len >= maxLen) break;
        }
      }
      Cand = prev_[size_t(c & (dic_ - 1))];
    }
    return found;
  }

  void Literal(uint8_t B) {
    syms_.push_back(B);
    dists_.push_back(0);
    ++cFreq_[B];
  }
  void Match(int Len, int64_t Dist) {
    const uint32_t d = uint32_t(Dist - 1);
    syms_.push_back(uint16_t(Len + 253));
    dists_.push_back(uint16_t(d));
    ++cFreq_[Len + 253];
    ++pFreq_[BitLength(d)];
  }

  TLzhEncodeResult Pack() {
    int64_t pos = 0;
    bool pending = false;
    int prevLen = 0;
    int64_t prevDist = 0;
    for (;;) {
      Refill(pos);
      if (pos >= filled_) break;
      int len = 0;
      int64_t dist = 0;
      if (filled_ - pos >= kThreshold) len = FindMatch(pos, Insert(pos), pending ? prevLen : 0, dist);
      if (pending && prevLen >= kThreshold && len <= prevLen) {
        Match(prevLen, prevDist);
        const int64_t end = pos - 1 + prevLen;
        for (int64_t p = pos + 1; p < end; ++p) {
          Refill(p);
          if (filled_ - p >= kThreshold) Insert(p);
        }
        pos = end;
        pending = false;
        prevLen = 0;
      } else {
        if (pending) Literal(*At(pos - 1));
        pending = true;
        prevLen = len;
        prevDist = dist;
        ++pos;
      }
      if (syms_.size() >= kBlockSymbols) {
        SendBlock();
        if (Cancelled()) return erCancelled;
        if (out_.Count() >= read_) return erIncompressible;
      }
    }
    if (pending) {
      if (prevLen >= kThreshold)
        Match(prevLen, prevDist);
      else
        Literal(*At(pos - 1));
    }
    if (!syms_.empty()) SendBlock();
    out_.PadToByte();
    if (out_.Count() >= read_ && read_ > 0) return erIncompressible;
    out_.Flush();
    return Cancelled() ? erCancelled : erPacked;
  }

  // ---- Blocks ----

  int CLenCount() const {
    int n = kNC;
    while (n > 0 && cLen_[n - 1] == 0) --n;
    return n;
  }

  // Calls Zeros(run) for each run of zero lengths and Len(k) for each other length.
  template <class Z, class L>
  void WalkCLen(Z&& Zeros, L&& Len) const {
    const int n = CLenCount();
    for (int i = 0; i < n;) {
      const int k = cLen_[i++];
      if (k != 0) {
        Len(k);
        continue;
      }
      int run = 1;
      while (i < n && cLen_[i] == 0) ++i, ++run;
      Zeros(run);
    }
  }

  void CountTFreq() {
    std::fill(std::begin(tFreq_), std::end(tFreq_), 0);
    WalkCLen(
        [this](int run) {
          if (run <= 2)
            tFreq_[0] += uint32_t(run);
          else if (run <= 18)
            ++tFreq_[1];
          else if (run == 19)
            ++tFreq_[0], ++tFreq_[1];
          else
            ++tFreq_[2];
        },
        [this](int k) { ++tFreq_[k + 2]; });
  }

  void PutT(int Sym) { out_.Put(tLen_[Sym], tCode_[Sym]); }

  void WriteCLen() {
    out_.Put(kCBit, uint32_t(CLenCount()));
    WalkCLen(
        [this](int run) {
          if (run <= 2) {
            for (int i = 0; i < run; ++i) PutT(0);
          } else if (run <= 18) {
            PutT(1);
            out_.Put(4, uint32_t(run - 3));
          } else if (run == 19) {
            PutT(0);
            PutT(1);
            out_.Put(4, 15);
          } else {
            PutT(2);
            out_.Put(kCBit, uint32_t(run - 20));
          }
        },
        [this](int k) { PutT(k + 2); });
  }

  // A code-length or position table: lengths up to 6 in 3 bits, longer ones in unary; after
  // Special entries, 2 bits count the zero lengths that follow up to index 5.
  void WritePtLen(const uint8_t* Len, int N, int CountBits, int Special) {
    int k = N;
    while (k > 0 && Len[k - 1] == 0) --k;
    out_.Put(unsigned(CountBits), uint32_t(k));
    for (int i = 0; i < k;) {
      const int c = Len[i++];
      if (c <= 6)
        out_.Put(3, uint32_t(c));
      else
        out_.Put(unsigned(c - 3), (1u << (c - 3)) - 2);
      if (i == Special) {
        while (i < 6 && Len[i] == 0) ++i;
        out_.Put(2, uint32_t(i - 3));
      }
    }
  }

  void SendBlock() {
    int single = 0;
    const int cUsed = MakeCode(kNC, cFreq_, cLen_, cCode_, single);
    out_.Put(16, uint32_t(syms_.size()));
    if (cUsed >= 2) {
      CountTFreq();
      int tSingle = 0;
      if (MakeCode(kNT, tFreq_, tLen_, tCode_, tSingle) >= 2) {
        WritePtLen(tLen_, kNT, kTBit, 3);
      } else {
        out_.Put(kTBit, 0);
        out_.Put(kTBit, uint32_t(tSingle));
      }
      WriteCLen();
    } else {
      out_.Put(kTBit, 0);
      out_.Put(kTBit, 0);
      out_.Put(kCBit, 0);
      out_.Put(kCBit, uint32_t(single));
    }
    int pSingle = 0;
    if (MakeCode(m_.NP, pFreq_, pLen_, pCode_, pSingle) >= 2) {
      WritePtLen(pLen_, m_.NP, m_.PBit, -1);
    } else {
      out_.Put(unsigned(m_.PBit), 0);
      out_.Put(unsigned(m_.PBit), uint32_t(pSingle));
    }
    for (size_t i = 0; i < syms_.size(); ++i) {
      const int s = syms_[i];
      out_.Put(cLen_[s], cCode_[s]);
      if (s < 256) continue;
      const uint32_t d = dists_[i];
      const int p = BitLength(d);
      out_.Put(pLen_[p], pCode_[p]);
      if (p > 1) out_.Put(unsigned(p - 1), d);
    }
    syms_.clear();
    dists_.clear();
    std::fill(std::begin(cFreq_), std::end(cFreq_), 0);
    std::fill(std::begin(pFreq_), std::end(pFreq_), 0);
    out_.Drain();
  }

  const TLzhEncodeIO& io_;
  TLzhMethod m_;
  int64_t dic_;
  size_t bufSize_;
  TBitSink out_;
  std::vector<uint8_t> win_;
  std::vector<uint32_t> head_, prev_;
  int64_t base_ = 0, filled_ = 0, read_ = 0;
  bool eof_ = false;
  std::vector<uint16_t> syms_, dists_;
  uint32_t cFreq_[kNC] = {}, pFreq_[kMaxNP] = {}, tFreq_[kNT] = {};
  uint8_t cLen_[kNC] = {}, pLen_[kMaxNP] = {}, tLen_[kNT] = {};
  uint16_t cCode_[kNC] = {}, pCode_[kMaxNP] = {}, tCode_[kNT] = {};
};

}  // namespace

TLzhEncodeResult LzhEncode(const TLzhEncodeIO& IO, const TLzhMethod& Method, int64_t& PackedSize) {
  auto enc = std::make_unique<TEncoder>(IO, Method);
  return enc->Run(PackedSize);
}

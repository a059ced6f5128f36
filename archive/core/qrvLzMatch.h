// Match finders over a sliding window, for the LZ77 encoders of cabinets. The window holds the
// last (1 << WindowBits) bytes before the frame being encoded. Hash chains link every position
// with the same four-byte hash, newest first; binary trees keep those positions sorted by what
// follows them, which finds better matches for the same effort. Either search walks back as far
// as the window reaches, stopping after a given number of steps. Short matches come from tables
// of the newest position of each two- or three-byte sequence: they only pay when they are near.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A match: its length and how far back it starts.
struct TLzMatch {
  unsigned Len;
  uint32_t Dist;
};

// The end positions of the steps of a shortest path through positions 0..N, first step first;
// StepLen(i) is the length of the step that arrives at position i.
template <class TStepLen>
std::vector<uint32_t> PathSteps(uint32_t N, TStepLen StepLen) {
  std::vector<uint32_t> steps;
  for (uint32_t i = N; i > 0; i -= StepLen(i)) steps.push_back(i);
  return {steps.rbegin(), steps.rend()};
}

// The data the match finders search: a buffer holding at least the last (1 << WindowBits) bytes
// before the data appended last. Positions are offsets in the buffer.
class TLzWindow {
 public:
  virtual ~TLzWindow() = default;

  // Makes room for Count more bytes (at most 65536) after the data held so far and returns where
  // to write them. Bytes older than the window may move; positions given out before stay valid
  // only until the next call.
  uint8_t* Append(size_t Count);

  // The buffer and the end of the data in it.
  const uint8_t* Data() const { return buf_.data(); }
  uint32_t End() const { return end_; }
  // Bytes at positions below Pos that a match may reach back to (all data seen, at most the
  // window).
  uint32_t Reach(uint32_t Pos) const { return Pos - first_; }

  // Length of the common run at A and B (A < B), at most MaxLen.
  unsigned MatchLength(uint32_t A, uint32_t B, unsigned MaxLen) const;

 protected:
  void InitWindow(unsigned WindowBits);
  // The data moved down by Shift bytes (a whole number of windows): positions kept by the finder
  // follow. Position tables hold position + 1, 0 for none.
  virtual void Rebase(uint32_t Shift) = 0;
  static void Rebase(std::vector<uint32_t>& Table, uint32_t Shift);
  uint32_t Hash3(uint32_t Pos) const;

  static constexpr unsigned kHash3Bits = 14;
  std::vector<uint8_t> buf_;
  uint32_t windowSize_ = 0, end_ = 0, first_ = 0;

 private:
  void Slide();
};

// Hash chains: each position is linked to the previous one with the same four-byte hash.
class TLzMatchFinder : public TLzWindow {
 public:
  // Most matches Collect gives for one position: its Depth must stay below this.
  static constexpr unsigned kMaxCollect = 512;

  // Sizes the window and the chains' hash table (HashBits 10..20); forgets all data.
  void Init(unsigned WindowBits, unsigned HashBits);

  // The longest match for Pos among the chain's candidates at most MaxDist back, no longer than
  // MaxLen (which must not pass End()). Walks at most Depth candidates and stops early at a match
  // of NiceLen. Returns its length (0 when none of 3 or more) and sets Dist. Near3 receives the
  // distance of the nearest candidate of at least 3 bytes (0 when none). Every position up to Pos
  // is hashed first, so positions skipped by the caller need no separate call.
  unsigned Longest(uint32_t Pos, unsigned MaxLen, uint32_t MaxDist, unsigned Depth, unsigned NiceLen, uint32_t& Dist,
                   uint32_t* Near3 = nullptr);

  // The matches of 3 or more bytes at Pos that are longer than every nearer one, nearest first
  // (so each is longer than the one before), under the same limits as Longest. Out must hold
  // Depth + 1 entries. Returns their count.
  unsigned Collect(uint32_t Pos, unsigned MaxLen, uint32_t MaxDist, unsigned Depth, unsigned NiceLen, TLzMatch* Out);

  // Leaves the positions below Pos out of the chains (data not worth searching).
  void Skip(uint32_t Pos) {
    if (hashed_ < Pos) hashed_ = Pos;
  }

 private:
  void Rebase(uint32_t Shift) override;
  void InsertUpTo(uint32_t Pos);
  uint32_t Hash4(uint32_t Pos) const;

  std::vector<uint32_t> head_, prev_, head3_;  // position + 1, 0 for none
  uint32_t hashShift_ = 0, hashed_ = 0;
};

// Binary trees: the positions with the same four-byte hash form a tree sorted by the bytes that
// follow them, newest at the root. One walk from the root finds the longest matches and inserts
// the position, so far better matches cost about what a short chain walk costs. Only the
// positions searched enter the trees. A position whose NiceLen bytes are not all there yet is
// searched without being inserted and enters the tree when more data has come. Matches start at
// two bytes (the nearest earlier position with the same two).
class TLzTreeFinder : public TLzWindow {
 public:
  // Sizes the window and the hash table (HashBits 10..20); NiceLen (4..258) is where a search
  // stops, and so the length the trees sort by. Forgets all data.
  void Init(unsigned WindowBits, unsigned HashBits, unsigned NiceLen);

  // As TLzMatchFinder::Collect but from 2 bytes, walking at most Depth nodes, with matches
  // reaching NiceLen extended up to MaxLen. Out must hold Depth + 3 entries. Pos must grow from
  // call to call (a position already searched gives nothing).
  unsigned Collect(uint32_t Pos, unsigned MaxLen, uint32_t MaxDist, unsigned Depth, TLzMatch* Out);

 private:
  void Rebase(uint32_t Shift) override;
  uint32_t Hash(uint32_t Pos) const;
  // Walks the tree of Pos, adding longer matches to Out; with Insert, Pos becomes the root.
  unsigned Walk(uint32_t Pos, unsigned Limit, uint32_t MaxDist, unsigned Depth, bool Insert, unsigned Best,
                TLzMatch* Out, unsigned Count);

  // Position + 1 (0: none) by hash; son_ holds two links (smaller, larger) per window slot.
  std::vector<uint32_t> head_, head2_, head3_, son_;
  std::vector<uint32_t> pending_;  // searched, waiting for data to be inserted
  uint32_t hashShift_ = 0, next_ = 0;
  unsigned nice_ = 32;
};

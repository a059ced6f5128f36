// Hash-chain match finder over a sliding window, for the LZ77 encoders of cabinets. The window
// holds the last (1 << WindowBits) bytes before the frame being encoded; a chain links every
// position with the same four-byte hash, newest first, so a search walks back as far as the
// window reaches, stopping after a given number of steps. Three-byte matches come from a table
// of the newest position of each three-byte hash: they only pay when they are near.
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

class TLzMatchFinder {
public:
  // Most matches Collect gives for one position: its Depth must stay below this.
  static constexpr unsigned kMaxCollect = 512;

  // Sizes the window and the chains' hash table (HashBits 10..20); forgets all data.
  void Init(unsigned WindowBits, unsigned HashBits);

  // Makes room for Count more bytes (at most 65536) after the data held so far and returns where
  // to write them. Bytes older than the window may move; positions given out before stay valid
  // only until the next call.
  uint8_t* Append(size_t Count);

  // The buffer and the end of the data in it (positions are offsets in this buffer).
  const uint8_t* Data() const { return buf_.data(); }
  uint32_t End() const { return end_; }
  // Bytes at positions below Pos that a match may reach back to (all data seen, at most the
  // window).
  uint32_t Reach(uint32_t Pos) const { return Pos - first_; }

  // The longest match for Pos among the chain's candidates at most MaxDist back, no longer than
  // MaxLen (which must not pass End()). Walks at most Depth candidates and stops early at a match
  // of NiceLen. Returns its length (0 when none of 3 or more) and sets Dist. Near3 receives the
  // distance of the nearest candidate of at least 3 bytes (0 when none). Every position up to Pos
  // is hashed first, so positions skipped by the caller need no separate call.
  unsigned Longest(uint32_t Pos, unsigned MaxLen, uint32_t MaxDist, unsigned Depth,
                   unsigned NiceLen, uint32_t& Dist, uint32_t* Near3 = nullptr);

  // The matches of 3 or more bytes at Pos that are longer than every nearer one, nearest first
  // (so each is longer than the one before), under the same limits as Longest. Out must hold
  // Depth + 1 entries. Returns their count.
  unsigned Collect(uint32_t Pos, unsigned MaxLen, uint32_t MaxDist, unsigned Depth, unsigned NiceLen,
                   TLzMatch* Out);

  // Leaves the positions below Pos out of the chains (data not worth searching).
  void Skip(uint32_t Pos) {
    if (hashed_ < Pos) hashed_ = Pos;
  }

  // Length of the common run at A and B (A < B), at most MaxLen.
  unsigned MatchLength(uint32_t A, uint32_t B, unsigned MaxLen) const;

private:
  void InsertUpTo(uint32_t Pos);
  void Slide();
  uint32_t Hash4(uint32_t Pos) const;
  uint32_t Hash3(uint32_t Pos) const;

  std::vector<uint8_t> buf_;
  std::vector<uint32_t> head_, prev_, head3_;  // position + 1, 0 for none
  uint32_t windowSize_ = 0, hashShift_ = 0;
  uint32_t end_ = 0, hashed_ = 0, first_ = 0;
};

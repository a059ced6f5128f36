#include "archive/cab/qrvQuantumEnc.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "archive/core/qrvBitWriter.h"
#include "archive/core/qrvLzMatch.h"

namespace {

constexpr unsigned kMaxMatch = 259;
constexpr unsigned kFreqStep = 8, kFreqLimit = 3800;

// Offset slots (distance - 1 = base + extra bits) and length slots of selector 6 (length - 5).
struct TTables {
  uint32_t PosBase[43];
  uint8_t PosExtra[42];
  uint8_t LenBase[27], LenExtra[27];
  uint8_t LenSlot[255];
  uint16_t Log2[4096 + 16];  // log2(i) in 1/16 bits
  TTables() {
    uint32_t base = 0;
    for (unsigned i = 0; i < 42; ++i) {
      PosExtra[i] = static_cast<uint8_t>((i < 2 ? 0 : i - 2) >> 1);
      PosBase[i] = base;
      base += 1u << PosExtra[i];
    }
    PosBase[42] = base;
    base = 0;
    for (unsigned i = 0; i < 26; ++i) {
      LenExtra[i] = static_cast<uint8_t>((i < 2 ? 0 : i - 2) >> 2);
      LenBase[i] = static_cast<uint8_t>(base);
      base += 1u << LenExtra[i];
    }
    LenBase[26] = 254;
    LenExtra[26] = 0;
    for (unsigned m = 0, s = 0; m < 255; ++m) {
      while (s < 26 && LenBase[s + 1] <= m) ++s;
      LenSlot[m] = static_cast<uint8_t>(s);
    }
    Log2[0] = 0;
    for (unsigned i = 1; i < sizeof(Log2) / sizeof(Log2[0]); ++i)
      Log2[i] = static_cast<uint16_t>(std::lround(16 * std::log2(double(i))));
  }
};
const TTables kTab;

unsigned PosSlotOf(uint32_t V) {
  if (V < 4) return V;
  unsigned b = 31 - __builtin_clz(V);
  return 2 * b + ((V >> (b - 1)) & 1);
}

// An adaptive model as the decoders keep it: symbols ordered by falling frequency, Cum[i] the
// total of positions i and after (Cum[Entries] = 0); rescaled when the total passes 3,800, and
// resorted on every 50th rescale (the 4th the first time).
struct TModel {
  unsigned Entries = 0, ShiftsLeft = 4;
  uint16_t Cum[65];
  uint8_t Sym[64], Index[64];

  void Init(unsigned N) {
    Entries = N;
    ShiftsLeft = 4;
    for (unsigned i = 0; i <= N; ++i) Cum[i] = static_cast<uint16_t>(N - i);
    for (unsigned i = 0; i < N; ++i) Sym[i] = Index[i] = static_cast<uint8_t>(i);
  }
  // Estimated cost of a symbol in 1/16 bits.
  unsigned Cost(unsigned S) const {
    unsigned k = Index[S];
    return kTab.Log2[Cum[0]] - kTab.Log2[Cum[k] - Cum[k + 1]];
  }
  void Update(unsigned K) {
    for (unsigned i = 0; i <= K; ++i) Cum[i] += kFreqStep;
    if (Cum[0] > kFreqLimit) Rescale();
  }
  void Rescale();
};

void TModel::Rescale() {
  if (--ShiftsLeft) {
    for (int i = static_cast<int>(Entries) - 1; i >= 0; --i) {
      Cum[i] >>= 1;
      if (Cum[i] <= Cum[i + 1]) Cum[i] = static_cast<uint16_t>(Cum[i + 1] + 1);
    }
    return;
  }
  ShiftsLeft = 50;
  for (unsigned i = 0; i < Entries; ++i) Cum[i] = static_cast<uint16_t>((Cum[i] - Cum[i + 1] + 1) >> 1);
  // The decoders' selection sort, whose exchanges decide the order of equal frequencies.
  for (unsigned i = 0; i + 1 < Entries; ++i)
    for (unsigned j = i + 1; j < Entries; ++j)
      if (Cum[i] < Cum[j]) std::swap(Cum[i], Cum[j]), std::swap(Sym[i], Sym[j]);
  for (int i = static_cast<int>(Entries) - 1; i >= 0; --i) Cum[i] = static_cast<uint16_t>(Cum[i] + Cum[i + 1]);
  for (unsigned i = 0; i < Entries; ++i) Index[Sym[i]] = static_cast<uint8_t>(i);
}

// Bits kept most significant first in bytes, readable back at any position.
struct TBitBuffer {
  std::vector<uint8_t> Bytes;
  uint64_t Count = 0;
  void Clear() {
    Bytes.clear();
    Count = 0;
  }
  void Put(unsigned Bit) {
    if ((Count & 7) == 0) Bytes.push_back(0);
    if (Bit) Bytes.back() |= static_cast<uint8_t>(0x80 >> (Count & 7));
    ++Count;
  }
  unsigned Get(uint64_t Pos) const { return Pos < Count ? (Bytes[Pos >> 3] >> (7 - (Pos & 7))) & 1 : 0; }
};

// A raw field read by the decoder between coded symbols: where it goes in the coder's bits.
struct TRawBits {
  uint64_t At;
  uint32_t Value;
  unsigned Count;
};

// A candidate at one position: a literal (Len 0) or a match; Score its saving in 1/16 bits.
struct TCand {
  unsigned Len = 0;
  uint32_t Dist = 0;
  int Score = 0;
};

}  // namespace

struct TQuantumEncoder::TState {
  unsigned Level, MemoryBits;
  uint32_t WindowSize;
  bool Done = false;
  uint32_t Frame = 0;
  TModel Selector, Literal[4], Pos3, Pos4, Pos5, Len5;
  uint32_t MaxDist3, MaxDist4, MaxDist5;
  unsigned Depth, Nice;
  bool Lazy;
  bool Sparse = false;  // the last frame did not compress: search every 16th position only
  int LitAvg = 6 * 16;
  TLzMatchFinder Finder;
  // The arithmetic coder of the current frame.
  uint32_t L = 0, H = 0xFFFF, Pending = 0;
  uint64_t Shifts = 0;
  TBitBuffer Coded;
  std::vector<TRawBits> Raw;

  void Encode(TModel& M, unsigned S);
  void PutRaw(uint32_t Value, unsigned Count);
  void EmitBit(unsigned Bit);
  void Finish(std::vector<uint8_t>& Out);
  void Literal1(uint8_t B);
  void Match(unsigned Len, uint32_t Dist);
  int MatchCost(unsigned Len, uint32_t Dist) const;
  TCand Best(uint32_t Pos, uint32_t Limit);
  void Parse(uint32_t Begin, uint32_t End, uint64_t StreamPos);
  void ParseOptimal(uint32_t Begin, uint32_t End, uint64_t StreamPos);
  uint32_t LimitFor(uint32_t Pos, uint32_t Begin, uint32_t End, uint64_t StreamPos) const;
  bool Encodable(unsigned Len, uint32_t Dist) const {
    return Dist <= (Len == 3 ? MaxDist3 : Len == 4 ? MaxDist4 : MaxDist5);
  }
  // Shortest-path parse state: the cheapest known way to reach each position of the frame.
  struct TNode {
    uint32_t Cost;
    uint16_t Len;  // of the step arriving here (1: literal)
    uint32_t Dist;
  };
  std::vector<TNode> Nodes;
  bool Optimal;
};

TQuantumEncoder::TQuantumEncoder(unsigned Level, unsigned MemoryBits) : s_(std::make_unique<TState>()) {
  TState& s = *s_;
  s.Level = std::clamp(Level, 1u, 7u);
  s.MemoryBits = std::clamp(MemoryBits, 10u, 21u);
  s.WindowSize = 1u << s.MemoryBits;
  unsigned slots = 2 * s.MemoryBits;
  s.Selector.Init(7);
  for (TModel& m : s.Literal) m.Init(64);
  s.Pos3.Init(std::min(slots, 24u));
  s.Pos4.Init(std::min(slots, 36u));
  s.Pos5.Init(slots);
  s.Len5.Init(27);
  s.MaxDist5 = std::min(kTab.PosBase[slots], s.WindowSize - 3);
  s.MaxDist4 = std::min(kTab.PosBase[std::min(slots, 36u)], s.MaxDist5);
  s.MaxDist3 = std::min(kTab.PosBase[std::min(slots, 24u)], s.MaxDist5);
  // Levels 1 and 2 parse greedily, 3 and 4 lazily, 5 to 7 by shortest path (which searches at
  // every position, so with fewer chain steps).
  static const unsigned kDepth[8] = {0, 2, 4, 8, 16, 4, 8, 16};
  static const unsigned kNice[8] = {0, 16, 24, 32, 48, 32, 32, 48};
  s.Depth = kDepth[s.Level];
  s.Nice = kNice[s.Level];
  s.Lazy = s.Level >= 3;
  s.Optimal = s.Level >= 5;
  s.Finder.Init(std::max(s.MemoryBits, 15u), std::clamp(s.MemoryBits - 1, 14u, 20u));
}

TQuantumEncoder::~TQuantumEncoder() = default;

uint16_t TQuantumEncoder::FolderType() const { return static_cast<uint16_t>(2 | s_->Level << 4 | s_->MemoryBits << 8); }

void TQuantumEncoder::TState::EmitBit(unsigned Bit) {
  Coded.Put(Bit);
  for (; Pending; --Pending) Coded.Put(!Bit);
}

// Narrows the coder's interval to the symbol's share, as the decoders compute it, updates the
// model and shifts out the settled bits.
void TQuantumEncoder::TState::Encode(TModel& M, unsigned S) {
  unsigned k = M.Index[S];
  uint32_t range = H - L + 1, total = M.Cum[0];
  uint32_t high = L + (M.Cum[k] * range) / total - 1;
  L = L + (M.Cum[k + 1] * range) / total;
  H = high;
  M.Update(k);
  for (;;) {
    if ((L ^ H) & 0x8000) {
      if (!(L & 0x4000) || (H & 0x4000)) break;
      ++Pending;  // the interval straddles the middle: the bit is decided later
      L &= 0x3FFF;
      H |= 0x4000;
    } else {
      EmitBit(H >> 15);
    }
    L = (L << 1) & 0xFFFF;
    H = ((H << 1) | 1) & 0xFFFF;
    ++Shifts;
  }
}

// The decoders read raw bits straight from the stream, which runs 16 bits ahead of the coder's
// settled bits; the field goes in at that point when the frame is written out.
void TQuantumEncoder::TState::PutRaw(uint32_t Value, unsigned Count) {
  if (Count) Raw.push_back({16 + Shifts, Value, Count});
}

// Flushes the coder (two bits and any pending ones), pads its bits to the 16 the decoders read
// ahead, merges the raw fields, and ends with two zero bits and a byte boundary.
void TQuantumEncoder::TState::Finish(std::vector<uint8_t>& Out) {
  ++Pending;
  EmitBit((L & 0x4000) ? 1 : 0);
  uint64_t codedEnd = 16 + Shifts;
  TMsbBitWriter w(false);
  uint64_t at = 0;
  auto copyUpTo = [&](uint64_t end) {
    for (; at < end; ++at) w.PutBits(Coded.Get(at), 1);
  };
  for (const TRawBits& r : Raw) {
    copyUpTo(r.At);
    w.PutBits(r.Value, r.Count);
  }
  copyUpTo(codedEnd);
  w.PutBits(0, 2);
  w.Align(8);
  Out.swap(w.Out());
}

void TQuantumEncoder::TState::Literal1(uint8_t B) {
  Encode(Selector, B >> 6);
  Encode(Literal[B >> 6], B & 63);
}

void TQuantumEncoder::TState::Match(unsigned Len, uint32_t Dist) {
  uint32_t v = Dist - 1;
  unsigned slot = PosSlotOf(v);
  if (Len == 3) {
    Encode(Selector, 4);
    Encode(Pos3, slot);
  } else if (Len == 4) {
    Encode(Selector, 5);
    Encode(Pos4, slot);
  } else {
    Encode(Selector, 6);
    unsigned m = Len - 5, ls = kTab.LenSlot[m];
    Encode(Len5, ls);
    PutRaw(m - kTab.LenBase[ls], kTab.LenExtra[ls]);
    Encode(Pos5, slot);
  }
  PutRaw(v - kTab.PosBase[slot], kTab.PosExtra[slot]);
}

int TQuantumEncoder::TState::MatchCost(unsigned Len, uint32_t Dist) const {
  unsigned slot = PosSlotOf(Dist - 1);
  int cost = kTab.PosExtra[slot] * 16;
  if (Len == 3) return cost + Selector.Cost(4) + Pos3.Cost(slot);
  if (Len == 4) return cost + Selector.Cost(5) + Pos4.Cost(slot);
  unsigned ls = kTab.LenSlot[Len - 5];
  return cost + Selector.Cost(6) + Len5.Cost(ls) + kTab.LenExtra[ls] * 16 + Pos5.Cost(slot);
}

// The best-scoring encodable match at Pos, no longer than Limit - Pos.
TCand TQuantumEncoder::TState::Best(uint32_t Pos, uint32_t Limit) {
  TCand best;
  unsigned maxLen = std::min<uint32_t>(kMaxMatch, Limit - Pos);
  uint32_t dist = 0, near3 = 0;
  unsigned len = Finder.Longest(Pos, maxLen, MaxDist5, Depth, Nice, dist, &near3);
  if (len == 4 && dist > MaxDist4) len = 3, dist = near3;
  if (len == 3 && dist > MaxDist3) len = 0;
  if (len) {
    int score = static_cast<int>(len) * LitAvg - MatchCost(len, dist);
    if (score > 0) best = {len, dist, score};
  }
  return best;
}

// Where a match at Pos must end at the latest: the frame's end, and in windows smaller than a
// frame the next window boundary (StreamPos is the folder offset of Begin).
uint32_t TQuantumEncoder::TState::LimitFor(uint32_t Pos, uint32_t Begin, uint32_t End, uint64_t StreamPos) const {
  uint64_t stream = StreamPos + (Pos - Begin);
  uint64_t boundary = (stream / WindowSize + 1) * WindowSize;
  return static_cast<uint32_t>(std::min<uint64_t>(End, Pos + (boundary - stream)));
}

// Cheapest path through the frame by the models as they stand at its start: every position tries
// a literal and each longer match the chains give; a match of Nice bytes or more is taken
// outright. The path is then encoded, which updates the models.
void TQuantumEncoder::TState::ParseOptimal(uint32_t Begin, uint32_t End, uint64_t StreamPos) {
  const uint8_t* data = Finder.Data();
  uint32_t n = End - Begin;
  Nodes.assign(n + 1, {UINT32_MAX, 0, 0});
  Nodes[0].Cost = 0;
  uint16_t litCost[256];
  for (unsigned b = 0; b < 256; ++b)
    litCost[b] = static_cast<uint16_t>(Selector.Cost(b >> 6) + Literal[b >> 6].Cost(b & 63));
  TLzMatch found[TLzMatchFinder::kMaxCollect];
  auto relax = [&](uint32_t to, uint32_t cost, unsigned len, uint32_t dist) {
    if (cost < Nodes[to].Cost) Nodes[to] = {cost, static_cast<uint16_t>(len), dist};
  };
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t pos = Begin + i, cost = Nodes[i].Cost;
    relax(i + 1, cost + litCost[data[pos]], 1, 0);
    unsigned maxLen = std::min<uint32_t>(kMaxMatch, LimitFor(pos, Begin, End, StreamPos) - pos);
    unsigned count = Finder.Collect(pos, maxLen, MaxDist5, Depth, Nice, found);
    unsigned from = 3;
    for (unsigned c = 0; c < count; ++c)
      for (; from <= found[c].Len; ++from)
        if (Encodable(from, found[c].Dist)) relax(i + from, cost + MatchCost(from, found[c].Dist), from, found[c].Dist);
    if (count && found[count - 1].Len >= Nice) i += found[count - 1].Len - 1;
  }
  for (uint32_t end : PathSteps(n, [&](uint32_t i) { return Nodes[i].Len; })) {
    const TNode& t = Nodes[end];
    if (t.Len == 1)
      Literal1(data[Begin + end - 1]);
    else
      Match(t.Len, t.Dist);
  }
}

// Greedy or lazy parse of the frame's bytes at [Begin, End).
void TQuantumEncoder::TState::Parse(uint32_t Begin, uint32_t End, uint64_t StreamPos) {
  const uint8_t* data = Finder.Data();
  auto limitFor = [&](uint32_t pos) { return LimitFor(pos, Begin, End, StreamPos); };
  auto literal = [&](uint32_t pos) {
    int before = Selector.Cost(data[pos] >> 6) + Literal[data[pos] >> 6].Cost(data[pos] & 63);
    LitAvg = (LitAvg * 15 + before) / 16;
    Literal1(data[pos]);
  };
  uint32_t pos = Begin;
  TCand cur = Best(pos, limitFor(pos));
  while (pos < End) {
    if (Lazy && cur.Len && cur.Len < Nice && pos + 1 < End) {
      TCand next = Best(pos + 1, limitFor(pos + 1));
      if (next.Score > cur.Score + LitAvg) {
        literal(pos++);
        cur = next;
        continue;
      }
    }
    if (!cur.Len) {
      uint32_t next = Sparse ? std::min(End, pos + 16) : pos + 1;
      while (pos < next) literal(pos++);
      if (Sparse) Finder.Skip(pos);
    } else {
      Match(cur.Len, cur.Dist);
      pos += cur.Len;
    }
    if (pos < End) cur = Best(pos, limitFor(pos));
  }
}

bool TQuantumEncoder::CompressFrame(const uint8_t* Data, size_t Size, bool Last, std::vector<uint8_t>& Out) {
  TState& s = *s_;
  if (s.Done || Size > kFrameSize || (!Last && Size != kFrameSize)) return false;
  Out.clear();
  s.Done = Last;
  if (Size == 0) return true;
  s.L = 0, s.H = 0xFFFF, s.Pending = 0, s.Shifts = 0;
  s.Coded.Clear();
  s.Raw.clear();
  uint8_t* at = s.Finder.Append(Size);
  std::memcpy(at, Data, Size);
  uint32_t end = s.Finder.End();
  uint32_t begin = end - static_cast<uint32_t>(Size);
  if (s.Optimal && !s.Sparse)
    s.ParseOptimal(begin, end, uint64_t(s.Frame) * kFrameSize);
  else
    s.Parse(begin, end, uint64_t(s.Frame) * kFrameSize);
  s.Finish(Out);
  s.Sparse = Out.size() > Size * 97 / 100;
  s.Frame++;
  return true;
}

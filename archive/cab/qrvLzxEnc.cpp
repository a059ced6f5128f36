#include "archive/cab/qrvLzxEnc.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "archive/core/qrvBitWriter.h"
#include "archive/core/qrvLzMatch.h"

namespace {

constexpr unsigned kMinMatch = 2, kMaxMatch = 257;
constexpr unsigned kNumLenSymbols = 249, kPretreeSize = 20, kAlignedSize = 8;
constexpr unsigned kMaxPosSlots = 50, kMaxMainSize = 256 + 8 * kMaxPosSlots;
constexpr unsigned kBlockVerbatim = 1, kBlockAligned = 2, kBlockStored = 3;

// Offset slot tables: base of each slot's formatted offsets and its count of extra bits.
struct TSlotTables {
  uint32_t Base[kMaxPosSlots + 1];
  uint8_t Extra[kMaxPosSlots + 1];
  TSlotTables() {
    uint32_t base = 0;
    for (unsigned i = 0; i <= kMaxPosSlots; ++i) {
      Extra[i] = static_cast<uint8_t>(i < 4 ? 0 : std::min(i / 2 - 1, 17u));
      Base[i] = base;
      base += 1u << Extra[i];
    }
  }
};
const TSlotTables kSlots;

// Matches reach back at most the window size less this. The format allows less 3, but 7-Zip
// extracts wrong bytes from matches that far back.
constexpr uint32_t kWindowGap = 4;

// In the shortest-path parse a match longer than this is tried at this length and below and at
// its whole length only: cutting a long match at a length in between seldom pays, and trying
// every one made the parse a third of the encoder's time.
constexpr unsigned kShortRun = 32;

unsigned PosSlots(unsigned WindowBits) { return WindowBits < 20 ? 2 * WindowBits : WindowBits == 20 ? 42 : 50; }

// Slot of a formatted offset (0..2 repeated offsets, otherwise distance + 2).
unsigned SlotOf(uint32_t F) {
  if (F < 4) return F;
  if (F >= (1u << 19)) return 34 + (F >> 17);
  unsigned b = 31 - __builtin_clz(F);
  return 2 * b + ((F >> (b - 1)) & 1);
}

// One parsed item of a frame: a literal (Len 0) or a match with its formatted offset.
struct TItem {
  uint16_t Len;
  uint8_t Lit;
  uint32_t F;
};

// A candidate match at one position, with its estimated saving in 1/16 bits.
struct TCand {
  unsigned Len = 0;
  uint32_t F = 0;
  int Score = 0;
};

// How hard the encoder searches at one window size. Depth: chain steps or tree nodes walked per
// search; SortLen: where a search stops (and the bytes the trees sort by); TakeLen: a match this
// long is taken outright, the positions inside it not expanded; Chains: hash chains (every
// position hashed, cheap to insert) rather than binary trees (better matches per node walked,
// dearer per position). The small windows are for speed, the large ones for size. A TakeLen of
// 32 saves most of the shortest-path parse's work on long matches. At 20 and 21, 16 tree nodes
// give all but 0.5% of the size 24 nodes and a second parse of every frame gave, in 70% of the
// time; there the search is most of the time, and each cheaper setting tried costs more size than
// it saves time (at 21 on text and an executable: TakeLen 64 +0.4% size, 32 +2.4% for 1.5 times
// the speed; 8 nodes +2% for 1.4 times; hash chains of 16 steps +3.5%). Repass (per mille, 0:
// never): a frame whose symbols the previous block's code costs more than this above the frame's
// own code is parsed a second time by its own (where the data changes, as from one file to the
// next); most frames are not.
struct TLzxEffort {
  unsigned Depth, SortLen, TakeLen;
  bool Chains;
  unsigned Repass;
};
constexpr TLzxEffort kEfforts[] = {
    {8, 24, 32, true, 0},      // 15
    {8, 24, 32, true, 0},      // 16
    {12, 32, 32, true, 0},     // 17
    {12, 32, 32, true, 0},     // 18
    {12, 32, 64, false, 60},   // 19
    {16, 48, 128, false, 60},  // 20
    {16, 48, 128, false, 60},  // 21
};

}  // namespace

struct TLzxEncoder::TState {
  unsigned WindowBits, PosSlotCount, MainSize;
  uint32_t WindowSize;
  TLzxE8Mode Mode;
  bool E8 = false, Done = false;
  uint32_t Frame = 0;
  uint32_t R[3] = {1, 1, 1};
  // The finder the level searches (see TLzxEffort) and its window.
  TLzTreeFinder Tree;
  TLzMatchFinder ChainFinder;
  TLzWindow* Win = &Tree;
  std::array<uint8_t, kMaxMainSize> MainLens{};
  std::array<uint8_t, kNumLenSymbols> LenLens{};
  // Estimated costs (1/16 bits) from the previous block's code lengths.
  std::array<uint16_t, kMaxMainSize> MainCost{};
  std::array<uint16_t, kNumLenSymbols> LenCost{};
  int LitAvg = 8 * 16;
  // Search effort by window size (see kEfforts). The lazy parse, used after a frame that did not
  // compress (searching every 16th position), walks kDepth nodes and puts off matches shorter than
  // kLazyMax for a better one.
  static constexpr unsigned kDepth = 32, kLazyMax = 32;
  TLzxEffort Effort;
  bool Sparse = false;
  std::vector<TItem> Items;

  void DecideE8(const uint8_t* Data, size_t Size);
  void Translate(uint8_t* Data, size_t Size) const;
  int MatchCost(unsigned Len, uint32_t F) const;
  TCand Best(uint32_t Pos, uint32_t End);
  // The matches at Pos from the finder in use (see TLzTreeFinder::Collect); Out holds Depth + 3.
  unsigned Collect(uint32_t Pos, unsigned MaxLen, uint32_t MaxDist, unsigned Depth, TLzMatch* Out) {
    return Effort.Chains ? ChainFinder.Collect(Pos, MaxLen, MaxDist, Depth, Effort.SortLen, Out)
                         : Tree.Collect(Pos, MaxLen, MaxDist, Depth, Out);
  }
  void Parse(uint32_t Begin, uint32_t End);
  void FindMatches(uint32_t Begin, uint32_t End);
  void ParseOptimal(uint32_t Begin, uint32_t End);
  // The matches of the frame, then its shortest-path parse.
  void ParseFrame(uint32_t Begin, uint32_t End);
  // Matches found for the frame: those of position i are Found[MatchAt[i] .. MatchAt[i + 1]);
  // Skip[i] is the length of a match taken outright at i (0: none).
  std::vector<TLzMatch> Found;
  std::vector<uint32_t> MatchAt;
  std::vector<uint16_t> Skip;
  // Shortest-path parse state: the cheapest known way to reach each position of the frame.
  struct TNode {
    uint32_t Cost;
    uint16_t Len;  // of the step arriving here (1: literal)
    uint32_t F;    // its formatted offset
    uint32_t R[3];
  };
  std::vector<TNode> Nodes;

  void UpdateCosts();
  void SetCosts(const uint8_t* MainLens, const uint8_t* LenLens);
  // Symbol counts of the parsed items.
  struct TFreqs {
    std::array<uint32_t, kMaxMainSize> Main;
    std::array<uint32_t, kNumLenSymbols> Len;
    std::array<uint32_t, kAlignedSize> Align;
    uint64_t AlignedCandidates;
  };
  void Count(TFreqs& F) const;
  // The symbols of F coded by the current costs, in 1/16 bits.
  uint64_t CostOf(const TFreqs& F) const;
  void Repass(uint32_t Begin, uint32_t End, const uint32_t* StartR);
  void Emit(size_t Size, TMsbBitWriter& W);
  void EmitStored(const uint8_t* Data, size_t Size, TMsbBitWriter& W) const;
  void PutHeader(TMsbBitWriter& W) const;
  // The lengths of the block just emitted: they become the base of the next block's deltas only
  // when that block is the one written.
  std::array<uint8_t, kMaxMainSize> NewMainLens{};
  std::array<uint8_t, kNumLenSymbols> NewLenLens{};
};

TLzxEncoder::TLzxEncoder(unsigned WindowBits, TLzxE8Mode E8) : s_(std::make_unique<TState>()) {
  s_->WindowBits = std::clamp(WindowBits, 15u, 21u);
  s_->WindowSize = 1u << s_->WindowBits;
  s_->PosSlotCount = PosSlots(s_->WindowBits);
  s_->MainSize = 256 + 8 * s_->PosSlotCount;
  s_->Mode = E8;
  s_->Effort = kEfforts[s_->WindowBits - 15];
  unsigned hashBits = std::min(s_->WindowBits - 1, 20u);
  if (s_->Effort.Chains) {
    s_->ChainFinder.Init(s_->WindowBits, hashBits);
    s_->Win = &s_->ChainFinder;
  } else {
    s_->Tree.Init(s_->WindowBits, hashBits, s_->Effort.SortLen);
  }
  s_->UpdateCosts();
}

TLzxEncoder::~TLzxEncoder() = default;

uint16_t TLzxEncoder::FolderType() const { return static_cast<uint16_t>(3 | s_->WindowBits << 8); }
bool TLzxEncoder::E8Translation() const { return s_->E8; }

// An executable header, or at least 16 E8 bytes whose operand looks like a near call.
void TLzxEncoder::TState::DecideE8(const uint8_t* Data, size_t Size) {
  if (Mode != lxE8Auto) {
    E8 = Mode == lxE8On;
    return;
  }
  if (Size >= 4 && (std::memcmp(Data, "MZ", 2) == 0 || std::memcmp(Data,
                                                                   "\x7f"
                                                                   "ELF",
                                                                   4) == 0)) {
    E8 = true;
    return;
  }
  unsigned calls = 0;
  for (size_t i = 0; i + 5 <= Size; ++i)
    if (Data[i] == 0xE8 && (Data[i + 4] == 0 || Data[i + 4] == 0xFF)) ++calls, i += 4;
  E8 = calls >= 16;
}

void TLzxEncoder::TState::Translate(uint8_t* Data, size_t Size) const {
  if (E8) TranslateE8(Data, Size, Frame);
}

// Relative call operands become absolute, the inverse of what the decoders do after each frame.
void TLzxEncoder::TranslateE8(uint8_t* Data, size_t Size, uint32_t Frame) {
  if (Frame >= kE8Frames || Size <= 10) return;
  const int32_t size = static_cast<int32_t>(kTranslationSize);
  int32_t base = static_cast<int32_t>(Frame * kFrameSize);
  for (size_t i = 0; i < Size - 10; ++i) {
    if (Data[i] != 0xE8) continue;
    int32_t cur = base + static_cast<int32_t>(i);
    uint32_t raw;
    std::memcpy(&raw, Data + i + 1, 4);
    int32_t rel = static_cast<int32_t>(raw);
    if (rel >= -cur && rel < size) {
      int32_t abs = rel < size - cur ? rel + cur : rel - size;
      raw = static_cast<uint32_t>(abs);
      uint8_t le[4] = {uint8_t(raw), uint8_t(raw >> 8), uint8_t(raw >> 16), uint8_t(raw >> 24)};
      std::memcpy(Data + i + 1, le, 4);
    }
    i += 4;
  }
}

int TLzxEncoder::TState::MatchCost(unsigned Len, uint32_t F) const {
  unsigned slot = SlotOf(F);
  unsigned header = std::min(Len - kMinMatch, 7u);
  int cost = MainCost[256 + slot * 8 + header] + kSlots.Extra[slot] * 16;
  if (header == 7) cost += LenCost[Len - kMinMatch - 7];
  return cost;
}

// The best-scoring match at Pos (repeated offsets first, then the hash chains); Len 0 when no
// match saves bits.
TCand TLzxEncoder::TState::Best(uint32_t Pos, uint32_t End) {
  TCand best;
  unsigned maxLen = std::min<uint32_t>(kMaxMatch, End - Pos);
  uint32_t reach = std::min(Win->Reach(Pos), WindowSize - kWindowGap);
  auto consider = [&](unsigned len, uint32_t f) {
    int score = static_cast<int>(len) * LitAvg - MatchCost(len, f);
    if (score > best.Score) best = {len, f, score};
  };
  unsigned repLen = 0;
  for (unsigned k = 0; k < 3 && maxLen >= kMinMatch; ++k) {
    if (R[k] > reach) continue;
    unsigned len = Win->MatchLength(Pos - R[k], Pos, maxLen);
    if (len >= kMinMatch) consider(len, k);
    repLen = std::max(repLen, len);
  }
  if (repLen >= Effort.TakeLen) return best;  // skipped positions are hashed by the next search
  TLzMatch found[kDepth + 3];
  unsigned count = Collect(Pos, maxLen, reach, Sparse ? kDepth : std::min(Effort.Depth, kDepth), found);
  unsigned len = count ? found[count - 1].Len : 0;
  uint32_t dist = count ? found[count - 1].Dist : 0;
  if (len > repLen) {
    uint32_t f = dist + 2;
    for (unsigned k = 0; k < 3; ++k)
      if (R[k] == dist) f = k;
    consider(len, f);
  }
  return best;
}

// Lazy parse of the frame at [Begin, End): a match is put off by one byte when the next position
// offers a better one.
void TLzxEncoder::TState::Parse(uint32_t Begin, uint32_t End) {
  Items.clear();
  const uint8_t* data = Win->Data();
  uint32_t pos = Begin;
  TCand cur = Best(pos, End);
  while (pos < End) {
    if (cur.Len && cur.Len < kLazyMax && pos + 1 < End) {
      TCand next = Best(pos + 1, End);
      if (next.Score > cur.Score + LitAvg) {
        Items.push_back({0, data[pos], 0});
        ++pos;
        cur = next;
        continue;
      }
    }
    if (!cur.Len) {
      uint32_t next = Sparse ? std::min(End, pos + 16) : pos + 1;
      for (; pos < next; ++pos) Items.push_back({0, data[pos], 0});
      if (Sparse && Effort.Chains) ChainFinder.Skip(pos);
      if (pos < End) cur = Best(pos, End);
      continue;
    }
    Items.push_back({static_cast<uint16_t>(cur.Len), 0, cur.F});
    if (cur.F >= 3) {
      R[2] = R[1], R[1] = R[0], R[0] = cur.F - 2;
    } else if (cur.F) {
      std::swap(R[0], R[cur.F]);
    }
    pos += cur.Len;
    if (pos < End) cur = Best(pos, End);
  }
}

// The finder's matches at every position of the frame. A match of TakeLen bytes or more makes the
// positions inside it unsearched (Skip: the parse takes it outright).
void TLzxEncoder::TState::FindMatches(uint32_t Begin, uint32_t End) {
  uint32_t n = End - Begin;
  Found.clear();
  MatchAt.assign(n + 1, 0);
  Skip.assign(n, 0);
  std::vector<TLzMatch> found(Effort.Depth + 3);
  for (uint32_t i = 0; i < n; ++i) {
    MatchAt[i] = static_cast<uint32_t>(Found.size());
    uint32_t pos = Begin + i;
    unsigned maxLen = std::min<uint32_t>(kMaxMatch, n - i);
    uint32_t reach = std::min(Win->Reach(pos), WindowSize - kWindowGap);
    unsigned count = Collect(pos, maxLen, reach, Effort.Depth, found.data());
    Found.insert(Found.end(), found.begin(), found.begin() + count);
    if (count && found[count - 1].Len >= Effort.TakeLen) {
      Skip[i] = static_cast<uint16_t>(found[count - 1].Len);
      for (uint32_t j = i + 1; j < i + found[count - 1].Len; ++j) MatchAt[j] = static_cast<uint32_t>(Found.size());
      i += found[count - 1].Len - 1;
    }
  }
  MatchAt[n] = static_cast<uint32_t>(Found.size());
}

// Cheapest path through the frame by the current costs: every position tries a literal, the
// repeated offsets it arrives with and each longer match found. A match of TakeLen bytes or more
// is taken outright and the positions inside it are not expanded.
void TLzxEncoder::TState::ParseOptimal(uint32_t Begin, uint32_t End) {
  const uint8_t* data = Win->Data();
  uint32_t n = End - Begin;
  Nodes.assign(n + 1, {UINT32_MAX, 0, 0, {0, 0, 0}});
  Nodes[0] = {0, 0, 0, {R[0], R[1], R[2]}};
  // A step's repeated offsets follow from the node it leaves, once that node is final: they are
  // worked out when the parse reaches it, not at every relaxation.
  auto relax = [&](uint32_t to, uint32_t cost, unsigned len, uint32_t f) {
    TNode& t = Nodes[to];
    if (cost >= t.Cost) return;
    t.Cost = cost, t.Len = static_cast<uint16_t>(len), t.F = f;
  };
  auto settle = [&](uint32_t i) {
    TNode& t = Nodes[i];
    const TNode& s = Nodes[i - t.Len];
    std::copy(s.R, s.R + 3, t.R);
    if (t.Len > 1) {
      if (t.F >= 3)
        t.R[2] = s.R[1], t.R[1] = s.R[0], t.R[0] = t.F - 2;
      else
        std::swap(t.R[0], t.R[t.F]);
    }
  };
  // Matches of lengths From..To with formatted offset F from position I.
  auto relaxRun = [&](uint32_t I, unsigned From, unsigned To, uint32_t Base, uint32_t F) {
    unsigned slot = SlotOf(F);
    const uint16_t* header = &MainCost[256 + slot * 8];
    uint32_t cost = Base + kSlots.Extra[slot] * 16;
    for (unsigned l = From; l <= std::min(To, 8u); ++l) relax(I + l, cost + header[l - kMinMatch], l, F);
    // Past kShortRun bytes only the whole match is tried: cutting a long match short seldom pays.
    const unsigned last = std::min(To, kShortRun);
    for (unsigned l = std::max(From, 9u); l <= last; ++l) relax(I + l, cost + header[7] + LenCost[l - 9], l, F);
    if (To > last && To >= From) relax(I + To, cost + header[7] + LenCost[To - 9], To, F);
  };
  for (uint32_t i = 0; i < n; ++i) {
    if (i) settle(i);
    const TNode node = Nodes[i];
    uint32_t pos = Begin + i;
    relax(i + 1, node.Cost + MainCost[data[pos]], 1, 0);
    unsigned maxLen = std::min<uint32_t>(kMaxMatch, n - i);
    if (maxLen < kMinMatch) continue;
    uint32_t reach = std::min(Win->Reach(pos), WindowSize - kWindowGap);
    unsigned longest = 0;
    for (unsigned k = 0; k < 3; ++k) {
      // Most positions match none of the repeated offsets: two bytes tell.
      if (node.R[k] > reach || data[pos - node.R[k]] != data[pos] || data[pos - node.R[k] + 1] != data[pos + 1])
        continue;
      unsigned len = Win->MatchLength(pos - node.R[k], pos, maxLen);
      relaxRun(i, kMinMatch, len, node.Cost, k);
      longest = std::max(longest, len);
    }
    if (longest >= Effort.TakeLen) {
      i += longest - 1;
      continue;
    }
    unsigned from = std::max(longest + 1, kMinMatch);
    for (uint32_t m = MatchAt[i]; m < MatchAt[i + 1]; ++m) {
      uint32_t f = Found[m].Dist + 2;
      relaxRun(i, from, Found[m].Len, node.Cost, f);
      from = std::max(from, Found[m].Len + 1u);
    }
    if (Skip[i]) i += Skip[i] - 1;
  }
  settle(n);
  Items.clear();
  for (uint32_t end : PathSteps(n, [&](uint32_t i) { return Nodes[i].Len; })) {
    const TNode& t = Nodes[end];
    uint32_t at = Begin + end - t.Len;
    if (t.Len == 1)
      Items.push_back({0, data[at], 0});
    else
      Items.push_back({t.Len, 0, t.F});
  }
  std::copy(Nodes[n].R, Nodes[n].R + 3, R);
}

namespace {

// Writes Count symbols with a prefix code.
struct TCode {
  std::vector<uint8_t> Lens;
  std::vector<uint16_t> Codes;
  void Build(const uint32_t* Freqs, unsigned Count, unsigned MaxBits) {
    Lens.assign(Count, 0);
    Codes.assign(Count, 0);
    BuildCodeLengths(Freqs, Count, MaxBits, Lens.data());
    CanonicalCodes(Lens.data(), Count, Codes.data());
  }
  void Put(TMsbBitWriter& W, unsigned Sym) const { W.PutBits(Codes[Sym], Lens[Sym]); }
};

// One token of a tree's lengths as the pretree codes them: a delta symbol 0..16, or 17 / 18 for a
// run of zeros with its count in Extra.
struct TLenToken {
  uint8_t Sym;
  uint8_t Extra;
};

// Tokens that turn Old[i] into New[i] for i in [0, Count).
std::vector<TLenToken> LengthTokens(const uint8_t* Old, const uint8_t* New, unsigned Count) {
  std::vector<TLenToken> out;
  for (unsigned i = 0; i < Count;) {
    unsigned run = 0;
    while (i + run < Count && New[i + run] == 0) ++run;
    if (run >= 20) {
      run = std::min(run, 51u);
      out.push_back({18, static_cast<uint8_t>(run - 20)});
      i += run;
    } else if (run >= 4) {
      out.push_back({17, static_cast<uint8_t>(run - 4)});
      i += run;
    } else {
      out.push_back({static_cast<uint8_t>((Old[i] + 17 - New[i]) % 17), 0});
      ++i;
    }
  }
  return out;
}

// Writes the pretree and then New's lengths as deltas from Old.
void PutLengths(TMsbBitWriter& W, const uint8_t* Old, const uint8_t* New, unsigned Count) {
  std::vector<TLenToken> tokens = LengthTokens(Old, New, Count);
  uint32_t freqs[kPretreeSize] = {};
  for (const TLenToken& t : tokens) freqs[t.Sym]++;
  TCode pre;
  pre.Build(freqs, kPretreeSize, 15);
  for (unsigned i = 0; i < kPretreeSize; ++i) W.PutBits(pre.Lens[i], 4);
  for (const TLenToken& t : tokens) {
    pre.Put(W, t.Sym);
    if (t.Sym == 17) W.PutBits(t.Extra, 4);
    if (t.Sym == 18) W.PutBits(t.Extra, 5);
  }
}

}  // namespace

// Costs for the next frame's parse: a used symbol costs its code length, an unused one a little
// more than the longest code; the first frame starts from flat guesses.
void TLzxEncoder::TState::UpdateCosts() {
  bool first = Items.empty();
  if (first) {
    for (unsigned i = 0; i < MainSize; ++i) MainCost[i] = static_cast<uint16_t>(16 * (i < 256 ? 8 : 9));
    LenCost.fill(16 * 7);
    return;
  }
  SetCosts(MainLens.data(), LenLens.data());
  uint64_t bits = 0, count = 0;
  for (const TItem& it : Items)
    if (!it.Len) bits += MainCost[it.Lit], ++count;
  LitAvg = count ? static_cast<int>(bits / count) : 8 * 16;
}

void TLzxEncoder::TState::SetCosts(const uint8_t* Main, const uint8_t* Len) {
  for (unsigned i = 0; i < MainSize; ++i) MainCost[i] = static_cast<uint16_t>(16 * (Main[i] ? Main[i] : 14));
  for (unsigned i = 0; i < kNumLenSymbols; ++i) LenCost[i] = static_cast<uint16_t>(16 * (Len[i] ? Len[i] : 12));
}

void TLzxEncoder::TState::Count(TFreqs& F) const {
  F = TFreqs{};
  for (const TItem& it : Items) {
    if (!it.Len) {
      F.Main[it.Lit]++;
      continue;
    }
    unsigned slot = SlotOf(it.F), header = std::min(it.Len - kMinMatch, 7u);
    F.Main[256 + slot * 8 + header]++;
    if (header == 7) F.Len[it.Len - kMinMatch - 7]++;
    if (kSlots.Extra[slot] >= 3) F.Align[(it.F - kSlots.Base[slot]) & 7]++, F.AlignedCandidates++;
  }
}

uint64_t TLzxEncoder::TState::CostOf(const TFreqs& F) const {
  uint64_t cost = 0;
  for (unsigned i = 0; i < MainSize; ++i) cost += uint64_t(F.Main[i]) * MainCost[i];
  for (unsigned i = 0; i < kNumLenSymbols; ++i) cost += uint64_t(F.Len[i]) * LenCost[i];
  return cost;
}

// Parses the frame again (from the repeated offsets StartR) by the code its first parse makes, when
// that code is worth Effort.Repass per mille over the previous block's. The costs stay as they were.
void TLzxEncoder::TState::Repass(uint32_t Begin, uint32_t End, const uint32_t* StartR) {
  TFreqs f;
  Count(f);
  uint8_t main[kMaxMainSize], len[kNumLenSymbols];
  BuildCodeLengths(f.Main.data(), MainSize, 16, main);
  BuildCodeLengths(f.Len.data(), kNumLenSymbols, 16, len);
  const auto mainCost = MainCost;
  const auto lenCost = LenCost;
  const uint64_t before = CostOf(f);
  SetCosts(main, len);
  if (before * 1000 > CostOf(f) * (1000 + Effort.Repass)) {
    std::copy(StartR, StartR + 3, R);
    ParseOptimal(Begin, End);
  }
  MainCost = mainCost;
  LenCost = lenCost;
}

// The frame's matches, then the cheapest path through them by the previous block's code (and
// by its own, see TLzxEffort::Repass).
void TLzxEncoder::TState::ParseFrame(uint32_t Begin, uint32_t End) {
  FindMatches(Begin, End);
  const uint32_t start[3] = {R[0], R[1], R[2]};
  ParseOptimal(Begin, End);
  if (Effort.Repass) Repass(Begin, End, start);
}

// Writes the frame's items as one block (verbatim or aligned, whichever is shorter).
void TLzxEncoder::TState::Emit(size_t Size, TMsbBitWriter& W) {
  TFreqs f;
  Count(f);
  TCode mainCode, lenCode, alignCode;
  mainCode.Build(f.Main.data(), MainSize, 16);
  lenCode.Build(f.Len.data(), kNumLenSymbols, 16);
  alignCode.Build(f.Align.data(), kAlignedSize, 7);
  uint64_t alignedBits = 3 * kAlignedSize;
  for (unsigned i = 0; i < kAlignedSize; ++i) alignedBits += uint64_t(f.Align[i]) * alignCode.Lens[i];
  bool aligned = alignedBits < 3 * f.AlignedCandidates;

  W.PutBits(aligned ? kBlockAligned : kBlockVerbatim, 3);
  W.PutBits(static_cast<uint32_t>(Size >> 8), 16);
  W.PutBits(static_cast<uint32_t>(Size & 0xFF), 8);
  if (aligned)
    for (unsigned i = 0; i < kAlignedSize; ++i) W.PutBits(alignCode.Lens[i], 3);
  PutLengths(W, MainLens.data(), mainCode.Lens.data(), 256);
  PutLengths(W, MainLens.data() + 256, mainCode.Lens.data() + 256, MainSize - 256);
  PutLengths(W, LenLens.data(), lenCode.Lens.data(), kNumLenSymbols);
  std::copy(mainCode.Lens.begin(), mainCode.Lens.end(), NewMainLens.begin());
  std::copy(lenCode.Lens.begin(), lenCode.Lens.end(), NewLenLens.begin());

  for (const TItem& it : Items) {
    if (!it.Len) {
      mainCode.Put(W, it.Lit);
      continue;
    }
    unsigned slot = SlotOf(it.F), header = std::min(it.Len - kMinMatch, 7u);
    mainCode.Put(W, 256 + slot * 8 + header);
    if (header == 7) lenCode.Put(W, it.Len - kMinMatch - 7);
    unsigned extra = kSlots.Extra[slot];
    uint32_t bits = it.F - kSlots.Base[slot];
    if (aligned && extra >= 3) {
      W.PutBits(bits >> 3, extra - 3);
      alignCode.Put(W, bits & 7);
    } else {
      W.PutBits(bits, extra);
    }
  }
}

// The stream header (first frame only): whether E8 translation is on, and its size.
void TLzxEncoder::TState::PutHeader(TMsbBitWriter& W) const {
  if (Frame != 0) return;
  W.PutBits(E8, 1);
  if (E8) {
    W.PutBits(kTranslationSize >> 16, 16);
    W.PutBits(kTranslationSize & 0xFFFF, 16);
  }
}

// An uncompressed block: the header, 1 to 16 zero bits up to a 16-bit boundary, the repeated
// offsets, the bytes, and a pad byte after an odd count.
void TLzxEncoder::TState::EmitStored(const uint8_t* Data, size_t Size, TMsbBitWriter& W) const {
  W.PutBits(kBlockStored, 3);
  W.PutBits(static_cast<uint32_t>(Size >> 8), 16);
  W.PutBits(static_cast<uint32_t>(Size & 0xFF), 8);
  W.PutBits(0, 16 - W.BitCount() % 16);
  std::vector<uint8_t>& out = W.Out();
  for (uint32_t r : R)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(r >> (8 * i)));
  out.insert(out.end(), Data, Data + Size);
  if (Size & 1) out.push_back(0);
}

bool TLzxEncoder::CompressFrame(const uint8_t* Data, size_t Size, bool Last, std::vector<uint8_t>& Out) {
  TState& s = *s_;
  if (s.Done || Size > kFrameSize || (!Last && Size != kFrameSize)) return false;
  Out.clear();
  s.Done = Last;
  if (Size == 0) return true;
  if (s.Frame == 0) s.DecideE8(Data, Size);
  uint8_t* at = s.Win->Append(Size);
  std::memcpy(at, Data, Size);
  s.Translate(at, Size);
  uint32_t end = s.Win->End();
  if (!s.Sparse)
    s.ParseFrame(end - static_cast<uint32_t>(Size), end);
  else
    s.Parse(end - static_cast<uint32_t>(Size), end);
  TMsbBitWriter w(true);
  s.PutHeader(w);
  s.Emit(Size, w);
  w.Align(16);
  // A frame that does not compress is stored: its size plus 12 to 16 bytes of header.
  s.Sparse = w.Out().size() > Size * 97 / 100;
  if (w.Out().size() > Size + 16) {
    TMsbBitWriter stored(true);
    s.PutHeader(stored);
    s.EmitStored(at, Size, stored);
    Out.swap(stored.Out());
  } else {
    s.MainLens = s.NewMainLens;
    s.LenLens = s.NewLenLens;
    s.UpdateCosts();
    Out.swap(w.Out());
  }
  s.Frame++;
  return true;
}
